"""A/B run of the HNSW index: this working tree's build against another build
of the module, on the index benchmark's HNSW data suite, in one process with
the builds interleaved (the machine's drift hits both alike).

    PYTHONPATH=python python tools/ab_hnsw.py /path/to/other/_halyard_rs.abi3.so [--quick]

Prints recall@10 (mean and spread over the builds), fastest build and query
time per call for each data set, and the ratios of this tree to the other.
"""

import argparse
import functools
import sys
from pathlib import Path

import numpy as np

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "benchmarks"))
import bench_index as bench  # noqa: E402
import halyard  # noqa: E402


def builder(module):
    return functools.partial(bench.halyard_build, module=module)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("baseline", type=Path, help="the other build's extension module file")
    parser.add_argument("--quick", action="store_true", help="a tenth of the data")
    args = parser.parse_args()
    libs = {"baseline": builder(bench.load_module(args.baseline, "halyard_baseline")),
            "tree": builder(halyard._halyard_rs)}
    n = 2_000 if args.quick else 20_000
    rows = []
    for case in bench.suite(np.random.default_rng(20251207), n, 500):
        stats = bench.run_case(case, libs, 200)
        base, tree = stats["baseline"], stats["tree"]
        for label in tree.recall:
            rows.append((label, base.recall_text(label), tree.recall_text(label),
                         f"{min(base.build):.2f} s", f"{min(tree.build):.2f} s",
                         f"{min(base.build) / min(tree.build):.3f}",
                         bench.fmt_time(base.query[label]), bench.fmt_time(tree.query[label]),
                         f"{base.query[label] / tree.query[label]:.3f}"))
        print(f"{case.name}: done", file=sys.stderr, flush=True)
    head = ("data set", "recall baseline", "recall tree", "build baseline", "build tree", "build ratio",
            "query baseline", "query tree", "query ratio")
    print("| " + " | ".join(head) + " |")
    print("|" + "---|" * len(head))
    for r in rows:
        print("| " + " | ".join(r) + " |")


if __name__ == "__main__":
    main()
