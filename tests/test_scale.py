"""Large and cyclic inputs, each in a fresh interpreter with a timeout (a
crash, a stack overflow or a runaway walk fails the test, not the run).

These complement the long-conversation tests of test_chains.py (a million-
turn line and a 300,000-deep comb through building, split, archive and both
finders) and the million-node chain of test_coordinate_tree.py: here every
graph-consuming operation meets a million turns and million-turn cycles,
and the indexes meet a million vectors and mass removals.
"""

import numpy as np
import pytest

from conftest import run_python

CONVERSATION = """
import time
from halyard import _halyard_rs as h
C, Rg = h.EdgeType.Continuation, h.EdgeType.Regeneration
R = h.BranchResolver
n = 1_000_000
# A million-turn line with a 1,001-turn regeneration at its middle.
edges = [(i, i + 1, C) for i in range(n - 1)]
edges += [(n // 2, 2 * n, Rg)] + [(2 * n + i, 2 * n + i + 1, C) for i in range(1000)]
g = h.TrajectoryGraph.from_edges(edges)
assert g.node_count == n + 1001 and g.roots() == [0] and sorted(g.leaves()) == [n - 1, 2 * n + 1000]
assert g.find_branch_points() == [(n // 2, [n // 2 + 1, 2 * n])] and g.is_branch_point(n // 2)
assert repr(g) == f"TrajectoryGraph(nodes={n + 1001}, roots=1, leaves=2)"

m = h.BranchStateMachine.from_graph(g)
shape = sorted((b.id, b.len(), b.fork_point, b.head) for b in m.all_branches())
assert shape == [(0, n // 2 + 1, 0, n // 2), (1, n // 2 - 1, n // 2, n - 1), (2, 1001, n // 2, 2 * n + 1000)]
assert len(m.active_branches()) == 3 and m.child_branches(0) == [1, 2]
assert m.find_branch_for_node(n - 1) == 1 and m.find_branch_for_node(2 * n + 7) == 2

orig, new, at, moved = m.split(n // 4)
assert (orig, new, at, len(moved)) == (0, 3, n // 4, n - n // 4 + 1001)  # the turns below, forks included
m.traverse(3)
assert m.current().id == 3
target, merged, point = m.merge(3, 0)
assert (target, merged) == (0, 3) and m.get_branch(3).is_merged()
m.archive(2, "aside")
[rec] = R.find_recoverable_branches(m)
assert (rec.branch_id, len(rec.nodes), rec.lost_reason) == (2, 1001, h.LostReason.Archived)
assert rec.depth == n // 2 + 1001
[alt] = R.find_unselected_regenerations(m)
assert len(alt.nodes) == 1001 and alt.entry_node == 2 * n
assert R.recover(m, rec) == 2  # reactivation hands the branch back as it is
copy_id = R.recover(m, alt)
assert m.get_branch(copy_id).len() == 1001
assert m.branch_count == 5

# A million episodes added one by one (they record parents, but adding
# links no children and leaves the root and leaf snapshots empty).
g2 = h.TrajectoryGraph()
add, E = g2.add_node, h.Episode
add(E(0))
for i in range(1, n):
    add(E(i, i - 1))
assert g2.node_count == n and g2.get_node(n - 1).parent == n - 2 and g2.roots() == g2.leaves() == []
m2 = h.BranchStateMachine.from_graph(g2)
assert m2.branch_count == 0 and R.find_unselected_regenerations(m2) == []
assert len(R.find_recoverable_branches(m2)) <= n

cm = h.ChainManager()
cid = cm.create_chain_from_graph(g, "long")
assert cm.stats() == {"total_chains": 1, "active_chains": 1, "total_nodes": n + 1001, "total_branches": 3}
part = cm.split_chain(cid, n // 3)
assert cm.get_metadata(cid).branch_count == 4 and cm.get_metadata(part).title.startswith("Split from long")
assert cm.get_chain(cid).branch_count == 4 and cm.active_chain_machine().branch_count == 4
cm.create_chain_from_graph(g2, "second")
assert cm.stats()["total_nodes"] == 2 * n + 1001
cm.merge_chains("second", cid)
assert cm.stats() == {"total_chains": 1, "active_chains": 1, "total_nodes": n + 1001, "total_branches": 4}

# A comb of regenerations: each of 500,000 spine turns has an alternative
# reply, so the forks nest 500,000 deep; archiving the spine's last branch
# leaves one unselected alternative at the bottom.
k = 500_000
comb = []
for i in range(k):
    comb.append((i, 10**7 + i, Rg))
    comb.append((i, i + 1, C))
m = h.BranchStateMachine.from_graph(h.TrajectoryGraph.from_edges(comb))
assert m.branch_count == 2 * k + 1 and m.find_branch_for_node(k) == 2 * k
m.archive(2 * k)
[alt] = R.find_unselected_regenerations(m)
assert (alt.entry_node, alt.depth) == (k, k)
assert len(R.find_recoverable_branches(m)) == 1
assert m.get_branch(R.recover(m, alt)).nodes == [k]
print("ok")
"""

CYCLIC = """
from halyard import _halyard_rs as h
C = h.EdgeType.Continuation
R = h.BranchResolver
n = 1_000_000
# A million-turn line whose last turn points back to its second turn.
g = h.TrajectoryGraph.from_edges([(i, i + 1, C) for i in range(n - 1)] + [(n - 1, 1, C)])
assert g.roots() == [0] and g.leaves() == [] and g.find_branch_points() == []
m = h.BranchStateMachine.from_graph(g)
assert m.branch_count == 1 and m.current().len() == n
assert m.split(n // 2)[:3] == (0, 1, n // 2)
assert m.merge(1, 0)[:2] == (0, 1)
m.traverse(0)
m.archive(1)
recs = R.find_recoverable_branches(m)
assert [(r.branch_id, r.lost_reason) for r in recs] == [(1, h.LostReason.Archived)]
assert R.recover(m, recs[0]) == 1
assert R.find_unselected_regenerations(m) == []
cm = h.ChainManager()
cid = cm.create_chain_from_graph(g)
cm.split_chain(cid, 5)
assert cm.stats()["total_nodes"] == n and cm.stats()["total_branches"] == 2

# A rootless million-turn ring with one turn hanging off it: nothing is
# tracked, the ring is untracked material.
ring = [(i, (i + 1) % n, C) for i in range(n)] + [(7, n + 1, C)]
g = h.TrajectoryGraph.from_edges(ring)
assert g.roots() == [] and g.leaves() == [n + 1] and g.find_branch_points() == [(7, [8, n + 1])]
m = h.BranchStateMachine.from_graph(g)
assert m.branch_count == 0 and m.current() is None
recs = R.find_recoverable_branches(m)
assert recs and all(r.lost_reason == h.LostReason.Untracked and r.depth == 0 for r in recs)
assert max(len(r.nodes) for r in recs) == n + 1
for rec in recs:
    try:
        R.recover(m, rec)  # material hanging off no tracked branch may not be recoverable
    except RuntimeError as e:
        assert "not found" in str(e)
assert R.find_unselected_regenerations(m) == []
cm = h.ChainManager()
cid = cm.create_chain_from_graph(g)
assert cm.stats() == {"total_chains": 1, "active_chains": 1, "total_nodes": n + 1, "total_branches": 0}
try:
    cm.split_chain(cid, 5)
except RuntimeError as e:
    assert "not found" in str(e)

# Coordinate trees: recorded parents forming a million-node cycle, and a
# million-node chain recorded leaf first.
c = h.TrajectoryCoordinate5D.root()
t = h.CoordinateTree(n)
add = t.add_node
add(0, None, c)
for i in range(1, n):
    add(i, (i + 1) % n if i < n - 1 else 1, c)
# Nothing is required of the answers on a cycle except that every query
# ends, before and after preprocessing.
for step in (lambda: None, t.preprocess):
    step()
    assert t.root == 0 and t.len == n and t.depth(0) == 0
    for a, b in ((5, 9), (5, n // 2), (n - 1, 1)):
        t.lca(a, b), t.path_distance(a, b), t.is_ancestor(a, b), t.is_descendant(a, b)
        path = t.path(a, b)
        assert path is None or len(path) <= n
    t.kth_ancestor(5, n), t.kth_ancestor(5, 3), t.max_depth()
    assert len(t.preorder()) <= n and len(t.leaves()) <= n and len(t.nodes_at_depth(0)) <= n

# A million-node chain recorded leaf first: each parent is added after its
# child, so only the root is reachable; every query still ends.
t = h.CoordinateTree()
add = t.add_node
for i in range(n - 1, 0, -1):
    add(i, i - 1, c)
add(0, None, c)
for step in (lambda: None, t.preprocess):
    step()
    assert t.preorder() == [0] and t.depth(n - 1) == 0 and t.max_depth() == 0
    t.lca(n - 1, 3), t.kth_ancestor(n - 1, n - 1), t.path_distance(10, n - 10), t.is_ancestor(2, n - 2)
    path = t.path(n - 1, 1)
    assert path is None or len(path) <= n
    assert len(t.nodes_at_depth(0)) == n and len(t.leaves()) <= n
print("ok")
"""

FLAT = """
import numpy as np
from halyard import _halyard_rs as h
n, dim = 1_000_000, 8
rng = np.random.default_rng(3)
X = rng.standard_normal((n, dim)).astype(np.float32)
ids = [f"v{i}" for i in range(n)]
Q = rng.standard_normal((10, dim)).astype(np.float32)
X64 = X.astype(np.float64)

def check(index, alive, kind, k=10):
    rows = np.flatnonzero(alive)
    for q in Q:
        got = index.search(q, k)
        idx = np.array([int(r.id[1:]) for r in got])
        assert len(got) == min(k, len(rows)) and alive[idx].all()
        if kind == "L2":
            d = np.sqrt(((X64[rows] - q) ** 2).sum(axis=1))
            mine = np.sqrt(((X64[idx] - q) ** 2).sum(axis=1))
        else:
            d = -(X64[rows] @ q)
            mine = -(X64[idx] @ q)
        assert np.allclose(np.sort(mine), np.sort(d)[:k], rtol=1e-4, atol=1e-4)
        assert all(a.distance <= b.distance for a, b in zip(got, got[1:])) if kind == "L2" else \\
               all(a.distance >= b.distance for a, b in zip(got, got[1:]))

for kind in ("L2", "InnerProduct"):
    index = h.FlatIndex(dim, getattr(h.DistanceType, kind))
    add = index.add
    for i in range(n):
        add(ids[i], X[i])
    assert index.len == n
    alive = np.ones(n, bool)
    check(index, alive, kind)
    everything = index.search(Q[0], n + 5)
    assert len(everything) == n and len({r.id for r in everything}) == n
    for i in range(0, n, 3):
        assert index.remove(ids[i])
    alive[::3] = False
    assert index.len == alive.sum() and not index.contains("v0") and index.contains("v1")
    check(index, alive, kind, k=50)
    del index
print("ok")
"""

HNSW = """
import time
import numpy as np
from halyard import _halyard_rs as h
n, dim = 200_000, 8
rng = np.random.default_rng(4)
X = rng.standard_normal((n, dim)).astype(np.float32)
Q = rng.standard_normal((40, dim)).astype(np.float32)
ids = [f"v{i}" for i in range(n)]
start = time.perf_counter()
index = h.HNSWIndex(dim, 8, 64)
add = index.add
for i in range(n):
    add(ids[i], X[i])
built = time.perf_counter() - start

def recall(alive):
    rows = np.flatnonzero(alive)
    found = 0
    for q in Q:
        d = ((X[rows] - q) ** 2).sum(axis=1)
        want = set(rows[np.argsort(d)[:10]].tolist())
        got = [int(r.id[1:]) for r in index.search(q, 10)]
        assert len(got) == min(10, len(rows)) and alive[got].all()
        found += len(want & set(got))
    return found / (10 * len(Q))

alive = np.ones(n, bool)
assert recall(alive) >= 0.95
order = rng.permutation(n)
for frac in (0.5, 0.9, 0.99):
    for i in order[: int(n * frac)]:
        if alive[i]:
            assert index.remove(ids[i])
            alive[i] = False
    assert index.len == alive.sum()
    assert recall(alive) >= 0.9, (frac, recall(alive))
for i in np.flatnonzero(alive):
    index.remove(ids[i])
alive[:] = False
assert index.len == 0 and index.is_empty() and index.search(Q[0], 10) == []
for i in range(2000):
    add(ids[i], X[i])
    alive[i] = True
assert recall(alive) >= 0.95
print("ok", round(built, 1), round(time.perf_counter() - start, 1))
"""


@pytest.mark.parametrize("name", ["CONVERSATION", "CYCLIC", "FLAT", "HNSW"])
def test_scale(name):
    done = run_python(globals()[name], timeout=600)
    assert done.returncode == 0, done.stderr[-3000:]
    assert done.stdout.startswith("ok"), done.stdout


def test_hnsw_search_quality_survives_mass_removal():
    """Removing most entries leaves the rest reachable: searches still fill
    their results with the nearest live entries."""
    from halyard import _halyard_rs as h

    rng = np.random.default_rng(8)
    X = rng.standard_normal((3000, 6)).astype(np.float32)
    index = h.HNSWIndex(6, 4, 32)
    for i, row in enumerate(X):
        index.add(str(i), row)
    keep = np.zeros(3000, bool)
    keep[::20] = True  # 150 live entries remain, fewer than the search breadth
    for i in np.flatnonzero(~keep):
        index.remove(str(i))
    rows = np.flatnonzero(keep)
    found = 0
    for q in X[:30] + 0.05:
        got = [int(r.id) for r in index.search(q, 10)]
        assert len(got) == 10 and keep[got].all()
        d = ((X[rows] - q) ** 2).sum(axis=1)
        found += len(set(got) & set(rows[np.argsort(d)[:10]].tolist()))
    assert found >= 0.95 * 300
    for i in rows[:-1]:
        index.remove(str(i))
    [last] = index.search(X[0], 5)
    assert last.id == str(rows[-1])
