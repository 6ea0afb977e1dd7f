"""Loads hostile YAML alias documents, each in a fresh process, and reports
what happened, how long it took and the process's peak memory.

    ./dev run python3 tools/yaml_expansion.py [WORD...]   (only documents whose name has a WORD)

Each document must stop with "YAML parse error: aliases expand ..." or load
within the alias budget (64 times the file's size, at least 64 MiB), in
under a second; the exit status is 1 if one does not.
"""
import os
import subprocess
import sys
import tempfile
import time

BIG = "x" * (1 << 20)


def scalar_aliases():
    """A 1 MB scalar and 20,000 aliases to it (about 20 GB expanded)."""
    return f"s: &s {BIG}\nl:\n" + "- *s\n" * 20000


def key_aliases():
    """The same scalar used as a key through 20,000 aliases."""
    return f"s: &s {BIG}\nm:\n" + "".join(f"  - {{*s : {i}}}\n" for i in range(20000))


def nested_anchors(anchored=True):
    """100 nested mappings, each anchored and holding 130 members; no alias uses them."""
    out = []
    for depth in range(100):
        pad = "  " * depth
        out += [f"{pad}k{j:03}: value number {j} at depth {depth}\n" for j in range(130)]
        out.append(f"{pad}next: {'&a' + str(depth) if anchored else ''}\n")
    out.append("  " * 100 + "end: true\n")
    return "".join(out)


def laughs():
    """The billion laughs: nine levels of nine aliases."""
    doc = "a: &a [lol, lol, lol, lol, lol, lol, lol, lol, lol]\n"
    for c in "bcdefghij":
        prev = chr(ord(c) - 1)
        doc += f"{c}: &{c} [" + ", ".join(f"*{prev}" for _ in range(9)) + "]\n"
    return doc


def within_budget():
    """A 100 KB scalar aliased 600 times: 60 MB, under the 64 MiB floor."""
    return "s: &s " + "y" * 100_000 + "\nl:\n" + "- *s\n" * 600


DOCUMENTS = {
    "1 MB scalar, 20,000 aliases": scalar_aliases,
    "1 MB scalar, 20,000 key aliases": key_aliases,
    "100 nested anchors, unused": nested_anchors,
    "the same without anchors": lambda: nested_anchors(False),
    "billion laughs": laughs,
    "100 KB scalar, 600 aliases (within budget)": within_budget,
}

CHILD = """
import resource, sys, time
from zub import ZubSettingEngine
start = time.perf_counter()
try:
    ZubSettingEngine(sys.argv[1], "yaml")
    outcome = "loaded"
except TypeError as exc:
    outcome = str(exc)[:90]
elapsed = time.perf_counter() - start
peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024
print(f"{elapsed:.3f}\\t{peak:.0f}\\t{outcome}")
"""


def main(words):
    slow = False
    with tempfile.TemporaryDirectory() as work:
        for name, make in DOCUMENTS.items():
            if words and not any(w in name for w in words):
                continue
            path = os.path.join(work, "doc.yaml")
            with open(path, "w", encoding="utf-8") as f:
                f.write(make())
            size = os.path.getsize(path)
            started = time.perf_counter()
            out = subprocess.run([sys.executable, "-c", CHILD, path], capture_output=True, text=True, timeout=120)
            if out.returncode:
                print(f"{name}: the load process failed:\n{out.stderr}")
                slow = True
                continue
            elapsed, peak, outcome = out.stdout.strip().split("\t", 2)
            slow |= float(elapsed) >= 1.0
            print(f"{name:44} {size / 1e6:6.2f} MB  {float(elapsed) * 1e3:7.1f} ms  peak {peak:>5} MB  {outcome}"
                  f"  (process {time.perf_counter() - started:.2f} s)")
    return 1 if slow else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
