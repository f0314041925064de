"""Input rasters: opening what users have (a DataArray or a raster path, one band chosen, its no-data value declared
where it declares none), checking their CRS and that they share one grid (or warping them onto it), and reading a
tile's window of values with no-data as NaN.

Two grids are the same when their CRS are equal, their shapes are equal and every transform coefficient agrees
within `GRID_TOLERANCE` of a cell: rasters written by different tools often differ in the last bits of a
coefficient (28.49999999927454 against 28.5), which moves a cell by far less than anything the computation sees.

A raster on another grid is refused, unless the caller asks for it to be aligned: then a file is warped onto the
grid as each tile reads its window (GDAL's warped VRT, reading only the source cells that window needs), and an
array is reprojected at once. The warp uses GDAL's exact coordinate transformer: its default approximation
interpolates along each window's rows, so a cell's value would depend on the window that read it. A raster that
does not overlap the grid at all would be warped into no data, and is refused.
"""
import contextlib
import dataclasses
import math
import os
from dataclasses import dataclass

import numpy as np
import pyproj
import rasterio
import rasterio.errors
import rioxarray
import xarray as xr
from affine import Affine
from rasterio.enums import Resampling
from rasterio.vrt import WarpedVRT
from rasterio.warp import transform_bounds
from rasterio.windows import Window

from .coordinates import check_coordinates
from .errors import ArgumentError, ArgumentTypeError, DataError
from .input_files import check_input_file, is_path
from .nodata import declared_nodata, given_nodata, nodata_as_nan
from .parameters import integer, shown
from .transforms import coefficients, world

GRID_TOLERANCE = 1e-6  # of a cell's side
ALIGN_HINT = ("put it on that grid first, e.g. with `rio warp IN OUT --like GRID` or xarray's `.rio.reproject_match`, "
              "or pass `align` to warp it as it is read")
RESAMPLING = ("nearest", "bilinear", "cubic", "average", "mode", "min", "max", "med")
EXACT = 1e-9  # the warp transformer's error tolerance, in cells: exact, so that tiles agree


@dataclass(frozen=True)
class Raster:
    """One input raster: `array` describes it ((y, x), or (band, y, x) for a stack); `path` and `band` say where a
    tile reads it from when it comes from a file (1-based band, or None for every band of a stack)."""

    name: str
    array: xr.DataArray
    path: str | None = None
    band: int | None = None
    warp: tuple | None = None  # (CRS as WKT, transform, shape, resampling) of the grid a file is warped onto
    nodata: float | None = None  # a no-data value given for a raster that declares none, applied as it is read
    declared: float | None = None  # the finite no-data value the raster declares itself

    @property
    def has_nodata_value(self):
        """Whether a finite value of the raster stands for no data (declared, or given): then its other values,
        however far from the rest, are values."""
        return self.nodata is not None or self.declared is not None

    @property
    def where(self):
        """How messages name this raster: its file, or the argument for an array."""
        return f"'{self.path}'" if self.path else "the array"

    @property
    def shape(self):
        return self.array.shape[-2:]

    def reader(self):
        """What a tile task reads its window from: the file itself, or the (dask or NumPy) values, no-data as NaN."""
        if self.path is not None:
            return FileWindow(self.path, self.band, self.name, self.warp, self.nodata)
        return nodata_as_nan(self.array, self.nodata).data


class FileWindow:
    """A raster file's band (or every band), read window by window inside the task that needs it, warped onto
    another grid when `warp` says so, `nodata` (when given) taken as no data besides what the file declares; `name`
    is the argument it was given as, for the message when it cannot be read (truncated, vanished)."""

    def __init__(self, path, band=None, name="raster", warp=None, nodata=None):
        self.path, self.band, self.name, self.warp, self.nodata = str(path), band, name, warp, nodata

    def read(self, rows, cols):
        window = Window(cols.start, rows.start, cols.stop - cols.start, rows.stop - rows.start)
        try:
            with rasterio.open(self.path) as dataset, self._warped(dataset) as source:
                bands = self.band if self.band is not None else list(range(1, dataset.count + 1))
                data = source.read(bands, window=window, masked=True)
        except rasterio.errors.RasterioError as error:
            reason = " ".join(str(error).split()) or type(error).__name__
            raise DataError(self.name, f"'{self.path}' cannot be read at rows {rows.start}:{rows.stop}, columns "
                                       f"{cols.start}:{cols.stop} ({reason})") from None
        if self.nodata is not None and self.warp is None:  # a warp leaves it out itself
            data = np.ma.masked_equal(data, self.nodata)
        return np.ma.filled(data.astype(np.float32), np.nan)

    def _warped(self, dataset):
        if self.warp is None:
            return contextlib.nullcontext(dataset)
        crs, transform, (rows, cols), method = self.warp
        nodata = {} if self.nodata is None else {"src_nodata": self.nodata, "nodata": self.nodata}
        return WarpedVRT(dataset, crs=crs, transform=Affine(*transform), width=cols, height=rows,
                         resampling=Resampling[method], tolerance=EXACT,
                         add_alpha=dataset.nodata is None and self.nodata is None, **nodata)


def open_raster(value, name, *, band=None, band_argument=None, stack=False, nodata=None):
    """A `Raster` for `value`: a DataArray, or a raster path (opened lazily: only its tiles are read later).

    A single-band (band, y, x) array is taken as (y, x); where the caller offers a band choice (its argument named
    `band_argument`), `band` (1-based) picks one band of several. With `stack`, every band is kept as (band, y, x).
    `nodata` is the no-data value of a raster that declares none (NaN is no data in any raster); where the raster
    declares its own, that one stands and a warning says so. An array without cells, or whose coordinates are not
    the regular grid of its transform, is refused.
    """
    if band is not None:
        band = integer(band_argument, band, minimum=1)
    path = None
    if is_path(value):
        path = os.fspath(value)
        array = _open_file(path, name)
    elif isinstance(value, xr.DataArray):
        array = value
    else:
        kind = f"a NumPy array of shape {value.shape}" if isinstance(value, np.ndarray) else shown(value)
        raise ArgumentTypeError(name, f"expected a georeferenced xarray DataArray or a raster path, got {kind}")
    raster = Raster(name, array, path)
    array = _spatial_dims_last(raster)
    if 0 in array.shape:
        raise DataError(name, f"{raster.where} has no cells (shape {array.shape})")
    if path is None:
        check_coordinates(array, name)
    declared = declared_nodata(array)
    values = {"nodata": given_nodata(nodata, declared, f"{name} {raster.where}"), "declared": declared}
    if stack:
        return Raster(name, array, path, **values)
    count = array.sizes.get("band", 1)
    if band is not None and band > count:
        raise ArgumentError(band_argument, f"{band}, but {raster.where} has {count} band{'s' * (count > 1)}")
    if count > 1 and band is None:
        if band_argument:
            raise ArgumentError(band_argument, f"{raster.where} has {count} bands; choose one (1 to {count})")
        raise ArgumentError(name, f"{raster.where} has {count} bands; it must have one")
    if array.ndim == 3:
        array = array.isel(band=(band or 1) - 1, drop=True)
    return Raster(name, array, path, (band or 1) if path else None, **values)


def _open_file(path, name):
    check_input_file(path, name)
    try:
        return rioxarray.open_rasterio(path, cache=False)
    except Exception as error:  # rasterio and GDAL raise several types for an unreadable file
        reason = str(error).strip().splitlines()[0] if str(error).strip() else type(error).__name__
        raise DataError(name, f"'{path}' is not a raster that GDAL can read ({reason})") from None


def _spatial_dims_last(raster):
    array = raster.array
    try:
        y, x = array.rio.y_dim, array.rio.x_dim
    except Exception:  # rioxarray's own error when it finds no spatial dimensions
        y, x = None, None
    others = [d for d in array.dims if d not in (y, x)]
    if y is None or len(others) > 1 or (others and others != ["band"]):
        raise ArgumentError(raster.name, f"{raster.where} has dimensions {array.dims}; expected (y, x) or "
                                         "(band, y, x)")
    return array.transpose(*others, y, x)


def check_crs(raster, *, measures_distances):
    """Refuse a raster without CRS; for distances also a geographic one beyond ±90° latitude, or a projected one
    whose unit is not the metre."""
    crs = raster.array.rio.crs
    if crs is None:
        raise DataError(raster.name, f"{raster.where} has no CRS; set it (e.g. `gdal_edit.py -a_srs EPSG:3035 FILE`"
                                     " or `.rio.write_crs`)")
    if not measures_distances:
        return
    if crs.is_geographic:
        extreme = max((y for _, y in _corners(raster)), key=abs)
        if abs(extreme) > 90 + 1e-9:
            raise DataError(raster.name, f"{raster.where} reaches latitude {extreme:g}°, beyond ±90°: its transform "
                                         "is not a longitude/latitude grid")
        return
    try:
        unit, factor = crs.linear_units_factor
    except Exception:  # a local CRS without a known unit: nothing to check
        return
    if factor != 1:
        raise DataError(raster.name, f"{raster.where} has a CRS in {unit}; distances are measured in metres: "
                                     "reproject it to a metric CRS")


def _corners(raster):
    transform = raster.array.rio.transform()
    rows, cols = raster.shape
    return [world(transform, c, r) for r in (0, rows) for c in (0, cols)]


def check_same_grid(raster, like):
    """DataError naming `raster`, what differs from `like`'s grid (CRS, shape or transform) and how to fix it."""
    difference = grid_difference(raster, like)
    if difference:
        what, mine, theirs = difference
        raise DataError(raster.name, f"{raster.where} is not on the grid of {like.name}: {what} differs ({mine} vs "
                                     f"{theirs}); {ALIGN_HINT}")


def grid_difference(raster, like):
    """The first of CRS, shape and transform in which `raster`'s grid differs from `like`'s: (what, its, like's)."""
    mine, theirs = raster.array, like.array
    if not _same_crs(mine.rio.crs, theirs.rio.crs):
        return "CRS", mine.rio.crs, theirs.rio.crs
    if raster.shape != like.shape:
        return "shape", raster.shape, like.shape
    a, b = coefficients(mine.rio.transform()), coefficients(theirs.rio.transform())
    cell = math.hypot(b[0], b[3])
    if any(abs(x - y) > GRID_TOLERANCE * cell for x, y in zip(a, b)):
        return "transform", a, b
    return None


def check_resampling(method, argument="align"):
    """`method` if it names a resampling method, else ArgumentError naming `argument`."""
    if method not in RESAMPLING:
        raise ArgumentError(argument, f"{shown(method)} is not a resampling method ({', '.join(RESAMPLING)})")
    return method


def aligned(raster, like, method):
    """`raster` on `like`'s grid: as it is when it lies on it already, else warped with resampling `method`; refused
    when it does not overlap that grid."""
    if grid_difference(raster, like) is None:
        return raster
    check_crs(raster, measures_distances=False)
    _check_overlap(raster, like)
    if raster.path is None:
        values = nodata_as_nan(raster.array, raster.nodata).rio.write_nodata(np.nan)
        warped = values.rio.reproject_match(like.array, resampling=Resampling[method], tolerance=EXACT)
        return dataclasses.replace(raster, array=warped, nodata=None)
    transform = coefficients(like.array.rio.transform())
    return dataclasses.replace(raster, array=like.array,
                               warp=(like.array.rio.crs.to_wkt(), transform, like.shape, method))


def _check_overlap(raster, like):
    """DataError when `raster`'s bounds, brought into `like`'s CRS, do not meet `like`'s: warped, it would hold no
    data at all. Bounds that cannot be brought over (a CRS that cannot represent the other's area) are let pass."""
    try:
        bounds = transform_bounds(raster.array.rio.crs, like.array.rio.crs, *raster.array.rio.bounds(),
                                  densify_pts=21)
    except Exception:  # PROJ's and rasterio's errors for an area beyond the other CRS's domain
        return
    theirs = like.array.rio.bounds()
    if not all(map(math.isfinite, bounds)):
        return
    if bounds[0] >= theirs[2] or bounds[2] <= theirs[0] or bounds[1] >= theirs[3] or bounds[3] <= theirs[1]:
        box = ", ".join(f"{v:.6g}" for v in bounds)
        raise DataError(raster.name, f"{raster.where} does not overlap {like.name}: its bounds in {like.name}'s CRS "
                                     f"are ({box}), {like.name}'s are ({', '.join(f'{v:.6g}' for v in theirs)})")


def _same_crs(first, second):
    if first == second:
        return True
    if first is None or second is None:
        return False
    return pyproj.CRS(first.to_wkt()).equals(pyproj.CRS(second.to_wkt()), ignore_axis_order=True)
