"""What a batch's regions accumulate as their covered cells arrive window by window, and the totals the statistics
are computed from (`statistics.DEFINITIONS`).

Sums are accumulated in 64-bit floats. A region's cells in one window are reduced at once to a group of sums; the
standard deviation keeps each group's squared deviations from its own mean, and merging adds each group's count
times the squared distance of its mean from the region's (the exact decomposition of the squared deviations), which
keeps the digits that a sum of squares loses for values far from zero. Majority and minority keep the summed
fraction of each distinct value; the quantiles keep each covered cell's value and fraction (12 bytes a cell) until
the batch is done, and select on them at the end.
"""
from functools import cached_property

import numpy as np

from .statistics import CATEGORIES, CELLS, needs

# What each group of a region's cells (its covered cells in one window) is reduced to, per band: the sums, the
# squared deviations from the group's own mean, and the extremes.
GROUP = ("count", "sum", "squares", "low", "high", "area", "nodata_area", "area_weight", "area_sum", "weight",
         "weighted_sum")
COUNT, SUM, SQUARES, LOW, HIGH, AREA, NODATA_AREA, AREA_WEIGHT, AREA_SUM, WEIGHT, WEIGHTED_SUM = range(len(GROUP))


class RegionSums:
    """The sums of a batch of `regions` regions over `bands` bands for `statistics`, fed window by window with each
    region's covered cells there, which are reduced at once to a group (`GROUP`); the groups are merged by region
    when the batch is done."""

    def __init__(self, statistics, bands, regions):
        self.statistics, self.bands, self.regions = statistics, bands, regions
        self.groups, self.owners = [], []
        self.categories = {} if needs(statistics, CATEGORIES) else None
        self.cells = {} if needs(statistics, CELLS) else None

    def add(self, owner, values, fractions, weights=None, areas=None):
        """Covered cells of the region at `owner` (its position in the batch) in one window: `values` (bands, n)
        float32 with NaN for no data, their covered `fractions` (n,), and where asked their `weights` (n,; NaN for
        none) and `areas` (n,). Returns whether they hold an infinite value or weight, which the caller refuses."""
        group = np.zeros((len(GROUP), len(values)))
        fractions = fractions.astype(np.float64)
        value = values.astype(np.float64)
        covered = _each_band(fractions, len(value))
        group[SUM] = _dot(covered, value)
        # A cell without a value makes the sum NaN: cells with values all through need no pass to find the gaps.
        missing = np.isnan(value) if np.isnan(group[SUM]).any() else None
        gaps = missing is not None and bool(missing.any())

        def with_value(cells):
            """`cells` (n,) for each band, 0 where the band has no value."""
            return np.where(missing, 0.0, cells) if gaps else _each_band(cells, len(value))

        if gaps:
            value[missing] = 0.0
            covered = with_value(fractions)
            group[SUM] = _dot(covered, value)
        group[COUNT] = covered.sum(axis=1)
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
            group[WEIGHT] = np.einsum("bn,n->b", covered, weight)
            if np.isnan(group[WEIGHT]).any():  # cells without a weight, as for the values
                weight[np.isnan(weight)] = 0.0
                group[WEIGHT] = np.einsum("bn,n->b", covered, weight)
            group[WEIGHTED_SUM] = np.einsum("bn,n,bn->b", covered, weight, value)
        self.groups.append(group)
        self.owners.append(owner)
        for band in range(len(values)) if self.categories is not None or self.cells is not None else ():
            if gaps:
                present = ~missing[band]
                self._keep((owner, band), values[band][present], fractions[present])
            else:
                self._keep((owner, band), values[band].copy(), fractions)
        return bool(np.isinf(group[[LOW, HIGH, WEIGHT]]).any())

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
        """The regions' statistics, a row each, a column per statistic (and band, where it is per band)."""
        totals, columns = Totals(self), []
        for statistic in self.statistics:
            value = statistic.definition.value(totals, statistic)
            columns += list(value) if statistic.per_band else [value]
        return np.array(columns, dtype=np.float64).reshape(-1, self.regions).T


def _total(group):
    """A property of `Totals`: the regions' total of one group of sums."""
    return property(lambda totals: totals.total[group])


def _ratio_of(numerator, denominator):
    """A property of `Totals`: the ratio of the regions' totals of two groups of sums, NaN where the second is 0."""
    return property(lambda totals: _ratio(totals.total[numerator], totals.total[denominator]))


class Totals:
    """The sums of a batch merged by region, and what the statistics are computed from: arrays (bands, regions),
    the area (regions,)."""

    def __init__(self, sums):
        self.sums, self.bands, self.regions = sums, sums.bands, sums.regions
        self.groups = np.stack(sums.groups, axis=-1) if sums.groups else np.zeros((len(GROUP), sums.bands, 0))
        self.owners = np.array(sums.owners, dtype=np.int64)
        self.total = np.zeros((len(GROUP), sums.bands, sums.regions))
        np.add.at(self.total, (slice(None), slice(None), self.owners), self.groups)

    count, sum, nodata_area, weighted_sum = (_total(group) for group in (COUNT, SUM, NODATA_AREA, WEIGHTED_SUM))
    area_mean, weighted_mean = _ratio_of(AREA_SUM, AREA_WEIGHT), _ratio_of(WEIGHTED_SUM, WEIGHT)

    @cached_property
    def mean(self):
        return _ratio(self.total[SUM], self.total[COUNT])

    @property
    def stdev(self):
        # The squared deviations from a region's mean: each group's own, and its mean's from the region's.
        groups, owners = self.groups, self.owners
        squares = self.total[SQUARES].copy()
        np.add.at(squares, (slice(None), owners), groups[COUNT] * (_centres(groups[SUM], groups[COUNT]) -
                                                                   np.nan_to_num(self.mean)[:, owners]) ** 2)
        return np.sqrt(_ratio(squares, self.count))

    @property
    def low(self):
        return self._extreme(np.fmin, LOW)

    @property
    def high(self):
        return self._extreme(np.fmax, HIGH)

    def _extreme(self, choose, which):
        extreme = np.full((self.bands, self.regions), np.nan)
        choose.at(extreme, (slice(None), self.owners), self.groups[which])
        return np.where(self.count > 0, extreme, np.nan)

    @property
    def area(self):
        return self.total[AREA][0]

    def quantile(self, q):
        return np.array([[self._quantile((k, band), q) for k in range(self.regions)] for band in range(self.bands)])

    def category(self, greatest):
        return np.array([[self._category((k, band), greatest) for k in range(self.regions)]
                         for band in range(self.bands)])

    def _quantile(self, key, q):
        cells = self.sums.cells
        if key not in cells:
            return np.nan
        values = np.concatenate([v for v, _ in cells[key]])
        if not len(values):
            return np.nan
        fractions = np.concatenate([f for _, f in cells[key]])
        order = np.argsort(values, kind="stable")
        reached = np.cumsum(fractions[order])
        return float(values[order][min(np.searchsorted(reached, q * reached[-1]), len(order) - 1)])

    def _category(self, key, greatest):
        categories = self.sums.categories
        if key not in categories or not len(categories[key][0]):
            return np.nan
        found, summed = categories[key]
        return float(found[np.argmax(summed) if greatest else np.argmin(summed)])


def _each_band(cells, bands):
    """`cells` (n,) as a view (bands, n)."""
    return cells[None] if bands == 1 else np.broadcast_to(cells, (bands, len(cells)))


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
