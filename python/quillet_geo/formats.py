"""The formats of the files a map run writes, told by their names: the map itself is a GeoTIFF, its preview a PNG.
A name that does not fit its format is refused before anything is written, naming the output's argument: a GeoTIFF
named `.png` would be taken for a picture by every program that opens it. (A summary table's format is chosen by
its name among several: `tables.FORMATS`.)"""
from pathlib import Path

from .errors import ArgumentError

# Each output a map run may write, by its argument: what it is written as, and the name endings that say so.
MAP_OUTPUTS = {"output": ("GeoTIFF", (".tif", ".tiff")), "difference": ("GeoTIFF", (".tif", ".tiff")),
               "preview": ("PNG", (".png",))}


def check_map_outputs(outputs):
    """Refuse any of `outputs` ({argument: path or None}) whose name does not end as its format's do; arguments
    without a format of their own are let pass."""
    for argument, path in outputs.items():
        if path is None or argument not in MAP_OUTPUTS:
            continue
        kind, endings = MAP_OUTPUTS[argument]
        if Path(path).suffix.lower() not in endings:
            raise ArgumentError(argument, f"'{path}' does not end in {' or '.join(endings)}: it is written as a "
                                          f"{kind}")
