"""_NativePQKMeans.analyze_k_candidates: every measure against a NumPy reference
built from standalone fits, the choice rules, the result dictionary, the
refusals, and results that must not depend on the layout, the caller or the
worker count."""

import math

import numpy as np
import pytest

from helpers import distance_table, make_codes, make_codewords, run_python, symmetric_distances

METHODS = ["bic", "davies_bouldin", "centroid_silhouette", "elbow"]
FLOAT_KEYS = ["inertia", "bic", "davies_bouldin", "centroid_silhouette", "elbow"]
SIZE_KEYS = ["candidate_ks", "min_cluster_size", "max_cluster_size"]
KEYS = ["candidate_ks", *FLOAT_KEYS, "min_cluster_size", "max_cluster_size", "sample_size", "selected_method",
        "selected_index", "selected_k", "selected_by_method"]
FLOOR = 1e-12
NO_CANDIDATE = "candidate_ks must contain at least one value between 1 and the sampled row count"


@pytest.fixture(scope="module")
def cls(native):
    return native._NativePQKMeans


@pytest.fixture(scope="module")
def analyze(cls):
    return cls.analyze_k_candidates


def pq_data(ks, m=4, ds=3, n=300, distinct=None, seed=0):
    """Codewords of normal floats (so float32 rounding shows) and clustered
    codes; with `distinct`, only that many different rows, which leaves
    duplicate centers and empty clusters."""
    codewords = np.random.default_rng(seed).normal(size=(m, ks, ds)).astype(np.float32)
    codes = make_codes(n=n, m=m, ks=ks, seed=seed + 1, clusters=6)
    if distinct is not None:
        codes = np.ascontiguousarray(codes[np.arange(n) % distinct])
    return codewords, codes


def assert_same_result(got, expected):
    """Same keys in the same order and the same values; arrays bit for bit, so
    -0.0 and NaN count."""
    assert list(got) == list(expected)
    for key, value in expected.items():
        if isinstance(value, np.ndarray):
            assert got[key].dtype == value.dtype, key
            np.testing.assert_array_equal(got[key].view(f"u{value.itemsize}"), value.view(f"u{value.itemsize}"), key)
        else:
            assert got[key] == value, key


# The reference. Python floats are IEEE doubles and `math` is the C library's,
# as the engine's; NumPy's vector log may differ from it in the last bit.


def best_two(totals):
    """Per row, the first strict minimum (NaN never taken) and the second
    smallest, where a total equal to the best becomes the second."""
    n, k = totals.shape
    labels = np.zeros(n, dtype=np.int64)
    best = np.full(n, np.inf, dtype=np.float32)
    second = np.full(n, np.inf, dtype=np.float32)
    for j in range(k):
        total = totals[:, j]
        better = total < best
        second = np.where(better, best, np.where(total < second, total, second))
        labels = np.where(better, j, labels)
        best = np.where(better, total, best)
    return labels, best, second


def davies_bouldin(labels, nearest, centers, table):
    k = len(centers)
    if k < 2:
        return math.nan
    counts = np.bincount(labels, minlength=k)
    sums = [0.0] * k
    for label, distance in zip(labels, nearest):
        sums[label] += float(distance)
    spread = [math.sqrt(sums[c] / int(counts[c])) if counts[c] else 0.0 for c in range(k)]
    non_empty = [c for c in range(k) if counts[c]]
    total = 0.0
    for i in non_empty:
        worst = 0.0
        for j in non_empty:
            if j == i:
                continue
            separation = 0.0
            for s in range(centers.shape[1]):
                separation += float(table[s, centers[i, s], centers[j, s]])
            ratio = (spread[i] + spread[j]) / max(math.sqrt(separation), FLOOR)
            if ratio > worst:
                worst = ratio
        total += worst
    return total / len(non_empty)


def centroid_silhouette(nearest, second):
    total = 0.0
    for a2, b2 in zip(nearest, second):
        a, b = math.sqrt(float(a2)), math.sqrt(float(b2))
        if math.isfinite(a) and math.isfinite(b):
            total += (b - a) / max(max(a, b), FLOOR)
    return total / len(nearest)


def candidate_measures(sample, centers, table, dim):
    labels, nearest, second = best_two(symmetric_distances(sample, centers, table))
    n, k = len(sample), len(centers)
    rows = float(n)
    within = 0.0
    for distance in nearest:
        within += float(distance)
    variance = within / float(dim * max(n - k, 1))
    variance = FLOOR if math.isnan(variance) else max(variance, FLOOR)
    bic = ((within * -0.5) / variance + ((rows * -0.5) * dim) * math.log(6.283185307179586 * variance)) + math.log(
        max(rows, 2.0)
    ) * (float(k * (dim + 1)) * -0.5)
    counts = np.bincount(labels, minlength=k)
    return {
        "inertia": within / rows,
        "bic": bic,
        "davies_bouldin": davies_bouldin(labels, nearest, centers, table),
        "centroid_silhouette": centroid_silhouette(nearest, second),
        "min_cluster_size": int(counts.min()),
        "max_cluster_size": int(counts.max()),
    }


def elbow_scores(ks, inertia):
    c = len(ks)
    scores = [0.0] * c
    if c < 3:
        return scores
    x = [math.log(float(k)) for k in ks]
    y = [math.log(FLOOR) if math.isnan(v) else math.log(max(v, FLOOR)) for v in inertia]
    y_min = min(v for v in y if not math.isnan(v))
    y_max = max(v for v in y if not math.isnan(v))
    range_x = max(x[-1] - x[0], FLOOR)
    range_y = max(y_max - y_min, FLOOR)
    for i in range(1, c - 1):
        score = 1.0 - (x[i] - x[0]) / range_x - (y[i] - y_min) / range_y
        scores[i] = 0.0 if math.isnan(score) else max(score, 0.0)
    return scores


def reference_analysis(cls, codewords, sample, candidates, iterations, seed, lookup_table_bytes):
    """Candidate i of the kept, sorted list fitted alone with seed + i on the
    whole sample, and its measures recomputed from its centers."""
    kept = sorted({k for k in candidates if 1 <= k <= len(sample)})
    table = distance_table(codewords)
    dim = codewords.shape[0] * codewords.shape[2]
    rows = []
    for i, k in enumerate(kept):
        model = cls(codewords, k, iterations=iterations, seed=seed + i, init="farthest_first",
                    lookup_table_bytes=lookup_table_bytes)
        model.fit(sample)
        rows.append(candidate_measures(sample, model.cluster_centers, table, dim))
    expected = {"candidate_ks": np.array(kept, dtype=np.uint32)}
    for key in ["inertia", "bic", "davies_bouldin", "centroid_silhouette"]:
        expected[key] = np.array([row[key] for row in rows], dtype=np.float64)
    expected["elbow"] = np.array(elbow_scores(kept, expected["inertia"].tolist()), dtype=np.float64)
    for key in ["min_cluster_size", "max_cluster_size"]:
        expected[key] = np.array([row[key] for row in rows], dtype=np.uint32)
    expected["sample_size"] = len(sample)
    return expected


def total_order_key(value):
    bits = int(np.float64(value).view(np.uint64))
    return bits ^ 0xFFFFFFFFFFFFFFFF if bits >> 63 else bits | 1 << 63


def reference_choice(result, method):
    """The largest finite score in IEEE total order, later positions winning
    ties (for Davies-Bouldin the smallest, earlier winning); else the smallest
    finite inertia, earlier winning; else position 0."""

    def best(values, smallest):
        chosen = None
        for i, value in enumerate(values):
            if not math.isfinite(value):
                continue
            if chosen is None:
                chosen = i
                continue
            candidate, current = total_order_key(value), total_order_key(values[chosen])
            if (candidate < current) if smallest else (candidate >= current):
                chosen = i
        return chosen

    chosen = best(result[method].tolist(), method == "davies_bouldin")
    if chosen is None:
        chosen = best(result["inertia"].tolist(), True)
    return 0 if chosen is None else chosen


# (data, candidates, iterations, seed, lookup_table_bytes): Ks = 16 fits through
# the 4-bit scan, Ks = 7 and 256 through the table scan; a zero budget sums
# the distances directly; the candidate list arrives unsorted with repeats.
ANALYSES = {
    "ks16": (dict(ks=16), [1, 2, 3, 5, 8], 5, 0, 1 << 30),
    "ks7 unsorted": (dict(ks=7, seed=4), [8, 3, 1, 5, 3, 2], 4, 11, 1 << 30),
    "ks256": (dict(ks=256, m=3, seed=7), [2, 4, 9], 3, 3, 1 << 30),
    "no lookup table": (dict(ks=16, seed=2), [2, 3, 6, 10], 4, 5, 0),
    "two candidates": (dict(ks=16, seed=3), [4, 7], 4, 1, 1 << 30),
    "k = 1 alone": (dict(ks=16, seed=5), [1], 3, 2, 1 << 30),
    "three distinct rows": (dict(ks=16, distinct=3, seed=6), [1, 2, 3, 5], 3, 0, 1 << 30),
}


@pytest.fixture(params=list(ANALYSES), scope="module")
def case(request):
    data, candidates, iterations, seed, budget = ANALYSES[request.param]
    codewords, codes = pq_data(**data)
    arguments = dict(iterations=iterations, seed=seed, lookup_table_bytes=budget, sample_rows=0)
    return codewords, codes, candidates, arguments


def test_measures_match_standalone_fits(cls, analyze, case):
    codewords, codes, candidates, arguments = case
    result = analyze(codewords, codes, candidates, **arguments)
    expected = reference_analysis(cls, codewords, codes, candidates, arguments["iterations"], arguments["seed"],
                                  arguments["lookup_table_bytes"])
    assert_same_result({key: result[key] for key in expected}, expected)


def test_choice_rules(analyze, case):
    codewords, codes, candidates, arguments = case
    for method in METHODS:
        result = analyze(codewords, codes, candidates, method=method, **arguments)
        assert result["selected_method"] == method
        assert result["selected_index"] == reference_choice(result, method)
        assert result["selected_k"] == result["candidate_ks"][result["selected_index"]]
        assert result["selected_by_method"][method] == result["selected_k"]
        assert list(result["selected_by_method"]) == METHODS


def test_sample_of_rows(analyze):
    codewords, codes = pq_data(ks=16)
    every_row = analyze(codewords, codes, [2, 5], iterations=3, seed=4, sample_rows=0)
    for rows in [300, 301, 1 << 40]:
        assert_same_result(analyze(codewords, codes, [2, 5], iterations=3, seed=4, sample_rows=rows), every_row)
    sampled = analyze(codewords, codes, [2, 5], iterations=3, seed=4, sample_rows=100)
    assert sampled["sample_size"] == 100
    assert_same_result(analyze(codewords, codes, [2, 5], iterations=3, seed=4, sample_rows=100), sampled)
    other_seed = analyze(codewords, codes, [2, 5], iterations=3, seed=5, sample_rows=100)
    assert not np.array_equal(other_seed["inertia"], sampled["inertia"])
    assert analyze(codewords, codes, [2])["sample_size"] == 300  # 16384 rows by default, more than there are


def test_result_dictionary(analyze):
    codewords, codes = pq_data(ks=16)
    result = analyze(codewords, codes, [8, 2, 8, 4], iterations=3)
    assert list(result) == KEYS
    for key in SIZE_KEYS + FLOAT_KEYS:
        value = result[key]
        assert value.dtype == (np.uint32 if key in SIZE_KEYS else np.float64), key
        assert value.shape == (3,) and value.flags["C_CONTIGUOUS"] and value.flags["WRITEABLE"], key
    np.testing.assert_array_equal(result["candidate_ks"], [2, 4, 8])
    assert [type(result[key]) for key in KEYS[8:]] == [int, str, int, int, dict]
    assert list(result["selected_by_method"]) == METHODS
    assert all(type(k) is int for k in result["selected_by_method"].values())
    # Every call returns arrays of its own.
    again = analyze(codewords, codes, [8, 2, 8, 4], iterations=3)
    again["inertia"][:] = -1
    assert (result["inertia"] != -1).all()


@pytest.mark.parametrize(
    "candidates, sample_rows, kept",
    [
        ([8, 2, 8, 4], 0, [2, 4, 8]),
        ([0, 3, 300, 301, 1 << 40], 0, [3, 300]),
        (range(3, 0, -1), 0, [1, 2, 3]),
        (np.array([5, 4, 2], dtype=np.int64), 4, [2, 4]),
    ],
)
def test_candidate_filter(analyze, candidates, sample_rows, kept):
    codewords, codes = pq_data(ks=16)
    result = analyze(codewords, codes, candidates, iterations=2, sample_rows=sample_rows)
    np.testing.assert_array_equal(result["candidate_ks"], kept)
    assert all(len(result[key]) == len(kept) for key in SIZE_KEYS + FLOAT_KEYS)


@pytest.mark.parametrize(
    "changes, exception, message",
    [
        (dict(candidate_ks=[]), ValueError, NO_CANDIDATE),
        (dict(candidate_ks=[0, 301]), ValueError, NO_CANDIDATE),
        (dict(candidate_ks=[5], sample_rows=4), ValueError, NO_CANDIDATE),
        (dict(candidate_ks="12"), TypeError, "argument 'candidate_ks': Can't extract `str` to `Vec`"),
        (dict(iterations=0), ValueError, "iterations must be greater than zero"),
        (dict(codes=np.zeros((0, 4), dtype=np.uint8)), ValueError, "codes must contain at least one row"),
        (dict(codewords=make_codewords(ks=7), codes=np.full((10, 4), 7, dtype=np.uint8)), ValueError,
         "code values must be below codebook_size"),
        (dict(codes=np.full((10, 4), 16, dtype=np.uint8)), ValueError, "PQ4 packing requires codebook_size <= 16"),
        (dict(codes=np.zeros((10, 3), dtype=np.uint8)), ValueError, "code dimensionality does not match codewords"),
        (dict(codewords=np.zeros((0, 8, 2), dtype=np.float32)), ValueError, "codewords must have shape (M, Ks, Ds)"),
        (dict(codewords=np.zeros((4, 257, 1), dtype=np.float32)), ValueError,
         "codebook_size above 256 is not supported"),
    ],
)
def test_refusals(analyze, changes, exception, message):
    codewords, codes = pq_data(ks=16)
    arguments = {**dict(codewords=codewords, codes=codes, candidate_ks=[2, 3], iterations=2), **changes}
    with pytest.raises(exception) as raised:
        analyze(**arguments)
    assert type(raised.value) is exception and str(raised.value) == message


def test_binding_and_conversion_order(cls, analyze):
    codewords, codes = pq_data(ks=16)
    name = "_NativePQKMeans.analyze_k_candidates()"
    binding = [
        ((), {}, f"{name} missing 3 required positional arguments: 'codewords', 'codes', and 'candidate_ks'"),
        ((codewords, codes, [2], *range(7)), {}, f"{name} takes from 3 to 9 positional arguments but 10 were given"),
        ((codewords, codes, [2]), {"k": 2}, f"{name} got an unexpected keyword argument 'k'"),
        ((codewords, codes, [2], 3), {"iterations": 3}, f"{name} got multiple values for argument 'iterations'"),
    ]
    for args, kwargs, message in binding:
        with pytest.raises(TypeError) as raised:
            analyze(*args, **kwargs)
        assert str(raised.value) == message
    # Each parameter's conversion failure, with every later argument bad too:
    # the first failure in parameter order ends the call.
    cast = "'ndarray' object cannot be cast as 'ndarray'"
    failures = [
        ("codewords", codewords.astype(np.float64), TypeError, f"argument 'codewords': {cast}"),
        ("codes", codes.ravel(), TypeError, f"argument 'codes': {cast}"),
        ("candidate_ks", "12", TypeError, "argument 'candidate_ks': Can't extract `str` to `Vec`"),
        ("iterations", None, TypeError, "argument 'iterations': 'NoneType' object cannot be interpreted as an integer"),
        ("seed", -1, OverflowError, None),
        ("verbose", 1, TypeError, "argument 'verbose': 'int' object cannot be cast as 'bool'"),
        ("lookup_table_bytes", 1.0, TypeError,
         "argument 'lookup_table_bytes': 'float' object cannot be interpreted as an integer"),
        ("sample_rows", None, TypeError,
         "argument 'sample_rows': 'NoneType' object cannot be interpreted as an integer"),
        ("method", 5, TypeError, "argument 'method': 'int' object cannot be cast as 'str'"),
    ]
    valid = dict(codewords=codewords, codes=codes, candidate_ks=[2])
    for position, (parameter, _, exception, message) in enumerate(failures):
        arguments = {**valid, **{later: bad for later, bad, _, _ in failures[position:]}}
        with pytest.raises(exception) as raised:
            analyze(**arguments)
        assert type(raised.value) is exception, parameter
        if message is not None:
            assert str(raised.value) == message
        else:
            assert "argument" not in str(raised.value)

    assert analyze.__text_signature__ == (
        '(codewords, codes, candidate_ks, iterations=20, seed=0, verbose=False, lookup_table_bytes=1073741824, '
        'sample_rows=16384, method="bic")'
    )
    assert isinstance(vars(cls)["analyze_k_candidates"], staticmethod)
    methods = ["fit", "analyze_k_candidates", "predict", "fit_predict"]
    assert [key for key in vars(cls) if key in methods] == methods


@pytest.mark.parametrize("text", ["BIC", "davies-bouldin", " bic", "", "elbow\0"])
def test_misspelt_method_is_refused_after_the_analysis(analyze, text):
    codewords, codes = pq_data(ks=16)
    with pytest.raises(ValueError) as raised:
        analyze(codewords, codes, [2, 3], iterations=2, method=text)
    assert str(raised.value) == (
        f"unsupported auto_k_method '{text}'; expected one of bic, davies_bouldin, centroid_silhouette, elbow"
    )


ANALYSIS_SCRIPT = """
import json, os, sys
import numpy as np
if {one_worker}:
    os.sched_setaffinity(0, {{min(os.sched_getaffinity(0))}})
import tarvinex._tarvinex as t
data = np.load(sys.argv[1])
try:
    result = t._NativePQKMeans.analyze_k_candidates(data["codewords"], data["codes"], **{arguments!r})
except ValueError as error:
    result = {{"error": str(error)}}
print(json.dumps({{key: value.view(f"u{{value.itemsize}}").tolist() if isinstance(value, np.ndarray) else value
                  for key, value in result.items()}}))
"""


def run_analysis(codewords, codes, one_worker=False, **arguments):
    """The result in a fresh interpreter, arrays as their bit patterns, or
    {"error": text} for a ValueError; with the lines of standard error."""
    script = ANALYSIS_SCRIPT.format(one_worker=one_worker, arguments=arguments)
    return run_python(script, arrays={"codewords": codewords, "codes": codes}, with_stderr=True)


def test_verbose_lines_come_before_the_method_error():
    codewords, codes = pq_data(ks=16)
    value, lines = run_analysis(codewords, codes, candidate_ks=[2, 3, 5], iterations=3, verbose=True, method="BIC")
    assert value == {"error": "unsupported auto_k_method 'BIC'; expected one of bic, davies_bouldin, "
                              "centroid_silhouette, elbow"}
    # The candidates run side by side, so their lines may interleave; each line
    # is written whole.
    passes = sorted(int(line.split()[0].removeprefix("iteration=")) for line in lines)
    assert passes == [0, 0, 0, 1, 1, 1, 2, 2, 2]
    assert all(line.split()[1].startswith("inertia=") and len(line.split()) == 2 for line in lines)


@pytest.mark.parametrize("sample_rows", [0, 1000])
def test_one_worker_and_all_workers_agree(sample_rows):
    codewords, codes = pq_data(ks=16, n=3000)
    arguments = dict(candidate_ks=[1, 2, 4, 8, 16, 32], iterations=4, seed=3, sample_rows=sample_rows)
    everyone, _ = run_analysis(codewords, codes, **arguments)
    alone, _ = run_analysis(codewords, codes, one_worker=True, **arguments)
    assert "error" not in everyone
    assert alone == everyone


def test_class_and_instance_give_the_same_result(cls):
    codewords, codes = pq_data(ks=16)
    model = cls(codewords, 3, iterations=4)
    model.fit(codes)
    before = (model.labels, model.cluster_centers, model.inertia_history, model.k, model.seed)
    from_class = cls.analyze_k_candidates(codewords, codes, [2, 4], iterations=3, seed=7)
    assert_same_result(model.analyze_k_candidates(codewords, codes, [2, 4], iterations=3, seed=7), from_class)
    assert_same_result(cls(codewords, 9).analyze_k_candidates(codewords, codes, [2, 4], iterations=3, seed=7),
                       from_class)
    after = (model.labels, model.cluster_centers, model.inertia_history, model.k, model.seed)
    for old, new in zip(before, after):
        np.testing.assert_array_equal(new, old)


@pytest.mark.parametrize("sample_rows", [0, 100])
@pytest.mark.parametrize("layout", ["F", "reversed rows", "reversed columns", "strided"])
def test_code_layout_does_not_matter(analyze, layout, sample_rows):
    codewords, codes = pq_data(ks=16)
    wide = np.repeat(codes, 2, axis=1)
    view = {
        "F": np.asfortranarray(codes),
        "reversed rows": codes[::-1],
        "reversed columns": codes[:, ::-1],
        "strided": wide[:, ::2],
    }[layout]
    assert not view.flags["C_CONTIGUOUS"]
    arguments = dict(iterations=3, seed=2, sample_rows=sample_rows)
    candidates = [1, 3, 6]
    assert_same_result(analyze(codewords, view, candidates, **arguments),
                       analyze(codewords, np.ascontiguousarray(view), candidates, **arguments))
