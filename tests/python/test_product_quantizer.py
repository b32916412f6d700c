"""_NativeProductQuantizer: construction, training with and without weights and
a learned rotation, encoding and decoding against a NumPy brute force, the
properties, and the errors of every callable in their order."""

import numpy as np
import pytest

from helpers import run_python

CAST = "'ndarray' object cannot be cast as 'ndarray'"


@pytest.fixture(scope="module")
def cls(native):
    return native._NativeProductQuantizer


def separated_codewords(m=4, ks=16, ds=3, seed=0):
    """Codewords on a coarse integer grid, far apart in every subspace."""
    rng = np.random.default_rng(seed)
    grid = np.stack([rng.permutation(ks) * 10 for _ in range(m * ds)], axis=-1).reshape(ks, m, ds)
    return np.ascontiguousarray(grid.transpose(1, 0, 2)).astype(np.float32)


def rows_near(codewords, n=300, seed=1, noise=1.0):
    """Rows whose sub-vectors lie within `noise` of a drawn codeword: every
    nearest codeword wins by a wide margin. Returns (rows, their codes)."""
    m, ks, ds = codewords.shape
    rng = np.random.default_rng(seed)
    codes = rng.integers(0, ks, size=(n, m)).astype(np.uint8)
    rows = gather(codewords, codes) + rng.uniform(-noise, noise, size=(n, m * ds)).astype(np.float32)
    return rows.astype(np.float32), codes


def gather(codewords, codes):
    """(n, M*Ds): the codewords the codes name, side by side."""
    return np.concatenate([codewords[s][codes[:, s]] for s in range(codewords.shape[0])], axis=1)


def brute_force_codes(rows, codewords):
    """Per subspace, the first codeword of least squared distance, in float64."""
    m, ks, ds = codewords.shape
    rows = rows.astype(np.float64)
    codes = np.empty((rows.shape[0], m), dtype=np.uint8)
    for s in range(m):
        diff = rows[:, None, s * ds : (s + 1) * ds] - codewords[s][None].astype(np.float64)
        codes[:, s] = (diff * diff).sum(axis=2).argmin(axis=1)
    return codes


def orthogonal(d, seed=3):
    q, _ = np.linalg.qr(np.random.default_rng(seed).normal(size=(d, d)))
    return q.astype(np.float32)


def correlated(n=2000, d=16, seed=5):
    rng = np.random.default_rng(seed)
    mixing = rng.normal(size=(d, d)) * np.linspace(3.0, 0.1, d)[:, None]
    return (rng.normal(size=(n, d)) @ mixing).astype(np.float32)


def reconstruction_error(model, rows):
    return float(((model.decode(model.encode(rows)) - rows) ** 2).sum(axis=1).mean())


def test_new_quantizer_state(cls):
    model = cls(4)
    assert (model.num_subquantizers, model.codebook_size, model.iterations, model.seed, model.opq_iterations) == (
        4, 256, 20, 0, 0)
    assert model.rotation is None
    for read in [lambda: model.codewords, lambda: model.subdim, lambda: model.encode(np.zeros((2, 8), np.float32)),
                 lambda: model.decode(np.zeros((2, 4), np.uint8))]:
        with pytest.raises(ValueError, match="^product quantizer has not been fitted$"):
            read()
    given = cls(2, np.int64(16), iterations=True, seed=(1 << 64) - 1, opq_iterations=3)
    assert (given.codebook_size, given.iterations, given.seed, given.opq_iterations) == (16, 1, (1 << 64) - 1, 3)
    assert all(type(value) is int for value in (given.codebook_size, given.seed, given.opq_iterations))


@pytest.mark.parametrize(
    "args, kwargs, exception, message",
    [
        ((0,), {"codebook_size": 1}, ValueError, "num_subquantizers must be greater than zero"),
        ((2,), {"codebook_size": 1, "iterations": 0}, ValueError, "codebook_size must be in [2, 256]"),
        ((2,), {"codebook_size": 257}, ValueError, "codebook_size must be in [2, 256]"),
        ((2,), {"iterations": 0}, ValueError, "iterations must be greater than zero"),
        ((2,), {"opq_iterations": -1}, OverflowError, None),
        ((0,), {"seed": 1 << 64}, OverflowError, None),  # conversion before the engine's checks
        ((2.0,), {}, TypeError, "argument 'num_subquantizers': 'float' object cannot be interpreted as an integer"),
        (("2",), {"seed": -1}, TypeError,
         "argument 'num_subquantizers': 'str' object cannot be interpreted as an integer"),
        ((2,), {"codebook_size": None}, TypeError,
         "argument 'codebook_size': 'NoneType' object cannot be interpreted as an integer"),
        ((2,), {"iterations": 1.5, "seed": None}, TypeError,
         "argument 'iterations': 'float' object cannot be interpreted as an integer"),
        ((), {}, TypeError, "_NativeProductQuantizer.__new__() missing 1 required positional argument: "
                            "'num_subquantizers'"),
        ((1, 2, 3, 4, 5, 6), {}, TypeError,
         "_NativeProductQuantizer.__new__() takes from 1 to 5 positional arguments but 6 were given"),
        ((2,), {"num_subquantizers": 2}, TypeError,
         "_NativeProductQuantizer.__new__() got multiple values for argument 'num_subquantizers'"),
        ((2,), {"rotation": None}, TypeError,
         "_NativeProductQuantizer.__new__() got an unexpected keyword argument 'rotation'"),
    ],
)
def test_constructor_errors(cls, args, kwargs, exception, message):
    with pytest.raises(exception) as raised:
        cls(*args, **kwargs)
    assert type(raised.value) is exception
    if message is None:
        assert "argument" not in str(raised.value)
    else:
        assert str(raised.value) == message


def method_error_cases(cls):
    data = np.zeros((10, 4), np.float32)
    weights = np.ones(10, np.float32)
    codes = np.zeros((3, 2), np.uint8)
    codewords = separated_codewords(m=2, ks=4, ds=2)
    name = "_NativeProductQuantizer"
    return [
        # binding
        (lambda m: m.fit(), TypeError, f"{name}.fit() missing 1 required positional argument: 'data'"),
        (lambda m: m.fit(data, data), TypeError, f"{name}.fit() takes 1 positional arguments but 2 were given"),
        (lambda m: m.fit(data, data=data), TypeError, f"{name}.fit() got multiple values for argument 'data'"),
        (lambda m: m.fit_weighted(), TypeError,
         f"{name}.fit_weighted() missing 2 required positional arguments: 'data' and 'sample_weight'"),
        (lambda m: m.fit_weighted(data), TypeError,
         f"{name}.fit_weighted() missing 1 required positional argument: 'sample_weight'"),
        (lambda m: m.fit_weighted(data, weights, weights), TypeError,
         f"{name}.fit_weighted() takes 2 positional arguments but 3 were given"),
        (lambda m: m.encode(data=data, codes=codes), TypeError,
         f"{name}.encode() got an unexpected keyword argument 'codes'"),
        (lambda m: m.decode(), TypeError, f"{name}.decode() missing 1 required positional argument: 'codes'"),
        (lambda m: cls.from_codewords(), TypeError,
         f"{name}.from_codewords() missing 1 required positional argument: 'codewords'"),
        (lambda m: cls.from_codewords(*range(6)), TypeError,
         f"{name}.from_codewords() takes from 1 to 5 positional arguments but 6 were given"),
        # conversion, in parameter order
        (lambda m: m.fit(data.astype(np.float64)), TypeError, f"argument 'data': {CAST}"),
        (lambda m: m.fit([[1.0, 2.0]]), TypeError, "argument 'data': 'list' object cannot be cast as 'ndarray'"),
        (lambda m: m.encode(data.astype(">f4")), TypeError, f"argument 'data': {CAST}"),
        (lambda m: m.encode(data[0]), TypeError, f"argument 'data': {CAST}"),
        (lambda m: m.decode(codes.astype(np.int64)), TypeError, f"argument 'codes': {CAST}"),
        (lambda m: m.decode(None), TypeError, "argument 'codes': 'NoneType' object cannot be cast as 'ndarray'"),
        (lambda m: m.fit_weighted(data, weights.astype(np.float64)), TypeError, f"argument 'sample_weight': {CAST}"),
        (lambda m: m.fit_weighted(data, weights[None]), TypeError, f"argument 'sample_weight': {CAST}"),
        (lambda m: m.fit_weighted(data[0], weights.astype(np.float64)), TypeError, f"argument 'data': {CAST}"),
        (lambda m: cls.from_codewords(codewords[0], rotation=[[1.0]]), TypeError, f"argument 'codewords': {CAST}"),
        (lambda m: cls.from_codewords(codewords, rotation=[[1.0]], seed=-1), TypeError,
         "argument 'rotation': 'list' object cannot be cast as 'ndarray'"),
        (lambda m: cls.from_codewords(codewords, np.eye(4), seed=-1), TypeError, f"argument 'rotation': {CAST}"),
        (lambda m: cls.from_codewords(codewords, iterations=None), TypeError,
         "argument 'iterations': 'NoneType' object cannot be interpreted as an integer"),
        (lambda m: cls.from_codewords(codewords, seed=-1), OverflowError, None),
        (lambda m: cls.from_codewords(codewords, opq_iterations=1 << 64), OverflowError, None),
        # the engine's checks, in its order
        (lambda m: m.fit(np.zeros((4, 3), np.float32)), ValueError,
         "training data must contain more rows than the codebook size"),
        (lambda m: m.fit(np.zeros((10, 3), np.float32)), ValueError,
         "input dimensionality must be divisible by num_subquantizers"),
        (lambda m: m.fit_weighted(np.zeros((4, 3), np.float32), np.ones(3, np.float32)), ValueError,
         "sample_weight length must match the number of training rows"),
        (lambda m: m.fit_weighted(data, np.full(10, -1.0, np.float32)), ValueError,
         "sample_weight values must be finite and non-negative"),
        (lambda m: m.fit_weighted(data, np.full(10, np.nan, np.float32)), ValueError,
         "sample_weight values must be finite and non-negative"),
        (lambda m: m.fit_weighted(data, np.zeros(10, np.float32)), ValueError,
         "sample_weight must contain at least one positive value"),
        (lambda m: m.fit_weighted(np.zeros((4, 4), np.float32), np.ones(4, np.float32)), ValueError,
         "training data must contain more rows than the codebook size"),
        (lambda m: m.encode(np.zeros((3, 6), np.float32)), ValueError,
         "input dimensionality does not match trained codewords"),
        (lambda m: m.encode(np.zeros((3, 8), np.float32)[:, ::2]), ValueError, "input matrix must be C-contiguous"),
        (lambda m: m.decode(np.zeros((3, 3), np.uint8)), ValueError,
         "code dimensionality does not match trained codewords"),
        (lambda m: m.decode(np.zeros((3, 2), np.uint8)[::-1]), ValueError, "code matrix must be C-contiguous"),
        (lambda m: m.decode(np.full((3, 2), 4, np.uint8)), ValueError, "code values must be below codebook_size"),
        (lambda m: m.decode(np.full((3, 2), 255, np.uint8)), ValueError, "code values must be below codebook_size"),
        (lambda m: cls.from_codewords(np.zeros((2, 0, 2), np.float32)), ValueError,
         "codewords must have shape (M, Ks, Ds)"),
        (lambda m: cls.from_codewords(np.zeros((1, 257, 1), np.float32)), ValueError,
         "codebook_size above 256 is not supported"),
        (lambda m: cls.from_codewords(codewords, np.eye(3, dtype=np.float32)), ValueError,
         "rotation must be square and match the original dimensionality"),
        (lambda m: cls.from_codewords(codewords, np.eye(4, 5, dtype=np.float32)), ValueError,
         "rotation must be square and match the original dimensionality"),
    ]


def test_method_errors_in_order_and_the_quantizer_stays_usable(cls):
    codewords = separated_codewords(m=2, ks=4, ds=2)
    rows, codes = rows_near(codewords, n=40)
    for call, exception, message in method_error_cases(cls):
        model = cls.from_codewords(codewords)
        with pytest.raises(exception) as raised:
            call(model)
        assert type(raised.value) is exception, message
        if message is None:
            assert "argument" not in str(raised.value)
        else:
            assert str(raised.value) == message
        # Nothing changed, and every borrow was released: a shared and an
        # exclusive call both go through.
        np.testing.assert_array_equal(model.codewords, codewords)
        np.testing.assert_array_equal(model.encode(rows), codes)
        model.fit(rows)


@pytest.mark.parametrize("rotated", [False, True])
@pytest.mark.parametrize("layout", ["C", "F"])
def test_encode_is_the_nearest_codeword_and_decode_gathers_it(cls, rotated, layout):
    codewords = separated_codewords()
    near, expected = rows_near(codewords)
    rotation = orthogonal(12) if rotated else None
    # Rows whose rotation x*R lies near the drawn codewords.
    rows = (near @ rotation.T).astype(np.float32) if rotated else near
    rows = np.asfortranarray(rows) if layout == "F" else rows
    model = cls.from_codewords(codewords, rotation)
    if layout == "F" and not rotated:
        with pytest.raises(ValueError, match="^input matrix must be C-contiguous$"):
            model.encode(rows)
        return
    codes = model.encode(rows)
    assert codes.dtype == np.uint8 and codes.shape == (300, 4) and codes.flags["C_CONTIGUOUS"]
    reference_rows = rows.astype(np.float64) @ rotation if rotated else rows
    np.testing.assert_array_equal(codes, brute_force_codes(reference_rows, codewords))
    np.testing.assert_array_equal(codes, expected)

    decoded = model.decode(codes)
    assert decoded.dtype == np.float32 and decoded.shape == (300, 12) and decoded.flags["C_CONTIGUOUS"]
    if rotated:
        np.testing.assert_allclose(decoded, gather(codewords, codes) @ rotation.T, atol=1e-4)
    else:
        np.testing.assert_array_equal(decoded, gather(codewords, codes))


def test_trained_codes_are_the_brute_force_argmin(cls):
    codewords = separated_codewords(m=3, ks=8, ds=2)
    rows, _ = rows_near(codewords, n=600, noise=3.0)
    for opq_iterations in [0, 3]:
        model = cls(3, 8, iterations=10, seed=4, opq_iterations=opq_iterations)
        model.fit(rows)
        rotation = model.rotation
        assert (rotation is None) == (opq_iterations == 0)
        projected = rows.astype(np.float64) @ rotation if rotation is not None else rows.astype(np.float64)
        learned = model.codewords
        # Only rows whose nearest codeword wins clearly: a float32 rotation may
        # flip a near tie.
        m, ks, ds = learned.shape
        gaps = []
        for s in range(m):
            diff = projected[:, None, s * ds : (s + 1) * ds] - learned[s][None]
            distances = np.sort((diff * diff).sum(axis=2), axis=1)
            gaps.append(distances[:, 1] - distances[:, 0])
        clear = np.min(gaps, axis=0) > 1e-3
        assert clear.mean() > 0.9
        codes = model.encode(rows)
        np.testing.assert_array_equal(codes[clear], brute_force_codes(projected, learned)[clear])


def test_empty_inputs(cls):
    model = cls.from_codewords(separated_codewords(m=2, ks=4, ds=3))
    codes = model.encode(np.zeros((0, 6), np.float32))
    assert codes.dtype == np.uint8 and codes.shape == (0, 2)
    rows = model.decode(np.zeros((0, 2), np.uint8))
    assert rows.dtype == np.float32 and rows.shape == (0, 6)


@pytest.mark.parametrize("opq_iterations", [0, 2])
def test_weights_all_two_train_like_no_weights(cls, opq_iterations):
    rows = correlated(n=500, d=8)
    plain = cls(2, 16, iterations=6, seed=7, opq_iterations=opq_iterations)
    plain.fit(rows)
    weighted = cls(2, 16, iterations=6, seed=7, opq_iterations=opq_iterations)
    weighted.fit_weighted(rows, sample_weight=np.full(500, 2.0, np.float32))
    np.testing.assert_array_equal(weighted.codewords, plain.codewords)
    if opq_iterations:
        np.testing.assert_array_equal(weighted.rotation, plain.rotation)
    assert weighted.subdim == plain.subdim == 4


def test_weights_move_the_codewords_to_weighted_means(cls):
    # Two groups far apart, each of rows at two values; weight 3 on the higher.
    rows = np.repeat(np.array([0, 1, 10, 11], np.float32), 50)[:, None]
    weights = np.tile(np.repeat(np.array([1, 3], np.float32), 50), 2)
    model = cls(1, 2, iterations=5)
    model.fit_weighted(rows, weights)
    np.testing.assert_array_equal(np.sort(model.codewords.ravel()), [0.75, 10.75])
    model.fit(rows)
    np.testing.assert_array_equal(np.sort(model.codewords.ravel()), [0.5, 10.5])


def test_learned_rotation_lowers_the_error_and_a_later_plain_fit_drops_it(cls):
    rows = correlated()
    plain = cls(4, 16, iterations=10, seed=1)
    plain.fit(rows)
    learned = cls(4, 16, iterations=10, seed=1, opq_iterations=5)
    learned.fit(rows)
    rotation = learned.rotation
    assert rotation.dtype == np.float32 and rotation.shape == (16, 16)
    np.testing.assert_allclose(rotation.T @ rotation, np.eye(16), atol=1e-5)
    assert reconstruction_error(learned, rows) < reconstruction_error(plain, rows)

    # Built from the learned codebooks and rotation, it encodes the same; a
    # fit without a learned rotation then replaces both.
    rebuilt = cls.from_codewords(learned.codewords, rotation, iterations=10, seed=1)
    np.testing.assert_array_equal(rebuilt.encode(rows), learned.encode(rows))
    rebuilt.fit(rows)
    assert rebuilt.rotation is None
    np.testing.assert_array_equal(rebuilt.codewords, plain.codewords)


def test_from_codewords_keeps_the_layout_and_properties_are_fresh_copies(cls):
    base = separated_codewords(m=2, ks=4, ds=3)
    codewords = np.asfortranarray(base)
    rotation = orthogonal(6)[::-1, ::-1]
    model = cls.from_codewords(codewords, rotation=rotation, iterations=3, seed=9, opq_iterations=2)
    assert (model.num_subquantizers, model.codebook_size, model.subdim) == (2, 4, 3)
    assert (model.iterations, model.seed, model.opq_iterations) == (3, 9, 2)
    for read, given in [(lambda: model.codewords, codewords), (lambda: model.rotation, rotation)]:
        first, second = read(), read()
        assert first is not second and first.flags["WRITEABLE"] and type(first) is np.ndarray
        assert first.strides == given.strides
        np.testing.assert_array_equal(first, given)
        first[...] = 0
        np.testing.assert_array_equal(read(), given)
    # The caller's arrays were copied.
    codewords[...] = 0
    np.testing.assert_array_equal(model.codewords, base)
    # The engine wants C-ordered codebooks to encode and decode.
    for call in [lambda: model.encode(np.zeros((2, 6), np.float32)), lambda: model.decode(np.zeros((2, 2), np.uint8))]:
        with pytest.raises(ValueError, match="^codewords are not contiguous$"):
            call()


def test_from_codewords_on_an_instance_is_a_new_quantizer(cls):
    original = cls(3, 8, seed=5)
    made = original.from_codewords(separated_codewords(m=2, ks=4, ds=1))
    assert type(made) is cls and made is not original
    assert (made.num_subquantizers, made.codebook_size, made.rotation) == (2, 4, None)
    assert (original.num_subquantizers, original.codebook_size, original.seed) == (3, 8, 5)
    with pytest.raises(ValueError, match="^product quantizer has not been fitted$"):
        original.codewords


def test_signatures_and_read_only_properties(cls):
    assert cls.__text_signature__ == "(num_subquantizers, codebook_size=256, iterations=20, seed=0, opq_iterations=0)"
    assert cls.from_codewords.__text_signature__ == "(codewords, rotation=None, iterations=20, seed=0, opq_iterations=0)"
    assert [getattr(cls, name).__text_signature__ for name in ["fit", "fit_weighted", "encode", "decode"]] == [
        "($self, data)", "($self, data, sample_weight)", "($self, data)", "($self, codes)"]
    model = cls(2)
    for name in ["codewords", "num_subquantizers", "codebook_size", "iterations", "seed", "opq_iterations", "subdim",
                 "rotation"]:
        with pytest.raises(AttributeError):
            setattr(model, name, 1)
    with pytest.raises(AttributeError):
        model.extra = 1
    with pytest.raises(TypeError):
        type("Sub", (cls,), {})


# One witness row: +inf in subspace 0, where codeword 0 is negative and
# codeword 1 the only positive one. Every distance is +inf, so the standard
# encoder keeps codeword 0; the transposed score |c|² − 2·x·c is −inf for
# codeword 1 alone. 2048 rows of 2 subquantizers and 64 codewords meet the size
# rule exactly.
ENCODE_SCRIPT = """
import json, sys
import numpy as np
import tarvinex._tarvinex as t
rows = {rows}
codewords = np.zeros((2, 64, 1), np.float32)
codewords[0, :, 0] = -np.arange(1, 65, dtype=np.float32)
codewords[0, 1, 0] = 1.0
data = np.zeros((rows, 2), np.float32)
data[0, 0] = np.inf
print(json.dumps(int(t._NativeProductQuantizer.from_codewords(codewords).encode(data)[0, 0])))
"""


@pytest.mark.parametrize(
    "env, rows, witness",
    [
        ({}, 2048, 1),
        ({}, 2047, 0),
        ({"TARVINEX_PQ_ENCODE": ""}, 2048, 1),
        ({"TARVINEX_PQ_ENCODE": "Adaptive"}, 2047, 0),
        ({"TARVINEX_PQ_ENCODE": "auto"}, 2048, 1),
        ({"TARVINEX_PQ_ENCODE": "faiss"}, 2047, 1),
        ({"TARVINEX_PQ_ENCODE": "Trans-posed"}, 2047, 1),
        ({"TARVINEX_PQ_ENCODE": "transpose"}, 2047, 1),
        ({"TARVINEX_PQ_ENCODE": "standard"}, 2048, 0),
        ({"TARVINEX_PQ_ENCODE": "anything"}, 2048, 0),
        ({"TARVINEX_PQ_ENCODE_TRANSPOSED": "transposed"}, 2047, 1),
        ({"TARVINEX_PQ_ENCODE_TRANSPOSED": "off"}, 2048, 0),
        ({"TARVINEX_PQ_ENCODE": "standard", "TARVINEX_PQ_ENCODE_TRANSPOSED": "transposed"}, 2047, 0),
    ],
)
def test_encoder_setting_words(env, rows, witness):
    assert run_python(ENCODE_SCRIPT.format(rows=rows), env) == witness
