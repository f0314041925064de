"""The connectivity parameters, checked once and up front: the only place that knows what a valid value is and what
each one is by default (`DEFAULTS`, read by the functions' signatures and the command's options).

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
- `window_mode`: the shape of the windows, one of `WINDOW_MODES`.
- `protected_min_fraction`: the protected fraction from which a cell counts as protected.
"""
import inspect
from dataclasses import dataclass

import quillet

from .errors import ArgumentError
from .parameters import LARGEST_TILE, choice, fraction, integer, real, sequence, shown

WINDOW_MODES = ("circular", "square")
LARGEST_LEVEL = 2**20  # far beyond any useful search reach, and well inside the native level keys
LARGEST_WINDOW = 2**15 - 1
LEAST_MAX_COST = 1


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

    def recorded(self):
        """The parameters as a result records them, but for the protected fraction, which counts only where there
        is a protected raster."""
        return {"levels": list(self.levels), "lambdas": list(self.lambdas), "max_cost": self.max_cost,
                "window_size": self.window_size, "outer_window": self.outer_window, "window_mode": self.window_mode,
                "tile_size": self.tile_size}


def window_reach(levels, window_size, outer_window):
    """Base cells that a source's windows reach beyond its own cell, whole coarsest blocks included.

    The coarsest level's window is `max(outer_window, window_size)` level cells wide on each side of the
    source, and finer levels reach less; a halo of that many whole coarsest blocks keeps every window of a
    tile cell, and every coarse block it touches, complete. The module computes it, by the rule its windows
    are built by.
    """
    return quillet._window_reach(list(levels), window_size, outer_window)


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
        outer_window=outer_window, window_mode=choice("window_mode", window_mode, WINDOW_MODES), tile_size=tile_size,
        protected_min_fraction=fraction("protected_min_fraction", protected_min_fraction, zero_allowed=False),
    )


# Each parameter's default, as `connectivity_parameters` gives it.
DEFAULTS = {name: p.default for name, p in inspect.signature(connectivity_parameters).parameters.items()
            if p.default is not p.empty}


def _levels(value):
    levels = [integer("levels", level, minimum=1, maximum=LARGEST_LEVEL)
              for level in sequence("levels", value, "[1, 2, 4]")]
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
    width = integer(argument, value, minimum=1, maximum=LARGEST_WINDOW)
    if width % 2 == 0:
        raise ArgumentError(argument, f"{width} is not odd; a window is centred on its source cell")
    return width


def _lambdas(value):
    lambdas = [real("lambdas", x) for x in sequence("lambdas", value, "[2, 20, 200]")]
    for x in lambdas:
        if x <= 0:
            raise ArgumentError("lambdas", f"{x:g} is not a positive bandwidth (kilometres)")
    return tuple(lambdas)


def _max_cost(value):
    cost = real("max_cost", value)
    if cost < LEAST_MAX_COST:
        raise ArgumentError("max_cost", f"{cost:g} is below {LEAST_MAX_COST}: max_cost is the cost of crossing a fully "
                                        "degraded cell relative to intact habitat (10 makes it ten times as costly), "
                                        f"and below {LEAST_MAX_COST} degraded land would be cheaper to cross than "
                                        "habitat")
    return cost
