"""Regions in batches of neighbours, the parts of a summary that the run engine computes, keeps and resumes: in the
order of a Hilbert curve through their centres, so that a batch's regions share the raster's windows and blocks."""
from dataclasses import dataclass

import geopandas
import numpy as np
import shapely

from .region_parts import cells_reached

BATCH_CELLS = 2**22  # bounding-box cells of a batch's regions from which the next region starts a new batch
BATCH_REGIONS = 1000


@dataclass(frozen=True)
class Batch:
    """Regions computed together: `regions` are their positions in the regions' order."""

    index: tuple
    regions: np.ndarray


def batches(geometries, transform, shape):
    """The regions in batches of neighbours: in the order of a Hilbert curve through their centres (those without
    polygons last), a new batch starting where the bounding-box cells of a batch would exceed `BATCH_CELLS` or its
    regions `BATCH_REGIONS`, so that a region larger than that is a batch of its own."""
    present = np.flatnonzero(~shapely.is_empty(geometries))
    bounds = shapely.bounds(geometries[present])
    top, bottom, left, right = cells_reached(bounds, transform, shape)
    order = np.argsort(_hilbert(shapely.points((bounds[:, 0] + bounds[:, 2]) / 2, (bounds[:, 1] + bounds[:, 3]) / 2)),
                       kind="stable")
    positions = np.concatenate([present[order], np.flatnonzero(shapely.is_empty(geometries))])
    costs = np.concatenate([np.maximum((bottom - top) * (right - left), 1)[order],
                            np.ones(len(positions) - len(present), np.int64)])
    groups, start, load = [], 0, 0
    for k, cost in enumerate(costs.tolist()):
        if k > start and (load + cost > BATCH_CELLS or k - start == BATCH_REGIONS):
            groups.append(positions[start:k])
            start, load = k, 0
        load += cost
    groups.append(positions[start:])
    return tuple(Batch((k,), group) for k, group in enumerate(groups))


def _hilbert(points):
    """Each point's place along a Hilbert curve through the points' bounding box."""
    if len(points) < 2:
        return np.zeros(len(points))
    return geopandas.GeoSeries(points).hilbert_distance().to_numpy()
