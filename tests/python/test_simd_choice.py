"""The kernel family is chosen once per process from TARVINEX_SIMD, the
processor and TARVINEX_AVX512_AUTO; each case runs in its own interpreter."""

import pytest

from helpers import CPU_FEATURES, HAS_AVX2, HAS_AVX512F, run_python

# Which family is best depends on what the library detected on this processor.
pytestmark = pytest.mark.skipif(CPU_FEATURES is None, reason="the test-only extension is not built")

PRINT_LABEL = "import json, tarvinex._tarvinex as t; print(json.dumps(t.simd_runtime()))"


def best_family(avx512_allowed):
    if avx512_allowed and HAS_AVX512F:
        return "avx512"
    return "avx2" if HAS_AVX2 else "scalar"


@pytest.mark.parametrize(
    "simd, expected",
    [
        (None, best_family(True)),
        ("", best_family(True)),
        ("auto", best_family(True)),
        ("scalar", "scalar"),
        ("none", "scalar"),
        ("OFF", "scalar"),
        ("avx2", "avx2" if HAS_AVX2 else "scalar"),
        ("avx512", best_family(True)),
        ("AVX-512", best_family(True)),
        ("Avx_512", best_family(True)),
        (" avx512", best_family(True)),
        ("neon", "scalar"),
        ("sse9", best_family(True)),
    ],
)
def test_preference_words(simd, expected):
    env = {} if simd is None else {"TARVINEX_SIMD": simd}
    assert run_python(PRINT_LABEL, env) == expected


@pytest.mark.parametrize(
    "word, allowed",
    [("0", False), ("no", False), ("Dis_Abled", False), ("false", False), ("", True), ("1", True), ("maybe", True)],
)
def test_avx512_auto_words(word, allowed):
    label = run_python(PRINT_LABEL, {"TARVINEX_AVX512_AUTO": word})
    assert label == best_family(allowed)


def test_explicit_avx512_ignores_the_auto_switch():
    label = run_python(PRINT_LABEL, {"TARVINEX_SIMD": "avx512", "TARVINEX_AVX512_AUTO": "off"})
    assert label == best_family(True)


def test_choice_does_not_follow_later_environment_changes():
    code = (
        "import json, os, tarvinex._tarvinex as t\n"
        "first = t.simd_runtime()\n"
        "os.environ['TARVINEX_SIMD'] = 'avx2' if first == 'scalar' else 'scalar'\n"
        "os.environ['TARVINEX_AVX512_AUTO'] = '0'\n"
        "print(json.dumps(first == t.simd_runtime()))\n"
    )
    assert run_python(code) is True


def test_detected_features_agree_with_the_chosen_family(hooks):
    code = (
        "import json, _tarvinex_testhooks as hooks, tarvinex._tarvinex as t\n"
        "print(json.dumps([hooks.detected_cpu_features(), t.simd_runtime()]))\n"
    )
    features, label = run_python(code)
    here = hooks.detected_cpu_features()
    assert features == here
    assert sorted(here) == ["avx2", "avx512bw", "avx512f"]
    assert all(type(flag) is bool for flag in here.values())
    assert here["avx512f"] or not here["avx512bw"]
    assert label == ("avx512" if here["avx512f"] else "avx2" if here["avx2"] else "scalar")
