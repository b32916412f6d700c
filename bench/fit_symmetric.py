"""A whole symmetric PQ k-means fit, tarvinex against the PQk-means library.

Both cluster the same codes with the same codebooks (trained by the peer's
own PQ encoder). tarvinex's per-iteration time is split into assignment and
update from its profiling line (TARVINEX_PROFILE_CLUSTER). The peer runs
`peer_iterations` passes (fewer when its full run would take too long, 0 to
skip it); the comparison is seconds per iteration at equal n, M, Ks and k.
For each k it then times the initial centers of each method in `--inits`
(the profiling line's init_s of a one-iteration fit): farthest-first and
k-means++ cost one pass over the codes per center, random none.

Usage: python bench/fit_symmetric.py [--rows N] [--ks K1,K2] [--iterations I] [--peer-iterations P]
                                     [--inits M1,M2]
"""

import argparse
import os
import sys
import tempfile
import time

import numpy as np

import tarvinex


def profiled_fit(codewords, codes, k, iterations, init="random"):
    """Runs the fit with fd 2 captured; returns (seconds, profile fields)."""
    os.environ["TARVINEX_PROFILE_CLUSTER"] = "1"
    model = tarvinex._NativePQKMeans(codewords, k, iterations=iterations, seed=0, init=init)
    with tempfile.TemporaryFile(mode="w+") as captured:
        saved = os.dup(2)
        os.dup2(captured.fileno(), 2)
        try:
            start = time.perf_counter()
            model.fit(codes)
            seconds = time.perf_counter() - start
        finally:
            os.dup2(saved, 2)
            os.close(saved)
        captured.seek(0)
        line = [row for row in captured.read().splitlines() if row.startswith("tarvinex_profile")][-1]
    del os.environ["TARVINEX_PROFILE_CLUSTER"]
    fields = dict(item.split("=") for item in line.split()[1:])
    return seconds, {key: float(value) for key, value in fields.items()}


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--rows", type=int, default=1_000_000)
    parser.add_argument("--ks", default="1024,10000")
    parser.add_argument("--iterations", type=int, default=20)
    parser.add_argument("--peer-iterations", type=int, default=2)
    parser.add_argument("--inits", default="farthest,kmeans++", help="init methods to time; empty for none")
    args = parser.parse_args()

    try:
        import pqkmeans
    except ImportError:
        pqkmeans = None
        print("PQk-means is not installed here: tarvinex figures only", file=sys.stderr)

    n, m, dim = args.rows, 8, 32
    rng = np.random.default_rng(0)
    centers = rng.normal(scale=3.0, size=(256, dim)).astype(np.float32)
    vectors = (centers[rng.integers(0, 256, size=n)] + rng.normal(size=(n, dim))).astype(np.float32)
    if pqkmeans is not None:
        encoder = pqkmeans.encoder.PQEncoder(num_subdim=m, Ks=256)
        encoder.fit(vectors[rng.choice(n, 50_000, replace=False)])
        codes = np.ascontiguousarray(encoder.transform(vectors).astype(np.uint8))
        codewords = np.ascontiguousarray(np.asarray(encoder.codewords, dtype=np.float32))
    else:
        codewords = rng.normal(size=(m, 256, dim // m)).astype(np.float32)
        codes = rng.integers(0, 256, size=(n, m), dtype=np.uint8)
    print(f"n={n} M={m} Ks=256 iterations={args.iterations} workers={os.cpu_count()} "
          f"OPENBLAS_CORETYPE={os.environ.get('OPENBLAS_CORETYPE', '(unset)')} kernels={tarvinex.simd_runtime()}")

    for k in [int(value) for value in args.ks.split(",")]:
        seconds, profile = profiled_fit(codewords, codes, k, args.iterations)
        passes = profile["iterations"]
        line = (f"k={k:<6} tarvinex {seconds / passes:8.3f} s/iteration "
                f"(assign {profile['assign_total_s'] / passes:.3f} s, update {profile['update_total_s'] / passes:.3f} s,"
                f" init {profile['init_s']:.3f} s; total {seconds:.1f} s)")
        if pqkmeans is not None and args.peer_iterations > 0:
            peer = pqkmeans.clustering.PQKMeans(encoder=encoder, k=k, iteration=args.peer_iterations)
            start = time.perf_counter()
            peer.fit_predict(codes)
            peer_per_iteration = (time.perf_counter() - start) / args.peer_iterations
            line += f"; PQk-means {peer_per_iteration:8.3f} s/iteration; ratio {peer_per_iteration / (seconds / passes):.1f}x"
        print(line, flush=True)
        for init in [value for value in args.inits.split(",") if value]:
            _, init_profile = profiled_fit(codewords, codes, k, 1, init=init)
            print(f"k={k:<6} init={init:<9} {init_profile['init_s']:8.3f} s", flush=True)


if __name__ == "__main__":
    main()
