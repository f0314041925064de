"""The `quillet connectivity` command over large sparse rasters: time, and peak memory of its main process and of
its worker processes; run it in two environments (an older build in a second venv) to compare.

  stream: a size x size condition in which few cells are sources (one habitat cell per 8 x 8 block), as in
          bench/bench_tiles.py, in tiles of --tile-size;
  memory: the main process's peak with 16 tiles against 256 tiles of --tile-size cells per side: it must not grow
          with the number of tiles, since finished tiles go to the run folder as they arrive.

    python bench/bench_run.py [--size 20000] [--tile-size 1024] [--workers 2] [--only stream memory]
"""
import argparse
import json
import subprocess
import sys
import tempfile
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).parent))
from bench_tiles import write_condition  # noqa: E402

# Runs the command in this interpreter and records, as it exits, the peak resident memory of its main process
# and the largest of its worker processes (kilobytes).
COMMAND = """
import atexit, json, resource, sys
def record():
    with open(sys.argv[1], "w") as file:
        json.dump([resource.getrusage(resource.RUSAGE_SELF).ru_maxrss,
                   resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss], file)
atexit.register(record)
from quillet_geo.cli import main
main(sys.argv[2:])
"""
OPTIONS = ["--levels", "1", "2", "4", "--lambdas", "2", "20", "200", "--max-cost", "10", "--quiet"]


def run_command(folder, size, tile_size, workers):
    condition, output, record = folder / f"condition-{size}.tif", folder / "map.tif", folder / "memory.json"
    if not condition.exists():
        write_condition(condition, size)
    output.unlink(missing_ok=True)
    start = time.perf_counter()
    done = subprocess.run([sys.executable, "-c", COMMAND, str(record), "connectivity", str(condition), str(output),
                           *OPTIONS, "--tile-size", str(tile_size), "--workers", str(workers)],
                          capture_output=True, text=True)
    seconds = time.perf_counter() - start
    if done.returncode:
        raise SystemExit(done.stderr)
    main_kb, worker_kb = json.loads(record.read_text())
    return seconds, main_kb / 1024, worker_kb / 1024


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--size", type=int, default=20000)
    parser.add_argument("--tile-size", type=int, default=1024)
    parser.add_argument("--workers", type=int, default=2)
    parser.add_argument("--only", nargs="*", choices=["stream", "memory"], default=["stream", "memory"])
    arguments = parser.parse_args()
    with tempfile.TemporaryDirectory() as folder:
        folder = Path(folder)
        if "stream" in arguments.only:
            seconds, main_mb, worker_mb = run_command(folder, arguments.size, arguments.tile_size, arguments.workers)
            print(f"stream {arguments.size} x {arguments.size}, tiles {arguments.tile_size}: {seconds:.1f} s, "
                  f"{arguments.size**2 / seconds / 1e6:.1f} M cells/s, peak RSS main {main_mb:.0f} MB, "
                  f"largest worker {worker_mb:.0f} MB")
        if "memory" in arguments.only:
            peaks = {}
            for tiles_per_side in (4, 16):
                size = tiles_per_side * arguments.tile_size
                _, peaks[tiles_per_side**2], _ = run_command(folder, size, arguments.tile_size, arguments.workers)
            print(f"memory: main process peak {peaks[16]:.0f} MB for 16 tiles, {peaks[256]:.0f} MB for 256 tiles "
                  f"(+{peaks[256] - peaks[16]:.0f} MB)")


if __name__ == "__main__":
    main()
