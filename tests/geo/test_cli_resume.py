"""Ctrl-C, kill -9 and --resume of `quillet connectivity`, with real signals sent to a subprocess."""
import contextlib
import os
import shlex
import signal
import subprocess
import sys
import time
from pathlib import Path

import pytest

pytest.importorskip("rasterio")
from test_cli import ARGS, landscape, quillet_command, same_map, write_raster  # noqa: E402

TILES_PER_SIDE = 3


def start(*args):
    return subprocess.Popen([sys.executable, "-m", "quillet_geo.cli", *map(str, args)], stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE, text=True)


def wait_for(condition, timeout=60):
    deadline = time.monotonic() + timeout
    while not condition():
        assert time.monotonic() < deadline, "timed out"
        time.sleep(0.05)


def children_of(pid):
    """Process ids whose parent is `pid`."""
    children = []
    for stat in Path("/proc").glob("[0-9]*/stat"):
        with contextlib.suppress(OSError):
            fields = stat.read_text().rsplit(")", 1)[1].split()
            if int(fields[1]) == pid:
                children.append(int(stat.parent.name))
    return children


def alive(pid):
    with contextlib.suppress(OSError):
        return Path(f"/proc/{pid}/stat").read_text().rsplit(")", 1)[1].split()[0] != "Z"
    return False


def tiles_in(output):
    folder = output.with_name(output.name + ".quillet-run")
    return list(folder.glob("part-*.npz")) if folder.is_dir() else []


@pytest.fixture(scope="module")
def slow_run(tmp_path_factory):
    """A condition whose tiles take a noticeable time each, and its uninterrupted map."""
    folder = tmp_path_factory.mktemp("slow")
    condition = write_raster(folder / "condition.tif", landscape((48, 48)))
    args = [condition, *ARGS, "--outer-window", "15", "--tile-size", 16, "--workers", 1]
    reference = folder / "reference.tif"
    done = quillet_command("connectivity", condition, reference, *args[1:])
    assert done.returncode == 0, done.stderr
    return args, reference


def connectivity_args(slow_run, output):
    condition, *options = slow_run[0]
    return ["connectivity", condition, output, *options]


@pytest.mark.parametrize("stop", [signal.SIGINT, signal.SIGTERM, signal.SIGHUP, signal.SIGKILL])
def test_interrupted_run_resumes_to_the_identical_file(tmp_path, slow_run, stop):
    output = tmp_path / "map.tif"
    args = connectivity_args(slow_run, output)
    run = start(*args)
    wait_for(lambda: tiles_in(output))
    workers = children_of(run.pid)
    run.send_signal(stop)
    run.wait(timeout=10)
    wait_for(lambda: not any(alive(pid) for pid in workers), timeout=10)  # no worker outlives the run
    stderr = run.stderr.read() if stop != signal.SIGKILL else ""
    kept = len(tiles_in(output))
    assert not output.exists() and 0 < kept < TILES_PER_SIDE**2
    if stop != signal.SIGKILL:
        name = "Interrupted" if stop == signal.SIGINT else f"Stopped by {stop.name}"
        assert run.returncode == 128 + stop
        assert stderr.count("\n") == 1 and "Traceback" not in stderr, stderr
        assert stderr.startswith(f"{name}: {kept} of {TILES_PER_SIDE**2} tiles are finished and kept")
        resume = shlex.split(stderr.split("to go on, run: ")[1])
        assert resume[0] == "quillet" and resume[-1] == "--resume"
        args = resume[1:]
    else:
        args = [*args, "--resume"]
    assert sorted(p.name for p in tmp_path.iterdir()) == ["map.tif.quillet-run"]  # no temporary file left
    done = quillet_command(*args)
    assert done.returncode == 0, done.stderr
    assert f"({kept} of {TILES_PER_SIDE**2} tiles from the interrupted run)" in done.stdout
    assert same_map(output, slow_run[1])
    assert not output.with_name("map.tif.quillet-run").exists()


@pytest.mark.parametrize("stop", [signal.SIGINT, signal.SIGTERM])
def test_more_signals_while_stopping_change_nothing(tmp_path, slow_run, stop):
    output = tmp_path / "map.tif"
    run = start(*connectivity_args(slow_run, output))
    wait_for(lambda: tiles_in(output))
    while run.poll() is None:  # signal after signal, until the process has ended: while it tidies up, and after
        run.send_signal(stop)
        time.sleep(0.02)
    stderr = run.stderr.read()
    name = "Interrupted" if stop == signal.SIGINT else f"Stopped by {stop.name}"
    assert run.returncode == 128 + stop and stderr.count("\n") == 1 and stderr.startswith(f"{name}: "), stderr


@pytest.mark.parametrize("stdout, text", [(subprocess.PIPE, "the standard output was closed"),
                                          ("/dev/full", "cannot write to the standard output: No space left on")])
def test_a_closed_or_full_standard_output_is_one_line(tmp_path, slow_run, stdout, text):
    with open(stdout, "w") if stdout != subprocess.PIPE else contextlib.nullcontext(stdout) as target:
        run = subprocess.Popen([sys.executable, "-m", "quillet_geo.cli", *map(str, connectivity_args(
            slow_run, tmp_path / "map.tif"))], stdout=target, stderr=subprocess.PIPE, text=True)
    if run.stdout:
        run.stdout.close()
    stderr = run.stderr.read()
    assert run.wait(timeout=60) == 1 and stderr.count("\n") == 1 and stderr.startswith(f"Error: {text}"), stderr
    assert not (tmp_path / "map.tif.quillet-run").exists()


@pytest.fixture
def small_disk(tmp_path):
    """A 24 kB file system, which `grow` makes larger; skipped where file systems cannot be mounted."""
    folder = tmp_path / "disk"
    folder.mkdir()
    if subprocess.run(["mount", "-t", "tmpfs", "-o", "size=24k", "tmpfs", folder], capture_output=True).returncode:
        pytest.skip("cannot mount a small file system here (needs root)")
    yield folder, lambda: subprocess.run(["mount", "-o", "remount,size=10m", folder], check=True)
    subprocess.run(["umount", folder], check=True)


def test_a_full_disk_is_one_line_and_resume_goes_on_once_there_is_space(small_disk, tmp_path, slow_run):
    folder, grow = small_disk
    output = folder / "map.tif"
    args = connectivity_args(slow_run, output)
    done = quillet_command(*args)
    assert done.returncode == 1 and done.stderr.count("\n") == 1, done.stderr
    assert done.stderr.startswith(f"Error: cannot write '{folder}") and "o space left on" in done.stderr
    assert not output.exists()
    grow()
    done = quillet_command(*shlex.split(done.stderr.split("to go on once that is mended, run: ")[1])[1:])
    assert done.returncode == 0, done.stderr
    assert same_map(output, slow_run[1])


def test_a_lost_cluster_is_one_line_with_the_resume_command(tmp_path, slow_run):
    distributed = pytest.importorskip("distributed")
    output = tmp_path / "map.tif"
    with distributed.LocalCluster(n_workers=1, threads_per_worker=1, processes=True,
                                  dashboard_address=None) as cluster:
        run = start(*connectivity_args(slow_run, output)[:-2], "--scheduler", cluster.scheduler_address)
        wait_for(lambda: tiles_in(output))
    _, stderr = run.communicate(timeout=60)
    assert run.returncode == 1 and stderr.count("\n") == 1, stderr
    assert stderr.startswith("Error: the Dask cluster was lost") and stderr.rstrip().endswith("--resume")


def test_ctrl_c_stops_within_two_seconds_during_a_long_tile(tmp_path):
    condition = write_raster(tmp_path / "condition.tif", landscape((160, 160)))
    output = tmp_path / "map.tif"
    run = start("connectivity", condition, output, *ARGS, "--outer-window", "41", "--workers", "1")
    wait_for(lambda: output.with_name("map.tif.quillet-run").is_dir())
    time.sleep(2)
    assert run.poll() is None
    sent = time.monotonic()
    run.send_signal(signal.SIGINT)
    _, stderr = run.communicate(timeout=10)
    assert time.monotonic() - sent < 2
    assert run.returncode == 130 and stderr.startswith("Interrupted: 0 of 1 tiles") and stderr.count("\n") == 1


def test_resume_refuses_other_arguments_and_changed_inputs(tmp_path, slow_run):
    output = tmp_path / "map.tif"
    args = connectivity_args(slow_run, output)
    run = start(*args)
    wait_for(lambda: (output.with_name("map.tif.quillet-run") / "manifest.json").exists())
    run.kill()
    run.wait()
    refusals = [
        (args, "has an interrupted run in"),
        ([*args, "--resume", "--max-cost", "20"], "--max-cost differs from the interrupted run (10.0 there, 20.0 here)"),
        ([*args, "--resume", "--window-mode", "square"], "--window-mode differs from the interrupted run (circular there"),
    ]
    for refused, text in refusals:
        done = quillet_command(*refused)
        assert done.returncode == 2 and done.stderr.count("\n") == 1 and text in done.stderr, done.stderr
    condition = args[1]
    os.utime(condition, ns=(0, 0))
    done = quillet_command(*args, "--resume")
    assert done.returncode == 2 and "changed since the interrupted run" in done.stderr
