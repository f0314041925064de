"""The statistics of a region's cells: which can be asked for, how their columns are named, and how each is
accumulated as a region's covered cells arrive window by window (their definitions are in `summarize`'s docstring,
where users read them).

Sums are accumulated in 64-bit floats. The standard deviation merges each window's weighted mean and squared
deviations into the running ones (Chan's update), which keeps its digits where a sum of squares would lose them for
values far from zero. Majority and minority keep the summed fraction of each distinct value; the quantiles keep each
covered cell's value and fraction (12 bytes a cell) until the region is done, and select on them at the end.
"""
import re
from dataclasses import dataclass

import numpy as np

from .errors import ArgumentError, ArgumentTypeError
from .parameters import fraction, shown

NAMES = ("count", "sum", "mean", "min", "max", "stdev", "median", "quantile", "majority", "minority", "area",
         "nodata_area", "area_mean", "weighted_sum", "weighted_mean")
DEFAULT = ("count", "sum", "mean", "min", "max", "area")
WEIGHTED = ("weighted_sum", "weighted_mean")
AREAS = ("area", "nodata_area", "area_mean")
QUANTILE = re.compile(r"quantile\((.*)\)")


@dataclass(frozen=True)
class Statistic:
    """One statistic asked for; `q` is the quantile's level (0.5 for the median)."""

    name: str
    q: float | None = None

    @property
    def label(self):
        return f"quantile_{self.q:g}" if self.name == "quantile" else self.name

    @property
    def per_band(self):
        return self.name != "area"


def parse_statistics(stats, *, weighted):
    """The statistics asked for, in order: names, "quantile(q)" with q in [0, 1], as a list or one comma-separated
    string. `weighted`: whether a weights raster is given, which the weighted statistics need."""
    if isinstance(stats, str):
        stats = [name for name in re.split(r",(?![^()]*\))", stats)]
    elif not hasattr(stats, "__iter__"):
        raise ArgumentTypeError("stats", f"expected a list of statistic names such as ['mean', 'area'], got "
                                         f"{shown(stats)}")
    chosen = [_statistic(name) for name in stats]
    if not chosen:
        raise ArgumentError("stats", f"is empty; choose among {', '.join(NAMES)}")
    labels = [s.label for s in chosen]
    repeated = next((label for label in labels if labels.count(label) > 1), None)
    if repeated:
        raise ArgumentError("stats", f"asks for {repeated} twice")
    asked = {s.name for s in chosen}
    if not weighted and asked & set(WEIGHTED):
        raise ArgumentError("weights", f"is needed for {', '.join(sorted(asked & set(WEIGHTED)))}: give a raster of "
                                       "weights on the values' grid")
    if weighted and not asked & set(WEIGHTED):
        raise ArgumentError("weights", "is given, but no weighted statistic is asked for; add weighted_mean or "
                                       "weighted_sum to `stats`")
    return tuple(chosen)


def _statistic(text):
    if not isinstance(text, str):
        raise ArgumentTypeError("stats", f"expected statistic names, got {shown(text)}")
    name = text.strip().lower()
    match = QUANTILE.fullmatch(name)
    if match:
        try:
            level = float(match[1])
        except ValueError:
            raise ArgumentError("stats", f"{text.strip()!r}: the quantile's level must be a number in [0, 1], such "
                                         "as quantile(0.9)") from None
        return Statistic("quantile", fraction("stats", level))
    if name == "median":
        return Statistic("median", 0.5)
    if name not in NAMES or name == "quantile":
        raise ArgumentError("stats", f"{text.strip()!r} is not a statistic; choose among "
                                     f"{', '.join(n if n != 'quantile' else 'quantile(q)' for n in NAMES)}")
    return Statistic(name)


def columns(statistics, bands):
    """The table's column names: one per statistic, or per statistic and band (`mean_b2`) when there are several
    bands (the area is the same for every band)."""
    return [s.label if not s.per_band or bands == 1 else f"{s.label}_b{band}"
            for s in statistics for band in (range(1, bands + 1) if s.per_band else (None,))]


class RegionStatistics:
    """The running statistics of one region over `bands` bands, fed with its covered cells window by window."""

    def __init__(self, statistics, bands):
        self.statistics = statistics
        asked = {s.name for s in statistics}
        zeros = lambda: np.zeros(bands)  # noqa: E731
        self.count, self.sum, self.centre, self.squares = zeros(), zeros(), zeros(), zeros()
        self.low, self.high = np.full(bands, np.nan), np.full(bands, np.nan)
        self.area, self.nodata_area, self.area_weight, self.area_sum = 0.0, zeros(), zeros(), zeros()
        self.weight, self.weighted_sum = zeros(), zeros()
        self.categories = [None] * bands if asked & {"majority", "minority"} else None
        self.cells = [[] for _ in range(bands)] if asked & {"median", "quantile"} else None

    def add(self, values, fractions, weights=None, areas=None):
        """Cells that the region covers: `values` (bands, n) float32 with NaN for no data, their covered
        `fractions` (n,), and where asked their `weights` (n,; NaN for none) and `areas` (n,)."""
        fractions = fractions.astype(np.float64)
        present = ~np.isnan(values)
        value = np.where(present, values, 0).astype(np.float64)
        covered = np.where(present, fractions, 0.0)
        count, total = covered.sum(axis=1), (covered * value).sum(axis=1)
        centre = np.nan_to_num(_ratio(total, count))
        self._merge_spread(count, centre, (covered * (value - centre[:, None]) ** 2).sum(axis=1))
        self.count += count
        self.sum += total
        self.low, self.high = np.fmin(self.low, np.fmin.reduce(values, axis=1)), np.fmax(
            self.high, np.fmax.reduce(values, axis=1))
        if areas is not None:
            by_area = fractions * areas
            self.area += by_area.sum()
            self.nodata_area += np.where(present, 0.0, by_area).sum(axis=1)
            self.area_weight += np.where(present, by_area, 0.0).sum(axis=1)
            self.area_sum += (np.where(present, by_area, 0.0) * value).sum(axis=1)
        if weights is not None:
            weighted = np.where(present & ~np.isnan(weights), fractions * weights, 0.0)
            self.weight += weighted.sum(axis=1)
            self.weighted_sum += (weighted * value).sum(axis=1)
        for band in range(len(values)) if self.categories is not None or self.cells is not None else ():
            kept = present[band]
            self._keep(band, values[band][kept], fractions[kept])

    def _merge_spread(self, count, centre, squares):
        """Chan's update of the weighted mean and squared deviations with those of a new group of cells (`count`
        their summed fractions, `centre` their weighted mean, `squares` their weighted squared deviations)."""
        grows = count > 0
        share = np.where(grows, count / np.where(grows, self.count + count, 1), 0.0)
        delta = np.where(grows, centre - self.centre, 0.0)
        self.squares += squares + delta ** 2 * self.count * share
        self.centre += delta * share

    def _keep(self, band, values, fractions):
        if self.categories is not None:
            found, where = np.unique(values, return_inverse=True)
            summed = np.bincount(where, fractions, minlength=len(found))
            if self.categories[band] is not None:
                known, weights = self.categories[band]
                found, where = np.unique(np.concatenate([known, found]), return_inverse=True)
                summed = np.bincount(where, np.concatenate([weights, summed]), minlength=len(found))
            self.categories[band] = (found, summed)
        if self.cells is not None:
            self.cells[band].append((values, fractions))

    def row(self):
        """The region's statistics, in the order of `columns`."""
        bands = range(len(self.count))
        plain = {
            "count": self.count, "sum": self.sum, "mean": _ratio(self.sum, self.count), "min": self.low,
            "max": self.high, "stdev": np.sqrt(_ratio(self.squares, self.count)), "nodata_area": self.nodata_area,
            "area_mean": _ratio(self.area_sum, self.area_weight), "weighted_sum": self.weighted_sum,
            "weighted_mean": _ratio(self.weighted_sum, self.weight),
        }
        values = []
        for statistic in self.statistics:
            if statistic.name == "area":
                values.append(self.area)
            elif statistic.q is not None:
                values += [self._quantile(band, statistic.q) for band in bands]
            elif statistic.name in ("majority", "minority"):
                values += [self._category(band, statistic.name == "majority") for band in bands]
            else:
                values += plain[statistic.name].tolist()
        return np.array(values, dtype=np.float64)

    def _quantile(self, band, q):
        values = np.concatenate([v for v, _ in self.cells[band]] or [np.empty(0, np.float32)])
        if not len(values):
            return np.nan
        fractions = np.concatenate([f for _, f in self.cells[band]])
        order = np.argsort(values, kind="stable")
        reached = np.cumsum(fractions[order])
        return float(values[order][min(np.searchsorted(reached, q * reached[-1]), len(order) - 1)])

    def _category(self, band, greatest):
        if self.categories[band] is None or not len(self.categories[band][0]):
            return np.nan
        found, summed = self.categories[band]
        return float(found[np.argmax(summed) if greatest else np.argmin(summed)])


def _ratio(numerator, denominator):
    """numerator / denominator, NaN where the denominator is 0."""
    with np.errstate(divide="ignore", invalid="ignore"):
        return np.where(denominator > 0, numerator / np.where(denominator > 0, denominator, 1), np.nan)
