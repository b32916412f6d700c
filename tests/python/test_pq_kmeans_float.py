"""_NativePQKMeans with float centers: the ADC and hybrid fits against NumPy
Lloyd references that add in the engine's order, their predictions, the
center setters, and the errors of these methods in their order."""

import numpy as np
import pytest

from helpers import HAS_AVX2, HAS_AVX512F, run_python

M, DS, K = 4, 2, 6
DIM = M * DS


def problem(n=600, ks=16, seed=0):
    """Rows near K well-apart means, their codes by nearest codeword, and the
    codebooks: integer codewords on a grid, so codes and sums are exact."""
    rng = np.random.default_rng(seed)
    codewords = rng.integers(-8, 9, size=(M, ks, DS)).astype(np.float32)
    means = rng.uniform(-6, 6, size=(K, DIM))
    vectors = (means[rng.integers(0, K, size=n)] + rng.normal(scale=0.7, size=(n, DIM))).astype(np.float32)
    parts = vectors.reshape(n, M, 1, DS) - codewords[None]
    codes = (parts.astype(np.float64) ** 2).sum(axis=3).argmin(axis=2).astype(np.uint8)
    return codewords, codes, vectors


def decoded(codewords, codes):
    return np.concatenate([codewords[s][codes[:, s]] for s in range(codes.shape[1])], axis=1)


def ordered_mean(rows):
    """Members added one at a time in row order (in 256-row chunks from 1024
    members on), then multiplied by the float reciprocal of their count."""
    if len(rows) < 1024:
        total = np.cumsum(rows, axis=0, dtype=np.float32)[-1]
    else:
        total = np.zeros(rows.shape[1], np.float32)
        for begin in range(0, len(rows), 256):
            total = total + np.cumsum(rows[begin : begin + 256], axis=0, dtype=np.float32)[-1]
    return total * (np.float32(1.0) / np.float32(len(rows)))


def adc_estimates(codewords, codes, centers):
    """(n, k) ADC sums in subquantizer order of per-part squared distances."""
    total = None
    for s in range(codes.shape[1]):
        diff = codewords[s][codes[:, s]][:, None, :] - centers[None, :, s * DS : (s + 1) * DS]
        part = (diff * diff).sum(axis=2, dtype=np.float32)
        total = part if total is None else total + part
    return total


def exact(vectors, centers):
    return ((vectors[:, None, :].astype(np.float64) - centers[None]) ** 2).sum(axis=2)


def hybrid_labels(codewords, codes, vectors, centers, top_l):
    if top_l >= len(centers):
        return exact(vectors, centers).argmin(axis=1)
    estimates = adc_estimates(codewords, codes, centers)
    order = np.argsort(np.where(np.isnan(estimates), np.inf, estimates), axis=1, kind="stable")[:, :top_l]
    distances = np.take_along_axis(exact(vectors, centers), order, axis=1)
    return np.take_along_axis(order, distances.argmin(axis=1)[:, None], axis=1)[:, 0]


def unit(centers):
    out = centers.copy()
    for j, row in enumerate(centers):
        s = np.cumsum(row * row, dtype=np.float32)[-1]
        if s > np.float32(2.0**-23):
            out[j] = row * (np.float32(1.0) / np.sqrt(s))
    return out


FIT_SCRIPT = """
import json, sys
import numpy as np
import tarvinex._tarvinex as native
arrays = np.load(sys.argv[1])
out = {{}}
for iterations in (1, {iterations}):
    model = native._NativePQKMeans(arrays["codewords"], {k}, iterations=iterations, seed=3, spherical={spherical})
    if "{mode}" == "adc":
        model.fit_adc(arrays["codes"])
    else:
        model.fit_hybrid(arrays["codes"], arrays["vectors"], {top_l})
    out[iterations] = {{"dense": model.dense_cluster_centers.tolist(), "labels": model.labels.tolist(),
                       "codes": model.cluster_centers.tolist(), "history": model.inertia_history.tolist()}}
print(json.dumps(out))
"""

FAMILIES = ["scalar"] + (["avx2"] if HAS_AVX2 else []) + (["avx512"] if HAS_AVX512F else [])


@pytest.mark.parametrize("family", FAMILIES)
@pytest.mark.parametrize(
    "mode, top_l, spherical",
    [("adc", 0, False), ("adc", 0, True), ("hybrid", 1, False), ("hybrid", 3, False), ("hybrid", K, False),
     ("hybrid", K, True)],
)
def test_fits_follow_a_numpy_lloyd_from_the_engines_first_update(family, mode, top_l, spherical):
    codewords, codes, vectors = problem()
    iterations = 6
    script = FIT_SCRIPT.format(iterations=iterations, k=K, spherical=spherical, mode=mode, top_l=top_l)
    got = run_python(script, {"TARVINEX_SIMD": family},
                     arrays={"codewords": codewords, "codes": codes, "vectors": vectors})
    centers = np.array(got["1"]["dense"], np.float32)
    members_of = decoded(codewords, codes) if mode == "adc" else vectors
    for step in range(1, iterations):
        if mode == "adc":
            labels = adc_estimates(codewords, codes, centers).astype(np.float64).argmin(axis=1)
        else:
            labels = hybrid_labels(codewords, codes, vectors, centers, top_l)
        if step == iterations - 1:
            break
        centers = np.stack([ordered_mean(members_of[labels == j]) for j in range(K)])
        if spherical:
            centers = unit(centers)
    if spherical:
        centers = unit(centers)  # the storage normalises once more
    final = got[str(iterations)]
    np.testing.assert_array_equal(final["labels"], labels)
    np.testing.assert_array_equal(np.array(final["dense"], np.float32), centers)
    # The stored codes are each center's nearest codewords.
    parts = centers.reshape(K, M, 1, DS) - codewords[None]
    np.testing.assert_array_equal(final["codes"], (parts.astype(np.float64) ** 2).sum(axis=3).argmin(axis=2))
    assert len(final["history"]) == iterations


@pytest.fixture(scope="module")
def cls(native):
    return native._NativePQKMeans


def test_predictions_return_the_fits_labels_and_change_nothing(cls):
    codewords, codes, vectors = problem(ks=256)
    model = cls(codewords, K, iterations=5, seed=1)
    labels = model.fit_predict_adc(codes)
    assert labels.dtype == np.uint32
    np.testing.assert_array_equal(labels, model.labels)
    np.testing.assert_array_equal(model.predict_adc(codes), labels)
    for top_l in (2, K):
        labels = model.fit_predict_hybrid(codes, vectors, top_l)
        np.testing.assert_array_equal(labels, model.labels)
        np.testing.assert_array_equal(model.predict_hybrid(codes, vectors, top_l), labels)
    history = model.inertia_history
    assert model.predict_hybrid(codes[:3], vectors[:3], 1).shape == (3,)
    assert model.predict_hybrid(codes[:0], vectors[:0], K).shape == (0,)
    np.testing.assert_array_equal(model.inertia_history, history)
    # The symmetric prediction works through the encoded centers.
    assert model.predict(codes).shape == (len(codes),)


def test_a_rotation_leaves_hybrid_labels_as_without_it(cls):
    codewords, codes, vectors = problem(ks=256, seed=4)
    q, _ = np.linalg.qr(np.random.default_rng(5).normal(size=(DIM, DIM)))
    q = q.astype(np.float32)
    plain = cls(codewords, K, iterations=4, seed=2)
    rotated = cls(codewords, K, iterations=4, seed=2, rotation=q)
    # Exact assignment never looks at the codes' space.
    np.testing.assert_array_equal(plain.fit_predict_hybrid(codes, vectors, K),
                                  rotated.fit_predict_hybrid(codes, vectors, K))
    np.testing.assert_array_equal(plain.dense_cluster_centers, rotated.dense_cluster_centers)


def test_setters_replace_both_center_fields_or_neither(cls):
    codewords, codes, vectors = problem(ks=16)
    model = cls(codewords, K, iterations=3)
    model.fit(codes)
    labels, history = model.labels, model.inertia_history
    with pytest.raises(ValueError, match="^dense cluster centers are not initialized$"):
        model.predict_adc(codes)
    given = np.asfortranarray(np.random.default_rng(6).normal(size=(K, DIM)).astype(np.float32))
    model.set_dense_cluster_centers(given)
    np.testing.assert_array_equal(model.dense_cluster_centers, given)
    assert model.cluster_centers.shape == (K, M)
    np.testing.assert_array_equal(model.predict_hybrid(codes, vectors, K), exact(vectors, given).argmin(axis=1))
    before = (model.cluster_centers, model.dense_cluster_centers)
    for call, centers, message in [
        (model.set_cluster_centers, np.zeros((K, M + 1), np.uint8), "^cluster center shape does not match the model$"),
        (model.set_cluster_centers, np.full((K, M), 16, np.uint8), "^cluster center codes must be below codebook_size$"),
        (model.set_dense_cluster_centers, np.zeros((K + 1, DIM), np.float32),
         "^dense cluster center shape does not match the model$"),
    ]:
        with pytest.raises(ValueError, match=message):
            call(centers)
        for kept, now in zip(before, (model.cluster_centers, model.dense_cluster_centers)):
            np.testing.assert_array_equal(kept, now)
    model.set_cluster_centers(np.asfortranarray(np.arange(K * M, dtype=np.uint8).reshape(K, M) % 16))
    with pytest.raises(ValueError, match="^dense cluster centers are not initialized$"):
        model.predict_adc(codes)
    assert model.predict(codes).shape == (len(codes),)
    np.testing.assert_array_equal(model.labels, labels)
    np.testing.assert_array_equal(model.inertia_history, history)


def test_errors_in_their_order(cls):
    codewords, codes, vectors = problem(ks=16)
    model = cls(codewords, K, iterations=2)
    wide = np.zeros((len(codes), M + 1), np.uint8)
    cases = [
        (lambda: model.fit_hybrid(np.asfortranarray(codes[:3]), vectors[:3], 0), ValueError,
         "^refine_exact_top_l must be greater than zero$"),
        (lambda: model.fit_hybrid(codes, vectors[:5], 0), ValueError, "^vector row count must match code row count$"),
        (lambda: model.fit_hybrid(wide, vectors[:5], 1), ValueError, "^code dimensionality does not match codewords$"),
        (lambda: model.fit_hybrid(codes, vectors[:5], 1), ValueError, "^vector row count must match code row count$"),
        (lambda: model.fit_hybrid(codes, vectors[:, :3], 1), ValueError,
         "^vector dimensionality does not match codewords$"),
        (lambda: model.fit_hybrid(codes[:3], vectors[:3], 1), ValueError, "^number of rows must be at least k$"),
        (lambda: model.fit_hybrid(np.asfortranarray(codes), vectors, 1), ValueError,
         "^code matrix must be C-contiguous$"),
        (lambda: model.fit_hybrid(codes, np.asfortranarray(vectors), 1), ValueError,
         "^input vectors must be C-contiguous$"),
        (lambda: model.fit_hybrid(codes, vectors, -1), OverflowError, None),
        (lambda: model.fit_adc(codes[:3]), ValueError, "^number of rows must be at least k$"),
        (lambda: model.fit_adc(np.full_like(codes, 16)), ValueError, "^PQ4 packing requires codebook_size <= 16$"),
        (lambda: model.fit_hybrid(np.full_like(codes, 255), vectors, 2), ValueError,
         "^PQ4 packing requires codebook_size <= 16$"),
        (lambda: model.predict_adc(wide), ValueError, "^code dimensionality does not match codewords$"),
        (lambda: model.predict_adc(codes), ValueError, "^dense cluster centers are not initialized$"),
        (lambda: model.predict_hybrid(codes, vectors, 1), ValueError, "^dense cluster centers are not initialized$"),
        (lambda: model.fit_adc(codes.astype(np.int64)), TypeError, None),
    ]
    for call, error, message in cases:
        with pytest.raises(error, match=message):
            call()
    assert model.labels.shape == (0,)
    model.fit_hybrid(codes, vectors, 2)  # still usable after every failure


EXACT_SCRIPT = """
import json, sys
import numpy as np
import tarvinex._tarvinex as native
arrays = np.load(sys.argv[1])
model = native._NativePQKMeans(arrays["codewords"], 6, iterations=5, seed=7)
model.fit_hybrid(arrays["codes"], arrays["vectors"], 6)
empty = model.predict_hybrid(arrays["codes"][:0], arrays["vectors"][:0], 6)
print(json.dumps({"labels": model.labels.tolist(), "dense": model.dense_cluster_centers.tolist(),
                  "history": model.inertia_history.tolist(), "empty": empty.shape[0]}))
"""


@pytest.mark.parametrize(
    "switches",
    [{"TARVINEX_PDX_EXACT": "1"}, {"TARVINEX_PDX_EXACT": "on", "TARVINEX_DIM_PRUNE": "1"},
     {"TARVINEX_EXACT_ASSIGNMENT": "yes"}],
    ids=["pdx", "pdx-pruned", "flash"],
)
def test_exact_layouts_give_the_plain_fit(switches):
    codewords, codes, vectors = problem(ks=256, seed=8)
    arrays = {"codewords": codewords, "codes": codes, "vectors": vectors}
    # The portable kernels sum every distance in dimension order, as both layouts do.
    plain = run_python(EXACT_SCRIPT, {"TARVINEX_SIMD": "scalar"}, arrays=arrays)
    assert run_python(EXACT_SCRIPT, {"TARVINEX_SIMD": "scalar", **switches}, arrays=arrays) == plain
    assert plain["empty"] == 0
