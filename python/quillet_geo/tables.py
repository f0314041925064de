"""A summary table written to a file whose extension chooses the format: CSV, GeoPackage (with the regions'
geometries) or Parquet. The table is written under a temporary name, read back and compared with what was written,
flushed to disk and only then renamed into place, so that the path holds either its old content or the complete
new table."""
import os
from pathlib import Path

import geopandas
import numpy as np
import pandas
import pyogrio

from .atomic import put_in_place
from .errors import ArgumentError

FORMATS = (".csv", ".gpkg", ".parquet")


def check_table_path(path):
    """Refuse an output path whose extension names no table format."""
    if Path(path).suffix.lower() not in FORMATS:
        raise ArgumentError("output", f"'{path}' does not end in .csv, .gpkg or .parquet, the extensions that choose "
                                      "the table's format")


def write_table(path, temporary, table, geometries):
    """Write `table` (its index becomes the first column) to `temporary` in the format of `path`'s extension, with
    `geometries` (a GeoSeries, one per row) in a GeoPackage; check it, then rename it to `path`. Raises OSError
    naming the file that failed; `path` is then untouched."""
    rows = table.reset_index()
    kind = Path(path).suffix.lower()
    try:
        if kind == ".csv":
            rows.to_csv(temporary, index=False)
        elif kind == ".parquet":
            rows.to_parquet(temporary, index=False)
        else:
            frame = geopandas.GeoDataFrame(rows, geometry=geometries.values, crs=geometries.crs)
            frame.to_file(temporary, driver="GPKG", layer=Path(path).stem, engine="pyogrio")
        _check_written(temporary, kind, rows)
        put_in_place(temporary, path)
    except (pyogrio.errors.DataSourceError, pyogrio.errors.DataLayerError, pyogrio.errors.FieldError) as error:
        raise OSError(0, str(error).strip().splitlines()[0], os.fspath(temporary)) from None
    finally:
        if os.path.exists(temporary):
            os.unlink(temporary)


def _read(path, kind):
    if kind == ".csv":
        return pandas.read_csv(path, engine="python")  # Python's float parsing gives back every value written
    if kind == ".parquet":
        return pandas.read_parquet(path)
    return pyogrio.read_dataframe(path, read_geometry=False)


def _check_written(path, kind, rows):
    written = _read(path, kind)
    if len(written) != len(rows) or list(written.columns[:len(rows.columns)]) != list(rows.columns):
        raise OSError(0, "the table does not read back as written", os.fspath(path))
    key, *statistics = rows.columns
    same = (written[key].astype(str).to_numpy() == rows[key].astype(str).to_numpy()).all() and all(
        np.array_equal(written[c].to_numpy(np.float64), rows[c].to_numpy(np.float64), equal_nan=True)
        for c in statistics)
    if not same:
        raise OSError(0, "the table does not read back as written", os.fspath(path))

