"""Framework adapter benchmark: Halyard's LangChain vector store against LangChain's own stores.

    PYTHONPATH=python python3 benchmarks/bench_frameworks.py [--quick]

`similarity_search_by_vector(query, k=4)` over 100,000 documents of 384-d
unit-length float32 vectors (100 Gaussian clusters, as in the index
benchmark, then normalised, as sentence embeddings are), with queries from the
same clusters. The vectors are precomputed: the stores' embedding object looks
them up and returns lists of floats, as an `Embeddings` does, and the query
goes in as a list, so the embedding model is not timed. Compared:

- halyard.langchain.HalyardVectorStore, HNSW (m=16, ef_construction=200,
  Cosine) and flat (exact, Cosine);
- langchain-core InMemoryVectorStore (exact cosine, NumPy);
- langchain-community FAISS as `FAISS.from_texts` makes it (IndexFlatL2,
  exact; on unit vectors L2 ranks as cosine does), and the same store over a
  faiss IndexHNSWFlat with m=16, efConstruction=200, efSearch=128, the
  parameters of Halyard's HNSW index.

Each store is timed in alternating rounds (500 queries per round, 3 queries
for InMemoryVectorStore, which converts every stored vector on each query);
the time per query is the median over the rounds. recall@4 is measured over
the same queries against exact cosine top-4 computed with NumPy.

Run it through benchmarks/report.py, or with OPENBLAS_CORETYPE and
OPENBLAS_L2_SIZE unset where they are set: they slow numpy, which
InMemoryVectorStore searches with.
"""

import argparse
import importlib.metadata
import os
import platform
import statistics
import time
import warnings

import numpy as np

from _results import record

try:
    from langchain_core.embeddings import Embeddings
    from langchain_core.vectorstores import InMemoryVectorStore

    from halyard.langchain import HalyardVectorStore
except ImportError:  # pragma: no cover - the bench extra installs it
    raise SystemExit('needs langchain-core: pip install ".[bench]"')
warnings.filterwarnings("ignore", message=".*langchain-community.*", category=DeprecationWarning)
try:
    import faiss
    from langchain_community.docstore.in_memory import InMemoryDocstore
    from langchain_community.vectorstores import FAISS
except ImportError:  # pragma: no cover - optional anchor
    FAISS = None

AREA = "framework adapters"
K = 4


class Precomputed(Embeddings):
    """Texts are "doc-<row>" or "query-<row>": their vectors are looked up, as lists of floats."""

    def __init__(self, docs, queries):
        self.docs, self.queries = docs, queries

    def _row(self, text):
        kind, row = text.split("-")
        return (self.docs if kind == "doc" else self.queries)[int(row)]

    def embed_documents(self, texts):
        return [self._row(t).tolist() for t in texts]

    def embed_query(self, text):
        return self._row(text).tolist()


def data(rng, n, nq, dim, centers=100, spread=1.0):
    c = rng.standard_normal((centers, dim), dtype=np.float32)
    x = c[rng.integers(0, centers, n + nq)]
    x += spread * rng.standard_normal((n + nq, dim), dtype=np.float32)
    x /= np.linalg.norm(x, axis=1, keepdims=True)
    return x[:n], x[n:]


def exact_top(X, Q, k):
    out = []
    for start in range(0, len(Q), 256):
        scores = Q[start:start + 256] @ X.T
        top = np.argpartition(-scores, k, axis=1)[:, :k]
        out.extend(set(row) for row in top)
    return out


def build(name, make):
    start = time.perf_counter()
    store = make()
    print(f"  built {name} in {time.perf_counter() - start:.1f} s", flush=True)
    return store


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="10,000 documents for a smoke run")
    args = parser.parse_args()
    n, dim, nq, rounds = (10_000, 384, 200, 3) if args.quick else (100_000, 384, 500, 3)
    slow_queries = 3

    versions = {p: importlib.metadata.version(p) for p in ("numpy", "langchain-core", "langchain-community", "faiss-cpu")
                if _installed(p)}
    print(f"machine: {platform.machine()}, {os.cpu_count()} logical CPUs; "
          + ", ".join(f"{p} {v}" for p, v in versions.items()))
    rng = np.random.default_rng(20260501)
    X, Q = data(rng, n, nq, dim)
    truth = exact_top(X, Q, K)
    texts = [f"doc-{i}" for i in range(n)]
    embedding = Precomputed(X, Q)
    queries = [q.tolist() for q in Q]
    print(f"{n:,} documents x {dim}, {nq} queries, k={K}")

    stores = {}
    stores["Halyard HNSW"] = build("Halyard HNSW", lambda: HalyardVectorStore.from_texts(texts, embedding))
    stores["Halyard flat"] = build("Halyard flat", lambda: HalyardVectorStore.from_texts(texts, embedding,
                                                                                        index="flat"))
    stores["InMemoryVectorStore"] = build("InMemoryVectorStore", lambda: InMemoryVectorStore.from_texts(texts, embedding))
    if FAISS is not None:
        stores["FAISS (IndexFlatL2)"] = build("FAISS flat", lambda: FAISS.from_texts(texts, embedding))

        def faiss_hnsw():
            index = faiss.IndexHNSWFlat(dim, 16)
            index.hnsw.efConstruction = 200
            index.hnsw.efSearch = 128
            store = FAISS(embedding, index, InMemoryDocstore(), {})
            store.add_embeddings(zip(texts, X.tolist()))
            return store
        stores["FAISS (IndexHNSWFlat)"] = build("FAISS HNSW", faiss_hnsw)

    recall, times = {}, {name: [] for name in stores}
    for name, store in stores.items():
        sample = queries if name != "InMemoryVectorStore" else queries[:slow_queries]
        hits = [{int(d.page_content[4:]) for d in store.similarity_search_by_vector(q, k=K)} for q in sample]
        recall[name] = statistics.mean(len(h & t) / K for h, t in zip(hits, truth))
    for _ in range(rounds):
        for name, store in stores.items():
            sample = queries if name != "InMemoryVectorStore" else queries[:slow_queries]
            start = time.perf_counter()
            for q in sample:
                store.similarity_search_by_vector(q, k=K)
            times[name].append((time.perf_counter() - start) / len(sample))
    per_query = {name: statistics.median(t) for name, t in times.items()}

    print()
    print(f"{'store':<24}{'ms per query':>14}{'recall@4':>10}")
    for name in stores:
        print(f"{name:<24}{per_query[name] * 1e3:>14.3f}{recall[name]:>10.3f}")

    operation = f"LangChain similarity_search_by_vector k={K}, {n:,}x{dim}"
    pairs = [("Halyard HNSW", "InMemoryVectorStore", "langchain-core InMemoryVectorStore", True),
             ("Halyard HNSW", "FAISS (IndexHNSWFlat)", "langchain-community FAISS, IndexHNSWFlat", True),
             ("Halyard flat", "InMemoryVectorStore", "langchain-core InMemoryVectorStore", False),
             ("Halyard flat", "FAISS (IndexFlatL2)", "langchain-community FAISS, IndexFlatL2 (default)", True)]
    for ours, theirs, anchor, headline in pairs:
        if theirs in per_query:
            index = "HNSW" if ours == "Halyard HNSW" else "flat"
            record(AREA, f"{operation}, Halyard {index}", per_query[ours], anchor, per_query[theirs],
                   note=f"recall@4 halyard {recall[ours]:.3f}, anchor {recall[theirs]:.3f}", headline=headline)


def _installed(name):
    try:
        importlib.metadata.version(name)
        return True
    except importlib.metadata.PackageNotFoundError:
        return False


if __name__ == "__main__":
    main()
