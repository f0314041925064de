"""`quillet qgis install` and the parts of the plugin that need no QGIS: the record of the installation, the command
line built from the command's description, and how a run is followed (progress, messages, Cancel)."""
import json
import os
import subprocess
import sys
import textwrap
import threading

import pytest

pytest.importorskip("click")
from quillet_qgis.installation import command_environment, read_record  # noqa: E402
from quillet_qgis.runner import CommandFailed, run_command  # noqa: E402


def install(*args, env=None):
    return subprocess.run([sys.executable, "-m", "quillet_geo.cli", "qgis", "install", *map(str, args)],
                          capture_output=True, text=True, env=env, timeout=120)


def test_install_copies_the_plugin_with_a_record_of_this_command(tmp_path):
    done = install("--plugins-dir", tmp_path)
    assert done.returncode == 0, done.stderr
    plugin = tmp_path / "quillet"
    assert str(plugin) in done.stdout and "qgis_process plugins enable quillet" in done.stdout
    assert {"__init__.py", "metadata.txt", "provider.py", "algorithm.py", "icon.svg"} <= {p.name for p in
                                                                                        plugin.iterdir()}
    assert not list(plugin.glob("__pycache__"))
    metadata = (plugin / "metadata.txt").read_text()
    assert "hasProcessingProvider=yes" in metadata and "qgisMinimumVersion=3.22" in metadata
    record = read_record(plugin)
    assert f"version={record['version']}\n" in metadata
    assert sorted(record["commands"]) == ["connectivity", "coverage", "summarize", "update"]
    ran = subprocess.run([*record["command"], "connectivity", "--describe"], capture_output=True, text=True,
                         env=command_environment(record))
    assert json.loads(ran.stdout) == record["commands"]["connectivity"]  # the recorded command describes itself


def test_install_replaces_its_earlier_copy_and_refuses_a_folder_not_its_own(tmp_path):
    assert install("--plugins-dir", tmp_path).returncode == 0
    (tmp_path / "quillet" / "stale.py").write_text("")
    assert install("--plugins-dir", tmp_path).returncode == 0
    assert not (tmp_path / "quillet" / "stale.py").exists()
    assert sorted(p.name for p in tmp_path.iterdir()) == ["quillet"]  # no staging folder left behind
    foreign = tmp_path / "other"
    (foreign / "quillet").mkdir(parents=True)
    (foreign / "quillet" / "mine.txt").write_text("keep")
    done = install("--plugins-dir", foreign)
    assert done.returncode == 2 and done.stderr.count("\n") == 1
    assert "is not an installed quillet plugin" in done.stderr and "'--plugins-dir'" in done.stderr
    assert (foreign / "quillet" / "mine.txt").read_text() == "keep"


def test_install_goes_to_the_default_profile_named_in_profiles_ini(tmp_path):
    profiles = tmp_path / "QGIS" / "QGIS3" / "profiles"
    profiles.mkdir(parents=True)
    (profiles / "profiles.ini").write_text("[core]\ndefaultProfile=field work\n")
    env = {**os.environ, "XDG_DATA_HOME": str(tmp_path), "GDAL_DATA": "/qgis/gdal"}
    env.pop("PROJ_DATA", None)
    assert install(env=env).returncode == 0
    record = read_record(profiles / "field work" / "python" / "plugins" / "quillet")
    assert record["environment"]["GDAL_DATA"] == "/qgis/gdal" and "PROJ_DATA" not in record["environment"]


def test_the_command_gets_the_recorded_environment_instead_of_qgiss():
    qgis = {"PATH": "/usr/bin", "PYTHONPATH": "/usr/share/qgis/python", "GDAL_DATA": "/qgis/gdal",
            "PROJ_LIB": "/qgis/proj", "HOME": "/home/ana"}
    record = {"environment": {"PYTHONPATH": "/src/quillet/python"}}
    assert command_environment(record, qgis) == {"PATH": "/usr/bin", "HOME": "/home/ana",
                                                 "PYTHONPATH": "/src/quillet/python"}


class Feedback:
    """QGIS's processing feedback as the runner uses it; cancels once progress reaches `cancel_at`."""

    def __init__(self, cancel_at=None):
        self.cancel_at, self.progress, self.info, self.warnings = cancel_at, [], [], []
        self.cancelled = threading.Event()

    def isCanceled(self):  # QGIS's names
        return self.cancelled.is_set()

    def setProgress(self, percent):
        self.progress.append(percent)
        if self.cancel_at is not None and percent >= self.cancel_at:
            self.cancelled.set()

    def pushInfo(self, text):
        self.info.append(text)

    def pushWarning(self, text):
        self.warnings.append(text)


# A stand-in for the command: progress lines on stderr, a line on stdout, and Ctrl-C handled as the command does.
FAKE = textwrap.dedent("""
    import json, signal, sys, time
    def stop(signum, frame):
        print("Interrupted: 1 of 4 tiles are finished and kept in 'x'; to go on, run: quillet x --resume",
              file=sys.stderr)
        sys.exit(130)
    signal.signal(signal.SIGINT, stop)
    print("search reach: 28 cells", flush=True)
    print("Warning: tile 3 was damaged; computing it again", file=sys.stderr, flush=True)
    for done in range(0, 5):
        print(json.dumps({"event": "progress", "done": done, "total": 4}), file=sys.stderr, flush=True)
        time.sleep(0.5 if sys.argv[1] == "slow" else 0)
    if sys.argv[1] == "fails":
        print("Error: Invalid value for '--max-cost': 0.5 is less than 1", file=sys.stderr)
        sys.exit(2)
""")


@pytest.mark.parametrize("how, cancel_at, error", [
    ("fast", None, None),
    ("fails", None, "Invalid value for '--max-cost': 0.5 is less than 1"),
    ("slow", 50, "Interrupted: 1 of 4 tiles are finished and kept in 'x'; to go on, run: quillet x --resume"),
])
def test_a_run_drives_the_progress_and_the_log_and_cancel_stops_it_as_ctrl_c(how, cancel_at, error):
    feedback = Feedback(cancel_at)
    try:
        run_command([sys.executable, "-c", FAKE, how], None, feedback)
        failed = None
    except CommandFailed as failure:
        failed = str(failure)
    assert failed == error
    assert feedback.progress == ([0, 25, 50] if cancel_at else [0, 25, 50, 75, 100])
    assert feedback.info == ["search reach: 28 cells"]
    assert feedback.warnings == ["tile 3 was damaged; computing it again"]
