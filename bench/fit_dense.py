"""Dense k-means, tarvinex against faiss-cpu and scikit-learn.

Four Gaussian mixtures (float32): (a) 200,000 x 128, k = 1024; (b) 1,000,000 x
128, k = 1024; (c) 100,000 x 960, k = 256; (d) 1,000,000 x 128, k = 32. Every
library clusters all rows (faiss with max_points_per_centroid raised, so it
does not subsample), early stopping off. The peers start from the same
randomly drawn rows; tarvinex's fit always draws its own initial centers, here
random rows as well, so the comparison is seconds per pass. tarvinex runs with
its default settings and with TARVINEX_DENSE_HAMERLY=1; its time per pass
includes its initialisation and the final assignment after the last pass.
faiss and scikit-learn run on as many threads as tarvinex has workers. Ratios
are peer seconds per pass over tarvinex's default, from one run. Peers absent
from the environment are skipped.

Usage: python bench/fit_dense.py [--scale S] [--iterations I] [--peer-iterations P] [--cases a,b,c,d]
"""

import argparse
import os
import sys
import time

import numpy as np

import tarvinex

CASES = {
    "a": (200_000, 128, 1024),
    "b": (1_000_000, 128, 1024),
    "c": (100_000, 960, 256),
    "d": (1_000_000, 128, 32),
}


def mixture(rows, dim, components, seed):
    rng = np.random.default_rng(seed)
    centers = rng.normal(scale=3.0, size=(components, dim)).astype(np.float32)
    out = rng.standard_normal(size=(rows, dim), dtype=np.float32)
    out += centers[rng.integers(0, components, size=rows)]
    return out


def seconds_per_pass(call):
    start = time.perf_counter()
    passes = call()
    return (time.perf_counter() - start) / max(1, passes)


def run_tarvinex(data, k, iterations, hamerly):
    if hamerly:
        os.environ["TARVINEX_DENSE_HAMERLY"] = "1"
    try:
        model = tarvinex._NativeDenseKMeans(k, iterations=iterations, seed=0, init="random")
        return seconds_per_pass(lambda: (model.fit(data), len(model.inertia_history))[1])
    finally:
        os.environ.pop("TARVINEX_DENSE_HAMERLY", None)


def run_faiss(faiss, data, start, iterations):
    kmeans = faiss.Kmeans(data.shape[1], start.shape[0], niter=iterations, seed=0,
                          max_points_per_centroid=data.shape[0], verbose=False)
    return seconds_per_pass(lambda: (kmeans.train(data, init_centroids=start), iterations)[1])


def run_sklearn(cluster, data, start, iterations, algorithm):
    model = cluster.KMeans(start.shape[0], init=start, n_init=1, max_iter=iterations, tol=0.0, algorithm=algorithm)
    return seconds_per_pass(lambda: model.fit(data).n_iter_)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--scale", type=float, default=1.0, help="fraction of each case's rows")
    parser.add_argument("--iterations", type=int, default=20)
    parser.add_argument("--peer-iterations", type=int, default=20)
    parser.add_argument("--cases", default="a,b,c,d")
    args = parser.parse_args()

    workers = len(os.sched_getaffinity(0))
    try:
        import faiss

        faiss.omp_set_num_threads(workers)
    except ImportError:
        faiss = None
        print("faiss is not installed here: skipped", file=sys.stderr)
    try:
        import threadpoolctl
        from sklearn import cluster

        threadpoolctl.threadpool_limits(workers)
    except ImportError:
        cluster = None
        print("scikit-learn is not installed here: skipped", file=sys.stderr)

    print(f"workers={workers} kernels={tarvinex.simd_runtime()} iterations={args.iterations} "
          f"peer_iterations={args.peer_iterations} OPENBLAS_CORETYPE={os.environ.get('OPENBLAS_CORETYPE', '(unset)')} "
          f"load={os.getloadavg()[0]:.1f}")
    columns = ["tarvinex", "hamerly"] + (["faiss"] if faiss else []) + (["lloyd", "elkan"] if cluster else [])
    print(f"{'case (s per pass)':<28}" + "".join(f"{name:>10}" for name in columns) + "   peer / tarvinex")
    for name in args.cases.split(","):
        rows, dim, k = CASES[name]
        rows = max(k, int(rows * args.scale))
        data = mixture(rows, dim, 2 * k, seed=1)
        start = data[np.random.default_rng(2).choice(rows, size=k, replace=False)].copy()
        times = {
            "tarvinex": run_tarvinex(data, k, args.iterations, hamerly=False),
            "hamerly": run_tarvinex(data, k, args.iterations, hamerly=True),
        }
        if faiss:
            times["faiss"] = run_faiss(faiss, data, start, args.peer_iterations)
        if cluster:
            for algorithm in ("lloyd", "elkan"):
                times[algorithm] = run_sklearn(cluster, data, start, args.peer_iterations, algorithm)
        ratios = " ".join(f"{peer}={times[peer] / times['tarvinex']:.2f}x" for peer in columns[1:])
        print(f"{name} {rows} x {dim}, k={k}".ljust(28) + "".join(f"{times[c]:>10.3f}" for c in columns) +
              f"   {ratios}", flush=True)


if __name__ == "__main__":
    main()
