"""`summarize`'s arguments checked and turned into its job: the statistics asked for, the values and weights
rasters, the regions (read, reprojected and made valid) and the keys that name the table's rows."""
import os
import warnings

import geopandas
import pandas
import shapely

from .areas import cell_areas
from .batches import batches
from .errors import ArgumentError, ArgumentTypeError
from .held_files import HeldFileWindow
from .jobs import grid_of
from .parameters import LARGEST_TILE, integer
from .rasters import aligned, check_crs, check_resampling, check_same_grid, is_path, open_raster
from .region_parts import cells_reached
from .statistics import AREAS, DEFAULT, columns, needs, parse_statistics
from .summary_computation import SummaryComputation
from .summary_job import SummaryJob
from .transforms import coefficients
from .values import FINITE, check_sample
from .vectors import read_polygons, read_vector_file


def _regions_frame(regions, layer, where):
    """The regions' features as a GeoDataFrame, and the file they were read from (None for a frame)."""
    if is_path(regions):
        return read_vector_file(regions, "regions", layer=layer, where=where), os.fspath(regions)
    if isinstance(regions, geopandas.GeoSeries):
        return geopandas.GeoDataFrame(geometry=regions), None
    if isinstance(regions, geopandas.GeoDataFrame):
        return regions, None
    raise ArgumentTypeError("regions", f"expected a GeoDataFrame or a vector file path, got {type(regions).__name__}")


def _keys(frame, by, columns):
    """The table's index: the column `by` of the regions, or their own index, as they are (empty keys, duplicates);
    a warning says how many regions share a key with another. `columns` are the statistics' columns."""
    if by is None:
        keys = frame.index.rename(frame.index.name or "region")
    elif by not in frame.columns or by == frame.geometry.name:
        fields = ", ".join(str(c) for c in frame.columns if c != frame.geometry.name) or "none"
        raise ArgumentError("by", f"{by!r} is not a field of the regions (their fields: {fields})")
    else:
        keys = pandas.Index(frame[by].to_numpy(), name=by)
    if keys.name in columns:
        raise ArgumentError("by" if by else "regions", f"the keys' name {keys.name!r} is also a statistic's column; "
                                                       "rename the field")
    shared = keys.duplicated(keep=False) & ~keys.isna()
    if shared.any():
        warnings.warn(f"{'by' if by else 'regions'}: {shared.sum()} of the {len(keys)} regions share their "
                      f"{'value of ' + repr(by) if by else 'index'} with another region (the first: "
                      f"{keys[shared][0]!r}); each keeps its row", stacklevel=4)
    return keys


def summary_job(values, regions, *, stats=DEFAULT, by=None, weights=None, band=None, layer=None, where=None,
                assume_crs=None, nodata=None, align=None, tile_size=1024):
    """The checked `SummaryJob` of `summarize`'s arguments, and the index of its table."""
    statistics = parse_statistics(stats, weighted=weights is not None)
    tile_size = integer("tile_size", tile_size, minimum=1, maximum=LARGEST_TILE)
    raster, weight = _rasters(values, weights, band, nodata, align)
    needs_areas = needs(statistics, AREAS)
    check_crs(raster, measures_distances=needs_areas)
    frame, source = _regions_frame(regions, layer, where)
    keys = _keys(frame, by, columns(statistics, _bands(raster)))
    geometries = read_polygons(frame, raster.array.rio.crs, name="regions", assume_crs=assume_crs,
                               read_from=source).to_numpy()
    transform = coefficients(raster.array.rio.transform())
    parts = batches(geometries, transform, raster.shape)
    if not _any_reaches(geometries, transform, raster.shape):
        warnings.warn(f"regions: none of the {len(geometries)} regions reaches the raster (bounds "
                      f"{tuple(round(v, 6) for v in raster.array.rio.bounds())}); their counts are 0", stacklevel=3)
    computation = SummaryComputation(
        transform=transform, shape=raster.shape, tile_size=tile_size, statistics=statistics, bands=_bands(raster),
        areas=cell_areas(raster) if needs_areas else None,
        labels=(("values", raster.where), ("weights", weight.where if weight else None)), n_threads=1)
    job = SummaryJob(
        name="summarize", template=grid_of(raster.array), parts=parts, computation=computation,
        parameters={"stats": [s.label for s in statistics], "by": by, "band": band, "layer": layer, "where": where,
                    "assume_crs": assume_crs, "nodata": nodata, "align": align, "tile_size": tile_size},
        inputs={"values": raster.path or raster.array, "regions": source or geometries,
                **({"weights": weight.path or weight.array} if weight else {})},
        geometries=geometries, readers=(_reader(raster), weight and _reader(weight)))
    return job, keys


def _rasters(values, weights, band, nodata, align):
    """The values and weights rasters (None without weights), opened and checked as connectivity's inputs are: the
    weights on the values' grid (or warped onto it with `align`), and a sample of each one's values, so that an
    undeclared no-data value such as -9999 is named before any batch runs."""
    if align is not None:
        check_resampling(align)
        if weights is None:
            raise ArgumentError("align", "is given, but there are no `weights` to warp onto the values' grid")
    raster = open_raster(values, "values", band=band, band_argument="band", stack=band is None, nodata=nodata)
    weight = None if weights is None else open_raster(weights, "weights", nodata=nodata)
    if weight is not None:
        if align is None:
            check_same_grid(weight, raster)
        else:
            weight = aligned(weight, raster, align)
    for checked in (raster, weight):
        if checked is not None:
            check_sample(checked, FINITE)
    return raster, weight


def _bands(raster):
    return raster.array.sizes.get("band", 1) if raster.array.ndim == 3 else 1


def _reader(raster):
    """What a batch reads a raster's windows from: a file that is not warped through a dataset held open."""
    reader = raster.reader()
    if raster.path is None or raster.warp is not None:
        return reader
    return HeldFileWindow(**vars(reader))


def _any_reaches(geometries, transform, shape):
    present = geometries[~shapely.is_empty(geometries)]
    top, bottom, left, right = cells_reached(shapely.bounds(present), transform, shape)
    return bool(((top < bottom) & (left < right)).any())
