"""The benchmark report's plumbing: result lines, running scripts in isolation, rendering."""

import importlib.util
import json
import os
import textwrap
from pathlib import Path

import pytest

BENCH = Path(__file__).resolve().parent.parent / "benchmarks"


def load(name):
    spec = importlib.util.spec_from_file_location(f"bench_{name}_under_test", BENCH / f"{name}.py")
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


results = load("_results")
report = load("report")


def test_record_appends_json_lines_only_when_asked(tmp_path, monkeypatch):
    out = tmp_path / "rows.jsonl"
    monkeypatch.delenv(results.ENV_VAR, raising=False)
    results.record("area", "op", 1e-6, "numpy", 2e-6)
    assert not out.exists()

    monkeypatch.setenv(results.ENV_VAR, str(out))
    results.record("area", "op", 1e-6, "numpy", 2e-6, note="n", headline=True)
    results.record("area", "only ours", 0.5)
    rows = [json.loads(line) for line in out.read_text().splitlines()]
    assert rows[0] == {"area": "area", "operation": "op", "halyard_seconds": 1e-6, "anchor_name": "numpy",
                       "anchor_seconds": 2e-6, "note": "n", "headline": True}
    assert rows[1]["anchor_name"] is None and rows[1]["anchor_seconds"] is None

    for bad in ({"halyard_seconds": 0.0}, {"halyard_seconds": float("nan")}, {"anchor_seconds": -1.0},
                {"anchor_name": None}):
        args = {"halyard_seconds": 1e-6, "anchor_name": "numpy", "anchor_seconds": 2e-6} | bad
        with pytest.raises(ValueError):
            results.record("area", "op", **args)
    assert len(out.read_text().splitlines()) == 2


def test_a_failing_or_hanging_script_keeps_its_rows_and_is_reported(tmp_path, monkeypatch):
    monkeypatch.setattr(report, "WORK", tmp_path / "work")
    monkeypatch.setenv("PYTHONPATH", str(BENCH) + os.pathsep + os.environ.get("PYTHONPATH", ""))
    monkeypatch.setenv("OPENBLAS_CORETYPE", "Haswell")
    script = tmp_path / "bench_broken.py"
    script.write_text(textwrap.dedent("""
        import os, time
        from _results import record, record_table
        record("broken", "first", 1e-3, "python", 2e-3)
        record_table("broken", "quality", ["set", "recall"], [["a", "0.99"]], readme=[["m", "1", "2", ""]])
        assert "OPENBLAS_CORETYPE" not in os.environ
        if "HANG" not in os.environ:
            raise SystemExit("gave up half-way")
        time.sleep(30)
    """))
    status, rows, tables = report.run_script("broken", script, timeout=60)
    assert status["status"] == "failed (exit code 1)"
    assert "gave up half-way" in status["log_tail"]
    assert [r["operation"] for r in rows] == ["first"] and rows[0]["script"] == "broken"
    assert [t["rows"] for t in tables] == [[["a", "0.99"]]]

    monkeypatch.setenv("HANG", "1")
    status, rows, _ = report.run_script("broken", script, timeout=2)
    assert status["status"] == "timed out after 2 s" and len(rows) == 1


def test_rendering_shows_ratios_missing_anchors_and_failures(tmp_path):
    rows = [
        {"area": "vector functions", "operation": "dot", "halyard_seconds": 1e-6, "anchor_name": "numpy a|b",
         "anchor_seconds": 4e-6, "note": "", "headline": True, "script": "vector"},
        {"area": "vector functions", "operation": "slow", "halyard_seconds": 2e-3, "anchor_name": "faiss",
         "anchor_seconds": 1e-3, "note": "noisy", "headline": False, "script": "vector"},
        {"area": "conversation structure", "operation": "split", "halyard_seconds": 1.5, "anchor_name": None,
         "anchor_seconds": None, "note": "", "headline": True, "script": "conversation"},
    ]
    run = {"machine": {"date": "today", "cpu": "test CPU", "logical_cpus": 2, "blas": []},
           "scripts": [{"name": "vector", "status": "ok", "seconds": 3, "rows": 2, "log_tail": ""},
                       {"name": "links", "status": "failed (exit code 1)", "seconds": 1, "rows": 0,
                        "log_tail": "Traceback: boom"}],
           "rows": rows,
           "tables": [{"kind": "table", "area": "vector index", "title": "Repeats", "note": "copies",
                       "header": ["set", "recall"], "rows": [["zipf", "0.99"]],
                       "readme": [["misses", "0.01", "0.10", ""]], "readme_note": "Why the peers differ.",
                       "script": "index"}]}
    md = tmp_path / "b.md"
    report.write_markdown(run, md, "b.png")
    text = md.read_text()
    assert "| dot | 1.00 µs | numpy a\\|b | 4.00 µs | 4.00x |" in text
    assert "| slow | 2.00 ms | faiss | 1.00 ms | 0.50x | noisy |" in text
    assert "| split | 1.50 s | — | — | — |" in text
    assert "faster than the anchor in 1 of 2 comparisons" in text
    assert "slower in these: slow against faiss (0.50x)." in text
    assert text.index("## Vector functions") < text.index("## Conversation structure")
    assert "failed (exit code 1)" in text and "Traceback: boom" in text
    assert "## Vector index" in text and "### Repeats" in text and "| zipf | 0.99 |" in text

    section = tmp_path / "s.md"
    report.write_readme_section(run, section)
    text = section.read_text()
    assert text.startswith("## Performance") and "docs/benchmarks.png" in text
    assert "| conversation structure | split |" in text and "| slow |" not in text
    assert "slower in 1 vector functions comparison." in text
    assert "| misses | 0.01 | 0.10 |  |\n\nWhy the peers differ.\n" in text


def test_every_benchmark_script_is_found_in_report_order():
    names = [name for name, _ in report.discover()]
    assert names[:7] == ["vector", "index", "memory", "conversation", "attention", "scoring", "links"]
    with pytest.raises(SystemExit):
        report.discover(["nonexistent"])
