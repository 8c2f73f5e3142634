"""Enumeration classes, episodes and the trajectory graph."""

import operator

import pytest

from halyard import _halyard_rs as h

E = h.EdgeType
C, R, B = E.Continuation, E.Regeneration, E.Branch


def graph(*pairs, kind=C):
    return h.TrajectoryGraph.from_edges([(p, c, kind) for p, c in pairs])


# ---- the enumeration shape, on EdgeType ------------------------------------------


ENUMS = [
    (h.EdgeType, ["Continuation", "Regeneration", "Branch"]),
    (h.BranchStatus, ["Active", "Archived", "Merged", "Recovered", "Orphaned"]),
    (h.RecoveryStrategy, ["Reactivate", "Copy", "MergeInto", "SplitIndependent"]),
    (
        h.LostReason,
        ["Archived", "Untracked", "OrphanedByDeletion", "UnselectedRegeneration", "Abandoned", "ExplorationDivergence"],
    ),
]


@pytest.mark.parametrize("cls,names", ENUMS, ids=lambda v: getattr(v, "__name__", ""))
def test_enum_variants_are_class_attributes_in_declaration_order(cls, names):
    declared = [k for k in cls.__dict__ if not k.startswith("_")]
    assert declared == names
    for value, name in enumerate(names):
        variant = getattr(cls, name)
        assert variant is getattr(cls, name)
        assert int(variant) == value
        assert variant == value and not (variant != value)
        assert repr(variant) == str(variant) == f"{cls.__name__}.{name}"
        assert type(variant) is cls


def test_edge_type_comparisons():
    assert B == 2 and 2 == B
    assert B != C and not (B == C)
    assert C == C and not (C != C)
    assert R != 2 and R == 1
    assert not (B == "Branch") and B != "Branch"
    assert not (B == None) and B != None  # noqa: E711
    assert not (B == 2.0)  # floats do not convert to an integer
    # Same integer value, different enumeration: not equal.
    assert h.BranchStatus.Merged == 2 and not (B == h.BranchStatus.Merged)


@pytest.mark.parametrize("op", [operator.lt, operator.le, operator.gt, operator.ge])
@pytest.mark.parametrize("other", [C, 0, 5])
def test_edge_type_ordering_raises(op, other):
    with pytest.raises(TypeError):
        op(B, other)


def test_edge_type_unhashable_and_no_constructor():
    for attempt in (lambda: hash(B), lambda: {B}, lambda: {B: 1}):
        with pytest.raises(TypeError):
            attempt()
    with pytest.raises(TypeError, match="^No constructor defined for EdgeType$"):
        E()
    with pytest.raises(TypeError, match="^No constructor defined for BranchStatus$"):
        h.BranchStatus(0)
    assert E.__module__ == "builtins"


def test_returned_variant_is_equal_but_new():
    m = h.BranchStateMachine.from_graph(graph((1, 2)))
    status = m.current().status
    assert status == h.BranchStatus.Active and status is not h.BranchStatus.Active
    assert m.current().status is not status


# ---- episodes ----------------------------------------------------------------------


def test_episode_defaults_and_repr():
    e = h.Episode(5)
    assert (e.id, e.parent, e.children, e.weight) == (5, None, [], 1.0)
    assert (e.content_length, e.created_at) == (0, 0)
    assert not (e.has_thumbs_up or e.has_thumbs_down or e.has_error)
    assert e.is_root() and e.is_leaf() and not e.is_branch_point()
    assert repr(e) == "Episode(id=5, parent=None, children=0, weight=1.00)"


def test_episode_fields():
    e = h.Episode(
        7, parent=3, weight=0.1, has_thumbs_up=True, has_thumbs_down=True, content_length=2**64 - 1,
        has_error=True, created_at=-5,
    )
    assert e.weight == 0.10000000149011612  # kept in single precision
    assert (e.parent, e.content_length, e.created_at) == (3, 2**64 - 1, -5)
    assert e.has_thumbs_up and e.has_thumbs_down and e.has_error
    assert not e.is_root()
    assert repr(e) == "Episode(id=7, parent=Some(3), children=0, weight=0.10)"
    assert repr(h.Episode(1, weight=2.675)) == "Episode(id=1, parent=None, children=0, weight=2.67)"


@pytest.mark.parametrize(
    "kwargs,exc,text",
    [
        ({"id": -1}, OverflowError, None),
        ({"id": 2**64}, OverflowError, None),
        ({"id": 1, "has_error": 1}, TypeError, "argument 'has_error'"),
        ({"id": 1, "parent": "x"}, TypeError, "argument 'parent'"),
        ({"id": 1, "created_at": 2**63}, OverflowError, None),
        ({"id": 1, "bogus": 1}, TypeError, "unexpected keyword argument 'bogus'"),
        ({}, TypeError, r"Episode.__new__\(\) missing 1 required positional argument: 'id'"),
    ],
)
def test_episode_argument_errors(kwargs, exc, text):
    with pytest.raises(exc, match=text):
        h.Episode(**kwargs)


def test_episode_attributes_are_read_only():
    with pytest.raises(AttributeError):
        h.Episode(1).weight = 2.0


# ---- the trajectory graph --------------------------------------------------------------


def test_empty_graphs():
    for g in (h.TrajectoryGraph(), h.TrajectoryGraph.from_edges([])):
        assert (g.node_count, g.roots(), g.leaves(), g.find_branch_points()) == (0, [], [], [])
        assert repr(g) == "TrajectoryGraph(nodes=0, roots=0, leaves=0)"


def test_fork_example():
    g = h.TrajectoryGraph.from_edges([(1, 2, C), (1, 3, R)])
    assert g.node_count == 3 and g.roots() == [1] and sorted(g.leaves()) == [2, 3]
    assert g.is_branch_point(1) and not g.is_branch_point(2)
    assert g.find_branch_points() == [(1, [2, 3])]
    n2 = g.get_node(2)
    assert (n2.parent, n2.children, n2.weight, n2.content_length) == (1, [], 1.0, 0)
    assert g.get_node(1).children == [2, 3]
    assert repr(g) == "TrajectoryGraph(nodes=3, roots=1, leaves=2)"


def test_edge_types_build_the_same_structure():
    shapes = []
    for kind in (C, R, B):
        g = graph((1, 2), (2, 3), (2, 4), kind=kind)
        shapes.append([(g.get_node(i).parent, g.get_node(i).children) for i in (1, 2, 3, 4)])
    assert shapes[0] == shapes[1] == shapes[2]


def test_repeated_edge_and_reparenting():
    g = graph((1, 2), (1, 2))
    assert g.get_node(1).children == [2] and g.node_count == 2
    g = graph((1, 3), (2, 3))
    assert g.get_node(3).parent == 2
    assert g.get_node(1).children == [3] and g.get_node(2).children == [3]
    assert sorted(g.roots()) == [1, 2]


def test_add_node_keeps_snapshots_and_replaces_whole_episode():
    g = h.TrajectoryGraph()
    g.add_node(h.Episode(1))
    g.add_node(h.Episode(2, parent=1))
    assert g.node_count == 2 and g.get_node(2).parent == 1
    assert g.roots() == [] and g.leaves() == []
    assert g.get_node(1).children == []  # the parent is not touched

    g = graph((1, 2), (1, 3))
    g.add_node(h.Episode(1, weight=3.0))
    assert g.get_node(1).children == [] and g.get_node(1).weight == 3.0
    assert not g.is_branch_point(1) and g.find_branch_points() == []
    assert g.roots() == [1] and sorted(g.leaves()) == [2, 3]  # snapshots stay as built


def test_graph_hands_out_copies():
    g = graph((1, 2))
    e = h.Episode(9)
    g.add_node(e)
    assert g.get_node(9) is not g.get_node(9)
    assert g.get_node(9).id == 9 and e.children == []


def test_unknown_ids():
    g = graph((1, 2))
    assert g.get_node(42) is None and g.is_branch_point(42) is False
    with pytest.raises(OverflowError):
        g.get_node(-1)


@pytest.mark.parametrize(
    "edges,exc,text",
    [
        ("abc", TypeError, "argument 'edges': Can't extract `str` to `Vec`"),
        (5, TypeError, "argument 'edges': 'int' object cannot be converted to 'Sequence'"),
        ([(1, 2)], ValueError, "expected tuple of length 3, but got tuple of length 2"),
        ([[1, 2, C]], TypeError, "argument 'edges'"),
        ([(1, 2, 0)], TypeError, "argument 'edges': 'int' object cannot be converted to 'EdgeType'"),
        ([(1, -2, C)], OverflowError, None),
    ],
)
def test_from_edges_conversion_errors(edges, exc, text):
    with pytest.raises(exc, match=None if text is None else text.replace("(", r"\(").replace(")", r"\)")):
        h.TrajectoryGraph.from_edges(edges)


def test_cycles_and_self_loops_are_stored_as_given():
    g = graph((1, 2), (2, 1))
    assert g.roots() == [] and g.leaves() == [] and g.node_count == 2
    g = graph((1, 1))
    assert g.get_node(1).parent == 1 and g.get_node(1).children == [1]
    assert g.roots() == []
