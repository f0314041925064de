"""Summary tables as files: each format keeps the keys as they are and the run's provenance in its own metadata, a
sidecar in the way is kept, a failed write keeps the old table, and the command writes the table and says so."""
import json

import numpy as np
import pytest

pytest.importorskip("geopandas")
import geopandas  # noqa: E402
import pandas  # noqa: E402
import pyarrow.parquet  # noqa: E402
import pyogrio  # noqa: E402
from test_summarize import REGIONS, continuous, grid, regions_frame  # noqa: E402

import quillet_geo  # noqa: E402
from quillet_geo import ArgumentError, RunFailed, RunRefused  # noqa: E402

KEYS = ["001", "", None, "010", "001", "b", "c", "d"]  # a region's code: leading zeros, empty, missing, repeated


def read_table(path):
    """A table file as the format stores it, the keys as they are, and the provenance in its metadata."""
    if path.suffix == ".csv":
        metadata = json.loads(path.with_name(path.name + "-metadata.json").read_text())
        return pandas.read_csv(path, dtype={"code": str}, keep_default_na=False, na_values={"mean": [""]}), \
            metadata["notes"][0]
    if path.suffix == ".gpkg":
        return geopandas.read_file(path), pyogrio.read_info(path)["layer_metadata"]
    metadata = pyarrow.parquet.read_schema(path).metadata
    return pandas.read_parquet(path), {k.decode(): v.decode() for k, v in metadata.items() if k != b"pandas"}


@pytest.mark.parametrize("suffix", [".csv", ".gpkg", ".parquet"])
def test_a_table_file_holds_the_summary_its_keys_and_its_provenance(tmp_path, suffix):
    values, output, regions = grid(continuous()), tmp_path / f"summary{suffix}", regions_frame().assign(code=KEYS)
    with pytest.warns(UserWarning, match="by: 2 of the 8 regions share their value of 'code' with another region "
                                         "\\(the first: '001'\\); each keeps its row"):
        summary = quillet_geo.summarize_to_file(values, regions, output, by="code", stats="mean,area",
                                                scheduler="threads", workers=2, progress=False)
    sidecars = [f"{output.name}-metadata.json"] if suffix == ".csv" else []
    assert summary.units == len(REGIONS) and sorted(p.name for p in tmp_path.iterdir()) == [output.name, *sidecars]
    written, provenance = read_table(output)
    table = quillet_geo.summarize(values, regions, by="code", stats="mean,area")
    np.testing.assert_array_equal(written[["mean", "area"]].to_numpy(), table.to_numpy())
    keys = ["" if k is None else k for k in KEYS] if suffix == ".csv" else KEYS
    assert [None if pandas.isna(k) else k for k in written["code"]] == keys
    assert provenance == {**table.attrs, "by": "code", "stats": "mean area"} and provenance["quillet_command"] == \
        "summarize"
    if suffix == ".gpkg":
        assert written.crs == "EPSG:3857" and written.geometry.area.sum() > 0


def test_a_csv_metadata_file_in_the_way_is_kept_unless_overwrite(tmp_path):
    output, metadata = tmp_path / "summary.csv", tmp_path / "summary.csv-metadata.json"
    metadata.write_text("a user's notes")
    run = dict(by="name", stats="mean", scheduler="threads", progress=False)
    with pytest.raises(RunRefused, match="output_metadata: '.*summary.csv-metadata.json' exists; add `overwrite`"):
        quillet_geo.summarize_to_file(grid(continuous()), regions_frame(), output, **run)
    assert metadata.read_text() == "a user's notes" and not output.exists()
    quillet_geo.summarize_to_file(grid(continuous()), regions_frame(), output, overwrite=True, **run)
    assert json.loads(metadata.read_text())["url"] == "summary.csv"


def test_a_failed_write_keeps_the_old_table_and_the_batches(tmp_path, monkeypatch):
    import quillet_geo.tables as tables

    output = tmp_path / "summary.csv"
    output.write_text("the old table")
    run = dict(by="name", stats="mean", scheduler="threads", progress=False, overwrite=True)
    with monkeypatch.context() as patch:
        patch.setattr(tables.pandas.DataFrame, "to_csv", lambda *a, **k: (_ for _ in ()).throw(
            OSError(28, "No space left on device")))
        with pytest.raises(RunFailed, match=f"cannot write '{output}': No space left on device") as failure:
            quillet_geo.summarize_to_file(grid(continuous()), regions_frame(), output, **run)
    assert output.read_text() == "the old table" and failure.value.kept == 1
    summary = quillet_geo.summarize_to_file(grid(continuous()), regions_frame(), output, resume=True, **run)
    assert summary.resumed_parts == 1 and pandas.read_csv(output)["name"].tolist() == list(REGIONS)


def test_a_table_path_of_another_format_is_refused_before_anything_runs(tmp_path):
    with pytest.raises(ArgumentError, match="output: '.*summary.txt' does not end in .csv, .gpkg or .parquet"):
        quillet_geo.summarize_to_file(grid(continuous()), regions_frame(), tmp_path / "summary.txt")
    assert not list(tmp_path.iterdir())


def test_the_command_writes_the_table_and_says_so(tmp_path, capsys):
    from quillet_geo.cli import main

    grid(continuous()).rio.to_raster(tmp_path / "values.tif")
    regions_frame().to_file(tmp_path / "regions.gpkg")
    output = tmp_path / "summary.csv"
    with pytest.raises(SystemExit) as done:
        main(["summarize", str(tmp_path / "values.tif"), str(tmp_path / "regions.gpkg"), str(output), "--by", "name",
              "--stats", "mean,quantile(0.9),area", "--workers", "2", "--tile-size", "8"])
    out, err = capsys.readouterr()
    assert done.value.code == 0 and err == "" and out.startswith("summarize: 8 regions in ")
    table = quillet_geo.summarize(grid(continuous()), regions_frame(), by="name", stats="mean,quantile(0.9),area",
                                  tile_size=8)
    np.testing.assert_array_equal(pandas.read_csv(output, index_col="name"), table)
