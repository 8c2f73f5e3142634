"""Memory records and outcome statistics: Halyard against plain Python.

The plain Python version has the same copy semantics: dataclass records in a
dict, embeddings copied with NumPy on the way in and out, and a Welford update
written in Python. Both run in this process on the same data.

    PYTHONPATH=python python3 benchmarks/bench_memory.py [--records N] [--dim D]
"""

from __future__ import annotations

import argparse
import gc
import math
import os
import time
from dataclasses import dataclass, field

import numpy as np

from halyard._halyard_rs import InMemoryStore, MemoryRecord, OutcomeStats

from _results import record

# ---- the plain Python implementation ----------------------------------------------


@dataclass
class PyStats:
    count: int = 0
    mean: float = 0.0
    m2: float = 0.0
    min: float = math.inf
    max: float = -math.inf

    def update(self, x: float) -> None:
        self.count += 1
        delta = x - self.mean
        self.mean += delta / self.count
        self.m2 += delta * (x - self.mean)
        if x < self.min:
            self.min = x
        if x > self.max:
            self.max = x

    def copy(self) -> "PyStats":
        return PyStats(self.count, self.mean, self.m2, self.min, self.max)


@dataclass
class PyRecord:
    id: str
    embedding: np.ndarray
    context: str
    outcome: float
    metadata: dict = field(default_factory=dict)
    created_at: int = 0
    stats: PyStats = field(default_factory=PyStats)

    def copy(self) -> "PyRecord":
        return PyRecord(self.id, self.embedding.copy(), self.context, self.outcome, dict(self.metadata),
                        self.created_at, self.stats.copy())


class PyStore:
    def __init__(self) -> None:
        self.records: dict[str, PyRecord] = {}
        self.memory_bytes = 0

    def insert(self, record: PyRecord) -> None:
        if record.id in self.records:
            raise RuntimeError(f"Duplicate record: {record.id}")
        self.records[record.id] = record.copy()
        self.memory_bytes += (len(record.id.encode()) + len(record.context.encode()) + 4 * len(record.embedding)
                              + 64 * len(record.metadata) + 248)

    def get(self, id: str) -> PyRecord | None:
        record = self.records.get(id)
        return None if record is None else record.copy()

    def update_stats(self, id: str, outcome: float) -> None:
        record = self.records.get(id)
        if record is None:
            raise RuntimeError(f"Record not found: {id}")
        record.stats.update(outcome)


# ---- measurement helpers -------------------------------------------------------------


def rss_bytes() -> int:
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def per_call_us(run, calls: int, repeats: int = 3) -> float:
    best = math.inf
    for _ in range(repeats):
        gc.collect()
        start = time.perf_counter()
        run()
        best = min(best, time.perf_counter() - start)
    return best / calls * 1e6


def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("--records", type=int, default=100_000)
    parser.add_argument("--dim", type=int, default=384)
    args = parser.parse_args()
    n, dim = args.records, args.dim

    rng = np.random.default_rng(7)
    embeddings = rng.standard_normal((n, dim), dtype=np.float32)
    ids = [f"rec-{i:07d}" for i in range(n)]
    contexts = [f"user asked about topic {i % 97} in session {i // 50}" for i in range(n)]
    outcomes = rng.random(n).tolist()
    raw = embeddings.nbytes + sum(len(s.encode()) for s in ids) + sum(len(s.encode()) for s in contexts)

    # Resident memory of a full store: records are made one at a time and dropped after insert.
    gc.collect()
    before = rss_bytes()
    store = InMemoryStore()
    for i in range(n):
        store.insert(MemoryRecord(ids[i], embeddings[i], contexts[i], outcomes[i]))
    gc.collect()
    halyard_rss = rss_bytes() - before
    estimate = store.memory_bytes
    before = rss_bytes()
    py_store = PyStore()
    for i in range(n):
        py_store.insert(PyRecord(ids[i], embeddings[i], contexts[i], outcomes[i]))
    gc.collect()
    python_rss = rss_bytes() - before
    del store, py_store
    gc.collect()

    # Per-call costs.
    rows = []

    values = outcomes
    stats = OutcomeStats()
    py_stats = PyStats()

    def h_update():
        update = stats.update_scalar
        for v in values:
            update(v)

    def p_update():
        update = py_stats.update
        for v in values:
            update(v)

    rows.append(("OutcomeStats.update_scalar", per_call_us(h_update, n), per_call_us(p_update, n)))

    records = [MemoryRecord(ids[i], embeddings[i], contexts[i], outcomes[i]) for i in range(n)]
    py_records = [PyRecord(ids[i], embeddings[i], contexts[i], outcomes[i]) for i in range(n)]
    stores = {}

    def h_insert():
        s = stores["h"] = InMemoryStore()
        insert = s.insert
        for r in records:
            insert(r)

    def p_insert():
        s = stores["p"] = PyStore()
        insert = s.insert
        for r in py_records:
            insert(r)

    rows.append(("InMemoryStore.insert", per_call_us(h_insert, n), per_call_us(p_insert, n)))
    del records, py_records
    h_store, p_store = stores["h"], stores["p"]
    order = [ids[i] for i in rng.permutation(n)]

    def h_get():
        get = h_store.get
        for i in order:
            get(i)

    def p_get():
        get = p_store.get
        for i in order:
            get(i)

    rows.append(("InMemoryStore.get", per_call_us(h_get, n), per_call_us(p_get, n)))

    def h_stats():
        update = h_store.update_stats
        for i, v in zip(order, values):
            update(i, v)

    def p_stats():
        update = p_store.update_stats
        for i, v in zip(order, values):
            update(i, v)

    rows.append(("InMemoryStore.update_stats", per_call_us(h_stats, n), per_call_us(p_stats, n)))

    print(f"Memory records: {n:,} records of {dim} float32 components (machine shared, numbers noisy)")
    print()
    print(f"{'operation':<30}{'halyard us/call':>17}{'python us/call':>17}{'speed-up':>10}{'goal':>8}")
    ratio = halyard_rss / raw
    for name, h, p in rows:
        speedup = p / h
        print(f"{name:<30}{h:>17.3f}{p:>17.3f}{speedup:>9.1f}x{'ok' if speedup >= 2 else 'MISS':>8}")
        note = ""
        if name == "InMemoryStore.insert":
            note = (f"resident memory of a full store: halyard {ratio:.2f}x the raw data, "
                    f"plain Python {python_rss / raw:.2f}x")
        record("memory records", f"{name} ({n:,} calls, {dim}-dim)", h * 1e-6,
               "plain Python (dataclasses in a dict)", p * 1e-6, note, headline=name == "InMemoryStore.get")
    print()
    print(f"{'raw embeddings + ids + contexts':<40}{raw / 2**20:>10.1f} MiB")
    print(f"{'halyard store, resident':<40}{halyard_rss / 2**20:>10.1f} MiB  {ratio:.2f}x raw  "
          f"(goal <= 1.30x: {'ok' if ratio <= 1.3 else 'MISS'})")
    print(f"{'halyard store, memory_bytes estimate':<40}{estimate / 2**20:>10.1f} MiB  {estimate / raw:.2f}x raw")
    print(f"{'plain Python store, resident':<40}{python_rss / 2**20:>10.1f} MiB  {python_rss / raw:.2f}x raw")


if __name__ == "__main__":
    main()
