"""The module as users meet it: exactly these names, in this order."""

import inspect
import types

import pytest

from halyard import _halyard_rs as mod

CLASSES = [
    "OutcomeStats", "MemoryRecord", "SearchResult", "DistanceType", "FlatIndex", "HNSWIndex", "IndexRegistry",
    "InMemoryStore", "QueryCache", "CacheStats", "TrajectoryCoordinate", "TrajectoryCoordinate5D",
    "TrajectoryPhase", "Feedback", "TurnFeatures", "PhaseInferencer", "SalienceFactors", "TurnSalience",
    "SalienceScorer", "PathQualityWeights", "PathQualityFactors", "PathQuality", "TesselWeights", "IRCPConfig",
    "AttentionWeights", "IRCPPropagator", "LinkType", "ChainLink", "ChainLinkEstimatorConfig", "ChainLinkEstimate",
    "ChainLinkEstimator", "CoordinateTree", "Ring", "DualRing", "EdgeType", "Episode", "TrajectoryGraph",
    "ConservationMetrics", "BranchStatus", "RecoveryStrategy", "LostReason", "Branch", "RecoverableBranch",
    "BranchStateMachine", "BranchResolver", "CrossChainLinkType", "LinkStrength", "ChainMetadata",
    "CrossChainLink", "ChainManager",
]
FUNCTIONS = {
    "cosine_similarity": "(a, b)",
    "euclidean_distance": "(a, b)",
    "normalize": "(v)",
    "trajectory_weighted_cosine": "(a, b, coord_a, coord_b, coord_weight)",
    "trajectory_weighted_cosine_5d": "(a, b, coord_a, coord_b, coord_weight)",
    "detect_knowledge_transfer": "(text)",
    "compute_trajectory_coordinates": "(embedding, neighbor_similarities, session_depth=0, turn_index=0, "
    "sibling_count=1, sibling_order=0, project_phase=\"implementation\")",
}
ENUMS = {
    "DistanceType": ["L2", "Cosine", "InnerProduct"],
    "TrajectoryPhase": ["Exploration", "Consolidation", "Synthesis", "Debugging", "Planning"],
    "Feedback": ["ThumbsUp", "ThumbsDown"],
    "LinkType": ["Continuation", "Elaboration", "Summary", "Contradiction", "Tangent", "Question", "Answer",
                 "Code", "Error", "Solution", "Meta", "Unknown"],
    "EdgeType": ["Continuation", "Regeneration", "Branch"],
    "BranchStatus": ["Active", "Archived", "Merged", "Recovered", "Orphaned"],
    "RecoveryStrategy": ["Reactivate", "Copy", "MergeInto", "SplitIndependent"],
    "LostReason": ["Archived", "Untracked", "OrphanedByDeletion", "UnselectedRegeneration", "Abandoned",
                   "ExplorationDivergence"],
    "CrossChainLinkType": ["Semantic", "Reference", "Continuation", "Related", "Alternative", "KnowledgeTransfer"],
}
STANDARD = {"__name__", "__doc__", "__package__", "__loader__", "__spec__", "__file__"}


def test_exact_names_in_registration_order():
    names = [n for n in vars(mod) if n not in STANDARD]
    assert names == CLASSES + list(FUNCTIONS) + ["__version__"]
    assert all(isinstance(getattr(mod, n), type) for n in CLASSES)
    assert all(isinstance(getattr(mod, n), types.BuiltinFunctionType) for n in FUNCTIONS)


@pytest.mark.parametrize("name", CLASSES)
def test_class_shape(name):
    cls = getattr(mod, name)
    assert cls.__module__ == "builtins"
    assert cls.__name__ == cls.__qualname__ == name
    assert cls.__doc__
    for attr, member in vars(cls).items():
        if attr.startswith("_") or not callable(getattr(cls, attr)):
            continue
        member = getattr(cls, attr)
        if isinstance(member, type):  # enumeration variants are instances, not types
            continue
        if type(member).__name__ in ("method_descriptor", "builtin_function_or_method"):
            assert member.__text_signature__ is not None, f"{name}.{attr}"
            inspect.signature(member)


@pytest.mark.parametrize("name, signature", list(FUNCTIONS.items()))
def test_function_signatures(name, signature):
    fn = getattr(mod, name)
    assert fn.__text_signature__ == signature
    assert fn.__doc__ and not fn.__doc__.startswith(name)
    inspect.signature(fn)


@pytest.mark.parametrize("name, variants", list(ENUMS.items()))
def test_enumerations_share_one_shape(name, variants):
    cls = getattr(mod, name)
    assert [a for a in vars(cls) if not a.startswith("_") and isinstance(getattr(cls, a), cls)] == variants
    for value, variant in enumerate(variants):
        member = getattr(cls, variant)
        assert member is getattr(cls, variant)
        assert int(member) == value and member == value and repr(member) == str(member) == f"{name}.{variant}"
        with pytest.raises(TypeError):
            hash(member)
    with pytest.raises(TypeError, match=f"^No constructor defined for {name}$"):
        cls()


def test_constructors_have_signatures_where_they_exist():
    for name in CLASSES:
        cls = getattr(mod, name)
        try:
            cls.__text_signature__
        except AttributeError:
            continue
        if cls.__text_signature__ is not None:
            inspect.signature(cls)
