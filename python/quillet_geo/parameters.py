"""The connectivity parameters, checked once and up front: the only place that knows what a valid value is.

Every function of the layer and every option of the command goes through `connectivity_parameters` before it opens
a raster or builds a task, so that a mistake is one line naming the argument, never a fault deep inside a tile.
What the values mean:

- `levels`: base cells per level cell, doubling from 1 without a gap (1, 2, 4, ...): each level's windows are
  placed from the next finer level's, so a gap would leave a level without a window to start from.
- `window_size`, `outer_window`: odd window widths in level cells, on the finer levels and on the coarsest one.
- `lambdas`: distance-decay bandwidths in kilometres.
- `max_cost`: the cost, per unit length, of crossing a cell of traversal value 0, relative to a cell of value 1.
  The path weight is w = (1 - max_cost)·t + max_cost, so t = 1 costs its length and t = 0 costs max_cost times its
  length. Below 1 the weight would fall as the land degrades: degraded land would be cheaper than intact habitat.
- `protected_min_fraction`: the protected fraction from which a cell counts as protected.
"""
import math
import numbers
import operator
from dataclasses import dataclass

import numpy as np

from .errors import ArgumentError, ArgumentTypeError

WINDOW_MODES = ("circular", "square")
LARGEST_LEVEL = 2**20  # far beyond any useful search reach, and well inside the native level keys
LARGEST_TILE = 2**20


@dataclass(frozen=True)
class ConnectivityParameters:
    """Checked connectivity parameters; `levels` ascending."""

    levels: tuple
    lambdas: tuple
    max_cost: float
    window_size: int
    outer_window: int
    window_mode: str
    tile_size: int
    protected_min_fraction: float

    @property
    def coarsest(self):
        return self.levels[-1]

    def reach(self):
        """Base cells that a source's windows reach beyond its own cell, whole coarsest blocks included."""
        return window_reach(self.levels, self.window_size, self.outer_window)

    def native(self):
        """The keyword arguments of `quillet.connectivity` that these parameters fix."""
        return dict(levels=list(self.levels), lambdas=list(self.lambdas), max_cost=self.max_cost,
                    window_size=self.window_size, outer_window=self.outer_window, window_mode=self.window_mode)


def window_reach(levels, window_size, outer_window):
    """Base cells that a source's windows reach beyond its own cell, whole coarsest blocks included.

    The coarsest level's window is `max(outer_window, window_size)` level cells wide on each side of the
    source, and finer levels reach less; a halo of that many whole coarsest blocks keeps every window of a
    tile cell, and every coarse block it touches, complete.
    """
    return max(outer_window, window_size) * max(levels)


def connectivity_parameters(*, levels, lambdas, max_cost, window_size=3, outer_window=7, window_mode="circular",
                            tile_size=1024, protected_min_fraction=0.5):
    """`ConnectivityParameters` from the caller's values, or `ArgumentError`/`ArgumentTypeError` naming the first
    argument that is wrong, its value and what it must be."""
    levels = _levels(levels)
    window_size = _odd_width("window_size", window_size)
    outer_window = _odd_width("outer_window", outer_window)
    if outer_window < window_size:
        raise ArgumentError("outer_window", f"{outer_window} is smaller than window_size {window_size}; the "
                                            "coarsest level's window must be at least as wide as the others")
    tile_size = integer("tile_size", tile_size, minimum=1, maximum=LARGEST_TILE)
    if tile_size % levels[-1]:
        raise ArgumentError("tile_size", f"{tile_size} is not a multiple of the coarsest level {levels[-1]}")
    return ConnectivityParameters(
        levels=levels, lambdas=_lambdas(lambdas), max_cost=_max_cost(max_cost), window_size=window_size,
        outer_window=outer_window, window_mode=_window_mode(window_mode), tile_size=tile_size,
        protected_min_fraction=fraction("protected_min_fraction", protected_min_fraction, zero_allowed=False),
    )


def shown(value, limit=60):
    """A value as one short line for a message: long lists and arrays are cut."""
    if isinstance(value, np.ndarray):
        value = value.tolist() if value.size <= 16 else f"array of shape {value.shape}"
    text = " ".join(repr(value).split())
    return text if len(text) <= limit else text[:limit - 3] + "..."


def integer(argument, value, *, minimum, maximum=None):
    """An int from an int-like value (not a bool, not a float), within the bounds."""
    if isinstance(value, (bool, np.bool_)):
        raise ArgumentTypeError(argument, f"expected an integer, got {shown(value)}")
    try:
        number = operator.index(value)
    except TypeError:
        raise ArgumentTypeError(argument, f"expected an integer, got {shown(value)}") from None
    if number < minimum or (maximum is not None and number > maximum):
        bound = f"at least {minimum}" if maximum is None else f"between {minimum} and {maximum}"
        raise ArgumentError(argument, f"{number} is not {bound}")
    return number


def real(argument, value):
    """A float from a real number (not a bool, not a string); NaN and infinities are refused."""
    if isinstance(value, (bool, np.bool_)) or not isinstance(value, numbers.Real):
        raise ArgumentTypeError(argument, f"expected a number, got {shown(value)}")
    number = float(value)
    if not math.isfinite(number) or abs(number) > float(np.finfo(np.float32).max):
        raise ArgumentError(argument, f"{shown(value)} is not a finite number")
    return number


def fraction(argument, value, *, zero_allowed=True):
    """A number in [0, 1], or in (0, 1] when zero is not allowed."""
    number = real(argument, value)
    if not (0 <= number <= 1) or (number == 0 and not zero_allowed):
        raise ArgumentError(argument, f"{shown(value)} is not in {'[' if zero_allowed else '('}0, 1]")
    return number


def _sequence(argument, value, example):
    if isinstance(value, (str, bytes)) or not hasattr(value, "__iter__"):
        raise ArgumentTypeError(argument, f"expected a list such as {example}, got {shown(value)}")
    items = list(value)
    if not items:
        raise ArgumentError(argument, f"is empty; give at least one value, such as {example}")
    return items


def _levels(value):
    levels = [integer("levels", level, minimum=1, maximum=LARGEST_LEVEL)
              for level in _sequence("levels", value, "[1, 2, 4]")]
    for level in levels:
        if level & (level - 1):
            raise ArgumentError("levels", f"{level} is not a power of two")
    if len(set(levels)) != len(levels):
        raise ArgumentError("levels", f"{shown(value)} repeats a level; give each level once")
    levels.sort()
    expected = [2**k for k in range(len(levels))]
    if levels != expected:
        missing = next(e for e, level in zip(expected, levels) if e != level)
        raise ArgumentError("levels", f"{shown(value)} leaves out {missing}: the levels must double from 1 "
                                      "without a gap (1, 2, 4, ...)")
    return tuple(levels)


def _odd_width(argument, value):
    width = integer(argument, value, minimum=1, maximum=2**15 - 1)
    if width % 2 == 0:
        raise ArgumentError(argument, f"{width} is not odd; a window is centred on its source cell")
    return width


def _lambdas(value):
    lambdas = [real("lambdas", x) for x in _sequence("lambdas", value, "[2, 20, 200]")]
    for x in lambdas:
        if x <= 0:
            raise ArgumentError("lambdas", f"{x:g} is not a positive bandwidth (kilometres)")
    return tuple(lambdas)


def _max_cost(value):
    cost = real("max_cost", value)
    if cost < 1:
        raise ArgumentError("max_cost", f"{cost:g} is below 1: max_cost is the cost of crossing a fully degraded "
                                        "cell relative to intact habitat (10 makes it ten times as costly), and "
                                        "below 1 degraded land would be cheaper to cross than habitat")
    return cost


def _window_mode(value):
    if not isinstance(value, str):
        raise ArgumentTypeError("window_mode", f"expected 'circular' or 'square', got {shown(value)}")
    mode = value.strip().lower()
    if mode not in WINDOW_MODES:
        raise ArgumentError("window_mode", f"{shown(value)} is neither 'circular' nor 'square'")
    return mode
