"""ConservationMetrics: attention-weighted magnitude, pairwise energy and entropy."""

import math

import numpy as np
import pytest
from conftest import arr, f32, f32_sum
from hypothesis import given, settings, strategies as st

from halyard import ConservationMetrics

compute = ConservationMetrics.compute


def seq_dots(embs):
    """Pairwise dot products over the common prefix, each summed in index
    order in float32 (vectorised across pairs, sequential along components)."""
    n = len(embs)
    width = max((len(e) for e in embs), default=0)
    m = np.zeros((n, width), np.float32)
    lens = np.array([len(e) for e in embs])
    for i, e in enumerate(embs):
        m[i, : len(e)] = e
    dots = np.zeros((n, n), np.float32)
    common = np.minimum.outer(lens, lens)
    with np.errstate(invalid="ignore", over="ignore"):
        for d in range(width):
            dots = np.where(d < common, dots + np.outer(m[:, d], m[:, d]), dots)
    return dots


def seq_sum(values):
    """Sequential float32 sum (np.add.accumulate adds strictly in order)."""
    values = np.asarray(values, np.float32).ravel()
    return np.add.accumulate(values, dtype=np.float32)[-1] if values.size else f32(0)


def reference(embs, att):
    att = np.asarray(att, np.float32)
    if len(embs) == 0:
        return f32(0), f32(0), f32(0)
    dots = seq_dots(embs)
    norms = np.sqrt(np.diag(dots))
    with np.errstate(invalid="ignore", over="ignore", divide="ignore"):
        cos = dots / np.outer(norms, norms)
        cos[(norms == 0)[:, None] | (norms == 0)[None, :]] = 0
        terms = np.outer(att, att) * cos.astype(np.float32)
    magnitude = seq_sum(att * norms)
    big = att[att > f32(1e-10)]
    h = seq_sum(big * np.log(big))
    return magnitude, f32(seq_sum(terms) * f32(0.5)), f32(f32(0) - h)


def same(got, expected):
    """Magnitude and energy bit for bit; the information within an ulp or
    two, since ln comes from different maths libraries."""
    a, b = np.array(got, np.float32), np.array(expected, np.float32)
    return a[:2].tobytes() == b[:2].tobytes() and np.allclose(a[2], b[2], rtol=3e-7, atol=0, equal_nan=True)


def metrics(m):
    return m.magnitude, m.energy, m.information


@pytest.mark.parametrize(
    "embs, att, expected",
    [
        ([], [], (0.0, 0.0, 0.0)),
        ([arr(3, 4)], [1.0], (5.0, 0.5, 0.0)),
        ([arr(1, 0), arr(0, 1)], [0.5, 0.5], (1.0, 0.25, f32(-2 * f32(0.5 * np.log(f32(0.5)))))),
        ([arr(0, 0), arr(3, 4)], [0.7, 1.0], (5.0, 0.5, -f32(f32(0.7) * np.log(f32(0.7))))),  # a zero vector adds nothing
        ([arr(1), arr(1), arr(1)], [0.0, 1e-11, -0.5], (-0.5, f32(0.125), 0.0)),
    ],
)
def test_examples(embs, att, expected):
    m = compute(embs, att)
    assert same(metrics(m), expected)
    assert not math.copysign(1, m.information) < 0  # never "-0.000"


def test_unequal_lengths_use_common_prefix_and_full_norms():
    m = compute([arr(1, 0), arr(1, 0, 5)], [1.0, 1.0])
    c = f32(f32(1) / f32(f32(1) * np.sqrt(f32(26))))
    assert m.energy == f32(f32(f32(f32(1) + c) + c) + f32(1)) * f32(0.5)
    assert same(metrics(m), reference([arr(1, 0), arr(1, 0, 5)], [1.0, 1.0]))


@pytest.mark.parametrize("n, dim", [(3, 5), (17, 33), (40, 8), (33, 130)])
def test_bit_exact_against_float32_reference(n, dim):
    rng = np.random.default_rng(n + dim)
    embs = [rng.standard_normal(dim).astype(np.float32) for _ in range(n)]
    embs[1] = np.zeros(dim, np.float32)
    att = rng.random(n).astype(np.float32) - 0.1
    assert same(metrics(compute(embs, att.tolist())), reference(embs, att))


@settings(max_examples=30, deadline=None)
@given(st.lists(st.integers(0, 12), max_size=20), st.integers(0, 2**32 - 1))
def test_mixed_lengths_are_bit_exact(lengths, seed):
    rng = np.random.default_rng(seed)
    embs = [rng.standard_normal(k).astype(np.float32) for k in lengths]
    att = rng.random(len(lengths)).astype(np.float32)
    assert same(metrics(compute(embs, att)), reference(embs, att))


def test_many_embeddings_stream_rows():
    # Past a few thousand embeddings the cosine matrix is not kept in memory;
    # the result must not change.
    rng = np.random.default_rng(11)
    embs = [rng.standard_normal(3).astype(np.float32) for _ in range(4100)]
    embs[5] = np.zeros(3, np.float32)
    att = rng.random(4100).astype(np.float32) / 1000
    assert same(metrics(compute(embs, att)), reference(embs, att))


def test_non_finite_components():
    embs = [np.ones(16, np.float32) for _ in range(12)]
    embs[3][2] = np.inf
    m = compute(embs, [0.1] * 12)
    assert np.isnan(m.energy) and same(metrics(m), reference(embs, [0.1] * 12))


def test_repr_and_getters():
    m = compute([arr(3, 4)], (1.0,))
    assert repr(m) == "ConservationMetrics(mag=5.000, energy=0.500, info=0.000)"
    with pytest.raises(AttributeError):
        m.energy = 1.0
    with pytest.raises(TypeError, match="No constructor defined for ConservationMetrics"):
        ConservationMetrics()


def test_is_conserved():
    a = compute([arr(1, 0), arr(0, 1)], [0.5, 0.5])
    b = compute([arr(2, 0), arr(0, 2)], [0.25, 0.25])  # same magnitude, energy 0.0625
    assert a.is_conserved(compute([arr(1, 0), arr(0, 1)], [0.5, 0.5]), 1e-6)
    assert not a.is_conserved(a, 0.0)  # strict comparison
    assert a.is_conserved(b, 0.19) and not a.is_conserved(b, 0.1875) and not b.is_conserved(a, 0.18)
    c = compute([arr(1, 0)], [1.0])
    d = compute([arr(1, 0), arr(0, 0)], [1.0, 0.3])  # differs only in information
    assert c.information != d.information and c.is_conserved(d, 1e-30)
    assert not a.is_conserved(a, float("nan"))
    with pytest.raises(TypeError, match="argument 'other'"):
        a.is_conserved(1.0, 1.0)


def test_count_mismatch_is_an_internal_failure():
    with pytest.raises(BaseException) as info:
        compute([arr(1), arr(2)], [1.0])
    assert type(info.value).__name__ == "InternalFailure" and not isinstance(info.value, Exception)
    assert str(info.value) == (
        "assertion `left == right` failed: Embeddings and attention must have same length\n  left: 2\n right: 1")


@pytest.mark.parametrize(
    "args, exc, message",
    [
        (([arr(1, 2, 3, 4)[::2]], []), TypeError, "The given array is not contiguous"),  # before the count check
        (([arr(1)], "a"), TypeError, "argument 'attention': Can't extract `str` to `Vec`"),
        (([arr(1)], [None]), TypeError, "argument 'attention'"),
        (([[1.0]], [1.0]), TypeError, "argument 'embeddings'"),
        ((arr(1, 2), [1.0, 1.0]), TypeError, "argument 'embeddings'"),
    ],
)
def test_argument_errors(args, exc, message):
    with pytest.raises(exc) as info:
        compute(*args)
    assert str(info.value).startswith(message)
