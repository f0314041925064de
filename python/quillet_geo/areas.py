"""The area of a raster's cells in square metres, for statistics that weigh cells by the area they cover.

On a longitude/latitude grid a cell is a quadrangle between two meridians and two parallels, whose area on the CRS's
ellipsoid has a closed form: the ellipsoidal zone between the two latitudes, times the cell's share of the full
circle of longitude. It depends on the row only. On a projected grid every cell has the area of the parallelogram
that the transform maps it to, |a·e − b·d|: the projection's area, which equals the area on the ellipsoid only for
an equal-area projection.
"""
import math
from dataclasses import dataclass

import numpy as np
import pyproj

from .errors import DataError
from .transforms import coefficients


@dataclass(frozen=True)
class CellAreas:
    """Cell areas of one grid: per row on a longitude/latitude grid (`geographic`), the same for all on a projected
    one. `transform` is the grid's affine six-tuple; `semi_minor` and `eccentricity` describe its ellipsoid."""

    transform: tuple
    geographic: bool
    radians_per_unit: float = 1.0
    semi_minor: float = 0.0
    eccentricity: float = 0.0

    def of_rows(self, rows):
        """The area of a cell of each row in `rows` (a slice), in m², as a float64 array."""
        a, b, c, d, e, f = self.transform
        if not self.geographic:
            return np.full(rows.stop - rows.start, abs(a * e - b * d))
        edges = (f + e * np.arange(rows.start, rows.stop + 1, dtype=np.float64)) * self.radians_per_unit
        zone = self._zone(np.clip(edges, -math.pi / 2, math.pi / 2))
        return abs(a * self.radians_per_unit) * self.semi_minor ** 2 * np.abs(np.diff(zone))

    def _zone(self, latitudes):
        """The area between the equator and each latitude on the ellipsoid, per radian of longitude, over b²."""
        sine = np.sin(latitudes)
        e = self.eccentricity
        if e == 0:
            return sine
        return sine / (2 * (1 - (e * sine) ** 2)) + np.log((1 + e * sine) / (1 - e * sine)) / (4 * e)


def cell_areas(raster):
    """The `CellAreas` of `raster`'s grid (its CRS checked already); a rotated longitude/latitude grid, whose cells
    are no quadrangles of meridians and parallels, is refused."""
    array = raster.array
    transform = coefficients(array.rio.transform())
    crs = pyproj.CRS.from_wkt(array.rio.crs.to_wkt())
    if not crs.is_geographic:
        return CellAreas(transform, geographic=False)
    if transform[1] or transform[3]:
        raise DataError(raster.name, f"{raster.where} is a rotated longitude/latitude grid; cell areas need its rows "
                                     "along parallels: warp it to a north-up grid first (e.g. `gdalwarp`)")
    ellipsoid = crs.ellipsoid
    major, minor = ellipsoid.semi_major_metre, ellipsoid.semi_minor_metre
    return CellAreas(transform, geographic=True, radians_per_unit=crs.axis_info[0].unit_conversion_factor,
                     semi_minor=minor, eccentricity=math.sqrt(max(0.0, 1 - (minor / major) ** 2)))
