"""CoordinateTree: binary lifting over a tree of turns, detached and cyclic parents."""

import math

import pytest
from hypothesis import given, settings, strategies as st

from halyard import CoordinateTree, TrajectoryCoordinate5D as C5

C = C5(1, 0, 0.5, 0.5, 1)


class RefTree:
    """A direct model of the documented rules (no hashing, no tricks)."""

    def __init__(self):
        self.parent, self.children, self.depth, self.order = {}, {}, {}, []
        self.root, self.up, self.levels, self.pre = None, {}, 1, False

    def add(self, i, p):
        if i in self.parent:
            return False
        self.parent[i], self.children[i], self.depth[i] = p, [], 0
        self.order.append(i)
        if p is not None:
            if p in self.parent:
                self.children[p].append(i)
        elif self.root is None:
            self.root = i
        self.pre = False
        return True

    def preprocess(self):
        if self.pre or self.root is None:
            return
        n = len(self.parent)
        self.levels = max(math.ceil(math.log2(n + 1)), 1)
        stack = [(self.root, 0)]
        while stack:
            v, d = stack.pop()
            self.depth[v] = d
            stack += [(c, d + 1) for c in self.children[v]]
        self.up = {v: [self.parent[v]] + [None] * (self.levels - 1) for v in self.parent}
        for j in range(1, self.levels):
            for v in self.parent:
                u = self.up[v][j - 1]
                if u is not None and u in self.up:
                    self.up[v][j] = self.up[u][j - 1]
        self.pre = True

    def kth(self, v, k):
        if k == 0:
            return v if v in self.parent else None
        if not self.pre or k >> self.levels:
            return None
        for j in range(self.levels):
            if k >> j & 1:
                if v not in self.up or self.up[v][j] is None:
                    return None
                v = self.up[v][j]
        return v

    def lca(self, a, b):
        if not self.pre or a not in self.parent or b not in self.parent:
            return None
        x, y = (a, b) if self.depth[a] >= self.depth[b] else (b, a)
        x = self.kth(x, abs(self.depth[a] - self.depth[b]))
        if x is None:
            return None
        if x == y:
            return x
        for j in reversed(range(self.levels)):
            ux = self.up[x][j] if x in self.up else None
            uy = self.up[y][j] if y in self.up else None
            if ux is not None and uy is not None and ux != uy:
                x, y = ux, uy
        return self.up[x][0] if x in self.up else None

    def path(self, a, b):
        l = self.lca(a, b)
        if l is None:
            return None

        def climb(v):
            out = []
            while v != l:
                if v not in self.parent or self.parent[v] is None or len(out) >= len(self.parent):
                    return None  # absent, parentless, or going round a cycle
                out.append(v)
                v = self.parent[v]
            return out

        left, right = climb(a), climb(b)
        return None if left is None or right is None else left + [l] + right[::-1]

    def path_distance(self, a, b):
        l = self.lca(a, b)
        if l is None or l not in self.parent:
            return None
        d = self.depth[a] + self.depth[b] - 2 * self.depth[l]
        return d if d >= 0 else None

    def preorder(self):
        if self.root is None:
            return []
        out, stack = [], [self.root]
        while stack:
            v = stack.pop()
            out.append(v)
            stack += reversed(self.children[v])
        return out


def build(edges):
    t, r = CoordinateTree(), RefTree()
    for i, p in edges:
        assert t.add_node(i, p, C) == r.add(i, p)
    return t, r


def example(preprocess=True):
    t, _ = build([(1, None), (2, 1), (3, 1), (4, 2)])
    if preprocess:
        t.preprocess()
    return t


@pytest.mark.parametrize(
    "query, expected",
    [
        (lambda t: t.lca(4, 3), 1), (lambda t: t.lca(4, 2), 2), (lambda t: t.lca(3, 3), 3),
        (lambda t: t.path_distance(4, 3), 3), (lambda t: t.path_distance(4, 4), 0),
        (lambda t: t.path(4, 3), [4, 2, 1, 3]), (lambda t: t.path(1, 4), [1, 2, 4]), (lambda t: t.path(3, 3), [3]),
        (lambda t: t.kth_ancestor(4, 2), 1), (lambda t: t.kth_ancestor(4, 3), None),
        (lambda t: t.kth_ancestor(4, 8), None), (lambda t: t.kth_ancestor(4, 2**64 - 1), None),
        (lambda t: t.max_depth(), 2), (lambda t: t.preorder(), [1, 2, 4, 3]), (lambda t: t.depth(4), 2),
        (lambda t: t.depth(99), None), (lambda t: t.lca(4, 99), None), (lambda t: t.path(99, 1), None),
        (lambda t: t.is_ancestor(1, 4), True), (lambda t: t.is_ancestor(4, 1), False),
        (lambda t: t.is_ancestor(2, 2), True), (lambda t: t.is_descendant(4, 1), True),
        (lambda t: t.is_descendant(1, 4), False), (lambda t: sorted(t.nodes_at_depth(1)), [2, 3]),
        (lambda t: sorted(t.leaves()), [3, 4]), (lambda t: (t.root, t.len, t.is_empty()), (1, 4, False)),
        (lambda t: repr(t), "CoordinateTree(nodes=4, max_depth=2)"),
    ],
)
def test_worked_example(query, expected):
    assert query(example()) == expected


@pytest.mark.parametrize(
    "query, expected",
    [
        (lambda t: t.lca(4, 3), None), (lambda t: t.is_ancestor(1, 4), False), (lambda t: t.is_descendant(4, 1), False),
        (lambda t: t.depth(4), 0), (lambda t: t.kth_ancestor(4, 0), 4), (lambda t: t.kth_ancestor(4, 1), None),
        (lambda t: t.kth_ancestor(9, 0), None), (lambda t: t.path(4, 3), None), (lambda t: t.path_distance(4, 3), None),
        (lambda t: t.preorder(), [1, 2, 4, 3]), (lambda t: sorted(t.nodes_at_depth(0)), [1, 2, 3, 4]),
        (lambda t: t.max_depth(), 0),
    ],
)
def test_before_preprocess(query, expected):
    assert query(example(preprocess=False)) == expected


def test_lifecycle():
    t = example()
    assert t.add_node(2, 1, C) is False and t.lca(4, 3) == 1  # a refused add keeps the table
    assert t.add_node(5, 4, C) is True
    assert t.lca(4, 3) is None and t.depth(4) == 2 and t.depth(5) == 0 and t.max_depth() == 2
    t.preprocess()
    assert t.lca(5, 3) == 1 and t.depth(5) == 3 and t.path(5, 3) == [5, 4, 2, 1, 3]
    t.preprocess()  # a second call changes nothing
    assert t.kth_ancestor(5, 3) == 1


def test_detached_and_second_parentless_nodes():
    t = example()
    assert t.add_node(9, 42, C) and t.add_node(10, 42, C) and t.add_node(11, None, C)
    t.preprocess()
    assert t.root == 1 and t.len == 7
    assert 9 in t.leaves() and 11 in t.leaves() and 9 not in t.preorder()
    assert t.depth(9) == 0 and t.kth_ancestor(9, 1) == 42  # the recorded parent, though absent
    assert t.lca(9, 10) == 42 and t.path(9, 10) == [9, 42, 10]
    assert t.path_distance(9, 10) is None  # no depth for an absent ancestor
    assert t.lca(11, 1) is None and t.path(9, 1) is None


def test_empty_tree():
    t = CoordinateTree(capacity=0)
    t.preprocess()
    assert (t.root, t.len, t.is_empty(), t.max_depth(), t.preorder(), t.leaves()) == (None, 0, True, 0, [], [])
    assert t.lca(1, 1) is None and repr(t) == "CoordinateTree(nodes=0, max_depth=0)"
    # no root: preprocess leaves the tree unprocessed
    t.add_node(5, 4, C)
    t.preprocess()
    assert t.lca(5, 5) is None and t.kth_ancestor(5, 0) == 5
    assert CoordinateTree(2**63).len == 0  # capacity is only a hint


def test_cycles_of_recorded_parents_terminate():
    # 10 names 11 before 11 exists; 11 then names 10 (and becomes its child);
    # 12 hangs below 11; 13 is its own parent.
    t, r = build([(1, None), (2, 1), (10, 11), (11, 10), (12, 11), (13, 13)])
    t.preprocess()
    r.preprocess()
    ids = [1, 2, 10, 11, 12, 13, 99]
    for a in ids:
        for b in ids:
            assert t.lca(a, b) == r.lca(a, b)
            assert t.path(a, b) == r.path(a, b)
            assert t.path_distance(a, b) == r.path_distance(a, b)
        for k in range(10):
            assert t.kth_ancestor(a, k) == r.kth(a, k)
    assert t.preorder() == [1, 2] and sorted(t.leaves()) == [2, 12]


edge_lists = st.lists(st.tuples(st.integers(0, 15), st.one_of(st.none(), st.integers(0, 17))), max_size=25)


@settings(max_examples=150, deadline=None)
@given(edge_lists, st.booleans())
def test_matches_reference_model(edges, preprocess):
    t, r = build(edges)
    if preprocess:
        t.preprocess()
        r.preprocess()
    assert (t.root, t.len, t.preorder()) == (r.root, len(r.parent), r.preorder())
    assert sorted(t.leaves()) == sorted(v for v in r.parent if not r.children[v])
    ids = sorted(r.parent) + [16, 17]
    for a in ids:
        assert t.depth(a) == r.depth.get(a)
        for k in (0, 1, 2, 3, 5, 8, 16):
            assert t.kth_ancestor(a, k) == r.kth(a, k)
        for b in ids:
            assert t.lca(a, b) == r.lca(a, b)
            assert t.path(a, b) == r.path(a, b)
            assert t.path_distance(a, b) == r.path_distance(a, b)
            assert t.is_ancestor(a, b) == (r.lca(a, b) == a)
            assert t.is_descendant(a, b) == (r.lca(b, a) == b)


@pytest.mark.parametrize(
    "call, exc",
    [
        (lambda t: t.add_node(-1, None, C), OverflowError),
        (lambda t: t.add_node(1, "0", C), TypeError),
        (lambda t: t.add_node(1, None, (0, 0, 0.0, 0.0, 1)), TypeError),
        (lambda t: t.add_node(1, C), TypeError),  # parent is required, even though it may be None
        (lambda t: t.kth_ancestor(1, -1), OverflowError),
        (lambda t: t.nodes_at_depth(2**64), OverflowError),
    ],
)
def test_argument_errors(call, exc):
    t = CoordinateTree()
    with pytest.raises(exc):
        call(t)
    assert t.len == 0


def test_million_node_chain(python_subprocess):
    result = python_subprocess(
        """
        from halyard import CoordinateTree, TrajectoryCoordinate5D
        c = TrajectoryCoordinate5D.root()
        n = 1_000_000
        t = CoordinateTree(n)
        add = t.add_node
        add(0, None, c)
        for i in range(1, n):
            add(i, i - 1, c)
        t.preprocess()
        assert t.depth(n - 1) == n - 1 and t.max_depth() == n - 1
        assert t.lca(n - 1, 500_000) == 500_000 and t.lca(123_456, 654_321) == 123_456
        assert t.kth_ancestor(n - 1, n - 1) == 0 and t.kth_ancestor(n - 1, n) is None
        assert t.path_distance(n - 1, 1) == n - 2
        assert len(t.path(n - 1, 0)) == n and len(t.preorder()) == n
        print("ok")
        """,
        timeout=600,
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip() == "ok"
