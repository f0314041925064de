"""A summary table written to a file whose extension chooses the format (`FORMATS`: CSV, GeoPackage with the
regions' geometries, Parquet). The table is written under a temporary name, read back and compared with what was
written, flushed to disk and only then renamed into place, so that the path holds either its old content or the
complete new table."""
import os
from dataclasses import dataclass
from pathlib import Path

import geopandas
import numpy as np
import pandas
import pyogrio

from .atomic import put_in_place
from .errors import ArgumentError


def _write_csv(rows, geometries, path, layer):
    rows.to_csv(path, index=False)


def _read_csv(path):
    return pandas.read_csv(path, engine="python")  # Python's float parsing gives back every value written


def _write_parquet(rows, geometries, path, layer):
    rows.to_parquet(path, index=False)


def _write_geopackage(rows, geometries, path, layer):
    frame = geopandas.GeoDataFrame(rows, geometry=geometries.values, crs=geometries.crs)
    frame.to_file(path, driver="GPKG", layer=layer, engine="pyogrio")


def _read_geopackage(path):
    return pyogrio.read_dataframe(path, read_geometry=False)


@dataclass(frozen=True)
class TableFormat:
    """A table format: how `write(rows, geometries, path, layer)` writes a table (its keys in the first column),
    how `read(path)` reads it back for the check, and how the documentation names it (`described`)."""

    extension: str
    described: str
    write: object
    read: object


FORMATS = {f.extension: f for f in (
    TableFormat(".csv", ".csv", _write_csv, _read_csv),
    TableFormat(".gpkg", ".gpkg with the regions' geometries in the raster's CRS", _write_geopackage,
                _read_geopackage),
    TableFormat(".parquet", ".parquet", _write_parquet, pandas.read_parquet),
)}


*_others, _last = FORMATS.values()
EXTENSIONS = f"{', '.join(f.extension for f in _others)} or {_last.extension}"
DESCRIBED = f"{', '.join(f.described for f in _others)}, or {_last.described}"


def table_format(path):
    """The format chosen by `path`'s extension; an output path whose extension names none is refused."""
    chosen = FORMATS.get(Path(path).suffix.lower())
    if chosen is None:
        raise ArgumentError("output", f"'{path}' does not end in {EXTENSIONS}, the extensions that choose the "
                                      "table's format")
    return chosen


def write_table(path, temporary, table, geometries):
    """Write `table` (its index becomes the first column) to `temporary` in the format of `path`'s extension, with
    `geometries` (a GeoSeries, one per row) where the format keeps them; check it, then rename it to `path`. Raises
    OSError naming the file that failed; `path` is then untouched."""
    rows = table.reset_index()
    chosen = table_format(path)
    try:
        chosen.write(rows, geometries, temporary, Path(path).stem)
        _check_written(chosen.read(temporary), rows, temporary)
        put_in_place(temporary, path)
    except (pyogrio.errors.DataSourceError, pyogrio.errors.DataLayerError, pyogrio.errors.FieldError) as error:
        raise OSError(0, str(error).strip().splitlines()[0], os.fspath(temporary)) from None
    finally:
        if os.path.exists(temporary):
            os.unlink(temporary)


def _check_written(written, rows, path):
    if len(written) != len(rows) or list(written.columns[:len(rows.columns)]) != list(rows.columns):
        raise OSError(0, "the table does not read back as written", os.fspath(path))
    key, *statistics = rows.columns
    same = (written[key].astype(str).to_numpy() == rows[key].astype(str).to_numpy()).all() and all(
        np.array_equal(written[c].to_numpy(np.float64), rows[c].to_numpy(np.float64), equal_nan=True)
        for c in statistics)
    if not same:
        raise OSError(0, "the table does not read back as written", os.fspath(path))
