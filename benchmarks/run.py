"""Benchmarks of zub against the Python tools people use today, in one run.

    ./dev bench             all scenarios
    ./dev bench keys        key reads and writes
    ./dev bench save        saving 200 KB and 10 MB documents
    ./dev bench load        loading them

Figures are the best of several repetitions; ratios compare runs made here, now.
"""
import io
import json
import os
import random
import shutil
import sys
import tempfile
import time
import timeit

from zub import ZubSettingEngine


def document(target_bytes, seed=1):
    rng = random.Random(seed)
    words = ["alpha", "beta", "gamma", "delta", "theme", "color", "size", "path", "enabled", "count"]
    doc = {}
    i = 0
    while len(json.dumps(doc, indent=2)) < target_bytes:
        group = {}
        for j in range(8):
            sub = {
                "name": f"{rng.choice(words)} {i} {j}",
                "enabled": rng.random() < 0.5,
                "count": rng.randrange(1_000_000),
                "ratio": round(rng.random(), 6),
                "tags": [rng.choice(words) for _ in range(3)],
                "limits": {"low": rng.randrange(100), "high": rng.randrange(100, 10_000)},
            }
            group[f"{rng.choice(words)}_{j}"] = sub
        doc[f"section_{i}"] = group
        i += 1 if target_bytes < 1_000_000 else 1
        if target_bytes >= 1_000_000 and i % 50 == 0 and len(json.dumps(doc)) * 1.4 >= target_bytes:
            break
    return doc


def best(fn, number, repeat=5):
    return min(timeit.repeat(fn, number=number, repeat=repeat)) / number


def fmt(seconds):
    if seconds < 1e-6:
        return f"{seconds * 1e9:8.1f} ns"
    if seconds < 1e-3:
        return f"{seconds * 1e6:8.2f} us"
    return f"{seconds * 1e3:8.2f} ms"


def keys_scenario():
    doc = document(200_000)
    size = len(json.dumps(doc, indent=2))
    tmp = tempfile.mkdtemp()
    path = os.path.join(tmp, "doc.json")
    with open(path, "w") as f:
        json.dump(doc, f, indent=2)
    engine = ZubSettingEngine(path)
    a = "section_7"
    b = next(iter(doc[a]))
    key = f"{a}/{b}/count"

    def get(d, k):
        node = d
        for part in k.split("/"):
            if not isinstance(node, dict) or part not in node:
                return None
            node = node[part]
        return node

    def setv(d, k, v):
        parts = k.split("/")
        node = d
        for part in parts[:-1]:
            node = node.setdefault(part, {})
        node[parts[-1]] = v

    n = 200_000
    names = {"doc": doc, "engine": engine, "get": get, "setv": setv, "key": key, "a": a, "b": b}

    def stmt(code):
        # Statements, not lambdas: every row then pays the same loop cost only.
        return min(timeit.repeat(code, number=n, repeat=7, globals=names)) / n

    rows = [
        ("plain d[a][b][c]", stmt('doc[a][b]["count"]')),
        ("split-and-walk get()", stmt("get(doc, key)")),
        ("zub value()", stmt("engine.value(key)")),
        ("zub contains()", stmt("engine.contains(key)")),
        ("setdefault-walk set()", stmt("setv(doc, key, 5)")),
        ("zub set_value()", stmt("engine.set_value(key, 5)")),
        ("dict.get (one C call)", stmt("doc.get(a)")),
    ]
    print(f"Key access on a {size / 1000:.0f} KB document, key {key!r} (depth 3):")
    for name, t in rows:
        print(f"  {name:26} {fmt(t)}")
    plain, helper, value, contains, set_helper, set_zub = (r[1] for r in rows[:6])
    print(f"  value/plain {value / plain:.2f}x, contains/plain {contains / plain:.2f}x, "
          f"get-helper/value {helper / value:.2f}x, set-helper/set_value {set_helper / set_zub:.2f}x")


def peers_save(doc, path):
    peers = {}
    import orjson

    def json_dump():
        with open(path, "w") as f:
            json.dump(doc, f, indent=2, ensure_ascii=False)

    def orjson_dump():
        with open(path, "wb") as f:
            f.write(orjson.dumps(doc, option=orjson.OPT_INDENT_2))

    peers["json"] = [("json.dump(indent=2)", json_dump), ("orjson OPT_INDENT_2", orjson_dump)]
    import yaml

    def yaml_dump():
        with open(path, "w") as f:
            yaml.dump(doc, f, Dumper=yaml.CSafeDumper, allow_unicode=True, sort_keys=True)

    peers["yaml"] = [("PyYAML CSafeDumper", yaml_dump)]
    import tomli_w

    def toml_dump():
        with open(path, "wb") as f:
            tomli_w.dump(doc, f)

    peers["toml"] = [("tomli_w.dump", toml_dump)]
    import json5

    def json5_dump():
        with open(path, "w") as f:
            f.write(json5.dumps(doc, indent=2))

    peers["json5"] = [("json5.dumps", json5_dump)]
    return peers


# Saving is measured on a disk, where flushing costs what it costs users
# (the environment's /tmp is a memory file system).
BENCH_DIR = os.environ.get("ZUB_BENCH_DIR", "/var/tmp" if os.access("/var/tmp", os.W_OK) else None)


def save_scenario():
    disk = tempfile.mkdtemp(dir=BENCH_DIR)
    memory_fs = tempfile.mkdtemp(dir="/dev/shm" if os.access("/dev/shm", os.W_OK) else None)
    try:
        save_to(disk, memory_fs)
    finally:
        shutil.rmtree(disk)
        shutil.rmtree(memory_fs)


def save_to(disk, memory_fs):
    for target in (200_000, 10_000_000):
        doc = document(target)
        for driver in ("json", "json5", "toml", "yaml"):
            number = 5 if target < 1_000_000 else 1
            timings = {}
            for where in (disk, memory_fs):
                path = os.path.join(where, f"out.{driver}")
                engine = ZubSettingEngine(path, driver)
                for k, v in doc.items():
                    engine.set_value(k, v)
                timings[where] = best(engine.sync, number, repeat=3)
                size = os.path.getsize(path)
            ours, unflushed = timings[disk], timings[memory_fs]
            print(f"Saving {size / 1e6:.2f} MB as {driver}:")
            print(f"  {'zub sync() to disk':26} {fmt(ours)}")
            print(f"  {'zub sync() to memory fs':26} {fmt(unflushed)}  (no flush to stable storage)")
            for name, fn in peers_save(doc, os.path.join(disk, f"peer.{driver}"))[driver]:
                t = best(fn, 1 if target >= 1_000_000 or driver in ("json5", "toml") else number, repeat=3)
                print(f"  {name:26} {fmt(t)}  -> zub is {t / ours:.1f}x faster "
                      f"({t / unflushed:.1f}x without the flush)")


def load_scenario():
    tmp = tempfile.mkdtemp()
    import orjson
    import tomllib

    import json5
    import yaml

    for target in (200_000, 10_000_000):
        doc = document(target)
        files = {}
        for driver in ("json", "json5", "toml", "yaml"):
            path = os.path.join(tmp, f"in.{driver}")
            e = ZubSettingEngine(path, driver)
            for k, v in doc.items():
                e.set_value(k, v)
            e.sync()
            files[driver] = path

        def read_bytes(p):
            with open(p, "rb") as f:
                return f.read()

        peers = {
            "json": [("json.load", lambda: json.load(open(files["json"]))),
                     ("orjson.loads", lambda: orjson.loads(read_bytes(files["json"])))],
            "json5": [("json5.load", lambda: json5.load(open(files["json5"])))],
            "toml": [("tomllib.load", lambda: tomllib.load(open(files["toml"], "rb")))],
            "yaml": [("PyYAML CSafeLoader", lambda: yaml.load(open(files["yaml"]), Loader=yaml.CSafeLoader))],
        }
        for driver, path in files.items():
            size = os.path.getsize(path)
            number = 3 if target < 1_000_000 else 1
            ours = best(lambda: ZubSettingEngine(path, driver), number, repeat=3)
            print(f"Loading {size / 1e6:.2f} MB of {driver}:")
            print(f"  {'zub ZubSettingEngine()':26} {fmt(ours)}")
            for name, fn in peers[driver]:
                if driver == "json5" and target >= 1_000_000:
                    continue  # json5.load takes minutes at this size
                t = best(fn, 1, repeat=2)
                print(f"  {name:26} {fmt(t)}  -> zub is {t / ours:.1f}x faster")


SCENARIOS = {"keys": keys_scenario, "save": save_scenario, "load": load_scenario}

if __name__ == "__main__":
    import warnings

    warnings.simplefilter("ignore", ResourceWarning)
    chosen = sys.argv[1:] or list(SCENARIOS)
    print(f"Python {sys.version.split()[0]}")
    for name in chosen:
        SCENARIOS[name]()
        print()
