"""Exact polygon coverage of a raster's cells, tile by tile.

Geometries are passed to the native call as they are, not repaired: a self-crossing ring covers each of
its lobes whichever way it winds, a hole outside its exterior subtracts where it lies (the sum of all rings
is clamped to [0, 1] per cell), and empty geometries cover nothing. Anything other than a Polygon or MultiPolygon is a TypeError.
"""
import dask
import dask.array as da
import geopandas
import numpy as np
import shapely

import quillet

from .connectivity import _like, level_transforms
from .rasters import open_raster
from .tiles import tile_plan


def _polygon_series(geometries, crs):
    series = geometries.geometry if isinstance(geometries, geopandas.GeoDataFrame) else geopandas.GeoSeries(geometries)
    kinds = set(series.geom_type.dropna()) - {"Polygon", "MultiPolygon"}
    if kinds:
        raise TypeError(f"geometries: only Polygon and MultiPolygon are covered, got {', '.join(sorted(kinds))}")
    if series.crs is not None and crs is not None and series.crs != crs:
        series = series.to_crs(crs)
    return series[~series.is_empty & series.notna()]


def _rings(geometries):
    polygons = shapely.get_parts(np.asarray(geometries))
    return [(shapely.get_coordinates(p.exterior), [shapely.get_coordinates(h) for h in p.interiors]) for p in polygons]


def coverage_tile(tile, geometries, *, transform, n_threads):
    """The covered fraction of one tile's cells by the geometries that touch it."""
    shape = (tile.rows.stop - tile.rows.start, tile.cols.stop - tile.cols.start)
    try:
        tile_transform = level_transforms(transform, [1], (tile.rows.start, tile.cols.start))[1]
        return quillet.pixel_coverage(_rings(geometries), tile_transform, shape, n_threads=n_threads)
    except BaseException as error:
        error.add_note(f"in coverage tile {tile.index}")
        raise


def _tile_bounds(transform, tile):
    corners = [transform * (c, r) for r in (tile.rows.start, tile.rows.stop) for c in (tile.cols.start, tile.cols.stop)]
    xs, ys = zip(*corners)
    return shapely.box(min(xs), min(ys), max(xs), max(ys))


def coverage(geometries, like, *, tile_size=4096, n_threads=None):
    """Covered fraction of every cell of `like`'s grid (a DataArray or a raster path) by polygons, float32."""
    like = open_raster(like, "like", tile_size, bands=False)
    series = _polygon_series(geometries, like.rio.crs)
    values = np.asarray(series.values.to_numpy() if hasattr(series.values, "to_numpy") else series.values)
    tree = shapely.STRtree(values)
    transform = like.rio.transform()
    task = dask.delayed(coverage_tile, pure=True)
    blocks = []
    for row in tile_plan(like.shape, tile_size):
        blocks.append([])
        for tile in row:
            touching = values[tree.query(_tile_bounds(transform, tile), predicate="intersects")]
            shape = (tile.rows.stop - tile.rows.start, tile.cols.stop - tile.cols.start)
            value = task(tile, touching, transform=transform, n_threads=n_threads)
            blocks[-1].append(da.from_delayed(value, shape, np.float32))
    result = _like(like, da.block(blocks), "coverage")
    return result if isinstance(like.data, da.Array) else result.compute()
