"""Opening the input files far enough to check them: readable, the right number of bands, on one grid."""
from dataclasses import dataclass

import geopandas
import pyogrio
import rasterio
import rasterio.errors

from .errors import DataError

POLYGON_TYPES = ("Polygon", "MultiPolygon")


@dataclass(frozen=True)
class Grid:
    crs: object
    transform: object
    shape: tuple


def read_grid(path, label, *, band=None, multiband=False):
    """The grid of a raster file; a multi-band file needs `band` unless `multiband` allows it."""
    try:
        with rasterio.open(path) as source:
            grid = Grid(source.crs, source.transform, source.shape)
            count = source.count
    except rasterio.errors.RasterioIOError:
        raise DataError(f"{label} '{path}' is not a raster file that GDAL can read") from None
    if band is not None and band > count:
        raise DataError(f"--band {band}: {label} '{path}' has {count} band{'s' if count > 1 else ''}")
    if count > 1 and band is None and not multiband:
        if label == "CONDITION":
            raise DataError(f"{label} '{path}' has {count} bands; choose one with --band N")
        raise DataError(f"{label} '{path}' has {count} bands; it must have one")
    return grid


def check_same_grid(grid, reference, label, path, reference_label):
    """Name the first of CRS, transform and shape in which a raster differs from the reference grid."""
    for what, mine, theirs in (
        ("CRS", grid.crs, reference.crs),
        ("transform", tuple(grid.transform)[:6], tuple(reference.transform)[:6]),
        ("shape", grid.shape, reference.shape),
    ):
        if mine != theirs:
            raise DataError(
                f"{label} '{path}' is not on the grid of {reference_label}: {what} differs ({mine} vs {theirs})"
            )


def read_polygons(path, *, layer=None, where=None):
    """The polygons of a vector file as a GeoDataFrame; other geometry types are left out."""
    try:
        frame = geopandas.read_file(path, layer=layer, where=where, engine="pyogrio")
    except pyogrio.errors.DataLayerError as error:
        label = "--layer" if layer is not None else "--where" if where else "POLYGONS"
        raise DataError(f"{label}: {_first_line(error)} in '{path}'") from None
    except pyogrio.errors.DataSourceError:
        raise DataError(f"POLYGONS '{path}' is not a vector file that GDAL can read") from None
    except pyogrio.errors.GeometryError as error:
        raise DataError(f"POLYGONS '{path}': {_first_line(error)}") from None
    polygons = frame[frame.geom_type.isin(POLYGON_TYPES)]
    if polygons.empty:
        found = ", ".join(sorted(set(frame.geom_type.dropna()))) or "no geometries"
        raise DataError(f"POLYGONS '{path}' has no polygons (found: {found})")
    return polygons


def _first_line(error):
    return str(error).strip().splitlines()[0]
