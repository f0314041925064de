"""What the layer raises, each with one line of text: a wrong argument, input data that cannot give a meaningful
map, a run that cannot start or go on, and a run stopped by a signal.

The refusals say which argument they concern, and name other arguments in their text between backquotes, so that
the command can name its own options instead (`--max-cost` for `max_cost`) and choose its exit status.
"""
import pickle


class _Refusal:
    """What the three refusals share: the argument they concern, the problem, and pickling (they cross processes)."""

    def __init__(self, argument, problem):
        super().__init__(f"{argument}: {problem}")
        self.argument, self.problem = argument, problem

    def __reduce__(self):
        return type(self), (self.argument, self.problem), self.__dict__


class ArgumentError(_Refusal, ValueError):
    """An argument's value is refused: `argument` names it, the text says why and what to give instead."""


class ArgumentTypeError(_Refusal, TypeError):
    """An argument has a type the function cannot take."""


class DataError(_Refusal, ValueError):
    """The content of an input (its values, grid, CRS or geometries) cannot give a meaningful result."""


class RunRefused(ArgumentError):
    """A run cannot start as asked: its output is an input, a run of it is live, or an interrupted run is in the
    way (`argument` is the output, or `resume` when the interrupted run differs)."""


class RunFailed(RuntimeError):
    """A run could not go on (a write failed, an input changed, a worker or the cluster was lost). When `resumable`,
    its finished parts (tiles, for a map) are kept and `kept` says how many, once the run has given up."""

    def __init__(self, message, *, resumable=True):
        super().__init__(message)
        self.resumable, self.kept = resumable, None


class Stopped(KeyboardInterrupt):
    """A run was stopped by Ctrl-C or by SIGTERM or SIGHUP (`signal`); `kept` of `total` parts (`parts` names them:
    "tiles") are kept in `folder` for `resume`."""

    def __init__(self, signal, kept, total, folder, parts="tiles"):
        super().__init__(f"stopped by {signal.name}: {kept} of {total} {parts} are finished and kept in '{folder}'")
        self.signal, self.kept, self.total, self.folder, self.parts = signal, kept, total, folder, parts

    def __reduce__(self):
        return type(self), (self.signal, self.kept, self.total, self.folder, self.parts), self.__dict__


def portable(error):
    """`error`, raised where a part ran, made to travel back to the main process as itself: without the exceptions
    it was raised from (GDAL's, chained by `raise ... from None` too, do not unpickle; its message already says
    what they said), or as a RunFailed with its text if it does not pickle at all."""
    error.__cause__ = error.__context__ = None
    try:
        pickle.loads(pickle.dumps(error))
        return error
    except Exception as failure:  # any exception can be raised by a class's own pickling
        text = " ".join(str(error).split()) or type(error).__name__
        return RunFailed(f"{text} ({type(error).__name__}, which cannot be sent back: {failure})")
