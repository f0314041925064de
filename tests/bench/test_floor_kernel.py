"""The connectivity bench's measuring instrument: the floor kernel's lattice and the tile-like setting's sources,
whose faults would skew every ratio the bench prints without failing it."""
import subprocess
import sys
from pathlib import Path

import numpy as np
import pytest

sys.path.insert(0, str(Path(__file__).resolve().parents[2] / "bench"))
import bench_connectivity  # noqa: E402
import floor_kernel  # noqa: E402


@pytest.fixture(scope="module")
def floor():
    floor_kernel.build()
    return floor_kernel.EXECUTABLE


@pytest.mark.parametrize(("side", "nodes", "edges"), [(1, 1, 0), (2, 4, 12), (3, 9, 40), (16, 256, 1860)])
def test_the_floor_searches_an_8_neighbour_lattice(floor, side, nodes, edges):
    words = subprocess.run([str(floor), str(side), "3"], check=True, capture_output=True, text=True).stdout.split()
    assert (int(words[5]), int(words[7])) == (nodes, edges)
    assert float(words[0]) >= 0 and 0 <= float(words[-1]) < 10  # condition and weight in [0, 1) keep ratios small


@pytest.mark.parametrize("arguments", [["0"], ["4097"], ["16", "0"], []])
def test_the_floor_refuses_a_lattice_it_cannot_search(floor, arguments):
    done = subprocess.run([str(floor), *arguments], capture_output=True, text=True)
    assert done.returncode == 2 and done.stderr.startswith("usage: floor_kernel SIDE")


@pytest.mark.parametrize(("nodes", "side"), [(1, 1), (265, 16), (738, 27), (0.2, 1)])
def test_the_floor_lattice_is_as_large_as_the_graph(nodes, side):
    assert floor_kernel.lattice_side(nodes) == side


def test_tile_sources_are_the_tile_cells_with_data_and_reach_no_edge():
    tile, halo = 64, 288
    configurations = bench_connectivity.tile_configurations(tile)
    sources = [~arguments["mask"] for arguments in configurations.values()]
    condition = configurations["standard"]["condition"]
    expected = np.zeros(condition.shape, bool)
    expected[halo:halo + tile, halo:halo + tile] = True
    expected &= ~np.isnan(condition)
    assert condition.shape == (tile + 2 * halo,) * 2
    assert all((s == expected).all() for s in sources) and expected.sum() > tile * tile // 2
    assert {a["max_cost"] for a in configurations.values()} == {bench_connectivity.MAX_COST} == {10.0}
    assert [a["levels"][-1] * a["outer_window"] for a in configurations.values()] == [28, halo, halo]
