"""Chain links and their estimator, cross-chain links, knowledge-transfer detection."""

import inspect
import math

import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from conftest import expf, f32, f32_cosine, log1pf
from halyard import _halyard_rs as hy

LT = hy.LinkType
CT = hy.CrossChainLinkType
C5 = hy.TrajectoryCoordinate5D

LINK_TYPES = [
    "Continuation", "Elaboration", "Summary", "Contradiction", "Tangent", "Question",
    "Answer", "Code", "Error", "Solution", "Meta", "Unknown",
]
CROSS_TYPES = ["Semantic", "Reference", "Continuation", "Related", "Alternative", "KnowledgeTransfer"]

# The compatibility of two link types, written out independently of the module.
SPECIAL_PAIRS = {
    ("Continuation", "Elaboration"): 0.9,
    ("Continuation", "Summary"): 0.9,
    ("Elaboration", "Summary"): 0.7,
    ("Continuation", "Contradiction"): 0.3,
    ("Continuation", "Tangent"): 0.3,
    ("Contradiction", "Solution"): 0.7,
    ("Tangent", "Question"): 0.7,
    ("Question", "Answer"): 0.9,
    ("Code", "Error"): 0.9,
    ("Code", "Solution"): 0.9,
    ("Error", "Solution"): 0.9,
}

PATTERNS = [
    "as we discussed", "like we did before", "similar to what we", "remember when we", "building on the",
    "like in the", "same as before", "just like last time", "from our previous", "we already covered",
]


def compat(a, b):
    if a == b:
        return f32(0.8)
    return f32(SPECIAL_PAIRS.get((a, b), SPECIAL_PAIRS.get((b, a), 0.5)))




def proximity_ref(ca, cb):
    """exp(-D) with the default coordinate weights, float32 step by step."""
    terms = [
        (0.25, f32(ca.depth) - f32(cb.depth)),
        (0.15, f32(ca.sibling_order) - f32(cb.sibling_order)),
        (0.30, f32(ca.homogeneity) - f32(cb.homogeneity)),
        (0.20, f32(ca.temporal) - f32(cb.temporal)),
        (0.10, log1pf(f32(ca.complexity)) - log1pf(f32(cb.complexity))),
    ]
    total = f32(0)
    for w, d in terms:
        x = f32(f32(w) * abs(f32(d)))
        total = f32(total + f32(x * x))
    return expf(-f32(np.sqrt(total)))


def estimate_ref(a, b, weights=(0.2, 0.3, 0.2, 0.3)):
    w = [f32(x) for x in weights]
    s = f32(f32(f32(w[0] + w[1]) + w[2]) + w[3])
    w = [f32(x / s) for x in w]
    cos01 = f32(f32(f32_cosine(a.embedding, b.embedding) + f32(1)) * f32(0.5))
    baseline = cos01
    infl = f32(f32(f32(a.influence) + f32(b.influence)) * f32(0.5))
    rel = f32(f32(f32(f32(0.3) * infl) + f32(f32(0.4) * proximity_ref(a.coordinate, b.coordinate))) + f32(0.15))
    typ = compat(repr(a.link_type).split(".")[1], repr(b.link_type).split(".")[1])
    role = f32(0.06) if a.is_user == b.is_user else f32(0.05)
    sem = f32(f32(0.5) * cos01)
    t = f32(f32(0.2) * f32(f32(1) - abs(f32(f32(a.coordinate.temporal) - f32(b.coordinate.temporal)))))
    h = f32(f32(0.2) * f32(f32(1) - abs(f32(f32(a.coordinate.homogeneity) - f32(b.coordinate.homogeneity)))))
    ctx = f32(role + f32(f32(sem + t) + h))
    total = f32(f32(f32(f32(w[0] * baseline) + f32(w[1] * rel)) + f32(w[2] * typ)) + f32(w[3] * ctx))
    return total, baseline, rel, typ, ctx


def detect_ref(text):
    text = text.lower()
    return next((p for p in PATTERNS if p in text), None)


def coord(depth=1, sibling=0, homogeneity=0.5, temporal=0.5, complexity=1):
    return C5(depth, sibling, homogeneity, temporal, complexity)


def link(embedding=(1.0, 0.0), link_type=None, influence=1.0, is_user=True, c=None):
    return hy.ChainLink(c or coord(), list(embedding), link_type, influence, is_user)


# ---- chain links and the estimator -------------------------------------------------------


def test_enumerations_values_and_reprs():
    for cls, names in ((LT, LINK_TYPES), (CT, CROSS_TYPES)):
        for value, name in enumerate(names):
            variant = getattr(cls, name)
            assert int(variant) == value and variant == value
            assert repr(variant) == f"{cls.__name__}.{name}"
        with pytest.raises(TypeError, match=f"No constructor defined for {cls.__name__}"):
            cls()


def test_chain_link_defaults_properties_and_copies():
    c = coord(3, 1, 0.25, 0.75, 2)
    default = hy.ChainLink(c, [1.0, 0.0])
    assert default.link_type == LT.Unknown and default.influence == 1.0
    assert default.is_user is True and default.id is None
    assert repr(default) == "ChainLink(type=Unknown, influence=1.00, user=true)"

    full = hy.ChainLink(c, (0.5, 0.25), LT.Code, 0.125, False, "turn-7")
    assert repr(full) == "ChainLink(type=Code, influence=0.12, user=false)"  # ties go to even
    assert full.id == "turn-7" and full.link_type == LT.Code and full.is_user is False
    emb = full.embedding
    assert emb.dtype == np.float32 and emb.tolist() == [0.5, 0.25]
    emb[0] = 9.0
    assert full.embedding[0] == 0.5
    assert repr(full.coordinate) == repr(c) and full.coordinate is not c
    assert hy.ChainLink(c, [1.0], influence=f32(0.1)).influence == float(f32(0.1))


@pytest.mark.parametrize(
    "a, b, expected",
    [
        ([1.0, 2.0], [1.0, 2.0], 1.0),
        ([0.0, 0.0], [0.0, 0.0], 0.0),
        ([], [1.0], 0.0),
        ([1.0, 0.0], [-1.0, 0.0], -1.0),
        ([3.0, 4.0, 12.0], [3.0, 4.0], None),  # unequal lengths: dot over the common prefix
    ],
)
def test_chain_link_similarity_is_the_lenient_cosine(a, b, expected):
    value = link(a).similarity(link(b))
    assert value == (expected if expected is not None else f32_cosine(a, b))
    assert value == link(b).similarity(link(a))


def test_question_answer_worked_example():
    q = link([0.3, -1.2, 2.0], LT.Question)
    a = link([0.3, -1.2, 2.0], LT.Answer)
    e = hy.ChainLinkEstimator().estimate_detailed(q, a)
    assert e.baseline == pytest.approx(1.0, abs=1e-7)
    assert e.relationship == pytest.approx(0.85, abs=1e-7)
    assert e.type_based == f32(0.9)
    assert e.context == pytest.approx(0.96, abs=1e-7)
    assert e.total == pytest.approx(0.923, abs=1e-6)
    assert (e.total, e.baseline, e.relationship, e.type_based, e.context) == estimate_ref(q, a)
    assert repr(e) == "ChainLinkEstimate(total=0.923, base=1.000, rel=0.850, type=0.900, ctx=0.960)"


@pytest.mark.parametrize(
    "emb_a, emb_b, baseline, s",
    [
        ([1.0, 2.0], [-1.0, -2.0], 0.0, 0.0),  # opposite
        ([1.0, 2.0], [0.0, 0.0], 0.5, 0.25),  # zero embedding
        ([0.0, 0.0], [1.0, 2.0], 0.5, 0.25),
        ([1.0, 2.0], [], 0.5, 0.25),  # empty embedding
        ([1.0, 0.0], [0.0, 1.0], 0.5, 0.25),  # orthogonal
    ],
)
def test_embedding_extremes(emb_a, emb_b, baseline, s):
    e = hy.ChainLinkEstimator().estimate_detailed(link(emb_a), link(emb_b))
    assert e.baseline == baseline
    # Same coordinate and role: context is 0.06 + ((s + 0.2) + 0.2).
    assert e.context == f32(f32(0.06) + f32(f32(f32(s) + f32(0.2)) + f32(0.2)))


def test_type_compatibility_table_in_full():
    est = hy.ChainLinkEstimator()
    for a in LINK_TYPES:
        for b in LINK_TYPES:
            value = est.estimate_detailed(link(link_type=getattr(LT, a)), link(link_type=getattr(LT, b))).type_based
            assert value == compat(a, b), (a, b)


floats = st.floats(-4.0, 4.0, width=32, allow_nan=False)
coords = st.builds(
    C5,
    st.integers(0, 50),
    st.integers(0, 10),
    st.floats(0.0, 1.0, width=32),
    st.floats(0.0, 1.0, width=32),
    st.integers(1, 1000),
)
links = st.builds(
    hy.ChainLink,
    coords,
    st.lists(floats, max_size=6),
    st.sampled_from([None] + [getattr(LT, n) for n in LINK_TYPES]),
    st.floats(0.0, 2.0, width=32),
    st.booleans(),
)
weights = st.tuples(*[st.floats(0.25, 5.0, width=32)] * 4)


@settings(max_examples=300, deadline=None)
@given(links, links, weights)
def test_estimator_matches_float32_reference_and_is_symmetric(a, b, w):
    est = hy.ChainLinkEstimator(hy.ChainLinkEstimatorConfig(*w))
    detailed = est.estimate_detailed(a, b)
    got = (detailed.total, detailed.baseline, detailed.relationship, detailed.type_based, detailed.context)
    assert got == estimate_ref(a, b, w)
    assert est.estimate(a, b) == detailed.total == est.estimate(b, a)
    reverse = est.estimate_detailed(b, a)
    assert (reverse.baseline, reverse.relationship, reverse.type_based, reverse.context) == got[1:]


@pytest.mark.parametrize(
    "given_weights, expected",
    [
        ((1, 1, 1, 1), (0.25, 0.25, 0.25, 0.25)),
        ((2, 0, 0, 0), (1.0, 0.0, 0.0, 0.0)),
        ((0, 0, 3, 1), (0.0, 0.0, 0.75, 0.25)),
    ],
)
def test_config_normalises_weights(given_weights, expected):
    c = hy.ChainLinkEstimatorConfig(*given_weights)
    assert (c.baseline_weight, c.relationship_weight, c.type_weight, c.context_weight) == expected


def test_config_defaults_repr_and_zero_weights():
    default = hy.ChainLinkEstimatorConfig.default_config()
    explicit = hy.ChainLinkEstimatorConfig()
    s = f32(f32(f32(f32(0.2) + f32(0.3)) + f32(0.2)) + f32(0.3))
    for c in (default, explicit):
        assert c.baseline_weight == f32(f32(0.2) / s) and c.context_weight == f32(f32(0.3) / s)
    assert repr(default) == "ChainLinkEstimatorConfig(b=0.20, r=0.30, t=0.20, c=0.30)"
    assert repr(hy.ChainLinkEstimatorConfig(relationship_weight=0, type_weight=0, context_weight=0)) == (
        "ChainLinkEstimatorConfig(b=1.00, r=0.00, t=0.00, c=0.00)"
    )

    zero = hy.ChainLinkEstimatorConfig(0, 0, 0, 0)
    assert all(math.isnan(x) for x in (zero.baseline_weight, zero.relationship_weight, zero.type_weight,
                                       zero.context_weight))
    assert math.isnan(hy.ChainLinkEstimator(zero).estimate(link(), link()))

    # The estimator keeps its own copy; None or no argument means the defaults.
    only_baseline = hy.ChainLinkEstimator(config=hy.ChainLinkEstimatorConfig(2, 0, 0, 0))
    assert only_baseline.estimate(link([1.0, 0.0]), link([-1.0, 0.0])) == 0.0
    a, b = link([1.0, 2.0], LT.Code), link([2.0, 1.0], LT.Error)
    assert hy.ChainLinkEstimator(None).estimate(a, b) == hy.ChainLinkEstimator().estimate(a, b) == estimate_ref(a, b)[0]
    assert repr(hy.ChainLinkEstimator()) == "ChainLinkEstimator()"


@pytest.mark.parametrize(
    "call, exc, message",
    [
        (lambda: hy.ChainLink(hy.TrajectoryCoordinate(1, 0, 0.5, 0.5), [1.0]), TypeError, "argument 'coordinate'"),
        (lambda: hy.ChainLink(coord(), [1.0], 5), TypeError, "'link_type': 'int' object cannot be converted to 'LinkType'"),
        (lambda: hy.ChainLink(coord(), [1.0], is_user=1), TypeError, "argument 'is_user'"),
        (lambda: hy.ChainLinkEstimator(hy.TesselWeights()), TypeError, "argument 'config'"),
        (lambda: hy.ChainLinkEstimator().estimate(link(), None), TypeError, "argument 'link_b'"),
        (lambda: hy.ChainLinkEstimate(), TypeError, "No constructor defined for ChainLinkEstimate"),
        (lambda: hy.CrossChainLink("a", -1, "b", 2, hy.LinkStrength(0, 0, 0), CT.Reference), OverflowError, None),
        (lambda: hy.CrossChainLink.semantic("a", 1, "b", 2**64, 0.5), OverflowError, None),
        (lambda: hy.CrossChainLink("a", 1, "b", 2, 0.5, CT.Reference), TypeError, "argument 'strength'"),
        (lambda: hy.CrossChainLink("a", 1, "b", 2, hy.LinkStrength(0, 0, 0), LT.Code), TypeError,
         "argument 'link_type'.*'CrossChainLinkType'"),
        (lambda: hy.detect_knowledge_transfer(b"as we discussed"), TypeError,
         "argument 'text': 'bytes' object cannot be converted to 'PyString'"),
    ],
)
def test_argument_errors(call, exc, message):
    with pytest.raises(exc, match=message):
        call()


# ---- cross-chain links --------------------------------------------------------------------


def test_link_strength_combined_and_threshold():
    assert hy.LinkStrength(1.0, 1.0, 1.0).combined == 1.0
    s = hy.LinkStrength(0.2, 0.5, 0.5)
    assert s.combined == f32(0.35000002)
    assert s.is_strong(0.35) and s.is_strong(s.combined) and not s.is_strong(0.3500001)
    assert hy.LinkStrength.from_semantic(0).combined == 0.25
    assert hy.LinkStrength.from_semantic(1).combined == 0.75
    # No clamping of any input.
    wild = hy.LinkStrength(-2.0, 3.0, 10.0)
    assert wild.combined == f32(f32(f32(f32(0.5) * f32(-2)) + f32(f32(0.2) * f32(3))) + f32(f32(0.3) * f32(10)))
    assert repr(hy.LinkStrength(0.125, 0.5, 1)) == (
        "LinkStrength(semantic=0.12, temporal=0.50, thematic=1.00, combined=0.46)"
    )


def test_semantic_cross_chain_link():
    link_ = hy.CrossChainLink.semantic("a", 1, "b", 2, 0.8)
    assert link_.link_type == CT.Semantic and link_.is_bidirectional()
    s = link_.strength
    assert (s.semantic, s.temporal, s.thematic) == (f32(0.8), 0.5, 0.5)
    assert s.combined == pytest.approx(0.65, abs=1e-7)
    assert link_.description is None
    assert (link_.source_chain, link_.source_node, link_.target_chain, link_.target_node) == ("a", 1, "b", 2)
    assert repr(link_) == "CrossChainLink('a':1  -> 'b':2, type=Semantic)"


@pytest.mark.parametrize("name", CROSS_TYPES)
def test_cross_chain_link_constructor_and_direction(name):
    strength = hy.LinkStrength(0.1, 0.2, 0.3)
    link_ = hy.CrossChainLink("chat-α", 2**64 - 1, "", 0, strength, getattr(CT, name))
    assert link_.is_bidirectional() == (name in ("Semantic", "Related"))
    assert repr(link_) == f"CrossChainLink('chat-α':{2**64 - 1}  -> '':0, type={name})"
    assert link_.strength.combined == strength.combined and link_.strength is not strength
    assert link_.description is None


# ---- knowledge-transfer detection ---------------------------------------------------------


@pytest.mark.parametrize(
    "text, expected",
    [
        ("", None),
        ("as we discusse", None),
        ("REMEMBER WHEN WE tried this", "remember when we"),
        ("Remember when we left off? As We Discussed, it works.", "as we discussed"),  # table order wins
        ("we already covered it, just like last time", "just like last time"),
        ("Like in theory", "like in the"),  # no word boundaries
        ("unlike in the end", "like in the"),
        ("like  in the", None),
        ("as\x00we discussed", None),  # NUL is not a space
        ("as we\tdiscussed", None),
        ("AS WE DISCUSSED", "as we discussed"),
        ("li\u212ae in the past", "like in the"),  # the Kelvin sign lowercases to k
        ("Just li\u212aE last time", "just like last time"),
        ("BU\u0130LDING ON THE past", None),  # dotted capital I lowers to i + combining dot
        ("Σ building on the Σ", "building on the"),
        ("日本語 from our previous 会話", "from our previous"),
        ("FROM OUR PREVIOUSLY", "from our previous"),
        ("x" * 5000 + "we already covered", "we already covered"),
        ("we already covered" + "y" * 5000, "we already covered"),
    ],
)
def test_detect_knowledge_transfer(text, expected):
    assert hy.detect_knowledge_transfer(text) == expected == detect_ref(text)
    assert hy.detect_knowledge_transfer(text=text) == expected


def test_detection_at_every_offset_of_a_long_text():
    filler = ("The quick brown fox jumps over the lazy dog; building on it. " * 20)[:1200]
    assert detect_ref(filler) is None
    for phrase in ("like in the", "Similar To What We", "we already covered"):
        for offset in range(0, len(filler) - len(phrase) + 1, 7):
            text = filler[:offset] + phrase + filler[offset + len(phrase):]
            assert hy.detect_knowledge_transfer(text) == detect_ref(text), (phrase, offset)
        text = filler[: -len(phrase)] + phrase
        assert hy.detect_knowledge_transfer(text) == phrase.lower()


fragments = st.sampled_from(
    PATTERNS
    + [p.upper() for p in PATTERNS]
    + [p[: len(p) // 2] for p in PATTERNS]
    + [p[len(p) // 2:] for p in PATTERNS]
    + [" ", "  ", "the", "THE", "ory", "\u212a", "\u0130", "Σ", "é", "\x00", "\n", "!", "@", "`", "{", "ǅ", "🙂"]
)


@settings(max_examples=400, deadline=None)
@given(st.lists(fragments, max_size=30), st.text(max_size=20))
def test_detection_matches_python_lowercasing(parts, noise):
    text = "".join(parts) + noise
    assert hy.detect_knowledge_transfer(text) == detect_ref(text)


def test_registration_order_and_signatures():
    names = list(vars(hy))
    ours = ["TesselWeights", "LinkType", "ChainLink", "ChainLinkEstimatorConfig", "ChainLinkEstimate",
            "ChainLinkEstimator", "CrossChainLinkType", "LinkStrength", "CrossChainLink"]
    positions = [names.index(n) for n in ours]
    assert positions == sorted(positions)
    assert names.index("detect_knowledge_transfer") == names.index("trajectory_weighted_cosine_5d") + 1
    assert str(inspect.signature(hy.ChainLink)) == (
        "(coordinate, embedding, link_type=None, influence=1.0, is_user=True, id=None)"
    )
    assert str(inspect.signature(hy.CrossChainLink.semantic)) == (
        "(source_chain, source_node, target_chain, target_node, similarity)"
    )
    assert str(inspect.signature(hy.detect_knowledge_transfer)) == "(text)"
    assert hy.detect_knowledge_transfer.__doc__ == (
        "Detect knowledge transfer patterns in text.\nReturns the matched pattern if found, None otherwise."
    )
