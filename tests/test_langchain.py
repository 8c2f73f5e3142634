"""The LangChain vector store: LangChain's own standard suite, then what it does not cover."""

import inspect
import math

import numpy as np
import pytest

pytest.importorskip("langchain_core")
standard = pytest.importorskip("langchain_tests.integration_tests")

from langchain_core.documents import Document  # noqa: E402
from langchain_core.embeddings import Embeddings  # noqa: E402

import halyard as hy  # noqa: E402
from halyard.langchain import HalyardVectorStore  # noqa: E402

from conftest import run_python  # noqa: E402

KINDS = ["hnsw", "flat"]

# The standard suite's coroutine tests carry no marker; pytest-asyncio runs them
# once they are marked. Marking the functions in place keeps them the suite's own.
for _name, _test in vars(standard.VectorStoreIntegrationTests).items():
    if _name.startswith("test_") and inspect.iscoroutinefunction(_test):
        pytest.mark.asyncio(_test)


class TestStandardSuiteHNSW(standard.VectorStoreIntegrationTests):
    @pytest.fixture()
    def vectorstore(self):
        return HalyardVectorStore(self.get_embeddings())


class TestStandardSuiteFlat(standard.VectorStoreIntegrationTests):
    @pytest.fixture()
    def vectorstore(self):
        return HalyardVectorStore(self.get_embeddings(), index="flat")


class VectorText(Embeddings):
    """Each text is its own vector written out ("1,0,2"), or a key of `table`."""

    def __init__(self, table=None):
        self.table = table or {}

    def _one(self, text):
        if text in self.table:
            return [float(x) for x in self.table[text]]
        return [float(x) for x in text.split(",")]

    def embed_documents(self, texts):
        return [self._one(t) for t in texts]

    def embed_query(self, text):
        return self._one(text)


def clustered(n, dim, seed=0):
    rng = np.random.default_rng(seed)
    centres = rng.standard_normal((10, dim))
    return (centres[rng.integers(0, 10, n)] + 0.3 * rng.standard_normal((n, dim))).astype(np.float32)


def exact_top(X, q, k, kind):
    q64, X64 = q.astype(np.float64), X.astype(np.float64)
    if kind == hy.DistanceType.L2:
        return list(np.argsort(np.linalg.norm(X64 - q64, axis=1), kind="stable")[:k])
    dots = X64 @ q64
    if kind == hy.DistanceType.Cosine:
        dots = dots / (np.linalg.norm(X64, axis=1) * np.linalg.norm(q64))
    return list(np.argsort(-dots, kind="stable")[:k])


def snapshot(store, ids, query):
    return store.get_by_ids(ids), store.similarity_search_with_score(query, k=10)


@pytest.mark.parametrize("kind", KINDS)
@pytest.mark.parametrize("distance", [hy.DistanceType.Cosine, hy.DistanceType.L2, hy.DistanceType.InnerProduct],
                         ids=["cosine", "l2", "inner_product"])
def test_rare_filters_and_large_k_still_find_every_match_exactly(kind, distance):
    # 600 documents; 6 of them ("rare") lie far from the query, beyond what the
    # index's best hits can reveal, and must still come back, best first.
    X = clustered(600, 16)
    names = [f"d{i}" for i in range(len(X))]
    rare = set(range(0, 600, 100))
    metas = [{"group": "rare" if i in rare else "common", "n": i} for i in range(len(X))]
    store = HalyardVectorStore(VectorText(dict(zip(names, X))), kind, distance_type=distance)
    store.add_texts(names, metas, ids=names)
    q = X[1] + 0.01
    query = ",".join(map(str, q))

    rare_idx = sorted(rare)
    want = [names[rare_idx[i]] for i in exact_top(X[rare_idx], q, 6, distance)]
    for flt in ({"group": "rare"}, lambda doc: doc.metadata["group"] == "rare"):
        got = store.similarity_search_with_score(query, k=4, filter=flt)
        assert [d.id for d, _ in got] == want[:4]
        assert all(d.metadata["group"] == "rare" for d, _ in got)
    assert [d.id for d in store.similarity_search(query, k=50, filter={"group": "rare"})] == want
    assert store.similarity_search(query, k=3, filter={"group": "none"}) == []
    assert store.similarity_search(query, k=3, filter={"missing-key": None}) == []

    # k beyond one HNSW search: every document, in exact order.
    everything = store.similarity_search_by_vector(q.tolist(), k=1000)
    assert [d.id for d in everything] == [names[i] for i in exact_top(X, q, 600, distance)]


def test_scores_and_relevance_per_distance_type():
    cos = 0.6                               # of the unit vectors (1, 0) and (0.6, 0.8)
    for distance, score in [(hy.DistanceType.Cosine, cos), (hy.DistanceType.InnerProduct, cos),
                            (hy.DistanceType.L2, math.sqrt(2 - 2 * cos))]:
        store = HalyardVectorStore.from_texts(["1,0", "0.6,0.8", "-1,0"], VectorText(), index="flat",
                                              distance_type=distance)
        hits = store.similarity_search_with_score("1,0", k=3)
        assert [d.page_content for d, _ in hits] == ["1,0", "0.6,0.8", "-1,0"]
        assert hits[1][1] == pytest.approx(score, abs=1e-6)
        # Unit vectors: every distance type gives the same relevance, (1 + cosine) / 2.
        rel = store.similarity_search_with_relevance_scores("1,0", k=3)
        assert [r for _, r in rel] == pytest.approx([1.0, (1 + cos) / 2, 0.0], abs=1e-6)
        kept = store.similarity_search_with_relevance_scores("1,0", k=3, score_threshold=0.7)
        assert [d.page_content for d, _ in kept] == ["1,0", "0.6,0.8"]

    # Vectors that are not unit length stay within [0, 1], and a custom mapping is used as given.
    store = HalyardVectorStore.from_texts(["10,0", "-10,0"], VectorText(), index="flat", distance_type="l2")
    assert [r for _, r in store.similarity_search_with_relevance_scores("1,0", k=2)] == [0.0, 0.0]
    store = HalyardVectorStore.from_texts(["3,0"], VectorText(), index="flat", distance_type="inner_product",
                                          relevance_score_fn=lambda dot: dot / 10)
    assert store.similarity_search_with_relevance_scores("1,0", k=1)[0][1] == pytest.approx(0.3)


@pytest.mark.parametrize("kind", KINDS)
def test_mmr_prefers_diverse_documents_and_honours_filters(kind):
    # Three near-copies close to the query, one distinct document a little farther.
    texts = ["1,0,0", "1,0.02,0", "1,0.04,0", "0.7,0.7,0", "0,0,1"]
    metas = [{"keep": True}, {"keep": False}, {"keep": True}, {"keep": True}, {"keep": True}]
    store = HalyardVectorStore.from_texts(texts, VectorText(), metadatas=metas, index=kind)
    query = "1,0.2,0"
    assert [d.page_content for d in store.similarity_search(query, k=2)] == ["1,0.04,0", "1,0.02,0"]
    diverse = [d.page_content for d in store.max_marginal_relevance_search(query, k=2, fetch_k=4)]
    assert diverse == ["1,0.04,0", "0.7,0.7,0"]
    # lambda_mult=1 is plain similarity order; a filter applies before the selection.
    assert [d.page_content for d in store.max_marginal_relevance_search_by_vector(
        [1.0, 0.2, 0.0], k=3, fetch_k=5, lambda_mult=1.0)] == ["1,0.04,0", "1,0.02,0", "1,0,0"]
    picked = store.max_marginal_relevance_search(query, k=5, fetch_k=5, filter={"keep": False})
    assert [d.page_content for d in picked] == ["1,0.02,0"]
    retriever = store.as_retriever(search_type="mmr", search_kwargs={"k": 2, "fetch_k": 4})
    assert [d.page_content for d in retriever.invoke(query)] == diverse
    with pytest.raises(ValueError, match="lambda_mult"):
        store.max_marginal_relevance_search(query, lambda_mult=1.5)


@pytest.mark.parametrize("kind", KINDS)
def test_bad_batches_leave_the_store_unchanged(kind):
    store = HalyardVectorStore(VectorText(), kind)
    store.add_texts(["1,0,0", "0,1,0"], [{"v": 1}, {"v": 2}], ids=["a", "b"])
    before = snapshot(store, ["a", "b", "c"], "1,0,0")

    bad_batches = [
        (["0,0,1", "0,1,1", "1,1"], "different lengths"),   # a wrong length at item 3
        (["1,1", "0,2"], "2 components where this store holds 3"),
        (["0,0,1", "nan,0,1"], "NaN, infinite"),
        (["1e39,0,0"], "out-of-float32-range"),
    ]
    for texts, message in bad_batches:
        with pytest.raises(ValueError, match=message):
            store.add_texts(texts, ids=["a", "c", "b"][: len(texts)])
    with pytest.raises(ValueError, match="2 metadatas for 1 texts"):
        store.add_texts(["0,0,1"], [{}, {}])
    with pytest.raises(ValueError, match="2 ids for 1 texts"):
        store.add_texts(["0,0,1"], ids=["a", "c"])

    # The index itself refuses a vector whose cosine with the others is NaN
    # (finite components, infinite norm) after two entries of the batch went in:
    # those are undone, the replaced document "a" included.
    if kind == "hnsw":
        with pytest.raises(RuntimeError):
            store.add_texts(["0,0,1", "0,1,1", "3e38,3e38,3e38"], ids=["a", "c", "d"])
    assert snapshot(store, ["a", "b", "c", "d"], "1,0,0") == before

    # Unknown ids are skipped; a lone string is refused instead of being read as ids.
    assert store.delete(["zz"]) is True and store.get_by_ids(["zz", "a", "a"]) == before[0][:1]
    with pytest.raises(TypeError, match="list of ids"):
        store.delete("a")
    for query in ("1,0", "nan,0,0"):
        with pytest.raises(ValueError):
            store.similarity_search(query)
    with pytest.raises(TypeError, match="filter"):
        store.similarity_search("1,0,0", filter=["v"])
    with pytest.raises(TypeError, match="unexpected keyword"):
        store.similarity_search("1,0,0", filters={"v": 1})
    assert snapshot(store, ["a", "b", "c", "d"], "1,0,0") == before

    store.delete()  # no ids: everything, and the next add may bring another dimension
    assert store.similarity_search("1,0,0") == []
    store.add_texts(["1,2"])
    assert [d.page_content for d in store.similarity_search("1,2", k=5)] == ["1,2"]


def test_metadata_is_kept_whole_and_private():
    nested = {"tags": ["a", "b"], "source": {"url": "x", "pages": [1, 2]}, "score": 0.5, "ok": True, "none": None}
    flat = {"k": "v"}
    store = HalyardVectorStore(VectorText())
    ids = store.add_documents([Document("1,0", metadata=nested, id="n"), Document("0,1", metadata=flat)])
    assert ids[0] == "n" and len(ids[1]) == 36   # a generated UUID
    nested["tags"].append("changed by the caller")
    flat["k"] = "changed"
    for doc in store.similarity_search("1,0", k=2):
        doc.metadata.setdefault("tags", []).append("changed by a reader")
        doc.metadata["k"] = "changed by a reader"
    got = {d.id: d.metadata for d in store.get_by_ids(ids)}
    assert got["n"] == {"tags": ["a", "b"], "source": {"url": "x", "pages": [1, 2]}, "score": 0.5, "ok": True,
                        "none": None}
    assert got[ids[1]] == {"k": "v"}
    assert store.similarity_search("1,0", k=1, filter={"source": {"url": "x", "pages": [1, 2]}})[0].id == "n"


def test_from_documents_and_retrievers():
    docs = [Document("1,0", id="x", metadata={"lang": "en"}), Document("0,1", id="y", metadata={"lang": "fr"}),
            Document("0.9,0.1", id="z", metadata={"lang": "fr"})]
    store = HalyardVectorStore.from_documents(docs, VectorText(), index="flat", distance_type=hy.DistanceType.L2)
    assert [d.id for d in store.as_retriever(search_kwargs={"k": 2}).invoke("1,0")] == ["x", "z"]
    fr = store.as_retriever(search_kwargs={"k": 2, "filter": {"lang": "fr"}})
    assert [d.id for d in fr.invoke("1,0")] == ["z", "y"]
    threshold = store.as_retriever(search_type="similarity_score_threshold",
                                   search_kwargs={"k": 3, "score_threshold": 0.9})
    assert [d.id for d in threshold.invoke("1,0")] == ["x", "z"]
    with pytest.raises(ValueError, match="index"):
        HalyardVectorStore(VectorText(), "ivf")
    with pytest.raises(ValueError, match="distance_type"):
        HalyardVectorStore(VectorText(), distance_type="manhattan")
    with pytest.raises(ValueError, match="m must be at least 2"):
        HalyardVectorStore(VectorText(), m=1)


@pytest.mark.parametrize("module, framework, extra", [
    ("halyard.langchain", "langchain_core", "halyard[langchain]"),
    ("halyard.llama_index", "llama_index", "halyard[llama-index]"),
])
def test_adapters_are_optional(module, framework, extra):
    done = run_python(f"""
        import sys
        import halyard
        assert not [m for m in sys.modules if m.startswith(("langchain", "llama_index"))], "imported by halyard"
        sys.modules[{framework!r}] = None      # as if the framework were not installed
        try:
            import {module}
        except ImportError as exc:
            print(exc)
        """)
    assert done.returncode == 0, done.stderr
    assert extra in done.stdout
