"""The plugin in QGIS itself, headless: installed into a fresh QGIS profile with `quillet qgis install`, enabled
with `qgis_process plugins enable`, its algorithms run with `qgis_process` on terra's real files and compared with
the command's own results, and Cancel tried from a standalone qgis.core script. Skipped where QGIS is not
installed (`apt-get install qgis python3-qgis`, as .ci/run does)."""
import json
import os
import shutil
import subprocess
import sys
import zipfile
from pathlib import Path

import pytest

rasterio = pytest.importorskip("rasterio")
import numpy as np  # noqa: E402

import quillet_geo  # noqa: E402
from quillet_geo.cli import cli, main  # noqa: E402
from quillet_geo.cli.describe import description  # noqa: E402

ROOT = Path(__file__).resolve().parents[2]
TERRA = Path(os.environ.get("QUILLET_TERRA_EX", ROOT / "build/test-data/usr/lib/R/site-library/terra/ex"))
ELEVATION, DISTRICTS = TERRA / "elev.tif", TERRA / "lux.shp"
# Debian's qgis_process wrapper adds --noversioncheck, which qgis_process refuses: the program itself is called.
QGIS_PROCESS = shutil.which("qgis_process.bin") or shutil.which("qgis_process")
QGIS_PYTHON = os.environ.get("QUILLET_QGIS_PYTHON", "/usr/bin/python3")  # the Python QGIS is built with
pytestmark = [
    pytest.mark.skipif(QGIS_PROCESS is None, reason="QGIS is not installed (no qgis_process.bin on PATH; "
                                                    "`apt-get install qgis python3-qgis`, as .ci/run does)"),
    pytest.mark.skipif(not ELEVATION.is_file(), reason=f"no real test data in {TERRA} (see test_real_data.py)"),
]
CONNECTIVITY = {"LEVELS": "1,2,4", "LAMBDAS": "2, 20", "MAX_COST": 10, "OUTER_WINDOW": 5}
# The same parameters for the library, which computes what the command writes (the same for every scheduler: the
# references are computed in threads of the tests' process).
LIBRARY = dict(levels=[1, 2, 4], lambdas=[2.0, 20.0], max_cost=10.0, outer_window=5)


def command_refusal(capsys, *args):
    """The one line the command says when it refuses `args`."""
    with pytest.raises(SystemExit) as exit_status:
        main(list(map(str, args)))
    assert exit_status.value.code in (1, 2)
    return capsys.readouterr().err


@pytest.fixture(scope="module")
def qgis(tmp_path_factory):
    """An environment with a QGIS profile of its own, in which the plugin is installed the default way (into the
    default profile) and enabled; QGIS's embedded Python must find the system's python3 first on PATH, not the
    tests' environment's."""
    home = tmp_path_factory.mktemp("qgis-home")
    env = {name: value for name, value in os.environ.items() if name not in ("PYTHONPATH", "PYTHONHOME",
                                                                              "VIRTUAL_ENV")}
    env.update(QT_QPA_PLATFORM="offscreen", HOME=str(home), XDG_DATA_HOME=str(home / "data"),
               XDG_CONFIG_HOME=str(home / "config"), XDG_CACHE_HOME=str(home / "cache"),
               XDG_RUNTIME_DIR=str(home / "runtime"),
               PATH=os.pathsep.join([str(Path(QGIS_PROCESS).parent), "/usr/bin", "/bin"]))
    (home / "runtime").mkdir(mode=0o700)
    installed = subprocess.run([sys.executable, "-m", "quillet_geo.cli", "qgis", "install"], capture_output=True,
                               text=True, env={**os.environ, "XDG_DATA_HOME": env["XDG_DATA_HOME"]}, timeout=120)
    assert installed.returncode == 0, installed.stderr
    enabled = subprocess.run([QGIS_PROCESS, "plugins", "enable", "quillet"], capture_output=True, text=True,
                             env=env, timeout=120)
    assert "Enabled quillet" in enabled.stdout, enabled.stdout + enabled.stderr
    env["PLUGINS"] = str(home / "data/QGIS/QGIS3/profiles/default/python/plugins")
    return env


def qgis_process(qgis, *args):
    return subprocess.run([QGIS_PROCESS, *args], capture_output=True, text=True, env=qgis, timeout=300)


def run_algorithm(qgis, algorithm, parameters):
    return qgis_process(qgis, "run", f"quillet:{algorithm}", "--",
                        *(f"{name}={value}" for name, value in parameters.items()))


@pytest.fixture(scope="module")
def condition(tmp_path_factory):
    """Luxembourg's elevation rescaled to [0, 1], -9999 declared as no-data: a real condition raster."""
    path = tmp_path_factory.mktemp("lux") / "condition.tif"
    with rasterio.open(ELEVATION) as source:
        elevation = source.read(1, masked=True).astype(np.float32)
        profile = source.profile
    profile.update(dtype="float32", nodata=-9999.0)
    with rasterio.open(path, "w", **profile) as target:
        target.write(((elevation - elevation.min()) / (elevation.max() - elevation.min())).filled(-9999.0), 1)
    return path


def raster(path):
    with rasterio.open(path) as source:
        tags = source.tags()
        for how_it_ran in ("quillet_date", "quillet_command_line"):
            tags.pop(how_it_ran)
        return source.read().tobytes(), tags


@pytest.mark.parametrize("algorithm", ["connectivity", "coverage", "summarize", "update"])
def test_the_parameters_are_the_commands_options_with_its_defaults(qgis, algorithm):
    set_by_plugin = {"progress", "quiet", "overwrite", "preview", "creation_options", "layer", "where", "assume_crs"}
    described = {(p["option"] or p["metavar"] or p["name"]).lstrip("-").replace("-", "_").upper(): p
                 for p in description(cli.commands[algorithm])["parameters"] if p["name"] not in set_by_plugin}
    done = qgis_process(qgis, "--json", "help", f"quillet:{algorithm}")
    assert done.returncode == 0, done.stderr
    offered = json.loads(done.stdout)["parameters"]
    assert set(offered) == set(described)
    for name, parameter in described.items():
        if not parameter["multiple"]:
            assert offered[name]["default_value"] == parameter["default"], name


def test_coverage_in_qgis_equals_the_commands(qgis, tmp_path):
    done = run_algorithm(qgis, "coverage", {"POLYGONS": DISTRICTS, "LIKE": ELEVATION, "OUTPUT": tmp_path / "q.tif"})
    assert done.returncode == 0, done.stdout + done.stderr
    quillet_geo.to_raster(quillet_geo.coverage(str(DISTRICTS), str(ELEVATION)), tmp_path / "c.tif",
                          scheduler="threads")
    assert raster(tmp_path / "q.tif") == raster(tmp_path / "c.tif")  # values and the parameters in the tags


def test_a_table_of_filtered_regions_equals_the_commands_where(qgis, tmp_path):
    stats = "count,mean,quantile(0.9),area,nodata_area"
    done = run_algorithm(qgis, "summarize", {"VALUES": ELEVATION, "REGIONS": f"{DISTRICTS}|subset=NAME_1 = "
                                             "'Diekirch'", "BY": "NAME_2", "STATS": stats,
                                             "OUTPUT": tmp_path / "qgis.csv"})
    assert done.returncode == 0, done.stdout + done.stderr
    quillet_geo.summarize_to_file(str(ELEVATION), str(DISTRICTS), tmp_path / "command.csv", stats=stats, by="NAME_2",
                                  where="NAME_1 = 'Diekirch'", scheduler="threads")
    table = (tmp_path / "qgis.csv").read_text()
    assert table == (tmp_path / "command.csv").read_text() and table.count("\n") == 6  # header and 5 districts


def test_a_refusal_reaches_qgis_as_the_commands_one_line(qgis, capsys, tmp_path):
    done = run_algorithm(qgis, "connectivity", {"CONDITION": ELEVATION, **CONNECTIVITY, "OUTPUT": tmp_path / "m.tif"})
    line = command_refusal(capsys, "connectivity", ELEVATION, tmp_path / "m.tif", "--levels", 1, 2, 4, "--lambdas", 2,
                           20, "--max-cost", 10, "--outer-window", 5).strip().removeprefix("Error: ")
    assert "\n" not in line and "has values from 195 to 547, but condition must be a fraction" in line
    assert done.returncode == 1 and f"ERROR:\t{line}\n" in done.stderr
    assert "Traceback" not in done.stdout + done.stderr and not (tmp_path / "m.tif").exists()


def standalone(qgis, run_request):
    done = subprocess.run([QGIS_PYTHON, str(Path(__file__).with_name("standalone_run.py")), qgis["PLUGINS"],
                           json.dumps(run_request, default=str)], capture_output=True, text=True, env=qgis, timeout=300)
    assert done.returncode == 0, done.stdout + done.stderr
    return json.loads(done.stdout.splitlines()[-1])


@pytest.fixture(scope="module")
def qgis_python(qgis):
    if subprocess.run([QGIS_PYTHON, "-c", "import qgis.core"], env=qgis, capture_output=True).returncode:
        pytest.skip(f"{QGIS_PYTHON} cannot import qgis.core (set QUILLET_QGIS_PYTHON to QGIS's Python)")
    return qgis


def test_a_map_of_a_layer_that_is_not_a_file_equals_the_commands(qgis_python, condition, tmp_path):
    archive = tmp_path / "condition.zip"
    with zipfile.ZipFile(archive, "w") as packed:
        packed.write(condition, "condition.tif")
    done = standalone(qgis_python, {"algorithm": "quillet:connectivity", "cancel_at": None, "parameters": {
        "CONDITION": {"raster": f"/vsizip/{archive}/condition.tif"}, "OUTPUT": tmp_path / "qgis.tif",
        **CONNECTIVITY}})
    assert done["ok"], done["errors"]
    quillet_geo.to_raster(quillet_geo.connectivity(str(condition), **LIBRARY), tmp_path / "command.tif",
                          scheduler="threads")
    qgis_map, tags = raster(tmp_path / "qgis.tif")
    assert qgis_map == raster(tmp_path / "command.tif")[0] and tags["condition"] != str(condition)


def test_cancel_stops_the_run_within_a_second_and_resume_goes_on(qgis_python, condition, tmp_path):
    qgis = qgis_python
    output = tmp_path / "map.tif"
    # 36 tiles of which one worker computes one at a time: Cancel comes while tiles are finishing.
    parameters = {"CONDITION": condition, "OUTPUT": output, **CONNECTIVITY, "OUTER_WINDOW": 31, "TILE_SIZE": 16,
                  "WORKERS": 1}
    stopped = standalone(qgis, {"algorithm": "quillet:connectivity", "parameters": parameters, "cancel_at": 20})
    assert not stopped["ok"] and stopped["stop_seconds"] < 1.0
    assert 0 < stopped["progress"][-2] < 20 <= stopped["progress"][-1] < 100  # the bar moved before Cancel
    message, = stopped["errors"]
    kept = len(list(output.with_name("map.tif.quillet-run").glob("part-*.npz")))
    assert message.startswith(f"Interrupted: {kept} of 36 tiles are finished and kept in ") and kept > 0
    assert message.endswith(" --resume") and not output.exists()  # the command's own line, whole
    assert any("RESUME checked" in warning for warning in stopped["warnings"])
    resumed = standalone(qgis, {"algorithm": "quillet:connectivity", "parameters": {**parameters, "RESUME": True},
                                "cancel_at": None})
    assert resumed["ok"] and resumed["results"]["OUTPUT"] == str(output), resumed["errors"]
    assert any(f"({kept} of 36 tiles from the interrupted run)" in line for line in resumed["log"])
