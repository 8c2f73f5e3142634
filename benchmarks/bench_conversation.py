"""Conversation structure at scale: building branches, splitting, finding lost branches.

Run: PYTHONPATH=python python3 benchmarks/bench_conversation.py [--repeats N]

For each size (250k, 500k, 1M turns) prints the best wall time of:
  from_edges (chain)       building the 1-line graph from a list of edges (for context)
  from_graph (chain)       BranchStateMachine.from_graph on a single line of turns
  from_graph (bushy tree)  the same on a complete ternary tree (every inner turn is a fork,
                           so nearly every turn starts a branch of its own)
  split (chain, middle)    splitting the single line at its middle turn (a fresh machine each time)
  find_recoverable (10k)   BranchResolver.find_recoverable_branches on the bushy tree with
                           10,000 archived branches
and the ratio of each time to the time at 250k (linear growth: 2.0 at 500k, 4.0 at 1M).
Goal: every time under 2 s at 1M.
"""

import argparse
import gc
import time

from halyard import _halyard_rs as h

from _results import record

C = h.EdgeType.Continuation
SIZES = [250_000, 500_000, 1_000_000]


def best_of(repeats, setup, run):
    best = float("inf")
    for _ in range(repeats):
        state = setup()
        gc.collect()
        t = time.perf_counter()
        result = run(state)
        best = min(best, time.perf_counter() - t)
        del state, result  # freeing is not part of the timed call
    return best


def chain_edges(n):
    return [(i, i + 1, C) for i in range(n - 1)]


def tree_edges(n):
    return [((i - 1) // 3, i, C) for i in range(1, n)]


def measure(n, repeats):
    rows = {}
    edges = chain_edges(n)
    rows["from_edges (chain)"] = best_of(repeats, lambda: None, lambda _: h.TrajectoryGraph.from_edges(edges))
    chain = h.TrajectoryGraph.from_edges(edges)
    del edges
    rows["from_graph (chain)"] = best_of(repeats, lambda: None, lambda _: h.BranchStateMachine.from_graph(chain))
    rows["split (chain, middle)"] = best_of(
        repeats, lambda: h.BranchStateMachine.from_graph(chain), lambda m: m.split(n // 2)
    )
    del chain

    tree = h.TrajectoryGraph.from_edges(tree_edges(n))
    rows["from_graph (bushy tree)"] = best_of(repeats, lambda: None, lambda _: h.BranchStateMachine.from_graph(tree))
    m = h.BranchStateMachine.from_graph(tree)
    for b in range(1, 10_001):
        m.archive(b)
    rows["find_recoverable (10k)"] = best_of(
        repeats, lambda: None, lambda _: h.BranchResolver.find_recoverable_branches(m)
    )
    assert len(h.BranchResolver.find_recoverable_branches(m)) == 10_000
    return rows, m.branch_count


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--repeats", type=int, default=3)
    args = parser.parse_args()

    results = {}
    branches = {}
    for n in SIZES:
        results[n], branches[n] = measure(n, args.repeats)
        gc.collect()

    names = list(results[SIZES[0]])
    head = f"{'operation':<26}" + "".join(f"{f'{n // 1000}k (s)':>12}" for n in SIZES)
    head += "".join(f"{f'x{n // 1000}k/250k':>13}" for n in SIZES[1:]) + f"{'ns/turn @1M':>13}"
    print(f"Conversation structure, best of {args.repeats} (bushy tree branches: "
          + ", ".join(f"{branches[n]:,}" for n in SIZES) + ")")
    print(head)
    print("-" * len(head))
    for name in names:
        line = f"{name:<26}" + "".join(f"{results[n][name]:>12.3f}" for n in SIZES)
        base = results[SIZES[0]][name]
        line += "".join(f"{results[n][name] / base:>13.2f}" for n in SIZES[1:])
        line += f"{results[SIZES[-1]][name] / SIZES[-1] * 1e9:>13.0f}"
        print(line)
        largest = SIZES[-1]
        record("conversation structure", f"{name}, {largest // 1000:,}k turns", results[largest][name],
               note=f"no counterpart to compare with; {results[largest][name] / base:.2f}x the time at "
                    f"{SIZES[0] // 1000}k turns (linear: {largest / SIZES[0]:.1f}x); goal under 2 s",
               headline=name == "from_graph (bushy tree)")
    worst = max(results[SIZES[-1]].values())
    print(f"\nslowest at 1M: {worst:.3f} s (goal: under 2 s)")


if __name__ == "__main__":
    main()
