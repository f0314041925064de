"""Previews drawn where the cells lie (a rotated grid as it lies, a longitude/latitude grid with the aspect of its
latitude), coloured over the map's own range, cells without data told apart from cells not computed where there are
any, under a title that fits; and the command's titles naming the selection."""
import math

import matplotlib.colors
import numpy as np
import pytest

pytest.importorskip("matplotlib")
import geopandas
import rasterio
import shapely
from affine import Affine
from click.testing import CliRunner
from matplotlib.backends.backend_agg import FigureCanvasAgg

from quillet_geo.cli import cli, running
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


def test_no_data_and_cells_not_computed_are_told_apart(tmp_path):
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


@pytest.mark.parametrize("no_data, not_computed, entries", [
    (True, True, ["no data", "not computed"]),
    (True, False, ["no data"]),
    (False, True, ["not computed"]),
    (False, False, []),
])
def test_the_legend_names_only_the_kinds_of_cells_present(tmp_path, no_data, not_computed, entries):
    transform = Affine.translation(0, 400) @ Affine.scale(10, -10)
    condition, result = np.full((40, 40), 0.5), np.full((40, 40), 0.5)
    if no_data:
        condition[:5] = result[:5] = np.nan
    if not_computed:
        result[-5:] = np.nan
    figure = preview_figure(write(tmp_path / "map.tif", result, transform), "map", "value",
                            condition=write(tmp_path / "condition.tif", condition, transform))
    assert [t.get_text() for t in figure.legends[0].get_texts()] == entries


RAMP = np.linspace(0.245, 0.327, 1600).reshape(40, 40)
MOSTLY_ZERO = np.where(np.arange(1600).reshape(40, 40) < 20, 1.0, 0.0)


@pytest.mark.parametrize("values, limits, extend, text", [
    (RAMP, tuple(np.percentile(RAMP.astype(np.float32), [2, 98])), "both",
     "values from 0.245 to 0.327; colours from 0.247 to 0.325, the 2nd to the 98th percentile"),
    (MOSTLY_ZERO, (0.0, 1.0), "neither", "values from 0 to 1; colours over the whole range"),
    (np.full((40, 40), 0.3), (0.285, 0.315), "neither", "every value 0.3"),
    (np.full((40, 40), np.nan), (0.0, 1.0), "neither", "no cell has a value"),
])
def test_the_colours_span_the_maps_own_range_stated_in_the_legend(tmp_path, values, limits, extend, text):
    figure = preview_figure(write(tmp_path / "map.tif", values, Affine.scale(10, -10)), "map", "value")
    image = figure.axes[0].collections[-1]
    assert image.get_clim() == pytest.approx(limits, rel=1e-6)
    assert image.colorbar.extend == extend
    assert figure.legends[0].get_title().get_text() == text


def test_a_long_title_is_wrapped_to_fit_the_figure(tmp_path):
    title = ("Connectivity of a_condition_raster_with_a_rather_long_name_2024$v2.tif, protected cells of "
             "protected_areas_of_the_region.tif (fraction ≥ 0.5)\nlevels 1 2 4 8 16 · lambdas 0.5 1 2 4 km · max "
             "cost 10 · search reach 144 cells, 33.5 km east-west and 51.9 km north-south at the raster's centre")
    figure = preview_figure(write(tmp_path / "map.tif", RAMP, Affine.scale(10, -10)), title, "value")
    drawn(figure)
    shown = figure.get_suptitle()
    assert shown.replace("\n", " ").replace("\\$", "$") == title.replace("\n", " ")
    assert len(shown.splitlines()) > 2
    box, frame = next(t for t in figure.texts if t.get_text() == shown).get_window_extent(), figure.bbox
    assert frame.x0 <= box.x0 and box.x1 <= frame.x1 and box.y1 <= frame.y1


@pytest.fixture(scope="module")
def inputs(tmp_path_factory):
    folder = tmp_path_factory.mktemp("inputs")
    transform = Affine.translation(0, 160) @ Affine.scale(10, -10)
    fractions = np.zeros((16, 16))
    fractions[4:12, 4:12] = 1
    geopandas.GeoDataFrame({"kind": ["a", "b"]}, geometry=[shapely.box(20, 20, 80, 80), shapely.box(90, 90, 150, 150)],
                           crs="EPSG:3035").to_file(folder / "areas.gpkg", engine="pyogrio")
    return {"condition": write(folder / "condition.tif", np.full((16, 16), 0.5), transform),
            "protected": write(folder / "protected.tif", fractions, transform),
            "areas": folder / "areas.gpkg", "folder": folder}


CONNECTIVITY = ["connectivity", "{condition}", "--levels", "1", "2", "--lambdas", "0.05", "--max-cost", "10",
                "--outer-window", "3"]


@pytest.mark.parametrize("args, first_line", [
    (CONNECTIVITY + ["--protected", "{protected}", "--protected-min-fraction", "0.3"],
     "Connectivity of condition.tif, protected cells of protected.tif (fraction ≥ 0.3)"),
    (CONNECTIVITY + ["--sources", "{protected}"], "Connectivity of condition.tif, cells of protected.tif"),
    (["coverage", "{areas}", "--like", "{condition}", "--where", "kind = 'a'"],
     "Coverage of condition.tif's cells by areas.gpkg, features where kind = 'a'"),
])
def test_the_commands_title_names_the_cells_selected(inputs, monkeypatch, args, first_line):
    drawings = []
    monkeypatch.setattr(running, "save_preview", lambda *a, **drawing: drawings.append(drawing))
    args = [arg.format(**inputs) for arg in args]
    args[2:2] = [str(inputs["folder"] / f"{args[0]}.tif")]
    args += ["--preview", str(inputs["folder"] / "map.png"), "--overwrite", "--quiet", "--workers", "1"]
    done = CliRunner().invoke(cli, args, obj={"args": args})
    assert done.exit_code == 0, done.output
    assert drawings[0]["title"].splitlines()[0] == first_line
