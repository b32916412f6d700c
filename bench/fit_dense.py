"""Dense k-means, tarvinex against faiss-cpu and scikit-learn.

Five Gaussian mixtures (float32): (a) 200,000 x 128, k = 1024; (b) 1,000,000 x
128, k = 1024; (c) 100,000 x 960, k = 256; (d) 1,000,000 x 128, k = 32; (e)
50,000 x 64, k = 100, a size where scikit-learn is quick. Every
library clusters all rows (faiss with max_points_per_centroid raised, so it
does not subsample), early stopping off where the library lets it be turned
off; faiss ends a fit once its objective stops changing, so its seconds per
pass divide by the passes it ran. The peers start from the same
randomly drawn rows; tarvinex's fit always draws its own initial centers, here
random rows as well, so the comparison is seconds per pass. tarvinex runs with
its default settings and with TARVINEX_DENSE_HAMERLY=1; its time per pass
includes its initialisation and the final assignment after the last pass.
faiss and scikit-learn run on as many threads as tarvinex has workers. Every
library, and tarvinex with each setting, runs in a child process of its own on
the same rows (see processes.py). Ratios are peer seconds per pass over
tarvinex's default, from one run. Peers absent from the environment are
skipped.

Usage: python bench/fit_dense.py [--scale S] [--iterations I] [--peer-iterations P] [--cases a,b,c,d,e]
"""

import argparse
import os
import time

import numpy as np

import processes

CASES = {
    "a": (200_000, 128, 1024),
    "b": (1_000_000, 128, 1024),
    "c": (100_000, 960, 256),
    "d": (1_000_000, 128, 32),
    "e": (50_000, 64, 100),
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


def run_tarvinex(data, k, iterations):
    import tarvinex

    rows = processes.load(data)
    model = tarvinex._NativeDenseKMeans(k, iterations=iterations, seed=0, init="random")
    return seconds_per_pass(lambda: (model.fit(rows), len(model.inertia_history))[1])


def run_faiss(data, start, iterations):
    import faiss

    faiss.omp_set_num_threads(processes.workers())
    rows, first = processes.load(data), processes.load(start)
    kmeans = faiss.Kmeans(rows.shape[1], first.shape[0], niter=iterations, seed=0,
                          max_points_per_centroid=rows.shape[0], verbose=False)
    # faiss ends early once its objective stops changing; kmeans.obj holds
    # one entry per pass it ran.
    return seconds_per_pass(lambda: (kmeans.train(rows, init_centroids=first), len(kmeans.obj))[1])


def run_sklearn(data, start, iterations, algorithm):
    import threadpoolctl
    from sklearn import cluster

    threadpoolctl.threadpool_limits(processes.workers())
    rows, first = processes.load(data), processes.load(start)
    model = cluster.KMeans(first.shape[0], init=first, n_init=1, max_iter=iterations, tol=0.0, algorithm=algorithm)
    return seconds_per_pass(lambda: model.fit(rows).n_iter_)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--scale", type=float, default=1.0, help="fraction of each case's rows")
    parser.add_argument("--iterations", type=int, default=20)
    parser.add_argument("--peer-iterations", type=int, default=20)
    parser.add_argument("--cases", default="a,b,c,d,e")
    args = parser.parse_args()

    workers = processes.workers()
    print(f"workers={workers} kernels={processes.run_child('kernel_family')} iterations={args.iterations} "
          f"peer_iterations={args.peer_iterations} OPENBLAS_CORETYPE={os.environ.get('OPENBLAS_CORETYPE', '(unset)')} "
          f"load={os.getloadavg()[0]:.1f}")
    columns = ["tarvinex", "hamerly", "faiss", "lloyd", "elkan"]
    print(f"{'case (s per pass)':<28}" + "".join(f"{name:>10}" for name in columns) + "   peer / tarvinex")
    for name in args.cases.split(","):
        rows, dim, k = CASES[name]
        rows = max(k, int(rows * args.scale))
        with processes.SharedArrays() as shared:
            values = mixture(rows, dim, 2 * k, seed=1)
            data = shared.save("data", values)
            start = shared.save("start", values[np.random.default_rng(2).choice(rows, size=k, replace=False)])
            del values
            times = {
                "tarvinex": processes.run_child("tarvinex", data=data, k=k, iterations=args.iterations),
                "hamerly": processes.run_child("tarvinex", env={"TARVINEX_DENSE_HAMERLY": "1"}, data=data, k=k,
                                               iterations=args.iterations),
                "faiss": processes.run_child("faiss", data=data, start=start, iterations=args.peer_iterations),
            }
            for algorithm in ("lloyd", "elkan"):
                times[algorithm] = processes.run_child("sklearn", data=data, start=start,
                                                       iterations=args.peer_iterations, algorithm=algorithm)
        cells = "".join(f"{times[c]:>10.3f}" if times[c] is not None else f"{'-':>10}" for c in columns)
        ratios = " ".join(f"{peer}={times[peer] / times['tarvinex']:.2f}x" for peer in columns[1:]
                          if times[peer] is not None)
        print(f"{name} {rows} x {dim}, k={k}".ljust(28) + cells + f"   {ratios}", flush=True)


processes.serve_children({"tarvinex": run_tarvinex, "faiss": run_faiss, "sklearn": run_sklearn})

if __name__ == "__main__":
    main()
