"""What values each input raster may hold, checked twice: on a sample before any tile runs, so that a raster scaled
wrongly as a whole (or holding no data at all) is refused at once, and on every window a tile reads, so that a stray
value anywhere fails the run instead of being computed into the map.

The rules, no-data (NaN) always allowed:
- `FRACTION`: a fraction in [0, 1] (condition, traversal, protected fraction);
- `FLAG`: 0 or 1, or booleans (sources);
- `FINITE`: any finite number (transition stacks, values to summarize, weights).
A value outside the rule is explained: one distinct value among otherwise valid ones is almost always a no-data
value the file does not declare (-9999, 255); a spread of values is a raster on another scale (0-255, metres).
Under `FINITE` every value is valid, but a common no-data value (`SENTINELS`) that lies far outside the others (its
distance to them larger than their spread and than their magnitude) is taken for an undeclared no-data value too,
unless the raster declares a finite no-data value of its own: then its other values are values.
"""
import functools

import numpy as np
import rasterio
from rasterio.windows import Window

from .errors import DataError

FRACTION, FLAG, FINITE = "a fraction in [0, 1]", "0 or 1", "finite"
SAMPLE_BLOCKS, SAMPLE_SIDE = 16, 256
SENTINELS = np.array([-9999, -99999, -999, -32768, -32767, 32767, 65535, 255, np.finfo(np.float32).min,
                      np.finfo(np.float32).max, 9.96921e36], dtype=np.float32)  # the last: netCDF's fill value


def check_values(values, rule, name, where, origin=(0, 0), *, sentinels=True):
    """DataError naming argument `name` and its raster `where` (a file, or "the array") when `values` (float32, NaN
    for no data; (y, x) or (band, y, x)) break `rule`; `origin` is the raster row and column of values[..., 0, 0],
    so that the message can say where. `sentinels`: whether, under `FINITE`, a common no-data value far outside the
    others is refused as undeclared (not for a raster that declares a finite no-data value)."""
    if _obeys(values, rule, sentinels):
        return
    infinite = np.isinf(values)
    if infinite.any():
        raise DataError(name, f"{where} holds infinite values (the first at {_place(infinite, origin)});"
                                     " mark cells without data as no-data instead")
    if rule == FINITE:
        _check_sentinels(values, name, where, origin)
        return
    bad = _breaking(values, rule)
    if not bad.any():
        return
    found = values[bad]
    low, high = float(found.min()), float(found.max())
    if low == high:
        raise DataError(name, f"{where} holds the value {low:g} in {found.size} cell"
                                     f"{'s' * (found.size > 1)} (the first at {_place(bad, origin)}), which looks like "
                                     f"a no-data value the raster does not declare; {_declare(low)}, as {name} must be "
                                     f"{rule}")
    finite = values[np.isfinite(values)]
    raise DataError(name, f"{where} has values from {float(finite.min()):g} to {float(finite.max()):g}, "
                                 f"but {name} must be {rule}: rescale it (or declare its no-data value)")


def _declare(value):
    return (f"declare it with `nodata` {value:g} (or in the file: `gdal_edit.py -a_nodata {value:g} FILE`, or "
            "`.rio.write_nodata`)")


def _obeys(values, rule, sentinels):
    """A quick pass for the usual case, values that follow the rule: their range alone shows it (NaN ignored)."""
    low, high = np.fmin.reduce(values, axis=None), np.fmax.reduce(values, axis=None)
    if np.isnan(low):  # no data at all
        return True
    if rule == FINITE:
        return bool(np.isfinite(low) and np.isfinite(high)) and not (sentinels and np.isin([low, high],
                                                                                            SENTINELS).any())
    if not (0 <= low and high <= 1):
        return False
    return rule == FRACTION or not np.any((values > 0) & (values < 1))


def _breaking(values, rule):
    if rule == FRACTION:
        with np.errstate(invalid="ignore"):
            return (values < 0) | (values > 1)
    return ~np.isnan(values) & (values != 0) & (values != 1)


def _check_sentinels(values, name, where, origin):
    """Refuse the least or greatest value when it is a common no-data value far outside the others."""
    for extreme in (np.fmin.reduce(values, axis=None), np.fmax.reduce(values, axis=None)):
        if not np.isin(extreme, SENTINELS):
            continue
        others = values[~np.isnan(values) & (values != extreme)]
        if not others.size:
            continue
        low, high = float(others.min()), float(others.max())
        gap = low - float(extreme) if extreme < low else float(extreme) - high
        if gap > max(high - low, abs(low), abs(high)):
            cells = values == extreme
            count = int(cells.sum())
            raise DataError(name, f"{where} holds the value {float(extreme):g} in {count} cell{'s' * (count > 1)} "
                                  f"(the first at {_place(cells, origin)}), far outside its other values ({low:g} to "
                                  f"{high:g}), which looks like a no-data value the raster does not declare; "
                                  f"{_declare(float(extreme))}")


def _place(cells, origin):
    if cells.ndim == 3:
        cells = cells.any(axis=0)
    row, col = np.unravel_index(int(np.argmax(cells)), cells.shape)
    return f"row {origin[0] + row}, column {origin[1] + col}"


def check_sample(raster, rule, *, require_data=False):
    """Check the values of a sample of `raster`: the whole of an in-memory array, else up to `SAMPLE_BLOCKS` of the
    file's blocks (or the array's chunks), spread evenly over it. With `require_data`, a raster without data in its
    sample is read on until a block has some, and refused when none has."""
    parts = _parts(raster)
    sample = _spread(range(len(parts)))
    found = False
    for k in sample:
        values, origin = parts[k]()
        check_values(values, rule, raster.name, raster.where, origin, sentinels=not raster.has_nodata_value)
        found = found or not np.isnan(values).all()
    if not require_data or found:
        return
    chosen = set(sample)
    for k in range(len(parts)):
        if k not in chosen:
            values, origin = parts[k]()
            check_values(values, rule, raster.name, raster.where, origin, sentinels=not raster.has_nodata_value)
            if not np.isnan(values).all():
                return
    onto = " once warped onto the grid" if raster.warp is not None else ""
    raise DataError(raster.name, f"{raster.where} has no data in any cell{onto}: every one is NaN or its no-data "
                                 "value")


def _parts(raster):
    """Every part of `raster` that a sample may read: a function giving its values and their origin (row, column)
    each; the file's blocks (or blocks of the grid it is warped onto), the array's chunks, or the whole array."""
    if raster.path is not None:
        reader = raster.reader()

        def window(rows, cols):
            return reader.read(rows, cols), (rows.start, cols.start)

        return [functools.partial(window, *w.toslices()) for w in _file_windows(raster)]
    data = raster.reader()
    if isinstance(data, np.ndarray):
        return [lambda: (data, (0, 0))]
    starts = [np.cumsum((0,) + chunks[:-1]) for chunks in data.chunks]

    def block(index):
        origin = tuple(int(starts[axis][i]) for axis, i in enumerate(index))[-2:]
        return np.asarray(data.blocks[index].compute()), origin

    return [functools.partial(block, index) for index in np.ndindex(*data.numblocks)]


def _file_windows(raster):
    """A file's blocks, or blocks of the grid it is warped onto."""
    if raster.warp is not None:
        rows, cols = raster.shape
        return [Window(c, r, min(SAMPLE_SIDE, cols - c), min(SAMPLE_SIDE, rows - r))
                for r in range(0, rows, SAMPLE_SIDE) for c in range(0, cols, SAMPLE_SIDE)]
    with rasterio.open(raster.path) as dataset:
        return [window for _, window in dataset.block_windows(1)]


def _spread(items):
    """At most `SAMPLE_BLOCKS` items, evenly spaced, first and last included."""
    items = list(items)
    if len(items) <= SAMPLE_BLOCKS:
        return items
    return [items[round(k * (len(items) - 1) / (SAMPLE_BLOCKS - 1))] for k in range(SAMPLE_BLOCKS)]
