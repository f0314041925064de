"""The run engine and the files of its inputs, in-process: every file of a dataset watched (a shapefile's sidecars, a
VRT's sources, the file of a lazy array), inputs that are not files refused up front, outputs that would replace a
file an input is read from or lie in the run folder refused before anything is written."""
import os
import shutil
import zipfile

import pytest

pytest.importorskip("geopandas")
import geopandas
import rioxarray
import shapely
from test_cli import CELL, CRS, ORIGIN, landscape, write_raster
from test_run import OPTIONS, RUN, bounded_fixture, condition_fixture, expected_fixture, interrupted, values_of  # noqa: F401 (fixtures)

import quillet_geo
from quillet_geo import DataError, RunFailed, RunRefused


def shapefile(path, names):
    left, top = ORIGIN
    discs = [shapely.Point(left + CELL * (8 + 12 * k), top - CELL * (10 + 9 * k)).buffer(CELL * 6) for k in range(3)]
    geopandas.GeoDataFrame({"name": names}, geometry=discs, crs=CRS).to_file(path, engine="pyogrio")
    return path


def vrt_of(source, path):
    path.write_text(f'<VRTDataset rasterXSize="44" rasterYSize="40"><SRS>{CRS}</SRS><GeoTransform>{ORIGIN[0]}, '
                    f'{CELL}, 0, {ORIGIN[1]}, 0, {-CELL}</GeoTransform><VRTRasterBand dataType="Float32" band="1">'
                    f'<NoDataValue>nan</NoDataValue><SimpleSource><SourceFilename relativeToVRT="1">{source.name}'
                    '</SourceFilename><SourceBand>1</SourceBand></SimpleSource></VRTRasterBand></VRTDataset>')
    return path


def _rewrite_dbf_after_the_run(tmp_path, condition):
    regions = shapefile(tmp_path / "regions.shp", ["a", "b", "c"])
    result = quillet_geo.coverage(str(regions), str(condition), tile_size=16)
    other = shapefile(tmp_path / "other.shp", ["c", "a", "b"])
    return result, lambda: shutil.copyfile(other.with_suffix(".dbf"), regions.with_suffix(".dbf")), regions.with_suffix(
        ".dbf")


def _rewrite_vrt_source_after_the_run(tmp_path, condition):
    result = quillet_geo.connectivity(str(vrt_of(condition, tmp_path / "condition.vrt")), **OPTIONS)
    return result, lambda: write_raster(tmp_path / "new.tif", landscape((40, 44), seed=9)).replace(condition), condition


def _rewrite_lazy_source_after_the_run(tmp_path, condition):
    result = quillet_geo.connectivity(rioxarray.open_rasterio(condition, chunks=16), **OPTIONS)
    return result, lambda: write_raster(tmp_path / "new.tif", landscape((40, 44), seed=9)).replace(condition), condition


@pytest.mark.parametrize("make", [_rewrite_dbf_after_the_run, _rewrite_vrt_source_after_the_run,
                                  _rewrite_lazy_source_after_the_run])
@pytest.mark.parametrize("when", ["during the run", "since the interrupted run"])
def test_every_file_of_a_dataset_is_watched(tmp_path, condition, monkeypatch, make, when):
    import quillet_geo.journal as journal

    result, change, changed = make(tmp_path, condition)
    output = tmp_path / "map.tif"
    if when == "during the run":
        save = journal.Journal.save
        monkeypatch.setattr(journal.Journal, "save", lambda self, index, values: (save(self, index, values), change()))
        with pytest.raises(RunFailed, match="changed during the run") as failure:
            quillet_geo.to_raster(result, output, **RUN)
    else:
        interrupted(result, output)
        change()
        with pytest.raises(RunRefused, match="changed since the interrupted run") as failure:
            quillet_geo.to_raster(result, output, resume=True, **RUN)
    assert str(changed) in str(failure.value) and not output.exists()


STATISTICS = ('<Metadata><MDI key="STATISTICS_MINIMUM">0</MDI><MDI key="STATISTICS_MAXIMUM">1</MDI></Metadata>'
              '<Histograms><HistItem><HistMin>0</HistMin></HistItem></Histograms>')


@pytest.mark.parametrize("band, resumes", [(STATISTICS, True), (f"<NoDataValue>0.5</NoDataValue>{STATISTICS}", False)])
def test_statistics_a_reader_caches_beside_a_raster_change_no_input(tmp_path, condition, expected, band, resumes):
    output = tmp_path / "map.tif"
    interrupted(quillet_geo.connectivity(str(condition), **OPTIONS), output)
    # What GDAL and QGIS write once they have computed a band's statistics; a declared no-data value is more.
    condition.with_name(condition.name + ".aux.xml").write_text(
        f'<PAMDataset><PAMRasterBand band="1">{band}</PAMRasterBand></PAMDataset>')
    result = quillet_geo.connectivity(str(condition), **OPTIONS)
    if not resumes:
        with pytest.raises(RunRefused, match=r"condition.tif.aux.xml'\) changed since the interrupted run"):
            quillet_geo.to_raster(result, output, resume=True, **RUN)
        return
    quillet_geo.to_raster(result, output, resume=True, **RUN)
    assert values_of(output).tobytes() == expected.tobytes()

def _fifo(path):
    os.mkfifo(path)
    return path


@pytest.mark.parametrize("call", [
    lambda tmp, c: quillet_geo.connectivity(str(_fifo(tmp / "pipe.tif")), **OPTIONS),
    lambda tmp, c: quillet_geo.coverage(str(_fifo(tmp / "pipe.gpkg")), str(c)),
    lambda tmp, c: quillet_geo.coverage(str(shapefile(tmp / "r.shp", ["a", "b", "c"])), str(_fifo(tmp / "p.tif"))),
    lambda tmp, c: quillet_geo.summarize(str(c), str(_fifo(tmp / "pipe.shp"))),
    lambda tmp, c: quillet_geo.summarize(str(c), str(_fifo_sidecar(shapefile(tmp / "r.shp", ["a", "b", "c"])))),
])
def test_an_input_that_is_not_a_file_is_refused_up_front(tmp_path, condition, bounded, call):
    with pytest.raises(DataError, match=r"is a named pipe \(FIFO\), not a file"):
        call(tmp_path, condition)


def _fifo_sidecar(shp):
    shp.with_suffix(".dbf").unlink()
    _fifo(shp.with_suffix(".dbf"))
    return shp


def test_an_input_in_an_archive_is_read_and_watched(tmp_path, condition, expected):
    with zipfile.ZipFile(tmp_path / "inputs.zip", "w") as archive:
        archive.write(condition, "condition.tif")
    result = quillet_geo.connectivity(f"/vsizip/{tmp_path}/inputs.zip/condition.tif", **OPTIONS)
    quillet_geo.to_raster(result, tmp_path / "map.tif", **RUN)
    assert values_of(tmp_path / "map.tif").tobytes() == expected.tobytes()
    (tmp_path / "archive.tif").symlink_to(tmp_path / "inputs.zip")  # a map's name, the archive's file
    with pytest.raises(RunRefused, match="archive.tif' is a file of the input `condition`"):
        quillet_geo.to_raster(result, tmp_path / "archive.tif", overwrite=True, **RUN)


@pytest.mark.parametrize("paths, text", [
    (lambda tmp, c: (rioxarray.open_rasterio(c, chunks=16), c, {}), "is the input `condition`"),
    (lambda tmp, c: (str(vrt_of(c, tmp / "c.vrt")), c, {}), "is a file of the input `condition` '{tmp}/c.vrt'"),
    (lambda tmp, c: (str(c), tmp / "map.tif", {"preview": tmp / "map.tif.quillet-run" / "map.png"}),
     "'{tmp}/map.tif.quillet-run/map.png' lies in '{tmp}/map.tif.quillet-run', the run folder"),
])
def test_an_output_that_would_lose_an_input_or_be_removed_is_refused_up_front(tmp_path, condition, paths, text):
    source, output, others = paths(tmp_path, condition)
    before = sorted((p, p.read_bytes()) for p in tmp_path.iterdir())
    with pytest.raises(RunRefused, match=text.format(tmp=tmp_path).replace("(", r"\(")):
        quillet_geo.to_raster(quillet_geo.connectivity(source, **OPTIONS), output, overwrite=True, also_writes=others,
                              **RUN)
    assert sorted((p, p.read_bytes()) for p in tmp_path.iterdir()) == before
