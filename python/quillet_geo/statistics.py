"""The statistics of a region's cells that can be asked for, one definition each: its name, whether each band gets
its own column, what it needs (cell areas, a weights raster, the summed fraction of each category, or every covered
cell's value for the quantiles), how it is computed from a region's accumulated sums (`region_sums.Totals`), and
the text that defines it for users. The names, the default, the table's columns, the definitions in `summarize`'s
docstring and the command's `--stats` help all come from here, so a new statistic is one entry below (and the sums
it is computed from, if they are new).
"""
import re
import textwrap
from dataclasses import dataclass

from .errors import ArgumentError, ArgumentTypeError
from .parameters import shown

AREAS, WEIGHTS, CATEGORIES, CELLS = "areas", "weights", "categories", "cells"
SYMBOLS = ("f the fraction of a cell that the region covers, v the cell's value, w its weight from the weights raster "
           "and A its area in m²")


@dataclass(frozen=True)
class Definition:
    """One statistic: `value(totals, statistic)` computes it for every region of a batch, per band ((bands,
    regions)) unless not `per_band` ((regions,)); `needs` names what its sums need; `takes_level`: asked for as
    name(q) with q in [0, 1], or computed at the fixed `level`."""

    name: str
    text: str
    value: object
    needs: tuple = ()
    per_band: bool = True
    default: bool = False
    takes_level: bool = False
    level: float | None = None

    @property
    def usage(self):
        return f"{self.name}(q)" if self.takes_level else self.name


DEFINITIONS = (
    Definition("count", "Σ f over the cells with a value", lambda t, s: t.count, default=True),
    Definition("sum", "Σ f·v", lambda t, s: t.sum, default=True),
    Definition("mean", "sum / count", lambda t, s: t.mean, default=True),
    Definition("min", "the least value of the cells with a value that the region covers at all",
               lambda t, s: t.low, default=True),
    Definition("max", "the greatest value of the cells with a value that the region covers at all",
               lambda t, s: t.high, default=True),
    Definition("stdev", "the population standard deviation weighted by f, √(Σ f·(v − mean)² / count)",
               lambda t, s: t.stdev),
    Definition("median", "quantile(0.5)", lambda t, s: t.quantile(s.q), needs=(CELLS,), level=0.5),
    Definition("quantile", "with q in [0, 1], the least value v such that the cells with values up to v have "
               "Σ f ≥ q·count (the weighted inverted distribution function)", lambda t, s: t.quantile(s.q),
               needs=(CELLS,), takes_level=True),
    Definition("majority", "the value whose cells have the greatest Σ f, for categorical rasters; ties go to the "
               "lesser value", lambda t, s: t.category(greatest=True), needs=(CATEGORIES,)),
    Definition("minority", "the value whose cells have the least Σ f, for categorical rasters; ties go to the "
               "lesser value", lambda t, s: t.category(greatest=False), needs=(CATEGORIES,)),
    Definition("area", "Σ f·A over every covered cell, with a value or not", lambda t, s: t.area, needs=(AREAS,),
               per_band=False, default=True),
    Definition("nodata_area", "Σ f·A over the covered cells without a value", lambda t, s: t.nodata_area,
               needs=(AREAS,)),
    Definition("area_mean", "Σ f·A·v / Σ f·A over the cells with a value, the mean by covered area (the one to use "
               "on a longitude/latitude grid, whose cells shrink towards the poles)", lambda t, s: t.area_mean,
               needs=(AREAS,)),
    Definition("weighted_sum", "Σ f·w·v over the cells with a value and a weight", lambda t, s: t.weighted_sum,
               needs=(WEIGHTS,)),
    Definition("weighted_mean", "weighted_sum / Σ f·w over the cells with a value and a weight",
               lambda t, s: t.weighted_mean, needs=(WEIGHTS,)),
)
STATISTICS = {definition.name: definition for definition in DEFINITIONS}
DEFAULT = tuple(d.name for d in DEFINITIONS if d.default)
CHOICES = ", ".join(d.usage for d in DEFINITIONS)
WITH_LEVEL = re.compile(r"(\w+)\((.*)\)")


@dataclass(frozen=True)
class Statistic:
    """One statistic asked for: its `name` in `STATISTICS` and, for a quantile, its level `q`."""

    name: str
    q: float | None = None

    @property
    def definition(self):
        return STATISTICS[self.name]

    @property
    def label(self):
        return f"{self.name}_{self.q:g}" if self.definition.takes_level else self.name

    @property
    def per_band(self):
        return self.definition.per_band

    def needs(self, what):
        return what in self.definition.needs


def needing(what):
    """The names of the statistics that need `what`, in alphabetical order."""
    return sorted(d.name for d in DEFINITIONS if what in d.needs)


def needs(statistics, what):
    """Whether any of `statistics` needs `what` (`AREAS`, `WEIGHTS`, `CATEGORIES` or `CELLS`)."""
    return any(s.needs(what) for s in statistics)


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
        raise ArgumentError("stats", f"is empty; choose among {CHOICES}")
    labels = [s.label for s in chosen]
    repeated = next((label for label in labels if labels.count(label) > 1), None)
    if repeated:
        raise ArgumentError("stats", f"asks for {repeated} twice")
    weighing = sorted({s.name for s in chosen if s.needs(WEIGHTS)})
    if not weighted and weighing:
        raise ArgumentError("weights", f"is needed for {', '.join(weighing)}: give a raster of weights on the values' "
                                       "grid")
    if weighted and not weighing:
        raise ArgumentError("weights", f"is given, but no weighted statistic is asked for; add "
                                       f"{' or '.join(needing(WEIGHTS))} to `stats`")
    return tuple(chosen)


def _statistic(text):
    if not isinstance(text, str):
        raise ArgumentTypeError("stats", f"expected statistic names, got {shown(text)}")
    name = text.strip().lower()
    match = WITH_LEVEL.fullmatch(name)
    if match and match[1] in STATISTICS and STATISTICS[match[1]].takes_level:
        try:
            level = float(match[2])
        except ValueError:
            level = None
        if level is None or not 0 <= level <= 1:
            raise ArgumentError("stats", f"{text.strip()!r}: the {match[1]}'s level must be a number in [0, 1], "
                                         f"such as {match[1]}(0.9)")
        return Statistic(match[1], level)
    if name not in STATISTICS or STATISTICS[name].takes_level:
        raise ArgumentError("stats", f"{text.strip()!r} is not a statistic; choose among {CHOICES}")
    return Statistic(name, STATISTICS[name].level)


def columns(statistics, bands):
    """The table's column names: one per statistic, or per statistic and band (`mean_b2`) when there are several
    bands (the area is the same for every band)."""
    return [s.label if not s.per_band or bands == 1 else f"{s.label}_b{band}"
            for s in statistics for band in (range(1, bands + 1) if s.per_band else (None,))]


def definitions(indent="", width=116):
    """The definitions of every statistic, one item each, for docstrings."""
    intro = textwrap.fill(f"The definitions, with {SYMBOLS}:", width, initial_indent=indent, subsequent_indent=indent)
    return "\n".join([intro, "", *(textwrap.fill(f"- {d.usage}: {d.text}.", width, initial_indent=indent,
                                                subsequent_indent=indent + "  ") for d in DEFINITIONS)])


def definitions_in_brief():
    """Every statistic with its definition in brackets, in one paragraph, for the command's help."""
    return ", ".join(f"{d.usage} ({d.text})" for d in DEFINITIONS)
