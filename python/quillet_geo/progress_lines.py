"""A run's progress as JSON lines on standard error, for programs that follow a run (the QGIS plugin), and the
progress modes of `to_raster` and `summarize_to_file`, which choose between these lines and the bar.

Every line is one JSON object holding the run's whole state, so that a reader may skip lines or start late:
`event` ("start", "progress" or "end"), `label` (what runs: "connectivity"), `unit` (what `done` and `total`
count: "cell", "region"), `parts` (what the parts are called: "tiles", "batches"), `parts_done`, `parts_total`,
and `seconds` since the start. A line is written when the run starts computing, at most every `INTERVAL` seconds
while it goes on, and when it ends (also when it was stopped or failed), each flushed at once.
"""
import contextlib
import json
import sys
import time
from functools import partial

from .errors import ArgumentError
from .progress_bars import RunProgress

PROGRESS_MODES = ("auto", "bar", "json", "none")
_BAR_SHOWN = {"auto": None, "bar": True, "none": False}
INTERVAL = 0.25  # seconds between two progress lines at least


def progress_reporter(progress):
    """What reports a run's progress for the mode `progress`: "auto" or None (a bar on a terminal only), "bar" or
    True, "none" or False, or "json" (`JsonProgress`); any other value is refused. Called with RunProgress's
    arguments, without `show`."""
    if progress is None or isinstance(progress, bool):
        return partial(RunProgress, show=progress)
    if progress == "json":
        return JsonProgress
    if isinstance(progress, str) and progress in _BAR_SHOWN:
        return partial(RunProgress, show=_BAR_SHOWN[progress])
    raise ArgumentError("progress", f"{progress!r} is not one of {', '.join(PROGRESS_MODES)}")


def run_progress(job, done, reporter):
    """The progress report of a run of `job` (a `job_protocol.Job`) made by `reporter` (from `progress_reporter`),
    the parts whose indices are in `done` already finished."""
    finished = [part for part in job.parts if part.index in done]
    return reporter(job.name, unit=job.unit, parts=job.part_names[1], total_parts=len(job.parts),
                    total_units=sum(map(job.size, job.parts)), done_parts=len(finished),
                    done_units=sum(map(job.size, finished)))


class JsonProgress:
    """RunProgress's interface, writing JSON lines to standard error instead of drawing a bar."""

    def __init__(self, label, *, unit, parts, total_parts, total_units, done_parts=0, done_units=0):
        self.label, self.unit, self.parts = label, unit, parts
        self.total_parts, self.done_parts = total_parts, done_parts
        self.total_units, self.done_units = total_units, done_units
        self.in_flight = {}
        self.started = self.written = time.perf_counter()
        self.closed = False
        self._write("start")

    def part_advanced(self, index, units):
        """A part in flight has got through `units` (of its own) so far."""
        self.done_units += units - self.in_flight.get(index, 0)
        self.in_flight[index] = units
        self._write_when_due()

    def part_done(self, index, units):
        self.done_parts += 1
        self.done_units += units - self.in_flight.pop(index, 0)
        self._write_when_due()

    def close(self):
        if not self.closed:
            self.closed = True
            self._write("end")

    def seconds(self):
        return time.perf_counter() - self.started

    def _write_when_due(self):
        if time.perf_counter() - self.written >= INTERVAL:
            self._write("progress")

    def _write(self, event):
        self.written = time.perf_counter()
        line = json.dumps({"event": event, "label": self.label, "unit": self.unit, "done": self.done_units,
                           "total": self.total_units, "parts": self.parts, "parts_done": self.done_parts,
                           "parts_total": self.total_parts, "seconds": round(self.seconds(), 3)})
        # A follower that has gone away must not stop the run: its file is still made, and kept.
        with contextlib.suppress(OSError, ValueError):
            sys.stderr.write(line + "\n")
            sys.stderr.flush()
