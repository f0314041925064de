"""The two kinds of refusal the layer raises: a wrong argument, and input data that cannot give a meaningful map.

Both are `ValueError`s with one line of text. They also say which argument they concern, so that the command can
name its own option instead (`--max-cost` for `max_cost`) and choose its exit status.
"""


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
