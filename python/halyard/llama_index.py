"""A LlamaIndex vector store over Halyard's indexes.

    pip install "halyard[llama-index]"

    from llama_index.core import StorageContext, VectorStoreIndex
    from halyard.llama_index import HalyardVectorStore
    storage = StorageContext.from_defaults(vector_store=HalyardVectorStore())
    index = VectorStoreIndex.from_documents(documents, storage_context=storage)

The store keeps the nodes themselves (`stores_text = True`): a private copy of
each node without its embedding, and the embedding in a Halyard HNSW index
(the default) or flat index (`index="flat"`, exact search). The dimension is
taken from the first nodes added. Nodes that queries and `get_nodes` return
are fresh copies.

Similarities in query results are larger for closer nodes: the cosine
similarity under Cosine (the default), the dot product under InnerProduct,
and minus the Euclidean distance under L2, as LlamaIndex's own similarity does.

Filters: `MetadataFilters` with AND, OR and NOT conditions, nested filters,
and the operators ==, !=, >, >=, <, <=, in, nin, contains, any, all,
text_match, text_match_insensitive and is_empty. A metadata value that cannot
be compared with the filter's value (a string against a number) does not
match. Filtered queries take the index's best hits and filter them; when
those hold fewer than top-k matches, every stored node is tested and the
matching ones are scored exactly, so top-k nodes come back whenever that many
match. `doc_ids` and `node_ids` in a query restrict it the same way (an
empty list restricts nothing, as VectorStoreIndex expects).

`add` is all or nothing: every node's embedding is checked (present, same
length, finite float32 components) before the store changes. The store lives
in memory only: `persist` raises NotImplementedError instead of writing
nothing.
"""

from __future__ import annotations

import operator
from collections.abc import Callable, Sequence
from typing import Any

try:
    from llama_index.core.bridge.pydantic import PrivateAttr
    from llama_index.core.schema import BaseNode
    from llama_index.core.vector_stores.types import (
        BasePydanticVectorStore,
        FilterCondition,
        FilterOperator,
        MetadataFilter,
        MetadataFilters,
        VectorStoreQuery,
        VectorStoreQueryMode,
        VectorStoreQueryResult,
    )
except ImportError as exc:  # pragma: no cover - exercised in a subprocess
    raise ImportError(
        'halyard.llama_index needs LlamaIndex; install it with: pip install "halyard[llama-index]"'
    ) from exc

from halyard._halyard_rs import DistanceType
from halyard._vector_table import VectorTable, as_matrix, as_query, distance_type_of

__all__ = ["HalyardVectorStore", "metadata_matches"]

_DISTANCE_NAMES = {int(DistanceType.Cosine): "cosine", int(DistanceType.L2): "l2",
                   int(DistanceType.InnerProduct): "inner_product"}
_COMPARISONS: dict[FilterOperator, Callable[[Any, Any], bool]] = {
    FilterOperator.EQ: operator.eq,
    FilterOperator.NE: operator.ne,
    FilterOperator.GT: operator.gt,
    FilterOperator.GTE: operator.ge,
    FilterOperator.LT: operator.lt,
    FilterOperator.LTE: operator.le,
    FilterOperator.IN: lambda value, wanted: value in wanted,
    FilterOperator.NIN: lambda value, wanted: value not in wanted,
    FilterOperator.CONTAINS: lambda value, wanted: wanted in value,
    FilterOperator.ANY: lambda value, wanted: any(w in value for w in wanted),
    FilterOperator.ALL: lambda value, wanted: all(w in value for w in wanted),
    FilterOperator.TEXT_MATCH: lambda value, wanted: (
        isinstance(value, str) and isinstance(wanted, str) and wanted in value),
    FilterOperator.TEXT_MATCH_INSENSITIVE: lambda value, wanted: (
        isinstance(value, str) and isinstance(wanted, str) and wanted.lower() in value.lower()),
}


def _matches_one(condition: MetadataFilter, metadata: dict[str, Any]) -> bool:
    value = metadata.get(condition.key)
    if condition.operator == FilterOperator.IS_EMPTY:
        return value is None or value == "" or value == []
    if value is None:
        # A missing key equals nothing, so only the negative operators hold.
        return condition.operator in (FilterOperator.NE, FilterOperator.NIN)
    compare = _COMPARISONS.get(condition.operator)
    if compare is None:
        raise ValueError(f"unsupported filter operator {condition.operator!r}")
    try:
        return bool(compare(value, condition.value))
    except TypeError:
        return False


def metadata_matches(filters: MetadataFilters | None, metadata: dict[str, Any]) -> bool:
    """Whether `metadata` satisfies `filters` (None and an empty list match everything)."""
    if filters is None or not filters.filters:
        return True
    results = (metadata_matches(f, metadata) if isinstance(f, MetadataFilters) else _matches_one(f, metadata)
               for f in filters.filters)
    condition = filters.condition or FilterCondition.AND
    if condition == FilterCondition.AND:
        return all(results)
    if condition == FilterCondition.OR:
        return any(results)
    if condition == FilterCondition.NOT:
        return not any(results)
    raise ValueError(f"unsupported filter condition {condition!r}")


def _stored_copy(node: BaseNode) -> BaseNode:
    kept = node.model_copy(deep=True)
    kept.embedding = None
    return kept


def _ref_doc_id(node: BaseNode) -> str | None:
    source = node.source_node
    return None if source is None else source.node_id


class HalyardVectorStore(BasePydanticVectorStore):
    """A LlamaIndex vector store kept in memory in a Halyard HNSW index (the default)
    or flat index (`index="flat"`, exact search).

    `distance_type` is a `halyard.DistanceType` or its name ("cosine", "l2",
    "inner_product"); `m` and `ef_construction` shape the HNSW graph.
    """

    stores_text: bool = True
    flat_metadata: bool = False
    index: str = "hnsw"
    distance_type: str = "cosine"
    m: int = 16
    ef_construction: int = 200

    _table: VectorTable = PrivateAttr()
    _by_ref_doc: dict[str, set[str]] = PrivateAttr(default_factory=dict)

    def __init__(self, index: str = "hnsw", *, distance_type: DistanceType | str = DistanceType.Cosine,
                 m: int = 16, ef_construction: int = 200, **kwargs: Any) -> None:
        distance = distance_type_of(distance_type)
        super().__init__(index=index, distance_type=_DISTANCE_NAMES[int(distance)], m=m,
                         ef_construction=ef_construction, **kwargs)  # type: ignore[call-arg]
        self._table = VectorTable(index, distance, m, ef_construction)

    @classmethod
    def class_name(cls) -> str:
        return "HalyardVectorStore"

    @property
    def client(self) -> None:
        """No client: everything lives in this process."""
        return None

    # ---- changes ---------------------------------------------------------------------

    def add(self, nodes: Sequence[BaseNode], **add_kwargs: Any) -> list[str]:
        """Store the nodes with their embeddings; a node id already stored is replaced.

        Nothing is stored unless every node has a valid embedding."""
        nodes = list(nodes)
        for node in nodes:
            if node.embedding is None:
                raise ValueError(f"node {node.node_id!r} has no embedding; embed the nodes before adding them")
        table = self._table
        matrix = as_matrix([node.embedding for node in nodes], len(nodes), table.dimension,
                           what="node embeddings")
        ids = [node.node_id for node in nodes]
        kept = [_stored_copy(node) for node in nodes]
        with table.lock:
            previous = [table.payload(id) for id in ids]
            table.upsert(ids, matrix, kept)
            for id, old in zip(ids, previous):
                if old is not None:
                    self._forget_ref(id, old)
            for id, node in zip(ids, kept):
                ref = _ref_doc_id(node)
                if ref is not None and table.payload(id) is node:
                    self._by_ref_doc.setdefault(ref, set()).add(id)
        return ids

    def _forget_ref(self, id: str, node: BaseNode) -> None:
        ref = _ref_doc_id(node)
        group = self._by_ref_doc.get(ref) if ref is not None else None
        if group is not None:
            group.discard(id)
            if not group:
                del self._by_ref_doc[ref]  # type: ignore[arg-type]

    def _remove(self, ids: Sequence[str]) -> None:
        table = self._table
        with table.lock:
            nodes = {id: table.payload(id) for id in ids}
            for id in table.remove(ids):
                self._forget_ref(id, nodes[id])

    def delete(self, ref_doc_id: str, **delete_kwargs: Any) -> None:
        """Remove every node whose source document is `ref_doc_id`."""
        with self._table.lock:
            self._remove(sorted(self._by_ref_doc.get(ref_doc_id, ())))

    def delete_nodes(self, node_ids: list[str] | None = None, filters: MetadataFilters | None = None,
                     **delete_kwargs: Any) -> None:
        """Remove the nodes among `node_ids` (all nodes when None) that match `filters`.

        With neither argument this raises ValueError rather than empty the
        store: `clear()` does that."""
        if node_ids is None and filters is None:
            raise ValueError("delete_nodes needs node_ids or filters; clear() removes every node")
        with self._table.lock:
            self._remove([node.node_id for node in self._select(node_ids, filters)])

    def clear(self) -> None:
        """Remove every node and forget the dimension."""
        with self._table.lock:
            self._table.clear()
            self._by_ref_doc.clear()

    def persist(self, persist_path: str, fs: Any = None) -> None:
        raise NotImplementedError(
            "HalyardVectorStore lives in memory and cannot be persisted; add the nodes again after a restart")

    # ---- reading ---------------------------------------------------------------------

    def _select(self, node_ids: list[str] | None, filters: MetadataFilters | None) -> list[BaseNode]:
        table = self._table
        if node_ids is None:
            candidates = [node for _, node in table.items()]
        else:
            candidates = [node for node in (table.payload(id) for id in dict.fromkeys(node_ids)) if node is not None]
        return [node for node in candidates if metadata_matches(filters, node.metadata)]

    def get_nodes(self, node_ids: list[str] | None = None,
                  filters: MetadataFilters | None = None) -> list[BaseNode]:
        """Copies of the stored nodes among `node_ids` (all when None) that match `filters`."""
        with self._table.lock:
            return [node.model_copy(deep=True) for node in self._select(node_ids, filters)]

    def query(self, query: VectorStoreQuery, **kwargs: Any) -> VectorStoreQueryResult:
        """The `similarity_top_k` closest nodes that match the query's filters, doc_ids and node_ids."""
        if query.mode != VectorStoreQueryMode.DEFAULT:
            raise ValueError(f"HalyardVectorStore answers the default query mode only, not {query.mode.value!r}")
        if query.query_embedding is None:
            raise ValueError("the query has no embedding")
        table = self._table
        vector = as_query(query.query_embedding, table.dimension)
        k = operator.index(query.similarity_top_k)
        # An empty id list restricts nothing: VectorStoreIndex passes its (empty)
        # node list when the store keeps the nodes.
        filters = query.filters
        doc_ids = set(query.doc_ids) if query.doc_ids else None
        node_ids = set(query.node_ids) if query.node_ids else None

        def accept(id: str, node: BaseNode) -> bool:
            return ((node_ids is None or id in node_ids)
                    and (doc_ids is None or _ref_doc_id(node) in doc_ids)
                    and metadata_matches(filters, node.metadata))

        restricted = filters is not None or doc_ids is not None or node_ids is not None
        hits = table.search(vector, k, accept if restricted else None)
        negate = table.distance == DistanceType.L2
        return VectorStoreQueryResult(
            nodes=[node.model_copy(deep=True) for _, _, node in hits],
            similarities=[-value if negate else value for _, value, _ in hits],
            ids=[id for id, _, _ in hits],
        )
