"""Previews drawn where the cells lie: a rotated grid as it lies, a longitude/latitude grid with the aspect of its
latitude, a colour bar fixed to [0, 1], and cells without data told apart from cells not computed."""
import math

import matplotlib.colors
import numpy as np
import pytest

pytest.importorskip("matplotlib")
import rasterio
from affine import Affine
from matplotlib.backends.backend_agg import FigureCanvasAgg

from quillet_geo.cli.preview import NO_DATA, NOT_COMPUTED, preview_figure


def write(path, values, transform, crs="EPSG:3035"):
    with rasterio.open(path, "w", driver="GTiff", width=values.shape[1], height=values.shape[0], count=1,
                       dtype="float32", crs=crs, transform=transform, nodata=float("nan")) as target:
        target.write(values.astype(np.float32), 1)
    return path


def drawn(figure):
    """The figure's pixels (RGB in [0, 1], rows from the top) and its main axes."""
    canvas = FigureCanvasAgg(figure)
    canvas.draw()
    return np.asarray(canvas.buffer_rgba())[..., :3] / 255, figure.axes[0]


def where_drawn(pixels, axes, colour):
    """Display coordinates (x, y from the bottom) of the axes' pixels of `colour`."""
    rows, cols = np.nonzero(np.abs(pixels - matplotlib.colors.to_rgb(colour)).max(axis=-1) < 0.03)
    box = axes.get_window_extent()
    x, y = cols + 0.5, pixels.shape[0] - rows - 0.5
    inside = (box.x0 < x) & (x < box.x1) & (box.y0 < y) & (y < box.y1)
    return x[inside], y[inside]


def test_a_rotated_grid_is_drawn_where_its_cells_lie(tmp_path):
    transform = Affine.translation(1000, 2000) @ Affine.rotation(30) @ Affine.scale(10, -10)
    values = np.zeros((40, 50))
    values[10:14, 20:24] = 1.0
    pixels, axes = drawn(preview_figure(write(tmp_path / "map.tif", values, transform), "map", "value"))
    x, y = where_drawn(pixels, axes, matplotlib.colormaps["viridis"](1.0))
    expected = axes.transData.transform(transform @ (22, 12))
    assert len(x) > 20 and np.hypot(x.mean() - expected[0], y.mean() - expected[1]) < 2


@pytest.mark.parametrize("latitude", [0, 45, 60])
def test_a_longitude_latitude_grid_keeps_the_shape_of_the_land(tmp_path, latitude):
    transform = Affine.translation(5.0, latitude + 1.0) @ Affine.scale(0.01, -0.01)
    figure = preview_figure(write(tmp_path / "map.tif", np.zeros((200, 200)), transform, "EPSG:4326"), "map", "v")
    _, axes = drawn(figure)
    (x0, y0), (x1, y1) = axes.transData.transform([(5.0, latitude), (6.0, latitude + 1.0)])
    assert (y1 - y0) / (x1 - x0) == pytest.approx(1 / math.cos(math.radians(latitude + 0.5)), rel=0.02)


def test_no_data_and_cells_not_computed_are_told_apart_on_a_fixed_colour_bar(tmp_path):
    transform = Affine.translation(0, 400) @ Affine.scale(10, -10)
    condition = np.full((40, 40), 0.5)
    condition[:, :10] = np.nan  # no data: no value
    result = np.full((40, 40), 0.02)
    result[:, :20] = np.nan  # columns 10 to 19: data, but not sources
    figure = preview_figure(write(tmp_path / "map.tif", result, transform), "map", "value",
                            condition=write(tmp_path / "condition.tif", condition, transform))
    pixels, axes = drawn(figure)
    for colour, (left, right) in ((NO_DATA, (0, 100)), (NOT_COMPUTED, (100, 200))):
        x, _ = where_drawn(pixels, axes, colour)
        low, high = axes.transData.transform([(left, 0), (right, 0)])[:, 0]
        assert len(x) > 100 and low - 1 <= x.min() and x.max() <= high + 1
    assert [t.get_text() for t in figure.legends[0].get_texts()] == ["no data", "not computed"]
    assert figure.axes[1].get_ylim() == (0.0, 1.0)
