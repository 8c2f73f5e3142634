"""Every public callable in loops, on its success and its failure paths, must
leave no live Python objects, Python memory blocks or native memory behind.

The table below holds, for each callable the module exposes (found by
introspection, so a new one without an entry fails the coverage test), calls
that succeed and calls that fail: wrong types, wrong tuple and vector lengths,
core errors (duplicate ids, unknown names), and borrow conflicts reached
through conversion hooks that call back into the object being used. Every
callable also gets generic argument-matching failures (an extra positional
argument, an unknown keyword).

Each class's calls run ITERATIONS times after a warm-up; then the growth of
  - gc.get_objects()            (tracked Python objects),
  - sys.getallocatedblocks()    (every small Python allocation),
  - malloc's bytes in use       (glibc mallinfo2, native allocations),
  - the resident set size       (/proc/self/statm)
must stay under the bounds below. A leak of one object per call of a single
case grows the second (and the first, for tracked objects) by ITERATIONS,
a leaked native allocation grows the third by at least ITERATIONS x 32
bytes (malloc's smallest chunk). HALYARD_LEAK_ITERATIONS sets a longer run. Measured noise on this machine (x86-64, CPython 3.11,
glibc 2.36), largest over all classes at 2000 iterations: objects 0, blocks 23,
malloc bytes 2.5 kB, RSS 0 bytes. Bounds: 20 objects, 100 blocks, 8 kB of
malloc, 1 MB of RSS.
"""

import ctypes
import gc
import inspect
import os
import sys

import numpy as np
import pytest

import halyard._halyard_rs as h

# Under the sanitizer runtime freed memory sits in a quarantine and malloc is
# replaced, so the memory meters below say nothing there.
pytestmark = pytest.mark.skipif(
    bool(os.environ.get("HALYARD_SANITIZED")), reason="memory meters are meaningless under the sanitizer runtime"
)

ITERATIONS = int(os.environ.get("HALYARD_LEAK_ITERATIONS", "1000"))
OBJECT_BOUND = 20
BLOCK_BOUND = 100  # a tenth of ITERATIONS
NATIVE_BOUND = 8_000  # bytes; malloc's smallest chunk is 32 bytes, so one leaked per call is 32 kB
RSS_BOUND = 1 << 20  # whole pages: coarse, catches large leaks only


def v(*xs):
    return np.array(xs, dtype=np.float32)


class _MallInfo2(ctypes.Structure):
    _fields_ = [(name, ctypes.c_size_t) for name in (
        "arena", "ordblks", "smblks", "hblks", "hblkhd", "usmblks", "fsmblks", "uordblks", "fordblks", "keepcost")]


def _native_reader():
    try:
        libc = ctypes.CDLL(None)
        fn = libc.mallinfo2
    except (OSError, AttributeError):
        return lambda: 0
    fn.restype = _MallInfo2

    def read():
        info = fn()
        return info.uordblks + info.hblkhd

    return read


native_bytes = _native_reader()
PAGE = os.sysconf("SC_PAGE_SIZE")


def rss_bytes():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * PAGE


def snapshot():
    gc.collect()
    return len(gc.get_objects()), sys.getallocatedblocks(), native_bytes(), rss_bytes()


# ---- callback objects -----------------------------------------------------------------


class Hook:
    """A number whose conversion runs `action` first (which may call back into
    the object being converted for), then yields `value`."""

    def __init__(self, action, value):
        self.action = action
        self.value = value

    def __index__(self):
        self.action()
        return self.value

    def __float__(self):
        self.action()
        return float(self.value)


class BadSeq:
    """A sequence whose length is fine but whose iteration fails half way."""

    def __init__(self, first=0.5):
        self.first = first

    def __len__(self):
        return 3

    def __getitem__(self, i):
        if i == 1:
            raise KeyError("item")
        if i > 2:
            raise IndexError
        return self.first


def ok(fn):
    return (None, fn)


def err(exc, fn):
    return (exc, fn)


# ---- the table ---------------------------------------------------------------------------


def build_cases():
    """{qualified name: [(expected exception or None, zero-argument call)]}."""
    C5 = h.TrajectoryCoordinate5D(1, 2, 0.5, 0.25, 3)
    C4 = h.TrajectoryCoordinate(1, 2, 0.5, 0.25)
    A, B = v(1, 2, 3, 4), v(4, 3, 2, 1)
    A3 = v(1, 2, 3)
    strided = np.arange(8, dtype=np.float32)[::2]
    f64 = np.ones(4)
    two_d = np.ones((2, 2), np.float32)
    cases = {}

    def add(name, *calls):
        cases.setdefault(name, []).extend(calls)

    # -- module functions
    for fn in (h.cosine_similarity, h.euclidean_distance):
        n = fn.__name__
        add(n, ok(lambda fn=fn: fn(A, B)), ok(lambda fn=fn: fn(a=A, b=B)),
            err(TypeError, lambda fn=fn: fn([1.0], B)), err(TypeError, lambda fn=fn: fn(A, f64)),
            err(TypeError, lambda fn=fn: fn(A, two_d)), err(TypeError, lambda fn=fn: fn(strided, A)),
            err(ValueError, lambda fn=fn: fn(A, A3)), err(TypeError, lambda fn=fn: fn(A)))
    add("normalize", ok(lambda: h.normalize(A)), err(ValueError, lambda: h.normalize(v(0, 0))),
        err(TypeError, lambda: h.normalize(f64)), err(TypeError, lambda: h.normalize(strided)))
    add("trajectory_weighted_cosine", ok(lambda: h.trajectory_weighted_cosine(A, B, C4, C4, 0.3)),
        err(TypeError, lambda: h.trajectory_weighted_cosine(A, B, C5, C4, 0.3)),
        err(TypeError, lambda: h.trajectory_weighted_cosine(A, B, C4, C4, "x")),
        err(ValueError, lambda: h.trajectory_weighted_cosine(A, A3, C4, C4, 0.3)),
        err(KeyError, lambda: h.trajectory_weighted_cosine(A, B, C4, C4, Hook(lambda: {}[1], 0.2))))
    add("trajectory_weighted_cosine_5d", ok(lambda: h.trajectory_weighted_cosine_5d(A, B, C5, C5, 0.3)),
        err(TypeError, lambda: h.trajectory_weighted_cosine_5d(A, B, C4, C5, 0.3)),
        err(ValueError, lambda: h.trajectory_weighted_cosine_5d(A, A3, C5, C5, 0.3)))
    add("detect_knowledge_transfer", ok(lambda: h.detect_knowledge_transfer("as we discussed before")),
        ok(lambda: h.detect_knowledge_transfer("nothing here ÉTÉ")),
        err(TypeError, lambda: h.detect_knowledge_transfer(b"bytes")),
        err(UnicodeEncodeError, lambda: h.detect_knowledge_transfer("\ud800")))
    add("compute_trajectory_coordinates", ok(lambda: h.compute_trajectory_coordinates(A, [0.5, 0.25], 2, 3, 1, 0)),
        ok(lambda: h.compute_trajectory_coordinates(A, (0.5,), project_phase="planning")),
        err(TypeError, lambda: h.compute_trajectory_coordinates(A, "abc")),
        err(TypeError, lambda: h.compute_trajectory_coordinates(A, 5)),
        err(TypeError, lambda: h.compute_trajectory_coordinates(A, [0.5, "x"])),
        err(KeyError, lambda: h.compute_trajectory_coordinates(A, BadSeq())),
        err(OverflowError, lambda: h.compute_trajectory_coordinates(A, [], 2**31)))

    # -- statistics and memory
    stats = h.OutcomeStats(2)
    stats.update(v(1, 2))
    stats.update(v(3, 5))
    empty_stats = h.OutcomeStats(2)
    stats1 = h.OutcomeStats()
    stats1.update_scalar(2.0)
    InternalFailure = _internal_failure_type()
    zero_stats = h.OutcomeStats(0)
    zero_stats.update(np.zeros(0, np.float32))
    add("OutcomeStats.__new__", ok(lambda: h.OutcomeStats()), ok(lambda: h.OutcomeStats(dim=3)),
        err(OverflowError, lambda: h.OutcomeStats(-1)), err(TypeError, lambda: h.OutcomeStats(1.5)),
        err(InternalFailure, lambda: h.OutcomeStats(2**62)))
    add("OutcomeStats.update", ok(lambda: h.OutcomeStats(2).update(v(1, 2))),
        err(InternalFailure, lambda: stats.update(v(1, 2, 3))), err(TypeError, lambda: stats.update([1.0, 2.0])))
    add("OutcomeStats.update_scalar", ok(lambda: h.OutcomeStats().update_scalar(1.5)),
        err(InternalFailure, lambda: stats.update_scalar(1.0)),
        err(RuntimeError, lambda: stats1.update_scalar(Hook(lambda: stats1.count, 1.0))),
        err(TypeError, lambda: stats1.update_scalar(Hook(lambda: 1 + "a", 1.0))))
    add("OutcomeStats.merge", ok(lambda: stats.merge(stats)), ok(lambda: stats.merge(empty_stats)),
        err(InternalFailure, lambda: stats.merge(stats1)), err(TypeError, lambda: stats.merge(3)))
    add("OutcomeStats.confidence_interval", ok(lambda: stats.confidence_interval(0.95)),
        ok(lambda: empty_stats.confidence_interval(0.9)), err(TypeError, lambda: stats.confidence_interval(None)))
    for prop in ("count", "dim", "mean", "variance", "std", "min", "max"):
        add(f"OutcomeStats.{prop}", ok(lambda p=prop: getattr(stats, p)), ok(lambda p=prop: getattr(empty_stats, p)))
    add("OutcomeStats.mean_scalar", ok(lambda: stats1.mean_scalar),
        err(InternalFailure, lambda: zero_stats.mean_scalar))
    add("OutcomeStats.__repr__", ok(lambda: repr(stats)))

    rec = h.MemoryRecord("r1", A, "ctx", 0.5, {"a": 1, "b": "x", "c": 2.5, "d": True, "e": object()})
    add("MemoryRecord.__new__", ok(lambda: h.MemoryRecord("r", A, "c", 1.0)),
        ok(lambda: h.MemoryRecord("r", A, "c", 1.0, {"k": "v", "n": 2**70, "f": [1]})),
        err(TypeError, lambda: h.MemoryRecord(1, A, "c", 1.0)),
        err(TypeError, lambda: h.MemoryRecord("r", A, "c", 1.0, {1: 2})),
        err(TypeError, lambda: h.MemoryRecord("r", A, "c", 1.0, [])),
        err(TypeError, lambda: h.MemoryRecord("r", strided, "c", 1.0)),
        err(TypeError, lambda: h.MemoryRecord("r", A, "c", "1.0", {"k": "v"})),
        err(TypeError, lambda: h.MemoryRecord("r", A, "c", Hook(lambda: 1 + "a", 1.0))))
    for prop in ("id", "embedding", "dim", "context", "outcome", "created_at", "stats"):
        add(f"MemoryRecord.{prop}", ok(lambda p=prop: getattr(rec, p)))
    add("MemoryRecord.__repr__", ok(lambda: repr(rec)))

    store = h.InMemoryStore()
    store.insert(rec)
    add("InMemoryStore.__new__", ok(lambda: h.InMemoryStore()), err(TypeError, lambda: h.InMemoryStore(1)))
    add("InMemoryStore.insert", ok(lambda: (store.remove("r1"), store.insert(rec))),
        err(RuntimeError, lambda: store.insert(rec)), err(TypeError, lambda: store.insert(A)))
    add("InMemoryStore.get", ok(lambda: store.get("r1")), ok(lambda: store.get("nope")),
        err(TypeError, lambda: store.get(None)))
    add("InMemoryStore.update_stats", ok(lambda: store.update_stats("r1", 0.5)),
        err(RuntimeError, lambda: store.update_stats("nope", 0.5)),
        err(RuntimeError, lambda: store.update_stats("r1", Hook(lambda: store.len, 0.5))))
    add("InMemoryStore.remove", ok(lambda: (store.remove("r1"), store.insert(rec))), ok(lambda: store.remove("zz")),
        err(TypeError, lambda: store.remove(1)))
    add("InMemoryStore.contains", ok(lambda: store.contains("r1")), err(TypeError, lambda: store.contains(b"r1")))
    add("InMemoryStore.ids", ok(lambda: store.ids()))
    add("InMemoryStore.is_empty", ok(lambda: store.is_empty()))
    add("InMemoryStore.len", ok(lambda: store.len))
    add("InMemoryStore.memory_bytes", ok(lambda: store.memory_bytes))
    add("InMemoryStore.__repr__", ok(lambda: repr(store)))

    cache = h.QueryCache(10, 60)
    add("QueryCache.__new__", ok(lambda: h.QueryCache()), ok(lambda: h.QueryCache(5, ttl_seconds=1)),
        err(OverflowError, lambda: h.QueryCache(-1)), err(TypeError, lambda: h.QueryCache(ttl="x")))
    add("QueryCache.clear", ok(lambda: cache.clear()))
    add("QueryCache.cleanup_expired", ok(lambda: cache.cleanup_expired()))
    add("QueryCache.stats", ok(lambda: cache.stats()))
    add("QueryCache.is_empty", ok(lambda: cache.is_empty()))
    add("QueryCache.len", ok(lambda: cache.len))
    add("QueryCache.__repr__", ok(lambda: repr(cache)))
    cstats = cache.stats()
    for prop in ("hits", "misses", "entries", "evictions", "expirations"):
        add(f"CacheStats.{prop}", ok(lambda p=prop: getattr(cstats, p)))
    add("CacheStats.hit_ratio", ok(lambda: cstats.hit_ratio()))
    add("CacheStats.__repr__", ok(lambda: repr(cstats)))

    # -- indexes
    flat = h.FlatIndex(4, h.DistanceType.Cosine)
    for i in range(1100):  # above the parallel threshold: searches use the worker pool
        flat.add(f"v{i}", v(i % 7, i % 5, 1, i % 3))
    small_flat = h.FlatIndex(4)
    small_flat.add("a", A)
    hnsw = h.HNSWIndex(4, 8, 32)
    for i in range(200):
        hnsw.add(f"v{i}", v(i % 7, i % 5, 1, i % 3))
    add("FlatIndex.__new__", ok(lambda: h.FlatIndex(4)), ok(lambda: h.FlatIndex(4, h.DistanceType.InnerProduct)),
        err(TypeError, lambda: h.FlatIndex(4, 1)), err(OverflowError, lambda: h.FlatIndex(-4)))
    add("FlatIndex.add", ok(lambda: small_flat.add("b", B)), err(RuntimeError, lambda: small_flat.add("b", A3)),
        err(TypeError, lambda: small_flat.add("b", f64)), err(TypeError, lambda: small_flat.add(7, A)),
        err(TypeError, lambda: small_flat.add("b", strided)))
    add("FlatIndex.search", ok(lambda: flat.search(A, 5)), ok(lambda: small_flat.search(A, 10)),
        err(RuntimeError, lambda: flat.search(A3, 5)), err(OverflowError, lambda: flat.search(A, -1)),
        err(RuntimeError, lambda: flat.search(A, Hook(lambda: flat.remove("zz"), 3))),
        err(RuntimeError, lambda: flat.search(v(np.nan, 1, 1, 1), 3)))
    add("FlatIndex.remove", ok(lambda: (small_flat.remove("b"), small_flat.add("b", B))),
        ok(lambda: small_flat.remove("zz")), err(TypeError, lambda: small_flat.remove(None)))
    add("FlatIndex.contains", ok(lambda: flat.contains("v1")), err(TypeError, lambda: flat.contains(1)))
    add("FlatIndex.is_empty", ok(lambda: flat.is_empty()))
    add("FlatIndex.len", ok(lambda: flat.len))
    add("FlatIndex.dimension", ok(lambda: flat.dimension))
    add("FlatIndex.__repr__", ok(lambda: repr(flat)))

    def hnsw_churn():
        index = h.HNSWIndex(4, 4, 16)
        for i in range(5):
            index.add(str(i), v(i, 1, 2, 3))
        index.remove("2")
        return index.search(A, 3)

    add("HNSWIndex.__new__", ok(lambda: h.HNSWIndex(4)), ok(lambda: h.HNSWIndex(4, m=4, ef_construction=8)),
        err(TypeError, lambda: h.HNSWIndex(4, distance_type="L2")), err(OverflowError, lambda: h.HNSWIndex(4, -1)))
    add("HNSWIndex.add", ok(hnsw_churn), err(RuntimeError, lambda: hnsw.add("v1", A)),
        err(RuntimeError, lambda: hnsw.add("new", A3)), err(TypeError, lambda: hnsw.add("new", [1, 2, 3, 4])))
    add("HNSWIndex.search", ok(lambda: hnsw.search(A, 10)), err(RuntimeError, lambda: hnsw.search(A3, 1)),
        err(RuntimeError, lambda: hnsw.search(A, Hook(lambda: hnsw.remove("zz"), 3))))
    add("HNSWIndex.remove", ok(lambda: hnsw.remove("zz")), err(TypeError, lambda: hnsw.remove(None)))
    add("HNSWIndex.contains", ok(lambda: hnsw.contains("v1")), err(TypeError, lambda: hnsw.contains(1)))
    add("HNSWIndex.is_empty", ok(lambda: hnsw.is_empty()))
    add("HNSWIndex.len", ok(lambda: hnsw.len))
    add("HNSWIndex.dimension", ok(lambda: hnsw.dimension))
    add("HNSWIndex.__repr__", ok(lambda: repr(hnsw)))

    reg = h.IndexRegistry()
    reg.register_flat("f", 4)
    reg.register_hnsw("g", 4, 4, 16)
    reg.add("f", "a", A)
    reg.add("g", "a", A)
    add("IndexRegistry.__new__", ok(lambda: h.IndexRegistry()))
    add("IndexRegistry.register_flat", ok(lambda: (reg.register_flat("t", 4), reg.remove("t"))),
        err(RuntimeError, lambda: reg.register_flat("f", 4)), err(TypeError, lambda: reg.register_flat("t", "4")))
    add("IndexRegistry.register_hnsw", ok(lambda: (reg.register_hnsw("t", 4, 4, 8), reg.remove("t"))),
        err(RuntimeError, lambda: reg.register_hnsw("g", 4, 4, 8)),
        err(OverflowError, lambda: reg.register_hnsw("t", 4, -4, 8)))
    add("IndexRegistry.add", ok(lambda: reg.add("f", "b", B)), err(RuntimeError, lambda: reg.add("nope", "b", B)),
        err(RuntimeError, lambda: reg.add("f", "b", A3)), err(RuntimeError, lambda: reg.add("g", "a", A)))
    add("IndexRegistry.remove", ok(lambda: reg.remove("nope")), err(TypeError, lambda: reg.remove(3)))
    add("IndexRegistry.contains", ok(lambda: reg.contains("f")))
    add("IndexRegistry.search_all", ok(lambda: reg.search_all(A, 3)), err(TypeError, lambda: reg.search_all(A, "3")),
        err(RuntimeError, lambda: reg.search_all(A, Hook(lambda: reg.remove("zz"), 3))))
    add("IndexRegistry.is_empty", ok(lambda: reg.is_empty()))
    add("IndexRegistry.len", ok(lambda: reg.len))
    add("IndexRegistry.__repr__", ok(lambda: repr(reg)))
    hit = flat.search(A, 1)[0]
    for prop in ("id", "distance", "score"):
        add(f"SearchResult.{prop}", ok(lambda p=prop: getattr(hit, p)))
    add("SearchResult.__repr__", ok(lambda: repr(hit)))

    # -- coordinates
    add("TrajectoryCoordinate.__new__", ok(lambda: h.TrajectoryCoordinate(1, 2, 0.5, 0.5)),
        err(OverflowError, lambda: h.TrajectoryCoordinate(-1, 0, 0.0, 0.0)),
        err(TypeError, lambda: h.TrajectoryCoordinate(1.5, 0, 0.0, 0.0)),
        err(TypeError, lambda: h.TrajectoryCoordinate()))
    add("TrajectoryCoordinate.root", ok(lambda: h.TrajectoryCoordinate.root()))
    add("TrajectoryCoordinate.distance", ok(lambda: C4.distance(C4)), err(TypeError, lambda: C4.distance(C5)))
    add("TrajectoryCoordinate.manhattan_distance", ok(lambda: C4.manhattan_distance(C4)),
        err(TypeError, lambda: C4.manhattan_distance(None)))
    add("TrajectoryCoordinate.weighted_distance", ok(lambda: C4.weighted_distance(C4, (1.0, 2.0, 0.5, 0.5))),
        err(ValueError, lambda: C4.weighted_distance(C4, (1.0, 2.0))),
        err(TypeError, lambda: C4.weighted_distance(C4, [1.0, 2.0, 0.5, 0.5])),
        err(TypeError, lambda: C4.weighted_distance(C4, (1.0, 2.0, "x", 0.5))))
    add("TrajectoryCoordinate.to_tuple", ok(lambda: C4.to_tuple()))
    add("TrajectoryCoordinate.to_dict", ok(lambda: C4.to_dict()))
    for prop in ("depth", "sibling_order", "homogeneity", "temporal"):
        add(f"TrajectoryCoordinate.{prop}", ok(lambda p=prop: getattr(C4, p)))
    add("TrajectoryCoordinate.__repr__", ok(lambda: repr(C4)))
    add("TrajectoryCoordinate5D.__new__", ok(lambda: h.TrajectoryCoordinate5D(1, 2, 0.5, 0.5, 2)),
        err(OverflowError, lambda: h.TrajectoryCoordinate5D(1, 2, 0.5, 0.5, 2**32)))
    add("TrajectoryCoordinate5D.from_4d", ok(lambda: h.TrajectoryCoordinate5D.from_4d(C4)),
        err(TypeError, lambda: h.TrajectoryCoordinate5D.from_4d(C5)))
    add("TrajectoryCoordinate5D.from_4d_with_complexity",
        ok(lambda: h.TrajectoryCoordinate5D.from_4d_with_complexity(C4, 3)),
        err(OverflowError, lambda: h.TrajectoryCoordinate5D.from_4d_with_complexity(C4, -3)))
    add("TrajectoryCoordinate5D.root", ok(lambda: h.TrajectoryCoordinate5D.root()))
    add("TrajectoryCoordinate5D.distance", ok(lambda: C5.distance(C5)), err(TypeError, lambda: C5.distance(C4)))
    for name in ("complexity_factor", "is_multimodal", "to_4d", "to_dict"):
        add(f"TrajectoryCoordinate5D.{name}", ok(lambda n=name: getattr(C5, n)()))
    for prop in ("depth", "sibling_order", "homogeneity", "temporal", "complexity"):
        add(f"TrajectoryCoordinate5D.{prop}", ok(lambda p=prop: getattr(C5, p)))
    add("TrajectoryCoordinate5D.__repr__", ok(lambda: repr(C5)))
    tw = h.TesselWeights()
    add("TesselWeights.__new__", ok(lambda: h.TesselWeights(0.1, complexity=0.2)),
        err(TypeError, lambda: h.TesselWeights("a")))
    for name in ("default_weights", "semantic_focused", "structural_focused", "temporal_focused", "equal"):
        add(f"TesselWeights.{name}", ok(lambda n=name: getattr(h.TesselWeights, n)()))
    add("TesselWeights.to_array", ok(lambda: tw.to_array()))
    add("TesselWeights.to_dict", ok(lambda: tw.to_dict()))
    for prop in ("depth", "sibling", "homogeneity", "temporal", "complexity"):
        add(f"TesselWeights.{prop}", ok(lambda p=prop: getattr(tw, p)))
    add("TesselWeights.__repr__", ok(lambda: repr(tw)))

    # -- scoring
    tf = h.TurnFeatures.from_content(3, "user", "How do I fix this error?\n- a\n```x```")
    add("TurnFeatures.from_content", ok(lambda: h.TurnFeatures.from_content(1, "assistant", "We decided: plan.")),
        err(TypeError, lambda: h.TurnFeatures.from_content(1, "user", None)),
        err(UnicodeEncodeError, lambda: h.TurnFeatures.from_content(1, "user", "\udfff")))
    for prop in ("role", "turn_id", "content_length", "question_count", "code_block_count", "list_item_count",
                 "has_error_keywords", "has_decision_keywords", "has_planning_keywords", "is_user"):
        add(f"TurnFeatures.{prop}", ok(lambda p=prop: getattr(tf, p)))
    add("TurnFeatures.__repr__", ok(lambda: repr(tf)))
    pi = h.PhaseInferencer()
    add("PhaseInferencer.__new__", ok(lambda: h.PhaseInferencer()))
    add("PhaseInferencer.infer_single", ok(lambda: pi.infer_single(tf)), err(TypeError, lambda: pi.infer_single(C4)))
    add("PhaseInferencer.__repr__", ok(lambda: repr(pi)))
    sf = h.SalienceFactors(1, "user", 120, h.Feedback.ThumbsUp, 2, True, [0.1, 0.2, 0.3])
    add("SalienceFactors.__new__", ok(lambda: h.SalienceFactors(1, "user", 10)),
        ok(lambda: h.SalienceFactors(1, "user", 10, embedding=(0.5, 0.5))),
        err(TypeError, lambda: h.SalienceFactors(1, "user", 10, feedback=1)),
        err(TypeError, lambda: h.SalienceFactors(1, "user", 10, embedding="abc")))
    for prop in ("turn_id", "role", "content_length", "reference_count", "is_phase_transition"):
        add(f"SalienceFactors.{prop}", ok(lambda p=prop: getattr(sf, p)))
    add("SalienceFactors.__repr__", ok(lambda: repr(sf)))
    scorer = h.SalienceScorer()
    add("SalienceScorer.__new__", ok(lambda: h.SalienceScorer()))
    add("SalienceScorer.score_single", ok(lambda: scorer.score_single(sf)),
        ok(lambda: scorer.score_single(sf, [[0.1, 0.2, 0.3], (0.3, 0.2, 0.1)])),
        err(TypeError, lambda: scorer.score_single(sf, [[0.1], "ab"])),
        err(TypeError, lambda: scorer.score_single(sf, [[0.1, None]])))
    add("SalienceScorer.__repr__", ok(lambda: repr(scorer)))
    ts = scorer.score_single(sf)
    for prop in ("turn_id", "score", "feedback_contribution", "phase_contribution", "reference_contribution",
                 "novelty_contribution"):
        add(f"TurnSalience.{prop}", ok(lambda p=prop: getattr(ts, p)))
    add("TurnSalience.__repr__", ok(lambda: repr(ts)))
    pw = h.PathQualityWeights()
    add("PathQualityWeights.__new__", ok(lambda: h.PathQualityWeights(0.1, delta=0.2)),
        err(TypeError, lambda: h.PathQualityWeights(None)))
    add("PathQualityWeights.default_weights", ok(lambda: h.PathQualityWeights.default_weights()))
    for prop in ("alpha", "beta", "gamma", "delta"):
        add(f"PathQualityWeights.{prop}", ok(lambda p=prop: getattr(pw, p)))
    add("PathQualityWeights.__repr__", ok(lambda: repr(pw)))
    pf = h.PathQualityFactors(0.5, 0.6, 0.7, 0.8)
    add("PathQualityFactors.__new__", ok(lambda: h.PathQualityFactors(0.1, 0.2, 0.3, 0.4)),
        err(TypeError, lambda: h.PathQualityFactors(0.1, 0.2, 0.3)))
    add("PathQualityFactors.compute_quality", ok(lambda: pf.compute_quality(pw)),
        err(TypeError, lambda: pf.compute_quality(pf)))
    add("PathQualityFactors.quality", ok(lambda: pf.quality()))
    for prop in ("linearity", "terminal_score", "coherence", "completion"):
        add(f"PathQualityFactors.{prop}", ok(lambda p=prop: getattr(pf, p)))
    add("PathQualityFactors.__repr__", ok(lambda: repr(pf)))
    PQ = h.PathQuality
    add("PathQuality.__new__", ok(lambda: PQ()))
    add("PathQuality.enhance_salience", ok(lambda: PQ.enhance_salience(0.5, 0.5, 0.5)),
        err(TypeError, lambda: PQ.enhance_salience(0.5, 0.5)))
    add("PathQuality.terminal_boost", ok(lambda: PQ.terminal_boost(0.5, 0.5, True)),
        err(TypeError, lambda: PQ.terminal_boost(0.5, 0.5, 1)))
    add("PathQuality.terminal_quality_from_phase", ok(lambda: PQ.terminal_quality_from_phase("synthesis")),
        ok(lambda: PQ.terminal_quality_from_phase()), err(TypeError, lambda: PQ.terminal_quality_from_phase(1)))
    add("PathQuality.terminal_quality_from_feedback", ok(lambda: PQ.terminal_quality_from_feedback(True, False)),
        err(TypeError, lambda: PQ.terminal_quality_from_feedback(True, None)))

    # -- attention, rings
    cfg = h.IRCPConfig(0.5, 0.2, True)
    add("IRCPConfig.__new__", ok(lambda: h.IRCPConfig()), err(TypeError, lambda: h.IRCPConfig(causal_mask=1)))
    for name in ("default_config", "semantic_focused", "spatial_focused", "causal", "sharp", "diffuse"):
        add(f"IRCPConfig.{name}", ok(lambda n=name: getattr(h.IRCPConfig, n)()))
    for prop in ("temperature", "spatial_weight", "causal_mask"):
        add(f"IRCPConfig.{prop}", ok(lambda p=prop: getattr(cfg, p)))
    add("IRCPConfig.__repr__", ok(lambda: repr(cfg)))
    prop_ = h.IRCPPropagator(cfg)
    ctx_coords = [C5, h.TrajectoryCoordinate5D.root(), C5]
    ctx_embs = [A, B, A]
    add("IRCPPropagator.__new__", ok(lambda: h.IRCPPropagator()), ok(lambda: h.IRCPPropagator(cfg)),
        err(TypeError, lambda: h.IRCPPropagator(C4)))
    add("IRCPPropagator.compute_attention", ok(lambda: prop_.compute_attention(C5, ctx_coords, A, ctx_embs)),
        ok(lambda: prop_.compute_attention(C5, (), A, ())),
        err(InternalFailure, lambda: prop_.compute_attention(C5, ctx_coords, A, [A])),
        err(TypeError, lambda: prop_.compute_attention(C5, [C5, C4], A, [A, A])),
        err(TypeError, lambda: prop_.compute_attention(C5, [C5], A, [f64])),
        err(TypeError, lambda: prop_.compute_attention(C5, [C5], A, [strided])),
        err(TypeError, lambda: prop_.compute_attention(C5, "ab", A, [A])))
    add("IRCPPropagator.compute_trajectory_coordinates",
        ok(lambda: prop_.compute_trajectory_coordinates(A, [("a", 0.5), ("b", 0.25)], [C5], 1, 2, 1, 0, "x")),
        err(ValueError, lambda: prop_.compute_trajectory_coordinates(A, [("a", 0.5, 1)], [])),
        err(TypeError, lambda: prop_.compute_trajectory_coordinates(A, [["a", 0.5]], [])),
        err(TypeError, lambda: prop_.compute_trajectory_coordinates(A, [], [C4])))
    add("IRCPPropagator.__repr__", ok(lambda: repr(prop_)))
    aw = prop_.compute_attention(C5, ctx_coords, A, ctx_embs)
    for prop in ("forward", "inverse", "cross", "raw_scores", "total_mass"):
        add(f"AttentionWeights.{prop}", ok(lambda p=prop: getattr(aw, p)))
    add("AttentionWeights.__len__", ok(lambda: len(aw)))
    add("AttentionWeights.__repr__", ok(lambda: repr(aw)))
    ring = h.Ring.with_capacity(4)
    for i in range(5):
        ring.push(i, C5)
    add("Ring.__new__", ok(lambda: h.Ring()))
    add("Ring.with_capacity", ok(lambda: h.Ring.with_capacity(8)), err(OverflowError, lambda: h.Ring.with_capacity(-1)))
    add("Ring.push", ok(lambda: h.Ring().push(1, C5)), err(TypeError, lambda: ring.push(1, C4)),
        err(RuntimeError, lambda: ring.push(Hook(lambda: ring.len, 1), C5)))
    add("Ring.get", ok(lambda: ring.get(7)), ok(lambda: h.Ring().get(0)))
    add("Ring.is_empty", ok(lambda: ring.is_empty()))
    add("Ring.len", ok(lambda: ring.len))
    add("Ring.ring_distance", ok(lambda: ring.ring_distance(1, 4)))
    add("Ring.next_idx", ok(lambda: ring.next_idx(4)))
    add("Ring.prev_idx", ok(lambda: ring.prev_idx(0)))
    add("Ring.neighbor_indices", ok(lambda: ring.neighbor_indices(2, 2)), ok(lambda: h.Ring().neighbor_indices(0, 3)))
    add("Ring.__repr__", ok(lambda: repr(ring)))
    dual = h.DualRing()
    dual.add(1, C5, True)
    dual.add(2, C5, False)
    add("DualRing.__new__", ok(lambda: h.DualRing()))
    add("DualRing.add", ok(lambda: h.DualRing().add(1, C5, False)), err(TypeError, lambda: dual.add(1, C5, 1)))
    for name in ("is_empty", "forward_len", "inverse_len"):
        add(f"DualRing.{name}", ok(lambda n=name: getattr(dual, n)()))
    add("DualRing.get_forward", ok(lambda: dual.get_forward(0)), ok(lambda: dual.get_forward(5)))
    add("DualRing.get_inverse", ok(lambda: dual.get_inverse(0)))
    add("DualRing.len", ok(lambda: dual.len))
    add("DualRing.__repr__", ok(lambda: repr(dual)))

    # -- coordinate tree, conservation
    tree = h.CoordinateTree()
    tree.add_node(0, None, C5)
    for i in range(1, 20):
        tree.add_node(i, (i - 1) // 2, C5)
    tree.preprocess()
    add("CoordinateTree.__new__", ok(lambda: h.CoordinateTree(4)), err(OverflowError, lambda: h.CoordinateTree(-1)))
    add("CoordinateTree.add_node", ok(lambda: tree.add_node(5, 2, C5)), err(TypeError, lambda: tree.add_node(5, 2, C4)),
        err(RuntimeError, lambda: tree.add_node(5, Hook(lambda: tree.len, 2), C5)))
    add("CoordinateTree.preprocess", ok(lambda: tree.preprocess()))
    for name in ("is_empty", "max_depth", "leaves", "preorder"):
        add(f"CoordinateTree.{name}", ok(lambda n=name: getattr(tree, n)()))
    add("CoordinateTree.depth", ok(lambda: tree.depth(7)), ok(lambda: tree.depth(99)))
    for name in ("lca", "path_distance", "is_ancestor", "is_descendant", "path"):
        add(f"CoordinateTree.{name}", ok(lambda n=name: getattr(tree, n)(7, 12)),
            ok(lambda n=name: getattr(tree, n)(7, 99)))
    add("CoordinateTree.kth_ancestor", ok(lambda: tree.kth_ancestor(19, 2)), ok(lambda: tree.kth_ancestor(19, 2**63)))
    add("CoordinateTree.nodes_at_depth", ok(lambda: tree.nodes_at_depth(3)))
    add("CoordinateTree.root", ok(lambda: tree.root))
    add("CoordinateTree.len", ok(lambda: tree.len))
    add("CoordinateTree.__repr__", ok(lambda: repr(tree)))
    cm_ = h.ConservationMetrics.compute([A, B], [0.5, 0.5])
    add("ConservationMetrics.compute", ok(lambda: h.ConservationMetrics.compute([A, B, A], (0.2, 0.3, 0.5))),
        err(InternalFailure, lambda: h.ConservationMetrics.compute([A, B], [0.5])),
        err(TypeError, lambda: h.ConservationMetrics.compute([A, [1.0]], [0.5, 0.5])),
        err(TypeError, lambda: h.ConservationMetrics.compute([A, strided], [0.5, 0.5])))
    add("ConservationMetrics.is_conserved", ok(lambda: cm_.is_conserved(cm_, 0.01)),
        err(TypeError, lambda: cm_.is_conserved(C4, 0.1)))
    for prop in ("magnitude", "energy", "information"):
        add(f"ConservationMetrics.{prop}", ok(lambda p=prop: getattr(cm_, p)))
    add("ConservationMetrics.__repr__", ok(lambda: repr(cm_)))

    # -- links
    link = h.ChainLink(C5, [0.1, 0.2, 0.3], h.LinkType.Code, 0.5, False, "l1")
    other = h.ChainLink(C5, (0.3, 0.2, 0.1))
    add("ChainLink.__new__", ok(lambda: h.ChainLink(C5, [0.5, 0.5], id="x")),
        err(TypeError, lambda: h.ChainLink(C5, "ab")), err(TypeError, lambda: h.ChainLink(C5, [0.5], 3)),
        err(KeyError, lambda: h.ChainLink(C5, BadSeq())))
    add("ChainLink.similarity", ok(lambda: link.similarity(other)), err(TypeError, lambda: link.similarity(C5)))
    for prop in ("embedding", "id", "coordinate", "influence", "is_user", "link_type"):
        add(f"ChainLink.{prop}", ok(lambda p=prop: getattr(link, p)))
    add("ChainLink.__repr__", ok(lambda: repr(link)))
    ecfg = h.ChainLinkEstimatorConfig(0.1, 0.2, 0.3, 0.4)
    add("ChainLinkEstimatorConfig.__new__", ok(lambda: h.ChainLinkEstimatorConfig()),
        err(TypeError, lambda: h.ChainLinkEstimatorConfig(x=1)))
    add("ChainLinkEstimatorConfig.default_config", ok(lambda: h.ChainLinkEstimatorConfig.default_config()))
    for prop in ("baseline_weight", "relationship_weight", "type_weight", "context_weight"):
        add(f"ChainLinkEstimatorConfig.{prop}", ok(lambda p=prop: getattr(ecfg, p)))
    add("ChainLinkEstimatorConfig.__repr__", ok(lambda: repr(ecfg)))
    est = h.ChainLinkEstimator(ecfg)
    add("ChainLinkEstimator.__new__", ok(lambda: h.ChainLinkEstimator()), err(TypeError, lambda: h.ChainLinkEstimator(1)))
    add("ChainLinkEstimator.estimate", ok(lambda: est.estimate(link, other)), err(TypeError, lambda: est.estimate(link, 1)))
    add("ChainLinkEstimator.estimate_detailed", ok(lambda: est.estimate_detailed(link, other)))
    add("ChainLinkEstimator.__repr__", ok(lambda: repr(est)))
    detail = est.estimate_detailed(link, other)
    for prop in ("total", "baseline", "relationship", "type_based", "context"):
        add(f"ChainLinkEstimate.{prop}", ok(lambda p=prop: getattr(detail, p)))
    add("ChainLinkEstimate.__repr__", ok(lambda: repr(detail)))
    ls = h.LinkStrength(0.5, 0.4, 0.3)
    add("LinkStrength.__new__", ok(lambda: h.LinkStrength(0.1, 0.2, 0.3)), err(TypeError, lambda: h.LinkStrength(0.1)))
    add("LinkStrength.from_semantic", ok(lambda: h.LinkStrength.from_semantic(0.7)))
    add("LinkStrength.is_strong", ok(lambda: ls.is_strong(0.3)), err(TypeError, lambda: ls.is_strong("x")))
    for prop in ("semantic", "temporal", "thematic", "combined"):
        add(f"LinkStrength.{prop}", ok(lambda p=prop: getattr(ls, p)))
    add("LinkStrength.__repr__", ok(lambda: repr(ls)))
    ccl = h.CrossChainLink("a", 1, "b", 2, ls, h.CrossChainLinkType.Reference)
    add("CrossChainLink.__new__", ok(lambda: h.CrossChainLink("a", 1, "b", 2, ls, h.CrossChainLinkType.Related)),
        err(TypeError, lambda: h.CrossChainLink("a", 1, "b", 2, ls, 1)))
    add("CrossChainLink.semantic", ok(lambda: h.CrossChainLink.semantic("a", 1, "b", 2, 0.9)),
        err(OverflowError, lambda: h.CrossChainLink.semantic("a", -1, "b", 2, 0.9)))
    add("CrossChainLink.is_bidirectional", ok(lambda: ccl.is_bidirectional()))
    for prop in ("source_chain", "target_chain", "description", "source_node", "target_node", "strength", "link_type"):
        add(f"CrossChainLink.{prop}", ok(lambda p=prop: getattr(ccl, p)))
    add("CrossChainLink.__repr__", ok(lambda: repr(ccl)))

    # -- conversation structure
    Cn, Rg = h.EdgeType.Continuation, h.EdgeType.Regeneration
    edges = [(1, 2, Cn), (2, 3, Cn), (3, 4, Cn), (2, 5, Rg), (5, 6, Cn), (4, 2, Cn)]  # a fork and a cycle
    g = h.TrajectoryGraph.from_edges(edges)
    ep = h.Episode(9, 1, 0.5, True, False, 10, False, 5)
    add("Episode.__new__", ok(lambda: h.Episode(1)), ok(lambda: h.Episode(2, parent=1, created_at=-5)),
        err(OverflowError, lambda: h.Episode(-1)), err(TypeError, lambda: h.Episode(1, weight="x")))
    for name in ("is_leaf", "is_root", "is_branch_point"):
        add(f"Episode.{name}", ok(lambda n=name: getattr(ep, n)()))
    for prop in ("id", "parent", "children", "weight", "has_thumbs_up", "has_thumbs_down", "has_error",
                 "content_length", "created_at"):
        add(f"Episode.{prop}", ok(lambda p=prop: getattr(ep, p)))
    add("Episode.__repr__", ok(lambda: repr(ep)))
    add("TrajectoryGraph.__new__", ok(lambda: h.TrajectoryGraph()))
    add("TrajectoryGraph.from_edges", ok(lambda: h.TrajectoryGraph.from_edges(edges)),
        err(ValueError, lambda: h.TrajectoryGraph.from_edges([(1, 2)])),
        err(TypeError, lambda: h.TrajectoryGraph.from_edges([(1, 2, 0)])),
        err(TypeError, lambda: h.TrajectoryGraph.from_edges([[1, 2, Cn]])),
        err(OverflowError, lambda: h.TrajectoryGraph.from_edges([(1, -2, Cn)])),
        err(KeyError, lambda: h.TrajectoryGraph.from_edges(BadSeq((1, 2, Cn)))))
    add("TrajectoryGraph.add_node", ok(lambda: h.TrajectoryGraph().add_node(ep)), err(TypeError, lambda: g.add_node(1)))
    add("TrajectoryGraph.get_node", ok(lambda: g.get_node(2)), ok(lambda: g.get_node(99)))
    for name in ("roots", "leaves", "find_branch_points"):
        add(f"TrajectoryGraph.{name}", ok(lambda n=name: getattr(g, n)()))
    add("TrajectoryGraph.is_branch_point", ok(lambda: g.is_branch_point(2)), ok(lambda: g.is_branch_point(99)))
    add("TrajectoryGraph.node_count", ok(lambda: g.node_count))
    add("TrajectoryGraph.__repr__", ok(lambda: repr(g)))

    SM, R = h.BranchStateMachine, h.BranchResolver
    line = h.TrajectoryGraph.from_edges([(i, i + 1, Cn) for i in range(1, 8)] + [(3, 20, Rg), (20, 21, Cn)])
    m = SM.from_graph(line)
    add("BranchStateMachine.__new__", err(TypeError, lambda: SM()))
    add("BranchStateMachine.from_graph", ok(lambda: SM.from_graph(g)), err(TypeError, lambda: SM.from_graph(ep)))
    add("BranchStateMachine.split", ok(lambda: SM.from_graph(line).split(5)), err(RuntimeError, lambda: m.split(99)),
        err(RuntimeError, lambda: m.split(Hook(lambda: m.branch_count, 5))))
    add("BranchStateMachine.merge", ok(lambda: SM.from_graph(line).merge(1, 0)), err(RuntimeError, lambda: m.merge(7, 0)),
        err(RuntimeError, lambda: m.merge(0, 0)))
    # traverse, archive and split keep a record in the machine: fresh machines keep the state bounded
    add("BranchStateMachine.traverse", ok(lambda: SM.from_graph(line).traverse(1)), err(RuntimeError, lambda: m.traverse(42)))
    add("BranchStateMachine.archive", ok(lambda: SM.from_graph(line).archive(1, "done")),
        err(RuntimeError, lambda: m.archive(42)), err(TypeError, lambda: m.archive(1, 5)))
    for name in ("current", "active_branches", "all_branches"):
        add(f"BranchStateMachine.{name}", ok(lambda n=name: getattr(m, n)()))
    add("BranchStateMachine.get_branch", ok(lambda: m.get_branch(0)), ok(lambda: m.get_branch(9)))
    add("BranchStateMachine.find_branch_for_node", ok(lambda: m.find_branch_for_node(6)),
        ok(lambda: m.find_branch_for_node(99)))
    add("BranchStateMachine.child_branches", ok(lambda: m.child_branches(0)), ok(lambda: m.child_branches(9)))
    add("BranchStateMachine.branch_count", ok(lambda: m.branch_count))
    add("BranchStateMachine.__repr__", ok(lambda: repr(m)))
    br = m.get_branch(1)
    for name in ("is_active", "is_root", "is_merged", "len"):
        add(f"Branch.{name}", ok(lambda n=name: getattr(br, n)()))
    for prop in ("id", "fork_point", "head", "status", "parent_branch", "child_branches", "nodes", "label",
                 "created_at", "updated_at"):
        add(f"Branch.{prop}", ok(lambda p=prop: getattr(br, p)))
    add("Branch.__repr__", ok(lambda: repr(br)))

    archived = SM.from_graph(line)
    archived.archive(1)
    [recov] = R.find_recoverable_branches(archived)

    def recover_fresh():
        machine = SM.from_graph(line)
        machine.archive(1)
        return R.recover(machine, recov)

    add("BranchResolver.__new__", ok(lambda: R()))
    add("BranchResolver.find_recoverable_branches", ok(lambda: R.find_recoverable_branches(archived)),
        ok(lambda: R.find_recoverable_branches(SM.from_graph(g))), err(TypeError, lambda: R.find_recoverable_branches(g)))
    add("BranchResolver.find_unselected_regenerations", ok(lambda: R.find_unselected_regenerations(archived)),
        err(TypeError, lambda: R.find_unselected_regenerations(None)))
    add("BranchResolver.recover", ok(recover_fresh), err(TypeError, lambda: R.recover(m, m)),
        err(RuntimeError, lambda: R.recover(SM.from_graph(h.TrajectoryGraph.from_edges([(50, 51, Cn)])), recov)))
    add("BranchResolver.__repr__", ok(lambda: repr(R())))
    for prop in ("branch_id", "suggested_strategy", "nodes", "fork_point", "entry_node", "head", "depth",
                 "recovery_score", "lost_reason"):
        add(f"RecoverableBranch.{prop}", ok(lambda p=prop: getattr(recov, p)))
    add("RecoverableBranch.__repr__", ok(lambda: repr(recov)))

    cm = h.ChainManager()
    cm.create_chain("main")
    cm.create_chain_from_graph(line, "tree")
    add("ChainManager.__new__", ok(lambda: h.ChainManager()))
    add("ChainManager.create_chain", ok(lambda: cm.delete_chain(cm.create_chain())),
        ok(lambda: cm.delete_chain(cm.create_chain("tmp"))), err(RuntimeError, lambda: cm.create_chain("main")),
        err(TypeError, lambda: cm.create_chain(5)))
    add("ChainManager.create_chain_from_graph", ok(lambda: cm.delete_chain(cm.create_chain_from_graph(g))),
        err(RuntimeError, lambda: cm.create_chain_from_graph(g, "main")),
        err(TypeError, lambda: cm.create_chain_from_graph(m)))
    add("ChainManager.get_chain", ok(lambda: cm.get_chain("tree")), ok(lambda: cm.get_chain("zz")))
    add("ChainManager.get_metadata", ok(lambda: cm.get_metadata("tree")), ok(lambda: cm.get_metadata("zz")))
    add("ChainManager.contains", ok(lambda: cm.contains("main")), err(TypeError, lambda: cm.contains(None)))
    add("ChainManager.chain_ids", ok(lambda: cm.chain_ids()))
    add("ChainManager.chain_count", ok(lambda: cm.chain_count))
    add("ChainManager.active_chain", ok(lambda: cm.active_chain))
    add("ChainManager.set_active_chain", ok(lambda: cm.set_active_chain("main")),
        err(RuntimeError, lambda: cm.set_active_chain("zz")))
    add("ChainManager.active_chain_machine", ok(lambda: cm.active_chain_machine()))
    add("ChainManager.delete_chain", ok(lambda: cm.delete_chain("zz")))
    def split_fresh():
        cm.create_chain_from_graph(line, "to-split")
        cm.delete_chain(cm.split_chain("to-split", 6))
        cm.delete_chain("to-split")

    add("ChainManager.split_chain", ok(split_fresh),
        err(RuntimeError, lambda: cm.split_chain("zz", 6)), err(RuntimeError, lambda: cm.split_chain("tree", 99)))

    def merge_fresh():
        cm.create_chain_from_graph(line, "from")
        cm.merge_chains("from", "main")

    add("ChainManager.merge_chains", ok(merge_fresh), err(RuntimeError, lambda: cm.merge_chains("zz", "main")),
        err(RuntimeError, lambda: cm.merge_chains("main", "main")))
    add("ChainManager.deactivate_chain", ok(lambda: (cm.deactivate_chain("tree"), cm.reactivate_chain("tree"))),
        err(RuntimeError, lambda: cm.deactivate_chain("zz")))
    add("ChainManager.reactivate_chain", ok(lambda: cm.reactivate_chain("tree")),
        err(RuntimeError, lambda: cm.reactivate_chain("zz")))
    add("ChainManager.stats", ok(lambda: cm.stats()))
    add("ChainManager.find_by_tag", ok(lambda: cm.find_by_tag("x")))
    add("ChainManager.find_by_title", ok(lambda: cm.find_by_title("ÉTÉ")))
    add("ChainManager.__repr__", ok(lambda: repr(cm)))
    meta = cm.get_metadata("tree")
    for prop in ("id", "tags", "title", "created_at", "last_accessed_at", "node_count", "branch_count", "is_active"):
        add(f"ChainMetadata.{prop}", ok(lambda p=prop: getattr(meta, p)))
    add("ChainMetadata.__repr__", ok(lambda: repr(meta)))

    # -- enumerations and classes without a constructor
    for cls in _classes():
        if _is_enum(cls):
            first = next(iter(_variants(cls).values()))
            add(f"{cls.__name__}.__repr__", ok(lambda x=first: repr(x)))
            add(f"{cls.__name__}.__eq__", ok(lambda x=first: (x == 0, x != 1, x == first, x == "a")))
            add(f"{cls.__name__}.__int__", ok(lambda x=first: int(x)))
            add(f"{cls.__name__}.__hash__", err(TypeError, lambda x=first: hash(x)))
            add(f"{cls.__name__}.__lt__", err(TypeError, lambda x=first: x < x))
            for name in _variants(cls):
                add(f"{cls.__name__}.{name}", ok(lambda c=cls, n=name: getattr(c, n)))
        if f"{cls.__name__}.__new__" not in cases:
            add(f"{cls.__name__}.__new__", err(TypeError, lambda c=cls: c()))
    samples = {"OutcomeStats": stats, "FlatIndex": flat, "HNSWIndex": hnsw, "IndexRegistry": reg,
               "InMemoryStore": store, "QueryCache": cache, "CacheStats": cstats, "SearchResult": hit,
               "TrajectoryCoordinate": C4, "TrajectoryCoordinate5D": C5, "TesselWeights": tw,
               "PhaseInferencer": pi, "SalienceScorer": scorer, "PathQualityFactors": pf,
               "IRCPPropagator": prop_, "Ring": ring, "DualRing": dual, "CoordinateTree": tree,
               "ConservationMetrics": cm_, "ChainLink": link, "ChainLinkEstimator": est, "LinkStrength": ls,
               "CrossChainLink": ccl, "Episode": ep, "TrajectoryGraph": g, "BranchStateMachine": m,
               "Branch": br, "ChainManager": cm}
    _add_matching_failures(cases, samples)
    return cases


def _internal_failure_type():
    try:
        h.OutcomeStats(2).update_scalar(1.0)
    except BaseException as e:  # noqa: B036 - the internal-failure class is not an Exception
        return type(e)
    raise AssertionError("expected an internal failure")


def _classes():
    return [o for n, o in vars(h).items() if isinstance(o, type) and not n.startswith("_")]


def _is_enum(cls):
    return "__int__" in vars(cls)


def _variants(cls):
    return {n: x for n, x in vars(cls).items() if isinstance(x, cls)}


def _callables():
    """Qualified names of every public callable, by introspection."""
    names = set()
    for n, o in vars(h).items():
        if n.startswith("_"):
            continue
        if isinstance(o, type):
            names.add(f"{n}.__new__")
            for attr, member in vars(o).items():
                if not attr.startswith("_") or attr in ("__repr__", "__len__", "__int__", "__eq__"):
                    names.add(f"{n}.{attr}")
        elif callable(o):
            names.add(n)
    return names


def _resolve(qualname):
    head, _, attr = qualname.partition(".")
    obj = getattr(h, head)
    if attr == "__new__":
        return obj
    return getattr(obj, attr) if attr else obj


def _add_matching_failures(cases, samples):
    """Argument-matching failures for every function, method and constructor:
    one positional argument too many and an unknown keyword."""
    for qual, calls in list(cases.items()):
        fn = _resolve(qual)
        if qual.endswith("__new__"):
            if calls[0][0] is not None:
                continue  # no constructor: the generic failure is already there
            target = fn
        elif type(fn).__name__ == "builtin_function_or_method":
            target = fn
        elif type(fn).__name__ == "method_descriptor":
            target = getattr(samples[qual.split(".")[0]], qual.split(".")[1])
        else:
            continue
        try:
            count = len(inspect.signature(target).parameters)
        except (TypeError, ValueError):
            continue
        extra = (0,) * (count + 1)
        calls.append(err(TypeError, lambda t=target, a=extra: t(*a)))
        calls.append(err(TypeError, lambda t=target: t(no_such_keyword=1)))


CASES = build_cases()


def _group(qualname):
    return qualname.split(".")[0]


GROUPS = sorted({_group(q) for q in CASES})


def _run_call(expected, fn):
    if expected is None:
        fn()
        return
    try:
        fn()
    except expected:
        return
    raise AssertionError(f"expected {expected.__name__}")


def test_table_covers_every_public_callable():
    missing = sorted(_callables() - set(CASES))
    assert not missing, f"no leak-test entry for: {missing}"


def test_every_case_behaves_as_declared():
    wrong = []
    for qual, calls in CASES.items():
        for expected, fn in calls:
            try:
                _run_call(expected, fn)
            except BaseException as e:  # noqa: B036
                wrong.append(f"{qual}: {type(e).__name__}: {e}")
    assert not wrong, "\n".join(wrong)


def _loop(calls, n):
    for _ in range(n):
        for expected, fn in calls:
            if expected is None:
                fn()
            else:
                try:
                    fn()
                except expected:
                    pass


def _growth(calls, n=ITERATIONS):
    _loop(calls, n // 4)  # warm-up: caches, free lists, arenas, lazily created types
    before = snapshot()
    _loop(calls, n)
    after = snapshot()
    return [a - b for a, b in zip(after, before)]


def _assert_bounded(label, growth):
    objects, blocks, native, rss = growth
    assert objects <= OBJECT_BOUND, f"{label}: {objects} more live objects"
    assert blocks <= BLOCK_BOUND, f"{label}: {blocks} more allocated blocks"
    assert native <= NATIVE_BOUND, f"{label}: {native} more bytes in use by malloc"
    assert rss <= RSS_BOUND, f"{label}: resident set grew by {rss} bytes"


@pytest.mark.parametrize("group", GROUPS)
def test_no_growth(group):
    names = [q for q in CASES if _group(q) == group]
    calls = [c for q in names for c in CASES[q]]
    growth = _growth(calls)
    objects, blocks, native, rss = growth
    if objects > OBJECT_BOUND or blocks > BLOCK_BOUND or native > NATIVE_BOUND or rss > RSS_BOUND:
        # Name the culprit: measure each callable on its own.
        culprits = []
        for q in names:
            g1 = _growth(CASES[q])
            if g1[0] > OBJECT_BOUND or g1[1] > BLOCK_BOUND or g1[2] > NATIVE_BOUND:
                culprits.append(f"{q}: {g1}")
        pytest.fail(f"{group} grew by {growth} (objects, blocks, malloc bytes, RSS); culprits: {culprits}")


def test_the_meters_see_a_leak():
    """The bounds are tight enough to notice one small leaked object per call."""
    kept = []
    growth = _growth([(None, lambda: kept.append(object()))])
    assert growth[1] > BLOCK_BOUND and growth[0] <= OBJECT_BOUND  # untracked objects still count as blocks
    kept.clear()
    malloc = ctypes.CDLL(None).malloc
    malloc.restype = ctypes.c_void_p
    malloc.argtypes = [ctypes.c_size_t]
    growth = _growth([(None, lambda: malloc(16))])  # never freed: a native leak only
    assert growth[2] > NATIVE_BOUND and growth[1] <= BLOCK_BOUND
