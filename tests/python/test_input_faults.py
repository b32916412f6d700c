"""Hostile input across the three classes: non-finite training data and
codebooks are refused before any work with the model unchanged, Ctrl-C ends a
long call within a pass, sizes no container can hold are MemoryError,
rotations must be orthogonal, extreme weights keep their means, and misaligned
float32 arrays give the results of an aligned copy."""

import json
import os
import signal
import subprocess
import sys
import time

import numpy as np
import pytest

BAD_VALUES = {"nan": np.nan, "+inf": np.inf, "-inf": -np.inf}


def poisoned(array, value, where):
    """A copy of `array` with `value` at its first row, its last row, or one
    element inside (for a codebook: its first or last codeword)."""
    out = array.copy()
    if where == "first row":
        out[(0,) * (out.ndim - 1)] = value
    elif where == "last row":
        out[(-1,) * (out.ndim - 1)] = value
    else:
        out[tuple(size // 2 for size in out.shape)] = value
    return out


def model_state(model):
    """Every array a model shows, with NaN compared as itself; None where the
    model has none yet."""
    state = {}
    for name in ("codewords", "rotation", "cluster_centers", "dense_cluster_centers", "labels", "inertia_history"):
        try:
            value = getattr(model, name)
        except (AttributeError, ValueError):
            value = None
        state[name] = None if value is None else np.asarray(value).copy()
    return state


def assert_same_state(before, after):
    assert before.keys() == after.keys()
    for name, value in before.items():
        if value is None:
            assert after[name] is None, name
        else:
            np.testing.assert_array_equal(after[name], value, err_msg=name)


@pytest.fixture(scope="module")
def data():
    rng = np.random.default_rng(7)
    vectors = rng.normal(size=(240, 8)).astype(np.float32)
    quantizer_codewords = rng.normal(size=(2, 16, 4)).astype(np.float32)
    codes = rng.integers(0, 16, size=(240, 2), dtype=np.uint8)
    return vectors, quantizer_codewords, codes


def fitted_models(native, data):
    """One fitted model of each class, as a later failed fit must leave it."""
    vectors, codewords, codes = data
    quantizer = native._NativeProductQuantizer(2, 16, iterations=3)
    quantizer.fit(vectors)
    rotated = native._NativeProductQuantizer(2, 16, iterations=2, opq_iterations=1)
    rotated.fit(vectors)
    dense = native._NativeDenseKMeans(4, iterations=3)
    dense.fit(vectors)
    hybrid = native._NativePQKMeans(codewords, 4, iterations=3)
    hybrid.fit_hybrid(codes, vectors, 2)
    return quantizer, rotated, dense, hybrid


# (name, class under test, the call given the poisoned array, the text). The
# trainers are called on fitted models, which must keep what they hold.
TRAINING_CALLS = [
    ("pq fit", 0, lambda m, x, d: m.fit(x), "training data must be finite"),
    ("pq fit_weighted", 0, lambda m, x, d: m.fit_weighted(x, np.ones(len(x), np.float32)),
     "training data must be finite"),
    ("opq fit", 1, lambda m, x, d: m.fit(x), "training data must be finite"),
    ("dense fit", 2, lambda m, x, d: m.fit(x), "input data must be finite"),
    ("dense fit_predict", 2, lambda m, x, d: m.fit_predict(x), "input data must be finite"),
    ("fit_hybrid", 3, lambda m, x, d: m.fit_hybrid(d[2], x, 2), "input vectors must be finite"),
    ("fit_predict_hybrid", 3, lambda m, x, d: m.fit_predict_hybrid(d[2], x, 2), "input vectors must be finite"),
]


@pytest.mark.parametrize("where", ["first row", "last row", "one value"])
@pytest.mark.parametrize("value", list(BAD_VALUES), ids=list(BAD_VALUES))
def test_non_finite_training_data_is_refused_and_the_model_kept(native, data, value, where):
    models = fitted_models(native, data)
    bad = poisoned(data[0], BAD_VALUES[value], where)
    for name, which, call, text in TRAINING_CALLS:
        model = models[which]
        before = model_state(model)
        with pytest.raises(ValueError) as raised:
            call(model, bad, data)
        assert str(raised.value) == text, name
        assert_same_state(before, model_state(model))


@pytest.mark.parametrize("where", ["first row", "last row", "one value"])
@pytest.mark.parametrize("value", list(BAD_VALUES), ids=list(BAD_VALUES))
def test_non_finite_codewords_are_refused(native, data, value, where):
    bad = poisoned(data[1], BAD_VALUES[value], where)
    calls = [
        lambda: native._NativePQKMeans(bad, 4),
        lambda: native._NativePQKMeans.analyze_k_candidates(bad, data[2], [2, 3]),
        lambda: native._NativeProductQuantizer.from_codewords(bad),
    ]
    for call in calls:
        with pytest.raises(ValueError, match="^codewords must be finite$"):
            call()


def test_predictions_still_take_non_finite_rows(native, data):
    # Prediction changes no model, so non-finite rows keep the rules they had.
    vectors, codewords, codes = data
    dense = native._NativeDenseKMeans(4, iterations=3)
    dense.fit(vectors)
    bad = poisoned(vectors, np.nan, "one value")
    assert dense.predict(bad).shape == (len(vectors),)
    model = native._NativePQKMeans(codewords, 4, iterations=3)
    model.fit_hybrid(codes, vectors, 2)
    assert model.predict_hybrid(codes, bad, 2).shape == (len(vectors),)


def test_a_rotation_training_that_overflows_fails_instead_of_hanging(native):
    # Every row is finite, but their products overflow float32 on the way to
    # the decomposition.
    rows = np.random.default_rng(3).normal(size=(300, 8)).astype(np.float32) * np.float32(3e37)
    model = native._NativeProductQuantizer(2, 4, iterations=2, opq_iterations=1)
    with pytest.raises(ValueError, match="not finite"):
        model.fit(rows)
    with pytest.raises(ValueError, match="not been fitted"):
        model.codewords


# --- Ctrl-C -----------------------------------------------------------------

INTERRUPT_PRELUDE = """
import json, signal, sys, time
import numpy as np
import tarvinex._tarvinex as native
# A shell may start this process with SIGINT ignored; Python then installs no
# handler of its own.
signal.signal(signal.SIGINT, signal.default_int_handler)
rng = np.random.default_rng(0)
vectors = rng.normal(size=(3000, 8)).astype(np.float32)
codewords = rng.normal(size=(2, 16, 4)).astype(np.float32)
codes = rng.integers(0, 16, size=(3000, 2), dtype=np.uint8)
FOREVER = 2**64 - 1
"""

INTERRUPT_REPORT = """
def state(model):
    out = {}
    for name in ("codewords", "rotation", "cluster_centers", "dense_cluster_centers", "labels", "inertia_history"):
        try:
            value = getattr(model, name)
        except (AttributeError, ValueError):
            continue
        out[name] = None if value is None else np.asarray(value, dtype=np.float64).tolist()
    return out

before = state(model)
print("ready", flush=True)
try:
    call()
    outcome = "returned"
except KeyboardInterrupt:
    outcome = "interrupted"
print(json.dumps({"outcome": outcome, "unchanged": state(model) == before}), flush=True)
"""

# Fits that cannot end by themselves: no early stop, 2^64 - 1 passes or steps.
INTERRUPTED_CALLS = {
    "pq kmeans fit": """
model = native._NativePQKMeans(codewords, 8, iterations=FOREVER)
model.set_cluster_centers(codes[:8].copy())
call = lambda: model.fit(codes)
""",
    "dense fit": """
model = native._NativeDenseKMeans(8, iterations=FOREVER)
model.set_cluster_centers(vectors[:8].copy())
call = lambda: model.fit(vectors)
""",
    "opq fit": """
model = native._NativeProductQuantizer.from_codewords(codewords, iterations=2, opq_iterations=FOREVER)
call = lambda: model.fit(vectors)
""",
    "analysis": """
model = None
call = lambda: native._NativePQKMeans.analyze_k_candidates(codewords, codes, [2, 3, 4, 5], iterations=FOREVER)
""",
}


@pytest.mark.parametrize("name", list(INTERRUPTED_CALLS))
def test_ctrl_c_ends_a_long_call_and_keeps_the_model(name):
    code = INTERRUPT_PRELUDE + INTERRUPTED_CALLS[name] + INTERRUPT_REPORT
    environment = {key: value for key, value in os.environ.items() if not key.startswith("TARVINEX_")}
    child = subprocess.Popen([sys.executable, "-c", code], env=environment, stdout=subprocess.PIPE,
                             stderr=subprocess.PIPE, text=True)
    try:
        assert child.stdout.readline().strip() == "ready", child.stderr.read()
        time.sleep(0.5)  # well inside the call
        child.send_signal(signal.SIGINT)
        sent = time.monotonic()
        out, err = child.communicate(timeout=60)
        waited = time.monotonic() - sent
    finally:
        if child.poll() is None:
            child.kill()
            child.communicate()
    assert child.returncode == 0, err
    report = json.loads(out)
    assert report == {"outcome": "interrupted", "unchanged": True}
    assert waited < 30


# --- sizes ------------------------------------------------------------------


def huge_rows(dtype, columns):
    """2^60 rows that all share one row of memory."""
    return np.broadcast_to(np.zeros((1, columns), dtype), (2**60, columns))


def test_sizes_too_large_to_hold_are_memory_error(native, data):
    vectors, codewords, codes = data
    fitted = native._NativeDenseKMeans(2, iterations=2)
    fitted.fit(vectors[:, :1].copy())
    calls = [
        lambda: native._NativeDenseKMeans(2).fit(huge_rows(np.float32, 1)),
        lambda: fitted.predict(huge_rows(np.float32, 1)),
        lambda: native._NativePQKMeans.analyze_k_candidates(codewords, huge_rows(np.uint8, 2), [2], sample_rows=0),
        lambda: native._NativeProductQuantizer(2**64 - 1, 4).fit(np.zeros((10, 0), np.float32)),
    ]
    for call in calls:
        with pytest.raises(MemoryError):
            call()
    # The process goes on as before.
    assert fitted.predict(vectors[:5, :1].copy()).shape == (5,)


# --- rotations --------------------------------------------------------------


def rotations(d=8, seed=11):
    rng = np.random.default_rng(seed)
    q, _ = np.linalg.qr(rng.normal(size=(d, d)))
    shear = np.eye(d)
    shear[0, 1] = 0.5
    nan = np.eye(d)
    nan[2, 5] = np.nan
    return {
        "orthogonal": (q, True),
        "permutation": (np.eye(d)[rng.permutation(d)], True),
        "reflection": (np.diag([1.0, -1.0] * (d // 2)), True),
        "orthogonal, column-major": (np.asfortranarray(q), True),
        "scaled": (q @ np.diag(np.linspace(0.5, 2.0, d)), False),
        "sheared": (q @ shear, False),
        "slightly off": (q * (1 + 2e-3), False),
        "nan entry": (nan, False),
    }


@pytest.mark.parametrize("name", list(rotations()))
def test_rotations_must_be_orthogonal(native, data, name):
    rotation, accepted = rotations()[name]
    rotation = rotation.astype(np.float32)
    codewords = data[1]
    builders = [
        lambda: native._NativePQKMeans(codewords, 4, rotation=rotation),
        lambda: native._NativeProductQuantizer.from_codewords(codewords, rotation=rotation),
    ]
    for build in builders:
        if accepted:
            build()
        else:
            with pytest.raises(ValueError, match="^rotation must be orthogonal$"):
                build()


def test_a_learned_rotation_is_accepted_and_round_trips(native, data):
    vectors, _, _ = data
    quantizer = native._NativeProductQuantizer(2, 16, iterations=3, opq_iterations=2)
    quantizer.fit(vectors)
    model = native._NativePQKMeans(quantizer.codewords, 5, iterations=4, rotation=quantizer.rotation)
    codes = quantizer.encode(vectors)
    model.fit_adc(codes)
    np.testing.assert_array_equal(model.predict_adc(codes), model.labels)


# --- weights ----------------------------------------------------------------


def weighted_means(rows, weights, codes, ks):
    """float64 weighted mean of the rows of each code."""
    rows = rows.astype(np.float64)
    weights = weights.astype(np.float64)
    return np.array([(rows[codes == c] * weights[codes == c, None]).sum(0) / weights[codes == c].sum()
                     for c in range(ks)])


def four_groups(seed=2):
    rng = np.random.default_rng(seed)
    return np.concatenate([rng.normal(centre, 0.05, 100) for centre in (0.0, 10.0, 20.0, 30.0)]).astype(np.float32)


@pytest.mark.parametrize("case", ["huge and tiny weights", "one weight of 1e38"])
def test_extreme_weights_keep_their_weighted_means(native, case):
    rows = four_groups()[:, None]
    if case == "huge and tiny weights":
        weights = np.concatenate([np.full(100, 2e36), np.full(300, 1e-27)]).astype(np.float32)
    else:
        weights = np.ones(400, np.float32)
        weights[150] = 1e38
    model = native._NativeProductQuantizer(1, 4, iterations=10)
    model.fit_weighted(rows, weights)
    codewords = model.codewords[0, :, 0]
    assert np.all(np.isfinite(codewords))
    codes = model.encode(rows)[:, 0]
    np.testing.assert_allclose(codewords, weighted_means(rows, weights, codes, 4)[:, 0], rtol=1e-5, atol=1e-5)
    np.testing.assert_allclose(np.sort(codewords), [0.0, 10.0, 20.0, 30.0], atol=0.2)


def test_weights_scaled_by_a_power_of_two_give_the_same_codewords(native):
    # Whether or not the library rescales, a power of two changes no bit.
    rows = np.random.default_rng(4).normal(size=(500, 8)).astype(np.float32) * 30
    weights = np.random.default_rng(5).uniform(0.1, 10.0, 500).astype(np.float32)
    trained = []
    for scale in (1.0, 2.0**-60, 2.0**110):
        model = native._NativeProductQuantizer(2, 8, iterations=6)
        model.fit_weighted(rows, (weights * np.float32(scale)).astype(np.float32))
        trained.append(model.codewords)
    for codewords in trained[1:]:
        np.testing.assert_array_equal(codewords, trained[0])


# --- misaligned arrays ------------------------------------------------------


def misaligned(array):
    """The same values starting one byte past an aligned address."""
    buffer = bytearray(array.nbytes + 1)
    out = np.frombuffer(buffer, array.dtype, count=array.size, offset=1).reshape(array.shape)
    out[...] = array
    assert out.ctypes.data % array.itemsize != 0
    return out


def field_of_records(array, offset):
    """The same values as the field at byte `offset` of 8-byte records: strided,
    and misaligned unless the offset is 4."""
    fields = {"names": ["value"], "formats": ["<f4"], "offsets": [offset], "itemsize": 8}
    records = np.zeros(array.shape, dtype=np.dtype(fields))
    records["value"] = array
    return records["value"]


def outcome(call):
    """What a call returns, or the ValueError it raises, as (kind, text)."""
    try:
        return call()
    except ValueError as error:
        return ("ValueError", str(error))


# Each class's float inputs, laid out by `arrange`; every result the calls give.
def quantizer_results(native, arrange, data):
    vectors, _, _ = data
    weights = np.random.default_rng(6).uniform(0.5, 2.0, len(vectors)).astype(np.float32)
    model = native._NativeProductQuantizer(2, 16, iterations=3)
    model.fit_weighted(arrange(vectors), arrange(weights))
    return [model.codewords, outcome(lambda: model.encode(arrange(vectors)))]


def dense_results(native, arrange, data):
    vectors, _, _ = data
    model = native._NativeDenseKMeans(4, iterations=3)
    labels = model.fit_predict(arrange(vectors))
    return [labels, model.cluster_centers, model.predict(arrange(vectors))]


def pq_kmeans_results(native, arrange, data):
    vectors, codewords, codes = data
    rotation = np.linalg.qr(np.random.default_rng(8).normal(size=(8, 8)))[0].astype(np.float32)
    model = native._NativePQKMeans(arrange(codewords), 4, iterations=3, rotation=arrange(rotation))
    return [model.codewords, outcome(lambda: model.fit_predict_hybrid(codes, arrange(vectors), 2))]


@pytest.mark.parametrize("results", [quantizer_results, dense_results, pq_kmeans_results])
def test_misaligned_float_arrays_read_like_aligned_copies(native, data, results):
    # A misaligned start is compared with the same layout aligned: contiguous,
    # and a field of 8-byte records at byte 1 against one at byte 4.
    layouts = [(misaligned, lambda a: a), (lambda a: field_of_records(a, 1), lambda a: field_of_records(a, 4))]
    for arrange, aligned in layouts:
        for got, expected in zip(results(native, arrange, data), results(native, aligned, data), strict=True):
            if isinstance(expected, tuple):
                assert got == expected
            else:
                np.testing.assert_array_equal(got, expected)
