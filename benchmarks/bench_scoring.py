"""TurnFeatures.from_content against a pure-Python version of the same rules.

Run: PYTHONPATH=python python3 benchmarks/bench_scoring.py

Two kinds of text at 200 B, 10 KB and 1 MB: "chat" is assistant-style
content (prose, lists, fenced code, some non-ASCII) whose keywords show up
early, and "plain" has prose, lists and code but no keyword at all, so every
keyword search runs to the end of the text.
"""

import random
import sys
import time

import halyard._halyard_rs as h

from _results import record

ERROR_WORDS = ("error", "exception", "traceback", "failed", "doesn't work", "bug", "fix", "broken", "crash",
               "panic", "undefined")
DECISION_WORDS = ("decision:", "let's go with", "we'll use", "decided to", "the approach", "final answer",
                  "conclusion", "summary")
PLANNING_WORDS = ("phase", "roadmap", "step", "plan", "milestone", "todo", "first,", "second,", "third,", "then",
                  "next step")
EXTENSIONS = (".rs", ".py", ".ts", ".js", ".go", ".java", ".cpp", ".h")
ALL_WORDS = ERROR_WORDS + DECISION_WORDS + PLANNING_WORDS


def python_features(content):
    """The same rules in plain Python: str.lower plus substring checks."""
    lines = content.split("\n")
    if lines and lines[-1] == "":
        lines.pop()
    items = 0
    for line in lines:
        t = line.strip()
        if len(t) > 1 and (t.startswith("- ") or t.startswith("* ")):
            items += 1
        elif len(t) >= 2 and t[0] in "0123456789" and t[1] in ".)":
            items += 1
    low = content.lower()
    return (
        len(content.encode()),
        content.count("?"),
        content.count("```") // 2,
        items,
        any(k in low for k in ERROR_WORDS),
        any(k in low for k in DECISION_WORDS),
        any(k in low for k in PLANNING_WORDS),
        any(e in content for e in EXTENSIONS),
    )


def halyard_features(content):
    f = h.TurnFeatures.from_content(1, "assistant", content)
    return (f.content_length, f.question_count, f.code_block_count, f.list_item_count, f.has_error_keywords,
            f.has_decision_keywords, f.has_planning_keywords)


VOCAB = ("memory record index query vector graph node edge weight score cache token model turn branch chain layer "
         "value result answer user message context window retrieval embedding distance cosine neighbour search "
         "résumé naïve café Ünïcode über straße").split()
VOCAB = [w for w in VOCAB if not any(k in w for k in ALL_WORDS)]


def make_text(size, with_keywords, seed):
    rng = random.Random(seed)
    parts, total = [], 0
    while total < size:
        r = rng.random()
        if r < 0.12:
            s = f"{rng.choice('-*')} " + " ".join(rng.choice(VOCAB) for _ in range(6)) + "\n"
        elif r < 0.16:
            s = f"{rng.randint(1, 9)}. " + " ".join(rng.choice(VOCAB) for _ in range(5)) + "\n"
        elif r < 0.20:
            s = "```\nvalue = index.query(vector, k=3)\nprint(value)\n```\n"
        else:
            words = [rng.choice(VOCAB) for _ in range(rng.randint(6, 16))]
            if with_keywords and rng.random() < 0.3:
                words.insert(rng.randrange(len(words)), rng.choice(ALL_WORDS).upper())
            s = " ".join(words).capitalize() + rng.choice([". ", "? ", ".\n", "!\n"])
        parts.append(s)
        total += len(s.encode())
    return "".join(parts).encode()[:size].decode(errors="ignore")


def per_call(fn, text, budget=0.4):
    """Best per-call time over several batches, each about budget/5 seconds."""
    fn(text)
    n, t = 1, 0.0
    while True:
        t0 = time.perf_counter()
        for _ in range(n):
            fn(text)
        t = time.perf_counter() - t0
        if t > budget / 5:
            break
        n *= 4
    best = t / n
    for _ in range(4):
        t0 = time.perf_counter()
        for _ in range(n):
            fn(text)
        best = min(best, (time.perf_counter() - t0) / n)
    return best


def fmt(seconds):
    if seconds < 1e-3:
        return f"{seconds * 1e6:9.2f} us"
    return f"{seconds * 1e3:9.2f} ms"


def main():
    rows = []
    for kind, with_keywords in (("chat", True), ("plain", False)):
        for label, size in (("200 B", 200), ("10 KB", 10_000), ("1 MB", 1_000_000)):
            text = make_text(size, with_keywords, seed=size)
            assert python_features(text)[:7] == halyard_features(text), (kind, label)
            ours = per_call(lambda t: h.TurnFeatures.from_content(1, "assistant", t), text)
            ref = per_call(python_features, text)
            rows.append((kind, label, ours, ref))
    print(f"TurnFeatures.from_content vs pure Python (python {sys.version.split()[0]})")
    print(f"{'text':<6} {'size':>6} | {'halyard':>12} | {'pure Python':>12} | {'speed-up':>8}")
    print("-" * 56)
    for kind, label, ours, ref in rows:
        print(f"{kind:<6} {label:>6} | {fmt(ours)} | {fmt(ref)} | {ref / ours:7.1f}x")
        record("turn scoring", f"TurnFeatures.from_content, {kind} text, {label}", ours,
               "pure Python (str.lower + substring checks)", ref, headline=(kind, label) == ("chat", "10 KB"))


if __name__ == "__main__":
    main()
