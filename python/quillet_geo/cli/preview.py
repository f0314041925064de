"""A PNG preview of an output GeoTIFF, read at a glance: drawn in the raster's own coordinates (a rotated grid as it
lies; a longitude/latitude grid with the aspect of its middle latitude), its colours spread over the map's own
range (the 2nd to the 98th percentile, both stated with the least and greatest value), the cells without a value
told apart in a legend (no data, or not computed) where there are any, under a title wrapped to the figure's width.
It is written atomically, so that a failed write leaves no broken picture."""
import math
import textwrap

import matplotlib.colors
import numpy as np
import rasterio
import rasterio.errors
from matplotlib.figure import Figure
from matplotlib.font_manager import FontProperties
from matplotlib.patches import Patch
from matplotlib.textpath import TextToPath
from rasterio.enums import Resampling

from ..atomic import write_atomically
from ..transforms import corner_grid
from .errors import DataFailure

LONGEST_SIDE = 800
NO_DATA, NOT_COMPUTED = "#bdbdbd", "#f4d6cc"
PERCENTILES = (2, 98)  # the colours span these percentiles of the values drawn
FIGURE_SIZE = (7.5, 6.5)  # inches
TITLE_SIZE = 11  # points
TITLE_WIDTH = 0.95  # of the figure's


def save_preview(raster, png, title, label, condition=None, band=None):
    """Draw `raster` into `png`; with `condition` (the input whose no-data cells have no value), cells without a
    value are told apart: no data there, or not computed (not a source)."""
    try:
        figure = preview_figure(raster, title, label, condition, band)
        write_atomically(png, lambda file: figure.savefig(file, dpi=100, format="png"))
    except rasterio.errors.RasterioError as error:
        raise DataFailure(f"cannot draw the preview '{png}': {' '.join(str(error).split())}") from None
    except OSError as error:
        raise DataFailure(f"cannot write '{png}': {error.strerror or error}") from None


def preview_figure(raster, title, label, condition=None, band=None):
    with rasterio.open(raster) as source:
        step = max(1, math.ceil(max(source.shape) / LONGEST_SIDE))
        shape = (math.ceil(source.height / step), math.ceil(source.width / step))
        values = source.read(1, out_shape=shape, resampling=Resampling.average, masked=True)
        transform = source.transform @ source.transform.scale(source.width / shape[1], source.height / shape[0])
        crs = source.crs
    values = np.ma.masked_invalid(values)
    figure = Figure(figsize=FIGURE_SIZE, layout="constrained")
    axes = figure.subplots()
    xs, ys = corner_grid(transform, shape)
    legend = [] if condition is None else _draw_cells_without_value(axes, xs, ys, values.mask,
                                                                    _without_data(condition, band, shape))
    drawn = values.compressed()
    low, high = colour_limits(drawn)
    image = axes.pcolormesh(xs, ys, values, shading="flat", rasterized=True, cmap="viridis", vmin=low, vmax=high)
    figure.colorbar(image, ax=axes, label=label, shrink=0.85, extend=_beyond(drawn, low, high))
    # Below the map, where it hides no cell.
    figure.legend(handles=legend, title=range_text(drawn, low, high), loc="outside lower center",
                  ncols=max(len(legend), 1), fontsize=8, title_fontsize=8, frameon=False)
    figure.suptitle(fitted(title, TITLE_WIDTH * FIGURE_SIZE[0] * 72), fontsize=TITLE_SIZE)
    units = f" ({crs.to_string()})" if crs else ""
    axes.set_xlabel(f"x{units}")
    axes.set_ylabel(f"y{units}")
    axes.set_aspect(1 / math.cos(math.radians(float(np.mean(ys)))) if crs and crs.is_geographic else "equal")
    axes.ticklabel_format(style="plain", useOffset=False)
    axes.tick_params(labelsize=8)
    return figure


def colour_limits(drawn):
    """The colour bar's limits for the values drawn: their 2nd and 98th percentiles; their least and greatest where
    those percentiles meet (a map of mostly one value); a narrow span around a map of one value; 0 to 1 when
    nothing has a value."""
    if drawn.size == 0:
        return 0.0, 1.0
    low, high = (float(x) for x in np.percentile(drawn, PERCENTILES))
    if low == high:
        low, high = float(drawn.min()), float(drawn.max())
    pad = 0.05 * (abs(low) or 1) if low == high else 0
    return low - pad, high + pad


def range_text(drawn, low, high):
    """What the values and the colours span, for the legend."""
    if drawn.size == 0:
        return "no cell has a value"
    least, greatest = float(drawn.min()), float(drawn.max())
    if least == greatest:
        return f"every value {least:.3g}"
    spread = (f"colours from {low:.3g} to {high:.3g}, the 2nd to the 98th percentile"
              if (least, greatest) != (low, high) else "colours over the whole range")
    return f"values from {least:.3g} to {greatest:.3g}; {spread}"


def fitted(title, width):
    """`title` with each of its lines wrapped at the most characters for which every line is at most `width`
    points wide in the title's font; a `$` kept as it is, not taken for mathematics."""
    font = FontProperties(size=TITLE_SIZE)
    lines = title.replace("$", r"\$").splitlines()
    for columns in range(max(map(len, lines), default=1), 1, -1):
        wrapped = [part for line in lines for part in textwrap.wrap(line, columns) or [""]]
        if all(_points(part, font) <= width for part in wrapped):
            return "\n".join(wrapped)
    return "\n".join(lines)


def _points(text, font):
    return TextToPath().get_text_width_height_descent(text, font, ismath=False)[0]


def _beyond(drawn, low, high):
    """Which ends of the colour bar some values lie beyond (drawn as arrows)."""
    below, above = drawn.size > 0 and drawn.min() < low, drawn.size > 0 and drawn.max() > high
    return "both" if below and above else "min" if below else "max" if above else "neither"


def _draw_cells_without_value(axes, xs, ys, without_value, without_data):
    """Paint the cells without a value by why (no data in the condition, or not computed); their legend entries,
    for the kinds present."""
    kinds = np.where(without_value, np.where(without_data, 1, 2), 0)
    axes.pcolormesh(xs, ys, np.ma.masked_equal(kinds, 0), shading="flat", rasterized=True, vmin=1, vmax=2,
                    cmap=matplotlib.colors.ListedColormap([NO_DATA, NOT_COMPUTED]))
    return [Patch(color=colour, label=name) for kind, colour, name in ((1, NO_DATA, "no data"),
                                                                       (2, NOT_COMPUTED, "not computed"))
            if (kinds == kind).any()]


def _without_data(condition, band, shape):
    """Where the preview's cells have no data in `condition` (at the preview's resolution: none of their cells)."""
    with rasterio.open(condition) as source:
        present = source.read_masks(band or 1, out_shape=shape, resampling=Resampling.average)
    return present == 0
