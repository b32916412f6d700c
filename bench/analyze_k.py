"""The candidate-k analysis against the same candidates fitted one after another.

Both run on one row sample of the code matrix, drawn here, so the work is the
same: the analysis fits every candidate at once on the pool; the baseline
analyses one candidate per call (candidate i with seed + i, as the analysis
seeds it). The pool's occupancy is the process CPU time during the analysis
against its wall time times the workers.

Usage: python bench/analyze_k.py [--rows N] [--ks 64,128,256,512,1024] [--sample-rows S] [--iterations I]
"""

import argparse
import os
import resource
import time

import numpy as np

import tarvinex


def cpu_seconds():
    usage = resource.getrusage(resource.RUSAGE_SELF)
    return usage.ru_utime + usage.ru_stime


def timed(call):
    cpu, wall = cpu_seconds(), time.perf_counter()
    result = call()
    return result, time.perf_counter() - wall, cpu_seconds() - cpu


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--rows", type=int, default=1_000_000)
    parser.add_argument("--ks", default="64,128,256,512,1024")
    parser.add_argument("--sample-rows", type=int, default=16384)
    parser.add_argument("--iterations", type=int, default=20)
    args = parser.parse_args()

    n, m, dim = args.rows, 8, 32
    rng = np.random.default_rng(0)
    centers = rng.normal(scale=3.0, size=(256, dim)).astype(np.float32)
    vectors = (centers[rng.integers(0, 256, size=n)] + rng.normal(size=(n, dim))).astype(np.float32)
    codewords = np.stack([centers[rng.choice(256, 256, replace=False), s * 4:(s + 1) * 4] for s in range(m)])
    codewords = np.ascontiguousarray(codewords, dtype=np.float32)
    # Nearest codeword per subspace: codes that follow the data's clusters.
    codes = np.empty((n, m), dtype=np.uint8)
    for s in range(m):
        part = vectors[:, s * 4:(s + 1) * 4]
        scores = (part ** 2).sum(1)[:, None] - 2 * part @ codewords[s].T + (codewords[s] ** 2).sum(1)[None, :]
        codes[:, s] = scores.argmin(1)
    sample = np.ascontiguousarray(codes[np.sort(rng.choice(n, min(args.sample_rows, n), replace=False))])
    ks = [int(value) for value in args.ks.split(",")]
    workers = len(os.sched_getaffinity(0))
    print(f"n={n} sample={len(sample)} M={m} Ks=256 candidates={ks} iterations={args.iterations} "
          f"workers={workers} kernels={tarvinex.simd_runtime()}")

    analyze = tarvinex._NativePQKMeans.analyze_k_candidates
    result, wall, cpu = timed(lambda: analyze(codewords, sample, ks, iterations=args.iterations, sample_rows=0))
    sequential = sequential_cpu = 0.0
    for i, k in enumerate(ks):
        _, seconds, used = timed(lambda: analyze(codewords, sample, [k], iterations=args.iterations, seed=i,
                                                 sample_rows=0))
        sequential += seconds
        sequential_cpu += used
        print(f"  k={k:<5} alone {seconds:7.3f} s, pool occupancy {used / (seconds * workers):.0%}")
    print(f"analysis {wall:.3f} s, pool occupancy {cpu / (wall * workers):.0%}; one after another {sequential:.3f} s, "
          f"pool occupancy {sequential_cpu / (sequential * workers):.0%}; speed-up {sequential / wall:.2f}x; "
          f"selected k={result['selected_k']} by {result['selected_method']}")


if __name__ == "__main__":
    main()
