"""A tiled job: the grid of its result, its tiles, what each tile reads, and the computation of one tile.

The same job runs two ways: as a lazy DataArray, one Dask chunk per tile (`lazy`), and tile by tile in the run
engine, in threads, local processes or on a cluster (`compute`, the engine's `job_protocol.Job`). The computation is
a small picklable callable that holds no data; what a tile reads comes to it as pieces (a file window to read, or a
slice of an array), so that a task carries only its own window of each input.
"""
import warnings
from dataclasses import dataclass, field, replace

import dask
import dask.array as da
import numpy as np
import xarray as xr

from .fingerprints import fingerprint
from .progress_bars import compute_with_progress
from .provenance import provenance
from .rasters import FileWindow
from .task_keys import tile_key


@dataclass(frozen=True)
class TiledJob:
    """`name` says what the values are; `template` is the result's (y, x) grid (dims, coordinates, CRS,
    transform); `tiles` run row by row, and are the parts the run engine computes; `computation(tile, *pieces)`
    computes one; `parameters` and `inputs` ({label: path or array}) fix the result; `notes` are facts that follow
    from them and are worth telling (the search reach)."""

    unit, dtype, part_names = "cell", np.float32, ("tile", "tiles")

    name: str
    template: xr.DataArray
    tiles: tuple
    computation: object
    parameters: dict
    inputs: dict = field(repr=False)
    notes: dict = field(default_factory=dict)

    @property
    def shape(self):
        return self.template.shape

    @property
    def parts(self):
        return self.tiles

    def with_threads(self, n_threads):
        return replace(self, computation=replace(self.computation, n_threads=n_threads))

    def pieces(self, tile):
        """What the computation of `tile` reads: one piece per input."""
        raise NotImplementedError

    def size(self, tile):
        """How many `unit`s a tile stands for in the progress of a run."""
        rows, cols = tile_shape(tile)
        return rows * cols

    def shape_of(self, tile):
        return tile_shape(tile)

    def compute(self, tile):
        """One tile's values, reading its pieces here."""
        return self.computation(tile, *(_read(piece) for piece in self.pieces(tile)))

    def lazy(self, fingerprints):
        """The result as a DataArray on the template's grid, one Dask chunk per tile. A tile's task is named after
        the job's inputs (their `fingerprints`, hashed once) and the tile, not after its pieces, which Dask would
        hash tile by tile (slowly, for thousands of polygons)."""
        task = dask.delayed(self.computation, pure=True)
        token = dask.base.tokenize(self.computation, self.parameters, fingerprints)
        rows = {}
        for tile in self.tiles:
            pieces = self.pieces(tile)
            key = tile_key(self.name, token, tile.index)
            value = da.from_delayed(task(tile, *pieces, dask_key_name=key), tile_shape(tile), np.float32)
            rows.setdefault(tile.index[0], []).append(value)
        return on_grid(self.template, da.block(list(rows.values())), self.name)


JOB_KEY = "quillet_job"  # where a result keeps its job, so that `to_raster` can run it resumably


def job_result(job, progress=False):
    """The result of `job` as a DataArray: lazy when its first input is a file or dask-backed, else computed here
    (with a progress bar if asked). Either way it keeps its job for `to_raster`."""
    first = next(iter(job.inputs.values()))
    fingerprints = {label: fingerprint(value) for label, value in job.inputs.items()}
    result = job.lazy(fingerprints)
    if isinstance(first, str) or isinstance(getattr(first, "data", None), da.Array):
        if progress:
            warnings.warn("progress=True: the result is lazy (its input is a file or dask-backed) and is computed "
                          "later; compute it inside `with quillet_geo.progress():` to see its tiles", stacklevel=3)
    else:
        result = compute_with_progress(result, progress)
    result.attrs.update(provenance(job, fingerprints))
    result.encoding[JOB_KEY] = job
    return result


def grid_of(array):
    """A DataArray with `array`'s (y, x) grid (dims, coordinates, CRS, transform) and no values of its own."""
    y, x = array.dims[-2:]
    coords = {k: v for k, v in array.coords.items() if set(v.dims) <= {y, x}}
    grid = xr.DataArray(da.zeros(array.shape[-2:], np.float32, chunks=-1), dims=(y, x), coords=coords)
    grid = grid.rio.write_crs(array.rio.crs) if array.rio.crs else grid
    return grid.rio.write_transform(array.rio.transform())


def tile_shape(tile):
    return (tile.rows.stop - tile.rows.start, tile.cols.stop - tile.cols.start)


def window_piece(source, rows, cols):
    """What a tile reads of one raster: a file window to read where the tile runs, or a slice of its array."""
    if isinstance(source, FileWindow):
        return (source, rows, cols)
    return source[..., rows, cols]


def read_window(source, rows, cols):
    """Float32 values of a window (row and column slices) of a raster's reader, read or computed here."""
    return values_of(_read(window_piece(source, rows, cols)))


def _read(piece):
    """A piece's values where the tile runs: a file window is read, a Dask slice computed here and now."""
    if isinstance(piece, da.Array):
        return piece.compute(scheduler="sync")
    return piece


def values_of(piece):
    """Float32 values of a raster piece as a computation receives it: read from its file if it is a file window."""
    if isinstance(piece, tuple):
        source, rows, cols = piece
        return source.read(rows, cols)
    return np.asarray(piece, dtype=np.float32)


def on_grid(template, data, name):
    """`data` as a DataArray with the template's dims, coordinates, CRS and transform, NaN as nodata."""
    coords = {k: v for k, v in template.coords.items() if set(v.dims) <= set(template.dims)}
    result = xr.DataArray(data, dims=template.dims, coords=coords, name=name)
    result = result.rio.write_crs(template.rio.crs) if template.rio.crs else result
    return result.rio.write_transform(template.rio.transform()).rio.write_nodata(np.nan, encoded=True)
