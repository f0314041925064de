"""What values each input raster may hold, checked twice: on a sample before any tile runs, so that a raster scaled
wrongly as a whole is refused at once, and on every window a tile reads, so that a stray value anywhere fails the
run instead of being computed into the map.

The rules, no-data (NaN) always allowed:
- `FRACTION`: a fraction in [0, 1] (condition, traversal, protected fraction);
- `FLAG`: 0 or 1, or booleans (sources);
- `FINITE`: any finite number (transition stacks).
A value outside the rule is explained: one distinct value among otherwise valid ones is almost always a no-data
value the file does not declare (-9999, 255); a spread of values is a raster on another scale (0-255, metres).
"""
import numpy as np
import rasterio
from rasterio.windows import Window

from .errors import DataError

FRACTION, FLAG, FINITE = "a fraction in [0, 1]", "0 or 1", "finite"
SAMPLE_BLOCKS, SAMPLE_SIDE = 16, 256


def check_values(values, rule, name, where, origin=(0, 0)):
    """DataError naming argument `name` and its raster `where` (a file, or "the array") when `values` (float32, NaN
    for no data; (y, x) or (band, y, x)) break `rule`; `origin` is the raster row and column of values[..., 0, 0],
    so that the message can say where."""
    if _obeys(values, rule):
        return
    infinite = np.isinf(values)
    if infinite.any():
        raise DataError(name, f"{where} holds infinite values (the first at {_place(infinite, origin)});"
                                     " mark cells without data as no-data instead")
    bad = _breaking(values, rule)
    if bad is None or not bad.any():
        return
    found = values[bad]
    low, high = float(found.min()), float(found.max())
    if low == high and rule != FINITE:
        raise DataError(name, f"{where} holds the value {low:g} in {found.size} cell"
                                     f"{'s' * (found.size > 1)} (the first at {_place(bad, origin)}), which looks like "
                                     f"a no-data value the raster does not declare; declare it (e.g. `gdal_edit.py "
                                     f"-a_nodata {low:g} FILE` or `.rio.write_nodata`), as {name} must be {rule}")
    finite = values[np.isfinite(values)]
    raise DataError(name, f"{where} has values from {float(finite.min()):g} to {float(finite.max()):g}, "
                                 f"but {name} must be {rule}: rescale it (or declare its no-data value)")


def _obeys(values, rule):
    """A quick pass for the usual case, values that follow the rule: their range alone shows it (NaN ignored)."""
    low, high = np.fmin.reduce(values, axis=None), np.fmax.reduce(values, axis=None)
    if np.isnan(low):  # no data at all
        return True
    if rule == FINITE:
        return bool(np.isfinite(low) and np.isfinite(high))
    if not (0 <= low and high <= 1):
        return False
    return rule == FRACTION or not np.any((values > 0) & (values < 1))


def _breaking(values, rule):
    if rule == FRACTION:
        with np.errstate(invalid="ignore"):
            return (values < 0) | (values > 1)
    if rule == FLAG:
        return ~np.isnan(values) & (values != 0) & (values != 1)
    return None


def _place(cells, origin):
    if cells.ndim == 3:
        cells = cells.any(axis=0)
    row, col = np.unravel_index(int(np.argmax(cells)), cells.shape)
    return f"row {origin[0] + row}, column {origin[1] + col}"


def check_sample(raster, rule):
    """Check the values of a sample of `raster`: the whole of an in-memory array, else up to `SAMPLE_BLOCKS` of the
    file's blocks (or the array's chunks), spread evenly over it."""
    if raster.path is not None:
        for window in _sample_windows(raster):
            rows, cols = window.toslices()
            check_values(raster.reader().read(rows, cols), rule, raster.name, raster.where, (rows.start, cols.start))
        return
    data = raster.reader()
    if isinstance(data, np.ndarray):
        check_values(data, rule, raster.name, raster.where)
        return
    blocks = list(np.ndindex(*data.numblocks))
    starts = [np.cumsum((0,) + chunks[:-1]) for chunks in data.chunks]
    for index in _spread(blocks):
        origin = tuple(int(starts[axis][i]) for axis, i in enumerate(index))[-2:]
        check_values(np.asarray(data.blocks[index].compute()), rule, raster.name, raster.where, origin)


def _sample_windows(raster):
    """Windows spread over a file: its own blocks, or blocks of the grid it is warped onto."""
    if raster.warp is not None:
        rows, cols = raster.shape
        return _spread([Window(c, r, min(SAMPLE_SIDE, cols - c), min(SAMPLE_SIDE, rows - r))
                        for r in range(0, rows, SAMPLE_SIDE) for c in range(0, cols, SAMPLE_SIDE)])
    with rasterio.open(raster.path) as dataset:
        return _spread([window for _, window in dataset.block_windows(1)])


def _spread(items):
    """At most `SAMPLE_BLOCKS` items, evenly spaced, first and last included."""
    if len(items) <= SAMPLE_BLOCKS:
        return items
    return [items[round(k * (len(items) - 1) / (SAMPLE_BLOCKS - 1))] for k in range(SAMPLE_BLOCKS)]
