"""Runs every benchmark script and writes the performance report.

    PYTHONPATH=python python benchmarks/report.py [--only NAME ...] [--timeout S]
    PYTHONPATH=python python benchmarks/report.py --from-results build/benchmarks/results.json

Each benchmarks/bench_*.py runs in a subprocess of its own (a failure or a
time-out in one does not stop the others) with HALYARD_BENCH_RESULTS naming a
file the script appends its rows to. The scripts' own printed tables go to
build/benchmarks/<script>.log; everything collected (machine, per-script
status, rows) goes to build/benchmarks/results.json, which --from-results
renders again without re-running anything.

Writes docs/benchmarks.md (the machine, then one table per area),
docs/benchmarks.png (speed-up of Halyard over each anchor, log scale) and
docs/performance_section.md (a short section for the README with the
headline rows).

OPENBLAS_CORETYPE and OPENBLAS_L2_SIZE are removed from the scripts'
environment so that NumPy's BLAS, an anchor in several areas, runs with the
settings it picks for this CPU.
"""

from __future__ import annotations

import argparse
import datetime as dt
import json
import math
import os
import platform
import subprocess
import sys
import tempfile
import textwrap
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent
ROOT = HERE.parent
DOCS = ROOT / "docs"
WORK = ROOT / "build" / "benchmarks"
RESULTS_ENV = "HALYARD_BENCH_RESULTS"
BLAS_OVERRIDES = ("OPENBLAS_CORETYPE", "OPENBLAS_L2_SIZE")
# Scripts run in this order; any other bench_*.py runs after them.
ORDER = ["vector", "index", "memory", "conversation", "attention", "scoring", "links", "frameworks"]
REGENERATE = "PYTHONPATH=python python benchmarks/report.py"

NOISE_NOTE = (
    "The machine these numbers come from is shared with other work and was busy while they were "
    "taken, so single rows can be off by tens of percent. Each script times Halyard and its "
    "anchors in one process on the same data, so the ratios hold up better than the absolute times."
)


# ---- running ---------------------------------------------------------------------------


def discover(only=()):
    scripts = {p.stem[len("bench_"):]: p for p in HERE.glob("bench_*.py")}
    names = [n for n in ORDER if n in scripts] + sorted(n for n in scripts if n not in ORDER)
    if only:
        unknown = set(only) - set(names)
        if unknown:
            raise SystemExit(f"no such benchmark: {', '.join(sorted(unknown))} (have: {', '.join(names)})")
        names = [n for n in names if n in only]
    return [(n, scripts[n]) for n in names]


def child_env(results_path=None):
    env = {k: v for k, v in os.environ.items() if k not in BLAS_OVERRIDES}
    env.pop(RESULTS_ENV, None)
    if results_path is not None:
        env[RESULTS_ENV] = str(results_path)
    return env


def read_rows(path):
    rows = []
    if path.exists():
        for line in path.read_text(encoding="utf-8").splitlines():
            if line.strip():
                rows.append(json.loads(line))
    return rows


def run_script(name, path, timeout):
    WORK.mkdir(parents=True, exist_ok=True)
    log = WORK / f"bench_{name}.log"
    with tempfile.TemporaryDirectory() as tmp:
        results = Path(tmp) / "rows.jsonl"
        start = time.perf_counter()
        with open(log, "w", encoding="utf-8") as out:
            try:
                proc = subprocess.run([sys.executable, str(path)], cwd=ROOT, env=child_env(results),
                                      stdout=out, stderr=subprocess.STDOUT, timeout=timeout)
                status = "ok" if proc.returncode == 0 else f"failed (exit code {proc.returncode})"
            except subprocess.TimeoutExpired:
                status = f"timed out after {timeout:.0f} s"
        seconds = time.perf_counter() - start
        rows = read_rows(results)
    tables = [r for r in rows if r.get("kind") == "table"]
    rows = [r for r in rows if r.get("kind") != "table"]
    tail = ""
    if status != "ok":
        tail = "\n".join(log.read_text(encoding="utf-8", errors="replace").splitlines()[-15:])
    for row in rows + tables:
        row["script"] = name
    return {"name": name, "status": status, "seconds": seconds, "rows": len(rows), "log_tail": tail}, rows, tables


PROBE = r"""
import json, platform
info = {"python": platform.python_version()}
try:
    import numpy
    info["numpy"] = numpy.__version__
except ImportError:
    info["numpy"] = None
try:
    import halyard
    info["halyard"] = getattr(halyard, "__version__", "?")
except ImportError as e:
    info["halyard"] = f"not importable: {e}"
from importlib import metadata
for key, dist in (("faiss", "faiss-cpu"), ("hnswlib", "hnswlib"), ("usearch", "usearch"), ("voyager", "voyager"),
                  ("sklearn", "scikit-learn")):
    try:
        info[key] = metadata.version(dist)
    except metadata.PackageNotFoundError:
        info[key] = None
try:
    from threadpoolctl import threadpool_info
    pools = [p for p in threadpool_info() if p.get("user_api") == "blas"]
    numpy_pools = [p for p in pools if "numpy" in p.get("filepath", "")] or pools
    info["blas"] = [
        {k: p.get(k) for k in ("internal_api", "version", "architecture", "num_threads", "filepath")}
        for p in numpy_pools
    ]
except ImportError:
    info["blas"] = None
print(json.dumps(info))
"""


def cpu_model():
    try:
        for line in Path("/proc/cpuinfo").read_text().splitlines():
            if line.startswith("model name"):
                return line.split(":", 1)[1].strip()
    except OSError:
        pass
    return platform.processor() or platform.machine()


def load_average():
    try:
        return " / ".join(f"{x:.2f}" for x in os.getloadavg())
    except OSError:
        return "unknown"


def machine_info():
    info = {
        "date": dt.datetime.now(dt.timezone.utc).strftime("%Y-%m-%d %H:%M UTC"),
        "cpu": cpu_model(),
        "logical_cpus": os.cpu_count(),
        "usable_cpus": len(os.sched_getaffinity(0)) if hasattr(os, "sched_getaffinity") else os.cpu_count(),
        "platform": platform.platform(),
        "load_before": load_average(),
    }
    proc = subprocess.run([sys.executable, "-c", PROBE], cwd=ROOT, env=child_env(), capture_output=True, text=True)
    if proc.returncode == 0:
        info.update(json.loads(proc.stdout))
    else:
        info["probe_error"] = proc.stderr.strip().splitlines()[-1:] or ["probe failed"]
    return info


def run_all(only, timeout):
    machine = machine_info()
    scripts, rows, tables = [], [], []
    start = time.perf_counter()
    for name, path in discover(only):
        print(f"bench_{name}.py ...", end=" ", flush=True)
        status, found, found_tables = run_script(name, path, timeout)
        print(f"{status['status']}, {status['seconds']:.1f} s, {status['rows']} rows", flush=True)
        if status["log_tail"]:
            print(textwrap.indent(status["log_tail"], "    "), flush=True)
        scripts.append(status)
        rows.extend(found)
        tables.extend(found_tables)
    machine["load_after"] = load_average()
    machine["total_seconds"] = time.perf_counter() - start
    return {"machine": machine, "scripts": scripts, "rows": rows, "tables": tables}


# ---- rendering -------------------------------------------------------------------------


def fmt_time(seconds):
    if seconds is None:
        return "—"
    if seconds >= 1:
        return f"{seconds:.2f} s"
    if seconds >= 1e-3:
        return f"{seconds * 1e3:.2f} ms"
    if seconds >= 1e-6:
        return f"{seconds * 1e6:.2f} µs"
    return f"{seconds * 1e9:.0f} ns"


def speedup(row):
    if row.get("anchor_seconds") is None:
        return None
    return row["anchor_seconds"] / row["halyard_seconds"]


def fmt_speedup(value):
    if value is None:
        return "—"
    return f"{value:.2f}x" if value < 10 else f"{value:.1f}x"


def cell(text):
    return str(text).replace("|", "\\|").replace("\n", " ")


def areas_in_order(rows):
    areas = {}
    for row in rows:
        areas.setdefault(row["area"], []).append(row)
    return areas


def rows_table(rows, with_area=False, with_note=True):
    head = (["area"] if with_area else []) + ["operation", "Halyard", "anchor", "anchor time",
                                              "speed-up (anchor / Halyard)"]
    head += ["note"] if with_note else []
    align = (["---"] if with_area else []) + ["---", "---:", "---", "---:", "---:"] + (["---"] if with_note else [])
    lines = ["| " + " | ".join(head) + " |", "|" + "|".join(align) + "|"]
    for row in rows:
        cells = ([row["area"]] if with_area else []) + [
            row["operation"], fmt_time(row["halyard_seconds"]), row.get("anchor_name") or "—",
            fmt_time(row.get("anchor_seconds")), fmt_speedup(speedup(row))]
        cells += [row.get("note", "")] if with_note else []
        lines.append("| " + " | ".join(cell(c) for c in cells) + " |")
    return "\n".join(lines)


def figures_table(header, rows, align=None):
    lines = ["| " + " | ".join(cell(h) for h in header) + " |", "|" + "|".join(align or ["---"] * len(header)) + "|"]
    lines += ["| " + " | ".join(cell(c) for c in row) + " |" for row in rows]
    return "\n".join(lines)


def tables_of(report, area=None):
    return [t for t in report.get("tables", []) if area is None or t["area"] == area]


def readme_figures(report):
    """The README's short table of figures other than times with the tables'
    notes for it below, or '' without any."""
    rows = [row for t in tables_of(report) for row in t.get("readme", [])]
    notes = [t["readme_note"] for t in tables_of(report) if t.get("readme") and t.get("readme_note")]
    if not rows:
        return ""
    return "\n\n".join([figures_table(["measure", "Halyard", "peers", "note"], rows)] + notes)


def blas_text(machine):
    pools = machine.get("blas")
    if pools is None:
        return "unknown (threadpoolctl not installed)"
    if not pools:
        return "none found"
    return "; ".join(
        f"{p.get('internal_api')} {p.get('version')} ({p.get('architecture')}, {p.get('num_threads')} threads)"
        for p in pools)


def machine_table(machine):
    items = [
        ("date", machine.get("date")),
        ("CPU", machine.get("cpu")),
        ("cores", f"{machine.get('logical_cpus')} logical CPUs, {machine.get('usable_cpus')} usable by the run"),
        ("platform", machine.get("platform")),
        ("Python", machine.get("python")),
        ("NumPy", machine.get("numpy")),
        ("NumPy's BLAS", blas_text(machine)),
        ("Halyard", machine.get("halyard")),
        ("faiss-cpu", machine.get("faiss") or "not installed"),
        ("hnswlib", machine.get("hnswlib") or "not installed"),
        ("usearch", machine.get("usearch") or "not installed"),
        ("voyager", machine.get("voyager") or "not installed"),
        ("scikit-learn (text data of the HNSW suite)", machine.get("sklearn") or "not installed"),
        ("load average (1/5/15 min)", f"{machine.get('load_before')} before, {machine.get('load_after')} after"),
        ("whole run", f"{machine.get('total_seconds', 0):.0f} s"),
    ]
    lines = ["| | |", "|---|---|"] + [f"| {cell(k)} | {cell(v)} |" for k, v in items]
    return "\n".join(lines)


def summary_sentence(rows, brief=False):
    """One or two sentences on how the comparisons came out; `brief` names only
    the areas where Halyard lost, not each case."""
    compared = [r for r in rows if speedup(r) is not None]
    if not compared:
        return "No comparison with an anchor finished."
    faster = [r for r in compared if speedup(r) >= 1]
    values = sorted(speedup(r) for r in compared)
    middle = len(values) // 2
    median = values[middle] if len(values) % 2 else math.sqrt(values[middle - 1] * values[middle])
    text = (f"Halyard was faster than the anchor in {len(faster)} of {len(compared)} comparisons, "
            f"with a median speed-up of {fmt_speedup(median)}.")
    slower = [r for r in compared if speedup(r) < 1]
    if slower and brief:
        parts = [f"{len(rs)} {area} comparison{'s' if len(rs) > 1 else ''}"
                 for area, rs in areas_in_order(slower).items()]
        text += " It was slower in " + (", ".join(parts[:-1]) + " and " if len(parts) > 1 else "") + parts[-1] + "."
    elif slower:
        text += " It was slower in these: " + "; ".join(
            f"{r['operation']} against {r['anchor_name']} ({fmt_speedup(speedup(r))})" for r in slower) + "."
    return text


def write_markdown(report, path, image_name):
    machine, scripts, rows = report["machine"], report["scripts"], report["rows"]
    out = [
        "# Benchmarks",
        "",
        f"Generated by `{REGENERATE}` on {machine.get('date')}; do not edit by hand. "
        "Times are per call unless the operation says otherwise (HNSW build times are for the whole "
        "index, the fastest of three builds, or the one build where the operation says \"own process\"); "
        "speed-up is the anchor's time divided by Halyard's, so above 1 Halyard is faster.",
        "",
        f"> **Note:** {NOISE_NOTE}",
        "",
        "## Machine",
        "",
        machine_table(machine),
        "",
        "OPENBLAS_CORETYPE and OPENBLAS_L2_SIZE were removed from the benchmarks' environment, so "
        "NumPy's BLAS ran with the settings it picks itself.",
        "",
        "## Headline",
        "",
        summary_sentence(rows),
        "",
        rows_table([r for r in rows if r.get("headline")], with_area=True),
        "",
        f"![Halyard speed-up over each anchor]({image_name})",
        "",
    ]
    areas = areas_in_order(rows)
    for table in tables_of(report):
        areas.setdefault(table["area"], [])
    for area, area_rows in areas.items():
        script = (area_rows or tables_of(report, area))[0].get("script")
        out += [f"## {area[0].upper()}{area[1:]}", "",
                f"From `benchmarks/bench_{script}.py`." if script else "", ""]
        if area_rows:
            out += [rows_table(area_rows), ""]
        for table in tables_of(report, area):
            out += [f"### {table['title']}", "", table["note"], "", figures_table(table["header"], table["rows"]), ""]
    out += ["## Scripts", "", "| script | status | wall time | rows |", "|---|---|---:|---:|"]
    for s in scripts:
        out.append(f"| `bench_{s['name']}.py` | {s['status']} | {s['seconds']:.0f} s | {s['rows']} |")
    out.append("")
    for s in scripts:
        if s["status"] != "ok":
            out += [f"Last lines of `bench_{s['name']}.py`:", "", "```", s["log_tail"], "```", ""]
    path.write_text("\n".join(out), encoding="utf-8")


def write_readme_section(report, path):
    rows = report["rows"]
    machine = report["machine"]
    text = [
        "## Performance",
        "",
        "Each script in `benchmarks/` times Halyard against the usual way of doing the same job in "
        "one process on the same data: NumPy expressions, plain Python, and for the vector indexes "
        "faiss-cpu, hnswlib, usearch and voyager (the HNSW rows at scale build each library once, in a "
        "process of its own so that the memory it grows is its own, the processes taking turns). Every HNSW "
        "speed figure comes with "
        "the recall@10 each library reached on that data (the mean of three builds outside the rows at "
        "scale), since an approximate index can always buy speed with worse answers. "
        + summary_sentence(rows, brief=True)
        + f" The headline rows below come from {machine.get('cpu')} ({machine.get('logical_cpus')} logical "
        f"CPUs, NumPy {machine.get('numpy')}, {machine.get('date')}) on a shared, busy machine, so "
        "read them as rough ratios; [docs/benchmarks.md](docs/benchmarks.md) has every row and the machine.",
        "",
        rows_table([r for r in rows if r.get("headline")], with_area=True),
        "",
    ]
    figures = readme_figures(report)
    if figures:
        text += ["Figures other than time, from the same run:", "", figures, ""]
    text += [
        "![Halyard speed-up over each anchor](docs/benchmarks.png)",
        "",
        "To regenerate the tables and the chart (about 75 minutes on 2 cores, most of it the HNSW rows at scale; "
        "`tools/dev-build.sh` first):",
        "",
        "```sh",
        'pip install ".[bench]"',
        REGENERATE,
        "```",
        "",
    ]
    path.write_text("\n".join(text), encoding="utf-8")


def write_chart(report, path):
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt
    from matplotlib.ticker import FixedLocator, FuncFormatter, NullFormatter

    rows = [r for r in report["rows"] if speedup(r) is not None]
    if not rows:
        return False
    areas = list(areas_in_order(rows))
    colours = plt.get_cmap("tab10")
    labels, values, colour = [], [], []
    for row in rows:
        labels.append(textwrap.shorten(f"{row['operation']}  vs  {row['anchor_name']}", 125, placeholder="…"))
        values.append(speedup(row))
        colour.append(colours(areas.index(row["area"]) % 10))

    height = 1.6 + 0.32 * len(rows)
    fig, ax = plt.subplots(figsize=(16, height), dpi=110)
    y = list(range(len(rows)))[::-1]
    lefts = [min(1.0, v) for v in values]
    widths = [abs(v - 1.0) for v in values]
    ax.barh(y, widths, left=lefts, color=colour, height=0.7)
    ax.set_xscale("log")
    ax.axvline(1.0, color="black", linewidth=1)
    low, high = min(values + [1.0]), max(values + [1.0])
    ax.set_xlim(low / 2.5, high * 3.0)
    for yi, v in zip(y, values):
        ax.text(v * 1.06 if v >= 1 else v / 1.06, yi, fmt_speedup(v), va="center",
                ha="left" if v >= 1 else "right", fontsize=8)
    ticks = [t for t in (0.01, 0.02, 0.05, 0.1, 0.2, 0.5, 1, 2, 5, 10, 20, 50, 100, 200, 500, 1000)
             if low / 2.5 <= t <= high * 3.0]
    ax.xaxis.set_major_locator(FixedLocator(ticks))
    ax.xaxis.set_major_formatter(FuncFormatter(lambda v, _: f"{v:g}x"))
    ax.xaxis.set_minor_formatter(NullFormatter())
    ax.set_yticks(y)
    ax.set_yticklabels(labels, fontsize=8)
    ax.set_ylim(-0.7, len(rows) - 0.3)
    ax.set_xlabel("speed-up = anchor time / Halyard time (log scale; right of 1 = Halyard faster)")
    ax.set_title(f"Halyard against its anchors — {report['machine'].get('cpu')}, "
                 f"{report['machine'].get('date')} (shared, noisy machine)", fontsize=10)
    ax.grid(axis="x", which="both", alpha=0.3)
    handles = [plt.Rectangle((0, 0), 1, 1, color=colours(i % 10)) for i in range(len(areas))]
    ax.legend(handles, areas, loc="best", fontsize=9, framealpha=0.95)
    fig.tight_layout()
    fig.savefig(path)
    plt.close(fig)
    return True


def render(report):
    DOCS.mkdir(exist_ok=True)
    image = DOCS / "benchmarks.png"
    drawn = write_chart(report, image)
    write_markdown(report, DOCS / "benchmarks.md", image.name)
    write_readme_section(report, DOCS / "performance_section.md")
    written = ["docs/benchmarks.md", "docs/performance_section.md"] + (["docs/benchmarks.png"] if drawn else [])
    print("wrote " + ", ".join(written))


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--only", nargs="+", default=(), metavar="NAME",
                        help="run only these benchmarks (vector, index, memory, ...)")
    parser.add_argument("--timeout", type=float, default=3600, help="seconds allowed per script")
    parser.add_argument("--from-results", type=Path, metavar="JSON",
                        help="render a results.json of an earlier run instead of running")
    args = parser.parse_args()

    if args.from_results:
        report = json.loads(args.from_results.read_text(encoding="utf-8"))
    else:
        report = run_all(args.only, args.timeout)
        WORK.mkdir(parents=True, exist_ok=True)
        (WORK / "results.json").write_text(json.dumps(report, indent=1, ensure_ascii=False), encoding="utf-8")
        print(f"all scripts: {report['machine']['total_seconds']:.0f} s; results in "
              f"{(WORK / 'results.json').relative_to(ROOT)}")
    render(report)
    return 0 if all(s["status"] == "ok" for s in report["scripts"]) else 1


if __name__ == "__main__":
    sys.exit(main())
