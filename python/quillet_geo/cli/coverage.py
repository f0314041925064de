"""`quillet coverage`: the exact fraction of every cell of a raster's grid covered by the polygons of a vector file."""
from pathlib import Path

import click

import quillet_geo

from .options import INPUT_FILE, map_options, run_options, tile_size_option
from .running import build, run_to_file


@click.command()
@click.argument("geometries", metavar="POLYGONS", type=INPUT_FILE)
@click.argument("output", type=click.Path(path_type=Path))
@click.option("--like", type=INPUT_FILE, required=True, metavar="RASTER",
              help="Raster whose grid (CRS, transform, shape) OUTPUT takes; the polygons are reprojected to its CRS.")
@click.option("--layer", metavar="NAME", help="Layer of POLYGONS to read  [default: the first]")
@click.option("--where", metavar="SQL", help="Read only the features matching this SQL condition.")
@click.option("--assume-crs", metavar="CRS",
              help="CRS of the polygons' coordinates when POLYGONS does not say (e.g. EPSG:4326); not used where it "
                   "does.")
@tile_size_option(quillet_geo.coverage, "Cells per side of a computed tile.")
@run_options
@map_options
@click.pass_context
def coverage(ctx, geometries, output, like, layer, where, assume_crs, tile_size, workers, scheduler, cluster, jobs,
             cluster_options, resume, overwrite, quiet, creation_options, preview):
    """Write into OUTPUT (GeoTIFF) the fraction of every cell of RASTER's grid covered by POLYGONS (any vector
    file that GDAL reads): the area of the cell inside the union of the polygons, so that overlapping polygons
    count once, holes subtracted."""
    result = build(lambda: quillet_geo.coverage(str(geometries), str(like), layer=layer, where=where,
                                                assume_crs=assume_crs, tile_size=tile_size))
    run_to_file(ctx, result, output, overwrite=overwrite, resume=resume, workers=workers, scheduler=scheduler,
                cluster=cluster, jobs=jobs, cluster_options=cluster_options, creation_options=creation_options,
                preview=preview, quiet=quiet,
                drawing=dict(title=f"Coverage of {like.name}'s cells by {geometries.name}{_selection(layer, where)}",
                             label="covered fraction"))


def _selection(layer, where):
    """Which of the file's polygons are drawn, where not all of its first layer's."""
    return (f", layer {layer}" if layer else "") + (f", features where {where}" if where else "")
