"""Attention and conservation benchmark: Halyard against vectorised NumPy.

Run: PYTHONPATH=python python3 benchmarks/bench_attention.py

Both sides get the same data in one process. Halyard takes a list of
per-turn float32 arrays (its API); the NumPy versions implement the same
formulas with matrix products, once starting from the same list (so they
pay for np.stack) and once from a matrix stacked in advance.
"""

import statistics
import sys
import time

import numpy as np

import halyard
from _results import record

RNG = np.random.default_rng(7)
N_CONTEXT, N_CONSERVATION, DIM = 1000, 200, 384


def timeit(fn, min_time=0.25, repeats=7):
    """Median per-call time in seconds over `repeats` batches."""
    fn()
    loops, elapsed = 1, 0.0
    while True:
        t0 = time.perf_counter()
        for _ in range(loops):
            fn()
        elapsed = time.perf_counter() - t0
        if elapsed >= min_time / repeats:
            break
        loops *= 2
    samples = []
    for _ in range(repeats):
        t0 = time.perf_counter()
        for _ in range(loops):
            fn()
        samples.append((time.perf_counter() - t0) / loops)
    return statistics.median(samples)


# ---- NumPy references of the same formulas ----------------------------------

def np_attention(qc, coords, q, ctx, weights, spatial_weight, temperature, eps=np.float32(1e-10)):
    """coords: (n, 5) float32 [depth, sibling, homogeneity, temporal, complexity]."""
    f32 = np.float32
    diff = np.abs(coords[:, :4] - qc[:4]) * weights[:4]
    dc = np.abs(np.log1p(coords[:, 4]) - np.log1p(qc[4])) * weights[4]
    dist = np.sqrt(np.einsum("ij,ij->i", diff, diff) + dc * dc)
    spatial = np.exp(-dist)
    dots = ctx @ q
    qq = f32(q @ q)
    cc = np.einsum("ij,ij->i", ctx, ctx)
    denom = np.sqrt(qq) * np.sqrt(cc)
    cos = np.divide(dots, denom, out=np.zeros_like(dots), where=(cc != 0) & (qq != 0))
    raw = spatial * f32(spatial_weight) + (cos + f32(1)) * f32(0.5) * f32(1 - spatial_weight)
    e = np.exp((raw - raw.max()) / f32(temperature))
    forward = np.maximum(e / e.sum(), eps)
    p = forward * forward
    inverse = p / p.sum()
    return forward, inverse, forward.copy(), raw, forward.sum()


def np_conservation(mat, attention):
    sq = np.einsum("ij,ij->i", mat, mat)
    norms = np.sqrt(sq)
    gram = mat @ mat.T
    outer = np.outer(norms, norms)
    cos = np.divide(gram, outer, out=np.zeros_like(gram), where=outer != 0)
    magnitude = attention @ norms
    energy = 0.5 * (attention @ cos @ attention)
    a = attention[attention > 1e-10]
    information = -(a * np.log(a)).sum()
    return magnitude, energy, information


def main():
    # ---- data ----
    query_emb = RNG.standard_normal(DIM).astype(np.float32)
    context_embs = [RNG.standard_normal(DIM).astype(np.float32) for _ in range(N_CONTEXT)]
    context_mat = np.stack(context_embs)
    raw_coords = np.column_stack([
        RNG.integers(0, 20, N_CONTEXT), RNG.integers(0, 4, N_CONTEXT),
        RNG.random(N_CONTEXT), RNG.random(N_CONTEXT), RNG.integers(1, 6, N_CONTEXT),
    ]).astype(np.float32)
    coords = [halyard.TrajectoryCoordinate5D(int(d), int(s), float(h), float(t), int(c))
              for d, s, h, t, c in raw_coords]
    query_coord = halyard.TrajectoryCoordinate5D(10, 1, 0.5, 0.5, 2)
    qc = np.array([10, 1, 0.5, 0.5, 2], dtype=np.float32)
    weights = np.array([0.25, 0.15, 0.30, 0.20, 0.10], dtype=np.float32)
    propagator = halyard.IRCPPropagator()

    cons_embs = [RNG.standard_normal(DIM).astype(np.float32) for _ in range(N_CONSERVATION)]
    cons_att = RNG.random(N_CONSERVATION).astype(np.float32)
    cons_att /= cons_att.sum()
    cons_att_list = cons_att.tolist()
    cons_mat = np.stack(cons_embs)

    # ---- agreement check (same formulas, different summation order) ----
    ours = propagator.compute_attention(query_coord, coords, query_emb, context_embs)
    ref = np_attention(qc, raw_coords, query_emb, context_mat, weights, 0.3, 1.0)
    assert np.allclose(ours.forward, ref[0], rtol=1e-4, atol=1e-9), "attention disagrees with numpy"
    m = halyard.ConservationMetrics.compute(cons_embs, cons_att_list)
    r = np_conservation(cons_mat, cons_att)
    assert np.allclose([m.magnitude, m.energy, m.information], r, rtol=1e-4), "conservation disagrees"

    # ---- timings ----
    try:
        from threadpoolctl import threadpool_limits
    except ImportError:  # the bench extra is not installed: default BLAS threading only
        threadpool_limits = None
    blas_settings = [("default threads", None)] + ([("1 thread", 1)] if threadpool_limits else [])

    def numpy_rows(from_list, from_matrix):
        rows = []
        for label, limit in blas_settings:
            ctx = threadpool_limits(limits=limit) if (threadpool_limits and limit) else _nullcontext()
            with ctx:
                rows.append((f"numpy, np.stack of the same arrays, BLAS {label}", timeit(from_list)))
                rows.append((f"numpy, matrix stacked in advance, BLAS {label}", timeit(from_matrix)))
        return rows

    results = []
    ours = timeit(lambda: propagator.compute_attention(query_coord, coords, query_emb, context_embs))
    results.append((f"compute_attention, {N_CONTEXT} context turns x {DIM}", ours, numpy_rows(
        lambda: np_attention(qc, raw_coords, query_emb, np.stack(context_embs), weights, 0.3, 1.0),
        lambda: np_attention(qc, raw_coords, query_emb, context_mat, weights, 0.3, 1.0))))

    ours = timeit(lambda: halyard.ConservationMetrics.compute(cons_embs, cons_att_list))
    results.append((f"ConservationMetrics.compute, {N_CONSERVATION} x {DIM}", ours, numpy_rows(
        lambda: np_conservation(np.stack(cons_embs), np.asarray(cons_att_list, dtype=np.float32)),
        lambda: np_conservation(cons_mat, cons_att))))

    print(f"numpy {np.__version__}, python {sys.version.split()[0]}; median time per call")
    header = f"{'operation':<44} {'implementation':<56} {'per call':>10} {'numpy / halyard':>16}"
    print(header)
    print("-" * len(header))
    for name, ours, rows in results:
        print(f"{name:<44} {'halyard':<56} {ours * 1e6:>8.1f}us {'':>16}")
        for label, t in rows:
            print(f"{'':<44} {label:<56} {t * 1e6:>8.1f}us {t / ours:>15.2f}x")
            record("attention and conservation", name, ours, label, t,
                   headline=label == "numpy, matrix stacked in advance, BLAS default threads")


class _nullcontext:
    def __enter__(self):
        return self

    def __exit__(self, *exc):
        return False


if __name__ == "__main__":
    main()
