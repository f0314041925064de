"""How far a source's windows reach, in cells and on the ground, and whether each distance-decay bandwidth fits
that reach.

A source sees the destinations its coarsest window reaches: `window_reach` base cells on each side. On the ground
that is the reach times one cell step, measured along each axis of the grid: on a longitude/latitude grid the
east-west step shrinks towards the poles, so the reach is told per axis, at the raster's centre and over its
latitudes, measured as the path lengths are: on a sphere of radius 6371 km.

The value decays with the cost c of a destination's least-cost path and the length s of its shortest one: by
exp(-c/λ), or, with transition stacks, by the Gaussian exp(-(c/λ)²/283.465), which falls to 1/e only at 16.8 λ.
A path costs its length on intact land and up to `max_cost` times its length on degraded land. Two bandwidths
define a map that tells little, and each gets one warning line (never a refusal: the map is still the one its
parameters define):

- one whose decay falls to 1/e within one cell step: the values tell little beyond the nearest cells; or within
  10 m on finer cells, where the rounding of path lengths to hundredths of a kilometre weighs more than
  connectivity;
- one under which a destination at the farthest reach keeps more than 90% of its weight even across the costliest
  land: the decay barely acts within the reach, and the value is nearly a plain mean of condition over the window.
"""
import math
import warnings
from dataclasses import dataclass

import numpy as np
import pyproj

from .connectivity_parameters import LARGEST_LEVEL
from .errors import DataError
from .transforms import coefficients, world

GAUSSIAN_DIVISOR = 283.465  # the transition form's decay: exp(-(c/λ)² / 283.465)
COUNTED_STEP_M = 10.0  # path lengths are counted in hundredths of a kilometre
BARELY_DECAYS = 0.9  # a decay that keeps more than this share of every destination's weight barely acts
SAMPLES = 9  # positions per axis at which a longitude/latitude grid's cell steps are measured
SPHERE = pyproj.Geod(a=6371000.0, b=6371000.0)  # the sphere on which path lengths are measured


@dataclass(frozen=True)
class Step:
    """One cell step along an axis, in metres: at the raster's centre, and its least and greatest over the raster."""

    centre: float
    low: float
    high: float


@dataclass(frozen=True)
class Reach:
    """`cells` base cells on each side of a source, on a grid whose cell steps are `along_row` (east-west on a
    longitude/latitude grid, x on a projected one) and `along_column` (north-south, y); `span` is the raster's
    greater extent in metres."""

    cells: int
    geographic: bool
    along_row: Step
    along_column: Step
    span: float

    @property
    def axes(self):
        names = ("east-west", "north-south") if self.geographic else ("x", "y")
        return tuple(zip(names, (self.along_row, self.along_column)))

    @property
    def square(self):
        """One number tells it: a projected grid whose cells are as long as they are wide."""
        return not self.geographic and math.isclose(self.along_row.centre, self.along_column.centre, rel_tol=1e-9)

    @property
    def shortest_step(self):
        return min(self.along_row.low, self.along_column.low)

    @property
    def farthest(self):
        """Metres reached along the longest axis, where the cells are longest."""
        return self.cells * max(self.along_row.high, self.along_column.high)

    def notes(self):
        """The result's attributes that tell the reach: the text the command prints, cells, and metres (per axis,
        with their range over the raster's latitudes, where one number does not tell it)."""
        notes = {"search_reach": self.text(), "search_reach_cells": self.cells}
        if self.square:
            return {**notes, "search_reach_m": round(self.cells * self.along_row.centre, 1)}
        for name, step in self.axes:
            key = f"search_reach_{name.replace('-', '_')}_m"
            notes[key] = round(self.cells * step.centre, 1)
            if self.geographic:
                notes[f"{key}_range"] = (round(self.cells * step.low, 1), round(self.cells * step.high, 1))
        return notes

    def text(self):
        """One line: "28 cells, 1.79 km", or per axis on a longitude/latitude grid, with the range over its
        latitudes where it differs."""
        if self.square:
            return f"{self.cells} cells, {distance(self.cells * self.along_row.centre)}"
        at_centre = " and ".join(f"{distance(self.cells * step.centre)} {'' if self.geographic else 'along '}{name}"
                                 for name, step in self.axes)
        if not self.geographic:
            return f"{self.cells} cells, {at_centre}"
        ranges = [f"{name} {span_text(self.cells * step.low, self.cells * step.high)}" for name, step in self.axes
                  if distance(self.cells * step.low) != distance(self.cells * step.high)]
        over = f" ({', '.join(ranges)} over its latitudes)" if ranges else ""
        return f"{self.cells} cells, {at_centre} at the raster's centre{over}"


def distance(metres):
    """A distance to three significant digits: "798 m", "1.79 km", "51.9 km", "1440 km"."""
    if metres < 1000:
        return f"{metres:.3g} m"
    km = metres / 1000
    return f"{km:.3g} km" if km < 1000 else f"{km:.0f} km"


def span_text(low, high):
    """A range of distances, "32.9-34.1 km", its unit said once where both ends share it."""
    first, second = distance(low), distance(high)
    unit = first.split()[1]
    return f"{first.split()[0]}-{second}" if second.endswith(f" {unit}") else f"{first}-{second}"


def search_reach(raster, parameters):
    """The `Reach` of `parameters`' windows on the grid of `raster` (a `rasters.Raster` with a CRS), or DataError
    where its cells have no extent along an axis (a transform that describes no grid)."""
    rows, cols = raster.shape
    transform, geographic = coefficients(raster.array.rio.transform()), bool(raster.array.rio.crs.is_geographic)
    along_row, along_column = (_geographic_steps if geographic else _projected_steps)(transform, rows, cols)
    if not (along_row.low > 0 and along_column.low > 0):
        coefficients_shown = ", ".join(f"{x:g}" for x in transform)
        raise DataError(raster.name, f"{raster.where} has cells that measure {along_row.low:g} by "
                                     f"{along_column.low:g} m: its transform ({coefficients_shown}) describes no grid")
    return Reach(cells=parameters.reach(), geographic=geographic, along_row=along_row,
                 along_column=along_column, span=max(cols * along_row.centre, rows * along_column.centre))


def _projected_steps(transform, rows, cols):
    a, b, _, d, e, _ = transform
    return Step(*[math.hypot(a, d)] * 3), Step(*[math.hypot(b, e)] * 3)


def _geographic_steps(transform, rows, cols):
    """Cell steps on the sphere: at the centre, and over positions that include the raster's first and last rows
    and the equator where it crosses (a step's length depends on latitude alone, monotonically either side of 0)."""
    c, r = np.meshgrid(np.linspace(0.5, cols - 0.5, SAMPLES), np.linspace(0.5, rows - 0.5, SAMPLES))
    c, r = np.r_[cols / 2, c.ravel()], np.r_[rows / 2, r.ravel()]
    _, _, _, d, e, f = transform
    if e and 0.5 < -(d * cols / 2 + f) / e < rows - 0.5:
        c, r = np.r_[c, cols / 2], np.r_[r, -(d * cols / 2 + f) / e]
    steps = []
    for dc, dr in ((0.5, 0.0), (0.0, 0.5)):
        lengths = SPHERE.inv(*world(transform, c - dc, r - dr), *world(transform, c + dc, r + dr))[2]
        steps.append(Step(float(lengths[0]), float(lengths.min()), float(lengths.max())))
    return tuple(steps)


def kept_weight(cost_km, bandwidth, transgrids):
    """The share of a destination's weight that the decay keeps at a path cost of `cost_km`."""
    x = cost_km / bandwidth
    return math.exp(-x * x / GAUSSIAN_DIVISOR) if transgrids else math.exp(-x)


def decay_length(bandwidth, transgrids):
    """Kilometres over which the decay falls to 1/e along a path that costs its length."""
    return bandwidth * math.sqrt(GAUSSIAN_DIVISOR) if transgrids else bandwidth


def check_bandwidths(parameters, reach, *, transgrids):
    """A warning line for the bandwidths that decay within one cell, and one for those that barely decay within
    the reach (see the module's text)."""
    lambdas = parameters.lambdas
    floor_km = max(reach.shortest_step, COUNTED_STEP_M) / 1000
    short = [x for x in lambdas if decay_length(x, transgrids) < floor_km]
    if short:
        warnings.warn(_too_short(short, reach, floor_km, transgrids), stacklevel=3)
    farthest_km = reach.farthest / 1000
    long = [x for x in lambdas if kept_weight(parameters.max_cost * farthest_km, x, transgrids) > BARELY_DECAYS]
    if long:
        warnings.warn(_too_long(long, parameters, reach, transgrids), stacklevel=3)


def _listed(bandwidths, verb):
    """`lambdas` and the bandwidths, with the verb in the number they take."""
    return f"`lambdas` {' '.join(f'{x:g}' for x in bandwidths)} km {verb}{'s' if len(bandwidths) == 1 else ''}"


def _too_short(bandwidths, reach, floor_km, transgrids):
    if reach.shortest_step >= COUNTED_STEP_M:
        within, away = f"one cell ({distance(reach.shortest_step)})", "one cell away"
        so = "the values tell little beyond the condition of the nearest cells"
    else:
        within = (f"{COUNTED_STEP_M:g} m, the step in which path lengths are counted (cells are "
                  f"{distance(reach.shortest_step)})")
        away, so = f"{COUNTED_STEP_M:g} m away", "the rounding of path lengths weighs more than connectivity"
    kept = kept_weight(floor_km, max(bandwidths), transgrids)
    share = f"at most {100 * kept:.2g}%" if kept >= 1e-4 else "less than 0.01%"
    return (f"{_listed(bandwidths, 'decay')} within {within}: a destination {away} keeps {share} of its weight, "
            f"so {so}; bandwidths are in kilometres, from {floor_km / decay_length(1.0, transgrids):.3g} on this "
            "grid")


def _too_long(bandwidths, parameters, reach, transgrids):
    smallest, cost = min(bandwidths), parameters.max_cost
    kept = kept_weight(cost * reach.farthest / 1000, smallest, transgrids)
    farthest = distance(reach.farthest) if reach.square else f"up to {distance(reach.farthest)}"
    costliest = f", even where its path costs `max_cost` {cost:g} times its length" if cost > 1 else ""
    return (f"{_listed(bandwidths, 'barely decay')} within the search reach ({reach.cells} cells, {farthest} "
            f"with `levels` {' '.join(map(str, parameters.levels))}): a destination at the reach keeps "
            f"{math.floor(100 * kept)}% of its weight or more{costliest}, so the values are nearly a mean of "
            f"condition over the window; bandwidths are in kilometres, and "
            f"{_levels_reaching(decay_length(smallest, transgrids), parameters, reach)}")


def _levels_reaching(km, parameters, reach):
    """The shortest chain of levels whose reach is at least `km` everywhere on the raster, said in a few words."""
    width = max(parameters.outer_window, parameters.window_size)
    coarsest = 2 ** max(0, math.ceil(math.log2(km * 1000 / (width * reach.shortest_step))))
    if coarsest > LARGEST_LEVEL:
        return f"no chain of levels reaches {km:g} km on this grid"
    reached = width * coarsest * reach.shortest_step
    beyond = f", beyond the raster's {distance(reach.span)}" if reached > reach.span else ""
    return f"`levels` 1 to {coarsest} would reach {distance(reached)}{beyond}"
