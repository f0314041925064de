"""connectivity's window widths: signed and unchecked by the module, a negative one empties the windows it applies
to, an outer one below the inner one is ignored, and one wider than the raster costs what the raster holds."""
import subprocess
import sys
import textwrap
from pathlib import Path

import numpy as np
import pytest

from conftest import under_sanitizer
from test_connectivity_values import run


def test_even_outer_window_below_window_size_is_ignored():
    assert np.isfinite(run(np.full((8, 8), 0.5), outer_window=2)).all()


@pytest.mark.parametrize("outer_window", [7, -5])
def test_negative_window_size_empties_every_source_window(outer_window):
    assert (run(np.full((8, 8), 0.5), window_size=-3, outer_window=outer_window) == 0).all()


def test_negative_outer_window_is_ignored_as_any_below_window_size():
    condition = np.full((8, 8), 0.5)
    assert np.array_equal(run(condition, outer_window=-5), run(condition, outer_window=3))


@pytest.mark.skipif(under_sanitizer(), reason="the sanitizer runtime reserves address space of its own")
def test_window_wider_than_the_raster_costs_what_the_raster_holds():
    # With 1 GB of address space to spare, a window 32 769 cells wide on an 8 x 8
    # raster gives what any window covering the raster gives.
    script = textwrap.dedent(
        """
        import resource, sys, numpy as np
        sys.path[:0] = sys.argv[1:]
        from test_connectivity_values import run
        with open("/proc/self/status") as f:
            vm = next(int(line.split()[1]) for line in f if line.startswith("VmSize:"))
        resource.setrlimit(resource.RLIMIT_AS, ((vm + 1024 * 1024) * 1024,) * 2)
        condition = np.full((8, 8), 0.5)
        wide = run(condition, window_size=32769, outer_window=32769)
        print(np.array_equal(wide, run(condition, window_size=201, outer_window=201)))
        """
    )
    out = subprocess.run([sys.executable, "-c", script, str(Path(__file__).parent)], capture_output=True, text=True,
                         timeout=120)
    assert out.stdout.strip() == "True", out.stderr
