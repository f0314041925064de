"""A summary table written to a file whose extension chooses the format (`FORMATS`), with the run's provenance in
the format's own metadata:

- CSV: the table as text, and beside it the CSV on the Web metadata file `OUTPUT.csv-metadata.json` (W3C's
  convention for describing a CSV file: its columns and their datatypes, so that a reader takes "001" as text), whose
  `notes` hold the provenance;
- GeoPackage: the table with the regions' geometries, the provenance as the layer's metadata items;
- Parquet: the table, the provenance as items of the file's key-value metadata.

The key column holds exactly the regions' field: empty stays empty, "001" stays "001", duplicates are kept. Every
file is written under a temporary name, read back and compared with what was written (the keys as the format
stores them), flushed to disk and only then renamed into place, the table itself last, so that each path holds
either its old content or the complete new file.
"""
import json
import os
from dataclasses import dataclass
from pathlib import Path

import geopandas
import numpy as np
import pandas
import pyarrow
import pyarrow.parquet
import pyogrio

from .atomic import put_in_place
from .errors import ArgumentError

DATATYPES = {"i": "integer", "u": "integer", "f": "double", "b": "boolean"}  # CSVW's, by NumPy kind; else string


def csv_metadata_path(path):
    """Where the CSV on the Web metadata of the CSV file `path` goes."""
    return Path(path).with_name(Path(path).name + "-metadata.json")


def _as_text(keys):
    """The keys as a CSV holds them: their text, empty where a key is missing."""
    return pandas.Series(["" if pandas.isna(k) else str(k) for k in keys], dtype=object, name=keys.name)


def _write_csv(rows, geometries, temporary, path, provenance):
    key = rows.columns[0]
    rows.assign(**{key: _as_text(rows[key])}).to_csv(temporary, index=False)
    columns = [{"titles": str(c), "datatype": DATATYPES.get(rows[c].dtype.kind, "string")} for c in rows.columns]
    metadata = {"@context": "http://www.w3.org/ns/csvw", "url": Path(path).name, "notes": [provenance],
                "tableSchema": {"columns": columns}}
    csv_metadata_path(temporary).write_text(json.dumps(metadata, indent=1, ensure_ascii=False) + "\n")


def _read_csv(path, rows):
    key, *statistics = rows.columns
    # Python's float parsing gives back every value written; the keys are read as the text they are.
    return pandas.read_csv(path, engine="python", dtype={key: str}, keep_default_na=False,
                           na_values={c: [""] for c in statistics})


def _csv_provenance(path):
    return json.loads(csv_metadata_path(path).read_text())["notes"][0]


def _write_geopackage(rows, geometries, temporary, path, provenance):
    frame = geopandas.GeoDataFrame(rows, geometry=geometries.values, crs=geometries.crs)
    frame.to_file(temporary, driver="GPKG", layer=Path(path).stem, engine="pyogrio", metadata=provenance)


def _read_geopackage(path, rows):
    return pyogrio.read_dataframe(path, read_geometry=False)


def _geopackage_provenance(path):
    return pyogrio.read_info(path)["layer_metadata"] or {}


def _write_parquet(rows, geometries, temporary, path, provenance):
    table = pyarrow.Table.from_pandas(rows, preserve_index=False)
    items = {k.encode(): v.encode() for k, v in provenance.items()}
    pyarrow.parquet.write_table(table.replace_schema_metadata({**table.schema.metadata, **items}), temporary)


def _read_parquet(path, rows):
    return pandas.read_parquet(path)


def _parquet_provenance(path):
    return {k.decode(): v.decode() for k, v in (pyarrow.parquet.read_schema(path).metadata or {}).items()}


@dataclass(frozen=True)
class TableFormat:
    """A table format: `write(rows, geometries, temporary, path, provenance)` writes the table whose final place
    is `path` (keys in the first column of `rows`) at `temporary`, and beside it its `sidecars(temporary)` ({argument
    that names it: path});
    `read(temporary, rows)` reads it back with the keys as `stored(keys)` gives them, `provenance(temporary)` its
    provenance; `described` is how the documentation names it."""

    extension: str
    described: str
    write: object
    read: object
    provenance: object
    stored: object = staticmethod(lambda keys: keys)
    sidecars: object = staticmethod(lambda path: {})


FORMATS = {f.extension: f for f in (
    TableFormat(".csv", ".csv with its metadata in a .csv-metadata.json file beside it", _write_csv, _read_csv,
                _csv_provenance, stored=_as_text, sidecars=lambda path: {"output_metadata": csv_metadata_path(path)}),
    TableFormat(".gpkg", ".gpkg with the regions' geometries in the raster's CRS", _write_geopackage,
                _read_geopackage, _geopackage_provenance),
    TableFormat(".parquet", ".parquet", _write_parquet, _read_parquet, _parquet_provenance),
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


def write_table(path, temporary, table, geometries, provenance):
    """Write `table` (its index becomes the first column) to `temporary` in the format of `path`'s extension, with
    `geometries` (a GeoSeries, one per row) where the format keeps them and `provenance` ({name: text}) in its
    metadata; check it, then rename it (and its sidecars) into place. Raises OSError naming the file that failed;
    `path` is then untouched."""
    rows = table.reset_index()
    chosen = table_format(path)
    temporaries = [Path(temporary), *chosen.sidecars(temporary).values()]
    try:
        chosen.write(rows, geometries, temporary, path, provenance)
        _check_written(chosen.read(temporary, rows), rows, chosen.stored(rows[rows.columns[0]]), temporary)
        if {k: v for k, v in chosen.provenance(temporary).items() if k in provenance} != provenance:
            raise OSError(0, "its metadata does not read back as written", os.fspath(temporary))
        for written, final in reversed(list(zip(temporaries, [Path(path), *chosen.sidecars(path).values()]))):
            put_in_place(written, final)
    except (pyogrio.errors.DataSourceError, pyogrio.errors.DataLayerError, pyogrio.errors.FieldError) as error:
        raise OSError(0, str(error).strip().splitlines()[0], os.fspath(temporary)) from None
    finally:
        for written in temporaries:
            written.unlink(missing_ok=True)


def _check_written(written, rows, keys, path):
    """Refuse a table that does not read back as `rows` were written, their keys as the format stores them."""
    key, *statistics = rows.columns
    if len(written) != len(rows) or list(written.columns[:len(rows.columns)]) != list(rows.columns) or not (
            _same_keys(written[key], keys) and all(
                np.array_equal(written[c].to_numpy(np.float64), rows[c].to_numpy(np.float64), equal_nan=True)
                for c in statistics)):
        raise OSError(0, "the table does not read back as written", os.fspath(path))


def _same_keys(read, written):
    """Whether two columns of keys hold the same values, missing in the same places."""
    read, written = read.to_numpy(object), written.to_numpy(object)
    missing = pandas.isna(read)
    return bool((missing == pandas.isna(written)).all() and (read[~missing] == written[~missing]).all())
