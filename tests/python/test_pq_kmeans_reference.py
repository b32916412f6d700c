"""The symmetric fit against a plain NumPy Lloyd reference that follows the
engine's arithmetic order, started from the engine's own initial centers, on
every kernel family and with one worker as with all."""

import numpy as np
import pytest

from helpers import HAS_AVX2, HAS_AVX512F, distance_table, run_python, symmetric_distances

ENGINE_SCRIPT = """
import json, os, sys
import numpy as np
if {one_worker}:
    os.sched_setaffinity(0, {{min(os.sched_getaffinity(0))}})
import tarvinex._tarvinex as t
data = np.load(sys.argv[1])
out = {{}}
for iterations in (1, {iterations}):
    model = t._NativePQKMeans(data["codewords"], {k}, iterations=iterations, seed={seed}, init={init!r})
    model.fit(data["codes"])
    out[iterations] = dict(labels=model.labels.tolist(), centers=model.cluster_centers.tolist(),
                           history=[float(x).hex() for x in model.inertia_history])
print(json.dumps(out))
"""


def run_engine(codewords, codes, k, iterations, seed, init, simd=None, one_worker=False):
    env = {} if simd is None else {"TARVINEX_SIMD": simd}
    script = ENGINE_SCRIPT.format(k=k, iterations=iterations, seed=seed, init=init, one_worker=one_worker)
    runs = run_python(script, env, arrays={"codewords": codewords, "codes": codes})
    return {
        int(key): (np.array(run["labels"]), np.array(run["centers"], dtype=np.uint8),
                   np.array([float.fromhex(x) for x in run["history"]]))
        for key, run in runs.items()
    }


def assign(codes, centers, table):
    totals = symmetric_distances(codes, centers, table)
    labels = totals.argmin(axis=1)  # the first minimum: lowest index on ties
    return labels, totals[np.arange(len(codes)), labels]


def vote(codes, labels, centers, table):
    ks = table.shape[1]
    updated = centers.copy()
    for j in range(len(centers)):
        members = codes[labels == j]
        if len(members) == 0:
            continue
        for s in range(codes.shape[1]):
            counts = np.bincount(members[:, s], minlength=ks)
            score = np.zeros(ks, dtype=np.float32)
            for c in np.flatnonzero(counts):
                score = score + np.float32(counts[c]) * table[s, c]
            updated[j, s] = score.argmin()
    return updated


def refill(codes, labels, distances, centers):
    empty = [j for j in range(len(centers)) if not (labels == j).any()]
    farthest = sorted(range(len(codes)), key=lambda i: (-distances[i], i))
    for j, row in zip(empty, farthest):
        centers[j] = codes[row]
    return centers


def reference_fit(codes, centers, table, iterations):
    history = []
    for p in range(iterations):
        labels, distances = assign(codes, centers, table)
        history.append(np.cumsum(distances.astype(np.float64))[-1] / len(codes))
        if p + 1 < iterations:
            centers = refill(codes, labels, distances, vote(codes, labels, centers, table))
    return labels, centers, np.array(history)


FAMILIES = [None, "scalar"] + (["avx2"] if HAS_AVX2 else []) + (["avx512"] if HAS_AVX512F else [])


@pytest.mark.parametrize("simd", FAMILIES)
# (Ks, M, k, init); M = 8, Ks = 256 with k = 70 makes the table scan walk its
# centers in several cache-sized tiles.
@pytest.mark.parametrize(
    "ks, m, k, init", [(7, 3, 9, "kmeans++"), (16, 3, 9, "farthest_first"), (256, 3, 9, "random"),
                       (256, 8, 70, "kmeans++")]
)
def test_lloyd_reference(simd, ks, m, k, init):
    rng = np.random.default_rng(ks + m)
    codewords = rng.normal(size=(m, ks, 3)).astype(np.float32)
    codes = rng.integers(0, ks, size=(240, m), dtype=np.uint8)
    codes[:40] = codes[0]  # duplicates: ties and clusters that end up empty
    runs = run_engine(codewords, codes, k=k, iterations=7, seed=5, init=init, simd=simd)
    initial_centers = runs[1][1]
    labels, centers, history = reference_fit(codes, initial_centers, distance_table(codewords), 7)
    engine_labels, engine_centers, engine_history = runs[7]
    np.testing.assert_array_equal(engine_labels, labels)
    np.testing.assert_array_equal(engine_centers, centers)
    np.testing.assert_array_equal(engine_history, history)


def test_one_worker_and_all_workers_agree():
    rng = np.random.default_rng(2)
    codewords = rng.normal(size=(4, 16, 2)).astype(np.float32)
    codes = rng.integers(0, 16, size=(3000, 4), dtype=np.uint8)
    everyone = run_engine(codewords, codes, k=20, iterations=5, seed=1, init="kmeans++")
    alone = run_engine(codewords, codes, k=20, iterations=5, seed=1, init="kmeans++", one_worker=True)
    for key in everyone:
        for a, b in zip(everyone[key], alone[key]):
            np.testing.assert_array_equal(a, b)


# Shuffles of 0..n-1 drawn by the seeded generator (known vectors).
SHUFFLES = {
    (0, 10): [2, 8, 6, 1, 9, 5, 7, 4, 0, 3],
    (42, 20): [7, 1, 11, 16, 6, 12, 3, 10, 15, 13, 14, 19, 18, 0, 8, 2, 4, 17, 9, 5],
}


@pytest.fixture(scope="module")
def cls(native):
    return native._NativePQKMeans


@pytest.mark.parametrize("seed, n", list(SHUFFLES))
def test_random_init_takes_the_seeded_shuffle(cls, seed, n):
    codes = np.arange(n * 2, dtype=np.uint8).reshape(n, 2) % 16
    codes[:, 1] = np.arange(n, dtype=np.uint8)  # every row distinct
    model = cls(np.random.default_rng(0).normal(size=(2, 32, 2)).astype(np.float32), 4, iterations=1, seed=seed,
                init="random")
    model.fit(codes)
    np.testing.assert_array_equal(model.cluster_centers, codes[SHUFFLES[seed, n][:4]])


def test_farthest_first_follows_its_tie_rule(cls):
    rng = np.random.default_rng(4)
    codewords = rng.integers(0, 3, size=(2, 4, 1)).astype(np.float32)  # many equal distances
    codes = rng.integers(0, 4, size=(20, 2), dtype=np.uint8)
    table = distance_table(codewords)
    chosen = [SHUFFLES[42, 20][0]]
    nearest = np.full(20, np.inf, dtype=np.float32)
    nearest[chosen[0]] = -1
    for _ in range(5):
        newest = codes[chosen[-1]]
        d = table[0][codes[:, 0], newest[0]] + table[1][codes[:, 1], newest[1]]
        nearest = np.where((nearest >= 0) & (nearest > d), d, nearest)
        best = 0
        for i in range(1, 20):
            if not nearest[best] > nearest[i]:
                best = i  # the later index wins ties
        chosen.append(best)
        nearest[best] = -1
    model = cls(codewords, 6, iterations=1, seed=42, init="farthest_first")
    model.fit(codes)
    np.testing.assert_array_equal(model.cluster_centers, codes[chosen])


def test_empty_cluster_is_refilled_with_the_farthest_row(cls):
    # Random init on n = 10, seed 0 picks rows 2, 8, 6. Rows 2 and 8 are equal,
    # so center 1 loses every row to center 0 and is refilled after the pass.
    rng = np.random.default_rng(8)
    codewords = rng.normal(size=(2, 8, 2)).astype(np.float32)
    codes = rng.integers(0, 8, size=(10, 2), dtype=np.uint8)
    codes[8] = codes[2]
    table = distance_table(codewords)
    _, distances = assign(codes, codes[[2, 8, 6]], table)
    farthest = sorted(range(10), key=lambda i: (-distances[i], i))[0]
    model = cls(codewords, 3, iterations=2, seed=0, init="random")
    model.fit(codes)
    np.testing.assert_array_equal(model.cluster_centers[1], codes[farthest])
