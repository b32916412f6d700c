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


PREDICT_SCRIPT = """
import json, sys
import numpy as np
import tarvinex._tarvinex as native
arrays = np.load(sys.argv[1])
rows, centers = arrays["rows"], arrays["centers"]
layouts = {
    "c": lambda a: a,
    "fortran": np.asfortranarray,
    "reversed": lambda a: np.ascontiguousarray(a[::-1, ::-1])[::-1, ::-1],
    "sliced": lambda a: np.repeat(a, 2, axis=1)[:, ::2],
}
out = {}
for spherical in (False, True):
    model = native._NativeDenseKMeans(centers.shape[0], spherical=spherical)
    for center_layout in ("c", "fortran"):
        model.set_cluster_centers(layouts[center_layout](centers))
        for name, layout in layouts.items():
            out[f"{spherical}/{center_layout}/{name}"] = model.predict(layout(rows)).tolist()
print(json.dumps(out))
"""

PATHS = [
    {},
    {"TARVINEX_DENSE_ASSIGN": "blas"},
    {"TARVINEX_DENSE_ASSIGN": "row"},
    {"TARVINEX_DENSE_TRANSPOSED": "off"},
    {"TARVINEX_SIMD": "scalar"},
]


@pytest.mark.parametrize("env", PATHS, ids=lambda env: ",".join(f"{k}={v}" for k, v in env.items()) or "default")
def test_predict_matches_brute_force_on_every_path_and_layout(env):
    # 40 centers of width 64 reach every path; rows sit near one center each.
    rng = np.random.default_rng(17)
    centers = rng.normal(size=(40, 64)).astype(np.float32)
    centers[7] = centers[3]  # a tie that the lower index takes
    centers[9, 5] = np.nan  # a center that is never chosen
    owner = rng.integers(0, 40, size=600)
    rows = (centers[owner] + rng.normal(scale=0.05, size=(600, 64))).astype(np.float32)
    rows[owner == 9] = rng.normal(size=((owner == 9).sum(), 64))
    rows[11] = np.nan  # every distance NaN: label 0
    got = run_python(PREDICT_SCRIPT, env, arrays={"rows": rows, "centers": centers})

    wide_rows, wide_centers = rows.astype(np.float64), centers.astype(np.float64)
    plain = ((wide_rows[:, None, :] - wide_centers[None]) ** 2).sum(axis=2)
    cosine = -(wide_rows @ (wide_centers / np.linalg.norm(wide_centers, axis=1, keepdims=True)).T)
    for spherical, scores in ((False, plain), (True, cosine)):
        want = np.where(np.isnan(scores), np.inf, scores).argmin(axis=1)
        for key, labels in got.items():
            if key.startswith(f"{spherical}/"):
                np.testing.assert_array_equal(labels, want, err_msg=key)
    assert all(7 not in labels and 9 not in labels and labels[11] == 0 for labels in got.values())


LLOYD_SCRIPT = """
import json, sys
import numpy as np
import tarvinex._tarvinex as native
arrays = np.load(sys.argv[1])
rows = arrays["rows"] if {c_order} else np.asfortranarray(arrays["rows"])
out = {{}}
for iterations in (1, {iterations}):
    model = native._NativeDenseKMeans(5, iterations=iterations, seed=4, spherical={spherical})
    model.fit(rows)
    out[iterations] = {{"centers": model.cluster_centers.tolist(), "labels": model.labels.tolist(),
                       "history": model.inertia_history.tolist()}}
print(json.dumps(out))
"""


def sequential_rows_sum(rows):
    """Rows added one at a time in row order, in float32."""
    return np.cumsum(rows, axis=0, dtype=np.float32)[-1] if len(rows) else np.zeros(rows.shape[1], np.float32)


def unit_rows(centers):
    out = centers.copy()
    for j, row in enumerate(centers):
        norm = np.sqrt(np.cumsum(row * row, dtype=np.float32)[-1])
        if norm > np.finfo(np.float32).eps:
            out[j] = row / norm
    return out


@pytest.mark.parametrize("spherical", [False, True])
@pytest.mark.parametrize("c_order", [True, False], ids=["slice", "strided"])
def test_whole_fit_follows_a_numpy_lloyd_from_the_engines_first_update(spherical, c_order):
    rows, _ = blobs(n=900, k=5, dim=12, seed=21, spread=0.8)
    iterations = 8
    got = run_python(LLOYD_SCRIPT.format(c_order=c_order, iterations=iterations, spherical=spherical),
                     {"TARVINEX_SIMD": "scalar"}, arrays={"rows": rows})
    centers = np.array(got["1"]["centers"], np.float32)
    wide = rows.astype(np.float64)
    for step in range(1, iterations):
        if spherical:
            labels = (wide @ centers.T.astype(np.float64)).argmax(axis=1)
        else:
            labels = ((wide[:, None, :] - centers[None]) ** 2).sum(axis=2).argmin(axis=1)
        if step == iterations - 1:
            break
        for j in range(5):
            members = rows[labels == j]
            assert len(members) > 0
            centers[j] = sequential_rows_sum(members) * (np.float32(1.0) / np.float32(len(members)))
        if spherical:
            centers = unit_rows(centers)
    final = got[str(iterations)]
    np.testing.assert_array_equal(np.array(final["centers"], np.float32), centers)
    np.testing.assert_array_equal(final["labels"], labels)
    assert len(final["history"]) == iterations


ENGINE_SCRIPT = """
import json, os, sys
if {one_worker}:
    os.sched_setaffinity(0, {{sorted(os.sched_getaffinity(0))[0]}})
import numpy as np
import tarvinex._tarvinex as native
rows = np.load(sys.argv[1])["rows"]
model = native._NativeDenseKMeans(10, iterations=5, seed=8, init="random")
model.fit(rows)
print(json.dumps({{"labels": model.labels.tolist(), "history": model.inertia_history.tolist(),
                   "centers": model.cluster_centers.tolist()}}))
"""


def test_bounded_engines_and_worker_count_leave_the_fit_unchanged():
    # 50,000 x 10 x 64 is the smallest problem on which the bounds are used.
    rows, _ = blobs(n=50_000, k=12, dim=64, seed=5, spread=0.5)

    def fit(one_worker=False, **env):
        return run_python(ENGINE_SCRIPT.format(one_worker=one_worker), {"TARVINEX_SIMD": "scalar", **env},
                          arrays={"rows": rows})

    plain = fit()
    assert fit(TARVINEX_DENSE_HAMERLY="1") == plain
    assert fit(one_worker=True) == plain
    abandoning = fit(TARVINEX_DENSE_EARLY_ABANDON="1")
    # Its sums are blocked differently, so only the pass means may round apart.
    assert (abandoning["labels"], abandoning["centers"]) == (plain["labels"], plain["centers"])
    np.testing.assert_allclose(abandoning["history"], plain["history"], rtol=1e-6)
    assert abandoning["history"][-1] == plain["history"][-1]
