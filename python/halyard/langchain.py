"""A LangChain vector store over Halyard's indexes.

    pip install "halyard[langchain]"

    from halyard.langchain import HalyardVectorStore
    store = HalyardVectorStore(embeddings)            # HNSW; index="flat" for exact search
    store.add_texts(["..."], metadatas=[{"source": "faq"}])
    store.similarity_search("question", k=4, filter={"source": "faq"})

Documents are kept whole, with a private deep copy of their metadata (any
JSON-like data); the documents a search returns are fresh copies too.

Scores. `similarity_search_with_score` reports the index's own value: the
cosine similarity under Cosine (the default) and the dot product under
InnerProduct (larger is closer), the Euclidean distance under L2 (smaller is
closer). `similarity_search_with_relevance_scores` maps it into [0, 1], 1
closest, so that for unit-length embeddings all three distance types give the
same relevance, (1 + cosine) / 2:

    Cosine        (1 + similarity) / 2
    InnerProduct  (1 + dot) / 2, clipped to [0, 1]
    L2            1 - distance**2 / 4, clipped to [0, 1]

Pass `relevance_score_fn` to use another mapping.

Filters. `filter` is a callable taking a Document, or a dict whose every key
must be present in the metadata with an equal value. A filtered search filters
the index's best hits (at least 128, or 8 per requested result); when those
hold fewer than k matches, every stored document is tested and the matching
ones are scored exactly, so k documents come back whenever k match. That
second step costs one filter call per stored document.

Changes are all or nothing: the texts are embedded and every vector checked
(count, length, finite float32 components) before the store changes, so a
batch with one bad vector raises ValueError and stores nothing. An id that is
already stored is replaced. The async methods are LangChain's defaults, which
run these methods on worker threads; one lock per store keeps each call whole.
"""

from __future__ import annotations

import copy
import operator
import uuid
from collections.abc import Callable, Iterable, Mapping, Sequence
from typing import Any

try:
    from langchain_core.documents import Document
    from langchain_core.embeddings import Embeddings
    from langchain_core.vectorstores import VectorStore
except ImportError as exc:  # pragma: no cover - exercised in a subprocess
    raise ImportError(
        'halyard.langchain needs LangChain; install it with: pip install "halyard[langchain]"'
    ) from exc

from halyard._halyard_rs import DistanceType
from halyard._vector_table import VectorTable, as_matrix, as_query, mmr_select

__all__ = ["HalyardVectorStore", "cosine_relevance", "inner_product_relevance", "l2_relevance"]

DocumentFilter = Callable[[Document], bool] | Mapping[str, Any]
_SCALARS = (str, int, float, bool, type(None))


def _clip(value: float) -> float:
    return min(1.0, max(0.0, value))


def cosine_relevance(similarity: float) -> float:
    """Relevance in [0, 1] of a cosine similarity: (1 + similarity) / 2."""
    return _clip((1.0 + similarity) / 2.0)


def inner_product_relevance(dot: float) -> float:
    """Relevance in [0, 1] of a dot product: (1 + dot) / 2, clipped (exact for unit-length vectors)."""
    return _clip((1.0 + dot) / 2.0)


def l2_relevance(distance: float) -> float:
    """Relevance in [0, 1] of a Euclidean distance: 1 - distance**2 / 4, clipped
    (for unit-length vectors, the same value as `cosine_relevance` of their cosine)."""
    return _clip(1.0 - distance * distance / 4.0)


def _reject_extra(kwargs: dict[str, Any], where: str) -> None:
    if kwargs:
        raise TypeError(f"{where}() got unexpected keyword arguments: {', '.join(sorted(kwargs))}")


def _count(value: Any, name: str) -> int:
    number = operator.index(value)
    if number < 0:
        raise ValueError(f"{name} must not be negative, got {number}")
    return number


class _Stored:
    """A stored document: its text and a private copy of its metadata."""

    __slots__ = ("text", "metadata", "flat")

    def __init__(self, text: str, metadata: Mapping[str, Any]) -> None:
        self.text = text
        self.flat = all(type(v) in _SCALARS for v in metadata.values())
        self.metadata = dict(metadata) if self.flat else copy.deepcopy(dict(metadata))

    def metadata_copy(self) -> dict[str, Any]:
        return dict(self.metadata) if self.flat else copy.deepcopy(self.metadata)


def _matcher(filter: DocumentFilter | None) -> Callable[[str, _Stored], bool] | None:
    if filter is None:
        return None
    if isinstance(filter, Mapping):
        wanted = list(filter.items())
        missing = object()
        return lambda id, s: all(s.metadata.get(key, missing) == value for key, value in wanted)
    if callable(filter):
        test = filter
        return lambda id, s: bool(test(Document(id=id, page_content=s.text, metadata=s.metadata_copy())))
    raise TypeError(f"filter must be a callable taking a Document or a dict of metadata values, "
                    f"got {type(filter).__name__}")


class HalyardVectorStore(VectorStore):
    """A LangChain `VectorStore` kept in memory in a Halyard HNSW index (the default)
    or flat index (`index="flat"`, exact search).

    `distance_type` is a `halyard.DistanceType` or its name ("cosine", "l2",
    "inner_product"); `m` and `ef_construction` shape the HNSW graph. The
    dimension is taken from the first vectors added.
    """

    def __init__(
        self,
        embedding: Embeddings,
        index: str = "hnsw",
        *,
        distance_type: DistanceType | str = DistanceType.Cosine,
        m: int = 16,
        ef_construction: int = 200,
        relevance_score_fn: Callable[[float], float] | None = None,
    ) -> None:
        self._embedding = embedding
        self._table = VectorTable(index, distance_type, m, ef_construction)
        self._relevance_fn = relevance_score_fn

    @property
    def embeddings(self) -> Embeddings:
        return self._embedding

    @property
    def distance_type(self) -> DistanceType:
        return self._table.distance

    # ---- adding and removing ---------------------------------------------------------

    def add_texts(
        self,
        texts: Iterable[str],
        metadatas: list[dict[str, Any]] | None = None,
        *,
        ids: list[str | None] | None = None,  # type: ignore[override]
        **kwargs: Any,
    ) -> list[str]:
        """Embed and store the texts; returns their ids (a missing or empty id gets a new UUID).

        An id already stored is replaced. Nothing is stored unless every text,
        metadata and vector is valid."""
        _reject_extra(kwargs, "add_texts")
        texts = list(texts)
        count = len(texts)
        for text in texts:
            if not isinstance(text, str):
                raise TypeError(f"texts must be strings, got {type(text).__name__}")
        if metadatas is not None and len(metadatas) != count:
            raise ValueError(f"got {len(metadatas)} metadatas for {count} texts")
        if ids is not None and len(ids) != count:
            raise ValueError(f"got {len(ids)} ids for {count} texts")
        new_ids = []
        for id in ids if ids is not None else [None] * count:
            if id is not None and not isinstance(id, str):
                raise TypeError(f"ids must be strings or None, got {type(id).__name__}")
            new_ids.append(id or str(uuid.uuid4()))
        metadatas = metadatas if metadatas is not None else [{}] * count
        for metadata in metadatas:
            if metadata is not None and not isinstance(metadata, Mapping):
                raise TypeError(f"metadata must be a dict, got {type(metadata).__name__}")
        if count == 0:
            return []
        payloads = [_Stored(text, metadata or {}) for text, metadata in zip(texts, metadatas)]
        vectors = as_matrix(self._embedding.embed_documents(texts), count, self._table.dimension)
        self._table.upsert(new_ids, vectors, payloads)
        return new_ids

    def delete(self, ids: list[str] | None = None, **kwargs: Any) -> bool:
        """Remove the documents with these ids (unknown ids are skipped); no ids empties the store."""
        _reject_extra(kwargs, "delete")
        if ids is None:
            self._table.clear()
            return True
        if isinstance(ids, str):
            raise TypeError("ids must be a list of ids, not one string")
        self._table.remove(list(ids))
        return True

    def get_by_ids(self, ids: Sequence[str], /) -> list[Document]:
        """The stored documents among `ids`, in that order, each once; unknown ids are skipped."""
        if isinstance(ids, str):
            raise TypeError("ids must be a list of ids, not one string")
        found, seen = [], set()
        with self._table.lock:
            for id in ids:
                stored = self._table.payload(id)
                if stored is not None and id not in seen:
                    seen.add(id)
                    found.append(self._document(id, stored))
        return found

    # ---- searching -------------------------------------------------------------------

    @staticmethod
    def _document(id: str, stored: _Stored) -> Document:
        return Document(id=id, page_content=stored.text, metadata=stored.metadata_copy())

    def _query_vector(self, embedding: Any) -> Any:
        return as_query(embedding, self._table.dimension)

    def similarity_search_with_score_by_vector(
        self, embedding: list[float], k: int = 4, filter: DocumentFilter | None = None, **kwargs: Any
    ) -> list[tuple[Document, float]]:
        """The k closest documents with the index's value for each (see the module notes)."""
        _reject_extra(kwargs, "similarity_search_with_score_by_vector")
        k = _count(k, "k")
        hits = self._table.search(self._query_vector(embedding), k, _matcher(filter))
        return [(self._document(id, stored), value) for id, value, stored in hits]

    def similarity_search_by_vector(
        self, embedding: list[float], k: int = 4, filter: DocumentFilter | None = None, **kwargs: Any
    ) -> list[Document]:
        _reject_extra(kwargs, "similarity_search_by_vector")
        return [doc for doc, _ in self.similarity_search_with_score_by_vector(embedding, k, filter)]

    def similarity_search_with_score(
        self, query: str, k: int = 4, filter: DocumentFilter | None = None, **kwargs: Any
    ) -> list[tuple[Document, float]]:
        _reject_extra(kwargs, "similarity_search_with_score")
        return self.similarity_search_with_score_by_vector(self._embedding.embed_query(query), k, filter)

    def similarity_search(
        self, query: str, k: int = 4, filter: DocumentFilter | None = None, **kwargs: Any
    ) -> list[Document]:
        _reject_extra(kwargs, "similarity_search")
        return [doc for doc, _ in self.similarity_search_with_score(query, k, filter)]

    def _select_relevance_score_fn(self) -> Callable[[float], float]:
        if self._relevance_fn is not None:
            return self._relevance_fn
        if self._table.distance == DistanceType.L2:
            return l2_relevance
        if self._table.distance == DistanceType.InnerProduct:
            return inner_product_relevance
        return cosine_relevance

    def max_marginal_relevance_search_by_vector(
        self,
        embedding: list[float],
        k: int = 4,
        fetch_k: int = 20,
        lambda_mult: float = 0.5,
        filter: DocumentFilter | None = None,
        **kwargs: Any,
    ) -> list[Document]:
        """Up to k of the fetch_k closest documents, chosen one by one for closeness to
        the query (weight lambda_mult) against cosine similarity to those already chosen."""
        _reject_extra(kwargs, "max_marginal_relevance_search_by_vector")
        k, fetch_k = _count(k, "k"), _count(fetch_k, "fetch_k")
        if not 0.0 <= lambda_mult <= 1.0:
            raise ValueError(f"lambda_mult must be between 0 and 1, got {lambda_mult}")
        query = self._query_vector(embedding)
        with self._table.lock:
            hits = self._table.search(query, fetch_k, _matcher(filter))
            vectors = self._table.vectors_of([id for id, _, _ in hits])
        return [self._document(hits[i][0], hits[i][2]) for i in mmr_select(query, vectors, k, lambda_mult)]

    def max_marginal_relevance_search(
        self,
        query: str,
        k: int = 4,
        fetch_k: int = 20,
        lambda_mult: float = 0.5,
        filter: DocumentFilter | None = None,
        **kwargs: Any,
    ) -> list[Document]:
        _reject_extra(kwargs, "max_marginal_relevance_search")
        return self.max_marginal_relevance_search_by_vector(
            self._embedding.embed_query(query), k, fetch_k, lambda_mult, filter)

    # ---- construction ----------------------------------------------------------------

    @classmethod
    def from_texts(
        cls,
        texts: list[str],
        embedding: Embeddings,
        metadatas: list[dict[str, Any]] | None = None,
        *,
        ids: list[str | None] | None = None,  # type: ignore[override]
        **kwargs: Any,
    ) -> HalyardVectorStore:
        """A new store (keyword options as for the constructor) holding the texts."""
        store = cls(embedding, **kwargs)
        store.add_texts(texts, metadatas, ids=ids)
        return store
