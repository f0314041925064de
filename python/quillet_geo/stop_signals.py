"""Stopping a run by a signal: Ctrl-C, SIGTERM and SIGHUP raise `Stopped` in the main thread, at points where
stopping breaks nothing."""
import atexit
import contextlib
import signal
import threading
import time

from .errors import Stopped

AFTER_STOP = 5.0  # seconds after a stop in which another stop signal is taken as part of the same stop


class StopSignals:
    """Ctrl-C, SIGTERM and SIGHUP (batch schedulers, `timeout`, a closed terminal) stop the run alike, by raising
    `Stopped` in the main thread. While the parts are computed and saved (`deferred`) the signal is only noted, and
    `check` raises it where the run waits for results: it never breaks a file being saved nor leaves a lock of the
    executors held.

    A second signal while the stopped run tidies up, or while the process that stopped ends, changes nothing: it
    would otherwise kill the process by the signal instead of letting it say what it kept. For `AFTER_STOP` seconds
    after a stop, further stop signals are ignored; the first one after that goes to the handler the process had
    before the run."""

    SIGNALS = (signal.SIGINT, signal.SIGTERM, signal.SIGHUP)

    def __init__(self):
        self.received, self.deferring, self.previous = None, False, {}

    def __enter__(self):
        if threading.current_thread() is threading.main_thread():
            self.previous = {s: signal.signal(s, self._stop) for s in self.SIGNALS}
        return self

    def __exit__(self, *exception):
        if self.received is None:
            self._restore()
            return
        stopped = time.monotonic()

        def after_stop(signum, frame):
            if time.monotonic() - stopped >= AFTER_STOP:
                self._restore()
                signal.raise_signal(signum)

        def at_exit():
            # The interpreter puts back the default action of signals that have a Python handler as it ends, so
            # one arriving while it ends would kill the process after all; an ignored signal stays ignored.
            if time.monotonic() - stopped < AFTER_STOP:
                for s in self.previous:
                    signal.signal(s, signal.SIG_IGN)

        for s in self.previous:
            signal.signal(s, after_stop)
        atexit.register(at_exit)

    def _restore(self):
        for s, handler in self.previous.items():
            signal.signal(s, handler)

    def _stop(self, signum, frame):
        if self.received is None:
            self.received = signal.Signals(signum)
            if not self.deferring:
                raise Stopped(self.received, 0, 0, None)

    @contextlib.contextmanager
    def deferred(self):
        self.deferring = True
        try:
            yield
        finally:
            self.deferring = False
        self.check()

    def check(self):
        if self.received is not None:
            raise Stopped(self.received, 0, 0, None)
