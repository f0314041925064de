"""Local worker processes computing a job's parts, each with a pipe of its own to the main process.

A worker is a spawned child of this process (a fork server's would be its children instead), given the job once when
it starts and then the positions of parts, at most `AHEAD` more than it has sent back. Every wait of the main process
is bounded: it waits for any worker's pipe or death at most a quarter of a second at a time, and a worker that dies
(out of memory, killed) closes its pipe, so that the part it held is named at once. A pool whose workers share one
result pipe (concurrent.futures) cannot promise that: a worker killed while it sends a large result leaves half a
message in the shared pipe, and the pool then waits for the rest of it forever, at the end of the run and again at
the interpreter's exit.

Workers ignore the signals that stop a run (the main process handles them and kills the workers), and die with the
main process even when that is killed with SIGKILL.
"""
import contextlib
import ctypes
import multiprocessing
import multiprocessing.connection
import os
import signal
from collections import deque

from .errors import RunFailed, portable
from .progress_bars import passing_on, report_parts_to

AHEAD = 2  # parts a worker holds at once: the one it computes and the next, so that it never waits for work
STOP_SIGNALS = (signal.SIGINT, signal.SIGTERM, signal.SIGHUP)


@contextlib.contextmanager
def process_results(job, positions, workers, advanced, waiting):
    """An iterator of (position in job.parts, values) of the parts at `positions`, computed in `workers` processes
    and handed over in the order they finish; `advanced` and `waiting` as for `executors.part_results`."""
    context = multiprocessing.get_context("spawn")
    progress = context.Queue()
    pool = [_Worker(context, job, progress) for _ in range(min(workers, len(positions)))]
    try:
        yield _results(job, pool, deque(positions), passing_on(progress, advanced), waiting)
    except BaseException:
        for worker in pool:
            worker.kill()
        raise
    finally:
        for worker in pool:
            worker.end()
        progress.close()


class _Worker:
    def __init__(self, context, job, progress):
        self.connection, theirs = context.Pipe()
        self.process = context.Process(target=_serve, args=(theirs, os.getpid(), job, progress), daemon=True)
        self.process.start()
        theirs.close()  # the worker's end is the worker's alone, so that its death closes the pipe
        self.held = deque()

    def give(self, position):
        self.held.append(position)
        with contextlib.suppress(OSError):  # a worker that died is found out when its pipe is read
            self.connection.send(position)

    def receive(self, job):
        """The next (position, values) the worker sends, raising what its part raised or RunFailed if it died."""
        part = f"{job.part_names[0]} {job.parts[self.held[0]].index}"
        try:
            position, values, error = self.connection.recv()
        except (EOFError, OSError):
            raise RunFailed(f"a worker process died (out of memory, or killed) while computing {part}") from None
        except Exception as failure:  # what the worker sent does not unpickle here
            raise RunFailed(f"the result of {part} cannot be read back from its worker process "
                            f"({type(failure).__name__}: {failure})") from None
        self.held.remove(position)
        if error is not None:
            raise error
        return position, values

    def kill(self):
        with contextlib.suppress(OSError):
            self.process.kill()

    def end(self):
        """Close the pipe (the worker ends when it reads that) and wait a moment for it, killing it if need be."""
        self.connection.close()
        self.process.join(timeout=2)
        if self.process.is_alive():
            self.kill()
            self.process.join(timeout=5)


def _results(job, pool, todo, pass_on, waiting):
    for _ in range(AHEAD):
        for worker in pool:
            if todo:
                worker.give(todo.popleft())
    while any(worker.held for worker in pool):
        busy = [worker for worker in pool if worker.held]
        waits = {worker.connection: worker for worker in busy} | {worker.process.sentinel: worker for worker in busy}
        ready = multiprocessing.connection.wait(list(waits), timeout=0.25)
        pass_on()
        waiting()
        for worker in dict.fromkeys(waits[handle] for handle in ready):
            position, values = worker.receive(job)
            yield position, values
            if todo:
                worker.give(todo.popleft())


def _serve(connection, main_pid, job, progress):
    """A worker process: compute the parts whose positions arrive, and send each one's values (or what it raised)
    back, until the main process closes the pipe."""
    for stop in STOP_SIGNALS:
        signal.signal(stop, signal.SIG_IGN)
    with contextlib.suppress(OSError, AttributeError):
        pr_set_pdeathsig = 1
        ctypes.CDLL(None, use_errno=True).prctl(pr_set_pdeathsig, signal.SIGKILL)
    if os.getppid() != main_pid:  # the main process ended before the request was made
        os._exit(1)
    report_parts_to(progress)
    with contextlib.suppress(EOFError, OSError):  # the main process closed the pipe, or is gone
        while True:
            position = connection.recv()
            try:
                message = (position, job.compute(job.parts[position]), None)
            except Exception as error:  # handed to the main process, which raises it
                message = (position, None, portable(error))
            connection.send(message)
