"""Machine-readable benchmark results shared by the benchmark scripts.

Each script prints its own table for a reader and, next to each printed row,
calls `record`. When the environment variable HALYARD_BENCH_RESULTS names a
file, every call appends one JSON object to it on a line of its own (the file
is opened, appended to and closed per call, so a script that dies half-way
leaves the rows it finished). Without the variable `record` does nothing and
the scripts behave as they always did.

A result compares one Halyard operation with one anchor (the NumPy, pure
Python, hnswlib or faiss way of doing the same thing); an operation measured
against several anchors is recorded once per anchor. Times are seconds for
the unit the script measures (usually one call); `anchor_name` and
`anchor_seconds` are None where nothing comparable exists. `headline` marks
the rows worth quoting in a short summary.
"""

from __future__ import annotations

import json
import math
import os

ENV_VAR = "HALYARD_BENCH_RESULTS"


def record(area, operation, halyard_seconds, anchor_name=None, anchor_seconds=None, note="", headline=False):
    path = os.environ.get(ENV_VAR)
    if not path:
        return
    if (anchor_name is None) != (anchor_seconds is None):
        raise ValueError("anchor_name and anchor_seconds go together")
    for value in (halyard_seconds, anchor_seconds):
        if value is not None and not (math.isfinite(value) and value > 0):
            raise ValueError(f"a time must be a positive finite number of seconds, got {value!r}")
    row = {
        "area": area,
        "operation": operation,
        "halyard_seconds": float(halyard_seconds),
        "anchor_name": anchor_name,
        "anchor_seconds": None if anchor_seconds is None else float(anchor_seconds),
        "note": note,
        "headline": bool(headline),
    }
    with open(path, "a", encoding="utf-8") as f:
        f.write(json.dumps(row, ensure_ascii=False) + "\n")


def record_table(area, title, header, rows, note="", readme=(), readme_note=""):
    """A table of figures that are not times (answer quality, memory at several
    sizes), shown under its area in the report. `rows` are lists of cells, one
    per name in `header`. `readme` holds rows for the README's short table of
    such figures: (measure, Halyard, peers, note) each; `readme_note` is a
    sentence the README shows under that table."""
    path = os.environ.get(ENV_VAR)
    if not path:
        return
    if any(len(row) != len(header) for row in rows) or any(len(row) != 4 for row in readme):
        raise ValueError("every row needs one cell per column")
    entry = {"kind": "table", "area": area, "title": title, "header": [str(h) for h in header],
             "rows": [[str(c) for c in row] for row in rows], "note": note,
             "readme": [[str(c) for c in row] for row in readme], "readme_note": readme_note}
    with open(path, "a", encoding="utf-8") as f:
        f.write(json.dumps(entry, ensure_ascii=False) + "\n")
