"""One run per output at a time: a lock file in the run folder, held with flock for as long as the run lives.

The kernel releases the lock when its process ends however it ends, so a lock left by a dead run is taken over
at once; the file says who holds it (pid, host, start), for the message a second run gets.
"""
import fcntl
import json
import os
import socket
import time

from .errors import RunRefused


class RunLock:
    def __init__(self, path, output):
        self.path, self.output, self.fd = path, output, None

    def acquire(self):
        """Hold the lock, or refuse with who holds it."""
        fd = os.open(self.path, os.O_RDWR | os.O_CREAT | os.O_NOFOLLOW, 0o644)  # never a link's target
        try:
            fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
        except BlockingIOError:
            owner = _owner(fd)
            os.close(fd)
            raise RunRefused("output", f"a run of '{self.output}' is live ({owner}); wait for it to end, or stop "
                                       "it first") from None
        os.ftruncate(fd, 0)
        os.pwrite(fd, json.dumps({"pid": os.getpid(), "host": socket.gethostname(),
                                  "started": time.strftime("%Y-%m-%d %H:%M:%S")}).encode(), 0)
        self.fd = fd

    def release(self):
        if self.fd is not None:
            os.close(self.fd)
            self.fd = None


def _owner(fd):
    try:
        owner = json.loads(os.pread(fd, 4096, 0))
        return f"pid {owner['pid']} on {owner['host']}, started {owner['started']}"
    except (OSError, ValueError, KeyError, TypeError):
        return "its owner is not recorded yet"
