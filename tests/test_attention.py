"""I-RCP attention and the coordinate computation of a new turn."""

import inspect
import math

import numpy as np
import pytest
from conftest import arr, expf, f32, f32_cosine, f32_sum, log1pf
from hypothesis import given, settings, strategies as st

import halyard
from halyard import (
    AttentionWeights,
    IRCPConfig,
    IRCPPropagator,
    TrajectoryCoordinate5D as C5,
    compute_trajectory_coordinates,
)

DEFAULT_W = (0.25, 0.15, 0.30, 0.20, 0.10)
PRESETS = {
    # name: (temperature, coordinate weights, spatial_weight, causal_mask)
    "default_config": (1.0, DEFAULT_W, 0.3, False),
    "semantic_focused": (1.0, (0.15, 0.10, 0.50, 0.15, 0.10), 0.1, False),
    "spatial_focused": (1.0, (0.35, 0.25, 0.15, 0.15, 0.10), 0.7, False),
    "causal": (1.0, DEFAULT_W, 0.3, True),
    "sharp": (0.1, DEFAULT_W, 0.3, False),
    "diffuse": (3.0, DEFAULT_W, 0.3, False),
}


def internal_failure(call):
    with pytest.raises(BaseException) as info:
        call()
    assert type(info.value).__name__ == "InternalFailure" and not isinstance(info.value, Exception)
    return str(info.value)


# ---- float32 reference of the attention formulas ------------------------------------


def ref_spatial(q, c, w):
    terms = [
        f32(w[0]) * abs(f32(q.depth) - f32(c.depth)),
        f32(w[1]) * abs(f32(q.sibling_order) - f32(c.sibling_order)),
        f32(w[2]) * abs(f32(q.homogeneity) - f32(c.homogeneity)),
        f32(w[3]) * abs(f32(q.temporal) - f32(c.temporal)),
        f32(w[4]) * abs(log1pf(f32(q.complexity)) - log1pf(f32(c.complexity))),
    ]
    total = f32(0.0)
    for i, t in enumerate(terms):
        total = t * t if i == 0 else f32(total + t * t)
    return expf(-np.sqrt(total, dtype=np.float32))


def ref_attention(preset, qc, coords, q, ctx):
    temperature, w, sw, causal = preset
    sw = f32(sw)
    raw = []
    for c, e in zip(coords, ctx):
        if causal and f32(c.temporal) > f32(q.temporal if hasattr(q, "temporal") else qc.temporal):
            raw.append(f32(0.0))
            continue
        sem = f32(f32(f32_cosine(q, e) + f32(1)) * f32(0.5))
        raw.append(f32(ref_spatial(qc, c, w) * sw + sem * f32(f32(1) - sw)))
    n = len(raw)
    m = raw[0]
    for r in raw[1:]:
        if not m > r:
            m = r
    e = [expf(f32(f32(r - m) / f32(temperature))) for r in raw]
    s = f32_sum(e)
    forward = [max(f32(x / s), f32(1e-10)) for x in e] if s > 0 else [f32(f32(1) / f32(n))] * n
    p = [f32(x * x) for x in forward]
    ps = f32_sum(p)
    inverse = [f32(x / ps) for x in p] if ps > 0 else [f32(f32(1) / f32(n))] * n
    return np.array(raw, np.float32), np.array(forward, np.float32), np.array(inverse, np.float32)


def random_case(rng, n, dim, lengths=None):
    coords = [C5(int(rng.integers(0, 6)), int(rng.integers(0, 3)), float(rng.random()), float(rng.random()),
                 int(rng.integers(0, 7))) for _ in range(n)]
    lengths = lengths or [dim] * n
    ctx = [rng.standard_normal(k).astype(np.float32) for k in lengths]
    return C5(2, 1, 0.5, 0.5, 2), coords, rng.standard_normal(dim).astype(np.float32), ctx


# ---- configuration ------------------------------------------------------------------


@pytest.mark.parametrize("name", PRESETS)
def test_presets(name):
    temperature, _, sw, causal = PRESETS[name]
    c = getattr(IRCPConfig, name)()
    assert (c.temperature, c.spatial_weight, c.causal_mask) == (f32(temperature), f32(sw), causal)
    assert repr(c) == f"IRCPConfig(temp={temperature:.2f}, spatial={sw:.2f}, causal={str(causal).lower()})"


def test_config_constructor():
    assert repr(IRCPConfig()) == "IRCPConfig(temp=1.00, spatial=0.30, causal=false)"
    c = IRCPConfig(0.1, spatial_weight=2, causal_mask=True)
    assert (c.temperature, c.spatial_weight, c.causal_mask) == (f32(0.1), 2.0, True)
    assert repr(IRCPConfig.causal()) == "IRCPConfig(temp=1.00, spatial=0.30, causal=true)"
    with pytest.raises(TypeError, match="argument 'causal_mask'"):
        IRCPConfig(causal_mask=1)
    with pytest.raises(TypeError, match="argument 'temperature'"):
        IRCPConfig("hot")
    with pytest.raises(AttributeError):
        c.temperature = 2.0


def test_propagator_construction():
    assert repr(IRCPPropagator()) == "IRCPPropagator()"
    assert repr(IRCPPropagator(None)) == "IRCPPropagator()"
    with pytest.raises(TypeError, match="argument 'config': 'int' object cannot be converted to 'IRCPConfig'"):
        IRCPPropagator(5)
    with pytest.raises(TypeError, match="No constructor defined for AttentionWeights"):
        AttentionWeights()


# ---- attention against the reference ------------------------------------------------


@pytest.mark.parametrize("name", PRESETS)
@pytest.mark.parametrize("n, dim", [(1, 3), (5, 8), (37, 19)])
def test_attention_matches_reference(name, n, dim):
    rng = np.random.default_rng(n * 100 + dim)
    qc, coords, q, ctx = random_case(rng, n, dim)
    w = IRCPPropagator(getattr(IRCPConfig, name)()).compute_attention(qc, coords, q, ctx)
    raw, forward, inverse = ref_attention(PRESETS[name], qc, coords, q, ctx)
    # exp and log1p come from different maths libraries: allow a few ulps.
    np.testing.assert_allclose(w.raw_scores, raw, rtol=3e-7, atol=0)
    np.testing.assert_allclose(w.forward, forward, rtol=2e-6, atol=0)
    np.testing.assert_allclose(w.inverse, inverse, rtol=4e-6, atol=0)
    assert np.array_equal(w.cross, w.forward)
    assert w.total_mass == f32_sum(w.forward)
    assert len(w) == n and repr(w) == f"AttentionWeights(len={n}, total_mass={w.total_mass:.3f})"


@settings(max_examples=30, deadline=None)
@given(st.integers(1, 40), st.integers(0, 25), st.lists(st.integers(0, 30), min_size=40, max_size=40),
       st.integers(0, 2**32 - 1))
def test_semantic_term_is_bit_exact(n, qdim, lengths, seed):
    # With spatial_weight 0 the raw score is the semantic term alone:
    # (lenient cosine + 1) * 0.5, with any mix of embedding lengths.
    rng = np.random.default_rng(seed)
    qc, coords, q, ctx = random_case(rng, n, qdim, lengths[:n])
    raw = IRCPPropagator(IRCPConfig(spatial_weight=0.0)).compute_attention(qc, coords, q, ctx).raw_scores
    expected = [f32(f32(f32_cosine(q, e) + f32(1)) * f32(0.5)) for e in ctx]
    assert raw.tobytes() == np.array(expected, np.float32).tobytes()


def test_same_length_batches_are_bit_exact():
    rng = np.random.default_rng(3)
    qc, coords, q, ctx = random_case(rng, 50, 61)
    ctx[7] = np.zeros(61, np.float32)
    ctx[20][5] = np.inf
    raw = IRCPPropagator(IRCPConfig(spatial_weight=0.0)).compute_attention(qc, coords, q, ctx).raw_scores
    with np.errstate(invalid="ignore"):
        expected = np.array([f32(f32(f32_cosine(q, e) + f32(1)) * f32(0.5)) for e in ctx], np.float32)
    assert raw[7] == 0.5 and np.isnan(raw[20])
    assert raw.tobytes() == expected.tobytes()


@pytest.mark.parametrize(
    "coords, embs, forward, inverse",
    [
        ([C5(9, 9, 0.0, 0.9, 9)], [arr(-1, 0)], [1.0], [1.0]),
        ([C5(1, 0, 0.5, 0.5, 1)] * 2, [arr(1, 2), arr(1, 2)], [0.5, 0.5], [0.5, 0.5]),
    ],
)
def test_small_examples(coords, embs, forward, inverse):
    w = IRCPPropagator().compute_attention(C5(1, 0, 0.5, 0.5, 1), coords, arr(1, 2), embs)
    assert w.forward.tolist() == forward and w.inverse.tolist() == inverse
    assert w.cross.tolist() == forward and w.total_mass == sum(forward)


def test_identical_turn_scores_one_and_outputs_are_copies():
    qc, q = C5(3, 1, 0.4, 0.2, 4), arr(0.5, -1, 2)
    w = IRCPPropagator().compute_attention(qc, [C5(3, 1, 0.4, 0.2, 4)], q, [q.copy()])
    assert w.raw_scores[0] == pytest.approx(1.0, abs=1e-6)
    w.forward[0] = 7.0
    assert w.forward[0] == 1.0 and w.forward.dtype == np.float32


def test_empty_context():
    w = IRCPPropagator().compute_attention(C5.root(), [], arr(1), [])
    assert len(w) == 0 and w.total_mass == 0.0 and w.forward.shape == (0,) and w.raw_scores.size == 0


def test_causal_mask():
    qc = C5(1, 0, 0.5, 0.5, 1)
    coords = [C5(1, 0, 0.5, 0.5, 1), C5(1, 0, 0.5, 0.9, 1), C5(1, 0, 0.5, 0.1, 1)]
    embs = [arr(1, 0), arr(1, 0), arr(1, 0)]
    causal = IRCPPropagator(IRCPConfig.causal()).compute_attention(qc, coords, arr(1, 0), embs)
    plain = IRCPPropagator().compute_attention(qc, coords, arr(1, 0), embs)
    assert causal.raw_scores[1] == 0.0 and plain.raw_scores[1] > 0.9
    assert causal.raw_scores[0] == plain.raw_scores[0]  # equal temporal value is not masked
    assert 0 < causal.forward[1] < causal.forward[0]


def test_temperature_zero_and_nan_give_uniform_weights():
    coords = [C5(i, 0, 0.5, 0.1 * i, 1) for i in range(4)]
    embs = [arr(1, i) for i in range(4)]
    w = IRCPPropagator(IRCPConfig(temperature=0.0)).compute_attention(C5.root(), coords, arr(1, 1), embs)
    assert w.forward.tolist() == [0.25] * 4 and w.inverse.tolist() == [0.25] * 4
    embs[2] = arr(np.nan, 1)
    w = IRCPPropagator().compute_attention(C5.root(), coords, arr(1, 1), embs)
    assert np.isnan(w.raw_scores[2]) and w.forward.tolist() == [0.25] * 4


def test_zero_query_embedding_gives_neutral_semantics():
    coords = [C5(0, 0, 1.0, 0.0, 1)] * 3
    w = IRCPPropagator(IRCPConfig(spatial_weight=0.0)).compute_attention(
        C5.root(), coords, np.zeros(4, np.float32), [arr(1, 2, 3, 4), arr(-1), arr()])
    assert w.raw_scores.tolist() == [0.5, 0.5, 0.5]


def test_sharpness_and_epsilon_floor():
    coords = [C5(0, 0, 1.0, 0.0, 1)] * 3
    embs = [arr(1, 0), arr(0, 1), arr(-1, 0)]
    args = (C5.root(), coords, arr(1, 0), embs)
    sharp = IRCPPropagator(IRCPConfig.sharp()).compute_attention(*args)
    diffuse = IRCPPropagator(IRCPConfig.diffuse()).compute_attention(*args)
    assert sharp.forward[0] > 0.95 and diffuse.forward[0] < 0.5
    cold = IRCPPropagator(IRCPConfig(temperature=1e-3)).compute_attention(*args)
    assert cold.forward.tolist() == [1.0, f32(1e-10), f32(1e-10)]  # floored, not renormalised
    assert cold.total_mass == f32(f32(1.0) + f32(1e-10)) + f32(1e-10)


def test_count_mismatch_is_an_internal_failure():
    q = arr(1, 0)
    message = internal_failure(
        lambda: IRCPPropagator().compute_attention(C5.root(), [C5.root()] * 3, q, [q, q]))
    assert message == "assertion `left == right` failed: Coordinate and embedding counts must match\n  left: 3\n right: 2"


@pytest.mark.parametrize(
    "args, exc, message",
    [
        ((C5.root(), [C5.root()], arr(1, 2, 3)[::2], [arr(1)]), TypeError, "The given array is not contiguous"),
        ((C5.root(), [C5.root()], arr(1), [arr(1, 2, 3)[::2]]), TypeError, "The given array is not contiguous"),
        # contiguity is checked before the counts
        ((C5.root(), [], arr(1), [arr(1, 2, 3)[::2]]), TypeError, "The given array is not contiguous"),
        ((C5.root(), [C5.root()], arr(1), "abc"), TypeError, "argument 'context_embs': Can't extract `str` to `Vec`"),
        ((C5.root(), [C5.root()], [1.0], [arr(1)]), TypeError,
         "argument 'query_emb': 'list' object cannot be converted to 'PyArray<T, D>'"),
        ((C5.root(), [C5.root()], arr(1), [np.ones(1)]), TypeError, "argument 'context_embs'"),
        ((None, [], arr(1), []), TypeError, "argument 'query_coord'"),
        ((C5.root(), [halyard.TrajectoryCoordinate(0, 0, 0.0, 0.0)], arr(1), [arr(1)]), TypeError,
         "argument 'context_coords'"),
    ],
)
def test_attention_argument_errors(args, exc, message):
    with pytest.raises(exc) as info:
        IRCPPropagator().compute_attention(*args)
    assert str(info.value).startswith(message)


# ---- coordinate computation ---------------------------------------------------------


def both(embedding, sims, **kw):
    """The coordinate from the method and from the function, which must agree."""
    a = IRCPPropagator(IRCPConfig.sharp()).compute_trajectory_coordinates(
        embedding, [(f"t{i}", s) for i, s in enumerate(sims)], [C5.root()], **kw)
    b = compute_trajectory_coordinates(embedding, sims, **kw)
    fa = (a.depth, a.sibling_order, a.homogeneity, a.temporal, a.complexity)
    fb = (b.depth, b.sibling_order, b.homogeneity, b.temporal, b.complexity)
    assert fa == fb or (np.isnan(fa[2]) and np.isnan(fb[2]) and fa[3:] == fb[3:])
    return a


@pytest.mark.parametrize(
    "sims, expected",
    [([], 0.5), ([0.2, 0.4], f32(f32(f32(0.2) + f32(0.4)) / f32(2))), ([1.5, 2.0], 1.0), ([-0.5], 0.0),
     ([0.1, 0.2, 0.3], f32(f32(f32(f32(0.1) + f32(0.2)) + f32(0.3)) / f32(3)))],
)
def test_homogeneity(sims, expected):
    assert both(arr(1, 2), sims).homogeneity == expected


def test_nan_similarity_stays_nan():
    assert math.isnan(both(arr(1), [0.5, float("nan")]).homogeneity)


@pytest.mark.parametrize("turn_index, temporal", [(0, 0.0), (50, 0.5), (100, 1.0), (250, 1.0), (-10, f32(-0.1)),
                                                  (-(2**31), f32(f32(-(2**31)) / f32(100)))])
def test_temporal(turn_index, temporal):
    assert both(arr(1), [], turn_index=turn_index).temporal == temporal


@pytest.mark.parametrize("kw, depth, sibling", [({}, 0, 0), ({"session_depth": -3, "sibling_order": -1}, 0, 0),
                                                ({"session_depth": 7, "sibling_order": 2**31 - 1}, 7, 2**31 - 1)])
def test_depth_and_sibling_order(kw, depth, sibling):
    c = both(arr(1), [], **kw)
    assert (c.depth, c.sibling_order) == (depth, sibling)


@pytest.mark.parametrize(
    "embedding, complexity",
    [
        (arr(), 1), (arr(np.nan, 1), 1), (arr(3, 3, 3), 1), (arr(0, 1), 5), (arr(0, 0.25), 1), (arr(-1, 1), 10),
        (arr(0, 0.5), 3),  # 2.5 rounds away from zero
        (arr(np.inf, 0), 1),  # NaN spread
        (arr(1e20, -1e20), 2**32 - 1), (arr(-1e30, 1e30, 0), 2**32 - 1),  # saturates
        (arr(*range(10)), round(math.sqrt(8.25) * 10)),
    ],
)
def test_complexity(embedding, complexity):
    assert both(embedding, []).complexity == complexity


@settings(max_examples=40, deadline=None)
@given(st.lists(st.floats(-3, 3, width=32), max_size=40), st.lists(st.floats(-2, 2, width=32), max_size=6),
       st.integers(-(2**31), 2**31 - 1), st.integers(-(2**31), 2**31 - 1), st.integers(-(2**31), 2**31 - 1))
def test_method_and_function_agree(values, sims, depth, turn, sibling):
    e = np.array(values, np.float32)
    c = both(e, sims, session_depth=depth, turn_index=turn, sibling_order=sibling)
    # and both follow the float32 recipe
    if values:
        mu = f32(f32_sum(e) / f32(len(e)))
        var = f32(f32_sum([f32(f32(x - mu) * f32(x - mu)) for x in e]) / f32(len(e)))
        spread = float(f32(np.sqrt(var) * f32(10)))
        assert c.complexity == max(math.floor(spread + 0.5), 1)  # halves round away from zero


def test_ignored_arguments_do_not_change_the_result():
    a = both(arr(0, 1), [0.2], project_phase="exploration", sibling_count=7)
    b = both(arr(0, 1), [0.2])
    assert (a.homogeneity, a.complexity) == (b.homogeneity, b.complexity)


@pytest.mark.parametrize(
    "call, exc, message",
    [
        (lambda p: p.compute_trajectory_coordinates(arr(1), [], [], project_phase=3), TypeError,
         "argument 'project_phase'"),
        (lambda p: p.compute_trajectory_coordinates(arr(1), [("a", 0.1, 2)], []), ValueError,
         "expected tuple of length 2, but got tuple of length 3"),
        (lambda p: p.compute_trajectory_coordinates(arr(1), [(1, 0.1)], []), TypeError, "argument 'neighbors'"),
        (lambda p: p.compute_trajectory_coordinates(arr(1), [["a", 0.1]], []), TypeError, "argument 'neighbors'"),
        (lambda p: p.compute_trajectory_coordinates(arr(1), [], [1]), TypeError, "argument 'neighbor_coords'"),
        (lambda p: p.compute_trajectory_coordinates(arr(1), [], [], sibling_count=2**31), OverflowError,
         "out of range integral type conversion attempted"),
        # every argument is converted before the embedding's contiguity is checked
        (lambda p: p.compute_trajectory_coordinates(arr(1, 2, 3, 4)[::2], [], [], project_phase=3), TypeError,
         "argument 'project_phase'"),
        (lambda p: p.compute_trajectory_coordinates(arr(1, 2, 3, 4)[::2], [], []), TypeError,
         "The given array is not contiguous"),
        (lambda p: compute_trajectory_coordinates(arr(1), "abc"), TypeError,
         "argument 'neighbor_similarities': Can't extract `str` to `Vec`"),
        (lambda p: compute_trajectory_coordinates(arr(1), [0.1, "x"]), TypeError, "argument 'neighbor_similarities'"),
        (lambda p: compute_trajectory_coordinates(np.ones(2), []), TypeError, "argument 'embedding'"),
        (lambda p: compute_trajectory_coordinates(arr(1), [], turn_index=-(2**31) - 1), OverflowError,
         "out of range integral type conversion attempted"),
    ],
)
def test_coordinate_argument_errors(call, exc, message):
    with pytest.raises(exc) as info:
        call(IRCPPropagator())
    assert str(info.value).startswith(message)


def test_signatures_and_docstrings():
    sig = "(embedding, neighbor_similarities, session_depth=0, turn_index=0, sibling_count=1, sibling_order=0, " \
          "project_phase='implementation')"
    assert str(inspect.signature(compute_trajectory_coordinates)) == sig
    assert compute_trajectory_coordinates.__doc__.startswith("Compute trajectory coordinates for a new turn.\n\n")
    method = IRCPPropagator.compute_trajectory_coordinates
    assert "neighbors, neighbor_coords, session_depth=0" in str(inspect.signature(method))
    assert method.__doc__.startswith("Compute trajectory coordinates for a new turn based on context.")
    assert '"planning", "implementation"' in method.__doc__
    assert IRCPPropagator.compute_attention.__doc__ == "Compute full I-RCP attention (forward + inverse + cross)."


def test_registration_order():
    names = [n for n in vars(halyard._halyard_rs) if not n.startswith("_")]
    ours = ["TesselWeights", "IRCPConfig", "AttentionWeights", "IRCPPropagator", "CoordinateTree", "Ring",
            "DualRing", "ConservationMetrics"]
    assert [n for n in names if n in ours] == ours
    assert names.index("ConservationMetrics") < names.index("cosine_similarity")
    assert names[-1] == "compute_trajectory_coordinates"
