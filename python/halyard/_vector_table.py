"""The storage behind the framework adapters: vectors and payloads under string ids.

A `VectorTable` keeps each vector twice: in a Halyard index (HNSW or flat) that
answers searches, and as a row of a NumPy matrix that exact re-scoring and
maximal-marginal-relevance selection read (4 bytes per component per entry on
top of the index). Next to each vector it keeps the adapter's payload (a
document, a node) as the adapter hands it over.

Searches report the index's own value for each hit: the Euclidean distance
under L2 (smaller is closer), the cosine similarity under Cosine and the dot
product under InnerProduct (larger is closer).

Every operation takes one lock, so the framework's default async methods,
which run the sync ones on worker threads, never see a half-done change.
"""

from __future__ import annotations

import operator
import threading
from collections.abc import Callable, Sequence
from typing import Any

import numpy as np

from halyard._halyard_rs import DistanceType, FlatIndex, HNSWIndex

INDEX_KINDS = ("hnsw", "flat")
# A filtered search first takes this many hits (at least 8 per requested
# result) from the index and filters them; the HNSW index answers up to 128
# hits from its fixed search breadth for the same cost as one.
FILTER_FETCH = 128
FILTER_FETCH_PER_RESULT = 8

_MISSING = object()


def distance_type_of(value: DistanceType | str) -> DistanceType:
    """A DistanceType from itself or from its name ("cosine", "l2", "inner_product")."""
    if isinstance(value, DistanceType):
        return value
    if isinstance(value, str):
        key = value.strip().lower().replace("_", "").replace("-", "").replace(" ", "")
        names = {"cosine": DistanceType.Cosine, "l2": DistanceType.L2, "euclidean": DistanceType.L2,
                 "innerproduct": DistanceType.InnerProduct, "ip": DistanceType.InnerProduct,
                 "dot": DistanceType.InnerProduct}
        if key in names:
            return names[key]
    raise ValueError(f"distance_type must be a halyard.DistanceType or one of 'cosine', 'l2', "
                     f"'inner_product', got {value!r}")


def as_matrix(vectors: Any, count: int, dimension: int | None, what: str = "embeddings") -> np.ndarray:
    """`count` vectors as a C-contiguous float32 matrix, checked before any state changes.

    ValueError when the count, the lengths (ragged or unlike `dimension`) or a
    component (NaN, infinite, or beyond the float32 range) is wrong."""
    if count == 0:
        return np.empty((0, dimension or 0), dtype=np.float32)
    try:
        with np.errstate(over="ignore", invalid="ignore"):
            matrix = np.asarray(vectors, dtype=np.float32)
    except (TypeError, ValueError):
        matrix = None
    if matrix is None or matrix.ndim != 2:
        # Say what is wrong: a count, a ragged or nested vector, or a value that is no number.
        try:
            rows = list(vectors)
        except TypeError as exc:
            raise ValueError(f"{what}: a list of vectors was expected, got {type(vectors).__name__}") from exc
        if len(rows) != count:
            raise ValueError(f"{what}: {len(rows)} vectors for {count} inputs")
        for i, row in enumerate(rows):
            try:
                shape = np.shape(np.asarray(row, dtype=np.float64))
            except (TypeError, ValueError) as exc:
                raise ValueError(f"{what}: vector {i} is not a list of numbers") from exc
            if len(shape) != 1:
                raise ValueError(f"{what}: vector {i} has shape {shape}; a vector is one-dimensional")
        lengths = sorted({len(row) for row in rows})
        raise ValueError(f"{what}: vectors of different lengths {lengths}")
    if len(matrix) != count:
        raise ValueError(f"{what}: {len(matrix)} vectors for {count} inputs")
    if matrix.shape[1] == 0:
        raise ValueError(f"{what}: empty vectors")
    if dimension is not None and matrix.shape[1] != dimension:
        raise ValueError(f"{what}: {matrix.shape[1]} components where this store holds "
                         f"{dimension}-component vectors")
    bad = ~np.isfinite(matrix).all(axis=1)
    if bad.any():
        raise ValueError(f"{what}: vector {int(np.argmax(bad))} has NaN, infinite or "
                         f"out-of-float32-range components")
    return np.ascontiguousarray(matrix)


def as_query(vector: Any, dimension: int | None) -> np.ndarray:
    """One query vector as a 1-D float32 array; ValueError when it cannot be searched with."""
    try:
        with np.errstate(over="ignore", invalid="ignore"):
            if isinstance(vector, np.ndarray):
                query = np.ascontiguousarray(vector, dtype=np.float32)
            else:
                # A list of floats, as embedding models return: the quickest conversion.
                query = np.fromiter(vector, dtype=np.float32)
    except (TypeError, ValueError):
        query = None
    if (query is None or query.ndim != 1 or query.shape[0] != dimension and dimension is not None
            or not np.isfinite(query).all() or query.shape[0] == 0):
        # Let the general check say what is wrong.
        row: np.ndarray = as_matrix([vector], 1, dimension, what="query embedding")[0]
        return row
    return query


def unit_rows(matrix: np.ndarray) -> np.ndarray:
    norms = np.linalg.norm(matrix, axis=1, keepdims=True)
    unit: np.ndarray = np.divide(matrix, norms, out=np.zeros_like(matrix), where=norms > 0)
    return unit


def mmr_select(query: np.ndarray, candidates: np.ndarray, k: int, lambda_mult: float) -> list[int]:
    """Maximal marginal relevance: positions of up to k candidates, each chosen for
    lambda_mult * cosine(query) - (1 - lambda_mult) * max cosine(already chosen)."""
    if k <= 0 or len(candidates) == 0:
        return []
    unit = unit_rows(candidates.astype(np.float64))
    q = query.astype(np.float64)
    qn = np.linalg.norm(q)
    relevance = unit @ (q / qn) if qn > 0 else np.zeros(len(unit))
    redundancy = np.full(len(unit), -np.inf)
    chosen: list[int] = []
    available = np.ones(len(unit), dtype=bool)
    for _ in range(min(k, len(unit))):
        if chosen:
            redundancy = np.maximum(redundancy, unit @ unit[chosen[-1]])
            score = lambda_mult * relevance - (1.0 - lambda_mult) * redundancy
        else:
            score = relevance.copy()
        score[~available] = -np.inf
        best = int(np.argmax(score))
        chosen.append(best)
        available[best] = False
    return chosen


class VectorTable:
    """Vectors with payloads under string ids; the index is made on the first add,
    with the dimension of the first vectors."""

    def __init__(self, index: str = "hnsw", distance_type: DistanceType | str = DistanceType.Cosine,
                 m: int = 16, ef_construction: int = 200) -> None:
        if index not in INDEX_KINDS:
            raise ValueError(f"index must be 'hnsw' or 'flat', got {index!r}")
        self.kind = index
        self.distance = distance_type_of(distance_type)
        self._m = operator.index(m)
        self._ef_construction = operator.index(ef_construction)
        if self._m < 2 or self._ef_construction < 1:
            raise ValueError(f"m must be at least 2 and ef_construction at least 1, got m={m}, "
                             f"ef_construction={ef_construction}")
        self.lock = threading.RLock()
        self._reset()

    def _reset(self) -> None:
        self._index: FlatIndex | HNSWIndex | None = None
        self._dimension: int | None = None
        self._vectors = np.empty((0, 0), dtype=np.float32)
        self._ids: list[str] = []          # row -> id
        self._rows: dict[str, int] = {}    # id -> row
        self._payloads: dict[str, Any] = {}

    def _new_index(self, dimension: int) -> FlatIndex | HNSWIndex:
        if self.kind == "flat":
            return FlatIndex(dimension, self.distance)
        return HNSWIndex(dimension, self._m, self._ef_construction, self.distance)

    @property
    def dimension(self) -> int | None:
        """The length of the stored vectors; None until the first add."""
        return self._dimension

    def __len__(self) -> int:
        return len(self._ids)

    def __contains__(self, id: object) -> bool:
        return id in self._payloads

    def payload(self, id: str, default: Any = None) -> Any:
        return self._payloads.get(id, default)

    def items(self) -> list[tuple[str, Any]]:
        """Every (id, payload), in no particular order (a snapshot)."""
        with self.lock:
            return list(self._payloads.items())

    # ---- rows ------------------------------------------------------------------------

    def _put_row(self, id: str, vector: np.ndarray) -> None:
        row = self._rows.get(id)
        if row is None:
            row = len(self._ids)
            if row == len(self._vectors):
                grown = np.empty((max(16, 2 * row), vector.shape[0]), dtype=np.float32)
                if row:
                    grown[:row] = self._vectors[:row]
                self._vectors = grown
            self._ids.append(id)
            self._rows[id] = row
        self._vectors[row] = vector

    def _drop_row(self, id: str) -> None:
        row = self._rows.pop(id, None)
        if row is None:
            return
        last = len(self._ids) - 1
        if row != last:
            moved = self._ids[last]
            self._vectors[row] = self._vectors[last]
            self._ids[row] = moved
            self._rows[moved] = row
        self._ids.pop()

    # ---- changes ---------------------------------------------------------------------

    def upsert(self, ids: Sequence[str], matrix: np.ndarray, payloads: Sequence[Any]) -> None:
        """Store each vector and payload under its id; an id already stored is replaced.

        `matrix` comes from `as_matrix`. All or nothing: if the index refuses
        one entry, the entries before it are undone and the error propagates."""
        if not (len(ids) == len(matrix) == len(payloads)):
            raise ValueError("ids, vectors and payloads must have the same length")
        if len(ids) == 0:
            return
        with self.lock:
            if self._dimension is not None and matrix.shape[1] != self._dimension:
                raise ValueError(f"vectors: {matrix.shape[1]} components where this store holds "
                                 f"{self._dimension}-component vectors")
            created = self._index is None
            if self._index is None:
                self._index = self._new_index(int(matrix.shape[1]))
                self._dimension = int(matrix.shape[1])
            undo: list[tuple[str, Any, np.ndarray | None]] = []
            try:
                for id, vector, payload in zip(ids, matrix, payloads):
                    old = self._payloads.get(id, _MISSING)
                    old_vector = None if old is _MISSING else self._vectors[self._rows[id]].copy()
                    undo.append((id, old, old_vector))
                    if old is not _MISSING:
                        self._index.remove(id)
                    self._place(id, vector, payload)
            except BaseException:
                for id, old, old_vector in reversed(undo):
                    self._unplace(id)
                    if old is not _MISSING:
                        assert old_vector is not None
                        self._place(id, old_vector, old)
                if created:
                    self._reset()
                raise

    def _place(self, id: str, vector: np.ndarray, payload: Any) -> None:
        assert self._index is not None
        self._index.add(id, vector)
        self._put_row(id, vector)
        self._payloads[id] = payload

    def _unplace(self, id: str) -> None:
        assert self._index is not None
        self._index.remove(id)
        self._drop_row(id)
        self._payloads.pop(id, None)

    def remove(self, ids: Sequence[str]) -> list[str]:
        """Remove the ids that are stored; returns those that were (unknown ids are skipped)."""
        removed = []
        with self.lock:
            for id in ids:
                if id in self._payloads:
                    self._unplace(id)
                    removed.append(id)
        return removed

    def clear(self) -> None:
        """Forget everything, the dimension included."""
        with self.lock:
            self._reset()

    # ---- reading ---------------------------------------------------------------------

    def vectors_of(self, ids: Sequence[str]) -> np.ndarray:
        """Copies of the stored vectors of `ids` (all stored), one row each."""
        with self.lock:
            return self._vectors[[self._rows[id] for id in ids]]

    def search(self, query: np.ndarray, k: int,
               accept: Callable[[str, Any], bool] | None = None) -> list[tuple[str, float, Any]]:
        """Up to k closest entries as (id, value, payload), closest first.

        Without `accept` this is one index search, with exact scoring of every
        row only when the index returns fewer hits than asked while the table
        holds more (k above what an HNSW search reports). With `accept` (a test
        of an id and its payload), the index's best hits are filtered; when they hold
        fewer than k accepted entries and the table holds entries the index
        did not report, every payload is tested and the accepted rows are
        scored exactly, so k results come back whenever k accepted entries exist.
        """
        k = int(k)
        if k < 0:
            raise ValueError(f"k must not be negative, got {k}")
        with self.lock:
            live = len(self._ids)
            if k == 0 or live == 0 or self._index is None:
                return []
            if query.shape != (self._dimension,):
                raise ValueError(f"query: {query.shape[0]} components where this store holds "
                                 f"{self._dimension}-component vectors")
            payloads = self._payloads
            if accept is None:
                want = min(k, live)
                hits = self._index.search(query, want)
                if len(hits) == want:
                    return [(h.id, h.distance, payloads[h.id]) for h in hits]
                return self._exact(query, want, None)
            fetch = min(live, max(FILTER_FETCH, FILTER_FETCH_PER_RESULT * k))
            hits = self._index.search(query, fetch)
            picked = [(h.id, h.distance, payloads[h.id]) for h in hits if accept(h.id, payloads[h.id])]
            if len(picked) >= k or len(hits) == live:
                return picked[:k]
            rows = np.fromiter((row for row, id in enumerate(self._ids) if accept(id, payloads[id])),
                               dtype=np.intp)
            return self._exact(query, k, rows)

    def _exact(self, query: np.ndarray, k: int, rows: np.ndarray | None) -> list[tuple[str, float, Any]]:
        matrix = self._vectors[: len(self._ids)] if rows is None else self._vectors[rows]
        if len(matrix) == 0:
            return []
        q = query.astype(np.float64)
        dots = matrix @ query
        if self.distance == DistanceType.L2:
            squares = np.einsum("ij,ij->i", matrix, matrix, dtype=np.float64)
            values = np.sqrt(np.maximum(squares - 2.0 * dots + q @ q, 0.0))
            keys = values
        elif self.distance == DistanceType.Cosine:
            norms = np.linalg.norm(matrix, axis=1).astype(np.float64) * np.linalg.norm(q)
            values = np.divide(dots, norms, out=np.zeros(len(matrix)), where=norms > 0)
            keys = -values
        else:
            values = dots.astype(np.float64)
            keys = -values
        k = min(k, len(matrix))
        top = np.argpartition(keys, k - 1)[:k] if k < len(matrix) else np.arange(len(matrix))
        top = top[np.argsort(keys[top], kind="stable")]
        positions = top if rows is None else rows[top]
        return [(self._ids[p], float(values[t]), self._payloads[self._ids[p]]) for p, t in zip(positions, top)]
