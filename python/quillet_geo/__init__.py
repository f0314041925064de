"""Georeferenced rasters in and out of quillet: tiles with an exact halo, lazily on Dask or written resumably to a
GeoTIFF, every input checked."""
from importlib.metadata import version

from .connectivity import connectivity
from .connectivity_parameters import window_reach
from .coverage import coverage
from .errors import ArgumentError, ArgumentTypeError, DataError, RunFailed, RunRefused, Stopped
from .progress_bars import progress
from .run import RunSummary, to_raster
from .summarize import summarize, summarize_to_file
from .tiles import Tile, tile_plan
from .update import UpdateSummary, update

__version__ = version("quillet")

__all__ = ["__version__", "connectivity", "coverage", "summarize", "summarize_to_file", "to_raster", "update",
           "progress", "RunSummary", "UpdateSummary", "Tile", "tile_plan", "window_reach", "ArgumentError",
           "ArgumentTypeError", "DataError", "RunRefused", "RunFailed", "Stopped"]
