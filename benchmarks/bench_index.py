"""Vector index benchmark: Halyard against numpy, faiss and hnswlib on the same data.

    PYTHONPATH=python python3 benchmarks/bench_index.py [--quick]

Flat: 200,000 x 384 clustered float32 vectors, one query per call, k=10, for
InnerProduct and L2, against numpy (`X @ q` + argpartition, and the bare
`X @ q`: one pass over the data) and faiss IndexFlatIP / IndexFlatL2.
HNSW: 20,000 x 128, m=16, ef_construction=200, one vector per add call;
build time, single-query latency at ef 128 with k=10, and recall@10 against
brute force, next to hnswlib and faiss IndexHNSWFlat. Memory per stored vector
is the growth of the process's resident memory while an index is built.

OPENBLAS_CORETYPE and OPENBLAS_L2_SIZE slow numpy on some machines; the script
re-runs itself without them, so numpy's BLAS runs with its own settings.
"""

import os
import sys

_BLAS_OVERRIDES = ("OPENBLAS_CORETYPE", "OPENBLAS_L2_SIZE")
if any(name in os.environ for name in _BLAS_OVERRIDES):
    env = {k: v for k, v in os.environ.items() if k not in _BLAS_OVERRIDES}
    os.execve(sys.executable, [sys.executable] + sys.argv, env)

import argparse  # noqa: E402
import ctypes  # noqa: E402
import gc  # noqa: E402
import platform  # noqa: E402
import statistics  # noqa: E402
import time  # noqa: E402

import numpy as np  # noqa: E402

from halyard._halyard_rs import DistanceType, FlatIndex, HNSWIndex  # noqa: E402

from _results import record  # noqa: E402

try:
    import faiss
except ImportError:  # pragma: no cover - optional anchor
    faiss = None
try:
    import hnswlib
except ImportError:  # pragma: no cover - optional anchor
    hnswlib = None
try:
    from threadpoolctl import threadpool_info
except ImportError:  # pragma: no cover
    threadpool_info = None


def rss_bytes():
    """Resident memory, after handing freed heap pages back to the system."""
    gc.collect()
    try:
        ctypes.CDLL("libc.so.6").malloc_trim(0)
    except OSError:  # pragma: no cover - not glibc
        pass
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def clustered(rng, n, nq, dim, centers=100, spread=1.0):
    """n data vectors and nq queries drawn around the same random centres."""
    c = rng.standard_normal((centers, dim), dtype=np.float32)
    x = c[rng.integers(0, centers, n + nq)]
    x += spread * rng.standard_normal((n + nq, dim), dtype=np.float32)
    return x[:n], x[n:]


def per_call(fn, queries, repeats=3):
    """Median over `repeats` rounds of the mean time per call (seconds)."""
    return interleaved({"x": fn}, queries, repeats)["x"]


def interleaved(fns, queries, rounds=7):
    """Per-call times of several functions measured in alternating rounds (so
    a change of machine load hits all of them alike); median of the rounds."""
    for fn in fns.values():
        fn(queries[0])
    times = {name: [] for name in fns}
    for _ in range(rounds):
        for name, fn in fns.items():
            start = time.perf_counter()
            for q in queries:
                fn(q)
            times[name].append((time.perf_counter() - start) / len(queries))
    return {name: statistics.median(t) for name, t in times.items()}


def fmt_time(seconds):
    if seconds >= 1.0:
        return f"{seconds:.2f} s"
    if seconds >= 1e-3:
        return f"{seconds * 1e3:.2f} ms"
    return f"{seconds * 1e6:.1f} us"


class Table:
    def __init__(self):
        self.rows = []

    def add(self, section, what, value, ratio="", note=""):
        self.rows.append((section, what, value, ratio, note))

    def print(self):
        head = ("section", "measure", "value", "vs Halyard", "note")
        widths = [max(len(str(r[i])) for r in self.rows + [head]) for i in range(5)]
        line = "  ".join("{:<%d}" % w for w in widths)
        print(line.format(*head))
        print("  ".join("-" * w for w in widths))
        for r in self.rows:
            print(line.format(*r))


def ratio(other, ours):
    return f"{other / ours:.2f}x" if ours > 0 else ""


def bench_flat(table, rng, n, dim, nq):
    X, Q = clustered(rng, n, nq, dim)
    ids = [f"doc-{i}" for i in range(n)]
    for kind, label in ((DistanceType.InnerProduct, "IP"), (DistanceType.L2, "L2")):
        section = f"flat {label} {n}x{dim}"
        gc.collect()
        before = rss_bytes()
        index = FlatIndex(dim, kind)
        start = time.perf_counter()
        for i in range(n):
            index.add(ids[i], X[i])
        add_time = (time.perf_counter() - start) / n
        mem = (rss_bytes() - before) / n
        fns = {"ours": lambda q: index.search(q, 10)}
        if label == "IP":
            fns["argp"] = lambda q: np.argpartition(-(X @ q), 10)[:10]
        else:
            sq = np.einsum("ij,ij->i", X, X)
            fns["argp"] = lambda q: np.argpartition(sq - 2 * (X @ q), 10)[:10]
        fns["bare"] = lambda q: X @ q
        if faiss is not None:
            fi = faiss.IndexFlatIP(dim) if label == "IP" else faiss.IndexFlatL2(dim)
            fi.add(X)
            fns["faiss"] = lambda q: fi.search(q[None, :], 10)
        t = interleaved(fns, Q)
        ours = t["ours"]
        table.add(section, "halyard add, per vector", fmt_time(add_time))
        table.add(section, "halyard search k=10", fmt_time(ours), "1.00x")
        table.add(section, "numpy X@q + argpartition", fmt_time(t["argp"]), ratio(t["argp"], ours), "goal: >= 1.20x")
        table.add(section, "numpy bare X@q", fmt_time(t["bare"]), ratio(t["bare"], ours), "goal: >= 0.91x")
        if faiss is not None:
            table.add(section, "faiss flat search k=10", fmt_time(t["faiss"]), ratio(t["faiss"], ours))
            del fi, fns
        operation = f"flat {label} search k=10, {n:,}x{dim}"
        record("vector index", operation, ours, "numpy X@q + argpartition", t["argp"],
               f"halyard resident memory {mem:.0f} B per vector (raw {dim * 4} B)", headline=label == "IP")
        record("vector index", operation, ours, "numpy bare X@q (no top-k)", t["bare"])
        if "faiss" in t:
            record("vector index", operation, ours, f"faiss IndexFlat{label}", t["faiss"], headline=label == "IP")
        table.add(section, "halyard memory per vector", f"{mem:.0f} B", "", f"raw vector {dim * 4} B")
        # Sanity: the same hits as numpy (up to ties).
        q = Q[0]
        ref = X @ q if label == "IP" else -np.sqrt(((X - q) ** 2).sum(1))
        top = set(np.argsort(-ref)[:10].tolist())
        got = {int(h.id[4:]) for h in index.search(q, 10)}
        if len(top & got) < 9:
            table.add(section, "WARNING", f"overlap with numpy {len(top & got)}/10")
        del index
        gc.collect()
    del X


def recall_at_10(found, truth):
    return float(np.mean([len(set(f) & set(t)) / 10 for f, t in zip(found, truth)]))


def build_hnsw_all(X):
    """Builds the three HNSW indexes one vector per call; returns {name: (build s, memory B/vector, search(q, k))}."""
    n, dim = X.shape
    ids = [str(i) for i in range(n)]
    out = {}

    before = rss_bytes()
    index = HNSWIndex(dim, m=16, ef_construction=200)
    start = time.perf_counter()
    for i in range(n):
        index.add(ids[i], X[i])
    build = time.perf_counter() - start
    out["halyard"] = (build, (rss_bytes() - before) / n, lambda q, k, index=index: [int(h.id) for h in index.search(q, k)],
                      lambda q, index=index: index.search(q, 10))

    if hnswlib is not None:
        before = rss_bytes()
        p = hnswlib.Index(space="l2", dim=dim)
        p.init_index(max_elements=n, M=16, ef_construction=200, random_seed=1)
        p.set_num_threads(1)
        start = time.perf_counter()
        for i in range(n):
            p.add_items(X[i : i + 1], [i])
        build = time.perf_counter() - start
        p.set_ef(128)
        out["hnswlib"] = (build, (rss_bytes() - before) / n, lambda q, k, p=p: p.knn_query(q, k=k)[0][0].tolist(),
                          lambda q, p=p: p.knn_query(q, k=10))

    if faiss is not None:
        faiss.omp_set_num_threads(1)
        before = rss_bytes()
        f = faiss.IndexHNSWFlat(dim, 16)
        f.hnsw.efConstruction = 200
        start = time.perf_counter()
        for i in range(n):
            f.add(X[i : i + 1])
        build = time.perf_counter() - start
        f.hnsw.efSearch = 128
        out["faiss HNSWFlat"] = (build, (rss_bytes() - before) / n,
                                 lambda q, k, f=f: f.search(q[None, :], k)[1][0].tolist(),
                                 lambda q, f=f: f.search(q[None, :], 10))
    return out


def l2_truth(X, Q):
    d2 = (Q**2).sum(1)[:, None] - 2 * Q @ X.T + (X**2).sum(1)[None, :]
    return np.argsort(d2, axis=1)[:, :10]


def bench_hnsw(table, rng, n, dim, nq):
    # Overlapping clusters (the timing data set) and well-separated ones (recall only).
    X, Q = clustered(rng, n, nq, dim, spread=1.5)
    truth = l2_truth(X, Q)
    section = f"hnsw L2 {n}x{dim}"
    built = build_hnsw_all(X)
    ours_build = built["halyard"][0]
    times = interleaved({name: entry[3] for name, entry in built.items()}, Q, rounds=5)
    ours_search = times["halyard"]
    recall = {name: recall_at_10([entry[2](q, 10) for q in Q], truth) for name, entry in built.items()}
    for name, (build, mem, search_k, one) in built.items():
        t = times[name]
        goal = "goal: >= 1.00x" if name != "halyard" else ""
        table.add(section, f"{name} build (1 add/call)", fmt_time(build), ratio(build, ours_build), goal)
        table.add(section, f"{name} search ef=128 k=10", fmt_time(t), ratio(t, ours_search),
                  goal if name == "hnswlib" else "")
        table.add(section, f"{name} recall@10", f"{recall[name]:.3f}")
        table.add(section, f"{name} memory per vector", f"{mem:.0f} B", "", f"raw vector {dim * 4} B")
    anchors = {name: built[name][0] for name in built if name != "halyard"}
    del built
    gc.collect()

    X, Q = clustered(rng, n, nq, dim, spread=1.0)
    truth = l2_truth(X, Q)
    section = f"hnsw L2 {n}x{dim} separated clusters"
    separated = {}
    for name, (build, mem, search_k, one) in build_hnsw_all(X).items():
        separated[name] = recall_at_10([search_k(q, 10) for q in Q], truth)
        table.add(section, f"{name} recall@10", f"{separated[name]:.3f}")

    for name, anchor_build in anchors.items():
        anchor = {"faiss HNSWFlat": "faiss IndexHNSWFlat"}.get(name, name)
        note = (f"recall@10: halyard {recall['halyard']:.3f}, {anchor} {recall[name]:.3f}; "
                f"on well-separated clusters halyard {separated['halyard']:.3f}, {anchor} {separated[name]:.3f}")
        record("vector index", f"HNSW build, {n:,}x{dim}, m=16, ef_construction=200, 1 add/call", ours_build,
               anchor, anchor_build, headline=name == "hnswlib")
        record("vector index", f"HNSW search ef=128 k=10, {n:,}x{dim}", ours_search, anchor, times[name], note,
               headline=name == "hnswlib")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="smaller data for a smoke run")
    args = parser.parse_args()
    scale = 10 if args.quick else 1

    print(f"machine: {platform.machine()}, {os.cpu_count()} logical CPUs, {platform.platform()}")
    print(f"python {platform.python_version()}, numpy {np.__version__}", end="")
    print(f", faiss {faiss.__version__ if faiss else 'missing'}, hnswlib {'present' if hnswlib else 'missing'}")
    if threadpool_info is not None:
        for pool in threadpool_info():
            if pool.get("user_api") == "blas" and "numpy" in pool.get("filepath", ""):
                print(
                    f"numpy BLAS: {pool.get('internal_api')} {pool.get('version')} "
                    f"({pool.get('architecture')}, {pool.get('num_threads')} threads, {pool.get('filepath')})"
                )
    print()

    rng = np.random.default_rng(20251207)
    table = Table()
    bench_flat(table, rng, 200_000 // scale, 384, 40)
    bench_hnsw(table, rng, 20_000 // scale, 128, 500)
    table.print()


if __name__ == "__main__":
    main()
