"""`quillet demo`: a small landscape made on the fly, run through both commands, with maps to look at."""
import shlex
from pathlib import Path

import click
import geopandas
import numpy as np
import rasterio
import shapely
from rasterio.transform import from_origin

from .running import say

SIZE = 128  # cells per side
CELL = 100.0  # metres
ORIGIN = (4_000_000.0, 3_000_000.0)  # top-left corner in ETRS89-LAEA (EPSG:3035), metres
CRS = "EPSG:3035"


def smooth_condition(size, seed=3, passes=8):
    """Habitat condition in [0, 1]: smoothed random noise with a lake of no data."""
    field = np.random.default_rng(seed).random((size, size))
    for _ in range(passes):
        field = (field + np.roll(field, 1, 0) + np.roll(field, -1, 0) + np.roll(field, 1, 1)
                 + np.roll(field, -1, 1)) / 5
    field = ((field - field.min()) / (field.max() - field.min())).astype(np.float32)
    rows, cols = np.ogrid[:size, :size]
    field[(rows - 0.7 * size) ** 2 + (cols - 0.25 * size) ** 2 < (0.09 * size) ** 2] = np.nan
    return field


def write_condition(path):
    with rasterio.open(path, "w", driver="GTiff", height=SIZE, width=SIZE, count=1, dtype="float32", crs=CRS,
                       transform=from_origin(*ORIGIN, CELL, CELL), nodata=float("nan")) as target:
        target.write(smooth_condition(SIZE), 1)


def write_protected_areas(path):
    """Two protected areas, one with a clearing, stored in longitude/latitude to show reprojection."""
    left, top = ORIGIN
    side = SIZE * CELL
    park = shapely.Point(left + 0.65 * side, top - 0.35 * side).buffer(0.2 * side)
    clearing = shapely.Point(left + 0.7 * side, top - 0.3 * side).buffer(0.05 * side)
    reserve = shapely.box(left + 0.1 * side, top - 0.4 * side, left + 0.3 * side, top - 0.1 * side)
    areas = geopandas.GeoDataFrame({"name": ["park", "reserve"]}, geometry=[park.difference(clearing), reserve],
                                   crs=CRS)
    areas.to_crs("EPSG:4326").to_file(path, layer="protected_areas", engine="pyogrio")


@click.command()
@click.argument("folder", type=click.Path(file_okay=False, path_type=Path))
@click.option("--overwrite", is_flag=True, help="Write into FOLDER even if it holds files (the example's replace "
                                                "those of the same name).")
@click.pass_context
def demo(ctx, folder, overwrite):
    """Write a small example into FOLDER (a condition GeoTIFF, protected areas in a GeoPackage), map their
    coverage and the landscape's connectivity, and save PNG previews of both."""
    if folder.is_dir() and any(folder.iterdir()) and not overwrite:
        raise click.UsageError(f"FOLDER '{folder}' holds files; choose an empty or new folder, or add --overwrite")
    try:
        folder.mkdir(parents=True, exist_ok=True)
    except OSError as error:
        raise click.BadParameter(f"cannot create '{folder}': {error.strerror}", param_hint="FOLDER") from None
    condition, areas = folder / "condition.tif", folder / "protected_areas.gpkg"
    write_condition(condition)
    write_protected_areas(areas)
    say(f"Example inputs: {condition} (condition, {SIZE} x {SIZE} cells of {CELL:g} m), {areas}")
    runs = [
        ["coverage", areas, folder / "coverage.tif", "--like", condition, "--preview", folder / "coverage.png"],
        ["connectivity", condition, folder / "connectivity.tif", "--levels", 1, 2, 4, 8, "--lambdas", 0.5, 1, 2,
         "--max-cost", 10, "--tile-size", 64, "--preview", folder / "connectivity.png"],
    ]
    for run in runs:
        args = [str(arg) for arg in run] + ["--overwrite"]
        say(f"$ quillet {shlex.join(args)}")
        ctx.find_root().command.main(args, prog_name="quillet", standalone_mode=False, obj={"args": args})
    say(f"Maps: {folder / 'connectivity.tif'}, {folder / 'coverage.tif'}; "
               f"previews: {folder / 'connectivity.png'}, {folder / 'coverage.png'}")
