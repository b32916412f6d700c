"""How engine errors and internal failures reach Python, and the properties
every class of the module shares, driven through the test-only extension."""

import gc
import inspect
import weakref

import numpy as np
import pytest


@pytest.mark.parametrize(
    "kind, text, message",
    [
        ("message", "k must be greater than zero", "k must be greater than zero"),
        ("message", "", ""),
        ("shape", "", "shape error: ShapeError/OutOfBounds: out of bounds indexing"),
        ("linalg", "2", "linear algebra error: Computational failure in LAPACK subroutine: return_code = 2"),
        ("linalg", "-5", "linear algebra error: Invalid value for LAPACK subroutine 5-th argument"),
    ],
)
def test_engine_errors_become_value_error(hooks, kind, text, message):
    with pytest.raises(ValueError) as raised:
        hooks.raise_engine_error(kind, text)
    assert raised.type is ValueError
    assert raised.value.args == (message,)


@pytest.mark.parametrize("in_worker", [False, True])
def test_internal_failure_becomes_panic(hooks, native, in_worker):
    with pytest.raises(BaseException) as raised:
        try:
            hooks.raise_internal_failure("invariant broken", in_worker)
        except Exception:  # a panic must not be caught here
            pytest.fail("panic was caught as Exception")
    panic = raised.type
    assert panic.__name__ == "PanicException"
    assert panic.__bases__ == (BaseException,)
    assert str(raised.value) == "invariant broken"
    assert not hasattr(native, "PanicException")
    # The same type on every failure, and the call after a panic works.
    with pytest.raises(panic, match="^panic from Native code$"):
        hooks.raise_internal_failure("", in_worker)


def test_bad_alloc_becomes_memory_error(hooks):
    with pytest.raises(MemoryError):
        hooks.raise_bad_alloc()


def test_class_properties(hooks):
    cls = hooks.make_sample_class()
    assert cls.__module__ == "tarvinex._tarvinex"
    assert cls.__name__ == cls.__qualname__ == "_SampleClass"
    assert cls.__bases__ == (object,)
    assert cls.__text_signature__ == "(value=7)"
    assert not cls.__doc__  # the signature only, no text
    assert str(inspect.signature(cls)) == "(value=7)"
    with pytest.raises(TypeError):
        type("Sub", (cls,), {})

    instance = cls()
    assert instance.value == 7
    assert not hasattr(instance, "__dict__")
    assert not gc.is_tracked(instance)
    with pytest.raises(AttributeError):
        instance.extra = 1
    with pytest.raises(AttributeError):
        instance.value = 3
    with pytest.raises(TypeError):
        weakref.ref(instance)


def test_static_method_form(hooks):
    cls = hooks.make_sample_class()
    codes = np.zeros((5, 3), dtype=np.uint8)
    assert cls.shape_of(codes) == (5, 3)
    assert cls().shape_of(codes=codes) == (5, 3)  # called on an instance, it still gets no instance
    assert cls.shape_of.__text_signature__ == "(codes)"
    cases = [
        (lambda: cls.shape_of(), "_SampleClass.shape_of() missing 1 required positional argument: 'codes'"),
        (lambda: cls().shape_of(codes, codes), "_SampleClass.shape_of() takes 1 positional arguments but 2 were given"),
        (lambda: cls.shape_of(codes.ravel()), "argument 'codes': 'ndarray' object cannot be cast as 'ndarray'"),
    ]
    for call, message in cases:
        with pytest.raises(TypeError) as raised:
            call()
        assert str(raised.value) == message


def test_borrow_flag_refuses_reentrant_calls(hooks):
    instance = hooks.make_sample_class()()

    class CallsBack:
        def __init__(self, call):
            self.call = call

        def __index__(self):
            return self.call()

    cases = [
        (instance.hold, instance.hold, "Already borrowed"),
        (instance.hold, instance.peek, "Already mutably borrowed"),
        (instance.peek, instance.hold, "Already borrowed"),
    ]
    for outer, inner, message in cases:
        with pytest.raises(RuntimeError, match=f"^{message}$"):
            outer(CallsBack(lambda: inner(1)))
    # Shared borrows stack, and every borrow is released after a failure.
    assert instance.peek(CallsBack(lambda: instance.peek(4))) == 4
    assert instance.hold(5) == 5
