"""Outcome statistics, memory records and their store, and the query cache."""

import math
import os
import shutil
import subprocess
import time
from pathlib import Path

import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from conftest import arr
from halyard._halyard_rs import (
    CacheStats,
    InMemoryStore,
    MemoryRecord,
    OutcomeStats,
    QueryCache,
)

f32 = np.float32
ROOT = Path(__file__).resolve().parent.parent


def internal_failure():
    """The module's internal-failure exception class (not exported)."""
    try:
        OutcomeStats(dim=2).update_scalar(1.0)
    except BaseException as exc:  # noqa: BLE001 - that is the point
        return type(exc)
    raise AssertionError("expected an internal failure")


InternalFailure = internal_failure()


# ---- float32 step-by-step references ------------------------------------------


class RefStats:
    """Welford statistics in float32, one rounding per operation, as documented."""

    def __init__(self, dim):
        self.count = 0
        self.mean = [f32(0)] * dim
        self.m2 = [f32(0)] * dim
        self.min = [f32(np.inf)] * dim
        self.max = [f32(-np.inf)] * dim

    def update(self, x):
        self.count += 1
        t = f32(self.count)
        for i, v in enumerate(x):
            v = f32(v)
            d = f32(v - self.mean[i])
            self.mean[i] = f32(self.mean[i] + f32(d / t))
            self.m2[i] = f32(self.m2[i] + f32(d * f32(v - self.mean[i])))
            self.min[i] = np.fmin(self.min[i], v)
            self.max[i] = np.fmax(self.max[i], v)

    def merge(self, b):
        if self.count == 0:
            return b
        if b.count == 0:
            return self
        out = RefStats(len(self.mean))
        n = self.count + b.count
        total, na, nb = f32(n), f32(self.count), f32(b.count)
        p = f32(nb / total)
        q = f32(f32(na * nb) / total)
        for i in range(len(self.mean)):
            d = f32(b.mean[i] - self.mean[i])
            out.mean[i] = f32(self.mean[i] + f32(d * p))
            out.m2[i] = f32(f32(q * f32(d * d)) + f32(self.m2[i] + b.m2[i]))
            out.min[i] = np.fmin(self.min[i], b.min[i])
            out.max[i] = np.fmax(self.max[i], b.max[i])
        out.count = n
        return out

    def variance(self):
        return [f32(m / f32(self.count)) for m in self.m2]

    def interval(self, confidence):
        n = f32(self.count)
        root = f32(np.sqrt(n))
        c = f32(confidence)
        if self.count < 30:
            z = f32(f32(2) + f32(f32(1) / root))
        elif abs(f32(c - f32(0.9))) < f32(0.01):
            z = f32(1.645)
        elif abs(f32(c - f32(0.95))) < f32(0.01):
            z = f32(1.96)
        elif abs(f32(c - f32(0.99))) < f32(0.01):
            z = f32(2.576)
        else:
            z = f32(1.96)
        se = [f32(f32(np.sqrt(v)) / root) for v in self.variance()]
        lower = [f32(m - f32(s * z)) for m, s in zip(self.mean, se)]
        upper = [f32(m + f32(s * z)) for m, s in zip(self.mean, se)]
        return lower, upper


def fed(rows, dim):
    ours, ref = OutcomeStats(dim), RefStats(dim)
    for row in rows:
        ours.update(np.array(row, dtype=np.float32))
        ref.update(row)
    return ours, ref


def same_bits(got, expected):
    got = np.asarray(got, dtype=np.float32)
    expected = np.asarray(expected, dtype=np.float32)
    assert got.dtype == np.float32 and got.shape == expected.shape
    assert got.tobytes() == expected.tobytes(), (got, expected)


def assert_matches(ours, ref):
    assert ours.count == ref.count
    if ref.count == 0:
        assert ours.mean is None and ours.min is None and ours.max is None
        return
    same_bits(ours.mean, ref.mean)
    # The sign of a zero extreme is not defined when +0 and -0 meet.
    np.testing.assert_array_equal(ours.min, np.array(ref.min, dtype=np.float32))
    np.testing.assert_array_equal(ours.max, np.array(ref.max, dtype=np.float32))
    if ref.count >= 2:
        same_bits(ours.variance, ref.variance())
        same_bits(ours.std, np.sqrt(np.array(ref.variance(), dtype=np.float32)))
    else:
        assert ours.variance is None and ours.std is None


values = st.floats(-1e4, 1e4, width=32, allow_nan=False)


def streams(dim, min_size=0, max_size=40):
    return st.lists(st.lists(values, min_size=dim, max_size=dim), min_size=min_size, max_size=max_size)


# ---- OutcomeStats -------------------------------------------------------------------


@pytest.mark.parametrize("dim", [0, 1, 4])
def test_fresh_statistics_have_nothing_to_report(dim):
    s = OutcomeStats(dim) if dim != 1 else OutcomeStats()
    assert (s.dim, s.count) == (dim, 0)
    for attr in ("mean", "min", "max", "variance", "std", "mean_scalar"):
        assert getattr(s, attr) is None, attr
    assert s.confidence_interval(0.95) is None
    assert repr(s) == f"OutcomeStats(count=0, dim={dim})"


def test_two_scalar_updates():
    s = OutcomeStats()
    s.update_scalar(2.0)
    assert s.variance is None and s.std is None and s.confidence_interval(0.95) is None
    s.update_scalar(4.0)
    assert (s.count, s.mean_scalar) == (2, 3.0)
    for attr, expected in [("variance", 1.0), ("std", 1.0), ("min", 2.0), ("max", 4.0), ("mean", 3.0)]:
        same_bits(getattr(s, attr), [expected])
    lower, upper = s.confidence_interval(0.95)
    assert lower[0] == pytest.approx(1.0858, abs=1e-4) and upper[0] == pytest.approx(4.9142, abs=1e-4)
    assert repr(s) == "OutcomeStats(count=2, dim=1)"


@settings(max_examples=60, deadline=None)
@given(st.integers(1, 4).flatmap(lambda d: st.tuples(st.just(d), streams(d))))
def test_welford_matches_float32_reference(case):
    dim, rows = case
    ours, ref = fed(rows, dim)
    assert_matches(ours, ref)
    if rows:
        assert ours.mean_scalar == float(ref.mean[0])


@settings(max_examples=60, deadline=None)
@given(st.integers(1, 3).flatmap(lambda d: st.tuples(st.just(d), streams(d), streams(d))))
def test_merge_matches_float32_reference(case):
    dim, rows_a, rows_b = case
    a, ref_a = fed(rows_a, dim)
    b, ref_b = fed(rows_b, dim)
    before = (a.count, b.count)
    assert_matches(a.merge(b), ref_a.merge(ref_b))
    assert_matches(b.merge(a), ref_b.merge(ref_a))
    assert (a.count, b.count) == before


def test_merge_of_streams_equals_joint_statistics():
    a, _ = fed([[1.0], [3.0]], 1)
    b, _ = fed([[5.0]], 1)
    m = a.merge(b)
    assert m.count == 3 and m.mean_scalar == 3.0
    assert m.variance[0] == pytest.approx(8 / 3, rel=1e-6)
    same_bits(m.min, [1.0])
    same_bits(m.max, [5.0])


def test_merge_with_itself_counts_the_stream_twice():
    a, ref = fed([[1.0], [2.0], [6.0]], 1)
    assert_matches(a.merge(a), ref.merge(ref))


@pytest.mark.parametrize("empty_first", [True, False])
def test_merge_with_empty_statistics_of_another_dimension_copies(empty_first):
    full, ref = fed([[1.0, 2.0, 3.0], [0.5, 4.0, -1.0]], 3)
    empty = OutcomeStats(2)
    merged = empty.merge(full) if empty_first else full.merge(empty)
    assert merged.dim == 3
    assert_matches(merged, ref)
    assert OutcomeStats(2).merge(OutcomeStats(5)).dim == 5


def test_merge_of_non_empty_statistics_of_different_dimensions_fails():
    a, _ = fed([[1.0, 2.0]], 2)
    b, _ = fed([[1.0, 2.0, 3.0]], 3)
    with pytest.raises(InternalFailure, match="Dimension mismatch in merge"):
        a.merge(b)
    assert (a.count, a.dim, b.count, b.dim) == (1, 2, 1, 3)


def test_internal_failure_is_not_an_exception():
    assert issubclass(InternalFailure, BaseException)
    assert not issubclass(InternalFailure, Exception)


@pytest.mark.parametrize(
    "dim, call, got",
    [
        (1, lambda s: s.update(arr(1.0, 2.0)), 2),
        (3, lambda s: s.update(arr(1.0)), 1),
        (3, lambda s: s.update_scalar(1.0), 1),
        (0, lambda s: s.update_scalar(1.0), 1),
        (2, lambda s: s.update(np.zeros(0, np.float32)), 0),
    ],
)
def test_dimension_mismatch_is_an_internal_failure_and_changes_nothing(dim, call, got):
    s = OutcomeStats(dim)
    if dim:
        s.update(np.ones(dim, np.float32))
    before = (s.count, None if s.mean is None else s.mean.tobytes())
    with pytest.raises(InternalFailure, match=f"Outcome dimension mismatch: expected {dim}, got {got}"):
        call(s)
    assert (s.count, None if s.mean is None else s.mean.tobytes()) == before


def test_scalar_mean_of_dimension_zero_is_an_internal_failure():
    s = OutcomeStats(0)
    s.update(np.zeros(0, np.float32))
    assert s.count == 1 and s.mean.shape == (0,)
    with pytest.raises(InternalFailure, match="dimension 0"):
        s.mean_scalar
    s.update(np.zeros(0, np.float32))  # still usable
    assert s.count == 2


def test_nan_observation_keeps_extremes_and_poisons_mean():
    s = OutcomeStats(2)
    s.update(arr(1.0, 2.0))
    s.update(arr(np.nan, 5.0))
    same_bits(s.min, [1.0, 2.0])
    same_bits(s.max, [1.0, 5.0])
    assert math.isnan(s.mean[0]) and s.mean[1] == 3.5


def test_returned_arrays_are_copies():
    s, _ = fed([[1.0, 2.0], [3.0, 4.0]], 2)
    for attr in ("mean", "min", "max", "variance", "std"):
        a = getattr(s, attr)
        snapshot = a.copy()
        a[:] = 99.0
        same_bits(getattr(s, attr), snapshot)
    lower, _ = s.confidence_interval(0.9)
    lower[:] = 99.0
    assert s.confidence_interval(0.9)[0][0] != 99.0


@pytest.mark.parametrize("count", [2, 29, 30, 31])
@pytest.mark.parametrize("confidence", [0.5, 0.9, 0.905, 0.95, 0.99, 0.995, 2.0])
def test_confidence_interval_on_both_sides_of_thirty(count, confidence):
    rows = [[float(i % 7), float(i * i % 11) - 3.0] for i in range(count)]
    s, ref = fed(rows, 2)
    lower, upper = s.confidence_interval(confidence)
    ref_lower, ref_upper = ref.interval(confidence)
    same_bits(lower, ref_lower)
    same_bits(upper, ref_upper)


@pytest.mark.parametrize("confidence, z", [(0.9, 1.645), (0.99, 2.576), (0.5, 1.96), (0.95, 1.96)])
def test_large_sample_multiplier(confidence, z):
    s, ref = fed([[float(i)] for i in range(40)], 1)
    lower, upper = s.confidence_interval(confidence)
    se = np.sqrt(ref.variance()[0]) / np.sqrt(40)
    assert (upper[0] - lower[0]) / 2 == pytest.approx(se * z, rel=1e-4)


def test_repeated_self_merge_refuses_to_overflow_the_count():
    s = OutcomeStats()
    s.update_scalar(1.0)
    for _ in range(63):
        s = s.merge(s)
    assert s.count == 2**63
    with pytest.raises(InternalFailure, match="overflow"):
        s.merge(s)


@pytest.mark.parametrize(
    "call, exc, message",
    [
        (lambda s: s.update([1.0]), TypeError, "argument 'outcome': 'list' object cannot be converted to 'PyArray<T, D>'"),
        (lambda s: s.update(np.ones(1)), TypeError, "argument 'outcome': 'ndarray' object cannot be converted"),
        (lambda s: s.update(np.ones((1, 1), np.float32)), TypeError, "cannot be converted to 'PyArray<T, D>'"),
        (lambda s: s.update(np.ones(4, np.float32)[::2]), TypeError, "^The given array is not contiguous$"),
        (lambda s: s.update_scalar("1"), TypeError, "argument 'value'"),
        (lambda s: s.merge(3), TypeError, "argument 'other': 'int' object cannot be converted to 'OutcomeStats'"),
        (lambda s: s.confidence_interval(None), TypeError, "argument 'confidence'"),
        (lambda s: s.update(), TypeError, r"OutcomeStats.update\(\) missing 1 required positional argument: 'outcome'"),
    ],
)
def test_bad_arguments_raise_binding_errors_and_change_nothing(call, exc, message):
    s = OutcomeStats()
    s.update_scalar(1.0)
    with pytest.raises(exc, match=message):
        call(s)
    assert s.count == 1


@pytest.mark.parametrize(
    "dim, exc",
    [(-1, OverflowError), (2**64, OverflowError), (1.5, TypeError), ("2", TypeError), (2**62, InternalFailure)],
)
def test_bad_dimension(dim, exc):
    with pytest.raises(exc):
        OutcomeStats(dim)


def test_outcome_stats_keyword_and_docstrings():
    assert OutcomeStats(dim=3).dim == 3
    assert OutcomeStats.__doc__ == "Python wrapper for OutcomeStats (Welford's algorithm)."
    assert OutcomeStats.update_scalar.__doc__ == "Update with a scalar value."
    assert OutcomeStats.mean_scalar.__doc__ == "Scalar mean (for 1D stats)."


# ---- MemoryRecord and InMemoryStore -----------------------------------------------


def record(id="a", dim=4, context="xyz", outcome=0.5, metadata=None):
    return MemoryRecord(id, np.arange(dim, dtype=np.float32), context, outcome, metadata)


def test_record_fields_and_clock():
    before = int(time.time())
    r = record("r1", 3, "hello", 0.25)
    after = int(time.time())
    assert (r.id, r.dim, r.context, r.outcome) == ("r1", 3, "hello", 0.25)
    assert before <= r.created_at <= after
    same_bits(r.embedding, [0.0, 1.0, 2.0])
    assert r.stats.count == 0 and r.stats.dim == 1


@pytest.mark.parametrize("outcome, text", [(0.5, "0.500"), (-1.25, "-1.250"), (2 / 3, "0.667"), (1e6, "1000000.000")])
def test_record_repr(outcome, text):
    assert repr(record("r1", 3, outcome=outcome)) == f"MemoryRecord(id='r1', dim=3, outcome={text})"


def test_record_owns_a_copy_of_its_embedding():
    source = arr(1.0, 2.0, 3.0)
    r = MemoryRecord("a", source, "c", 0.0)
    source[:] = 0.0
    out = r.embedding
    out[:] = 7.0
    same_bits(r.embedding, [1.0, 2.0, 3.0])


def test_store_basics_and_memory_arithmetic():
    s = InMemoryStore()
    assert (s.len, s.is_empty(), s.memory_bytes, s.ids()) == (0, True, 0, [])
    assert repr(s) == "InMemoryStore(records=0)"
    assert s.insert(record()) is None
    assert s.memory_bytes == 1 + 3 + 16 + 248
    assert (s.len, s.is_empty(), s.contains("a"), s.contains("b")) == (1, False, True, False)
    s.insert(record("éé", 2, "ü", metadata={"k": "v"}))  # lengths count UTF-8 bytes
    assert s.memory_bytes == 268 + 4 + 2 + 8 + 64 + 248
    assert sorted(s.ids()) == ["a", "éé"] and repr(s) == "InMemoryStore(records=2)"
    assert s.remove("a") is True and s.remove("a") is False
    assert s.memory_bytes == 4 + 2 + 8 + 64 + 248
    assert s.remove("éé") and s.memory_bytes == 0 and s.is_empty()
    assert s.get("a") is None


@pytest.mark.parametrize(
    "metadata, kept",
    [
        (None, 0),
        ({}, 0),
        ({"s": "text", "i": -3, "f": 1.5, "b": True}, 4),
        ({"big": 10**30, "np": np.int64(3), "npf": np.float32(0.5)}, 3),
        ({"list": [1], "none": None, "obj": object(), "huge": 10**400, "dict": {}}, 0),
        ({"x": "1", "y": [], "z": False}, 2),
    ],
)
def test_metadata_entries_each_add_64_bytes_and_unconvertible_values_are_dropped(metadata, kept):
    s = InMemoryStore()
    s.insert(record(metadata=metadata))
    assert s.memory_bytes == 268 + 64 * kept


@pytest.mark.parametrize(
    "metadata, message",
    [
        ({1: "x"}, "argument 'metadata': 'int' object cannot be converted to 'PyString'"),
        ({"ok": 1, ("t",): 2}, "argument 'metadata': 'tuple' object cannot be converted to 'PyString'"),
        ([("a", 1)], "argument 'metadata': 'list' object cannot be converted to 'PyDict'"),
        ("a", "argument 'metadata': 'str' object cannot be converted to 'PyDict'"),
    ],
)
def test_bad_metadata_is_a_conversion_error(metadata, message):
    with pytest.raises(TypeError, match=message):
        record(metadata=metadata)


def test_metadata_values_whose_conversion_misbehaves_are_dropped():
    class Evil:
        def __index__(self):
            metadata.clear()  # changing the dict while it is converted is harmless
            raise RuntimeError("boom")

        def __float__(self):
            raise ValueError("no")

    metadata = {"e": Evil(), "s": "kept"}
    s = InMemoryStore()
    s.insert(record(metadata=metadata))
    assert s.memory_bytes == 268 + 64


@pytest.mark.parametrize(
    "args, exc, message",
    [
        ((1, arr(1.0), "c", 0.0), TypeError, "argument 'id': 'int' object cannot be converted to 'PyString'"),
        (("a", [1.0], "c", 0.0), TypeError, "argument 'embedding': 'list' object cannot be converted to 'PyArray<T, D>'"),
        (("a", np.ones(2), "c", 0.0), TypeError, "argument 'embedding'"),
        (("a", np.ones((2, 2), np.float32), "c", 0.0), TypeError, "argument 'embedding'"),
        (("a", np.ones(4, np.float32)[::2], "c", 0.0), TypeError, "^The given array is not contiguous$"),
        (("a", arr(1.0), None, 0.0), TypeError, "argument 'context'"),
        (("a", arr(1.0), "c", "x"), TypeError, "argument 'outcome'"),
        (("a", arr(1.0), "c"), TypeError, r"MemoryRecord.__new__\(\) missing 1 required positional argument: 'outcome'"),
    ],
)
def test_bad_record_arguments(args, exc, message):
    with pytest.raises(exc, match=message):
        MemoryRecord(*args)


def test_duplicate_insert_fails_and_changes_nothing():
    s = InMemoryStore()
    s.insert(record("a", 4))
    with pytest.raises(RuntimeError, match="^Duplicate record: a$"):
        s.insert(record("a", 8, "other context"))
    assert s.len == 1 and s.memory_bytes == 268 and s.get("a").dim == 4


def test_update_stats_is_the_only_way_to_change_a_stored_record():
    s = InMemoryStore()
    r = record("a", outcome=0.5)
    s.insert(r)
    s.update_stats("a", 1.0)
    got = s.get("a")
    assert got is not s.get("a")
    assert (got.stats.count, got.stats.mean_scalar, got.outcome) == (1, 1.0, 0.5)
    assert r.stats.count == 0  # the inserted object is not the stored record
    got.stats.update_scalar(5.0)  # a copy of a copy
    s.update_stats("a", 3.0)
    stats = s.get("a").stats
    assert (stats.count, stats.mean_scalar) == (2, 2.0)
    same_bits(stats.variance, [1.0])
    with pytest.raises(RuntimeError, match="^Record not found: nope$"):
        s.update_stats("nope", 1.0)


def test_removed_and_reinserted_record_starts_fresh():
    s = InMemoryStore()
    r = record("a")
    s.insert(r)
    s.update_stats("a", 2.0)
    s.remove("a")
    s.insert(r)
    assert s.get("a").stats.count == 0 and s.memory_bytes == 268


@pytest.mark.parametrize(
    "call, exc, message",
    [
        (lambda s: s.insert("a"), TypeError, "argument 'record': 'str' object cannot be converted to 'MemoryRecord'"),
        (lambda s: s.insert(s), TypeError, "'InMemoryStore' object cannot be converted to 'MemoryRecord'"),
        (lambda s: s.get(1), TypeError, "argument 'id'"),
        (lambda s: s.update_stats("a", "x"), TypeError, "argument 'outcome'"),
        (lambda s: s.remove(None), TypeError, "argument 'id'"),
        (lambda s: s.contains(b"a"), TypeError, "argument 'id'"),
    ],
)
def test_bad_store_arguments_change_nothing(call, exc, message):
    s = InMemoryStore()
    s.insert(record("a"))
    with pytest.raises(exc, match=message):
        call(s)
    assert s.len == 1 and s.get("a").stats.count == 0 and s.memory_bytes == 268


def test_many_records():
    s = InMemoryStore()
    for i in range(500):
        s.insert(record(f"r{i}", 3, "c" * (i % 5)))
    for i in range(0, 500, 2):
        s.update_stats(f"r{i}", float(i))
    assert s.len == 500 and set(s.ids()) == {f"r{i}" for i in range(500)}
    assert s.memory_bytes == sum(len(f"r{i}") + i % 5 + 12 + 248 for i in range(500))
    assert s.get("r10").stats.mean_scalar == 10.0 and s.get("r11").stats.count == 0


@settings(max_examples=40, deadline=None)
@given(st.lists(st.tuples(st.sampled_from("iurg"), st.integers(0, 40)), max_size=300))
def test_store_follows_a_dict_model_through_inserts_updates_and_removals(ops):
    s, model = InMemoryStore(), {}  # id -> (dim, context length, observation count)
    for op, k in ops:
        id = f"k{k}"
        if op == "i":
            if id in model:
                with pytest.raises(RuntimeError, match="Duplicate record"):
                    s.insert(record(id, k % 5, "c" * (k % 3)))
            else:
                s.insert(record(id, k % 5, "c" * (k % 3)))
                model[id] = [k % 5, k % 3, 0]
        elif op == "u":
            if id in model:
                s.update_stats(id, 1.0)
                model[id][2] += 1
            else:
                with pytest.raises(RuntimeError, match="Record not found"):
                    s.update_stats(id, 1.0)
        elif op == "r":
            assert s.remove(id) is (model.pop(id, None) is not None)
        else:
            got = s.get(id)
            assert (got is None) == (id not in model)
            if got is not None:
                assert (got.dim, len(got.context), got.stats.count) == tuple(model[id])
    assert s.len == len(model) and sorted(s.ids()) == sorted(model)
    assert all(s.contains(id) for id in model)
    assert s.memory_bytes == sum(len(id) + c + 4 * d + 248 for id, (d, c, _) in model.items())


def test_store_and_record_docstrings():
    assert MemoryRecord.__doc__ == "Python wrapper for MemoryRecord."
    assert InMemoryStore.__doc__ == "Python wrapper for InMemoryStore."
    assert InMemoryStore.update_stats.__doc__ == "Update outcome statistics for a record."
    assert MemoryRecord.created_at.__doc__ == "Creation timestamp (Unix seconds)."
    assert not hasattr(record(), "metadata")


# ---- QueryCache and CacheStats -------------------------------------------------------


@pytest.mark.parametrize("args, kwargs", [((), {}), ((5, 0), {}), ((), {"max_entries": 0, "ttl_seconds": 2**64 - 1})])
def test_cache_defaults_and_reprs(args, kwargs):
    c = QueryCache(*args, **kwargs)
    assert (c.len, c.is_empty()) == (0, True)
    assert c.clear() is None and c.cleanup_expired() is None
    stats = c.stats()
    assert (stats.hits, stats.misses, stats.entries, stats.evictions, stats.expirations) == (0, 0, 0, 0, 0)
    assert stats.hit_ratio() == 0.0
    assert repr(c) == "QueryCache(entries=0, hit_ratio=0.00%)"
    assert repr(stats) == "CacheStats(hits=0, misses=0, hit_ratio=0.00%)"
    assert c.stats() is not stats


@pytest.mark.parametrize(
    "make, exc, message",
    [
        (lambda: QueryCache(-1), OverflowError, None),
        (lambda: QueryCache(ttl_seconds=-5), OverflowError, None),
        (lambda: QueryCache(2**64), OverflowError, None),
        (lambda: QueryCache("10"), TypeError, "argument 'max_entries'"),
        (lambda: QueryCache(size=3), TypeError, "unexpected keyword argument 'size'"),
        (lambda: CacheStats(), TypeError, "^No constructor defined for CacheStats$"),
    ],
)
def test_bad_cache_arguments(make, exc, message):
    with pytest.raises(exc, match=message):
        make()


def test_cache_docstrings():
    assert QueryCache.__doc__ == "Python wrapper for QueryCache."
    assert CacheStats.__doc__ == "Python wrapper for CacheStats."
    assert QueryCache.cleanup_expired.__doc__ == "Remove expired entries."
    assert QueryCache.len.__doc__ == "Current number of cached entries."
    for name in ("store", "lookup", "get", "insert", "put"):
        assert not hasattr(QueryCache, name)


CACHE_CHECK = ROOT / "tests" / "cpp" / "query_cache_check.cpp"


@pytest.mark.skipif(shutil.which(os.environ.get("CXX", "c++")) is None, reason="no C++ compiler")
def test_core_cache_insert_lookup_eviction_expiry_and_threads(tmp_path):
    """The core cache's storing side, which Python cannot reach, built and run natively."""
    exe = tmp_path / "query_cache_check"
    sources = [CACHE_CHECK, ROOT / "src/core/cache/query_cache.cpp", ROOT / "src/core/runtime/hash.cpp"]
    compiler = os.environ.get("CXX", "c++")
    subprocess.run(
        [compiler, "-std=c++20", "-O1", "-pthread", "-I", str(ROOT / "src/core"), *map(str, sources), "-o", str(exe)],
        check=True,
        capture_output=True,
        timeout=300,
    )
    done = subprocess.run([str(exe)], capture_output=True, text=True, timeout=120)
    assert done.returncode == 0, done.stdout + done.stderr
    assert done.stdout.strip().endswith("ok")
