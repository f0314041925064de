"""A PNG preview of an output GeoTIFF: downsampled, with a colour bar, a title and the CRS's coordinates; written
under a temporary name and renamed, so that a failed write leaves no broken picture."""
import math
import os

import rasterio
from matplotlib.figure import Figure
from rasterio.enums import Resampling

from .errors import DataFailure

LONGEST_SIDE = 800


def save_preview(raster, png, title, label):
    with rasterio.open(raster) as source:
        step = max(1, math.ceil(max(source.shape) / LONGEST_SIDE))
        shape = (math.ceil(source.height / step), math.ceil(source.width / step))
        values = source.read(1, out_shape=shape, resampling=Resampling.average, masked=True)
        bounds, crs = source.bounds, source.crs
    figure = Figure(figsize=(7.5, 6.5), layout="constrained")
    axes = figure.subplots()
    image = axes.imshow(values, cmap="viridis", interpolation="nearest",
                        extent=(bounds.left, bounds.right, bounds.bottom, bounds.top))
    image.cmap.set_bad("#d9d9d9")
    figure.colorbar(image, ax=axes, label=label, shrink=0.85)
    axes.set_title(title)
    units = f" ({crs.to_string()})" if crs else ""
    axes.set_xlabel(f"x{units}")
    axes.set_ylabel(f"y{units}")
    axes.ticklabel_format(style="plain", useOffset=False)
    axes.tick_params(labelsize=8)
    temporary = png.with_name(f".{png.name}.{os.getpid()}.tmp")
    try:
        figure.savefig(temporary, dpi=100, format="png")
        os.replace(temporary, png)
    except OSError as error:
        raise DataFailure(f"cannot write '{png}': {error.strerror or error}") from None
    finally:
        temporary.unlink(missing_ok=True)
