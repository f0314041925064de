"""Builds and runs the C++ unit tests of the numerical core (tests/cpp)."""
import os
import subprocess
from pathlib import Path

import pytest

from conftest import under_sanitizer

ROOT = Path(__file__).resolve().parents[1]


def tool(module_name, attribute, name):
    """A build tool from its PyPI package (the test extra), else from PATH."""
    try:
        module = __import__(module_name)
        return str(Path(getattr(module, attribute)) / name)
    except ImportError:
        return name


def test_core_unit_tests(tmp_path_factory):
    build = ROOT / "build" / ("core-tests-sanitized" if under_sanitizer() else "core-tests")
    env = {k: v for k, v in os.environ.items() if k != "LD_PRELOAD"}
    configure = [
        tool("cmake", "CMAKE_BIN_DIR", "cmake"), "-S", str(ROOT), "-B", str(build), "-G", "Ninja",
        f"-DCMAKE_MAKE_PROGRAM={tool('ninja', 'BIN_DIR', 'ninja')}",
        "-DQUILLET_PYTHON_MODULE=OFF", "-DQUILLET_CORE_TESTS=ON", "-DCMAKE_BUILD_TYPE=Release",
        f"-DQUILLET_SANITIZE={'ON' if under_sanitizer() else 'OFF'}",
    ]
    for command in (configure, [configure[0], "--build", str(build)]):
        done = subprocess.run(command, capture_output=True, text=True, env=env)
        if done.returncode != 0:
            pytest.fail(f"{' '.join(command)} failed:\n{done.stdout}\n{done.stderr}")
    run = subprocess.run([str(build / "core_tests")], capture_output=True, text=True, env=env, timeout=600)
    assert run.returncode == 0, run.stdout + run.stderr
