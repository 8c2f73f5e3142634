"""Ring and DualRing: wrapping index arithmetic over (NodeId, coordinate) pairs."""

import pytest
from hypothesis import given, strategies as st

from halyard import DualRing, Ring, TrajectoryCoordinate5D

U64_MAX = 2**64 - 1


def coord(i=0):
    return TrajectoryCoordinate5D(i, i % 3, 0.25 * (i % 4), 0.1 * i, 1 + i % 5)


def ring_of(n):
    r = Ring()
    for i in range(n):
        r.push(100 + i, coord(i))
    return r


def ref_neighbors(n, idx, radius):
    if n == 0 or radius == 0:
        return []
    h = idx % n
    out = []
    for i in range(1, radius + 1):
        p, q = (h - i) % n, (h + i) % n
        out += [p] if p == q else [p, q]
    return out


def fields(c):
    return (c.depth, c.sibling_order, c.homogeneity, c.temporal, c.complexity)


def test_empty_ring():
    r = Ring()
    assert r.get(0) is None and r.get(99) is None
    assert (r.next_idx(5), r.prev_idx(5), r.ring_distance(3, 9)) == (0, 0, 0)
    assert r.neighbor_indices(3, 2) == []
    assert r.is_empty() and r.len == 0
    assert repr(r) == "Ring(len=0)"


def test_capacity_only_reserves():
    r = Ring.with_capacity(4)
    for i in range(5):
        r.push(i, coord(i))
    assert r.len == 5 and repr(r) == "Ring(len=5)"
    assert [r.get(i)[0] for i in range(5)] == [0, 1, 2, 3, 4]
    # A huge capacity is only a hint.
    assert Ring.with_capacity(2**62).len == 0


def test_get_wraps_and_copies():
    r = ring_of(5)
    node, c = r.get(7)
    assert node == 102 and fields(c) == fields(coord(2))
    assert r.get(7)[1] is not c
    assert r.get(U64_MAX)[0] == 100 + U64_MAX % 5


@pytest.mark.parametrize(
    "call, expected",
    [
        (lambda r: r.next_idx(4), 0),
        (lambda r: r.next_idx(7), 3),
        (lambda r: r.prev_idx(0), 4),
        (lambda r: r.prev_idx(7), 6),  # the argument is not reduced first
        (lambda r: r.ring_distance(1, 4), 2),
        (lambda r: r.ring_distance(0, 5), 0),
        (lambda r: r.next_idx(U64_MAX), (U64_MAX + 1) % 5),
        (lambda r: r.prev_idx(U64_MAX), U64_MAX - 1),
        (lambda r: r.neighbor_indices(0, 2), [4, 1, 3, 2]),
        (lambda r: r.neighbor_indices(0, 3), [4, 1, 3, 2, 2, 3]),
        (lambda r: r.neighbor_indices(7, 1), [1, 3]),
    ],
)
def test_ring_of_five(call, expected):
    assert call(ring_of(5)) == expected


@pytest.mark.parametrize("n, idx, radius, expected", [(2, 0, 2, [1, 0]), (1, 0, 3, [0, 0, 0]), (4, 1, 2, [0, 2, 3])])
def test_small_rings_collapse_coinciding_positions(n, idx, radius, expected):
    assert ring_of(n).neighbor_indices(idx, radius) == expected


@given(st.integers(1, 12), st.integers(0, U64_MAX), st.integers(0, U64_MAX), st.integers(0, 30))
def test_arithmetic_matches_reference(n, a, b, radius):
    r = ring_of(n)
    assert r.neighbor_indices(a, radius) == ref_neighbors(n, a, radius)
    d = r.ring_distance(a, b)
    assert d == min((a - b) % n, (b - a) % n) == r.ring_distance(b, a)
    assert d <= n // 2
    assert r.next_idx(a) == (a + 1) % n
    assert r.prev_idx(a) == (n - 1 if a == 0 else a - 1)


def test_impossible_neighbor_list_fails_cleanly():
    with pytest.raises(BaseException) as info:
        ring_of(5).neighbor_indices(0, 2**63)
    assert type(info.value).__name__ == "InternalFailure"
    assert not isinstance(info.value, Exception)


def test_dual_ring():
    d = DualRing()
    assert d.is_empty() and d.len == 0 and d.get_forward(0) is None
    d.add(1, coord(1), True)
    d.add(2, coord(2), False)
    assert (d.forward_len(), d.inverse_len(), d.len) == (1, 1, 2)
    assert d.get_forward(5)[0] == 2 and d.get_inverse(3)[0] == 1
    assert repr(d) == "DualRing(forward=1, inverse=1)"
    assert not d.is_empty()
    only_forward = DualRing()
    only_forward.add(7, coord(), False)
    assert only_forward.get_inverse(0) is None and only_forward.get_forward(0)[0] == 7


@pytest.mark.parametrize(
    "call, exc, message",
    [
        (lambda: ring_of(3).get(-1), OverflowError, None),
        (lambda: ring_of(3).neighbor_indices(1, -2), OverflowError, None),
        (lambda: Ring().push(2**64, coord()), OverflowError, None),
        (lambda: Ring().push(1, (0, 0, 0.0, 0.0, 1)), TypeError,
         "argument 'coord': 'tuple' object cannot be converted to 'TrajectoryCoordinate5D'"),
        (lambda: DualRing().add(1, coord(), 1), TypeError, "argument 'is_user'"),
        (lambda: DualRing().add("x", 5, 1), TypeError, "argument 'id'"),  # the first bad argument is named
        (lambda: len(Ring()), TypeError, None),  # len is a property, not the protocol
    ],
)
def test_argument_errors(call, exc, message):
    with pytest.raises(exc) as info:
        call()
    if message:
        assert str(info.value).startswith(message)


def test_pushed_coordinate_is_copied_and_ring_unchanged_by_failures():
    r = Ring()
    c = coord(3)
    r.push(5, c)
    del c
    with pytest.raises(TypeError):
        r.push(6, None)
    assert r.len == 1 and fields(r.get(0)[1]) == fields(coord(3))
