"""A PNG preview of an output GeoTIFF, read at a glance: drawn in the raster's own coordinates (a rotated grid as it
lies; a longitude/latitude grid with the aspect of its middle latitude), on a colour bar fixed to [0, 1], with cells
without data and cells not computed told apart in a legend. It is written atomically, so that a failed write leaves
no broken picture."""
import math

import matplotlib.colors
import numpy as np
import rasterio
import rasterio.errors
from matplotlib.figure import Figure
from matplotlib.patches import Patch
from rasterio.enums import Resampling

from ..atomic import write_atomically
from ..transforms import corner_grid
from .errors import DataFailure

LONGEST_SIDE = 800
NO_DATA, NOT_COMPUTED = "#bdbdbd", "#f4d6cc"


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
    figure = Figure(figsize=(7.5, 6.5), layout="constrained")
    axes = figure.subplots()
    xs, ys = corner_grid(transform, shape)
    legend = []
    if condition is not None:
        without_data = _without_data(condition, band, shape)
        kinds = np.where(values.mask, np.where(without_data, 1, 2), 0)
        axes.pcolormesh(xs, ys, np.ma.masked_equal(kinds, 0), shading="flat", rasterized=True, vmin=1, vmax=2,
                        cmap=matplotlib.colors.ListedColormap([NO_DATA, NOT_COMPUTED]))
        legend = [Patch(color=NO_DATA, label="no data"), Patch(color=NOT_COMPUTED, label="not computed")]
    image = axes.pcolormesh(xs, ys, values, shading="flat", rasterized=True, cmap="viridis", vmin=0, vmax=1)
    if legend:  # below the map, where it hides no cell
        figure.legend(handles=legend, loc="outside lower center", ncols=len(legend), fontsize=8, frameon=False)
    figure.colorbar(image, ax=axes, label=label, shrink=0.85)
    axes.set_title(title)
    units = f" ({crs.to_string()})" if crs else ""
    axes.set_xlabel(f"x{units}")
    axes.set_ylabel(f"y{units}")
    axes.set_aspect(1 / math.cos(math.radians(float(np.mean(ys)))) if crs and crs.is_geographic else "equal")
    axes.ticklabel_format(style="plain", useOffset=False)
    axes.tick_params(labelsize=8)
    return figure


def _without_data(condition, band, shape):
    """Where the preview's cells have no data in `condition` (at the preview's resolution: none of their cells)."""
    with rasterio.open(condition) as source:
        present = source.read_masks(band or 1, out_shape=shape, resampling=Resampling.average)
    return present == 0
