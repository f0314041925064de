"""How many CPUs the work may use, and how many native threads each tile gets so that the tiles running at once
fill them without oversubscribing."""
import quillet


def available_cpus():
    """The CPUs this process may run on: its affinity mask, lowered by a container CPU quota (the native pool's
    own count)."""
    return quillet._available_cpus()


def tile_threads(concurrent_tiles):
    """Native threads per tile when `concurrent_tiles` run at once (as many as there are tiles, at most the
    threads of an active Dask cluster or the CPUs here)."""
    cores = available_cpus()
    try:
        from distributed import get_client

        slots = sum(get_client().nthreads().values())
    except (ImportError, ValueError):
        slots = cores
    return max(1, cores // max(1, min(concurrent_tiles, slots)))
