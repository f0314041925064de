"""`quillet coverage`: the exact fraction of every cell of a raster's grid covered by the polygons of a vector file."""
from pathlib import Path

import click

import quillet_geo

from .options import INPUT_FILE, creation_options_option, overwrite_option, preview_option, quiet_option, run_options
from .running import build, run_to_file


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
@run_options
@creation_options_option
@overwrite_option
@preview_option
@quiet_option
@click.pass_context
def coverage(ctx, polygons, output, like, layer, where, assume_crs, tile_size, workers, scheduler, cluster, jobs,
             cluster_options, resume, creation_options, overwrite, preview, quiet):
    """Write into OUTPUT (GeoTIFF) the fraction of every cell of RASTER's grid covered by POLYGONS (any vector
    file that GDAL reads): the area of the cell inside the union of the polygons, so that overlapping polygons
    count once, holes subtracted."""
    result = build(lambda: quillet_geo.coverage(str(polygons), str(like), layer=layer, where=where,
                                                assume_crs=assume_crs, tile_size=tile_size))
    run_to_file(ctx, result, output, overwrite=overwrite, resume=resume, workers=workers, scheduler=scheduler,
                cluster=cluster, jobs=jobs, cluster_options=cluster_options,
                creation_options=creation_options,
                preview=preview, quiet=quiet,
                drawing=dict(title=f"Coverage of {like.name}'s cells by {polygons.name}", label="covered fraction"))
