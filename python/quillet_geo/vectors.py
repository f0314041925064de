"""Polygons from what users have, ready for exact coverage: a vector file, a GeoDataFrame or GeoSeries, or shapely
geometries, reprojected to the raster's CRS and reduced to their polygonal parts; and the disjoint pieces whose
summed coverage is the coverage of their union.

Only areas cover cells: the polygons inside a GeometryCollection are kept, points and lines are left out. Plain
shapely geometries have no CRS and are taken to be in the raster's; a vector file or GeoSeries without CRS is
refused unless `assume_crs` names it.

A polygon that overlaps no other one goes to the native coverage as it is, ring by ring (exteriors add, holes
subtract, the sum clamped to [0, 1] per cell): exact for a valid polygon, and for an invalid one what its rings
cover (a self-crossing ring covers each of its lobes). Polygons that overlap are united, after shapely's
`make_valid` ("structure" method: exteriors united, holes subtracted) repairs the invalid ones among them, since a
union needs valid polygons. Checking every polygon's validity instead would cost more than covering it.
"""
import concurrent.futures

import geopandas
import numpy as np
import pyogrio
import shapely

from .errors import ArgumentTypeError, DataError
from .input_files import check_input_file, is_path


def read_polygons(value, crs, *, name="geometries", layer=None, where=None, assume_crs=None, read_from=None):
    """A GeoSeries of one valid polygonal geometry (or an empty one) per feature of `value`, in `crs`; `read_from`
    names the file that `value` (a GeoDataFrame) was read from, for messages."""
    path = value if is_path(value) else read_from
    source = f"'{path}' has" if path is not None else f"the {name} have"
    series, plain = _series(value, name, layer, where)
    if series.crs is None and not plain:
        if assume_crs is None:
            raise DataError(name, f"{source} no CRS; say which CRS the coordinates are in (assume_crs=, "
                                  "--assume-crs), or set it in the file")
        series = series.set_crs(assume_crs)
    if series.crs is not None and crs is not None and series.crs != crs:
        series = series.to_crs(crs)
    geometries = _polygonal(series.values.to_numpy() if hasattr(series.values, "to_numpy") else series.values)
    if shapely.is_empty(geometries).all():
        found = ", ".join(sorted(set(series.geom_type.dropna()))) or "no geometries"
        raise DataError(name, f"{source} no polygons (found: {found})")
    return geopandas.GeoSeries(geometries, index=series.index, crs=crs)


def _series(value, name, layer, where):
    """The geometries as a GeoSeries, and whether they came as plain shapely geometries (no CRS to check)."""
    if is_path(value):
        return read_vector_file(value, name, layer=layer, where=where).geometry, False
    if isinstance(value, geopandas.GeoDataFrame):
        return value.geometry, False
    if isinstance(value, geopandas.GeoSeries):
        return value, False
    try:
        geometries = np.asarray(list(value), dtype=object)
    except TypeError:
        raise ArgumentTypeError(name, "expected a vector file path, a GeoDataFrame, a GeoSeries or a list of "
                                      f"shapely geometries, got {type(value).__name__}") from None
    if not all(g is None or isinstance(g, shapely.Geometry) for g in geometries):
        raise ArgumentTypeError(name, "expected shapely geometries in the list")
    return geopandas.GeoSeries(geometries), True


def read_vector_file(path, name, *, layer=None, where=None):
    """A vector file's features as a GeoDataFrame; a missing layer or a bad `where` is one line naming it."""
    check_input_file(path, name)
    try:
        return geopandas.read_file(path, layer=layer, where=where, engine="pyogrio")
    except pyogrio.errors.DataLayerError as error:
        text = str(error).strip().splitlines()[0]
        if where and "SQL" in text:
            raise DataError("where", f"{where!r} is not a condition that '{path}' can answer: "
                                     f"{text.rsplit(': ', 1)[-1]}") from None
        raise DataError("layer" if layer is not None else name, f"{text} in '{path}'") from None
    except (pyogrio.errors.DataSourceError, FileNotFoundError):
        raise DataError(name, f"'{path}' is not a vector file that GDAL can read") from None
    except pyogrio.errors.GeometryError as error:
        raise DataError(name, f"'{path}': {str(error).strip().splitlines()[0]}") from None


def _polygonal(geometries):
    """Each geometry reduced to its polygonal parts (collections searched), an empty polygon where there is none."""
    result = np.array(geometries, dtype=object)
    for k, geometry in enumerate(result):
        result[k] = polygonal(geometry)
    return result


def polygonal(geometry):
    """A geometry's polygonal parts: itself if it is a (Multi)Polygon, the polygons inside a (possibly nested)
    GeometryCollection as one MultiPolygon, else an empty polygon."""
    if shapely.get_type_id(geometry) in (3, 6):  # Polygon, MultiPolygon
        return geometry
    polygons, pending = [], [geometry]
    while pending:
        part = pending.pop(0)
        kind = shapely.get_type_id(part)
        if kind == 3:  # Polygon
            polygons.append(part)
        elif kind in (6, 7):  # MultiPolygon, GeometryCollection
            pending.extend(shapely.get_parts(part))
    return shapely.MultiPolygon(polygons) if polygons else shapely.Polygon()


# Overlapping groups are united in batches of about this many geometries, the batches spread over threads (GEOS
# lets the interpreter lock go). The batches do not depend on the thread count, so neither do the pieces.
UNION_BATCH = 512


def disjoint_pieces(geometries, box, n_threads=1):
    """Geometries whose areas do not overlap and whose union inside `box` is that of `geometries`.

    Geometries whose bounding boxes overlap are united group by group (made valid, and those that reach beyond
    `box` cut to it first), on up to `n_threads` threads; the others are passed on as they are, so that the usual
    case, polygons apart, costs nothing.
    """
    geometries = np.asarray(geometries, dtype=object)
    if len(geometries) < 2:
        return list(geometries)
    first, second = shapely.STRtree(geometries).query(geometries)
    groups = _groups(len(geometries), first[first < second], second[first < second])
    apart = [geometries[members[0]] for members in groups if len(members) == 1]
    batches = _batches([members for members in groups if len(members) > 1], UNION_BATCH)
    if not batches:
        return apart

    def united(batch):
        # GEOS unites groups that do not touch each other one by one, which is what the grouping found.
        return polygonal(shapely.disjoint_subset_union_all(_inside(geometries[batch], box)))

    with concurrent.futures.ThreadPoolExecutor(min(n_threads, len(batches))) as pool:
        return [*apart, *pool.map(united, batches)]


def _batches(groups, size):
    """The members of whole `groups`, in order, in batches of at least `size` members (the last may have fewer)."""
    batches, batch = [], []
    for members in groups:
        batch.extend(members)
        if len(batch) >= size:
            batches.append(batch)
            batch = []
    return batches + [batch] if batch else batches


def _inside(geometries, box):
    """The geometries made valid, and cut to `box` where they reach beyond it."""
    invalid = ~shapely.is_valid(geometries)
    if invalid.any():
        geometries[invalid] = _polygonal(shapely.make_valid(geometries[invalid], method="structure"))
    xmin, ymin, xmax, ymax = shapely.bounds(box)
    bounds = shapely.bounds(geometries)
    outside = (bounds[:, 0] < xmin) | (bounds[:, 1] < ymin) | (bounds[:, 2] > xmax) | (bounds[:, 3] > ymax)
    if outside.any():
        geometries[outside] = shapely.intersection(geometries[outside], box)
    return geometries


def _groups(count, first, second):
    """The connected groups of `count` items linked by the pairs (first[k], second[k]), each in item order."""
    parent = list(range(count))

    def root(item):
        while parent[item] != item:
            parent[item] = parent[parent[item]]
            item = parent[item]
        return item

    for a, b in zip(first.tolist(), second.tolist()):
        ra, rb = root(a), root(b)
        if ra != rb:
            parent[max(ra, rb)] = min(ra, rb)
    groups = {}
    for item in range(count):
        groups.setdefault(root(item), []).append(item)
    return list(groups.values())
