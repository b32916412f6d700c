"""Product quantizer training, encoding and decoding, tarvinex against faiss.

Both train on the same rows of a Gaussian mixture (M = 16, Ks = 256) with the
same k-means iteration count and on every training row (faiss would otherwise
subsample), once plain and once with a learned rotation: tarvinex's
opq_iterations against faiss's OPQMatrix with as many outer iterations and the
same inner k-means iterations, followed by a PQ trained on the rotated rows
(faiss starts its rotation at random, tarvinex at the identity).
Each model then encodes and decodes `encode_rows` further rows of the mixture,
on which the reconstruction error (mean squared error per vector) is taken.
faiss runs on as many OpenMP threads as tarvinex has workers, each library in
a child process of its own on the same saved rows (see processes.py). Ratios
are peer seconds over tarvinex seconds, and peer error over tarvinex error,
from one run.

Usage: python bench/train_quantizer.py [--rows N] [--encode-rows E] [--iterations I] [--opq-iterations O]
"""

import argparse
import os
import time

import numpy as np

import processes

M, KS, DIM, COMPONENTS = 16, 256, 128, 256


def mixture(rows, seed):
    """Rows of one fixed mixture; component centers spread unevenly over
    directions that cross the subspaces, so a rotation has something to learn."""
    shape = np.random.default_rng(0)
    basis, _ = np.linalg.qr(shape.normal(size=(DIM, DIM)))
    centers = ((shape.normal(size=(COMPONENTS, DIM)) * np.geomspace(4.0, 0.25, DIM)) @ basis).astype(np.float32)
    rng = np.random.default_rng(seed)
    out = rng.standard_normal(size=(rows, DIM), dtype=np.float32)
    out += centers[rng.integers(0, COMPONENTS, size=rows)]
    return out


def timed(call):
    start = time.perf_counter()
    result = call()
    return result, time.perf_counter() - start


def squared_error(rows, decoded, block=100_000):
    total = 0.0
    for begin in range(0, len(rows), block):
        diff = decoded[begin : begin + block] - rows[begin : begin + block]
        total += float(np.einsum("ij,ij->", diff, diff, dtype=np.float64))
    return total / len(rows)


def run_tarvinex(train, rows, iterations, opq_iterations):
    import tarvinex

    train, rows = processes.load(train), processes.load(rows)
    model = tarvinex._NativeProductQuantizer(M, KS, iterations=iterations, seed=0, opq_iterations=opq_iterations)
    _, fit = timed(lambda: model.fit(train))
    codes, encode = timed(lambda: model.encode(rows))
    decoded, decode = timed(lambda: model.decode(codes))
    return fit, encode, decode, squared_error(rows, decoded)


def run_faiss(train, rows, iterations, opq_iterations):
    import faiss

    faiss.omp_set_num_threads(processes.workers())
    train, rows = processes.load(train), processes.load(rows)
    pq = faiss.ProductQuantizer(DIM, M, 8)
    pq.cp.niter = iterations
    pq.cp.max_points_per_centroid = len(train)
    opq = None
    if opq_iterations:
        opq = faiss.OPQMatrix(DIM, M)
        opq.niter, opq.niter_pq, opq.niter_pq_0 = opq_iterations, iterations, iterations
        opq.max_train_points = len(train)

    def fit():
        if opq is not None:
            opq.train(train)
        pq.train(opq.apply(train) if opq is not None else train)

    def encode():
        return pq.compute_codes(opq.apply(rows) if opq is not None else rows)

    def decode(codes):
        decoded = pq.decode(codes)
        return opq.reverse_transform(decoded) if opq is not None else decoded

    _, fit_seconds = timed(fit)
    codes, encode_seconds = timed(encode)
    decoded, decode_seconds = timed(lambda: decode(codes))
    return fit_seconds, encode_seconds, decode_seconds, squared_error(rows, decoded)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--rows", type=int, default=100_000)
    parser.add_argument("--encode-rows", type=int, default=1_000_000)
    parser.add_argument("--iterations", type=int, default=20)
    parser.add_argument("--opq-iterations", type=int, default=10)
    args = parser.parse_args()

    workers = processes.workers()
    with processes.SharedArrays() as shared:
        train = shared.save("train", mixture(args.rows, seed=1))
        rows = shared.save("rows", mixture(args.encode_rows, seed=2))
        peer = processes.run_child("faiss_version")
        print(f"train={args.rows} encode={args.encode_rows} D={DIM} M={M} Ks={KS} iterations={args.iterations} "
              f"opq_iterations={args.opq_iterations} workers={workers} kernels={processes.run_child('kernel_family')} "
              f"{peer or 'faiss absent'} load={os.getloadavg()[0]:.1f}")

        print(f"{'':<11}{'tarvinex':>11}" + (f"{'faiss':>11}{'ratio':>8}" if peer else ""))
        for name, opq_iterations in [("PQ", 0), ("OPQ", args.opq_iterations)]:
            if name == "OPQ" and opq_iterations == 0:
                continue
            settings = dict(train=train, rows=rows, iterations=args.iterations, opq_iterations=opq_iterations)
            ours = processes.run_child("tarvinex", **settings)
            theirs = processes.run_child("faiss", **settings) if peer else None
            for step, index in [("train s", 0), ("encode s", 1), ("decode s", 2), ("error", 3)]:
                line = f"{name + ' ' + step:<11}{ours[index]:>11.3f}"
                if theirs is not None:
                    line += f"{theirs[index]:>11.3f}{theirs[index] / ours[index]:>7.2f}x"
                print(line, flush=True)


def faiss_version():
    import faiss

    faiss.omp_set_num_threads(processes.workers())
    return f"faiss {faiss.__version__} threads={faiss.omp_get_max_threads()}"


processes.serve_children({"tarvinex": run_tarvinex, "faiss": run_faiss, "faiss_version": faiss_version})

if __name__ == "__main__":
    main()
