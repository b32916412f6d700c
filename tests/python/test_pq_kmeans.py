"""_NativePQKMeans in the symmetric mode: construction, fit, predict and the
properties, checked against a NumPy reference and the model's invariants."""

import numpy as np
import pytest

from helpers import distance_table, make_codes, make_codewords, run_python, symmetric_distances


@pytest.fixture(scope="module")
def cls(native):
    return native._NativePQKMeans


def test_new_model_state(cls):
    codewords = make_codewords()
    model = cls(codewords, 3)
    assert (model.k, model.iterations, model.seed, model.verbose, model.lookup_table_bytes) == (3, 20, 0, False, 1 << 30)
    np.testing.assert_array_equal(model.codewords, codewords)
    assert model.labels.dtype == np.uint32 and model.labels.shape == (0,)
    assert model.inertia_history.dtype == np.float64 and model.inertia_history.shape == (0,)
    for name, message in [
        ("cluster_centers", "cluster centers are not initialized"),
        ("dense_cluster_centers", "dense cluster centers are not initialized"),
    ]:
        with pytest.raises(ValueError, match=f"^{message}$"):
            getattr(model, name)
    with pytest.raises(ValueError, match="^cluster centers are not initialized$"):
        model.predict(make_codes(n=4))


@pytest.mark.parametrize(
    "kwargs, message",
    [
        ({"k": 0, "init": "nope"}, "unsupported init 'nope'; expected one of farthest_first, kmeans++, random"),
        ({"k": 0, "iterations": 0}, "k must be greater than zero"),
        ({"k": 2, "iterations": 0}, "iterations must be greater than zero"),
        ({"k": 2, "rotation": np.eye(8, 9, dtype=np.float32)},
         "rotation must be square and match the codeword dimensionality"),
    ],
)
def test_constructor_errors(cls, kwargs, message):
    with pytest.raises(ValueError) as raised:
        cls(make_codewords(), **kwargs)
    assert str(raised.value) == message


@pytest.mark.parametrize(
    "shape, message",
    [((0, 8, 2), "codewords must have shape (M, Ks, Ds)"), ((2, 257, 1), "codebook_size above 256 is not supported")],
)
def test_codebook_shape_errors(cls, shape, message):
    with pytest.raises(ValueError) as raised:
        cls(np.zeros(shape, dtype=np.float32), 2)
    assert str(raised.value) == message


def test_init_spellings_and_rotation_none(cls):
    codewords = make_codewords()
    codes = make_codes()
    reference = cls(codewords, 4, init="k-means++", rotation=None)
    reference.fit(codes)
    for spelling in ["K_Means++", "KMEANS++", "pq_kmeans_plus_plus"]:
        model = cls(codewords, 4, init=spelling)
        model.fit(codes)
        np.testing.assert_array_equal(model.cluster_centers, reference.cluster_centers)
    cls(codewords, 4, init="RANDOM").fit(codes)
    cls(codewords, 4, init="Farthest_First", rotation=np.eye(8, dtype=np.float32)).fit(codes)


@pytest.mark.parametrize("ks", [8, 16, 256])
@pytest.mark.parametrize("init", ["farthest_first", "kmeans++", "random"])
def test_fit_labels_are_nearest_final_centers(cls, ks, init):
    codewords = make_codewords(m=4, ks=ks)
    codes = make_codes(n=500, m=4, ks=ks, clusters=6)
    model = cls(codewords, 6, iterations=6, seed=3, init=init)
    labels = model.fit_predict(codes)
    centers = model.cluster_centers
    assert labels.dtype == np.uint32 and labels.shape == (500,)
    assert centers.dtype == np.uint8 and centers.shape == (6, 4)
    np.testing.assert_array_equal(model.labels, labels)

    distances = symmetric_distances(codes, centers, distance_table(codewords))
    np.testing.assert_array_equal(labels, distances.argmin(axis=1))  # lowest index on ties
    history = model.inertia_history
    assert history.shape == (6,)
    assert history[-1] == distances.min(axis=1).astype(np.float64).mean()
    np.testing.assert_array_equal(model.predict(codes), labels)
    with pytest.raises(ValueError, match="^dense cluster centers are not initialized$"):
        model.dense_cluster_centers


def test_same_seed_same_result_and_small_budget_same_labels(cls):
    codewords = make_codewords(ks=16)
    codes = make_codes(n=400, ks=16, clusters=5)
    runs = []
    for budget in [1 << 30, 1 << 30, 0]:
        model = cls(codewords, 5, seed=9, lookup_table_bytes=budget)
        model.fit(codes)
        runs.append((model.labels, model.cluster_centers, model.inertia_history))
    for labels, centers, history in runs[1:]:
        np.testing.assert_array_equal(labels, runs[0][0])
        np.testing.assert_array_equal(centers, runs[0][1])
        np.testing.assert_array_equal(history, runs[0][2])


def test_column_major_codebook_is_kept(cls):
    codewords = np.asfortranarray(make_codewords())
    model = cls(codewords, 3)
    stored = model.codewords
    assert stored.flags["F_CONTIGUOUS"] and not stored.flags["C_CONTIGUOUS"]
    np.testing.assert_array_equal(stored, codewords)
    codes = make_codes()
    model.fit(codes)
    reference = cls(np.ascontiguousarray(codewords), 3)
    reference.fit(codes)
    np.testing.assert_array_equal(model.labels, reference.labels)


def test_getters_return_fresh_copies(cls):
    model = cls(make_codewords(), 3)
    model.fit(make_codes())
    first = model.cluster_centers
    second = model.cluster_centers
    assert first is not second and first.flags["WRITEABLE"]
    first[:] = 255
    np.testing.assert_array_equal(second, model.cluster_centers)
    codewords = model.codewords
    codewords[:] = -1
    assert (model.codewords != -1).any()


@pytest.mark.parametrize(
    "codes, message",
    [
        (np.zeros((10, 3), dtype=np.uint8), "code dimensionality does not match codewords"),
        (np.zeros((2, 4), dtype=np.uint8), "number of rows must be at least k"),
        (np.zeros((0, 4), dtype=np.uint8), "number of rows must be at least k"),
        (np.zeros((10, 8), dtype=np.uint8)[:, ::2], "code matrix must be C-contiguous"),
        (np.zeros((10, 4), dtype=np.uint8)[::-1], "code matrix must be C-contiguous"),
        (np.full((10, 4), 8, dtype=np.uint8), "code values must be below codebook_size"),
    ],
)
def test_fit_errors(cls, codes, message):
    model = cls(make_codewords(ks=8), 3)
    with pytest.raises(ValueError) as raised:
        model.fit(codes)
    assert str(raised.value) == message
    assert model.labels.shape == (0,)


def test_codes_above_the_codebook_are_refused(cls):
    model = cls(make_codewords(ks=16), 2)
    with pytest.raises(ValueError, match=r"^PQ4 packing requires codebook_size <= 16$"):
        model.fit(np.full((4, 4), 16, dtype=np.uint8))
    model = cls(make_codewords(ks=8), 2)
    model.fit(make_codes(n=20, ks=8))
    with pytest.raises(ValueError, match="^code values must be below codebook_size$"):
        model.predict(np.full((3, 4), 200, dtype=np.uint8))
    assert model.predict(np.zeros((0, 4), dtype=np.uint8)).shape == (0,)


def test_early_stopping_after_five_constant_passes(cls):
    codes = make_codes(n=200, clusters=3)
    model = cls(make_codewords(), 3, iterations=20, early_stopping=True)
    model.fit(codes)
    history = model.inertia_history
    assert len(history) == 5
    assert history[2] == history[3] == history[4]
    short = cls(make_codewords(), 3, iterations=4, early_stopping=True)
    short.fit(codes)
    assert len(short.inertia_history) == 4


FIT_SCRIPT = """
import json, sys
import numpy as np
import tarvinex._tarvinex as t
data = np.load(sys.argv[1])
model = t._NativePQKMeans(data["codewords"], 3, iterations=5, verbose={verbose})
model.fit(data["codes"])
print(json.dumps(model.inertia_history.tolist()))
"""


def run_fit(verbose, **env):
    arrays = {"codewords": make_codewords(), "codes": make_codes()}
    return run_python(FIT_SCRIPT.format(verbose=verbose), env, arrays=arrays, with_stderr=True)


def test_verbose_lines_go_to_standard_error():
    history, lines = run_fit(True)
    assert lines == [f"iteration={i} inertia={value:.6f}" for i, value in enumerate(history)]
    _, quiet = run_fit(False)
    assert quiet == []


def test_profiling_line_when_the_variable_is_present():
    history, lines = run_fit(False, TARVINEX_PROFILE_CLUSTER="")
    assert len(lines) == 1
    fields = dict(item.split("=") for item in lines[0].split()[1:])
    assert lines[0].startswith("tarvinex_profile rows=300 k=3 iterations=")
    assert int(fields["iterations"]) == len(history)
    names = ["init_s", "assign_total_s", "assign_build_lookup_s", "assign_eval_s", "update_total_s",
             "update_counts_s", "update_vote_s", "update_reseed_s"]
    assert list(fields)[3:] == names
    assert all(float(fields[name]) >= 0 for name in names)
