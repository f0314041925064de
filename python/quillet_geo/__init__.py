"""Georeferenced rasters in and out of quillet: tiles with an exact halo, lazily on Dask, every input checked."""
from .connectivity import connectivity
from .coverage import coverage
from .errors import ArgumentError, ArgumentTypeError, DataError
from .parameters import window_reach
from .tiles import Tile, tile_plan

__all__ = ["connectivity", "coverage", "Tile", "tile_plan", "window_reach", "ArgumentError", "ArgumentTypeError",
           "DataError"]
