"""Several Python threads on their own and on shared objects.

Each scenario runs in a fresh interpreter with a timeout, so a crash or a
deadlock (a thread stuck while holding the interpreter lock would also hang
the joins) fails the test instead of taking pytest down with it. Results
computed by threads are compared with the same calls made on one thread.

Every call keeps the interpreter lock, so two threads are inside one object
at the same time only when a conversion hook of an argument runs Python
code that lets another thread in; the borrow scenarios arrange exactly
that, and the conflicting call must fail at once with RuntimeError.
"""

import os
import subprocess
import sys
import threading

import numpy as np
import pytest

HERE = os.path.dirname(os.path.abspath(__file__))
JOIN_TIMEOUT = 60


def run_scenario(name, timeout=180, env=None):
    full_env = dict(os.environ)
    full_env.update(env or {})
    code = f"import sys; sys.path.insert(0, {HERE!r}); import test_threads; test_threads.{name}(); print('ok')"
    done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=timeout, env=full_env)
    assert done.returncode == 0, done.stdout[-2000:] + done.stderr[-4000:]
    assert done.stdout.strip().endswith("ok")


def run_threads(targets):
    """Start every target together; re-raise the first failure of any thread."""
    barrier = threading.Barrier(len(targets))
    errors = []

    def wrap(fn):
        def body():
            try:
                barrier.wait(JOIN_TIMEOUT)
                fn()
            except BaseException as e:  # noqa: B036 - report anything, including internal failures
                errors.append(e)

        return body

    threads = [threading.Thread(target=wrap(fn), daemon=True) for fn in targets]
    for t in threads:
        t.start()
    for t in threads:
        t.join(JOIN_TIMEOUT)
    assert not any(t.is_alive() for t in threads), "a thread did not finish: deadlock?"
    if errors:
        raise errors[0]


def hits(results):
    return [(r.id, r.distance, r.score) for r in results]


# ---- scenarios (each runs in its own interpreter) ---------------------------------------------


def flat_searches():
    """Searches over more than 1000 entries (scored on the worker pool) from
    several threads, on a shared index and on per-thread indexes, while other
    threads keep the interpreter busy with plain Python work."""
    import halyard as hy

    rng = np.random.default_rng(5)
    X = rng.standard_normal((6000, 16)).astype(np.float32)
    queries = rng.standard_normal((40, 16)).astype(np.float32)
    shared = []  # (distance type, index, expected results)
    for kind in (hy.DistanceType.L2, hy.DistanceType.Cosine, hy.DistanceType.InnerProduct):
        index = hy.FlatIndex(16, kind)
        for i, row in enumerate(X):
            index.add(f"v{i}", row)
        shared.append((kind, index, [hits(index.search(q, 10)) for q in queries]))

    def searcher(seed):
        def run():
            order = np.random.default_rng(seed).permutation(len(queries))
            for round_ in range(3):
                for _, index, expected in shared:
                    for j in order:
                        assert hits(index.search(queries[j], 10)) == expected[j]
        return run

    def own_index(seed):
        def run():
            local = np.random.default_rng(seed).standard_normal((1500, 16)).astype(np.float32)
            index = hy.FlatIndex(16)
            for i, row in enumerate(local):
                index.add(str(i), row)
            for q in queries[:10]:
                got = [int(r.id) for r in index.search(q, 5)]
                d = ((local - q) ** 2).sum(axis=1)
                assert sorted(d[got].tolist()) == pytest.approx(np.sort(d)[:5].tolist(), rel=1e-4)
                index.remove(str(got[0]))
                assert not index.contains(str(got[0]))
        return run

    def busy():
        total = 0
        for i in range(300_000):
            total += i % 7
        assert total > 0

    run_threads([searcher(s) for s in range(4)] + [own_index(s) for s in range(2)] + [busy, busy])


def hnsw_searches():
    """HNSW searches on a shared index and indexes built concurrently by
    several threads (the level generator has its own lock)."""
    import halyard as hy

    rng = np.random.default_rng(6)
    X = rng.standard_normal((3000, 8)).astype(np.float32)
    queries = rng.standard_normal((50, 8)).astype(np.float32)
    shared = hy.HNSWIndex(8, 8, 64)
    for i, row in enumerate(X):
        shared.add(f"v{i}", row)
    for i in range(0, 3000, 10):
        shared.remove(f"v{i}")
    expected = [hits(shared.search(q, 10)) for q in queries]

    def searcher():
        for _ in range(5):
            for q, want in zip(queries, expected):
                assert hits(shared.search(q, 10)) == want

    def builder(seed):
        def run():
            local = np.random.default_rng(seed).standard_normal((800, 8)).astype(np.float32)
            index = hy.HNSWIndex(8, 6, 32)
            for i, row in enumerate(local):
                index.add(str(i), row)
            for i in range(0, 800, 3):
                assert index.remove(str(i))
            assert index.len == 800 - 267
            for q in queries[:10]:
                found = index.search(q, 5)
                assert len(found) == 5 and all(int(r.id) % 3 for r in found)
        return run

    run_threads([searcher, searcher, searcher, builder(1), builder(2)])


def chain_ids():
    """Generated chain ids are unique across threads and managers."""
    import halyard as hy

    shared = hy.ChainManager()
    per_thread = 150  # six threads stay below the 1000 chains one manager may hold
    results = []
    lock = threading.Lock()

    def creator():
        own = hy.ChainManager()
        made = []
        for i in range(per_thread):
            made.append(own.create_chain())
            made.append(shared.create_chain())
            if i % 50 == 0:
                own.delete_chain(made[-2])  # deleting does not hand an id out again
        with lock:
            results.extend(made)

    run_threads([creator] * 6)
    assert len(results) == 6 * per_thread * 2
    assert len(set(results)) == len(results)
    assert shared.chain_count == 6 * per_thread
    assert sorted(shared.chain_ids()) == sorted(r for r in results if shared.contains(r))
    counters = sorted(int(r.rsplit("_", 1)[1], 16) for r in results)
    assert counters == list(range(counters[0], counters[0] + len(results)))  # one process-wide counter


class Handoff:
    """An index/float argument whose conversion lets another thread run a call
    on the same object, then waits for it to finish (releasing the
    interpreter lock while it waits)."""

    def __init__(self, value):
        self.value = value
        self.inside = threading.Event()
        self.done = threading.Event()

    def _wait(self):
        self.inside.set()
        assert self.done.wait(JOIN_TIMEOUT), "the other thread never finished"

    def __index__(self):
        self._wait()
        return self.value

    def __float__(self):
        self._wait()
        return float(self.value)


def cross_thread_borrows():
    """A second thread meets the borrow held by a call that is half way
    through its argument conversion on the first thread: the second thread's
    call fails at once with RuntimeError, the first call completes normally,
    and the object is consistent afterwards."""
    import halyard as hy

    c5 = hy.TrajectoryCoordinate5D.root()

    def conflict(holder_call, other_call, message):
        handoff = Handoff(holder_call[1])
        outcome = {}

        def holder():
            outcome["holder"] = holder_call[0](handoff)

        def other():
            assert handoff.inside.wait(JOIN_TIMEOUT)
            try:
                other_call()
            except RuntimeError as e:
                outcome["other"] = str(e)
            finally:
                handoff.done.set()

        run_threads([holder, other])
        assert outcome["other"] == message, outcome
        return outcome["holder"]

    # An exclusive borrow (update_scalar) blocks readers.
    stats = hy.OutcomeStats()
    conflict((lambda x: stats.update_scalar(x), 2.0), lambda: stats.count, "Already mutably borrowed")
    assert stats.count == 1 and stats.mean_scalar == 2.0

    # A shared borrow (search over the worker pool) blocks writers but not readers.
    rng = np.random.default_rng(1)
    index = hy.FlatIndex(8)
    X = rng.standard_normal((1500, 8)).astype(np.float32)
    for i, row in enumerate(X):
        index.add(str(i), row)
    expected = hits(index.search(X[3], 7))
    got = conflict((lambda k: index.search(X[3], k), 7), lambda: index.add("new", X[0]), "Already borrowed")
    assert hits(got) == expected and not index.contains("new") and index.len == 1500
    readers = {}
    handoff = Handoff(7)

    def holder():
        readers["holder"] = hits(index.search(X[3], handoff))

    def reader():
        assert handoff.inside.wait(JOIN_TIMEOUT)
        try:
            readers["reader"] = hits(index.search(X[3], 7))  # shared + shared: allowed
        finally:
            handoff.done.set()

    run_threads([holder, reader])
    assert readers["holder"] == readers["reader"] == expected

    # Exclusive against exclusive, on a conversation tree and a chain manager.
    tree = hy.CoordinateTree()
    tree.add_node(0, None, c5)
    conflict((lambda p: tree.add_node(1, p, c5), 0), lambda: tree.add_node(2, 0, c5), "Already borrowed")
    assert tree.len == 2 and tree.preorder() == [0, 1]
    g = hy.TrajectoryGraph.from_edges([(i, i + 1, hy.EdgeType.Continuation) for i in range(10)])
    machine = hy.BranchStateMachine.from_graph(g)
    conflict((lambda n: machine.split(n), 5), lambda: machine.traverse(0), "Already borrowed")
    assert machine.branch_count == 2 and machine.find_branch_for_node(7) == 1
    hnsw = hy.HNSWIndex(8, 4, 16)
    for i, row in enumerate(X[:100]):
        hnsw.add(str(i), row)
    conflict((lambda k: hnsw.search(X[5], k), 3), lambda: hnsw.remove("5"), "Already borrowed")
    assert hnsw.contains("5") and hnsw.search(X[5], 1)[0].id == "5"


class CallBack:
    """A number whose conversion calls back into the object being used, on
    the same thread; records what the callback met."""

    def __init__(self, action, value):
        self.action = action
        self.value = value
        self.met = None

    def _run(self):
        try:
            self.action()
            self.met = "ok"
        except RuntimeError as e:
            self.met = str(e)

    def __index__(self):
        self._run()
        return self.value

    def __float__(self):
        self._run()
        return float(self.value)


def reentrant_borrows():
    """Conversion hooks that call back into the target on the same thread,
    from several threads at once, each on its own objects."""
    import halyard as hy

    c5 = hy.TrajectoryCoordinate5D.root()

    def work(seed):
        def run():
            for _ in range(200):
                stats = hy.OutcomeStats()
                hook = CallBack(lambda: stats.count, 1.5)
                stats.update_scalar(hook)  # exclusive, reader inside
                assert hook.met == "Already mutably borrowed" and stats.count == 1

                index = hy.FlatIndex(2)
                index.add("a", np.array([1, 0], np.float32))
                hook = CallBack(lambda: index.remove("a"), 1)
                assert [r.id for r in index.search(np.array([1, 0], np.float32), hook)] == ["a"]
                assert hook.met == "Already borrowed" and index.contains("a")
                hook = CallBack(lambda: index.len, 1)
                index.search(np.array([1, 0], np.float32), hook)
                assert hook.met == "ok"  # shared inside shared

                ring = hy.Ring()
                hook = CallBack(lambda: ring.push(9, c5), 3)
                ring.push(hook, c5)
                assert hook.met == "Already borrowed" and ring.len == 1 and ring.get(0)[0] == 3

                cm = hy.ChainManager()
                graph = hy.TrajectoryGraph.from_edges([(1, 2, hy.EdgeType.Continuation)])
                cm.create_chain_from_graph(graph, "c")
                hook = CallBack(lambda: cm.create_chain("d"), 2)
                cm.split_chain("c", hook)
                assert hook.met == "Already borrowed" and cm.chain_count == 1 and not cm.contains("d")

                # The hook's conversion fails inside the conflicting call: the
                # outer call fails too and changes nothing.
                store = hy.InMemoryStore()
                store.insert(hy.MemoryRecord("r", np.ones(2, np.float32), "", 0.0))

                class Raising:
                    def __float__(self):
                        store.remove("r")
                        return 1.0

                with pytest.raises(RuntimeError, match="^Already borrowed$"):
                    store.update_stats("r", Raising())
                assert store.contains("r") and store.get("r").stats.count == 0
        return run

    run_threads([work(s) for s in range(4)])


def pool_under_thread_churn():
    """Flat searches from threads that start and end while others search;
    results match the single-threaded ones whatever the pool size."""
    import halyard as hy

    rng = np.random.default_rng(9)
    X = rng.standard_normal((2500, 12)).astype(np.float32)
    index = hy.FlatIndex(12, hy.DistanceType.Cosine)
    for i, row in enumerate(X):
        index.add(str(i), row)
    queries = X[:20] + 0.01
    expected = [hits(index.search(q, 25)) for q in queries]

    def one_pass():
        for q, want in zip(queries, expected):
            assert hits(index.search(q, 25)) == want

    for _ in range(6):
        run_threads([one_pass] * 3)


def exit_while_searching():
    """The interpreter exits while daemon threads are in the middle of pool
    searches and HNSW inserts: the process ends cleanly."""
    import halyard as hy

    rng = np.random.default_rng(2)
    X = rng.standard_normal((3000, 8)).astype(np.float32)
    flat = hy.FlatIndex(8)
    for i, row in enumerate(X):
        flat.add(str(i), row)
    started = threading.Barrier(5)

    def search_forever():
        started.wait()
        while True:
            flat.search(X[0], 5)

    def insert_forever(seed):
        index = hy.HNSWIndex(8, 4, 16)
        started.wait()
        i = 0
        while True:
            index.add(f"{seed}-{i}", X[i % 3000])
            i += 1

    for target, args in ((search_forever, ()), (search_forever, ()), (insert_forever, (1,)), (insert_forever, (2,))):
        threading.Thread(target=target, args=args, daemon=True).start()
    started.wait()


# ---- tests ------------------------------------------------------------------------------------


@pytest.mark.parametrize("name", ["flat_searches", "hnsw_searches", "chain_ids", "cross_thread_borrows",
                                  "reentrant_borrows", "exit_while_searching"])
def test_threads(name):
    run_scenario(name)


@pytest.mark.parametrize("workers", ["1", "3"])
def test_worker_pool_sizes_under_many_callers(workers):
    run_scenario("pool_under_thread_churn", env={"RAYON_NUM_THREADS": workers})
