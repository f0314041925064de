"""The floor kernel of floor_kernel.cpp, the textbook per-source work that connectivity is measured against: built
into build/ with the system's compiler for this machine, run on a lattice as large as a source's graph."""
import math
import os
import shutil
import subprocess
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]
SOURCE = ROOT / "bench" / "floor_kernel.cpp"
EXECUTABLE = ROOT / "build" / "floor_kernel"
WORK_PER_BATCH = 2_000_000  # lattice nodes searched per timed batch: about a fifth of a second


def build():
    """Compiles the floor kernel (again, so that it always matches its source)."""
    EXECUTABLE.parent.mkdir(exist_ok=True)
    compiler = os.environ.get("CXX") or shutil.which("g++") or "c++"
    subprocess.run([compiler, "-O3", "-march=native", "-std=c++20", str(SOURCE), "-o", str(EXECUTABLE)], check=True)


def lattice_side(nodes):
    """The side of the square lattice whose node count is nearest to a graph's `nodes`."""
    return max(1, round(math.sqrt(nodes)))


def microseconds_per_pair(side):
    """The floor kernel's best microseconds per search pair on a `side` x `side` lattice."""
    pairs = max(1, WORK_PER_BATCH // (side * side))
    done = subprocess.run([str(EXECUTABLE), str(side), str(pairs)], check=True, capture_output=True, text=True)
    return float(done.stdout.split()[0])
