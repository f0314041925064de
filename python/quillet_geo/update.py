"""What-if maps: a connectivity map updated for changed inputs, computing only the tiles the change reaches.

The baseline map says how it was made (baselines.py); the new inputs are compared with the old ones block by block
(changes.py), and the run engine computes the tiles whose read block holds a changed cell, each as a full run would.
Every other tile's values are read from the baseline as the output is assembled: they are the values a full run
would compute, since nothing a tile reads has changed. So the output holds exactly what `quillet connectivity` on
the new inputs writes, tags included, with every guarantee of a run: the baseline is one of the run's inputs,
fingerprinted and checked against every output like the others.
"""
import dataclasses
import json
import os
import warnings
from dataclasses import dataclass

import dask.array as da
import pyproj
import rasterio
import xarray as xr

from .atomic import put_in_place, temporary_beside
from .baselines import check_inputs_kept, read_baseline, replacements
from .changes import Change, find_change
from .connectivity import RULES, ConnectivityJob, connectivity
from .fingerprints import fingerprint
from .formats import check_map_outputs
from .geotiff import assemble, window_of
from .geotiff import creation_options as creation_options_checked
from .outputs import check_outputs
from .run import job_of, map_tags, run_job
from .schedulers import DEFAULT_SCHEDULER


@dataclass(frozen=True)
class UpdateJob(ConnectivityJob):
    """A connectivity job whose parts are only the tiles that a change reaches (`recomputed`); its `tiles` are all
    of the map's, as it is assembled from them."""

    recomputed: tuple = ()

    @property
    def parts(self):
        return self.recomputed


@dataclass(frozen=True)
class UpdateSummary:
    """What an update did: `computed` of `tiles` tiles computed in `seconds` (`resumed` of them kept from an
    interrupted run); `changed_cells` input cells changed, within `changed_bounds` (left, bottom, right, top in the
    map's CRS, which `crs` names; None when nothing changed, and then nothing was written)."""

    tiles: int
    computed: int
    changed_cells: int
    changed_bounds: tuple | None
    crs: str
    seconds: float
    resumed: int = 0


def update(baseline, output, *, condition=None, sources=None, protected=None, traversal=None, difference=None,
           overwrite=False, resume=False, scheduler=DEFAULT_SCHEDULER, workers=None, jobs=None, cluster_options=None,
           progress=None, creation_options=None, started=None):
    """Write to the GeoTIFF `output` the connectivity map that `quillet_geo.connectivity` with the arguments of
    `baseline` (a map it wrote, through `to_raster` or `quillet connectivity`) gives once `condition`, `sources`,
    `protected` and `traversal`, where given (a raster path or DataArray each), take the place of its inputs.
    Only the tiles whose read block (the tile and its halo) holds a changed cell are computed; the others are the
    baseline's. `difference`: also write `output` − `baseline` to this GeoTIFF (no data where either has none).

    Refused in one line, before anything is written: a `baseline` that is not such a map or was made by another
    version, an input of it gone or changed since (put back the file it was made from, and pass the new one in its
    argument), a new input that does not lie on its grid, or that replaces an input it was made without. When no
    cell of the inputs differs, nothing is written and the summary says so (`changed_cells` 0).

    The other arguments are `to_raster`'s, with its guarantees (the baseline counts among the inputs, and
    `difference` among the outputs). Returns an `UpdateSummary`.
    """
    check_map_outputs({"output": output, "difference": difference})
    options = creation_options_checked(creation_options)
    base = read_baseline(baseline)
    check_inputs_kept(base)
    replaced = replacements(base, {name: _lazy(value) for name, value in [
        ("condition", condition), ("sources", sources), ("protected", protected), ("traversal", traversal)]})
    new = _connectivity_job(*base.call(replaced))
    inputs = {**new.inputs, "baseline": base.path, **{f"baseline_{k}": base.inputs[k] for k in replaced}}
    also_writes = {"difference": difference}
    check_outputs({"output": output, **also_writes}, inputs, overwrite=overwrite)
    change = _change(base, new, [k for k, value in replaced.items() if fingerprint(value) != base.fingerprints[k]])
    crs = _name(new.template.rio.crs)
    if not change.cells:
        return UpdateSummary(len(new.tiles), 0, 0, None, crs, 0.0)
    job = UpdateJob(**{**{f.name: getattr(new, f.name) for f in dataclasses.fields(new)}, "inputs": inputs,
                       "recomputed": change.tiles})
    summary = run_job(job, output, _writer(new, change.tiles, base.path, difference, options), overwrite=overwrite,
                      resume=resume, scheduler=scheduler, workers=workers, jobs=jobs, cluster_options=cluster_options,
                      progress=progress, also_writes=also_writes, started=started)
    return UpdateSummary(len(new.tiles), len(change.tiles), change.cells,
                         change.bounds(new.template.rio.transform()), crs, summary.seconds, summary.resumed_parts)


def _lazy(value):
    """An input as the map takes it without computing every tile at once: a DataArray in memory as a Dask-backed
    one (one chunk), anything else as it is."""
    if isinstance(value, xr.DataArray) and not isinstance(value.data, da.Array):
        return value.chunk()
    return value


def _name(crs):
    """A CRS as a person reads it: its authority code, else its name."""
    return crs.to_string() if crs.to_epsg() else pyproj.CRS(crs.to_wkt()).name


def _change(base, new, labels):
    """The `Change` of the inputs `labels` (those given whose files are not the baseline's own) in `new`, the job
    on the new inputs, from the inputs of the baseline `base`."""
    if not labels:
        return Change(0, None, None, ())
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")  # the baseline's own notes were told when it was made
        old = _connectivity_job(*base.call())
    positions = [list(RULES).index(label) for label in labels]
    return find_change(new.tiles, new.shape, new.parameters["tile_size"],
                       [(old.readers[k], new.readers[k]) for k in positions])


def _connectivity_job(condition, arguments):
    return job_of(connectivity(condition, **arguments))


def _writer(job, computed, baseline, difference, options):
    """The run engine's `write`: the map from the `computed` tiles and the baseline's others, and its difference
    from the baseline if asked, which is renamed into place right after the map, once both are complete."""
    recomputed = {tile.index for tile in computed}

    def write(output, partial, part_values):
        with rasterio.open(baseline) as base:
            def baseline_values(tile):
                return base.read(1, window=window_of(tile))

            def values(tile):
                return part_values(tile) if tile.index in recomputed else baseline_values(tile)

            if difference is None:
                assemble(output, partial, job, values, tags=map_tags(job), options=options)
                return
            ready = temporary_beside(difference)
            try:
                assemble(ready, f"{ready}.partial", dataclasses.replace(job, name="difference"),
                         lambda tile: values(tile) - baseline_values(tile), tags=_difference_tags(job, baseline),
                         options=options)
                assemble(output, partial, job, values, tags=map_tags(job), options=options)
                put_in_place(ready, difference)
            finally:
                if os.path.exists(ready):
                    os.unlink(ready)

    return write


def _difference_tags(job, baseline):
    """The difference's tags: the map's, but for what it is, and the baseline it was taken from."""
    return {**map_tags(job), "quillet_command": "difference", "baseline": os.path.abspath(baseline),
            "baseline_fingerprint": json.dumps(fingerprint(baseline), sort_keys=True, separators=(",", ":"))}
