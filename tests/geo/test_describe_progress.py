"""What programs that run the command read from it: `quillet COMMAND --describe` and the JSON progress lines."""
import json
import re
from pathlib import Path

import click
import pytest

pytest.importorskip("rasterio")
from test_cli import ARGS, landscape, quillet_command, write_raster  # noqa: E402

import quillet_geo  # noqa: E402
from quillet_geo.cli import main  # noqa: E402
from quillet_geo.cli.describe import description  # noqa: E402
from quillet_geo.cli.options import NumberListCommand, NumberListOption  # noqa: E402
from quillet_geo.progress_lines import JsonProgress, progress_reporter  # noqa: E402


def described(capsys, command):
    with pytest.raises(SystemExit) as exit_status:
        main([command, "--describe"])  # without the required arguments, as --help
    assert exit_status.value.code == 0
    return json.loads(capsys.readouterr().out)


@pytest.mark.parametrize("command", ["connectivity", "coverage", "summarize", "update"])
def test_describe_names_every_option_that_help_lists(capsys, command):
    with pytest.raises(SystemExit):
        main([command, "--help"])
    listed = set(re.findall(r"^\s+(--[a-z][a-z-]*)", capsys.readouterr().out, re.MULTILINE)) - {"--help",
                                                                                                 "--describe"}
    got = described(capsys, command)
    assert got["command"] == command and got["version"] == quillet_geo.__version__ and got["help"]
    assert {p["option"] for p in got["parameters"] if p["kind"] == "option"} == listed
    assert all(p["help"] for p in got["parameters"] if p["kind"] == "option")


def test_description_follows_the_click_definition():
    @click.command(cls=NumberListCommand)
    @click.argument("grid", type=click.Path(exists=True, dir_okay=False, path_type=Path))
    @click.option("--sizes", cls=NumberListOption, type=float, default=(1.5, 3))
    @click.option("--smoothing", "-s", type=click.IntRange(1, 9), default=lambda: 4, help="How  much\n  smoothing.")
    @click.option("--share", type=click.FloatRange(0, 1, max_open=True), required=True)
    @click.option("--label", hidden=True)
    def command(**kwargs):
        """First paragraph,
        on two lines.

        Second.\f
        Not for users."""

    got = description(command)
    assert got["help"] == "First paragraph, on two lines.\n\nSecond."
    grid, sizes, smoothing, share = got["parameters"]
    assert grid == {"name": "grid", "kind": "argument", "option": None, "type": "path",
                    "path": {"exists": True, "file": True, "directory": False}, "required": True, "multiple": False,
                    "number_list": False, "default": None, "help": None, "metavar": None}
    assert (sizes["default"], sizes["number_list"], sizes["type"]) == ([1.5, 3.0], True, "float")
    assert (smoothing["option"], smoothing["default"], smoothing["help"]) == ("--smoothing", 4, "How much smoothing.")
    assert (smoothing["minimum"], smoothing["maximum"], smoothing["maximum_open"]) == (1, 9, False)
    assert (share["minimum"], share["maximum"], share["maximum_open"], share["required"]) == (0, 1, True, True)


class Clock:
    def __init__(self):
        self.now = 100.0

    def __call__(self):
        return self.now


def lines_of(capsys):
    return [json.loads(line) for line in capsys.readouterr().err.splitlines()]


def test_json_progress_holds_the_whole_state_and_writes_a_few_lines_a_second(capsys, monkeypatch):
    clock = Clock()
    monkeypatch.setattr("quillet_geo.progress_lines.time.perf_counter", clock)
    reporter = JsonProgress("connectivity", unit="cell", parts="tiles", total_parts=4, total_units=400,
                            done_parts=1, done_units=100)
    for step in range(1, 17):  # 16 reports in 1 s
        clock.now += 0.0625
        reporter.part_advanced(7, 6 * step)
    reporter.part_done(7, 100)
    reporter.close()
    reporter.close()
    lines = lines_of(capsys)
    assert [line["event"] for line in lines] == ["start"] + ["progress"] * 4 + ["end"]
    assert lines[0] == {"event": "start", "label": "connectivity", "unit": "cell", "done": 100, "total": 400,
                        "parts": "tiles", "parts_done": 1, "parts_total": 4, "seconds": 0.0}
    assert [line["done"] for line in lines[1:]] == [124, 148, 172, 196, 200]
    assert lines[-1]["parts_done"] == 2 and lines[-1]["seconds"] == pytest.approx(1.0)


@pytest.mark.parametrize("mode", ["loud", 1, "JSON"])
def test_an_unknown_progress_mode_is_refused_before_anything_is_written(tmp_path, mode):
    with pytest.raises(quillet_geo.ArgumentError, match="progress: .* is not one of auto, bar, json, none"):
        progress_reporter(mode)
    result = quillet_geo.connectivity(str(write_raster(tmp_path / "c.tif", landscape((16, 16)))), levels=[1],
                                      lambdas=[2.0], max_cost=10.0)
    with pytest.raises(quillet_geo.ArgumentError):
        quillet_geo.to_raster(result, tmp_path / "map.tif", progress=mode)
    assert sorted(p.name for p in tmp_path.iterdir()) == ["c.tif"]


def test_the_command_streams_json_progress_on_stderr(tmp_path):
    condition = write_raster(tmp_path / "condition.tif", landscape((32, 32)))
    done = quillet_command("connectivity", condition, tmp_path / "map.tif", *ARGS, "--tile-size", "16",
                           "--workers", "1", "--progress", "json", "--quiet")
    assert done.returncode == 0, done.stderr
    assert done.stdout == ""  # --quiet still leaves out the summary
    lines = [json.loads(line) for line in done.stderr.splitlines()]
    assert lines[0]["event"] == "start" and lines[-1]["event"] == "end"
    assert (lines[-1]["done"], lines[-1]["total"], lines[-1]["parts_done"]) == (1024, 1024, 4)
    assert [line["done"] for line in lines] == sorted(line["done"] for line in lines)
