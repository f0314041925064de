"""The files an input is read from, and the check that an input path can be read at all without waiting forever.

A dataset is often more than the file named. For a raster GDAL lists what it reads (a VRT's sources, a world file,
`.aux.xml`, external overviews), and rasterio gives that list (`dataset.files`). An `.aux.xml` is also where readers
(GDAL, QGIS) cache the statistics and histograms they compute: what counts of it is the rest (a declared no-data
value, scale and offset, metadata), so that a reader computing statistics changes no input. OGR reads a shapefile's
sidecars of the same stem (`.shx`, `.dbf`, `.prj`, `.cpg` and the spatial indexes `.qix`, `.sbn`, `.sbx`) and a
MapInfo table's (`.dat`, `.map`, `.id`, `.ind`), but pyogrio does not list them, so they are found here by the
driver's own rule; other vector formats (GeoPackage, GeoJSON, FlatGeobuf, ...) are one file. A folder dataset (a
folder of shapefiles, a FileGDB) is the regular files in it. A GDAL virtual path into an archive (`/vsizip/`,
`/vsitar/`, `/vsigzip/`) is read from the archive; other virtual paths (`/vsicurl/` and the like) from no local
file.

An input array that was opened lazily from a file (rioxarray keeps the file in `encoding["source"]`) is read from
that file too.
"""
import os
import stat
import xml.etree.ElementTree as ElementTree
from pathlib import Path

import xarray as xr

from .errors import DataError

SIDECARS = {  # extension of the file named: extensions of the files of its stem that OGR reads with it
    ".shp": ("shp", "shx", "dbf", "prj", "cpg", "qix", "sbn", "sbx"),
    ".dbf": ("shp", "shx", "dbf", "prj", "cpg", "qix", "sbn", "sbx"),
    ".tab": ("tab", "dat", "map", "id", "ind"),
}
ARCHIVES = ("/vsizip/", "/vsitar/", "/vsigzip/")
KINDS = {stat.S_ISFIFO: "a named pipe (FIFO)", stat.S_ISSOCK: "a socket", stat.S_ISCHR: "a character device",
         stat.S_ISBLK: "a block device"}


def is_path(value):
    return isinstance(value, (str, os.PathLike))


def check_input_file(path, name):
    """Refuse, naming the input `name`, a path that is neither a regular file nor a folder (with its sidecars): a
    FIFO, a socket or a device gives its data only as something writes it, so a run would wait for it forever. GDAL
    virtual paths, and paths that do not exist (the reader says so), pass."""
    path = os.fspath(path)
    if path.startswith("/vsi"):
        return
    for file in [path, *_sidecars(path)]:
        try:
            mode = os.stat(file).st_mode
        except OSError:
            continue
        if not (stat.S_ISREG(mode) or stat.S_ISDIR(mode)):
            kind = next((text for test, text in KINDS.items() if test(mode)), "not a regular file")
            raise DataError(name, f"'{file}' is {kind}, not a file: reading it would wait for data that may never "
                                  "come; give a file")


def dataset_files(path):
    """The absolute paths of the local files the dataset at `path` is read from, the named one first."""
    path = os.fspath(path)
    if path.startswith("/vsi"):
        archive = _archive(path)
        return [archive] if archive else []
    if os.path.isdir(path):
        with os.scandir(path) as entries:
            return sorted(_absolute(entry.path) for entry in entries if entry.is_file(follow_symlinks=False))
    files = [path, *_sidecars(path)] if Path(path).suffix.lower() in SIDECARS else _raster_files(path)
    return list(dict.fromkeys(_absolute(file) for file in files if not is_aux_xml(file) or aux_xml_content(file)))


def is_aux_xml(path):
    return os.fspath(path).lower().endswith(".aux.xml")


def aux_xml_content(path):
    """What of an `.aux.xml` file says how its raster reads, as bytes: the file without the statistics and histograms
    that readers cache in it (empty when that is all it holds); a file that is not such XML counts whole."""
    data = Path(path).read_bytes()
    try:
        root = ElementTree.fromstring(data)
    except ElementTree.ParseError:
        return data
    _drop_caches(root)
    return ElementTree.tostring(root) if len(root) else b""


def _drop_caches(element):
    for child in list(element):
        _drop_caches(child)
        cached = child.tag == "Histograms" or (child.tag == "MDI" and child.get("key", "").startswith("STATISTICS_"))
        emptied = child.tag in ("Metadata", "PAMRasterBand") and not len(child) and not (child.text or "").strip()
        if cached or emptied:
            element.remove(child)


def input_paths(inputs):
    """{label: path} of the inputs ({label: path or array}) that are files, or arrays read lazily from one."""
    paths = {}
    for label, value in inputs.items():
        source = value.encoding.get("source") if isinstance(value, xr.DataArray) else None
        if is_path(value) or is_path(source):
            paths[label] = os.fspath(value if is_path(value) else source)
    return paths


def _sidecars(path):
    """The other files of `path`'s stem that OGR reads with it (any case of their extensions)."""
    stem, suffix = Path(path), Path(path).suffix.lower()
    if suffix not in SIDECARS:
        return []
    wanted = {f"{stem.stem.lower()}.{extension}" for extension in SIDECARS[suffix]}
    try:
        entries = os.scandir(stem.parent)
    except OSError:
        return []
    with entries:
        return sorted(entry.path for entry in entries if entry.name.lower() in wanted and entry.name != stem.name)


def _raster_files(path):
    import rasterio
    import rasterio.errors

    try:
        with rasterio.open(path) as dataset:
            return [path, *dataset.files]
    except (rasterio.errors.RasterioError, OSError):  # not a raster (a vector file), or not readable now
        return [path]


def _archive(path):
    """The local archive that a GDAL virtual path into an archive reads, or None."""
    prefix = next((p for p in ARCHIVES if path.startswith(p)), None)
    if prefix is None:
        return None
    inside = Path(path[len(prefix):])
    for candidate in (inside, *inside.parents):
        if candidate.is_file():
            return _absolute(candidate)
    return None


def _absolute(path):
    return os.path.realpath(path)
