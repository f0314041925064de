"""Tiled connectivity equals one whole-raster native call, bit for bit, on exact georeferencing."""
import contextlib
import os
import signal

import numpy as np
import pytest

pytest.importorskip("rioxarray")
pytest.importorskip("distributed")
import dask
import xarray as xr
from rasterio.transform import from_origin

import quillet
import quillet_geo
from quillet_geo.transforms import level_transforms

LEVELS = [1, 2, 4]
OPTIONS = dict(levels=LEVELS, lambdas=[2.0, 20.0], max_cost=10.0, window_size=3, outer_window=3)


def georeferenced(values, crs="EPSG:3857", transform=from_origin(1024.0, 8192.0, 64.0, 64.0)):
    dims = ("y", "x") if values.ndim == 2 else ("band", "y", "x")
    return xr.DataArray(values, dims=dims).rio.write_crs(crs).rio.write_transform(transform)


def landscape(shape=(44, 37), seed=5):
    rng = np.random.default_rng(seed)
    values = rng.uniform(0, 1, shape).astype(np.float32)
    values[rng.random(shape) < 0.1] = np.nan
    return values, rng


def whole_call(condition, transform, is_geo, sources=None, protected=None, traversal=None, transgrids=(), mode="circular"):
    """The reference: one native call over the whole raster."""
    mask = np.isnan(condition)
    if protected is not None:
        mask = ~protected | mask
    elif sources is not None:
        mask |= ~sources
    stacks = [np.ascontiguousarray(np.moveaxis(t, 0, -1)) for t in transgrids] or None
    return quillet.connectivity(condition, mask, stacks, level_transforms(transform, LEVELS, (0, 0)),
                                is_geo=is_geo, offsets=(0, 0), traversal=traversal, window_mode=mode,
                                pa_to_pa=protected is not None, **OPTIONS)


CASES = {
    "circular": {},
    "square": {"mode": "square"},
    "geographic": {"crs": "EPSG:4326"},
    "sources": {"sources": True},
    "protected": {"protected": True},
    "traversal": {"traversal": True},
    "transgrids": {"transgrids": True},
}


def build(case):
    condition, rng = landscape()
    crs = case.get("crs", "EPSG:3857")
    transform = from_origin(10.0, 50.0, 0.0078125, 0.0078125) if crs == "EPSG:4326" else from_origin(1024.0, 8192.0, 64.0, 64.0)
    extra = {}
    if case.get("sources"):
        extra["sources"] = rng.random(condition.shape) < 0.3
    if case.get("protected"):
        extra["protected"] = rng.random(condition.shape) < 0.4
    if case.get("traversal"):
        extra["traversal"] = rng.uniform(0, 1, condition.shape).astype(np.float32)
    if case.get("transgrids"):
        extra["transgrids"] = [rng.uniform(0, 1, (2,) + condition.shape).astype(np.float32)]
    expected = whole_call(condition, transform, crs == "EPSG:4326", mode=case.get("mode", "circular"), **extra)
    arrays = {k: [georeferenced(t, crs, transform) for t in v] if k == "transgrids" else georeferenced(v, crs, transform)
              for k, v in extra.items()}
    return georeferenced(condition, crs, transform), arrays, expected


@pytest.mark.parametrize("tile_size", [12, 16])
@pytest.mark.parametrize("case", CASES)
def test_tiles_equal_the_whole_call(case, tile_size):
    condition, arrays, expected = build(CASES[case])
    result = quillet_geo.connectivity(condition.chunk(8), window_mode=CASES[case].get("mode", "circular"),
                                      tile_size=tile_size, **arrays, **OPTIONS)
    assert result.data.chunks[0][0] == tile_size
    with dask.config.set(scheduler="threads"):
        assert result.values.tobytes() == expected.tobytes()
    one = result.data.blocks[1, 2].compute()
    assert one.tobytes() == expected[tile_size:2 * tile_size, 2 * tile_size:3 * tile_size].tobytes()


def test_files_read_per_tile_and_georeferencing_kept(tmp_path):
    condition, arrays, expected = build({})
    path = tmp_path / "condition.tif"
    condition.rio.write_nodata(-9999.0).fillna(-9999.0).rio.to_raster(path)
    result = quillet_geo.connectivity(str(path), tile_size=16, **OPTIONS)
    assert result.data.chunks == ((16, 16, 12), (16, 16, 5))
    assert result.values.tobytes() == expected.tobytes()
    assert result.rio.crs == condition.rio.crs and result.rio.transform() == condition.rio.transform()
    result.rio.to_raster(tmp_path / "out.tif")


def test_distributed_cluster_with_processes():
    distributed = pytest.importorskip("distributed")
    condition, arrays, expected = build(CASES["protected"])
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True, dashboard_address=None) as cluster, \
            distributed.Client(cluster):
        result = quillet_geo.connectivity(condition.chunk(16), tile_size=12, **arrays, **OPTIONS)
        assert result.values.tobytes() == expected.tobytes()


def test_inexact_georeferencing_stays_within_single_precision():
    # 30 m cells at a decimal origin: tile origins are rounded to the nearest double, which moves cell
    # centres by an ulp of the coordinate and may change an edge length's last float32 bit.
    condition, _ = landscape()
    transform = from_origin(500000.1, 7000000.3, 30.0, 30.0)
    expected = whole_call(condition, transform, False)
    result = quillet_geo.connectivity(georeferenced(condition, "EPSG:32633", transform), tile_size=12, **OPTIONS)
    np.testing.assert_allclose(result.values, expected, rtol=1e-5, atol=0)


def test_killed_worker_gives_the_identical_result():
    distributed = pytest.importorskip("distributed")
    condition, arrays, expected = build({})
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True, dashboard_address=None) as cluster, \
            distributed.Client(cluster) as client:
        result = quillet_geo.connectivity(condition.chunk(8), tile_size=8, **OPTIONS)
        future = client.compute(result.data)
        victim = sorted(client.scheduler_info()["workers"])[0]
        pid = client.run(os.getpid, workers=[victim])[victim]
        os.kill(pid, signal.SIGKILL)
        assert future.result().tobytes() == expected.tobytes()


@pytest.mark.parametrize("where", ["at once", "threads", "cluster"])
def test_progress_counts_the_tiles(capsys, where):
    condition, _, expected = build({})
    if where == "at once":
        result = quillet_geo.connectivity(condition, tile_size=16, progress=True, **OPTIONS)
    else:
        lazy = quillet_geo.connectivity(condition.chunk(16), tile_size=16, **OPTIONS)
        with contextlib.ExitStack() as stack:
            if where == "cluster":
                distributed = pytest.importorskip("distributed")
                stack.enter_context(distributed.Client(processes=False, n_workers=1, threads_per_worker=2,
                                                       dashboard_address=None))
            stack.enter_context(quillet_geo.progress())
            result = lazy.compute()
    assert result.values.tobytes() == expected.tobytes()
    err = capsys.readouterr().err
    assert "tiles: 100%" in err and "9/9" in err


def test_progress_for_a_lazy_result_says_how():
    condition, _, _ = build({})
    with pytest.warns(UserWarning, match="compute it inside `with quillet_geo.progress\\(\\):`"):
        quillet_geo.connectivity(condition.chunk(16), tile_size=16, progress=True, **OPTIONS)
