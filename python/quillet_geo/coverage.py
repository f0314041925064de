"""Exact polygon coverage of a raster's cells, tile by tile: the fraction of every cell covered by the union of
the polygons, so that overlapping polygons (a park inside a larger designation) count once."""
import os
import warnings
from dataclasses import dataclass

import numpy as np
import shapely

import quillet

from .cpus import tile_threads
from .jobs import TiledJob, grid_of, job_result
from .parameters import integer
from .rasters import check_crs, is_path, open_raster
from .tiles import tile_plan
from .transforms import block_bounds, block_transform, coefficients
from .vectors import disjoint_pieces, read_polygons


def rings(geometries):
    """The polygons of `geometries` as `pixel_coverage` takes them: (exterior, [holes]) coordinate arrays."""
    polygons = shapely.get_parts(np.asarray(geometries, dtype=object))
    polygons = polygons[~shapely.is_empty(polygons)]
    boundaries = shapely.get_rings(polygons)  # each polygon's exterior, then its holes
    coordinates = np.split(shapely.get_coordinates(boundaries), np.cumsum(shapely.get_num_coordinates(boundaries))[:-1])
    holes = shapely.get_num_interior_rings(polygons)
    exteriors = np.cumsum(holes + 1) - (holes + 1)
    return [(coordinates[k], coordinates[k + 1:k + 1 + n]) for k, n in zip(exteriors.tolist(), holes.tolist())]


@dataclass(frozen=True)
class CoverageComputation:
    """Computes one tile: the covered fraction of its cells by the union of the geometries that touch it."""

    transform: tuple
    n_threads: int

    def __call__(self, tile, geometries):
        shape = (tile.rows.stop - tile.rows.start, tile.cols.stop - tile.cols.start)
        try:
            tile_transform = block_transform(self.transform, tile.rows.start, tile.cols.start)
            pieces = disjoint_pieces(geometries, _box(self.transform, tile.rows, tile.cols, margin=1), self.n_threads)
            return quillet.pixel_coverage(rings(pieces), tile_transform, shape, n_threads=self.n_threads)
        except BaseException as error:
            error.add_note(f"in coverage tile {tile.index}")
            raise


@dataclass(frozen=True)
class CoverageJob(TiledJob):
    """Each tile reads the geometries that touch it: `touching[tile.index]` indexes `geometries`."""

    geometries: np.ndarray = None
    touching: dict = None

    def pieces(self, tile):
        return (self.geometries[self.touching[tile.index]],)


def _box(transform, rows, cols, margin=0):
    """The bounding box of a block of cells (row and column slices), `margin` cells wider on every side."""
    return shapely.box(*block_bounds(transform, rows, cols, margin))


def coverage(geometries, like, *, layer=None, where=None, assume_crs=None, tile_size=4096, n_threads=None):
    """Covered fraction of every cell of `like`'s grid by the union of polygons, as a float32 DataArray.

    `geometries`: a vector file path (`layer`, `where` choose what is read), a GeoDataFrame or GeoSeries
    (reprojected to `like`'s CRS; without CRS, `assume_crs` must name it), or shapely geometries in `like`'s CRS.
    Only polygons cover: points and lines are left out, the polygons of GeometryCollections kept, invalid polygons
    made valid (shapely's make_valid, exteriors united: a bow-tie covers both lobes). Overlapping polygons count
    once. `like`: a DataArray or raster path giving the grid (any number of bands). Lazy (one chunk per tile) when
    `like` is a path or dask-backed; a warning says when no polygon reaches the raster.
    """
    tile_size = integer("tile_size", tile_size, minimum=1, maximum=2**20)
    if n_threads is not None:
        n_threads = integer("n_threads", n_threads, minimum=1)
    grid = open_raster(like, "like", stack=True)
    check_crs(grid, measures_distances=False)
    template = grid.array.isel(band=0, drop=True) if "band" in grid.array.dims else grid.array
    series = read_polygons(geometries, grid.array.rio.crs, layer=layer, where=where, assume_crs=assume_crs)
    values = series.values.to_numpy() if hasattr(series.values, "to_numpy") else np.asarray(series.values)
    values = values[~shapely.is_empty(values)]
    tree = shapely.STRtree(values)
    transform = template.rio.transform()
    if not len(tree.query(_box(transform, slice(0, template.shape[0]), slice(0, template.shape[1])),
                          predicate="intersects")):
        warnings.warn(f"geometries: none of the {len(values)} polygons reaches the raster (bounds "
                      f"{tuple(round(v, 6) for v in template.rio.bounds())}); every cell is 0", stacklevel=2)
    tiles = tuple(t for row in tile_plan(template.shape, tile_size) for t in row)
    computation = CoverageComputation(transform=coefficients(transform),
                                      n_threads=n_threads or tile_threads(len(tiles)))
    job = CoverageJob(
        name="coverage", template=grid_of(template), tiles=tiles, computation=computation,
        parameters={"layer": layer, "where": where, "assume_crs": assume_crs, "tile_size": tile_size},
        inputs={"like": grid.path or grid.array,
                "geometries": os.fspath(geometries) if is_path(geometries) else values},
        geometries=values,
        touching={t.index: tree.query(_box(transform, t.rows, t.cols), predicate="intersects") for t in tiles})
    return job_result(job)
