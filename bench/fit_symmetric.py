"""A whole symmetric PQ k-means fit, tarvinex against the PQk-means library.

Both cluster the same codes with the same codebooks (trained by the peer's
own PQ encoder). tarvinex's per-iteration time is split into assignment and
update from its profiling line (TARVINEX_PROFILE_CLUSTER). The peer runs
`peer_iterations` passes (fewer when its full run would take too long, 0 to
skip it); the comparison is seconds per iteration at equal n, M, Ks and k.
For each k it then times the initial centers of each method in `--inits`
(the profiling line's init_s of a one-iteration fit): farthest-first and
k-means++ cost one pass over the codes per center, random none. The encoder,
tarvinex and the peer each run in a child process of their own on the same
saved arrays (see processes.py).

Usage: python bench/fit_symmetric.py [--rows N] [--ks K1,K2] [--iterations I] [--peer-iterations P]
                                     [--inits M1,M2]
"""

import argparse
import os
import pickle
import sys
import tempfile
import time

import numpy as np

import processes

M, DIM = 8, 32


def encode(vectors, codes_path, codewords_path, encoder_path):
    """Codes and codebooks from the peer's own encoder, or random ones of the
    same shape without it; the encoder is kept for the peer's fit."""
    rows = processes.load(vectors)
    rng = np.random.default_rng(0)
    try:
        import pqkmeans
    except ImportError:
        print("PQk-means is not installed here: tarvinex figures only", file=sys.stderr)
        np.save(codewords_path, rng.normal(size=(M, 256, DIM // M)).astype(np.float32))
        np.save(codes_path, rng.integers(0, 256, size=(len(rows), M), dtype=np.uint8))
        return False
    encoder = pqkmeans.encoder.PQEncoder(num_subdim=M, Ks=256)
    encoder.fit(rows[rng.choice(len(rows), 50_000, replace=False)])
    np.save(codes_path, np.ascontiguousarray(encoder.transform(rows).astype(np.uint8)))
    np.save(codewords_path, np.ascontiguousarray(np.asarray(encoder.codewords, dtype=np.float32)))
    with open(encoder_path, "wb") as out:
        pickle.dump(encoder, out)
    return True


def tarvinex_fit(codewords, codes, k, iterations, init):
    """One fit with fd 2 captured; (seconds, profile fields). The child runs
    with TARVINEX_PROFILE_CLUSTER set."""
    import tarvinex

    model = tarvinex._NativePQKMeans(processes.load(codewords), k, iterations=iterations, seed=0, init=init)
    rows = processes.load(codes)
    with tempfile.TemporaryFile(mode="w+") as captured:
        saved = os.dup(2)
        os.dup2(captured.fileno(), 2)
        try:
            start = time.perf_counter()
            model.fit(rows)
            seconds = time.perf_counter() - start
        finally:
            os.dup2(saved, 2)
            os.close(saved)
        captured.seek(0)
        line = [row for row in captured.read().splitlines() if row.startswith("tarvinex_profile")][-1]
    fields = dict(item.split("=") for item in line.split()[1:])
    return seconds, {key: float(value) for key, value in fields.items()}


def peer_fit(encoder, codes, k, iterations):
    import pqkmeans  # noqa: F401 (the pickled encoder's classes)

    with open(encoder, "rb") as source:
        model = pickle.load(source)
    rows = processes.load(codes)
    peer = pqkmeans.clustering.PQKMeans(encoder=model, k=k, iteration=iterations)
    start = time.perf_counter()
    peer.fit_predict(rows)
    return (time.perf_counter() - start) / iterations


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--rows", type=int, default=1_000_000)
    parser.add_argument("--ks", default="1024,10000")
    parser.add_argument("--iterations", type=int, default=20)
    parser.add_argument("--peer-iterations", type=int, default=2)
    parser.add_argument("--inits", default="farthest,kmeans++", help="init methods to time; empty for none")
    args = parser.parse_args()

    profiled = {"TARVINEX_PROFILE_CLUSTER": "1"}
    n = args.rows
    with processes.SharedArrays() as shared:
        rng = np.random.default_rng(0)
        centers = rng.normal(scale=3.0, size=(256, DIM)).astype(np.float32)
        vectors = shared.save("vectors", (centers[rng.integers(0, 256, size=n)] +
                                          rng.normal(size=(n, DIM))).astype(np.float32))
        codes, codewords = shared.save("codes", np.zeros(0)), shared.save("codewords", np.zeros(0))
        encoder = os.path.join(os.path.dirname(codes), "encoder.pickle")
        has_peer = processes.run_child("encode", vectors=vectors, codes_path=codes, codewords_path=codewords,
                                       encoder_path=encoder)
        print(f"n={n} M={M} Ks=256 iterations={args.iterations} workers={processes.workers()} "
              f"OPENBLAS_CORETYPE={os.environ.get('OPENBLAS_CORETYPE', '(unset)')} "
              f"kernels={processes.run_child('kernel_family')}")

        for k in [int(value) for value in args.ks.split(",")]:
            seconds, profile = processes.run_child("tarvinex_fit", env=profiled, codewords=codewords, codes=codes,
                                                   k=k, iterations=args.iterations, init="random")
            passes = profile["iterations"]
            line = (f"k={k:<6} tarvinex {seconds / passes:8.3f} s/iteration "
                    f"(assign {profile['assign_total_s'] / passes:.3f} s, "
                    f"update {profile['update_total_s'] / passes:.3f} s,"
                    f" init {profile['init_s']:.3f} s; total {seconds:.1f} s)")
            if has_peer and args.peer_iterations > 0:
                peer = processes.run_child("peer_fit", encoder=encoder, codes=codes, k=k,
                                           iterations=args.peer_iterations)
                line += f"; PQk-means {peer:8.3f} s/iteration; ratio {peer / (seconds / passes):.1f}x"
            print(line, flush=True)
            for init in [value for value in args.inits.split(",") if value]:
                _, init_profile = processes.run_child("tarvinex_fit", env=profiled, codewords=codewords, codes=codes,
                                                      k=k, iterations=1, init=init)
                print(f"k={k:<6} init={init:<9} {init_profile['init_s']:8.3f} s", flush=True)


processes.serve_children({"encode": encode, "tarvinex_fit": tarvinex_fit, "peer_fit": peer_fit})

if __name__ == "__main__":
    main()
