"""The argument and result rules every callable follows, exercised through
_NativePQKMeans (and the test-only hooks for the list of integers)."""

import warnings

import numpy as np
import pytest

from helpers import make_codes, make_codewords


@pytest.fixture(scope="module")
def cls(native):
    return native._NativePQKMeans


@pytest.fixture
def model(cls):
    return cls(make_codewords(), 3)


def type_error_text(call):
    with pytest.raises(TypeError) as raised:
        call()
    assert type(raised.value) is TypeError
    return str(raised.value)


def test_binding_errors(cls, model):
    codes = make_codes()
    cases = [
        (lambda: model.fit(), "_NativePQKMeans.fit() missing 1 required positional argument: 'codes'"),
        (lambda: model.fit(codes, codes=codes), "_NativePQKMeans.fit() got multiple values for argument 'codes'"),
        (lambda: model.fit(codes, extra=1), "_NativePQKMeans.fit() got an unexpected keyword argument 'extra'"),
        (lambda: model.fit(codes, codes), "_NativePQKMeans.fit() takes 1 positional arguments but 2 were given"),
        (lambda: cls(), "_NativePQKMeans.__new__() missing 2 required positional arguments: 'codewords' and 'k'"),
        (lambda: cls(*range(11)), "_NativePQKMeans.__new__() takes from 2 to 10 positional arguments but 11 were given"),
        (lambda: cls(k=3), "_NativePQKMeans.__new__() missing 1 required positional argument: 'codewords'"),
    ]
    for call, message in cases:
        assert type_error_text(call) == message
    model.fit(codes=codes)  # keywords bind like positions


def test_array_acceptance(cls, model):
    cast = "'ndarray' object cannot be cast as 'ndarray'"
    cases = [
        (lambda: model.fit(np.zeros((2, 2, 2), dtype=np.uint8)), f"argument 'codes': {cast}"),
        (lambda: model.fit(np.zeros((4, 4), dtype=np.int64)), f"argument 'codes': {cast}"),
        (lambda: model.fit([[1, 2, 3, 4]]), "argument 'codes': 'list' object cannot be cast as 'ndarray'"),
        (lambda: model.predict(None), "argument 'codes': 'NoneType' object cannot be cast as 'ndarray'"),
        (lambda: cls(make_codewords().astype(np.float64), "not even an int"), f"argument 'codewords': {cast}"),
        (lambda: cls(make_codewords().astype(">f4"), 3), f"argument 'codewords': {cast}"),
        # Strides that are not whole elements cannot be walked in elements:
        # refused, never misread. A misaligned start alone is read through a copy.
        (lambda: cls(np.zeros((2, 4, 2), dtype=[("a", "u1"), ("b", "<f4")])["b"], 1),
         f"argument 'codewords': {cast}"),
    ]
    for call, message in cases:
        assert type_error_text(call) == message
    # Byte order does not matter for codes; a subclass of ndarray is an ndarray.
    model.fit(make_codes().astype(">u1"))
    model.fit(make_codes().view(type("CodesSubclass", (np.ndarray,), {})))


@pytest.mark.parametrize(
    "kwargs, exception, message",
    [
        ({"iterations": None}, TypeError,
         "argument 'iterations': 'NoneType' object cannot be interpreted as an integer"),
        ({"k": 8.0}, TypeError, "argument 'k': 'float' object cannot be interpreted as an integer"),
        ({"seed": -1}, OverflowError, None),
        ({"seed": 1 << 64}, OverflowError, None),
        ({"verbose": 1}, TypeError, "argument 'verbose': 'int' object cannot be cast as 'bool'"),
        ({"spherical": None}, TypeError, "argument 'spherical': 'NoneType' object cannot be cast as 'bool'"),
        ({"init": 5}, TypeError, "argument 'init': 'int' object cannot be cast as 'str'"),
        ({"init": "\ud800"}, UnicodeEncodeError, None),
        ({"rotation": [[1.0]]}, TypeError, "argument 'rotation': 'list' object cannot be cast as 'ndarray'"),
    ],
)
def test_scalar_conversion_errors(cls, kwargs, exception, message):
    arguments = {"codewords": make_codewords(), "k": 3, **kwargs}
    with pytest.raises(exception) as raised:
        cls(**arguments)
    if message is not None:
        assert str(raised.value) == message
    else:
        assert "argument" not in str(raised.value)


def test_scalar_conversions_accepted(cls):
    model = cls(make_codewords(), np.int64(4), seed=(1 << 64) - 1, verbose=np.True_, early_stopping=np.bool_(False))
    assert (model.k, model.seed, model.verbose) == (4, (1 << 64) - 1, True)
    assert cls(make_codewords(), True).k == 1
    assert type(model.k) is int and type(model.verbose) is bool


def test_conversion_order_follows_the_parameters(cls):
    # codewords fails before k is looked at; k before the init name is parsed.
    assert type_error_text(lambda: cls(np.zeros((2, 2, 2)), "x")).startswith("argument 'codewords'")
    assert type_error_text(lambda: cls(make_codewords(), "x", init=3)).startswith("argument 'k'")


def test_views_follow_strides(cls):
    codes = make_codes(n=60)
    model = cls(make_codewords(), 3)
    model.fit(codes)
    wide = np.zeros((60, 8), dtype=np.uint8)
    wide[:, :4] = codes
    # A view into a wider array is not C-contiguous: the engine refuses it by
    # its own rule, after the boundary accepted it.
    with pytest.raises(ValueError, match="^code matrix must be C-contiguous$"):
        model.predict(wide[:, :4])
    reversed_rows = codes[::-1]
    with pytest.raises(ValueError, match="^code matrix must be C-contiguous$"):
        model.predict(reversed_rows)
    np.testing.assert_array_equal(model.predict(np.ascontiguousarray(reversed_rows)), model.predict(codes)[::-1])


@pytest.mark.parametrize("order", ["C", "F", "reversed", "permuted", "strided", "one subquantizer"])
def test_owned_copies_keep_dense_layouts(cls, order):
    base = make_codewords(m=3, ks=5, ds=4)
    source = {
        "C": base,
        "F": np.asfortranarray(base),
        "reversed": base[::-1, :, ::-1],
        "permuted": np.ascontiguousarray(base.transpose(2, 0, 1)).transpose(1, 2, 0),
        "strided": np.ascontiguousarray(np.repeat(base, 2, axis=2))[:, :, ::2],
        "one subquantizer": base[1:2],
    }[order]
    stored = cls(source, 2).codewords
    np.testing.assert_array_equal(stored, source)
    if order == "strided":
        assert stored.flags["C_CONTIGUOUS"]
    else:
        assert stored.strides == source.strides


def test_unsigned_list_conversion(hooks):
    assert hooks.unsigned_list([3, 5]) == [3, 5]
    assert hooks.unsigned_list(range(2, 5)) == [2, 3, 4]
    assert hooks.unsigned_list(np.array([7, 9], dtype=np.int64)) == [7, 9]
    assert hooks.unsigned_list((np.uint8(1), True)) == [1, 1]
    for values, message in [
        ("12", "argument 'candidate_ks': Can't extract `str` to `Vec`"),
        ({1, 2}, "argument 'candidate_ks': 'set' object cannot be cast as 'Sequence'"),
        (5, "argument 'candidate_ks': 'int' object cannot be cast as 'Sequence'"),
        ([1, 2.5], "argument 'candidate_ks': 'float' object cannot be interpreted as an integer"),
    ]:
        assert type_error_text(lambda: hooks.unsigned_list(values)) == message
    with pytest.raises(OverflowError):
        hooks.unsigned_list([1, -2])


def test_class_shape(cls, model):
    assert cls.__module__ == "tarvinex._tarvinex"
    assert cls.__text_signature__ == (
        '(codewords, k, iterations=20, seed=0, verbose=False, lookup_table_bytes=1073741824, '
        'rotation=None, init="farthest_first", early_stopping=False, spherical=False)'
    )
    assert [cls.fit.__text_signature__, cls.predict.__text_signature__, cls.fit_predict.__text_signature__] == [
        "($self, codes)"
    ] * 3
    with pytest.raises(TypeError):
        type("Sub", (cls,), {})
    with pytest.raises(AttributeError):
        model.k = 5
    with pytest.raises(AttributeError):
        model.extra = 1


def test_arrays_changed_during_conversion_are_read_as_they_end_up(cls):
    # Converting a later argument runs Python code; an accepted array that it
    # reshapes or reallocates is read as it is once conversion has finished.
    codewords = make_codewords(m=4, ks=8, ds=2)

    class Reshaping:
        def __index__(self):
            with warnings.catch_warnings():
                warnings.simplefilter("ignore", DeprecationWarning)  # in-place reshape is deprecated, not gone
                codewords.shape = (2, 8, 4)
            return 3

    assert cls(codewords, Reshaping()).codewords.shape == (2, 8, 4)

    shrinking = make_codewords(m=4, ks=8, ds=2)

    class Reallocating:
        def __index__(self):
            shrinking.resize((1, 2, 2), refcheck=False)
            return 1

    model = cls(shrinking, Reallocating())
    np.testing.assert_array_equal(model.codewords, shrinking)
