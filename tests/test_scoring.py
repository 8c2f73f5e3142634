"""Turn scoring: lexical features, phase inference, salience and path quality."""

import inspect

import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import halyard._halyard_rs as h
from conftest import f32, f32_cosine, f32_sum

TF = h.TurnFeatures
Phase = h.TrajectoryPhase

# ---- a plain-Python statement of the feature and phase rules ------------------

ERROR_WORDS = ("error", "exception", "traceback", "failed", "doesn't work", "bug", "fix", "broken", "crash",
               "panic", "undefined")
DECISION_WORDS = ("decision:", "let's go with", "we'll use", "decided to", "the approach", "final answer",
                  "conclusion", "summary")
PLANNING_WORDS = ("phase", "roadmap", "step", "plan", "milestone", "todo", "first,", "second,", "third,", "then",
                  "next step")
EXTENSIONS = (".rs", ".py", ".ts", ".js", ".go", ".java", ".cpp", ".h")
WHITE_SPACE = "\t\n\x0b\x0c\r \x85\xa0\u1680" + "".join(map(chr, range(0x2000, 0x200B))) + "\u2028\u2029\u202f\u205f\u3000"


def ref_features(content):
    lines = content.split("\n")
    if lines and lines[-1] == "":
        lines.pop()
    items = 0
    for line in lines:
        t = line.strip(WHITE_SPACE)
        if len(t.encode()) > 1 and t[:2] in ("- ", "* "):
            items += 1
        elif len(t) >= 2 and t[0] in "0123456789" and t[1] in ".)":
            items += 1
    low = content.lower()
    return {
        "content_length": len(content.encode()),
        "question_count": content.count("?"),
        "code_block_count": content.count("```") // 2,
        "list_item_count": items,
        "has_error_keywords": any(k in low for k in ERROR_WORDS),
        "has_decision_keywords": any(k in low for k in DECISION_WORDS),
        "has_planning_keywords": any(k in low for k in PLANNING_WORDS),
        "mentions_code_file": any(e in content for e in EXTENSIONS),
    }


def ref_phase(role, f):
    """(phase code, f32 score) or None, lowest code on ties."""
    scores = {}

    def add(phase, amount):
        scores[phase] = f32(scores.get(phase, f32(0)) + f32(amount))

    user = role == "user"
    if f["has_error_keywords"]:
        add(3, 0.6)
    if f["has_planning_keywords"]:
        add(4, 0.4)
    if f["list_item_count"] > 3:
        add(4, 0.3)
    if f["has_decision_keywords"]:
        add(2, 0.5)
    if f["content_length"] > 1000:
        add(1, 0.3)
    if f["code_block_count"] > 0:
        add(1, 0.3)
    if f["mentions_code_file"]:
        add(1, 0.2)
    if user and f["question_count"] >= 2:
        add(0, 0.5)
    if user and f["content_length"] < 200:
        add(0, 0.2)
    if not scores:
        return None
    best = min(scores, key=lambda p: (-scores[p], p))
    return None if scores[best] < f32(0.3) else (best, scores[best])


def features_of(tf):
    return {name: getattr(tf, name) for name in ref_features("") if name != "mentions_code_file"}


def infer(role, content):
    return h.PhaseInferencer().infer_single(TF.from_content(1, role, content))


# Pieces that exercise every rule: keywords in mixed case and split across
# pieces, fences, list markers, CR/LF, Unicode white space and case mappings
# that turn non-ASCII letters into ASCII ones (Kelvin sign -> k).
PIECES = [
    "a", "b", " ", "\n", "\r\n", "\r", "?", "`", "``", "```", "````", "- ", "* ", "-", "*", "1.", "10.", "7)",
    "0", ".", ")", "\u00a0", "\u2003", "\u3000", "\t", "é", "İ", "Σ", "\u212a", "日本", "\U0001f600",
    "Error", "EXCEPTION", "tracebac", "\u212a", "Fail", "ed", "doesn't work", "DEBUG", "prefix", "crash",
    "Decision:", "let's go with", "We'll use", "the approach", "final answer", "summary",
    "Phase", "ROADMAP", "step", "todo", "First,", "authentication", "next step",
    ".rs", ".PY", ".py", ".h", ".HTML", ".java", "go",
]

texts = st.lists(st.sampled_from(PIECES), max_size=40).map("".join)


# ---- feature extraction -----------------------------------------------------------


@settings(max_examples=400, deadline=None)
@given(texts, st.sampled_from(["user", "assistant", "User"]))
def test_features_and_phase_match_the_rules(content, role):
    tf = TF.from_content(3, role, content)
    want = ref_features(content)
    assert features_of(tf) == {k: v for k, v in want.items() if k != "mentions_code_file"}
    expected = ref_phase(role, want)
    if expected is None:
        with pytest.raises(ValueError, match="^Could not infer phase$"):
            h.PhaseInferencer().infer_single(tf)
    else:
        phase, conf = h.PhaseInferencer().infer_single(tf)
        assert (int(phase), conf) == (expected[0], float(expected[1]))


@pytest.mark.parametrize(
    "content, field, value",
    [
        ("héllo wörld?", "content_length", 14),
        ("日本語?？", "question_count", 1),  # the full-width mark is another character
        ("```", "code_block_count", 0),
        ("````", "code_block_count", 0),  # four backquotes hold one fence
        ("````\nx\n````", "code_block_count", 1),
        ("``````", "code_block_count", 1),
        ("`````", "code_block_count", 0),
        ("```a```b```c```", "code_block_count", 2),
        ("- a\r\n* b\r\n1. c\r\n2) d\r\n", "list_item_count", 4),
        ("1. a\n9) b\n10. c\n10) d", "list_item_count", 2),  # a single leading digit only
        ("-\n*\n5\n- \n-x\n*y\n1\n", "list_item_count", 0),
        ("1.\n2)", "list_item_count", 2),
        ("\u00a0\u2003- a\u3000\n\t* b \r\n\u20281. c\u2029", "list_item_count", 3),
        ("-\u00a0a\n1 . b", "list_item_count", 0),
        ("TRACEBACK", "has_error_keywords", True),
        ("TRACEBAC\u212a", "has_error_keywords", True),  # Kelvin sign lowers to k
        ("debugging", "has_error_keywords", True),
        ("prefix", "has_error_keywords", True),
        ("bu g", "has_error_keywords", False),
        ("doesn\u2019t work", "has_error_keywords", False),  # the apostrophe is ASCII
        ("Let's Go With it", "has_decision_keywords", True),
        ("Decision", "has_decision_keywords", False),
        ("authentication", "has_planning_keywords", True),
        ("FIRST, we", "has_planning_keywords", True),
        ("first we", "has_planning_keywords", False),
        ("bug", "has_error_keywords", True),
        ("bu", "has_error_keywords", False),
        ("", "has_planning_keywords", False),
    ],
)
def test_crafted_features(content, field, value):
    assert getattr(TF.from_content(0, "assistant", content), field) == value


@pytest.mark.parametrize(
    "tail, consolidation",
    [("main.py", 0.5), ("lib.rs", 0.5), ("page.html", 0.5), ("x.h", 0.5), ("Main.java", 0.5),
     ("MAIN.PY", 0.3), ("main.Py", 0.3), ("main py", 0.3), ("a.c", 0.3)],
)
def test_source_file_extensions_are_case_sensitive(tail, consolidation):
    # A fenced block scores 0.3; a file extension adds 0.2 on top.
    phase, conf = infer("assistant", "```\nx\n``` see " + tail)
    assert phase == Phase.Consolidation
    assert conf == float(f32(consolidation) if consolidation == 0.3 else f32(f32(0.3) + f32(0.2)))


def test_turn_features_properties_and_repr():
    tf = TF.from_content(7, "assistant", "ok?")
    assert repr(tf) == "TurnFeatures(id=7, role='assistant', len=3, questions=1)"
    assert (tf.turn_id, tf.role, tf.is_user) == (7, "assistant", False)
    assert TF.from_content(1, "user", "").is_user
    assert not TF.from_content(1, "User", "").is_user
    assert not TF.from_content(1, " user", "").is_user
    big = TF.from_content(2**64 - 1, "r\u00f4le", "x")
    assert big.turn_id == 2**64 - 1 and big.role == "r\u00f4le"
    assert not hasattr(tf, "mentions_code_file")
    with pytest.raises(AttributeError):
        tf.question_count = 3


def test_large_text_features():
    block = "- item with a bug\n" * 50_000 + "```\n" * 3 + "done?"
    tf = TF.from_content(1, "assistant", block)
    assert (tf.list_item_count, tf.code_block_count, tf.question_count) == (50_000, 1, 1)
    assert tf.has_error_keywords and not tf.has_decision_keywords


# ---- phase inference ------------------------------------------------------------------


@pytest.mark.parametrize(
    "role, content, phase, conf",
    [
        ("user", "why? how?", Phase.Exploration, f32(f32(0.5) + f32(0.2))),
        ("assistant", "Here is the fix:\n```\ncode\n```", Phase.Debugging, f32(0.6)),
        ("User", "why? how?", None, None),
        ("user", "x" * 150, None, None),
        ("assistant", "", None, None),
        ("assistant", "- a\n* b\n1. c\n2) d", Phase.Planning, f32(0.3)),
        ("assistant", "- a\n* b\n1. c", None, None),
        # 0.4 + 0.3 = 0.70000005 beats 0.5 + 0.2 = 0.69999999 in single precision.
        ("user", "Plan?\n- a\n- b\n- c\n- d\n?", Phase.Planning, f32(f32(0.4) + f32(0.3))),
        ("assistant", "a" * 1000, None, None),
        ("assistant", "a" * 1001, Phase.Consolidation, f32(0.3)),
        ("user", "??" + "a" * 198, Phase.Exploration, f32(0.5)),
        ("user", "??" + "a" * 197, Phase.Exploration, f32(f32(0.5) + f32(0.2))),
        ("assistant", "We decided to ship.", Phase.Synthesis, f32(0.5)),
    ],
)
def test_phase_rules(role, content, phase, conf):
    if phase is None:
        with pytest.raises(ValueError, match="^Could not infer phase$"):
            infer(role, content)
    else:
        got_phase, got_conf = infer(role, content)
        assert got_phase == phase and type(got_phase) is Phase
        assert got_conf == float(conf)


@pytest.mark.parametrize(
    "role, content, phase",
    [
        # Exploration 0.5 (two questions, 200+ bytes) against Synthesis 0.5.
        ("user", "summary??" + "z" * 200, Phase.Exploration),
        # Debugging 0.6 against Consolidation 0.3 + 0.3 (long text and a fenced block).
        ("assistant", "crash ```x```" + "z" * 1000, Phase.Consolidation),
        # Planning 0.3 (four list items) against Consolidation 0.3 (long text).
        ("assistant", "- a\n- b\n- c\n- d\n" + "z" * 1000, Phase.Consolidation),
    ],
)
def test_equal_top_scores_report_the_lowest_phase_code(role, content, phase):
    got, _ = infer(role, content)
    assert got == phase


def test_phase_enum_and_inferencer_shape():
    names = ["Exploration", "Consolidation", "Synthesis", "Debugging", "Planning"]
    assert [int(getattr(Phase, n)) for n in names] == list(range(5))
    assert [repr(getattr(Phase, n)) for n in names] == [f"TrajectoryPhase.{n}" for n in names]
    assert Phase.Planning == 4 and Phase.Planning != Phase.Synthesis
    assert [int(h.Feedback.ThumbsUp), int(h.Feedback.ThumbsDown)] == [0, 1]
    assert repr(h.Feedback.ThumbsDown) == "Feedback.ThumbsDown"
    assert repr(h.PhaseInferencer()) == "PhaseInferencer()"
    with pytest.raises(TypeError, match="^unhashable|TrajectoryPhase"):
        hash(Phase.Planning)


@pytest.mark.parametrize(
    "call, exc, message",
    [
        (lambda: TF.from_content(-1, "user", "x"), OverflowError, None),
        (lambda: TF.from_content(1, 2, "x"), TypeError, "argument 'role': 'int' object cannot be converted to 'PyString'"),
        (lambda: TF.from_content(1, "user", b"x"), TypeError, "argument 'content': 'bytes' object cannot be converted"),
        (lambda: TF.from_content(1, "user"), TypeError, "TurnFeatures.from_content() missing 1 required positional"),
        (lambda: TF.from_content(1, "user", "\ud800"), UnicodeEncodeError, None),
        (lambda: TF(), TypeError, "No constructor defined for TurnFeatures"),
        (lambda: h.PhaseInferencer().infer_single("x"), TypeError,
         "argument 'features': 'str' object cannot be converted to 'TurnFeatures'"),
        (lambda: h.PhaseInferencer(1), TypeError, None),
    ],
)
def test_feature_argument_errors(call, exc, message):
    with pytest.raises(exc) as info:
        call()
    if message:
        assert str(info.value).startswith(message)


def test_keyword_arguments():
    tf = TF.from_content(content="why? how?", role="user", turn_id=4)
    assert h.PhaseInferencer().infer_single(features=tf)[0] == Phase.Exploration


# ---- salience -----------------------------------------------------------------------------


def score(**kw):
    recent = kw.pop("recent", None)
    factors = h.SalienceFactors(kw.pop("turn_id", 1), kw.pop("role", "user"), kw.pop("content_length", 10), **kw)
    return h.SalienceScorer().score_single(factors, recent)


def parts(s):
    return (s.score, s.feedback_contribution, s.phase_contribution, s.reference_contribution, s.novelty_contribution)


def test_neutral_factors_score_one_half():
    assert parts(score()) == (0.5, 0.0, 0.0, 0.0, 0.0)


def test_contributions_are_reported_unclamped():
    s = score(feedback=h.Feedback.ThumbsUp, is_phase_transition=True, reference_count=10, embedding=[1.0, 2.0])
    assert parts(s) == (1.0, float(f32(0.35)), float(f32(0.1)), float(f32(0.15)), float(f32(0.1)))
    down = score(feedback=h.Feedback.ThumbsDown)
    assert down.feedback_contribution == float(f32(-0.35))
    assert down.score == float(f32(f32(0.5) - f32(0.35)))


@pytest.mark.parametrize("refs", [0, 1, 2, 3, 4, 2**64 - 1])
def test_reference_contribution(refs):
    want = min(f32(f32(0.05) * f32(refs)), f32(0.15))
    assert score(reference_count=refs).reference_contribution == float(want)


@pytest.mark.parametrize(
    "embedding, recent, novelty",
    [
        ([1.0, 2.0, 3.0], None, f32(0.1)),
        ([1.0, 2.0, 3.0], [], f32(0.1)),
        ([1.0, 0.0], [[0.0, 5.0], [0.0, -1.0]], f32(0.1)),  # orthogonal
        ([1.0, 0.0], [[-1.0, 0.0], [-3.0, 0.0]], f32(0.1)),  # opposite: clamped, not 0.2
        ([0.0, 0.0], [[1.0, 0.0]], f32(0.1)),  # zero embedding
        ([], [[1.0]], f32(0.1)),
        ([1.0, 1.0, 7.0], [[1.0, 1.0]], None),  # unequal lengths accepted
    ],
)
def test_novelty_cases(embedding, recent, novelty):
    got = score(embedding=embedding, recent=recent).novelty_contribution
    if novelty is None:
        m = f32_cosine(np.array(embedding, np.float32), np.array(recent[0], np.float32))
        novelty = f32(f32(0.1) * f32(1 - m))
    assert got == float(novelty)


def test_identical_embeddings_give_no_novelty():
    e = [0.3, -1.2, 4.5]
    assert score(embedding=e, recent=[e] * 5).novelty_contribution == pytest.approx(0.0, abs=1e-7)


def test_only_the_first_ten_recent_embeddings_count():
    e = [1.0, 0.0, 0.0]
    rng = np.random.default_rng(3)
    recent = [list(rng.normal(size=3)) for _ in range(12)]
    base = score(embedding=e, recent=recent)
    changed_tail = score(embedding=e, recent=recent[:10] + [e, e])
    changed_tenth = score(embedding=e, recent=recent[:9] + [[-1.0, 0.0, 0.0]] + recent[10:])
    assert parts(base) == parts(changed_tail)
    assert base.novelty_contribution != changed_tenth.novelty_contribution


vectors = st.lists(st.floats(-4, 4, width=32), min_size=0, max_size=5)


@settings(max_examples=200, deadline=None)
@given(
    st.sampled_from([None, h.Feedback.ThumbsUp, h.Feedback.ThumbsDown]),
    st.booleans(),
    st.integers(0, 6),
    st.none() | vectors,
    st.none() | st.lists(vectors, max_size=13),
)
def test_salience_matches_float32_reference(feedback, transition, refs, embedding, recent):
    s = score(feedback=feedback, is_phase_transition=transition, reference_count=refs, embedding=embedding,
              recent=recent)
    fb = f32(0) if feedback is None else (f32(0.35) if feedback == h.Feedback.ThumbsUp else f32(-0.35))
    ph = f32(0.1) if transition else f32(0)
    rc = min(f32(f32(0.05) * f32(refs)), f32(0.15))
    nv = f32(0)
    if embedding is not None:
        nv = f32(0.1)
        window = (recent or [])[:10]
        if window:
            sims = [f32_cosine(np.array(embedding, np.float32), np.array(r, np.float32)) for r in window]
            mean = f32(f32_sum(sims) / f32(len(window)))
            nv = min(max(f32(f32(0.1) * f32(1 - mean)), f32(0)), f32(0.1))
    total = f32_sum([f32(0.5), fb, ph, rc, nv])
    assert parts(s) == tuple(float(x) for x in (min(max(total, f32(0)), f32(1)), fb, ph, rc, nv))


def test_salience_objects():
    f = h.SalienceFactors(5, "assistant", 42, reference_count=3)
    assert repr(f) == "SalienceFactors(turn_id=5, role='assistant')"
    assert (f.turn_id, f.role, f.content_length, f.reference_count, f.is_phase_transition) == (5, "assistant", 42, 3,
                                                                                                False)
    s = h.SalienceScorer().score_single(f)
    assert repr(s) == "TurnSalience(turn_id=5, score=0.650)" and s.turn_id == 5
    assert repr(h.SalienceScorer()) == "SalienceScorer()"
    assert h.SalienceScorer().score_single(factors=f, recent_embeddings=((1.0,),)).score == s.score
    assert str(inspect.signature(h.SalienceFactors)) == (
        "(turn_id, role, content_length, feedback=None, reference_count=0, is_phase_transition=False, embedding=None)")


@pytest.mark.parametrize(
    "kwargs, exc, message",
    [
        ({"feedback": 1}, TypeError, "argument 'feedback': 'int' object cannot be converted to 'Feedback'"),
        ({"reference_count": -1}, OverflowError, None),
        ({"is_phase_transition": 1}, TypeError, "argument 'is_phase_transition'"),
        ({"embedding": "abc"}, TypeError, "argument 'embedding': Can't extract `str` to `Vec`"),
        ({"embedding": [1.0, "x"]}, TypeError, "argument 'embedding'"),
        ({"recent": [[1.0], 5]}, TypeError, "argument 'recent_embeddings'"),
        ({"content_length": -2}, OverflowError, None),
    ],
)
def test_salience_argument_errors(kwargs, exc, message):
    with pytest.raises(exc) as info:
        score(**kwargs)
    if message:
        assert str(info.value).startswith(message)


def test_turn_salience_has_no_constructor():
    with pytest.raises(TypeError, match="^No constructor defined for TurnSalience$"):
        h.TurnSalience()


# ---- path quality ---------------------------------------------------------------------------

PQ = h.PathQuality


def enhance_ref(base, quality, blend):
    b = min(max(f32(blend), f32(0)), f32(1))
    return float(f32(f32(quality) * b) + f32(f32(base) * f32(f32(1) - b)))


@pytest.mark.parametrize(
    "base, quality, blend, want",
    [(0.4, 0.8, 2.0, f32(0.8)), (0.4, 0.8, -1.0, f32(0.4)), (0.4, 0.8, 0.5, None), (0.3, 0.9, 0.25, None)],
)
def test_enhance_salience(base, quality, blend, want):
    got = PQ.enhance_salience(base, quality, blend)
    assert got == (float(want) if want is not None else enhance_ref(base, quality, blend))
    if blend == 0.5:
        assert got == pytest.approx(0.6)


@pytest.mark.parametrize(
    "base, quality, terminal, want",
    [(0.6, 1.0, True, 0.8), (0.6, 1.0, False, 0.6), (1.0, 0.3, True, 1.0), (1.0, -7.0, True, 1.0),
     (0.2, 0.7, True, None), (1.5, 0.4, True, None)],
)
def test_terminal_boost(base, quality, terminal, want):
    b, q = f32(base), f32(quality)
    ref = float(f32(b + f32(f32(f32(1) - b) * f32(q * f32(0.5))))) if terminal else float(b)
    got = PQ.terminal_boost(base, quality, terminal)
    assert got == ref
    if want is not None:
        assert got == pytest.approx(want)


@pytest.mark.parametrize(
    "args, want",
    [((), 0.5), ((None,), 0.5), (("synthesis",), 0.9), (("planning",), 0.85), (("consolidation",), 0.7),
     (("debugging",), 0.4), (("exploration",), 0.5), (("Planning",), 0.5), ((" planning",), 0.5), (("",), 0.5)],
)
def test_terminal_quality_from_phase(args, want):
    assert PQ.terminal_quality_from_phase(*args) == float(f32(want))


@pytest.mark.parametrize("up, down, want", [(True, True, 0.95), (True, False, 0.95), (False, True, 0.1),
                                            (False, False, 0.5)])
def test_terminal_quality_from_feedback(up, down, want):
    assert PQ.terminal_quality_from_feedback(up, down) == float(f32(want))
    assert PQ().terminal_quality_from_feedback(has_thumbs_up=up, has_thumbs_down=down) == float(f32(want))


def quality_ref(f, w):
    f, w = [f32(x) for x in f], [f32(x) for x in w]
    return float(f32(f32(f32(w[0] * f[0]) + f32(w[1] * f[1])) + f32(w[2] * f[2])) + f32(w[3] * f[3]))


finite = st.floats(-10, 10, width=32)


@settings(max_examples=200, deadline=None)
@given(st.tuples(finite, finite, finite, finite), st.tuples(finite, finite, finite, finite))
def test_compute_quality_matches_float32_reference(factors, weights):
    f = h.PathQualityFactors(*factors)
    assert f.compute_quality(h.PathQualityWeights(*weights)) == quality_ref(factors, weights)
    assert f.quality() == quality_ref(factors, (0.25, 0.3, 0.25, 0.2))


def test_path_quality_objects():
    assert h.PathQualityFactors(1, 1, 1, 1).quality() == 1.0
    assert h.PathQualityFactors(2, 0, 0, 0).quality() == 0.5
    f = h.PathQualityFactors(linearity=0.125, terminal_score=2, coherence=-1, completion=0.005)
    assert (f.linearity, f.terminal_score, f.coherence, f.completion) == (0.125, 2.0, -1.0, float(f32(0.005)))
    assert repr(f) == "PathQualityFactors(L=0.12, T=2.00, S=-1.00, C=0.00)"  # 0.005f lies below 0.005
    w, d = h.PathQualityWeights(), h.PathQualityWeights.default_weights()
    assert (w.alpha, w.beta, w.gamma, w.delta) == (d.alpha, d.beta, d.gamma, d.delta)
    assert w.beta == 0.30000001192092896
    assert repr(w) == "PathQualityWeights(\u03b1=0.25, \u03b2=0.30, \u03b3=0.25, \u03b4=0.20)"
    assert repr(h.PathQualityWeights(delta=3, alpha=-0.5)) == "PathQualityWeights(α=-0.50, β=0.30, γ=0.25, δ=3.00)"
    assert isinstance(PQ(), PQ)


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda: PQ.terminal_boost(0.5, 0.5, 1), "argument 'is_terminal'"),
        (lambda: PQ.terminal_quality_from_phase(3), "argument 'phase': 'int' object cannot be converted"),
        (lambda: PQ.terminal_quality_from_feedback(True, None), "argument 'has_thumbs_down'"),
        (lambda: PQ.enhance_salience("a", 0.5, 0.5), "argument 'base_salience'"),
        (lambda: h.PathQualityFactors(1, 1, 1, 1).compute_quality(h.TesselWeights()),
         "argument 'weights': 'TesselWeights' object cannot be converted to 'PathQualityWeights'"),
        (lambda: h.PathQualityWeights(gamma="x"), "argument 'gamma'"),
        (lambda: h.PathQualityFactors(1, 1, 1), "PathQualityFactors.__new__() missing 1 required positional "
                                                "argument: 'completion'"),
    ],
)
def test_path_quality_argument_errors(call, message):
    with pytest.raises(TypeError) as info:
        call()
    assert str(info.value).startswith(message)


# ---- registration -----------------------------------------------------------------------------


def test_classes_are_registered_in_order():
    names = list(vars(h))
    ours = ["TrajectoryCoordinate5D", "TrajectoryPhase", "Feedback", "TurnFeatures", "PhaseInferencer",
            "SalienceFactors", "TurnSalience", "SalienceScorer", "PathQualityWeights", "PathQualityFactors",
            "PathQuality", "TesselWeights"]
    positions = [names.index(n) for n in ours]
    assert positions == list(range(positions[0], positions[0] + len(ours)))


@pytest.mark.parametrize(
    "obj, text",
    [
        (TF.from_content, "(turn_id, role, content)"),
        (h.PhaseInferencer.infer_single, "(self, /, features)"),
        (h.SalienceScorer.score_single, "(self, /, factors, recent_embeddings=None)"),
        (PQ.enhance_salience, "(base_salience, quality, blend)"),
        (PQ.terminal_boost, "(base_salience, quality, is_terminal)"),
        (PQ.terminal_quality_from_phase, "(phase=None)"),
        (PQ.terminal_quality_from_feedback, "(has_thumbs_up, has_thumbs_down)"),
        (h.PathQualityFactors.compute_quality, "(self, /, weights)"),
        (h.PathQualityWeights, "(alpha=0.25, beta=0.3, gamma=0.25, delta=0.2)"),
        (h.PathQualityWeights.default_weights, "()"),
    ],
)
def test_text_signatures(obj, text):
    assert str(inspect.signature(obj)) == text


@pytest.mark.parametrize("filler", ["a", "é", "İ", "日", "Σ"])
@pytest.mark.parametrize("keyword, field", [("TRACEBACK", "has_error_keywords"),
                                            ("LET'S GO WITH", "has_decision_keywords"),
                                            ("Fix", "has_error_keywords")])
def test_keywords_found_anywhere_in_long_texts(filler, keyword, field):
    # Long texts are searched in pieces; a keyword may cross any byte offset.
    for start in range(65536 - 16, 65536 + 4):
        head = filler * (start // len(filler.encode()))
        head += "b" * (start - len(head.encode()))
        content = head + keyword + " z"
        tf = TF.from_content(0, "assistant", content)
        assert getattr(tf, field), start
        assert features_of(tf) == {k: v for k, v in ref_features(content).items() if k != "mentions_code_file"}
