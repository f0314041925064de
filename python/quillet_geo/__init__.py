"""Georeferenced rasters in and out of quillet: tiles with an exact halo, lazily on Dask."""
from .connectivity import connectivity
from .coverage import coverage
from .tiles import Tile, tile_plan, window_reach

__all__ = ["connectivity", "coverage", "Tile", "tile_plan", "window_reach"]
