"""The statistics of a region's cells: which can be asked for, how their columns are named, and how each is
accumulated as a region's covered cells arrive window by window (their definitions are in `summarize`'s docstring,
where users read them).

Sums are accumulated in 64-bit floats. A region's cells in one window are reduced at once to a group of sums; the
standard deviation keeps each group's squared deviations from its own mean, and merging adds each group's count
times the squared distance of its mean from the region's (the exact decomposition of the squared deviations), which
keeps the digits that a sum of squares loses for values far from zero. Majority and minority keep the summed
fraction of each distinct value; the quantiles keep each covered cell's value and fraction (12 bytes a cell) until
the batch is done, and select on them at the end.
"""
import re
from dataclasses import dataclass

import numpy as np

from .errors import ArgumentError, ArgumentTypeError
from .parameters import shown

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
            level = None
        if level is None or not 0 <= level <= 1:
            raise ArgumentError("stats", f"{text.strip()!r}: the quantile's level must be a number in [0, 1], such "
                                         "as quantile(0.9)")
        return Statistic("quantile", level)
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


# What each group of a region's cells (its covered cells in one window) is reduced to, per band: the sums, the
# squared deviations from the group's own mean, and the extremes.
GROUP = ("count", "sum", "squares", "low", "high", "area", "nodata_area", "area_weight", "area_sum", "weight",
         "weighted_sum")
COUNT, SUM, SQUARES, LOW, HIGH, AREA, NODATA_AREA, AREA_WEIGHT, AREA_SUM, WEIGHT, WEIGHTED_SUM = range(len(GROUP))


class BatchStatistics:
    """The statistics of a batch of `regions` regions over `bands` bands, fed window by window with each region's
    covered cells there, which are reduced at once to a group (`GROUP`); the groups are merged by region when the
    batch is done."""

    def __init__(self, statistics, bands, regions):
        self.statistics, self.bands, self.regions = statistics, bands, regions
        self.groups, self.owners = [], []
        asked = {s.name for s in statistics}
        self.categories = {} if asked & {"majority", "minority"} else None
        self.cells = {} if asked & {"median", "quantile"} else None

    def add(self, owner, values, fractions, weights=None, areas=None):
        """Covered cells of the region at `owner` (its position in the batch) in one window: `values` (bands, n)
        float32 with NaN for no data, their covered `fractions` (n,), and where asked their `weights` (n,; NaN for
        none) and `areas` (n,). Returns their group (`GROUP` by band)."""
        group = np.zeros((len(GROUP), len(values)))
        fractions = fractions.astype(np.float64)
        value = values.astype(np.float64)
        missing = np.isnan(value)
        gaps = bool(missing.any())
        if gaps:
            value[missing] = 0.0

        def with_value(cells):
            """`cells` (n,) for each band, 0 where the band has no value."""
            return np.where(missing, 0.0, cells) if gaps else np.broadcast_to(cells, value.shape)

        covered = with_value(fractions)
        group[COUNT], group[SUM] = covered.sum(axis=1), _dot(covered, value)
        with np.errstate(invalid="ignore", over="ignore"):  # an infinite value shows in the sums, refused there
            deviation = value - _centres(group[SUM], group[COUNT])[:, None]
            group[SQUARES] = np.einsum("bn,bn,bn->b", covered, deviation, deviation)
        group[LOW], group[HIGH] = (np.fmin.reduce(values, axis=1), np.fmax.reduce(values, axis=1)) if gaps else (
            values.min(axis=1), values.max(axis=1))
        if areas is not None:
            by_area = fractions * areas
            group[AREA] = by_area.sum()
            group[NODATA_AREA] = np.where(missing, by_area, 0.0).sum(axis=1) if gaps else 0.0
            group[AREA_WEIGHT], group[AREA_SUM] = with_value(by_area).sum(axis=1), _dot(with_value(by_area), value)
        if weights is not None:
            weight = weights.astype(np.float64)
            absent = np.isnan(weight)
            if absent.any():
                weight[absent] = 0.0
            group[WEIGHT] = np.einsum("bn,n->b", covered, weight)
            group[WEIGHTED_SUM] = np.einsum("bn,n,bn->b", covered, weight, value)
        self.groups.append(group)
        self.owners.append(owner)
        for band in range(len(values)) if self.categories is not None or self.cells is not None else ():
            present = ~missing[band]
            self._keep((owner, band), values[band][present], fractions[present])
        return group

    def _keep(self, key, values, fractions):
        if self.categories is not None:
            found, where = np.unique(values, return_inverse=True)
            summed = np.bincount(where, fractions, minlength=len(found))
            if key in self.categories:
                known, weights = self.categories[key]
                found, where = np.unique(np.concatenate([known, found]), return_inverse=True)
                summed = np.bincount(where, np.concatenate([weights, summed]), minlength=len(found))
            self.categories[key] = (found, summed)
        if self.cells is not None:
            self.cells.setdefault(key, []).append((values, fractions))

    def rows(self):
        """The regions' statistics, a row each in the order of `columns`."""
        groups = np.stack(self.groups, axis=-1) if self.groups else np.zeros((len(GROUP), self.bands, 0))
        owners = np.array(self.owners, dtype=np.int64)
        total = np.zeros((len(GROUP), self.bands, self.regions))
        np.add.at(total, (slice(None), slice(None), owners), groups)
        count, mean = total[COUNT], _ratio(total[SUM], total[COUNT])
        # The squared deviations from a region's mean: each group's own, and its mean's from the region's.
        squares = total[SQUARES].copy()
        np.add.at(squares, (slice(None), owners), groups[COUNT] * (_centres(groups[SUM], groups[COUNT]) -
                                                                   np.nan_to_num(mean)[:, owners]) ** 2)
        low, high = np.full((self.bands, self.regions), np.nan), np.full((self.bands, self.regions), np.nan)
        np.fmin.at(low, (slice(None), owners), groups[LOW])
        np.fmax.at(high, (slice(None), owners), groups[HIGH])
        plain = {
            "count": count, "sum": total[SUM], "mean": mean, "stdev": np.sqrt(_ratio(squares, count)),
            "min": np.where(count > 0, low, np.nan), "max": np.where(count > 0, high, np.nan),
            "nodata_area": total[NODATA_AREA], "area_mean": _ratio(total[AREA_SUM], total[AREA_WEIGHT]),
            "weighted_sum": total[WEIGHTED_SUM], "weighted_mean": _ratio(total[WEIGHTED_SUM], total[WEIGHT]),
        }
        bands, columns = range(self.bands), []
        for statistic in self.statistics:
            if statistic.name == "area":
                columns.append(total[AREA][0])
            elif statistic.q is not None:
                columns += [[self._quantile((k, band), statistic.q) for k in range(self.regions)] for band in bands]
            elif statistic.name in ("majority", "minority"):
                columns += [[self._category((k, band), statistic.name == "majority") for k in range(self.regions)]
                            for band in bands]
            else:
                columns += list(plain[statistic.name])
        return np.array(columns, dtype=np.float64).reshape(-1, self.regions).T

    def _quantile(self, key, q):
        if key not in self.cells:
            return np.nan
        values = np.concatenate([v for v, _ in self.cells[key]])
        if not len(values):
            return np.nan
        fractions = np.concatenate([f for _, f in self.cells[key]])
        order = np.argsort(values, kind="stable")
        reached = np.cumsum(fractions[order])
        return float(values[order][min(np.searchsorted(reached, q * reached[-1]), len(order) - 1)])

    def _category(self, key, greatest):
        if key not in self.categories or not len(self.categories[key][0]):
            return np.nan
        found, summed = self.categories[key]
        return float(found[np.argmax(summed) if greatest else np.argmin(summed)])


def _dot(first, second):
    """The sum over cells of first × second, for each band."""
    return np.einsum("bn,bn->b", first, second)


def _centres(sums, counts):
    """sums / counts, 0 where a count is 0."""
    return np.divide(sums, counts, out=np.zeros_like(sums), where=counts > 0)


def _ratio(numerator, denominator):
    """numerator / denominator, NaN where the denominator is 0."""
    with np.errstate(divide="ignore", invalid="ignore"):
        return np.where(denominator > 0, numerator / np.where(denominator > 0, denominator, 1), np.nan)
