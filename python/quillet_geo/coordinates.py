"""The coordinates of a DataArray, checked against the grid it is computed on.

A DataArray is placed by its transform, which rioxarray takes from its coordinates (the first one and their mean
step) unless one is written: coordinates out of order or unevenly spaced would place cells where the array's own
coordinates say they are not, and every value computed from them would be off. Coordinates are accepted when each
lies within `COORDINATE_TOLERANCE` of a cell of where the transform puts its cell's centre: enough for coordinates
stored in single precision, far less than anything that moves a cell.
"""
import numpy as np

from .errors import ArgumentError

COORDINATE_TOLERANCE = 0.01  # of a cell's side


def check_coordinates(array, name):
    """ArgumentError naming argument `name` when the (y, x) coordinates of `array` (each a dimension coordinate,
    1-D) are not the cell centres of its transform: out of order, unevenly spaced, or off the transform written."""
    if array.shape[-2] == 0 or array.shape[-1] == 0:
        return
    transform = array.rio.transform()
    if transform.b or transform.d:  # a rotated grid has no coordinates of its own to follow
        return
    for dim, origin, step in ((array.rio.x_dim, transform.c, transform.a), (array.rio.y_dim, transform.f, transform.e)):
        if dim not in array.coords:
            continue
        coordinates = np.asarray(array.coords[dim].values, dtype=np.float64)
        centres = origin + (np.arange(coordinates.size) + 0.5) * step
        off = np.abs(coordinates - centres) > COORDINATE_TOLERANCE * abs(step)
        if off.any():
            k = int(np.argmax(off))
            raise ArgumentError(name, f"the array's {dim} coordinates are not a regular grid: {dim}[{k}] is "
                                      f"{coordinates[k]:.10g}, where its transform puts that cell's centre at "
                                      f"{centres[k]:.10g}; {_hint(coordinates, dim)}")


def _hint(coordinates, dim):
    steps = np.diff(coordinates)
    if len(steps) and not ((steps > 0).all() or (steps < 0).all()):
        return f"sort them (`.sortby('{dim}')`) or put the array on a regular grid"
    return "put the array on a regular grid (e.g. with `.rio.reproject`) or write the transform it lies on"
