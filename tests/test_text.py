"""Text the module writes: independent of the process locale, and every
character of a caller's text kept (embedded NULs and non-ASCII included)."""

import json
import math
import re
import shutil
import subprocess

import numpy as np
import pytest

import halyard._halyard_rs as h

from conftest import arr, run_python

COMMA_LOCALE = "de_DE.UTF-8"

# Builds every object whose representation writes a float and prints the
# representations as JSON, first in the C locale and then after switching the
# whole process to a locale whose decimal mark is a comma.
REPR_SCRIPT = r"""
import json, locale
import numpy as np
import halyard._halyard_rs as h

def v(*xs):
    return np.array(xs, dtype=np.float32)

def reprs():
    c4 = h.TrajectoryCoordinate(2, 1, 0.625, 0.375)
    c5 = h.TrajectoryCoordinate5D(3, 1, 0.8, 0.35, 2)
    flat = h.FlatIndex(2, h.DistanceType.Cosine)
    flat.add("a", v(1.0, 2.0))
    flat.add("b", v(2.0, 0.5))
    cache = h.QueryCache()
    link = h.ChainLink(c5, [1.0, 0.5], h.LinkType.Question, 0.75, True, "x")
    other = h.ChainLink(h.TrajectoryCoordinate5D(1, 0, 0.3, 0.9, 1), [0.25, 1.0], h.LinkType.Answer, 0.5, False, "y")
    factors = h.SalienceFactors(1, "user", 120, feedback=h.Feedback.ThumbsUp, reference_count=2, embedding=[1.0, 0.5])
    machine = h.BranchStateMachine.from_graph(h.TrajectoryGraph.from_edges(
        [(1, 2, h.EdgeType.Continuation), (2, 3, h.EdgeType.Continuation)]))
    machine.archive(0)
    objects = [
        *flat.search(v(1.0, 1.0), 2),
        h.MemoryRecord("r", v(1.0, 2.0), "ctx", 0.4375),
        cache,
        cache.stats(),
        c4,
        c5,
        h.TesselWeights(),
        h.TesselWeights.semantic_focused(),
        h.IRCPConfig.causal(),
        h.IRCPPropagator(h.IRCPConfig()).compute_attention(c5, [c5, c5], v(1, 0), [v(1, 0), v(0.5, 1)]),
        link,
        h.ChainLinkEstimatorConfig(),
        h.ChainLinkEstimator().estimate_detailed(link, other),
        h.LinkStrength(0.91, 0.42, 0.33),
        h.SalienceScorer().score_single(factors, [[0.5, 1.0]]),
        h.PathQualityWeights(),
        h.PathQualityFactors(0.9, 0.55, 0.25, 0.125),
        h.Episode(5, parent=3, weight=0.75),
        *h.BranchResolver.find_recoverable_branches(machine),
        h.ConservationMetrics.compute([v(3, 4), v(1, 0, 5)], [0.25, 0.75]),
    ]
    return [repr(o) for o in objects]

before = reprs()
locale.setlocale(locale.LC_ALL, %r)
assert locale.localeconv()["decimal_point"] == ",", locale.localeconv()
print(json.dumps([before, reprs()]))
"""


FLOAT_REPR_CLASSES = {
    "SearchResult", "MemoryRecord", "QueryCache", "CacheStats", "TrajectoryCoordinate", "TrajectoryCoordinate5D",
    "TesselWeights", "IRCPConfig", "AttentionWeights", "ChainLink", "ChainLinkEstimatorConfig", "ChainLinkEstimate",
    "LinkStrength", "TurnSalience", "PathQualityWeights", "PathQualityFactors", "Episode", "RecoverableBranch",
    "ConservationMetrics",
}


def _locale_works(env):
    probe = run_python(
        f"import locale; locale.setlocale(locale.LC_ALL, {COMMA_LOCALE!r}); "
        "assert locale.localeconv()['decimal_point'] == ','", env=env)
    return probe.returncode == 0


@pytest.fixture
def comma_locale_env(tmp_path_factory):
    """Environment in which COMMA_LOCALE can be set: the system's when it has
    the locale, else one compiled with localedef into a private LOCPATH."""
    if _locale_works(None):
        return {}
    localedef = shutil.which("localedef")
    if not localedef:
        pytest.skip(f"{COMMA_LOCALE} is not installed and localedef is not available to build it")
    path = tmp_path_factory.mktemp("locales")
    # localedef may exit non-zero for mere warnings; whether the result works decides.
    made = subprocess.run([localedef, "-i", "de_DE", "-f", "UTF-8", str(path / COMMA_LOCALE)],
                          capture_output=True, text=True, timeout=300)
    env = {"LOCPATH": str(path)}
    if not _locale_works(env):
        pytest.skip(f"{COMMA_LOCALE} is not installed and localedef could not build it "
                    f"(exit {made.returncode}): {made.stderr.strip()[-300:]}")
    return env


def test_representations_do_not_follow_the_numeric_locale(comma_locale_env):
    run = run_python(REPR_SCRIPT % COMMA_LOCALE, env=comma_locale_env)
    assert run.returncode == 0, run.stderr
    in_c, in_comma = json.loads(run.stdout)
    assert {text.split("(")[0] for text in in_c} == FLOAT_REPR_CLASSES
    assert in_comma == in_c
    for text in in_c:
        assert re.search(r"\d\.\d", text) and not re.search(r"\d,\d", text), text
    # Spot checks of the digits themselves: ties to even on the exact binary value.
    assert "TrajectoryCoordinate(depth=2, sibling=1, homo=0.62, time=0.38)" in in_c
    assert "MemoryRecord(id='r', dim=2, outcome=0.438)" in in_c
    assert "QueryCache(entries=0, hit_ratio=0.00%)" in in_c


def test_fixed_point_digits_round_exactly_and_spell_non_finite_values():
    # float32 values widened exactly; Python's own formatting is correctly rounded.
    for value in [0.125, 0.375, 2.5, 0.005, 1.005, -0.0, 1e20, 3.4028234663852886e38]:
        f = float(np.float32(value))
        t = h.TrajectoryCoordinate(0, 0, f, -f)
        assert repr(t) == f"TrajectoryCoordinate(depth=0, sibling=0, homo={f:.2f}, time={-f:.2f})"
    nan_inf = h.TrajectoryCoordinate(0, 0, math.inf, math.nan)
    assert repr(nan_inf) == "TrajectoryCoordinate(depth=0, sibling=0, homo=inf, time=nan)"
    assert repr(h.TrajectoryCoordinate(0, 0, -math.inf, -math.nan)).endswith("homo=-inf, time=-nan)")


TEXTS = ["a\x00b", "Grüße, 世界 😀", "\x00é\x00"]

NAN_VECTOR = arr(math.nan, 0.0)


def _hnsw_with(text):
    index = h.HNSWIndex(2)
    index.add(text, arr(1.0, 0.0))
    return index


def _store_with(text):
    store = h.InMemoryStore()
    store.insert(h.MemoryRecord(text, arr(1.0, 0.0), "", 0.0))
    return store


def _registry_with(text):
    registry = h.IndexRegistry()
    registry.register_flat(text, 2)
    return registry


def _chains_with(text):
    chains = h.ChainManager()
    chains.create_chain(text)
    return chains


def _flat_with_nan(text):
    index = h.FlatIndex(2)
    index.add(text, NAN_VECTOR)
    return index


ERRORS = [
    (lambda t: _hnsw_with(t).add(t, arr(0.0, 1.0)), RuntimeError, "Duplicate record: {}"),
    (lambda t: _store_with(t).insert(h.MemoryRecord(t, arr(0.0, 1.0), "", 0.0)), RuntimeError, "Duplicate record: {}"),
    (lambda t: _registry_with(t).register_hnsw(t, 2, 4, 8), RuntimeError, "Duplicate index: {}"),
    (lambda t: h.IndexRegistry().add(t, "id", arr(1.0, 0.0)), RuntimeError, "Index not found: {}"),
    (lambda t: h.InMemoryStore().update_stats(t, 1.0), RuntimeError, "Record not found: {}"),
    (lambda t: h.ChainManager().set_active_chain(t), RuntimeError, "Chain not found: {}"),
    (lambda t: _chains_with(t).create_chain(t), RuntimeError, "Chain already exists: {}"),
    (lambda t: _hnsw_with("x").add(t, NAN_VECTOR), RuntimeError,
     "Cannot insert '{}': the vector contains NaN, so its distances cannot be ordered"),
    (lambda t: _flat_with_nan(t).search(arr(1.0, 0.0), 1), RuntimeError,
     "Cannot rank entry '{}': its distance to the query is NaN (NaN or infinite components cannot be ordered)"),
    (lambda t: h.FlatIndex(2).contains(**{t: "id"}), TypeError,
     "FlatIndex.contains() got an unexpected keyword argument '{}'"),
]


@pytest.mark.parametrize("text", TEXTS, ids=ascii)
@pytest.mark.parametrize("call, kind, message", ERRORS, ids=[m.split("{")[0].strip(" :'") for _, _, m in ERRORS])
def test_errors_carry_the_whole_caller_text(call, kind, message, text):
    with pytest.raises(kind) as info:
        call(text)
    assert info.value.args == (message.format(text),)


def test_type_names_are_echoed_whole():
    odd = type("Ünïcødé✓", (), {})()
    with pytest.raises(TypeError) as info:
        h.FlatIndex(2).contains(odd)
    assert str(info.value) == "argument 'id': 'Ünïcødé✓' object cannot be converted to 'PyString'"


@pytest.mark.parametrize("text", TEXTS, ids=ascii)
def test_caller_text_round_trips_through_values_and_representations(text):
    flat = h.FlatIndex(2)
    flat.add(text, arr(1.0, 0.0))
    [hit] = flat.search(arr(1.0, 0.0), 1)
    assert hit.id == text and repr(hit) == f"SearchResult(id='{text}', distance=0.0000, score=1.0000)"
    store = _store_with(text)
    assert store.ids() == [text] and store.get(text).id == text
    assert repr(store.get(text)) == f"MemoryRecord(id='{text}', dim=2, outcome=0.000)"
    registry = _registry_with(text)
    registry.add(text, text, arr(1.0, 0.0))
    assert list(registry.search_all(arr(1.0, 0.0), 1)) == [text]
    chains = _chains_with(text)
    assert chains.chain_ids() == [text] and chains.active_chain == text
    assert repr(chains.get_metadata(text)) == f"ChainMetadata(id='{text}', nodes=0, branches=0)"
    escaped = text.replace("\x00", "\\0")
    assert repr(chains) == f'ChainManager(chains=1, active=Some("{escaped}"))'
    link = h.CrossChainLink.semantic(text, 1, text, 2, 0.5)
    assert (link.source_chain, link.target_chain) == (text, text)
    assert repr(link) == f"CrossChainLink('{text}':1  -> '{text}':2, type=Semantic)"
    features = h.TurnFeatures.from_content(7, text, "hi")
    assert features.role == text and repr(features) == f"TurnFeatures(id=7, role='{text}', len=2, questions=0)"
    assert repr(h.SalienceFactors(7, text, 2)) == f"SalienceFactors(turn_id=7, role='{text}')"
