"""The LlamaIndex vector store: a VectorStoreIndex end to end, filters, node bookkeeping, bad input."""

import asyncio
import hashlib
import math

import numpy as np
import pytest

pytest.importorskip("llama_index.core")

from llama_index.core import Document, StorageContext, VectorStoreIndex  # noqa: E402
from llama_index.core.embeddings import BaseEmbedding  # noqa: E402
from llama_index.core.llms import MockLLM  # noqa: E402
from llama_index.core.schema import NodeRelationship, RelatedNodeInfo, TextNode  # noqa: E402
from llama_index.core.vector_stores.types import (  # noqa: E402
    FilterCondition,
    FilterOperator,
    MetadataFilter,
    MetadataFilters,
    VectorStoreQuery,
    VectorStoreQueryMode,
)

from halyard.llama_index import HalyardVectorStore  # noqa: E402

KINDS = ["hnsw", "flat"]


class HashEmbedding(BaseEmbedding):
    """Bag of hashed words, unit length: texts sharing words are close."""

    def _vector(self, text):
        v = np.zeros(64)
        for word in text.lower().split():
            digest = hashlib.blake2b(word.strip(".,?!").encode(), digest_size=8).digest()
            v[int.from_bytes(digest, "little") % 64] += 1.0
        return (v / max(np.linalg.norm(v), 1e-12)).tolist()

    def _get_text_embedding(self, text):
        return self._vector(text)

    def _get_query_embedding(self, query):
        return self._vector(query)

    async def _aget_query_embedding(self, query):
        return self._vector(query)


def node(id, vector, ref=None, **metadata):
    n = TextNode(id_=id, text=f"text of {id}", embedding=list(vector), metadata=metadata)
    if ref is not None:
        n.relationships[NodeRelationship.SOURCE] = RelatedNodeInfo(node_id=ref)
    return n


def all_ids(store):
    return sorted(n.node_id for n in store.get_nodes())


@pytest.mark.parametrize("kind", KINDS)
def test_vector_store_index_end_to_end(kind):
    store = HalyardVectorStore(kind)
    storage = StorageContext.from_defaults(vector_store=store)
    assert storage.vector_store is store     # an empty store must not be mistaken for no store
    docs = [
        Document(text="Halyard keeps vectors in process memory.", id_="memory", metadata={"year": 2024}),
        Document(text="A halyard line raises the sails of a boat.", id_="sailing", metadata={"year": 2019}),
        Document(text="The graph index answers nearest neighbour queries fast.", id_="graph",
                 metadata={"year": 2024}),
    ]
    index = VectorStoreIndex.from_documents(docs, storage_context=storage, embed_model=HashEmbedding())

    def top(question, **kwargs):
        return [n.node.ref_doc_id for n in index.as_retriever(**kwargs).retrieve(question)]

    assert top("which line raises the sails", similarity_top_k=1) == ["sailing"]
    recent = MetadataFilters(filters=[MetadataFilter(key="year", value=2024)])
    assert sorted(top("which line raises the sails", similarity_top_k=3, filters=recent)) == ["graph", "memory"]

    answer = index.as_query_engine(llm=MockLLM(), similarity_top_k=1).query("nearest neighbour queries")
    assert [n.node.ref_doc_id for n in answer.source_nodes] == ["graph"]

    index.insert(Document(text="Knots for a sailing boat: the bowline.", id_="knots"))
    index.delete_ref_doc("sailing")
    assert top("sails of a sailing boat", similarity_top_k=1) == ["knots"]
    retriever = index.as_retriever(similarity_top_k=4)
    found = asyncio.run(retriever.aretrieve("halyard memory"))
    assert [n.node.ref_doc_id for n in found][0] == "memory" and len(found) == 3


def F(key, value, op="=="):
    return MetadataFilter(key=key, value=value, operator=FilterOperator(op))


FILTER_CASES = [
    (MetadataFilters(filters=[F("year", 2024)]), {"a", "b"}),
    (MetadataFilters(filters=[F("year", 2024, "!=")]), {"c", "d", "e"}),            # a missing key is "not equal"
    (MetadataFilters(filters=[F("year", 2020, ">")]), {"a", "b"}),                 # "2024" (a string) never compares
    (MetadataFilters(filters=[F("topic", ["sea", "ice"], "in")]), {"b", "c"}),
    (MetadataFilters(filters=[F("topic", ["sea", "ice"], "nin")]), {"a", "d", "e"}),
    (MetadataFilters(filters=[F("tags", "x", "contains")]), {"a", "b"}),
    (MetadataFilters(filters=[F("tags", ["y", "z"], "any")]), {"b", "c"}),
    (MetadataFilters(filters=[F("tags", ["x", "y"], "all")]), {"b"}),
    (MetadataFilters(filters=[F("topic", "EA", "text_match_insensitive")]), {"b", "e"}),
    (MetadataFilters(filters=[F("topic", "EA", "text_match")]), set()),
    (MetadataFilters(filters=[F("tags", None, "is_empty")]), {"d", "e"}),
    (MetadataFilters(filters=[F("year", 2024), F("topic", "sea")], condition="and"), {"b"}),
    (MetadataFilters(filters=[F("year", 2019), F("topic", "web")], condition="or"), {"a", "c"}),
    (MetadataFilters(filters=[F("year", 2024)], condition="not"), {"c", "d", "e"}),
    (MetadataFilters(filters=[F("topic", "ice"), MetadataFilters(filters=[F("year", 2024), F("tags", "y", "contains")])],
                     condition=FilterCondition.OR), {"b", "c"}),
    (MetadataFilters(filters=[]), {"a", "b", "c", "d", "e"}),
]


@pytest.mark.parametrize("kind", KINDS)
def test_metadata_filters_in_queries_reads_and_deletes(kind):
    nodes = [
        node("a", [1, 0], year=2024, topic="web", tags=["x"]),
        node("b", [0.9, 0.1], year=2024, topic="sea", tags=["x", "y"]),
        node("c", [0.5, 0.5], year=2019, topic="ice", tags=["z"]),
        node("d", [0, 1], year="2024", topic="art"),
        node("e", [0.1, 0.9], topic="area", tags=[]),
    ]
    store = HalyardVectorStore(kind)
    assert store.add(nodes) == ["a", "b", "c", "d", "e"]
    for filters, expected in FILTER_CASES:
        result = store.query(VectorStoreQuery(query_embedding=[1.0, 0.0], similarity_top_k=10, filters=filters))
        assert set(result.ids) == expected, filters
        assert {n.node_id for n in store.get_nodes(filters=filters)} == expected, filters
    store.delete_nodes(filters=FILTER_CASES[0][0])
    assert all_ids(store) == ["c", "d", "e"]
    store.delete_nodes(node_ids=["c", "d"], filters=MetadataFilters(filters=[F("topic", "art")]))
    assert all_ids(store) == ["c", "e"]


def test_nodes_ref_docs_restrictions_and_copies():
    store = HalyardVectorStore("flat", distance_type="l2")
    store.add([node("n1", [0, 0], ref="doc-1"), node("n2", [3, 4], ref="doc-1"), node("n3", [6, 8], ref="doc-2")])
    result = store.query(VectorStoreQuery(query_embedding=[0.0, 0.0], similarity_top_k=2))
    assert result.ids == ["n1", "n2"] and result.similarities == pytest.approx([0.0, -5.0])  # minus the distance
    assert [n.node_id for n in result.nodes] == ["n1", "n2"] and result.nodes[0].embedding is None

    restricted = VectorStoreQuery(query_embedding=[0.0, 0.0], similarity_top_k=5, doc_ids=["doc-2"])
    assert store.query(restricted).ids == ["n3"]
    restricted = VectorStoreQuery(query_embedding=[0.0, 0.0], similarity_top_k=5, node_ids=["n3", "n2", "zz"])
    assert store.query(restricted).ids == ["n2", "n3"]
    assert [n.node_id for n in store.get_nodes(node_ids=["n3", "zz", "n1", "n3"])] == ["n3", "n1"]

    # Returned nodes are copies; a node id added again is replaced, with its new source document.
    store.get_nodes(node_ids=["n1"])[0].metadata["changed"] = True
    result.nodes[1].text = "changed"
    assert store.get_nodes(node_ids=["n1"])[0].metadata == {} and store.get_nodes(node_ids=["n2"])[0].text == "text of n2"
    store.add([node("n2", [1, 1], ref="doc-2")])
    store.delete("doc-1")
    assert all_ids(store) == ["n2", "n3"]
    store.delete("doc-2")
    store.delete("unknown")
    assert all_ids(store) == []

    with pytest.raises(ValueError, match="clear"):
        store.delete_nodes()
    store.clear()                              # forgets the dimension too
    store.add([node("y", [1, 2, 3, 4])])
    assert all_ids(store) == ["y"]


@pytest.mark.parametrize("kind", KINDS)
def test_bad_input_is_refused_and_leaves_the_store_unchanged(kind):
    store = HalyardVectorStore(kind)
    store.add([node("a", [1, 0, 0], ref="d"), node("b", [0, 1, 0])])
    before = [n.model_dump() for n in store.get_nodes(node_ids=["a", "b"])]
    bad_batches = [
        ([node("a", [0, 0, 1]), node("c", [0, 1, 1]), node("z", [1, 1])], "different lengths"),
        ([node("a", [0, 0, 1]), node("z", [math.nan, 0, 0])], "NaN, infinite"),
        ([node("a", [0, 1, 1]), TextNode(id_="c", text="no embedding")], "has no embedding"),
    ]
    for batch, message in bad_batches:
        with pytest.raises(ValueError, match=message):
            store.add(batch)
    for query, message in [
        (VectorStoreQuery(query_embedding=[1.0, 0.0]), "where this store holds 3"),
        (VectorStoreQuery(query_str="words only"), "no embedding"),
        (VectorStoreQuery(query_embedding=[1.0, 0.0, 0.0], mode=VectorStoreQueryMode.SVM), "default query mode"),
    ]:
        with pytest.raises(ValueError, match=message):
            store.query(query)
    with pytest.raises(NotImplementedError, match="in memory"):
        store.persist("/tmp/never-written.json")
    assert [n.model_dump() for n in store.get_nodes()] in (before, before[::-1])
    assert store.query(VectorStoreQuery(query_embedding=[1.0, 0.0, 0.0], similarity_top_k=5)).ids == ["a", "b"]
