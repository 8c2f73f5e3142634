"""Knowledge-transfer detection against a pure-Python version of the same rule.

The Python version lowercases the text with str.lower() and tests the ten
phrases in order with `in`. Texts are assistant-style prose of 200 B, 10 KB
and 1 MB: without any phrase (both sides scan everything), with the last
phrase near the end (Python still searches for the nine others), and with
non-ASCII prose. Run: PYTHONPATH=python python3 benchmarks/bench_links.py
"""

import random
import timeit

from halyard import _halyard_rs as hy

from _results import record

PATTERNS = [
    "as we discussed",
    "like we did before",
    "similar to what we",
    "remember when we",
    "building on the",
    "like in the",
    "same as before",
    "just like last time",
    "from our previous",
    "we already covered",
]

WORDS = """the of and to in is it you that was for on are with as be at have this from or by one had not
but what all were when we there can an your which their said if do will each about how up out them then
she many some so these would other into has more her two like him see time could no make than first been
its who now people my made over did down only way find use may water long little very after words called
just where most know get through back much before go good new write our used me man too any day same right
look think also around another came come work three word must because does part even place well such here
take why things help put years different away again off went old number great tell men say small every found
still between name should home big give air line set own under read last never us left end along while might
next sound below saw something thought both few those always show large often together asked house world
going want school important until form food keep children land side without once life enough took sometimes
function return value error index vector query memory cache branch chain model token request response Python
array float embedding search result config default thread lock buffer parser schema""".split()
UNICODE_WORDS = ["café", "naïve", "Größe", "Ελληνικά", "ΣΟΦΙΑ", "İstanbul", "日本語", "emoji🙂", "Ünïcödé"]


def prose(size, seed, unicode=False):
    rng = random.Random(seed)
    vocabulary = WORDS + (UNICODE_WORDS * 8 if unicode else [])
    parts, length = [], 0
    while length < size:
        sentence = " ".join(rng.choice(vocabulary) for _ in range(rng.randint(5, 18)))
        sentence = sentence[0].upper() + sentence[1:] + rng.choice([". ", ". ", "? ", ", ", ".\n"])
        parts.append(sentence)
        length += len(sentence.encode())
    text = "".join(parts)
    while len(text.encode()) > size:
        text = text[:-1]
    lowered = text.lower()
    assert not any(p in lowered for p in PATTERNS), "generated text contains a phrase"
    return text


def detect_python(text):
    text = text.lower()
    for pattern in PATTERNS:
        if pattern in text:
            return pattern
    return None


def per_call(fn, arg):
    number = 1
    while True:
        t = timeit.timeit(lambda: fn(arg), number=number)
        if t > 0.05:
            break
        number *= 4
    best = min(timeit.repeat(lambda: fn(arg), number=number, repeat=5))
    return best / number


def fmt(seconds):
    if seconds < 1e-6:
        return f"{seconds * 1e9:8.0f} ns"
    if seconds < 1e-3:
        return f"{seconds * 1e6:8.2f} us"
    return f"{seconds * 1e3:8.2f} ms"


def main():
    sizes = [("200 B", 200), ("10 KB", 10_000), ("1 MB", 1_000_000)]
    rows = []
    warm = prose(10_000, seed=0)  # let the CPU clock up before the first measurement
    per_call(hy.detect_knowledge_transfer, warm)
    per_call(detect_python, warm)
    for label, size in sizes:
        plain = prose(size, seed=size)
        tail = "We already covered this. "
        late = plain[: size - len(tail)] + tail
        cases = [
            ("no phrase", plain),
            ("last phrase at end", late),
            ("no phrase, non-ASCII", prose(size, seed=size + 1, unicode=True)),
        ]
        for case, text in cases:
            expected = detect_python(text)
            got = hy.detect_knowledge_transfer(text)
            assert got == expected, (label, case, got, expected)
            t_hy = per_call(hy.detect_knowledge_transfer, text)
            t_py = per_call(detect_python, text)
            rows.append((label, case, t_hy, t_py))

    print("detect_knowledge_transfer: halyard vs pure Python (str.lower + `in`, ten phrases in order)")
    print(f"{'size':>6}  {'text':<22} {'halyard':>12} {'python':>12} {'speed-up':>9}")
    for label, case, t_hy, t_py in rows:
        print(f"{label:>6}  {case:<22} {fmt(t_hy):>12} {fmt(t_py):>12} {t_py / t_hy:8.1f}x")
        record("knowledge-transfer links", f"detect_knowledge_transfer, {label}, {case}", t_hy,
               "pure Python (str.lower + `in`, ten phrases)", t_py, headline=(label, case) == ("10 KB", "no phrase"))


if __name__ == "__main__":
    main()
