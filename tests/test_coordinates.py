"""Trajectory coordinates and dimension weights."""

import math

import numpy as np
import pytest

from halyard import TesselWeights, TrajectoryCoordinate, TrajectoryCoordinate5D

from conftest import f32


def test_roots_and_tuples():
    assert TrajectoryCoordinate.root().to_tuple() == (0, 0, 1.0, 0.0)
    root5 = TrajectoryCoordinate5D.root()
    assert (root5.depth, root5.sibling_order, root5.homogeneity, root5.temporal, root5.complexity) == (0, 0, 1.0, 0.0, 1)


def test_distances_4d():
    a, b = TrajectoryCoordinate(0, 0, 0.0, 0.0), TrajectoryCoordinate(3, 4, 0.0, 0.0)
    assert a.distance(b) == 5.0
    assert a.manhattan_distance(b) == 7.0
    assert a.weighted_distance(b, (1.0, 1.0, 1.0, 1.0)) == a.distance(b)
    assert a.weighted_distance(b, (-1.0, 0.0, 5.0, 5.0)) == 3.0  # negative acts as absolute, zero drops
    top = TrajectoryCoordinate(4294967295, 0, 0.0, 0.0)
    assert a.manhattan_distance(top) == 4294967296.0
    assert top.manhattan_distance(a) == 4294967296.0


def test_distance_adds_squares_in_field_order():
    a, b = TrajectoryCoordinate(7, 2, 0.1, 0.9), TrajectoryCoordinate(1, 5, 0.7, 0.2)
    dd, ds = f32(7) - f32(1), f32(2) - f32(5)
    dh, dt = f32(0.1) - f32(0.7), f32(0.9) - f32(0.2)
    expected = f32(np.sqrt(f32(f32(f32(dd * dd + ds * ds) + f32(dh * dh)) + f32(dt * dt))))
    assert a.distance(b) == float(expected)


def test_5d_distance_and_complexity():
    a = TrajectoryCoordinate5D(0, 0, 0.0, 0.0, 1)
    b = TrajectoryCoordinate5D(0, 0, 0.0, 0.0, 3)
    assert a.distance(b) == pytest.approx(math.log(2), rel=1e-6)
    assert TrajectoryCoordinate5D(0, 0, 0.0, 0.0, 10).complexity_factor() == 1.0
    assert TrajectoryCoordinate5D(0, 0, 0.0, 0.0, 20).complexity_factor() == pytest.approx(1.27, abs=0.005)
    assert TrajectoryCoordinate5D(0, 0, 0.0, 0.0, 0).complexity_factor() == 0.0
    assert [TrajectoryCoordinate5D(0, 0, 0.0, 0.0, c).is_multimodal() for c in (0, 1, 2)] == [False, False, True]


def test_4d_and_5d_conversions():
    c = TrajectoryCoordinate(2, 1, 0.85, 0.4)
    assert TrajectoryCoordinate5D.from_4d(c).complexity == 1
    assert TrajectoryCoordinate5D.from_4d_with_complexity(c, 0).complexity == 1
    assert TrajectoryCoordinate5D.from_4d_with_complexity(c, 7).complexity == 7
    assert TrajectoryCoordinate5D(0, 0, 1.0, 0.0, 0).complexity == 0
    back = TrajectoryCoordinate5D.from_4d_with_complexity(c, 7).to_4d()
    assert isinstance(back, TrajectoryCoordinate) and back.to_tuple() == c.to_tuple()


def test_dicts_hold_floats():
    d = TrajectoryCoordinate(2, 1, 0.5, 0.25).to_dict()
    assert d == {"depth": 2.0, "sibling_order": 1.0, "homogeneity": 0.5, "temporal": 0.25}
    assert all(type(v) is float for v in d.values())
    d5 = TrajectoryCoordinate5D(2, 1, 0.5, 0.25, 3).to_dict()
    assert set(d5) == {"depth", "sibling_order", "homogeneity", "temporal", "complexity"} and d5["complexity"] == 3.0


def test_float_fields_are_stored_unclamped_as_float32():
    c = TrajectoryCoordinate(0, 0, 1.7, float("nan"))
    assert c.homogeneity == float(f32(1.7)) and math.isnan(c.temporal)


@pytest.mark.parametrize(
    "obj, text",
    [
        (TrajectoryCoordinate(2, 1, 0.85, 0.4), "TrajectoryCoordinate(depth=2, sibling=1, homo=0.85, time=0.40)"),
        # 0.855 as float32 lies just above 0.855, so it rounds up.
        (TrajectoryCoordinate(2, 1, 0.855, 0.4), "TrajectoryCoordinate(depth=2, sibling=1, homo=0.86, time=0.40)"),
        # 0.125 is exact in binary: ties go to even.
        (TrajectoryCoordinate(0, 0, 0.125, 0.375), "TrajectoryCoordinate(depth=0, sibling=0, homo=0.12, time=0.38)"),
        (TrajectoryCoordinate5D(3, 0, 1.0, 0.0, 4),
         "TrajectoryCoordinate5D(depth=3, sibling=0, homo=1.00, time=0.00, complex=4)"),
        (TesselWeights(), "TesselWeights(d=0.25, s=0.15, h=0.30, t=0.20, c=0.10)"),
        (TesselWeights.equal(), "TesselWeights(d=0.20, s=0.20, h=0.20, t=0.20, c=0.20)"),
    ],
)
def test_reprs(obj, text):
    assert repr(obj) == text


@pytest.mark.parametrize(
    "preset, values",
    [
        (TesselWeights.default_weights, (0.25, 0.15, 0.30, 0.20, 0.10)),
        (TesselWeights.semantic_focused, (0.15, 0.10, 0.50, 0.15, 0.10)),
        (TesselWeights.structural_focused, (0.35, 0.25, 0.15, 0.15, 0.10)),
        (TesselWeights.temporal_focused, (0.15, 0.10, 0.20, 0.45, 0.10)),
        (TesselWeights.equal, (0.2, 0.2, 0.2, 0.2, 0.2)),
    ],
)
def test_weight_presets(preset, values):
    w = preset()
    assert w.to_array() == [float(f32(v)) for v in values]
    assert (w.depth, w.sibling, w.homogeneity, w.temporal, w.complexity) == tuple(float(f32(v)) for v in values)


def test_weights_are_kept_as_given():
    assert TesselWeights(depth=1.0).to_array() == [1.0] + TesselWeights().to_array()[1:]
    assert TesselWeights(2, 2, 2, 2, 2).to_array() == [2.0] * 5
    assert TesselWeights(-1.0).depth == -1.0
    assert TesselWeights().to_array()[1] == 0.15000000596046448
    d = TesselWeights().to_dict()
    assert set(d) == {"depth", "sibling", "homogeneity", "temporal", "complexity"}
    assert isinstance(TesselWeights().to_array(), list)
    with pytest.raises(TypeError, match="^argument 'temporal': "):
        TesselWeights(temporal="x")
