"""_NativeDenseKMeans: construction and its errors in order, fits on
well-separated blobs (plain and spherical) checked against NumPy, predict,
the center setter and its layouts, the verbose lines and early stopping."""

import numpy as np
import pytest

from helpers import HAS_AVX2, run_python


@pytest.fixture(scope="module")
def cls(native):
    return native._NativeDenseKMeans


def blobs(n=400, k=5, dim=8, seed=0, spread=0.05):
    """Rows near k far-apart means; returns (rows, the mean each row belongs to)."""
    rng = np.random.default_rng(seed)
    means = rng.uniform(-10, 10, size=(k, dim))
    owner = rng.integers(0, k, size=n)
    rows = means[owner] + rng.normal(scale=spread, size=(n, dim))
    return rows.astype(np.float32), owner


def same_partition(a, b):
    """True when the two labelings split the rows the same way."""
    pairs = set(zip(a.tolist(), b.tolist()))
    return len(pairs) == len(set(a.tolist())) == len(set(b.tolist()))


def test_new_model_state(cls):
    model = cls(3)
    assert (model.k, model.iterations, model.seed, model.verbose, model.spherical) == (3, 20, 0, False, False)
    assert model.labels.dtype == np.uint32 and model.labels.shape == (0,)
    assert model.inertia_history.dtype == np.float64 and model.inertia_history.shape == (0,)
    with pytest.raises(ValueError, match="^cluster centers are not initialized$"):
        model.cluster_centers
    with pytest.raises(ValueError, match="^cluster centers are not initialized$"):
        model.predict(np.zeros((2, 3), np.float32))
    assert not hasattr(model, "init") and not hasattr(model, "early_stopping")
    given = cls(2, 5, (1 << 64) - 1, True, "RANDOM", True, True)
    assert (given.iterations, given.seed, given.verbose, given.spherical) == (5, (1 << 64) - 1, True, True)
    for spelling in ["random", "farthest_first", "FARTHEST_FIRST", "kmeans++", "K-Means++"]:
        cls(2, init=spelling)


@pytest.mark.parametrize(
    "args, kwargs, error, message",
    [
        ((0,), {}, ValueError, "^k must be greater than zero$"),
        ((1,), {"iterations": 0}, ValueError, "^iterations must be greater than zero$"),
        ((0,), {"init": "nope"}, ValueError,
         r"^unsupported init 'nope'; expected one of farthest_first, kmeans\+\+, random$"),
        ((None,), {}, TypeError, None),
        ((), {}, TypeError, None),
        ((2,), {"iterations": -1}, OverflowError, None),
    ],
)
def test_constructor_errors(cls, args, kwargs, error, message):
    with pytest.raises(error, match=message):
        cls(*args, **kwargs)


@pytest.mark.parametrize("init", ["kmeans++", "farthest_first"])
def test_fit_finds_the_blobs_and_labels_are_nearest_centers(cls, init):
    rows, owner = blobs()
    model = cls(5, iterations=10, seed=3, init=init)
    labels = model.fit_predict(rows)
    assert labels.dtype == np.uint32
    np.testing.assert_array_equal(labels, model.labels)
    assert same_partition(labels, owner)
    centers = model.cluster_centers
    assert centers.dtype == np.float32 and centers.shape == (5, 8)
    for j in range(5):
        np.testing.assert_allclose(centers[j], rows[labels == j].mean(axis=0), rtol=1e-5, atol=1e-5)
    nearest = ((rows[:, None, :].astype(np.float64) - centers[None]) ** 2).sum(axis=2).argmin(axis=1)
    np.testing.assert_array_equal(labels, nearest)
    history = model.inertia_history
    assert 1 <= history.shape[0] <= 10
    assert history[-1] == pytest.approx(((rows - centers[labels]) ** 2).sum(axis=1).mean(), rel=1e-5)
    # Strided rows give what their contiguous copy gives; predict changes nothing.
    wide = np.zeros((rows.shape[0], 16), np.float32)
    wide[:, ::2] = rows
    np.testing.assert_array_equal(model.predict(wide[:, ::2]), labels)
    np.testing.assert_array_equal(model.labels, labels)
    assert model.predict(np.zeros((0, 8), np.float32)).shape == (0,)


def test_same_seed_same_fit_and_a_failed_fit_changes_nothing(cls):
    rows, _ = blobs(seed=4)
    first, second = cls(4, seed=9), cls(4, seed=9)
    first.fit(rows)
    second.fit(rows)
    np.testing.assert_array_equal(first.cluster_centers, second.cluster_centers)
    np.testing.assert_array_equal(first.inertia_history, second.inertia_history)
    before = (first.labels, first.inertia_history, first.cluster_centers)
    for data, message in [
        (rows[:3], r"^k \(4\) cannot exceed number of rows \(3\)$"),
        (np.zeros((0, 8), np.float32), "^data must have at least one row$"),
        (np.zeros((5, 0), np.float32), "^data must have at least one column$"),
    ]:
        with pytest.raises(ValueError, match=message):
            first.fit(data)
    for kept, now in zip(before, (first.labels, first.inertia_history, first.cluster_centers)):
        np.testing.assert_array_equal(kept, now)
    with pytest.raises(ValueError, match="^expected 8 columns, got 3$"):
        first.predict(np.zeros((2, 3), np.float32))
    with pytest.raises(TypeError):
        first.fit(rows.astype(np.float64))


def test_spherical_fit_normalises_centers_and_labels_by_largest_dot(cls):
    rng = np.random.default_rng(7)
    directions = rng.normal(size=(4, 6))
    directions /= np.linalg.norm(directions, axis=1, keepdims=True)
    owner = rng.integers(0, 4, size=300)
    # Rows of very different lengths: only their directions matter.
    rows = (directions[owner] + rng.normal(scale=0.02, size=(300, 6))) * rng.uniform(0.5, 3.0, size=(300, 1))
    rows = rows.astype(np.float32)
    model = cls(4, iterations=10, seed=1, init="farthest_first", spherical=True)
    labels = model.fit_predict(rows)
    assert same_partition(labels, owner)
    centers = model.cluster_centers
    np.testing.assert_allclose(np.linalg.norm(centers, axis=1), 1.0, rtol=1e-5)
    np.testing.assert_array_equal(labels, (rows.astype(np.float64) @ centers.T.astype(np.float64)).argmax(axis=1))
    dots = (rows * centers[labels]).sum(axis=1)
    assert model.inertia_history[-1] == pytest.approx((1.0 - dots).mean(), rel=1e-4, abs=1e-6)


def test_set_cluster_centers(cls):
    model = cls(2)
    model.fit(blobs(k=2)[0])
    labels, history = model.labels, model.inertia_history
    given = np.asfortranarray(np.array([[0.0, 0.0, 0.0], [10.0, 10.0, 10.0]], np.float32))
    model.set_cluster_centers(given)
    # Stored as given, memory order included; labels and history are the fit's.
    read = model.cluster_centers
    np.testing.assert_array_equal(read, given)
    assert read.flags.f_contiguous and read is not model.cluster_centers
    np.testing.assert_array_equal(model.labels, labels)
    np.testing.assert_array_equal(model.inertia_history, history)
    np.testing.assert_array_equal(model.predict(np.array([[1, 1, 1], [9, 9, 8]], np.float32)), [0, 1])
    for centers, message in [
        (np.zeros((3, 3), np.float32), "^expected 2 centers, got 3$"),
        (np.zeros((2, 0), np.float32), "^centers must have at least one column$"),
    ]:
        with pytest.raises(ValueError, match=message):
            model.set_cluster_centers(centers)
    np.testing.assert_array_equal(model.cluster_centers, given)

    spherical = cls(2, spherical=True)
    spherical.set_cluster_centers(np.asfortranarray(np.array([[3.0, 4.0], [0.0, -2.0]], np.float32)))
    np.testing.assert_allclose(spherical.cluster_centers, [[0.6, 0.8], [0.0, -1.0]], rtol=1e-6)
    np.testing.assert_array_equal(spherical.predict(np.array([[0.1, -5.0], [1.0, 1.0]], np.float32)), [1, 0])


FIT_SCRIPT = """
import json, sys
import numpy as np
import tarvinex._tarvinex as native
arrays = np.load(sys.argv[1])
model = native._NativeDenseKMeans({k}, iterations=10, seed=2, verbose={verbose}, early_stopping={early})
model.fit(arrays["rows"])
print(json.dumps({{"history": model.inertia_history.tolist(), "labels": model.labels.tolist(),
                   "centers": model.cluster_centers.tolist()}}))
"""


def run_fit(k=3, verbose=False, early=False, env=None):
    rows, _ = blobs(n=200, k=3, dim=4, seed=11)
    return run_python(FIT_SCRIPT.format(k=k, verbose=verbose, early=early), env, arrays={"rows": rows},
                      with_stderr=True)


def test_verbose_lines_and_early_stopping():
    fitted, lines = run_fit(verbose=True)
    assert len(fitted["history"]) == 10
    assert lines == [f"iteration={i} dense_inertia={value:.6f}" for i, value in enumerate(fitted["history"])]
    assert run_fit()[1] == []
    # One cluster settles after its first update; the fourth pass stops the fit.
    settled, _ = run_fit(k=1, early=True)
    assert len(settled["history"]) == 4


@pytest.mark.skipif(not HAS_AVX2, reason="needs AVX2 for a second kernel family")
def test_kernel_families_agree_on_separated_data():
    portable, _ = run_fit(env={"TARVINEX_SIMD": "scalar"})
    vector, _ = run_fit(env={"TARVINEX_SIMD": "avx2"})
    assert portable["labels"] == vector["labels"]
    np.testing.assert_allclose(portable["centers"], vector["centers"], rtol=1e-6)
