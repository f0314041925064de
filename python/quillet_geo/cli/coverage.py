"""`quillet coverage`: the exact fraction of every cell of a raster's grid covered by the polygons of a vector file."""
import warnings
from pathlib import Path

import click
import numpy as np

from .errors import Interrupted, from_library
from .geotiff import tile_windows, write_geotiff
from .options import INPUT_FILE, check_output_path, overwrite_option, preview_option, quiet_option
from .preview import save_preview
from .progress import TileProgress, print_summary


@click.command()
@click.argument("polygons", type=INPUT_FILE)
@click.argument("output", type=click.Path(path_type=Path))
@click.option("--like", type=INPUT_FILE, required=True, metavar="RASTER",
              help="Raster whose grid (CRS, transform, shape) OUTPUT takes; the polygons are reprojected to its CRS.")
@click.option("--layer", metavar="NAME", help="Layer of POLYGONS to read  [default: the first]")
@click.option("--where", metavar="SQL", help="Read only the features matching this SQL condition.")
@click.option("--assume-crs", metavar="CRS",
              help="CRS of the polygons' coordinates when POLYGONS does not say (e.g. EPSG:4326).")
@click.option("--tile-size", type=int, default=4096, show_default=True, help="Cells per side of a computed tile.")
@overwrite_option
@preview_option
@quiet_option
def coverage(polygons, output, like, layer, where, assume_crs, tile_size, overwrite, preview, quiet):
    """Write into OUTPUT (GeoTIFF) the fraction of every cell of RASTER's grid covered by POLYGONS (any vector
    file that GDAL reads): the area of the cell inside the union of the polygons, so that overlapping polygons
    count once, holes subtracted."""
    check_output_path(output, overwrite)
    if preview:
        check_output_path(preview, True, hint="--preview")
    import quillet_geo

    try:
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always", UserWarning)
            result = quillet_geo.coverage(str(polygons), str(like), layer=layer, where=where, assume_crs=assume_crs,
                                          tile_size=tile_size)
    except (ValueError, TypeError) as error:
        raise from_library(error) from None
    for warning in caught:
        click.echo(f"Warning: {warning.message}", err=True)
    output.unlink(missing_ok=True)
    windows = list(tile_windows(result.data.chunks))
    progress = TileProgress("coverage", total_tiles=len(windows), total_cells=result.size, quiet=quiet)

    def computed_tiles():
        for index, window in windows:
            values = np.asarray(result.data.blocks[index].compute(scheduler="sync"))
            progress.tile_done(values.size)
            yield window, values

    tags = {"quillet_command": "coverage", "polygons": str(polygons.resolve()), "like": str(like.resolve()),
            "layer": layer, "where": where, "assume_crs": assume_crs}
    try:
        write_geotiff(output, computed_tiles(), crs=result.rio.crs, transform=result.rio.transform(),
                      shape=result.shape, tile_size=tile_size,
                      tags={name: value for name, value in tags.items() if value is not None}, description="coverage")
    except KeyboardInterrupt:
        raise Interrupted(f"Interrupted; nothing was written to '{output}'") from None
    except (RuntimeError, ValueError, OSError) as error:
        raise from_library(error) from None
    finally:
        progress.close()
    print_summary("coverage", result.size, progress.seconds(), output, quiet)
    if preview:
        save_preview(output, preview, f"Coverage of {like.name}'s cells by {polygons.name}", "covered fraction")
