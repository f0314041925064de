"""Two Python threads calling quillet.connectivity at once, each with n_threads=1,
against the same two calls one after the other.

Calls let the interpreter lock go while they compute, so the two threads should
finish close to twice as fast as the sequence (target: at least 1.8x on two
cores). The raster is the salt-noise configuration of bench_connectivity.py.

    python bench/bench_threads.py [--size 256] [--repeat 3]
"""
import argparse
import threading
import time

import quillet
from bench_connectivity import configurations


def call(arguments):
    quillet.connectivity(**arguments, n_threads=1)


def sequential_seconds(arguments):
    start = time.perf_counter()
    call(arguments)
    call(arguments)
    return time.perf_counter() - start


def concurrent_seconds(arguments):
    threads = [threading.Thread(target=call, args=(arguments,)) for _ in range(2)]
    start = time.perf_counter()
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    return time.perf_counter() - start


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--size", type=int, default=256, help="raster side in cells")
    parser.add_argument("--repeat", type=int, default=3, help="runs per measurement; the fastest counts")
    args = parser.parse_args()

    arguments = configurations(args.size)["salt noise"]
    # Alternate the two ways so that a change of machine load touches both alike.
    sequential, concurrent = float("inf"), float("inf")
    for _ in range(args.repeat):
        sequential = min(sequential, sequential_seconds(arguments))
        concurrent = min(concurrent, concurrent_seconds(arguments))
    print(f"{args.size} x {args.size} cells, best of {args.repeat}")
    print(f"one after the other: {sequential:.3f} s")
    print(f"two threads at once: {concurrent:.3f} s")
    print(f"speed-up: {sequential / concurrent:.2f}x (target 1.80x)")


if __name__ == "__main__":
    main()
