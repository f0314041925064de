"""A summary as the run engine runs it: batches of regions are its parts, and a part's values are its regions'
statistics, a row each."""
from dataclasses import dataclass, field

import numpy as np
import xarray as xr

from .jobs import TiledJob
from .summary_kernel import SummaryKernel


@dataclass(frozen=True)
class SummaryJob:
    """A summary as the run engine runs it (the part protocol of `jobs.TiledJob`): its parts, `tiles`, are batches
    of regions, and a part's values are its regions' statistics, a row each. `geometries` are the regions' valid
    polygonal geometries in the raster's CRS; `readers` give the values and the weights (None without)."""

    unit, dtype, parts = "region", np.float64, ("batch", "batches")

    name: str
    template: xr.DataArray
    tiles: tuple
    kernel: SummaryKernel
    parameters: dict
    inputs: dict = field(repr=False)
    geometries: np.ndarray = field(repr=False)
    readers: tuple = field(repr=False)
    notes: dict = field(default_factory=dict)

    tags = TiledJob.tags

    @property
    def shape(self):
        return self.template.shape

    def size(self, batch):
        return len(batch.regions)

    def shape_of(self, batch):
        return (len(batch.regions), len(self.kernel.columns))

    def compute(self, batch):
        return self.kernel(batch, self.geometries[batch.regions], *self.readers)
