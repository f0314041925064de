"""Running the quillet command for an algorithm and following it: its JSON progress lines drive the progress bar,
its other lines go to the log, Cancel stops it as Ctrl-C does (the command keeps its finished tiles and says how
to go on), and a failure ends in the command's own one line."""
import json
import os
import queue
import signal
import subprocess
import threading
import time

POLL = 0.1  # seconds between two looks at Cancel while the command is quiet
GRACE = 30.0  # seconds a stopped command has to tidy up before it is killed (its finished tiles stay kept)


class CommandFailed(Exception):
    """The command failed or was stopped; the text is its last line of error (without "Error: ")."""


def run_command(words, environment, feedback):
    """Run `words` and wait for it, following it on `feedback` (QGIS's processing feedback: `isCanceled`,
    `setProgress`, `pushInfo`, `pushWarning`). Raises CommandFailed unless it ends well."""
    with subprocess.Popen(words, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                          env=environment, text=True, encoding="utf-8", errors="replace", **_own_group()) as process:
        try:
            last_error = _follow(process, feedback)
        finally:
            if process.poll() is None:  # only when following it failed: it must not outlive the algorithm
                process.kill()
    if process.returncode != 0:
        raise CommandFailed(last_error or f"quillet ended with status {process.returncode} and no message")
    if last_error:
        feedback.pushInfo(last_error)


def _follow(process, feedback):
    """Pass the command's lines on until it closes its outputs; the last line of error that is not a warning."""
    lines = queue.Queue()
    for stream, kind in ((process.stdout, "out"), (process.stderr, "err")):
        threading.Thread(target=_read_lines, args=(stream, kind, lines), daemon=True).start()
    last_error, stopped_at, open_streams = None, None, 2
    while open_streams:
        if stopped_at is None and feedback.isCanceled():
            _interrupt(process)
            stopped_at = time.monotonic()
        elif stopped_at is not None and time.monotonic() - stopped_at > GRACE:
            process.kill()
        try:
            kind, line = lines.get(timeout=POLL)
        except queue.Empty:
            continue
        if line is None:
            open_streams -= 1
        elif kind == "out":
            feedback.pushInfo(line)
        elif line.startswith("Warning: "):
            feedback.pushWarning(line[len("Warning: "):])
        elif line.strip() and not _followed_progress(line, feedback):
            if last_error:
                feedback.pushInfo(last_error)
            last_error = line[len("Error: "):] if line.startswith("Error: ") else line
    return last_error


def _read_lines(stream, kind, lines):
    for line in stream:
        lines.put((kind, line.rstrip("\r\n")))
    lines.put((kind, None))


def _followed_progress(line, feedback):
    """If `line` is one of the command's progress lines, show it and say so."""
    if not line.startswith("{"):
        return False
    try:
        state = json.loads(line)
    except ValueError:
        return False
    if not isinstance(state, dict) or "event" not in state:
        return False
    total = state.get("total") or 0
    feedback.setProgress(100.0 * state.get("done", 0) / total if total else 0.0)
    return True


def _own_group():
    """The command in a process group of its own, so that a Ctrl-C meant for QGIS's terminal is QGIS's alone."""
    return {"creationflags": subprocess.CREATE_NEW_PROCESS_GROUP} if os.name == "nt" else {"start_new_session": True}


def _interrupt(process):
    """Stop the command as Ctrl-C would: it stops its workers, keeps the finished tiles and says how to go on.
    (Windows has no such signal for another process: there the command is ended, its finished tiles still kept.)"""
    try:
        if os.name == "nt":
            process.terminate()
        else:
            process.send_signal(signal.SIGINT)
    except OSError:  # it has just ended by itself
        pass
