"""Branch state machine and branch resolver."""

import math

import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from halyard import _halyard_rs as h

C = h.EdgeType.Continuation
S = h.BranchStatus
f32 = np.float32


def graph(*pairs):
    return h.TrajectoryGraph.from_edges([(p, c, C) for p, c in pairs])


def machine(*pairs):
    return h.BranchStateMachine.from_graph(graph(*pairs))


def shape(m):
    """{branch id: (nodes, head, fork point, parent branch, child branches)}."""
    return {
        b.id: (b.nodes, b.head, b.fork_point, b.parent_branch, b.child_branches) for b in m.all_branches()
    }


def ref_score(contents, thumbs, max_depth):
    """Recovery score, step by step in float32."""
    n = len(contents)
    if n == 0:
        return 0.0
    size = f32(math.log(f32(f32(1) + f32(n))))
    depth = f32(math.sqrt(f32(max_depth)))
    total = f32(0)
    for c in contents:
        total = f32(total + f32(math.log(f32(f32(1) + f32(c)))))
    content = f32(total / f32(n))
    feedback = f32(sum(thumbs))
    w2, w3 = f32(0.2), f32(0.3)
    return float(f32(f32(w2 * feedback) + f32(f32(w2 * content) + f32(f32(w3 * size) + f32(w3 * depth)))))


# ---- building ------------------------------------------------------------------------


def test_single_line():
    m = machine((1, 2), (2, 3))
    assert shape(m) == {0: ([1, 2, 3], 3, 1, None, [])}
    cur = m.current()
    assert cur.label == "main" and cur.is_root() and cur.is_active() and not cur.is_merged() and cur.len() == 3
    assert cur.created_at == cur.updated_at > 1_600_000_000
    assert repr(m) == "BranchStateMachine(branches=1, current=Some(0))"
    assert repr(cur) == "Branch(id=0, head=3, status=Active, nodes=3)"


def test_fork_example():
    m = machine((1, 2), (1, 3), (3, 4))
    assert shape(m) == {
        0: ([1], 1, 1, None, [1, 2]),
        1: ([2], 2, 1, 0, []),
        2: ([3, 4], 4, 1, 0, []),
    }
    assert [m.find_branch_for_node(n) for n in (1, 2, 3, 4, 9)] == [0, 1, 2, 2, None]
    assert m.get_branch(1).label is None and m.child_branches(0) == [1, 2]
    assert m.branch_count == 3 and len(m.active_branches()) == 3


def test_nested_fork_ids_follow_depth_first_reservation():
    # Fork 1 reserves 1, 2, 3 for children 2, 3, 4. Inside child 2's subtree,
    # fork 2 reserves 4, 5 and fork 5 (under branch 4) reserves 6, 7, all
    # before child 3's branch 2 is made; fork 9 (on branch 2) then takes 8, 9.
    m = machine((1, 2), (1, 3), (1, 4), (2, 5), (2, 6), (5, 7), (5, 8), (3, 9), (9, 10), (9, 11))
    assert shape(m) == {
        0: ([1], 1, 1, None, [1, 2, 3]),
        1: ([2], 2, 1, 0, [4, 5]),
        2: ([3, 9], 9, 1, 0, [8, 9]),
        3: ([4], 4, 1, 0, []),
        4: ([5], 5, 2, 1, [6, 7]),
        5: ([6], 6, 2, 1, []),
        6: ([7], 7, 5, 4, []),
        7: ([8], 8, 5, 4, []),
        8: ([10], 10, 9, 2, []),
        9: ([11], 11, 9, 2, []),
    }
    assert m.split(10)[1] == 10  # the counter stands after the last reserved id


def reference_shape(edges):
    """The branch assignment written as the recursion it is described by (trees only)."""
    children, parent = {}, {}
    for p, c in edges:
        children.setdefault(p, []).append(c)
        children.setdefault(c, [])
        parent[c] = p
    root = next(n for n in children if n not in parent)
    branches = {0: {"nodes": [root], "head": root, "fork": root, "parent": None, "children": []}}
    counter = [1]

    def assign(n, b):
        kids = children[n]
        if len(kids) == 1:
            branches[b]["nodes"].append(kids[0])
            branches[b]["head"] = kids[0]
            assign(kids[0], b)
        elif len(kids) > 1:
            first = counter[0]
            counter[0] += len(kids)
            for i, c in enumerate(kids):
                x = first + i
                branches[x] = {"nodes": [c], "head": c, "fork": n, "parent": b, "children": []}
                branches[b]["children"].append(x)
                assign(c, x)

    assign(root, 0)
    shape = {x: (v["nodes"], v["head"], v["fork"], v["parent"], v["children"]) for x, v in branches.items()}
    return root, shape, counter[0]


@settings(max_examples=60, deadline=None)
@given(st.data())
def test_assignment_matches_the_recursive_description(data):
    n = data.draw(st.integers(2, 40))
    # Node i > 0 hangs under a random earlier node; edges in random order fix the child order.
    edges = [(data.draw(st.integers(0, i - 1)), i) for i in range(1, n)]
    edges = data.draw(st.permutations(edges))
    _, expected, next_id = reference_shape(edges)
    m = machine(*edges)
    assert shape(m) == expected
    assert m.split(next(iter(c for _, c in edges)))[1] == next_id


def test_empty_graph_and_graph_without_roots():
    for g in (h.TrajectoryGraph(), graph(), graph((1, 2), (2, 1))):
        m = h.BranchStateMachine.from_graph(g)
        assert m.branch_count == 0 and m.current() is None and m.all_branches() == []
        assert repr(m) == "BranchStateMachine(branches=0, current=None)"
    with pytest.raises(TypeError, match="^No constructor defined for BranchStateMachine$"):
        h.BranchStateMachine()
    with pytest.raises(TypeError, match="^No constructor defined for Branch$"):
        h.Branch()


def test_machine_owns_a_copy_of_the_graph():
    g = graph((1, 2))
    m = h.BranchStateMachine.from_graph(g)
    g.add_node(h.Episode(3, parent=2))
    with pytest.raises(RuntimeError, match="^Node 3 not found$"):
        m.split(3)


# ---- split -------------------------------------------------------------------------------


def test_split_chain_example():
    m = machine((1, 2), (2, 3), (3, 4))
    assert m.split(3) == (0, 1, 3, [3, 4])
    assert shape(m) == {0: ([1, 2], 4, 1, None, [1]), 1: ([3, 4], 4, 2, 0, [])}
    assert m.find_branch_for_node(4) == 1 and m.get_branch(1).status == S.Active


def test_split_moved_order_and_head_rule():
    # Moved nodes: depth first, last child first. Childless nodes 4 (depth 2)
    # and 5 (depth 3): the deeper one is the head.
    m = machine((1, 2), (2, 3), (2, 4), (3, 5))
    assert m.split(2) == (0, 3, 2, [2, 4, 3, 5])
    assert m.get_branch(3).head == 5
    # Equal depths: the later node in moved order (the first child) wins.
    m = machine((1, 2), (2, 3), (2, 4))
    original, new, _, moved = m.split(2)
    assert moved == [2, 4, 3] and m.get_branch(new).head == 3
    assert shape(m)[0] == ([1], 2, 1, None, [1, 2, 3])  # head of the split branch unchanged
    # Nodes of other branches are remapped but stay listed there.
    assert m.get_branch(1).nodes == [3] and m.find_branch_for_node(3) == new


@pytest.mark.parametrize(
    "node,text",
    [(9, "Node 9 not found"), (1, "Cannot split the root node")],
)
def test_split_errors_consume_no_id(node, text):
    m = machine((1, 2), (2, 3))
    with pytest.raises(RuntimeError, match=f"^{text}$"):
        m.split(node)
    assert m.split(2)[1] == 1


def test_split_of_untracked_node():
    g = graph((1, 2), (2, 3))
    g.add_node(h.Episode(2))  # cuts the line after 1; 3 stays in the graph, unreached
    m = h.BranchStateMachine.from_graph(g)
    with pytest.raises(RuntimeError, match="^Node 3 not found$"):
        m.split(3)


def test_failed_parent_check_consumes_a_branch_id():
    g = graph((1, 2), (2, 3), (3, 4))
    g.add_node(h.Episode(3))  # 3 keeps its place in the roots snapshot's world but loses its parent
    m = h.BranchStateMachine.from_graph(g)
    assert m.current().nodes == [1, 2, 3]
    with pytest.raises(RuntimeError, match="^Branch 0 has no parent$"):
        m.split(3)
    assert m.branch_count == 1
    assert m.split(2) == (0, 2, 2, [2, 3])  # id 1 was used up by the failed split


# ---- merge, traverse, archive ----------------------------------------------------------------


def test_merge():
    m = machine((1, 2), (1, 3), (3, 4))
    m.archive(1)
    assert m.merge(2, 1) == (1, 2, 1)
    assert m.get_branch(1).nodes == [2, 3, 4] and m.get_branch(1).head == 2
    assert m.get_branch(1).status == S.Archived  # an archived target is accepted
    src = m.get_branch(2)
    assert src.is_merged() and src.nodes == [3, 4] and m.child_branches(0) == [1, 2]
    assert m.find_branch_for_node(4) == 1
    m.archive(2)
    assert m.get_branch(2).status == S.Archived


@pytest.mark.parametrize(
    "pair,text",
    [
        ((5, 5), "Cannot merge branch with itself"),
        ((7, 1), "Branch 7 not found"),
        ((1, 8), "Branch 8 not found"),
        ((7, 8), "Branch 7 not found"),
        ((1, 2), "Branch 1 is already merged"),
    ],
)
def test_merge_errors(pair, text):
    m = machine((1, 2), (1, 3))
    m.merge(1, 0)
    before = shape(m)
    with pytest.raises(RuntimeError, match=f"^{text}$"):
        m.merge(*pair)
    assert shape(m) == before


def test_traverse_and_archive():
    m = machine((1, 2), (1, 3))
    m.archive(2, reason="dead end")
    m.archive(1)
    assert m.current().id == 0 and m.active_branches()[0].id == 0
    m.traverse(2)
    assert m.current().id == 2 and m.current().status == S.Archived
    for call, text in [(lambda: m.traverse(9), "Branch 9 not found"), (lambda: m.archive(9), "Branch 9 not found")]:
        with pytest.raises(RuntimeError, match=f"^{text}$"):
            call()
    assert m.current().id == 2
    assert m.child_branches(42) == [] and m.get_branch(42) is None


def test_branches_are_copies():
    m = machine((1, 2), (2, 3), (3, 4))
    before = m.current()
    m.split(3)
    assert before.nodes == [1, 2, 3, 4] and m.current().nodes == [1, 2]


# ---- resolver ---------------------------------------------------------------------------------


R = h.BranchResolver


def test_resolver_shape():
    assert repr(R()) == "BranchResolver()"
    m = machine((1, 2), (2, 3))
    assert R.find_recoverable_branches(m) == [] and R.find_unselected_regenerations(m) == []
    with pytest.raises(TypeError, match="^No constructor defined for RecoverableBranch$"):
        h.RecoverableBranch()


def test_archived_branch_record_and_reactivation():
    m = machine((1, 2), (2, 3))
    m.archive(0)
    [rec] = R.find_recoverable_branches(m)
    assert (rec.branch_id, rec.lost_reason, rec.suggested_strategy) == (0, h.LostReason.Archived, h.RecoveryStrategy.Reactivate)
    assert (rec.nodes, rec.fork_point, rec.entry_node, rec.head, rec.depth) == ([1, 2, 3], 1, 1, 3, 2)
    assert rec.recovery_score == ref_score([0, 0, 0], [], 2)
    assert rec.recovery_score == pytest.approx(0.3 * math.log(4) + 0.3 * math.sqrt(2), abs=1e-6)
    assert repr(rec) == "RecoverableBranch(id=Some(0), fork=1, score=0.84, strategy=Reactivate)"
    assert R.recover(m, rec) == 0 and m.get_branch(0).status == S.Archived


def test_untracked_material_and_stable_order():
    # Two trees of the same shape: only the first root's tree gets branches.
    g = graph((1, 2), (1, 3), (101, 102), (101, 103))
    m = h.BranchStateMachine.from_graph(g)
    tracked = m.find_branch_for_node(1) is not None
    root, other = (1, 101) if tracked else (101, 1)
    assert m.find_branch_for_node(other) is None
    m.archive(1)  # the branch of the first child of the tracked fork
    records = R.find_recoverable_branches(m)
    # Equal scores: untracked material first (children in stored order), then the archived branch.
    assert [(r.branch_id, r.entry_node, r.lost_reason) for r in records] == [
        (None, other + 1, h.LostReason.Untracked),
        (None, other + 2, h.LostReason.Untracked),
        (1, root + 1, h.LostReason.Archived),
    ]
    u = records[0]
    assert (u.nodes, u.fork_point, u.head, u.depth) == ([other + 1], other, other + 1, 1)
    assert u.suggested_strategy == h.RecoveryStrategy.SplitIndependent
    assert {r.recovery_score for r in records} == {ref_score([0], [], 1)}
    assert repr(u) == f"RecoverableBranch(id=None, fork={other}, score=0.51, strategy=SplitIndependent)"
    with pytest.raises(RuntimeError, match=f"^Node {other + 1} not found$"):
        R.recover(m, u)


@settings(max_examples=40, deadline=None)
@given(
    st.lists(st.tuples(st.integers(0, 2**40), st.booleans()), min_size=2, max_size=6),
    st.integers(1, 5),
)
def test_scores_match_float32_reference(leaves, line):
    # A line of `line` turns, then a fork into leaves carrying content and feedback.
    edges = [(i, i + 1) for i in range(1, line)]
    fork = line
    ids = [100 + k for k in range(len(leaves))]
    g = graph(*edges, *[(fork, i) for i in ids])
    for i, (content, up) in zip(ids, leaves):
        g.add_node(h.Episode(i, parent=fork, content_length=content, has_thumbs_up=up))
    m = h.BranchStateMachine.from_graph(g)
    # Gather every leaf into branch 1, then archive it.
    for b in range(2, len(ids) + 1):
        m.merge(b, 1)
    m.archive(1)
    [rec] = R.find_recoverable_branches(m)
    assert rec.nodes == ids and rec.depth == line
    assert rec.recovery_score == ref_score([c for c, _ in leaves], [u for _, u in leaves], line)
    # The fork's alternatives are no longer active: each one is reported.
    regen = R.find_unselected_regenerations(m)
    assert sorted(r.entry_node for r in regen) == ids
    for r in regen:
        content, up = leaves[ids.index(r.entry_node)]
        assert r.recovery_score == ref_score([content], [up], line)
        assert r.depth == line and r.fork_point == fork


def test_records_sorted_best_first():
    m = machine((1, 2), (2, 3), (2, 4), (4, 5), (5, 6))
    m.archive(1)  # [3]
    m.archive(2)  # [4, 5, 6]
    scores = [r.recovery_score for r in R.find_recoverable_branches(m)]
    assert [r.branch_id for r in R.find_recoverable_branches(m)] == [2, 1]
    assert scores == sorted(scores, reverse=True) and scores[0] == ref_score([0, 0, 0], [], 4)


def test_unselected_regeneration_and_recovery():
    m = machine((1, 2), (2, 3), (2, 4), (4, 5), (4, 6), (6, 7))
    # Fork 2 (depth 1) made branches 1 -> [3], 2 -> [4]; fork 4 (depth 2) made 3 -> [5], 4 -> [6, 7].
    assert shape(m)[4] == ([6, 7], 7, 4, 2, [])
    m.archive(2)
    m.merge(4, 3)
    found = {(r.fork_point, r.entry_node): r for r in R.find_unselected_regenerations(m)}
    assert set(found) == {(2, 4), (4, 6)}
    r = found[(2, 4)]
    assert (r.nodes, r.head, r.depth, r.branch_id) == ([4, 6, 7, 5], 7, 2, None)
    assert r.lost_reason == h.LostReason.UnselectedRegeneration
    assert r.recovery_score == ref_score([0] * 4, [], 4)
    assert (found[(4, 6)].nodes, found[(4, 6)].depth) == ([6, 7], 3)
    new = R.recover(m, found[(4, 6)])
    assert m.get_branch(new).nodes == [6, 7] and m.get_branch(new).fork_point == 4
    assert m.find_branch_for_node(7) == new


def test_recover_failure_leaves_machine_as_split_leaves_it():
    m = machine((1, 2), (1, 3))
    m.archive(2)
    [r] = R.find_unselected_regenerations(m)
    m2 = h.BranchStateMachine.from_graph(graph((1, 2), (1, 3)))
    assert R.recover(m2, r) == 3  # works on any machine holding the entry node
    m3 = h.BranchStateMachine.from_graph(graph((5, 6)))
    with pytest.raises(RuntimeError, match="^Node 3 not found$"):
        R.recover(m3, r)
    with pytest.raises(TypeError, match="argument 'recoverable'"):
        R.recover(m, m)


# ---- cycles and shared turns -----------------------------------------------------------


def test_cycle_below_the_root():
    # 3 -> 2 closes a cycle; 2's parent becomes 3. Building stops where a turn
    # would be placed twice. Nodes whose parent links circle have no path to a
    # root: their depth counts as 0.
    g = graph((1, 2), (2, 3), (3, 2))
    m = h.BranchStateMachine.from_graph(g)
    assert shape(m) == {0: ([1, 2, 3], 3, 1, None, [])}
    assert m.split(3) == (0, 1, 3, [3, 2])
    new = m.get_branch(1)
    assert (new.fork_point, new.head) == (2, 3)  # no childless node: the head stays the split node
    m.archive(1)
    [rec] = R.find_recoverable_branches(m)
    assert (rec.depth, rec.recovery_score) == (0, ref_score([0, 0], [], 0))


def test_fork_closing_a_cycle():
    m = machine((1, 2), (2, 3), (2, 4), (4, 2))
    assert shape(m) == {0: ([1, 2], 2, 1, None, [1, 2]), 1: ([3], 3, 2, 0, []), 2: ([4], 4, 2, 0, [])}
    assert m.split(4) == (2, 3, 4, [4, 2, 3])
    assert m.get_branch(3).head == 3


def test_self_loop_and_turn_under_two_parents():
    m = machine((1, 2), (2, 2))
    assert shape(m) == {0: ([1, 2], 2, 1, None, [])}
    # 3 is listed under 1 and 2; it is placed once (through 2, reached
    # first), and the reserved id of its second listing stays unused.
    m = machine((1, 2), (1, 3), (2, 3))
    assert shape(m) == {0: ([1], 1, 1, None, [1]), 1: ([2, 3], 3, 1, 0, [])}
    assert R.find_unselected_regenerations(m) == []  # the unused id left nothing aside
    assert m.split(2)[1] == 3


def test_unselected_material_sharing_a_turn_follows_the_forks_walk():
    # 4 is listed under 2 and 3. The walk below fork 1 meets 3, then 4, then 2,
    # so the material of the alternative starting at 2 reads [4, 2].
    m = machine((1, 2), (1, 3), (2, 4), (3, 4))
    assert shape(m) == {0: ([1], 1, 1, None, [1, 2]), 1: ([2, 4], 4, 1, 0, []), 2: ([3], 3, 1, 0, [])}
    m.archive(1)
    [r] = R.find_unselected_regenerations(m)
    assert (r.entry_node, r.nodes, r.head, r.depth) == (2, [4, 2], 4, 1)


def test_rootless_cycle_is_untracked_material():
    m = machine((1, 2), (10, 11), (11, 10), (11, 12))
    assert m.find_branch_for_node(10) is None
    records = R.find_recoverable_branches(m)
    assert [(r.nodes, r.entry_node, r.fork_point, r.head, r.depth) for r in records] == [
        ([10, 11, 12], 10, 11, 12, 0),
        ([12], 12, 11, 12, 0),
    ]
    assert [r.recovery_score for r in records] == [ref_score([0] * 3, [], 0), ref_score([0], [], 0)]
    assert R.find_unselected_regenerations(m) == []
