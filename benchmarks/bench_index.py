"""Vector index benchmark: Halyard against numpy, faiss, hnswlib, usearch and voyager on the same data.

    PYTHONPATH=python python3 benchmarks/bench_index.py [--quick] [--hnsw-only | --repeats-only | --scale-only]
        [--scale-sizes 20000,100000,200000 | --skip-scale] [--halyard-module OTHER/_halyard_rs.abi3.so]
        [--baseline-module OTHER/_halyard_rs.abi3.so]

Flat: 200,000 x 384 clustered float32 vectors, one query per call, k=10, for
InnerProduct and L2, against numpy (`X @ q` + argpartition, and the bare
`X @ q`: one pass over the data) and faiss IndexFlatIP / IndexFlatL2.

HNSW: every library with m=16, ef_construction=200, search ef=128, k=10, one
vector per add call and one query per search call, single-threaded, on a
suite of 20,000 x 128 data sets: i.i.d. Gaussian; 64 Gaussian clusters with
queries from the same clusters, from 64 other centres, and after removing
half of the ids; 2,000 small clusters of about 10 points; and real text, LSA
embeddings (TF-IDF, then TruncatedSVD to 128 dimensions, unit length) of
docstrings found in the installed Python sources, under Cosine and
InnerProduct. Each library builds each data set 3 times (Halyard draws its
levels from the OS random source, the others get seeds 1 to 3): recall@10
against brute force is the mean over the builds with its spread (max - min),
build time the fastest build (on a shared machine, interference only ever
adds time), query time per call from the last build with all
libraries timed in alternating rounds (500 queries for recall, the first
200 of them for time). Memory per stored vector is the growth
of the process's resident memory while an index is built, the smallest of
the builds (heap reuse makes single readings vary by tens of bytes). faiss
IndexHNSWFlat cannot remove entries: in the removal scenario its searches
skip the removed ids through an id selector.

HNSW at scale: Halyard, hnswlib, usearch and faiss on N x 384
sentence-embedding-like unit vectors under Cosine (N = 20,000, 100,000 and
200,000 unless --scale-sizes says otherwise; a twentieth with --quick), the
same parameters, 500 queries. Each library builds once in a child process of
its own, so that the growth of resident memory over the build, and of its
peak, is the library's own. The processes take turns: a twentieth of a build
or one round of the queries at a time, the libraries in rotation, so that a
change of machine load hits all of them alike. faiss runs twice there: as it
is, and with Halyard's level distribution, which gives both builds the same
number of layer searches. --baseline-module adds another build of the
extension module to the scale rows, for before/after comparisons in one run;
--halyard-module benchmarks another build instead of the installed one (all
Halyard rows).

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
import functools  # noqa: E402
import gc  # noqa: E402
import importlib.util  # noqa: E402
import json  # noqa: E402
import math  # noqa: E402
import platform  # noqa: E402
import re  # noqa: E402
import statistics  # noqa: E402
import subprocess  # noqa: E402
import sysconfig  # noqa: E402
import tempfile  # noqa: E402
import time  # noqa: E402
from pathlib import Path  # noqa: E402

import numpy as np  # noqa: E402

from halyard import _halyard_rs as hy  # noqa: E402 - rebound by --halyard-module

from _results import record, record_table  # noqa: E402


def optional(name):
    """The anchor library `name`, or None when it is not installed."""
    try:
        return importlib.import_module(name)
    except ImportError:  # pragma: no cover - optional anchor
        return None


faiss = optional("faiss")
hnswlib = optional("hnswlib")
usearch = sys.modules["usearch"] if optional("usearch.index") else None  # the package, with its index module loaded
voyager = optional("voyager")

try:
    from sklearn.decomposition import TruncatedSVD
    from sklearn.feature_extraction.text import TfidfVectorizer
except ImportError:  # pragma: no cover - the text data set needs it
    TfidfVectorizer = None
try:
    from threadpoolctl import threadpool_info
except ImportError:  # pragma: no cover
    threadpool_info = None


def rss_bytes(trim=True):
    """Resident memory, after handing freed heap pages back to the system
    unless `trim` is false."""
    gc.collect()
    if trim:
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
    for kind, label in ((hy.DistanceType.InnerProduct, "IP"), (hy.DistanceType.L2, "L2")):
        section = f"flat {label} {n}x{dim}"
        gc.collect()
        before = rss_bytes()
        index = hy.FlatIndex(dim, kind)
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


# ---- HNSW: one data suite, every library side by side -------------------------------

M, EF_CONSTRUCTION, EF_SEARCH, K = 16, 200, 128, 10
BUILDS = 3  # recall varies between builds (Halyard draws levels from the OS random source)

# Docstrings: the string right after a `def` or `class` line.
DOCSTRING = re.compile(r'^[ \t]*(?:async[ \t]+)?(?:def|class)[ \t][^\n]*?:[ \t]*\n[ \t]*[rRuU]?("""|\'\'\')(.*?)\1',
                       re.M | re.S)


def docstrings():
    """Docstrings (40 characters or more, whitespace collapsed, each once) of
    every Python source under the standard library and site-packages."""
    found = {}
    for root in sorted({sysconfig.get_paths()["stdlib"], sysconfig.get_paths()["purelib"]}):
        for path in sorted(Path(root).rglob("*.py")):
            try:
                text = path.read_text(encoding="utf-8", errors="replace")
            except OSError:
                continue
            for m in DOCSTRING.finditer(text):
                doc = " ".join(m.group(2).split())
                if len(doc) >= 40:
                    found.setdefault(doc, None)
    return list(found)


def text_vectors(rng, n, nq):
    """LSA embeddings of docstrings: TF-IDF, then TruncatedSVD to 128
    dimensions, scaled to unit length. Returns (data, queries), or None
    without scikit-learn."""
    if TfidfVectorizer is None:
        return None
    docs = docstrings()
    picked = [docs[i] for i in rng.permutation(len(docs))[: n + nq + 100]]
    tfidf = TfidfVectorizer(sublinear_tf=True, min_df=2, max_df=0.5, dtype=np.float32).fit_transform(picked)
    Z = TruncatedSVD(128, random_state=0).fit_transform(tfidf).astype(np.float32)
    norms = np.linalg.norm(Z, axis=1)
    Z = Z[norms > 0] / norms[norms > 0, None]
    Z = Z[: n + nq]
    return np.ascontiguousarray(Z[:n]), np.ascontiguousarray(Z[n:])


def blobs(rng, centres, n, spread):
    x = centres[rng.integers(0, len(centres), n)]
    return (x + spread * rng.standard_normal(x.shape, dtype=np.float32)).astype(np.float32)


def exact_top(X, Q, metric, live=None, chunk=25_000):
    """Indices of the exact 10 nearest rows of X for each query (of equally
    near rows the first). X is scored `chunk` rows at a time, so the scores
    of 200,000 rows never need to be held at once."""
    best = np.zeros((len(Q), 0), np.float32)
    top = np.zeros((len(Q), 0), np.int64)
    for start in range(0, len(X), chunk):
        part = X[start : start + chunk]
        S = Q @ part.T
        if metric == "l2":
            S = 2 * S - (part**2).sum(1)[None, :]
        if live is not None:
            S[:, ~live[start : start + chunk]] = -np.inf
        # The best so far come first and have the lower indices, so a stable
        # sort keeps the first of equally near rows, as one sort of all would.
        S = np.concatenate([best, S], axis=1)
        rows = np.concatenate([top, np.broadcast_to(np.arange(start, start + len(part)), S[:, best.shape[1]:].shape)],
                              axis=1)
        order = np.argsort(-S, axis=1, kind="stable")[:, :K]
        best, top = np.take_along_axis(S, order, 1), np.take_along_axis(rows, order, 1)
    return top


def recall(found, truth):
    return float(np.mean([len(set(f) & set(t.tolist())) / K for f, t in zip(found, truth)]))


class Case:
    """A data set: stored vectors, a metric, named query sets with their
    exact answers, and optionally a removal scenario (remove `removed`,
    then answer `after` over the rest)."""

    def __init__(self, name, X, metric, queries, removal=None):
        self.name, self.X, self.metric, self.removal = name, X, metric, removal
        self.queries = {label: (Q, exact_top(X, Q, metric)) for label, Q in queries.items()}
        if removal is not None:
            removed, label, Q = removal
            live = np.ones(len(X), bool)
            live[removed] = False
            self.removal = (removed, label, Q, exact_top(X, Q, metric, live))


def suite(rng, n, nq, dim=128):
    cases = [Case("gaussian", rng.standard_normal((n, dim), dtype=np.float32), "l2",
                  {"gaussian": rng.standard_normal((nq, dim), dtype=np.float32)})]
    centres = rng.standard_normal((128, dim), dtype=np.float32)
    X = blobs(rng, centres[:64], n, 0.5)
    cases.append(Case("64 clusters", X, "l2",
                      {"64 clusters": blobs(rng, centres[:64], nq, 0.5),
                       "64 clusters, queries from other centres": blobs(rng, centres[64:], nq, 0.5)},
                      removal=(rng.permutation(n)[: n // 2], "64 clusters, half removed",
                               blobs(rng, centres[:64], nq, 0.5))))
    small = rng.standard_normal((n // 10, dim), dtype=np.float32)
    cases.append(Case(f"{n // 10:,} clusters of ~10", blobs(rng, small, n, 0.1), "l2",
                      {f"{n // 10:,} clusters of ~10": blobs(rng, small, nq, 0.1)}))
    text = text_vectors(rng, n, nq)
    if text is not None:
        X, Q = text
        for metric, label in (("cos", "Cosine"), ("ip", "InnerProduct")):
            cases.append(Case(f"docstrings LSA, {label}", X, metric, {f"docstrings LSA, {label}": Q}))
    return cases


def fewer_than_k(query, k):
    """hnswlib and voyager refuse a query that finds fewer than k entries:
    the largest k they answer (found by bisection) and its answer."""
    try:
        return query(k)
    except Exception:  # hnswlib: RuntimeError; voyager: its RecallError
        low, high, best = 0, k, []
        while high - low > 1:
            mid = (low + high) // 2
            try:
                best, low = query(mid), mid
            except Exception:
                high = mid
        return best


def hnswlib_query(p, q, k):
    return fewer_than_k(lambda kk: p.knn_query(q, k=kk)[0][0].tolist(), k)


def voyager_query(v, q, k):
    return fewer_than_k(lambda kk: v.query(q, k=kk, query_ef=max(EF_SEARCH, kk))[0].tolist(), k)


# Libraries: build(X, metric, seed, m) -> (build seconds, handle, search(q, k=K) -> ids, remove(ids)).

_IDS = []


def row_ids(n):
    """The id strings "0", "1", ... of Halyard's adds, at least n of them. One
    list serves every build, so a caller that makes it before reading memory
    does not count the benchmark's own strings as the index's memory."""
    _IDS.extend(str(i) for i in range(len(_IDS), n))
    return _IDS


def load_module(path, package):
    """Another build of the extension module, from its file."""
    spec = importlib.util.spec_from_file_location(f"{package}._halyard_rs", path)
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


_turns = None  # in a scale worker: the parent's go-ahead between slices of the work (Turns)


def timed_adds(n, add):
    """Calls add(i) for i in 0..n-1 and returns the seconds spent in those
    calls. In a scale worker the adds run in slices, each one a turn that the
    parent hands out, with the clock stopped between them."""
    slices = _turns.slices(n) if _turns else [(0, n)]
    total = 0.0
    for lo, hi in slices:
        if _turns:
            _turns.wait()
        start = time.perf_counter()
        for i in range(lo, hi):
            add(i)
        total += time.perf_counter() - start
    return total


def halyard_build(X, metric, seed, m=M, module=None):
    """Builds Halyard's HNSW index over X, one add per call; `module` is
    another build of the extension module to use instead of the loaded one."""
    module = module or hy
    kind = {"l2": module.DistanceType.L2, "cos": module.DistanceType.Cosine,
            "ip": module.DistanceType.InnerProduct}[metric]
    index = module.HNSWIndex(X.shape[1], m=m, ef_construction=EF_CONSTRUCTION, distance_type=kind)
    ids = row_ids(len(X))
    build = timed_adds(len(X), lambda i: index.add(ids[i], X[i]))

    def remove(rows):
        for i in rows:
            index.remove(ids[i])
    return build, index, (lambda q, k=K: [int(h.id) for h in index.search(q, k)]), remove


def hnswlib_build(X, metric, seed, m=M):
    p = hnswlib.Index(space=metric.replace("cos", "cosine"), dim=X.shape[1])
    p.init_index(max_elements=len(X), M=m, ef_construction=EF_CONSTRUCTION, random_seed=seed + 1)
    p.set_num_threads(1)
    build = timed_adds(len(X), lambda i: p.add_items(X[i : i + 1], [i]))
    p.set_ef(EF_SEARCH)

    def remove(rows):
        for i in rows:
            p.mark_deleted(int(i))
    return build, p, (lambda q, k=K: hnswlib_query(p, q, k)), remove


def usearch_build(X, metric, seed, m=M):
    u = usearch.index.Index(ndim=X.shape[1], metric={"l2": "l2sq"}.get(metric, metric), dtype="f32",
                            connectivity=m, expansion_add=EF_CONSTRUCTION, expansion_search=EF_SEARCH)
    build = timed_adds(len(X), lambda i: u.add(i, X[i], threads=1))

    def remove(rows):
        for i in rows:
            u.remove(int(i))
    return build, u, (lambda q, k=K: u.search(q, k, threads=1).keys.tolist()), remove


def voyager_build(X, metric, seed, m=M):
    space = {"l2": voyager.Space.Euclidean, "cos": voyager.Space.Cosine, "ip": voyager.Space.InnerProduct}[metric]
    v = voyager.Index(space, num_dimensions=X.shape[1], M=m, ef_construction=EF_CONSTRUCTION, random_seed=seed + 1,
                      max_elements=len(X), storage_data_type=voyager.StorageDataType.Float32)
    build = timed_adds(len(X), lambda i: v.add_item(X[i], i))

    def remove(rows):
        for i in rows:
            v.mark_deleted(int(i))
    return build, v, (lambda q, k=K: voyager_query(v, q, k)), remove


def faiss_build(X, metric, seed, m=M, halyard_levels=False):
    # Cosine is inner product here: every vector of the suite with that metric has unit length.
    f = faiss.IndexHNSWFlat(X.shape[1], m, faiss.METRIC_L2 if metric == "l2" else faiss.METRIC_INNER_PRODUCT)
    f.hnsw.efConstruction = EF_CONSTRUCTION
    if halyard_levels:
        # Halyard's level distribution: each layer holds 1 / ln(m) of the nodes
        # of the layer below (faiss's own keeps 1 / m), so with m=16 about 36%
        # of the nodes sit above layer 0 instead of about 6%.
        f.hnsw.assign_probas.clear()
        f.hnsw.cum_nneighbor_per_level.clear()
        f.hnsw.set_default_probas(m, -1 / math.log(1 / math.log(m)))
    faiss.omp_set_num_threads(1)
    build = timed_adds(len(X), lambda i: f.add(X[i : i + 1]))
    params = [faiss.SearchParametersHNSW(efSearch=EF_SEARCH)]

    def remove(rows):  # no removal in IndexHNSWFlat: the search skips removed ids
        live = np.ones(len(X), bool)
        live[rows] = False
        bitmap = np.packbits(live, bitorder="little")
        sel = faiss.IDSelectorBitmap(len(live), faiss.swig_ptr(bitmap))
        params[0] = faiss.SearchParametersHNSW(efSearch=EF_SEARCH, sel=sel)
        params.append((bitmap, sel))  # keep both alive with the index
    return build, f, (lambda q, k=K: [i for i in f.search(q[None, :], k, params=params[0])[1][0].tolist() if i >= 0]), remove


EQUAL_WORK = "faiss, equal work"


def libraries(names=("hnswlib", "usearch", "voyager", "faiss")):
    """Halyard's build function and those of the installed peers among `names`."""
    builds = {"hnswlib": (hnswlib, hnswlib_build), "usearch": (usearch, usearch_build),
              "voyager": (voyager, voyager_build), "faiss": (faiss, faiss_build),
              EQUAL_WORK: (faiss, functools.partial(faiss_build, halyard_levels=True))}
    return {"halyard": halyard_build} | {name: builds[name][1] for name in names if builds[name][0] is not None}


class Stats:
    def __init__(self):
        self.recall, self.build, self.query, self.memory = {}, [], {}, None

    def recall_text(self, label):
        r = self.recall[label]
        return f"{np.mean(r):.4f} ±{max(r) - min(r):.4f}"


def run_case(case, libs, nq_timing):
    """Builds every library's index BUILDS times; recall from every build,
    query time from the last one (all libraries timed in alternating rounds)."""
    stats = {name: Stats() for name in libs}
    alive = {}
    labels = list(case.queries) + ([case.removal[1]] if case.removal else [])
    for st in stats.values():
        st.recall = {label: [] for label in labels}
    row_ids(len(case.X))
    # Build rounds go through every library in turn, so a machine that speeds
    # up or slows down during the run does not favour whichever went first.
    for b in range(BUILDS):
        for name, build_fn in libs.items():
            st = stats[name]
            before = rss_bytes()
            build, handle, search, remove = build_fn(case.X, case.metric, b)
            grown = (rss_bytes() - before) / len(case.X)
            st.memory = grown if st.memory is None else min(st.memory, grown)
            st.build.append(build)
            for label, (Q, truth) in case.queries.items():
                st.recall[label].append(recall([search(q) for q in Q], truth))
            if b + 1 < BUILDS:
                if case.removal:
                    removed, label, Q, truth = case.removal
                    remove(removed)
                    st.recall[label].append(recall([search(q) for q in Q], truth))
                del handle, search, remove
                gc.collect()
            else:
                alive[name] = (handle, search, remove)
    for label, (Q, _) in case.queries.items():
        times = interleaved({name: a[1] for name, a in alive.items()}, Q[:nq_timing], rounds=5)
        for name in libs:
            stats[name].query[label] = times[name]
    if case.removal:
        removed, label, Q, truth = case.removal
        for name, (_, search, remove) in alive.items():
            remove(removed)
            stats[name].recall[label].append(recall([search(q) for q in Q], truth))
        times = interleaved({name: a[1] for name, a in alive.items()}, Q[:nq_timing], rounds=5)
        for name in libs:
            stats[name].query[label] = times[name]
    del alive
    gc.collect()
    return stats


def bench_hnsw(table, rng, n, nq, nq_timing):
    libs = libraries()
    peers = [name for name in libs if name != "halyard"]
    matrix = []
    for case in suite(rng, n, nq):
        section = f"hnsw {case.name} {len(case.X):,}x{case.X.shape[1]} {case.metric}"
        start = time.perf_counter()
        stats = run_case(case, libs, nq_timing)
        print(f"{section}: {time.perf_counter() - start:.0f} s", file=sys.stderr, flush=True)
        ours = stats["halyard"]
        build_ours = min(ours.build)
        fastest_build = min(peers, key=lambda p: min(stats[p].build), default=None)
        for label in ours.recall:
            r_ours = float(np.mean(ours.recall[label]))
            t_ours = ours.query[label]
            for name in libs:
                st = stats[name]
                matrix.append((label, name, st.recall_text(label), fmt_time(min(st.build)),
                               fmt_time(st.query[label]), f"{st.memory:.0f} B"))
            best = max(peers, key=lambda p: np.mean(stats[p].recall[label]), default=None)
            reaching = [p for p in peers if np.mean(stats[p].recall[label]) >= r_ours]
            rival = min(reaching or peers, key=lambda p: stats[p].query[label], default=None)
            if best is None:
                continue
            r_best = float(np.mean(stats[best].recall[label]))
            table.add(section, f"{label}: recall@10, halyard vs best peer ({best})",
                      f"{r_ours:.4f} vs {r_best:.4f}", f"{r_ours - r_best:+.4f}", "goal: >= -0.005")
            table.add(section, f"{label}: recall spread over {BUILDS} builds, halyard",
                      f"{max(ours.recall[label]) - min(ours.recall[label]):.4f}", "",
                      "goal: < 0.01 on clustered sets")
            what = "reaching our recall" if reaching else "none reaches our recall"
            table.add(section, f"{label}: query, vs fastest peer {what} ({rival})",
                      f"{fmt_time(t_ours)} vs {fmt_time(stats[rival].query[label])}",
                      ratio(stats[rival].query[label], t_ours), "goal: >= 1.10x")
            for name in peers:
                note = (f"recall@10 halyard {r_ours:.3f}, {name} {np.mean(stats[name].recall[label]):.3f} "
                        f"(mean of {BUILDS} builds)")
                record("vector index", f"HNSW search ef=128 k=10, {label}, {len(case.X):,}x{case.X.shape[1]}",
                       t_ours, name, stats[name].query[label], note,
                       headline=name == rival and label in ("gaussian", "64 clusters", "docstrings LSA, Cosine"))
        table.add(section, f"build (1 add/call), vs fastest peer ({fastest_build})",
                  f"{fmt_time(build_ours)} vs {fmt_time(min(stats[fastest_build].build))}",
                  ratio(min(stats[fastest_build].build), build_ours), "goal: >= 1.00x")
        if "hnswlib" in stats:
            table.add(section, "memory per vector, vs hnswlib", f"{ours.memory:.0f} B vs {stats['hnswlib'].memory:.0f} B",
                      ratio(stats["hnswlib"].memory, ours.memory), "goal: >= 1.00x")
        for name in peers:
            note = f"memory per vector halyard {ours.memory:.0f} B, {name} {stats[name].memory:.0f} B"
            record("vector index", f"HNSW build, {case.name}, {len(case.X):,}x{case.X.shape[1]}, m=16, "
                   f"ef_construction=200, 1 add/call", build_ours, name, min(stats[name].build), note,
                   headline=name == fastest_build and case.name == "gaussian")
    return matrix


# ---- HNSW with repeated vectors -------------------------------------------------------

REPEAT_METRICS = ("l2", "cos", "ip")


def unit_rows(x):
    return np.ascontiguousarray(x / np.linalg.norm(x, axis=1, keepdims=True), dtype=np.float32)


def repeats_suite(rng, dim=64):
    """Data sets where the same vector is stored many times, as in real
    memories (a chunk ingested twice, a question asked again). Each is
    (name, stored vectors in insertion order, queries); every query is a
    stored vector."""
    distinct = unit_rows(rng.standard_normal((2000, dim), dtype=np.float32))
    counts = np.maximum(1, np.rint(1900 / np.arange(1, 2001))).astype(int)  # the r-th most popular: ~1900/r copies
    zipf = distinct[rng.permutation(np.repeat(np.arange(2000), counts))]
    centres = unit_rows(rng.standard_normal((100, dim), dtype=np.float32))
    base = unit_rows(centres[rng.integers(0, 100, 10_000)]
                     + 0.3 / np.sqrt(dim) * rng.standard_normal((10_000, dim), dtype=np.float32))
    heavy = rng.choice(10_000, 50, replace=False)
    extra = np.repeat(heavy, rng.integers(40, 401, 50))
    clustered = np.concatenate([base, base[extra]])[rng.permutation(10_000 + len(extra))]
    others = rng.choice(np.setdiff1d(np.arange(10_000), heavy), 150, replace=False)
    return [
        (f"{len(zipf):,} stored, 2,000 distinct, the r-th most popular ~1900/r times; queries: the 400 most popular",
         zipf, distinct[:400]),
        (f"10,000 clustered + 50 of them {len(extra) // 50} times on average ({len(clustered):,} stored); "
         "queries: the 50 and 150 others", clustered, base[np.concatenate([heavy, others])]),
    ]


def true_distances(X, q, metric):
    X64, q64 = X.astype(np.float64), q.astype(np.float64)
    if metric == "l2":
        return np.sqrt(((X64 - q64) ** 2).sum(1))
    dots = X64 @ q64
    if metric == "ip":
        return -dots
    return 1.0 - dots / (np.linalg.norm(X64, axis=1) * np.linalg.norm(q64))


def repeat_quality(X, Q, metric, search):
    """Share of queries whose first hit is not a copy of the query, and
    recall@10 counted on distances (a hit counts when it is as near as the
    10th nearest stored vector: equally near copies are interchangeable)."""
    misses, recalls = 0, []
    for q in Q:
        hits = search(q)
        misses += not hits or not np.array_equal(X[hits[0]], q)
        d = true_distances(X, q, metric)
        tenth = np.partition(d, K - 1)[K - 1]
        slack = 1e-6 * max(1.0, abs(tenth))
        recalls.append(sum(d[h] <= tenth + slack for h in hits[:K]) / K)
    return misses / len(Q), float(np.mean(recalls))


def bench_repeats(table, rng):
    """Every library on the repeats suite under each distance type; returns
    (quality rows, identical-only rows), header first, and records both as
    tables of the report."""
    libs = libraries()
    names = list(libs)
    quality, identical = [], []
    worst = {lib: [0.0, 1.0, 128] for lib in libs}  # most misses, lowest recall, fewest hits per 128 expected
    for name, X, Q in repeats_suite(rng):
        for metric in REPEAT_METRICS:
            start = time.perf_counter()
            runs = {lib: [] for lib in libs}
            for b in range(BUILDS):
                for lib, build_fn in libs.items():
                    _, handle, search, _ = build_fn(X, metric, b)
                    runs[lib].append(repeat_quality(X, Q, metric, search))
                    del handle, search
                    gc.collect()
            print(f"repeats {metric} {name[:40]}: {time.perf_counter() - start:.0f} s", file=sys.stderr, flush=True)
            cells = []
            for lib in libs:
                miss, rec = zip(*runs[lib])
                worst[lib][0] = max(worst[lib][0], max(miss))
                worst[lib][1] = min(worst[lib][1], min(rec))
                cells.append(f"{max(miss):.3f} / {min(rec):.4f}")
            quality.append([name, metric] + cells)
            table.add(f"hnsw repeats {metric}", f"{name[:50]}...: halyard first-hit misses / recall@10 (worst build)",
                      cells[0], "", "goal: <= 0.02 / >= 0.98")
    vector = unit_rows(rng.standard_normal((1, 64), dtype=np.float32))[0]
    for copies in (40, 100, 400):
        X = np.repeat(vector[None, :], copies, axis=0)
        for m in (4, 16):
            for metric in REPEAT_METRICS:
                cells = []
                for lib, build_fn in libs.items():
                    hits = [len(set(build_fn(X, metric, b, m=m)[2](vector, 128))) for b in range(BUILDS)]
                    worst[lib][2] = min(worst[lib][2], min(hits) * 128 // min(copies, 128))
                    cells.append(f"{min(hits)}" if min(hits) == max(hits) else f"{min(hits)}-{max(hits)}")
                identical.append([f"{copies} copies, m={m}", metric] + cells)
                table.add(f"hnsw repeats {metric}", f"{copies} identical, m={m}: halyard hits for k=128",
                          cells[0], "", f"goal: {min(copies, 128)}")
    note_q = (f"Share of queries whose first hit is not a copy of the query / recall@10 counted on distances "
              f"(a hit counts when it is as near as the 10th nearest stored vector), worst of {BUILDS} builds; "
              f"m={M}, ef_construction={EF_CONSTRUCTION}, ef={EF_SEARCH}, one add per call, 64-d unit vectors, "
              "every query a stored vector.")
    note_i = f"Hits returned for k=128 by an index holding only copies of one vector (fewest-most over {BUILDS} builds)."
    peers = [lib for lib in names if lib != "halyard"]
    readme = []
    if peers:
        ours = worst["halyard"]
        best_miss = min(peers, key=lambda lib: worst[lib][0])
        best_rec = max(peers, key=lambda lib: worst[lib][1])
        best_hits = max(peers, key=lambda lib: worst[lib][2])
        readme.append([
            "HNSW, vectors stored many times, worst over data sets and distance types: first hit not a copy / "
            "recall@10 / hits for k=128 from identical copies, per 128 expected",
            f"{ours[0]:.3f} / {ours[1]:.3f} / {ours[2]}",
            f"best peer: {worst[best_miss][0]:.3f} ({best_miss}) / {worst[best_rec][1]:.3f} ({best_rec}) / "
            f"{worst[best_hits][2]} ({best_hits})", "m=16; identical copies: m=4 and 16"])
    record_table("vector index", "HNSW with repeated vectors: first-hit misses / recall@10",
                 ["data set", "distance"] + names, quality, note_q, readme)
    record_table("vector index", "HNSW with identical vectors only: hits for k=128", ["index", "distance"] + names,
                 identical, note_i)
    return [["data set", "distance"] + names] + quality, [["index", "distance"] + names] + identical


# ---- HNSW at scale: each library in a process of its own ------------------------------

SCALE_SIZES = (20_000, 100_000, 200_000)
SCALE_DIM, SCALE_QUERIES, SCALE_ROUNDS, SCALE_TURNS = 384, 500, 7, 20
SCALE_PEERS = ("hnswlib", "usearch", "faiss", EQUAL_WORK)
SCALE_DATA = ("sentence-embedding-like unit vectors: 300 topics of uneven popularity (the r-th most popular "
              "drawn in proportion to r^-0.7), each varying along 32 directions of its own, all sharing one "
              "common direction; two vectors of one topic mostly have cosine 0.4 to 0.8, unrelated ones about 0.09")
EQUAL_WORK_NOTE = ("“faiss, equal work” is faiss's HNSW index given Halyard's level distribution (each layer holds "
                   "1 / ln(m) of the nodes of the layer below instead of 1 / m: about 36% of the nodes sit above "
                   "layer 0 instead of 6%), so its build does the same number of layer searches as Halyard's and "
                   "the two build times compare equal work.")


def sentence_like(rng, n, nq, dim=SCALE_DIM, topics=300, rank=32):
    """n stored vectors and nq queries from the distribution SCALE_DATA
    describes (what a sentence-embedding model makes of a corpus)."""
    common = unit_rows(rng.standard_normal((1, dim), dtype=np.float32))[0]
    centres = unit_rows(rng.standard_normal((topics, dim), dtype=np.float32))
    popularity = 1.0 / np.arange(1, topics + 1) ** 0.7
    topic = rng.choice(topics, n + nq, p=popularity / popularity.sum())
    spread = rng.uniform(0.6, 1.1, topics).astype(np.float32)
    weights = (1.0 / np.sqrt(np.arange(1, rank + 1))).astype(np.float32)
    weights /= np.linalg.norm(weights)
    x = np.empty((n + nq, dim), np.float32)
    for t in range(topics):
        rows = np.flatnonzero(topic == t)
        directions = unit_rows(rng.standard_normal((rank, dim), dtype=np.float32))
        noise = (rng.standard_normal((len(rows), rank), dtype=np.float32) * weights) @ directions
        noise += 0.15 / np.sqrt(dim) * rng.standard_normal((len(rows), dim), dtype=np.float32)
        x[rows] = 0.4 * common + centres[t] + spread[t] * noise
    x = unit_rows(x)
    return x[:n], x[n:]


def reset_peak():
    """Starts the process's peak resident memory (VmHWM) again from its
    resident memory now."""
    with open("/proc/self/clear_refs", "w") as f:
        f.write("5")


def peak_bytes():
    with open("/proc/self/status") as f:
        return int(re.search(r"^VmHWM:\s+(\d+) kB", f.read(), re.M).group(1)) * 1024


class Turns:
    """A scale worker's side of taking turns: it says "turn" on stdout when
    it is ready for its next piece of work, and waits for "go" on stdin."""

    def __init__(self, count):
        self.count = count

    def slices(self, n):
        bounds = [n * t // self.count for t in range(self.count + 1)]
        return list(zip(bounds, bounds[1:]))

    def wait(self):
        print("turn", flush=True)
        if sys.stdin.readline().strip() != "go":
            raise SystemExit("scale worker: the parent went away")


BASELINE = "halyard, baseline"


def scale_libraries(baseline=None):
    """The scale rows' build functions; with `baseline` (another build of the
    extension module), that build too, under BASELINE."""
    libs = libraries(SCALE_PEERS)
    if not baseline:
        return libs
    other = {BASELINE: functools.partial(halyard_build, module=load_module(baseline, "halyard_baseline"))}
    return {"halyard": libs.pop("halyard")} | other | libs


def scale_worker(name, data, baseline):
    """Builds library `name`'s index over the vectors in directory `data` in
    this process, in SCALE_TURNS slices, then times SCALE_ROUNDS rounds of the
    queries, one round a turn. Everything after start-up runs in its turns,
    so no two workers ever run at once. Prints one JSON line at the end: build
    seconds, growth per vector of resident memory (after malloc_trim and
    before it) and of its peak, recall@10 and query seconds per call."""
    global _turns
    X, Q, truth = (np.load(data / f"{part}.npy") for part in ("X", "Q", "truth"))
    build_fn = scale_libraries(baseline)[name]
    row_ids(len(X))
    build_fn(X[:500], "cos", 0)  # code pages and one-time set-up, before the baseline
    before = rss_bytes()
    reset_peak()
    _turns = Turns(SCALE_TURNS)
    build, handle, search, _ = build_fn(X, "cos", 0)
    peak = peak_bytes() - before
    untrimmed = rss_bytes(trim=False) - before
    grown = rss_bytes() - before
    out = {"build": build, "memory": grown / len(X), "untrimmed": untrimmed / len(X), "peak": peak / len(X),
           "recall": recall([search(q) for q in Q], truth)}
    if faiss is not None and isinstance(handle, faiss.IndexHNSW):
        out["above_layer_0"] = float(np.mean(faiss.vector_to_array(handle.hnsw.levels) > 1))
    rounds = []
    for _ in range(SCALE_ROUNDS):
        _turns.wait()
        start = time.perf_counter()
        for q in Q:
            search(q)
        rounds.append((time.perf_counter() - start) / len(Q))
    out["query"] = statistics.median(rounds)
    print(json.dumps(out), flush=True)


def run_in_turns(names, data, modules):
    """scale_worker for each library, each in a child process, taking turns:
    one slice of a build or one round of queries at a time, the libraries in
    rotation, so that a change of machine load hits all of them alike. The
    results by name (None for a worker that failed)."""
    script = str(Path(__file__).resolve())
    children, results = {}, {}

    def next_turn(name):
        """Lets `name` run until it asks for its next turn or ends; at its
        end, its result is its last line of output."""
        child, last = children[name], ""
        for line in child.stdout:
            if line.strip() == "turn":
                return
            last = line.strip() or last
        child.wait()
        try:
            results[name] = json.loads(last) if child.returncode == 0 else None
        except ValueError:
            results[name] = None
        if results[name] is None:
            print(f"scale: {name} failed (exit code {child.returncode})", file=sys.stderr, flush=True)
        del children[name]

    start = time.perf_counter()
    for name in names:  # one at a time, so that start-up runs alone too
        command = [sys.executable, script, "--scale-worker", name, "--scale-data", str(data), *modules]
        children[name] = subprocess.Popen(command, stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
        next_turn(name)
    while children:
        for name in list(children):
            children[name].stdin.write("go\n")
            children[name].stdin.flush()
            next_turn(name)
    print(f"scale: {len(names)} libraries, {time.perf_counter() - start:.0f} s", file=sys.stderr, flush=True)
    return results


def bench_scale(table, sizes, halyard_module=None, baseline=None):
    """Every library builds an index of each size over the same data, each in
    a process of its own so that the memory it grows is its own, the processes
    taking turns. Returns the printed rows, header first, and records times
    and a table of figures."""
    names = list(scale_libraries(baseline))
    X, Q = sentence_like(np.random.default_rng(20261209), max(sizes), SCALE_QUERIES)
    results = {}
    with tempfile.TemporaryDirectory(prefix="halyard-scale-") as tmp:
        data = Path(tmp)
        np.save(data / "Q.npy", Q)
        for n in sizes:
            np.save(data / "X.npy", X[:n])
            np.save(data / "truth.npy", exact_top(X[:n], Q, "cos"))
            print(f"scale: {n:,} x {SCALE_DIM} ...", file=sys.stderr, flush=True)
            modules = [f"--{option}-module={path}" for option, path in (("halyard", halyard_module),
                                                                     ("baseline", baseline)) if path]
            for name, result in run_in_turns(names, data, modules).items():
                results[n, name] = result
    del X
    rows, readme, shares = [], [], {}
    for n in sizes:
        got = {name: results[n, name] for name in names if results[n, name] is not None}
        for name, r in got.items():
            rows.append([f"{n:,}", name, fmt_time(r["build"]), fmt_time(r["query"]), f"{r['recall']:.4f}",
                         f"{r['memory']:,.0f} B", f"{r['untrimmed']:,.0f} B", f"{r['peak']:,.0f} B"])
            if "above_layer_0" in r:
                shares.setdefault(name, []).append(r["above_layer_0"])
        ours, peers = got.get("halyard"), [name for name in got if name not in ("halyard", BASELINE)]
        if ours is None or not peers:
            continue
        section = f"hnsw scale {n:,}x{SCALE_DIM} cos"
        if BASELINE in got:
            base = got[BASELINE]
            for what, key, unit in (("build", "build", fmt_time), ("query", "query", fmt_time),
                                    ("memory per vector", "memory", lambda b: f"{b:,.0f} B")):
                table.add(section, f"{what}, vs {BASELINE}", f"{unit(ours[key])} vs {unit(base[key])}",
                          ratio(base[key], ours[key]), "goal: >= 1.00x")
        equal = [p for p in peers if got[p]["recall"] >= ours["recall"] - 0.002]
        rival = min(equal or peers, key=lambda p: got[p]["query"])
        table.add(section, f"query, vs fastest peer at equal recall ±0.002 ({rival})",
                  f"{fmt_time(ours['query'])} vs {fmt_time(got[rival]['query'])}",
                  ratio(got[rival]["query"], ours["query"]), "goal: >= 1.15x")
        if EQUAL_WORK in got:
            table.add(section, f"build, vs {EQUAL_WORK}", f"{fmt_time(ours['build'])} vs "
                      f"{fmt_time(got[EQUAL_WORK]['build'])}", ratio(got[EQUAL_WORK]["build"], ours["build"]),
                      "goal: >= 1.00x")
        least = min(peers, key=lambda p: got[p]["memory"])
        if "hnswlib" in got:
            table.add(section, "memory per vector, vs hnswlib", f"{ours['memory']:,.0f} B vs "
                      f"{got['hnswlib']['memory']:,.0f} B", ratio(got["hnswlib"]["memory"], ours["memory"]),
                      "goal: >= 1.00x")
            others = f"hnswlib {got['hnswlib']['memory']:,.0f} B" + (
                f"; least: {least} {got[least]['memory']:,.0f} B" if least != "hnswlib" else "")
        else:
            others = f"least: {least} {got[least]['memory']:,.0f} B"
        readme.append([f"HNSW resident memory per vector, {n:,} x {SCALE_DIM}, Cosine", f"{ours['memory']:,.0f} B",
                       others, f"raw vector {SCALE_DIM * 4:,} B; peak during the build {ours['peak']:,.0f} B"])
        last = n == max(sizes)
        for p in peers:
            record("vector index", f"HNSW build, sentence-like, {n:,}x{SCALE_DIM}, Cosine, m=16, ef_construction=200, "
                   "1 add/call, own process", ours["build"], p, got[p]["build"],
                   f"memory per vector halyard {ours['memory']:,.0f} B, {p} {got[p]['memory']:,.0f} B",
                   headline=last and p == EQUAL_WORK)
            record("vector index", f"HNSW search ef=128 k=10, sentence-like, {n:,}x{SCALE_DIM}, Cosine",
                   ours["query"], p, got[p]["query"],
                   f"recall@10 halyard {ours['recall']:.4f}, {p} {got[p]['recall']:.4f}", headline=last and p == rival)
    levels = "; ".join(f"{name}: {min(v):.1%} to {max(v):.1%} of the nodes above layer 0" for name, v in shares.items())
    note = (f"Data: {SCALE_DATA}. {SCALE_QUERIES} queries from the same distribution; m={M}, "
            f"ef_construction={EF_CONSTRUCTION}, ef={EF_SEARCH}, k={K}, one add and one query per call, "
            "single-threaded, one build per library in a process of its own, the processes taking turns ("
            f"1/{SCALE_TURNS} of a build or a round of the queries at a time). Memory per vector: growth of the "
            "process's resident memory over the build (after garbage collection and malloc_trim), divided by N; "
            "before trim: the same without malloc_trim, so heap blocks freed during the build still count, as in a "
            "process that never trims; peak: growth of its peak resident memory (VmHWM) during the build. "
            "Query: median of "
            f"{SCALE_ROUNDS} rounds over the queries. {EQUAL_WORK_NOTE}" + (f" Measured: {levels}." if levels else ""))
    header = ["N", "library", "build", "query", "recall@10", "memory per vector", "before trim", "peak"]
    record_table("vector index", f"HNSW at scale: {SCALE_DIM}-d sentence-like vectors, Cosine", header, rows,
                 note, readme, readme_note=EQUAL_WORK_NOTE)
    if levels:
        print(f"scale: {levels}", file=sys.stderr, flush=True)
    return [header] + rows


def print_rows(rows):
    widths = [max(len(str(r[i])) for r in rows) for i in range(len(rows[0]))]
    line = "  ".join("{:<%d}" % w for w in widths)
    print(line.format(*rows[0]))
    print("  ".join("-" * w for w in widths))
    for r in rows[1:]:
        print(line.format(*r))


def print_matrix(matrix):
    head = ("data set", "library", f"recall@10 (mean ±spread, {BUILDS} builds)", "build", "query", "memory/vector")
    widths = [max(len(str(r[i])) for r in matrix + [head]) for i in range(len(head))]
    line = "  ".join("{:<%d}" % w for w in widths)
    print(line.format(*head))
    print("  ".join("-" * w for w in widths))
    last = None
    for r in matrix:
        print(line.format(*(("",) + r[1:] if r[0] == last else r)))
        last = r[0]


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="smaller data for a smoke run")
    parser.add_argument("--hnsw-only", action="store_true", help="skip the flat index")
    parser.add_argument("--repeats-only", action="store_true", help="only the data sets of repeated vectors")
    parser.add_argument("--scale-sizes", type=lambda text: [int(n) for n in text.split(",")], metavar="N,N,...",
                        help=f"sizes of the scale rows (default {','.join(map(str, SCALE_SIZES))}; "
                        "a twentieth of them with --quick)")
    parser.add_argument("--skip-scale", action="store_true", help="skip the scale rows")
    parser.add_argument("--scale-only", action="store_true", help="only the scale rows")
    parser.add_argument("--halyard-module", type=Path, metavar="SO",
                        help="benchmark this build of the extension module instead of the installed one")
    parser.add_argument("--baseline-module", type=Path, metavar="SO",
                        help=f"add this build of the extension module to the scale rows, as \"{BASELINE}\"")
    parser.add_argument("--scale-worker", help=argparse.SUPPRESS)
    parser.add_argument("--scale-data", type=Path, help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.halyard_module:
        global hy
        hy = load_module(args.halyard_module, "halyard_other")
    if args.scale_worker:
        return scale_worker(args.scale_worker, args.scale_data, args.baseline_module)
    scale = 10 if args.quick else 1
    sizes = args.scale_sizes or [n // (20 if args.quick else 1) for n in SCALE_SIZES]

    print(f"machine: {platform.machine()}, {os.cpu_count()} logical CPUs, {platform.platform()}")
    print(f"python {platform.python_version()}, numpy {np.__version__}", end="")
    print(f", faiss {faiss.__version__ if faiss else 'missing'}, hnswlib {'present' if hnswlib else 'missing'}, "
          f"usearch {usearch.__version__ if usearch else 'missing'}, voyager {'present' if voyager else 'missing'}")
    print(f"halyard module: {hy.__file__}")
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
    suites = not args.scale_only
    if suites and not (args.hnsw_only or args.repeats_only):
        bench_flat(table, rng, 200_000 // scale, 384, 40)
    matrix = bench_hnsw(table, rng, 20_000 // scale, 500, 200) if suites and not args.repeats_only else []
    repeats = bench_repeats(table, np.random.default_rng(20261208)) if suites else ()
    at_scale = None if args.skip_scale or args.repeats_only else bench_scale(table, sizes, args.halyard_module, args.baseline_module)
    table.print()
    print()
    if matrix:
        print_matrix(matrix)
        print()
    for rows in (*repeats, at_scale):
        if rows:
            print_rows(rows)
            print()


if __name__ == "__main__":
    main()
