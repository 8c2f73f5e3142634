"""Vector functions against step-by-step float32 references."""

import math

import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st
from hypothesis.extra.numpy import arrays

from halyard import (
    TrajectoryCoordinate,
    TrajectoryCoordinate5D,
    cosine_similarity,
    euclidean_distance,
    normalize,
    trajectory_weighted_cosine,
    trajectory_weighted_cosine_5d,
)

from conftest import arr, f32, f32_cosine, f32_sum

finite = st.floats(-1e3, 1e3, width=32, allow_subnormal=False)


def pair(max_len=64):
    return st.integers(0, max_len).flatmap(
        lambda n: st.tuples(arrays(np.float32, n, elements=finite), arrays(np.float32, n, elements=finite))
    )


@settings(max_examples=200, deadline=None)
@given(pair())
def test_cosine_matches_sequential_float32_reference(ab):
    a, b = ab
    assert cosine_similarity(a, b) == float(f32_cosine(a, b))


@settings(max_examples=200, deadline=None)
@given(pair())
def test_euclidean_matches_sequential_float32_reference(ab):
    a, b = ab
    expected = f32(np.sqrt(f32_sum(f32(f32(x - y) * f32(x - y)) for x, y in zip(a, b))))
    assert euclidean_distance(a, b) == float(expected)


@settings(max_examples=200, deadline=None)
@given(arrays(np.float32, st.integers(1, 64), elements=finite))
def test_normalize_divides_each_element_by_the_float32_norm(v):
    s = f32_sum(f32(x * x) for x in v)
    if s == 0:
        with pytest.raises(ValueError, match="^Cannot normalize zero vector$"):
            normalize(v)
        return
    norm = f32(np.sqrt(s))
    out = normalize(v)
    assert out.dtype == np.float32 and out.shape == v.shape
    assert out.tolist() == [float(f32(x / norm)) for x in v]


def test_cosine_edge_values():
    assert cosine_similarity(arr(0, 0), arr(0, 0)) == 0.0
    assert cosine_similarity(arr(0, 0), arr(1, 2)) == 0.0
    assert cosine_similarity(arr(), arr()) == 0.0
    assert cosine_similarity(arr(1, 0), arr(2, 0)) == 1.0
    assert cosine_similarity(arr(1, 0), arr(-1, 0)) == -1.0
    assert math.isnan(cosine_similarity(arr(np.nan, 1), arr(1, 1)))
    assert euclidean_distance(arr(0, 0), arr(3, 4)) == 5.0
    assert euclidean_distance(arr(), arr()) == 0.0


def test_normalize_returns_a_new_array():
    v = arr(3, 4)
    out = normalize(v)
    assert out.tolist() == [float(f32(0.6)), float(f32(0.8))]
    assert v.tolist() == [3.0, 4.0]
    out[0] = 9
    assert normalize(v)[0] == f32(0.6)
    with pytest.raises(ValueError, match="^Cannot normalize zero vector$"):
        normalize(arr())


def test_fortran_ordered_and_readonly_arrays_are_read_in_place():
    v = np.asfortranarray(arr(3, 4))
    v.flags.writeable = False
    assert normalize(v).tolist() == normalize(arr(3, 4)).tolist()


def test_misaligned_buffers_are_read_correctly():
    raw = np.zeros(4 * 3 + 1, dtype=np.uint8)
    view = raw[1:].view(np.float32)
    view[:] = [1.0, 2.0, 2.0]
    assert not view.flags.aligned
    assert euclidean_distance(view, arr(1, 2, 2)) == 0.0


C0 = TrajectoryCoordinate(0, 0, 0.0, 0.0)


@pytest.mark.parametrize(
    "fn, ca, cb",
    [
        (trajectory_weighted_cosine, C0, C0),
        (trajectory_weighted_cosine_5d, TrajectoryCoordinate5D.root(), TrajectoryCoordinate5D.root()),
    ],
)
def test_weighted_forms_share_the_preconditions(fn, ca, cb):
    with pytest.raises(ValueError, match="^Vectors must have same dimension$"):
        fn(arr(1, 2, 3), arr(1, 2, 3, 4), ca, cb, 0.5)
    for f in (cosine_similarity, euclidean_distance):
        with pytest.raises(ValueError, match="^Vectors must have same dimension$"):
            f(arr(1, 2, 3), arr(1, 2, 3, 4))


def test_trajectory_weighted_cosine_blend_and_clamps():
    a = arr(3, 4)
    c = TrajectoryCoordinate(2, 1, 0.3, 0.7)
    assert trajectory_weighted_cosine(a, a, c, c, 0.5) == 1.0
    far = TrajectoryCoordinate(5, 0, 0.0, 0.0)
    assert trajectory_weighted_cosine(a, a, C0, far, 1.0) == 0.0
    assert trajectory_weighted_cosine(a, a, C0, far, 2.0) == 0.0  # weight clamps to 1
    assert trajectory_weighted_cosine(a, a, C0, far, -1.0) == 1.0  # weight clamps to 0
    assert math.isnan(trajectory_weighted_cosine(a, a, C0, far, float("nan")))


@settings(max_examples=100, deadline=None)
@given(pair(16), st.integers(0, 6), st.floats(0, 1, width=32), st.floats(-0.5, 1.5, width=32))
def test_trajectory_weighted_cosine_matches_float32_reference(ab, depth, homo, weight):
    a, b = ab
    ca, cb = TrajectoryCoordinate(depth, 1, homo, 0.25), TrajectoryCoordinate(0, 3, 0.5, 0.75)
    cos = f32_cosine(a, b)
    w = f32(min(max(f32(weight), f32(0)), f32(1)))
    d = f32(ca.distance(cb))
    s = f32(min(max(f32(f32(d * f32(-0.25)) + f32(1)), f32(0)), f32(1)))
    expected = f32(f32(f32(1) - w) * cos) + f32(w * s)
    assert trajectory_weighted_cosine(a, b, ca, cb, weight) == float(expected)


def test_trajectory_weighted_cosine_5d_divides_by_four_and_a_half():
    a = arr(1, 0)
    ca = TrajectoryCoordinate5D(0, 0, 0.0, 0.0, 1)
    cb = TrajectoryCoordinate5D(0, 0, 0.0, 0.0, 3)
    d = f32(ca.distance(cb))
    assert d == pytest.approx(math.log(2), rel=1e-6)
    expected = f32(f32(d / f32(-4.5)) + f32(1))
    assert trajectory_weighted_cosine_5d(a, a, ca, cb, 1.0) == float(expected)
    assert trajectory_weighted_cosine_5d(a, a, ca, cb, 1.0) == pytest.approx(0.846, abs=1e-3)
