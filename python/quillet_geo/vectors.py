"""Polygons from what users have, ready for exact coverage: a vector file, a GeoDataFrame or GeoSeries, or shapely
geometries, reprojected to the raster's CRS, reduced to their polygonal parts and made valid; and the disjoint
pieces whose summed coverage is the coverage of their union.

Only areas cover cells: the polygons inside a GeometryCollection are kept, points and lines are left out. Plain
shapely geometries have no CRS and are taken to be in the raster's; a vector file or GeoSeries without CRS is
refused. `assume_crs` names the CRS of coordinates that do not say theirs (plain geometries too); where they do,
it is not used, and a warning says so.

Every geometry is made valid before anything covers it (`valid_polygonal`, the one rule): the native coverage adds
each exterior ring's and subtracts each hole's area, cell by cell, which is the area of a valid polygon but not of
an invalid one (the lobes of a self-crossing ring cancel where they share a cell, a region's overlapping parts
count twice). An invalid geometry is repaired with shapely's `make_valid` by its "structure" method: exteriors
united, holes subtracted, so a bow-tie covers both its lobes and overlapping parts count once. A valid polygon goes
to the native coverage as it is.
"""
import concurrent.futures
import warnings

import geopandas
import numpy as np
import pyogrio
import pyproj
import shapely

from .errors import ArgumentError, ArgumentTypeError, DataError
from .input_files import check_input_file, is_path


def read_polygons(value, crs, *, name="geometries", layer=None, where=None, assume_crs=None, read_from=None):
    """A GeoSeries of one valid polygonal geometry (or an empty one) per feature of `value`, in `crs`; `read_from`
    names the file that `value` (a GeoDataFrame) was read from, for messages."""
    path = value if is_path(value) else read_from
    source = f"'{path}' has" if path is not None else f"the {name} have"
    assumed = None if assume_crs is None else _crs("assume_crs", assume_crs)
    series, plain = _series(value, name, layer, where)
    if series.crs is None:
        if assumed is None and not plain:
            raise DataError(name, f"{source} no CRS; say which CRS the coordinates are in (`assume_crs`), or set "
                                  "it in the file")
        if assumed is not None:
            series = series.set_crs(assumed)
    elif assumed is not None and not assumed.equals(series.crs):
        warnings.warn(f"`assume_crs` {assume_crs} is not used: {source} its own CRS ({series.crs.to_string()})",
                      stacklevel=3)
    if series.crs is not None and crs is not None and series.crs != crs:
        series = series.to_crs(crs)
    geometries = valid_polygonal(series.values.to_numpy() if hasattr(series.values, "to_numpy") else series.values)
    if shapely.is_empty(geometries).all():
        found = ", ".join(sorted(set(series.geom_type.dropna()))) or "no geometries"
        raise DataError(name, f"{source} no polygons (found: {found})")
    return geopandas.GeoSeries(geometries, index=series.index, crs=crs)


def _crs(argument, value):
    """A pyproj CRS from what a user names one by (EPSG:4326, a WKT or PROJ string, a pyproj or rasterio CRS)."""
    try:
        return pyproj.CRS.from_user_input(value)
    except pyproj.exceptions.CRSError as error:
        reason = str(error).strip().splitlines()[0] if str(error).strip() else "unknown to PROJ"
        raise ArgumentError(argument, f"{value!r} is not a CRS that PROJ knows ({reason})") from None


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
    except (pyogrio.errors.DataLayerError, ValueError) as error:  # a shapefile's bad SQL is a plain ValueError
        text = str(error).strip().splitlines()[0] if str(error).strip() else type(error).__name__
        if where and "SQL" in text:
            raise _bad_where(path, layer, where, text) from None
        if not isinstance(error, pyogrio.errors.DataLayerError):
            raise
        raise DataError("layer" if layer is not None else name, f"{text} in '{path}'") from None
    except (pyogrio.errors.DataSourceError, FileNotFoundError):
        raise DataError(name, f"'{path}' is not a vector file that GDAL can read") from None
    except pyogrio.errors.GeometryError as error:
        raise DataError(name, f"'{path}': {str(error).strip().splitlines()[0]}") from None


def _bad_where(path, layer, where, text):
    """The refusal of a `where` condition that the file cannot answer, with GDAL's reason where it gives one and the
    fields the condition may use."""
    reason = text.split(f"{where}: ", 1)[1] if f"{where}: " in text else None
    try:
        fields = ", ".join(map(str, pyogrio.read_info(path, layer=layer)["fields"])) or "none"
    except Exception:  # the file was readable a moment ago; without its fields, the message still stands
        fields = None
    details = "; ".join(filter(None, [reason, fields and f"its fields: {fields}"]))
    return ArgumentError("where", f"{where!r} is not a condition that '{path}' can answer"
                                  f"{f' ({details})' if details else ''}")


def valid_polygonal(geometries):
    """Each geometry reduced to its polygonal parts and made valid (an empty polygon where there is none)."""
    geometries = _polygonal(geometries)
    invalid = ~shapely.is_valid(geometries)
    if invalid.any():
        geometries[invalid] = _polygonal(shapely.make_valid(geometries[invalid], method="structure"))
    return geometries


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

    The geometries must be valid (`valid_polygonal`). Those whose bounding boxes overlap are united group by group
    (those that reach beyond `box` cut to it first), on up to `n_threads` threads; the others are passed on as they
    are, so that the usual case, polygons apart, costs nothing.
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
    """The geometries cut to `box` where they reach beyond it."""
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
