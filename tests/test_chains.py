"""Chain manager, and long and cyclic conversations end to end."""

import re
import time

import pytest

from halyard import _halyard_rs as h

C = h.EdgeType.Continuation
ID = re.compile(r"^chain_([0-9a-f]+)_([0-9a-f]{4,})$")


def graph(*pairs):
    return h.TrajectoryGraph.from_edges([(p, c, C) for p, c in pairs])


def counter_of(chain_id):
    return int(ID.match(chain_id).group(2), 16)


def test_create_and_generated_ids():
    cm = h.ChainManager()
    assert repr(cm) == "ChainManager(chains=0, active=None)"
    assert cm.stats() == {"total_chains": 0, "active_chains": 0, "total_nodes": 0, "total_branches": 0}
    before = time.time()
    first = cm.create_chain()
    m = ID.match(first)
    assert m and abs(int(m.group(1), 16) - before) <= 2
    # One counter for the whole process, shared by all managers.
    second = h.ChainManager().create_chain(None)
    third = cm.create_chain()
    assert counter_of(second) == counter_of(first) + 1 and counter_of(third) == counter_of(first) + 2
    assert cm.active_chain == first and repr(cm) == f'ChainManager(chains=2, active=Some("{first}"))'
    meta = cm.get_metadata(first)
    assert (meta.id, meta.tags, meta.title, meta.node_count, meta.branch_count, meta.is_active) == (
        first, [], None, 0, 0, True)
    assert meta.created_at == meta.last_accessed_at >= int(before)
    assert repr(meta) == f"ChainMetadata(id='{first}', nodes=0, branches=0)"
    assert cm.get_chain(first).branch_count == 0 and cm.get_chain("nope") is None
    with pytest.raises(TypeError, match="^No constructor defined for ChainMetadata$"):
        h.ChainMetadata()


def test_repr_quotes_the_active_id():
    cm = h.ChainManager()
    cm.create_chain('say "hi"\\')
    assert repr(cm) == r'ChainManager(chains=1, active=Some("say \"hi\"\\"))'


def test_duplicate_and_maximum():
    cm = h.ChainManager()
    assert cm.create_chain("a") == "a"
    with pytest.raises(RuntimeError, match="^Chain already exists: a$"):
        cm.create_chain("a")
    with pytest.raises(RuntimeError, match="^Chain already exists: a$"):
        cm.create_chain_from_graph(graph((1, 2)), "a")
    for i in range(999):
        cm.create_chain(f"c{i}")
    with pytest.raises(RuntimeError, match="^Maximum number of chains reached$"):
        cm.create_chain()
    assert cm.create_chain_from_graph(graph((1, 2)), "extra") == "extra"
    assert cm.chain_count == 1001 and cm.active_chain == "a"


def test_create_from_graph():
    cm = h.ChainManager()
    g = graph((1, 2), (1, 3))
    cid = cm.create_chain_from_graph(g)
    assert ID.match(cid)
    meta = cm.get_metadata(cid)
    assert (meta.node_count, meta.branch_count) == (3, 3)
    assert cm.stats() == {"total_chains": 1, "active_chains": 1, "total_nodes": 3, "total_branches": 3}
    assert cm.active_chain_machine().branch_count == 3


def test_activation_rules():
    cm = h.ChainManager()
    assert cm.active_chain_machine() is None
    for name in "abc":
        cm.create_chain(name)
    assert cm.active_chain == "a"
    cm.set_active_chain("c")
    assert cm.active_chain == "c"
    with pytest.raises(RuntimeError, match="^Chain not found: zz$"):
        cm.set_active_chain("zz")
    cm.deactivate_chain("b")
    assert not cm.get_metadata("b").is_active and cm.active_chain == "c"
    assert cm.stats()["active_chains"] == 2
    cm.reactivate_chain("b")
    assert cm.get_metadata("b").is_active
    for call in (cm.deactivate_chain, cm.reactivate_chain):
        with pytest.raises(RuntimeError, match="^Chain not found: zz$"):
            call("zz")


def test_deletion_rules():
    cm = h.ChainManager()
    for name in "abc":
        cm.create_chain(name)
    assert cm.delete_chain("zz") is False and cm.active_chain == "a"
    assert cm.delete_chain("b") is True and cm.active_chain == "a"
    assert cm.delete_chain("a") is True and cm.active_chain == "c"
    assert cm.get_metadata("a") is None and not cm.contains("a")
    assert cm.delete_chain("c") is True and cm.active_chain is None
    assert cm.chain_ids() == [] and cm.chain_count == 0


def test_split_chain():
    cm = h.ChainManager()
    cm.create_chain_from_graph(graph((1, 2), (2, 3)), "src")
    new = cm.split_chain("src", 2)
    assert ID.match(new) and not cm.contains(new) and new not in cm.chain_ids()
    meta = cm.get_metadata(new)
    assert meta.title == "Split from src at node 2" and (meta.node_count, meta.branch_count) == (0, 0)
    assert cm.get_metadata("src").branch_count == 2 and cm.get_chain("src").find_branch_for_node(3) == 1
    # The metadata-only chain is seen by metadata operations but not by machine operations.
    cm.deactivate_chain(new)
    assert not cm.get_metadata(new).is_active
    with pytest.raises(RuntimeError, match=f"^Chain not found: {new}$"):
        cm.set_active_chain(new)
    assert cm.find_by_title("SPLIT") == [new] and cm.find_by_tag("") == [] and cm.find_by_tag("src") == []
    assert cm.stats()["total_chains"] == 1


@pytest.mark.parametrize(
    "node,text",
    [(1, "Branch error: Cannot split the root node"), (7, "Branch error: Node 7 not found")],
)
def test_split_chain_errors(node, text):
    cm = h.ChainManager()
    cm.create_chain_from_graph(graph((1, 2)), "x")
    with pytest.raises(RuntimeError, match=f"^{text}$"):
        cm.split_chain("x", node)
    with pytest.raises(RuntimeError, match="^Chain not found: y$"):
        cm.split_chain("y", 1)
    cm2 = h.ChainManager()
    cm2.create_chain_from_graph(h.TrajectoryGraph.from_edges([(5, 6, C)]), "one")
    with pytest.raises(RuntimeError, match="^Branch error: Cannot split the root node$"):
        cm2.split_chain("one", 5)


def test_find_by_title_lowercases_unicode():
    cm = h.ChainManager()
    cm.create_chain_from_graph(graph((1, 2)), "ÅNGSTRÖM-İSTANBUL")
    new = cm.split_chain("ÅNGSTRÖM-İSTANBUL", 2)
    assert cm.find_by_title("ångström") == [new]
    assert cm.find_by_title("i̇stanbul") == [new]  # İ lowercases to i + combining dot above
    assert cm.find_by_title("") == [new] and cm.find_by_title("nowhere") == []


def test_merge_chains():
    cm = h.ChainManager()
    cm.create_chain_from_graph(graph((1, 2)), "a")
    cm.create_chain_from_graph(graph((5, 6), (5, 7)), "b")
    with pytest.raises(RuntimeError, match="^Invalid operation: Cannot merge chain with itself$"):
        cm.merge_chains("a", "a")
    for pair, missing in [(("x", "a"), "x"), (("a", "y"), "y")]:
        with pytest.raises(RuntimeError, match=f"^Chain not found: {missing}$"):
            cm.merge_chains(*pair)
    cm.merge_chains("a", "b")
    assert cm.active_chain == "b" and not cm.contains("a") and cm.get_metadata("a") is None
    assert cm.get_chain("b").branch_count == 3  # the target's machine is unchanged
    assert cm.get_metadata("b").node_count == 3


def test_handed_out_machines_are_copies():
    cm = h.ChainManager()
    cm.create_chain_from_graph(graph((1, 2), (2, 3)), "a")
    copy = cm.get_chain("a")
    copy.split(2)
    assert copy.branch_count == 2 and cm.get_chain("a").branch_count == 1
    assert cm.stats()["total_branches"] == 1


# ---- long and cyclic conversations (in a subprocess: a crash is a failure) ---------------


LONG = """
import time
from halyard import _halyard_rs as h
C = h.EdgeType.Continuation
R = h.BranchResolver
n = 1_000_000
g = h.TrajectoryGraph.from_edges([(i, i + 1, C) for i in range(n - 1)])
t = time.perf_counter()
m = h.BranchStateMachine.from_graph(g)
assert m.branch_count == 1 and m.current().len() == n and m.current().head == n - 1
orig, new, at, moved = m.split(n // 2)
assert (orig, new, at, len(moved), moved[-1]) == (0, 1, n // 2, n - n // 2, n - 1)
assert m.get_branch(1).head == n - 1
m.archive(1)
[rec] = R.find_recoverable_branches(m)
assert rec.depth == n - 1 and len(rec.nodes) == n - n // 2
assert R.find_unselected_regenerations(m) == []
cm = h.ChainManager()
cid = cm.create_chain_from_graph(g)
assert cm.get_metadata(cid).node_count == n
cm.split_chain(cid, 10)

# A comb: every spine turn forks into a leaf and the next spine turn, so the
# forks nest 300,000 deep.
k = 300_000
edges = []
for i in range(k):
    edges.append((i, 1_000_000 + i, C))
    edges.append((i, i + 1, C))
m = h.BranchStateMachine.from_graph(h.TrajectoryGraph.from_edges(edges))
assert m.branch_count == 2 * k + 1
assert m.find_branch_for_node(k) == 2 * k  # the spine's last branch takes the last id
m.archive(2 * k)
recs = R.find_unselected_regenerations(m)
assert len(recs) == 1 and recs[0].depth == k
assert len(R.find_recoverable_branches(m)) == 1
print("ok", round(time.perf_counter() - t, 2))
"""

CYCLIC = """
from halyard import _halyard_rs as h
C = h.EdgeType.Continuation
R = h.BranchResolver
n = 200_000
# A long line whose end points back to its second turn, plus a rootless ring with a fork.
edges = [(i, i + 1, C) for i in range(n - 1)] + [(n - 1, 1, C)]
edges += [(10**7 + i, 10**7 + (i + 1) % 1000, C) for i in range(1000)] + [(10**7, 10**7 + 5000, C)]
g = h.TrajectoryGraph.from_edges(edges)
assert g.roots() == [0]
m = h.BranchStateMachine.from_graph(g)
assert m.branch_count == 1 and m.current().len() == n
orig, new, at, moved = m.split(n // 2)
assert len(moved) == n - 1 and moved[:2] == [n // 2, n // 2 + 1]
m.archive(new)
recs = R.find_recoverable_branches(m)
assert [(len(r.nodes), r.lost_reason) for r in recs] == [
    (n - 1, h.LostReason.Archived), (1001, h.LostReason.Untracked), (1, h.LostReason.Untracked)]
assert all(r.depth == 0 for r in recs)
assert R.find_unselected_regenerations(m) == []
cm = h.ChainManager()
cid = cm.create_chain_from_graph(g)
cm.split_chain(cid, 5)
print("ok")
"""


@pytest.mark.parametrize("code", [LONG, CYCLIC], ids=["long", "cyclic"])
def test_long_and_cyclic_conversations(code, python_subprocess):
    done = python_subprocess(code, timeout=300)
    assert done.returncode == 0, done.stderr[-2000:]
    assert done.stdout.startswith("ok")
