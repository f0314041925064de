"""The names of the Dask tasks that compute a tile of a quillet_geo result, built and recognised in one place: a
result's tasks are named `<job>-tile-<token>-<row>-<column>` (the token hashes the job's computation, parameters
and input fingerprints), so that progress bars can count tiles among the other tasks of a graph."""
import re

# Only the start of a key is sure: Dask fuses a tile's task with the next one and names the fused task after the
# first words of both ("connectivity-tile-from-value-...").
TILE_KEY = re.compile(r"[a-z_]+-tile-")


def tile_key(job_name, token, index):
    """The name of the task computing the tile at `index` of a job."""
    return f"{job_name}-tile-{token}-{'-'.join(map(str, index))}"


def is_tile_key(key):
    """Whether a Dask key (a name, or a (name, ...) tuple) names a tile's task."""
    return bool(TILE_KEY.match(str(key[0] if isinstance(key, tuple) else key)))
