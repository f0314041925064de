"""A summary as the run engine runs it: batches of regions are its parts, and a part's values are its regions'
statistics, a row each."""
from dataclasses import dataclass, field, replace

import numpy as np
import xarray as xr

from .summary_computation import SummaryComputation


@dataclass(frozen=True)
class SummaryJob:
    """A summary as the run engine runs it (a `job_protocol.Job`): its parts are batches of regions, and a part's
    values are its regions' statistics, a row each. `geometries` are the regions' valid polygonal geometries in the
    raster's CRS; `readers` give the values and the weights (None without)."""

    unit, dtype, part_names = "region", np.float64, ("batch", "batches")

    name: str
    template: xr.DataArray
    parts: tuple
    computation: SummaryComputation
    parameters: dict
    inputs: dict = field(repr=False)
    geometries: np.ndarray = field(repr=False)
    readers: tuple = field(repr=False)
    notes: dict = field(default_factory=dict)

    @property
    def shape(self):
        return self.template.shape

    def size(self, batch):
        return len(batch.regions)

    def shape_of(self, batch):
        return (len(batch.regions), len(self.computation.columns))

    def compute(self, batch):
        return self.computation(batch, self.geometries[batch.regions], *self.readers)

    def with_threads(self, n_threads):
        return replace(self, computation=replace(self.computation, n_threads=n_threads))
