import importlib.metadata
import inspect
import os
import subprocess
import sys
import textwrap

import numpy as np
import pytest

import quillet
from conftest import under_sanitizer

CONNECTIVITY_SIGNATURE = (
    "(condition, mask, transgrid_list, transforms, levels, lambdas, is_geo, max_cost, window_size, "
    "outer_window, offsets, traversal=None, n_threads=None, window_mode='circular', pa_to_pa=False)"
)


def test_module_exports_both_functions_in_order():
    assert quillet.__all__ == ["connectivity", "pixel_coverage"]
    for name in quillet.__all__:
        function = getattr(quillet, name)
        assert function.__module__ == "quillet"
        assert function.__name__ == name


def test_available_cpus_is_private_and_follows_the_affinity_set():
    assert "_available_cpus" not in quillet.__all__
    count = quillet._available_cpus()
    assert type(count) is int and 1 <= count <= len(os.sched_getaffinity(0))
    script = "import os, quillet; os.sched_setaffinity(0, {min(os.sched_getaffinity(0))}); print(quillet._available_cpus())"
    out = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=60)
    assert out.stdout.strip() == "1", out.stderr


@pytest.mark.parametrize(
    "function, signature, doc_lines, first_doc_line",
    [
        (quillet.connectivity, CONNECTIVITY_SIGNATURE, 36, "Compute habitat/VESK connectivity and TOLM."),
        (
            quillet.pixel_coverage,
            "(polygons, transform, shape, n_threads=None)",
            13,
            "Compute the proportion of each raster pixel covered by a (multi)polygon.",
        ),
    ],
)
def test_text_signature_and_documentation(function, signature, doc_lines, first_doc_line):
    assert str(inspect.signature(function)) == signature
    # The interpreter strips the signature line, "--" and the blank line.
    lines = function.__doc__.split("\n")
    assert lines[0] == first_doc_line
    assert len(lines) == doc_lines
    assert not function.__doc__.endswith("\n")


def test_the_version_is_the_packages():
    assert quillet.__version__ == importlib.metadata.version("quillet") and "__version__" not in quillet.__all__


def test_progress_is_reported_while_a_call_computes_and_a_raising_callback_stops_it():
    assert "_report_progress" not in quillet.__all__
    condition = np.random.default_rng(2).random((240, 200), dtype=np.float32)
    transforms = {level: (25.0 * level, 0.0, 0.0, 0.0, -25.0 * level, 0.0) for level in (1, 2, 4)}
    arguments = (condition, np.zeros(condition.shape, bool), None, transforms, [1, 2, 4], [2.0], False, 10.0, 3, 15,
                 (0, 0))
    reports = []
    quillet._report_progress(lambda done, total: reports.append((done, total)))
    try:
        expected = quillet.connectivity(*arguments, n_threads=1)
        assert reports and all(total == 240 for _, total in reports)
        assert [done for done, _ in reports] == sorted(done for done, _ in reports) and reports[-1][0] < 240

        def stop(done, total):
            raise ValueError(f"stopped at {done} of {total}")

        quillet._report_progress(stop)
        with pytest.raises(ValueError, match="stopped at"):
            quillet.connectivity(*arguments, n_threads=1)
    finally:
        quillet._report_progress(None)
    assert quillet.connectivity(*arguments, n_threads=1).tobytes() == expected.tobytes()
    with pytest.raises(TypeError):
        quillet._report_progress(3)


def test_panic_exception_is_not_an_exception():
    assert quillet.PanicException.__bases__ == (BaseException,)
    assert not issubclass(quillet.PanicException, Exception)


def test_worker_fault_surfaces_as_panic_and_module_stays_usable():
    square = np.array([[0, 0], [1, 0], [1, 1], [0, 1]], float)
    caught = None
    try:
        try:
            # The grid is allocated on a worker thread; this shape overflows its byte size.
            quillet.pixel_coverage([(square, [])], (1, 0, 0, 0, 1, 0), (2**62, 2), n_threads=2)
        except Exception:  # noqa: BLE001 - the point is that this does not catch it
            pytest.fail("PanicException was caught by except Exception")
    except quillet.PanicException as e:
        caught = e
    assert caught is not None and caught.args == ("array size overflows the addressable range",)
    assert quillet.pixel_coverage([(square, [])], (1, 0, 0, 0, 1, 0), (1, 1))[0, 0] == 1.0


@pytest.mark.skipif(under_sanitizer(), reason="the sanitizer runtime reserves address space of its own")
def test_failed_thread_start_is_a_runtime_error_with_the_system_text():
    # Limit the address space so that a thread stack cannot be mapped.
    script = textwrap.dedent(
        """
        import resource, numpy as np, quillet
        with open("/proc/self/status") as f:
            vm = next(int(l.split()[1]) for l in f if l.startswith("VmSize:"))
        resource.setrlimit(resource.RLIMIT_AS, ((vm + 64 * 1024) * 1024,) * 2)
        try:
            quillet.pixel_coverage([], (1, 0, 0, 0, 1, 0), (1, 1), n_threads=64)
        except RuntimeError as e:
            print("RuntimeError:", e)
        """
    )
    out = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=60)
    assert out.stdout.strip() == "RuntimeError: Resource temporarily unavailable", out.stderr


@pytest.mark.parametrize("n_threads", [2**63, 2**64 - 1])
def test_a_thread_count_no_process_can_have_is_a_failed_thread_start(n_threads):
    with pytest.raises(RuntimeError, match="^Resource temporarily unavailable$"):
        quillet.pixel_coverage([], (1, 0, 0, 0, 1, 0), (1, 1), n_threads=n_threads)
