"""Per-call cost of the vector functions against the equivalent NumPy expressions.

Run: python benchmarks/bench_vector.py
"""

import timeit

import numpy as np

import halyard as hy
from _results import record

DIM = 384


def per_call_us(fn, number):
    best = min(timeit.repeat(fn, number=number, repeat=7))
    return best / number * 1e6


def main():
    rng = np.random.default_rng(7)
    a = rng.standard_normal(DIM).astype(np.float32)
    b = rng.standard_normal(DIM).astype(np.float32)
    norm = np.linalg.norm

    cases = [
        ("cosine_similarity", lambda: hy.cosine_similarity(a, b),
         "np.dot(a, b) / (norm(a) * norm(b))", lambda: np.dot(a, b) / (norm(a) * norm(b))),
        ("euclidean_distance", lambda: hy.euclidean_distance(a, b),
         "norm(a - b)", lambda: norm(a - b)),
        ("normalize", lambda: hy.normalize(a),
         "a / norm(a)", lambda: a / norm(a)),
    ]
    print(f"vector functions, {DIM}-dim float32, numpy {np.__version__}")
    print(f"| function | halyard (us/call) | numpy expression | numpy (us/call) | speed-up |")
    print(f"|---|---:|---|---:|---:|")
    for name, ours, expr, theirs in cases:
        number = 20000
        t_ours = per_call_us(ours, number)
        t_np = per_call_us(theirs, number)
        print(f"| {name} | {t_ours:.3f} | `{expr}` | {t_np:.3f} | {t_np / t_ours:.1f}x |")
        record("vector functions", f"{name}, {DIM}-dim float32", t_ours * 1e-6, f"numpy `{expr}`", t_np * 1e-6,
               headline=name == "cosine_similarity")


if __name__ == "__main__":
    main()
