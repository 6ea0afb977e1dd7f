"""Benchmarks of zub against the Python tools people use today, all in one run.

    ./dev bench                 every workload; writes benchmarks/RESULTS.md and the charts
    ./dev bench load save ...   only the named workloads (load, save, keys, memory, scaling),
                                printed, with no report written
    ./dev bench hostile         patterned and flooding keys, one huge group edited in place
    ./dev bench churn           resident memory before and after 1,000,000 set_value + remove pairs

Every figure is the median of several timed samples, with the spread (lowest and
highest sample) beside it; every ratio compares medians measured in this run.
Garbage collection is off while a sample runs, as timeit does: that only helps
the peers, which build Python objects. The contenders of one case take turns,
one sample each per round, so that a change in the machine's load hits all alike.
"""
import gc
import json
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time
import timeit

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import docgen  # noqa: E402
from zub import ZubSettingEngine, _zub_core  # noqa: E402

HERE = os.path.dirname(os.path.abspath(__file__))
SIZES = {"2 KB": 2_000, "200 KB": 200_000, "10 MB": 10_000_000}
FORMATS = ("json", "json5", "toml", "yaml")
EXT = {"json": "json", "json5": "json5", "toml": "toml", "yaml": "yaml"}

# Files that are loaded and saved live on the disk, where a flush costs what it
# costs users (/tmp inside the environment is a memory file system). /dev/shm is
# the memory file system used to time saving without the flush.
DISK_DIR = os.environ.get("ZUB_BENCH_DIR", "/var/tmp")
MEMORY_DIR = "/dev/shm"


# --- timing ---------------------------------------------------------------------------------

class Sample:
    """Per-call times of one measurement, in seconds."""

    def __init__(self, times):
        self.times = sorted(times)
        self.median = statistics.median(self.times)

    @property
    def low(self):
        return self.times[0]

    @property
    def high(self):
        return self.times[-1]

    def spread(self):
        return f"{fmt(self.median)} ({fmt(self.low)}–{fmt(self.high)})"


def measure_together(fns, budget):
    """Times several contenders in rounds, one sample of each per round.

    The machine is shared and its speed drifts over seconds; taking turns gives
    every contender the same conditions, so the ratios between them hold.
    """
    numbers, sample_cost = {}, 0.0
    for name, fn in fns.items():
        first = time.perf_counter()
        fn()
        once = max(time.perf_counter() - first, 1e-7)
        numbers[name] = max(1, int(0.02 / once))
        sample_cost += once * numbers[name]
    rounds = max(3, min(15, int(budget * len(fns) / sample_cost)))
    times = {name: [] for name in fns}
    gc.collect()  # once: collecting between samples would leave every sample's caches cold
    enabled = gc.isenabled()
    gc.disable()
    try:
        for _ in range(rounds):
            for name, fn in fns.items():
                number = numbers[name]
                start = time.perf_counter()
                for _ in range(number):
                    fn()
                times[name].append((time.perf_counter() - start) / number)
    finally:
        if enabled:
            gc.enable()
    return {name: Sample(t) for name, t in times.items()}


def fmt(seconds):
    if seconds < 1e-6:
        return f"{seconds * 1e9:.0f} ns"
    if seconds < 1e-3:
        return f"{seconds * 1e6:.1f} µs"
    if seconds < 1:
        return f"{seconds * 1e3:.1f} ms"
    return f"{seconds:.2f} s"


def ratio(peer, ours):
    return peer.median / ours.median


# --- documents ------------------------------------------------------------------------------

class Corpus:
    """The documents of every size, written once in every format by the peers' own writers."""

    def __init__(self, sizes):
        import json5
        import tomli_w
        import yaml

        self.dir = tempfile.mkdtemp(prefix="zub-bench-", dir=DISK_DIR)
        self.docs, self.files = {}, {}
        for label, target in sizes.items():
            doc = docgen.document(target)
            self.docs[label] = doc
            texts = {
                "json": json.dumps(doc, indent=2, ensure_ascii=False),
                "json5": json5.dumps(doc, indent=2),
                "toml": tomli_w.dumps(doc),
                "yaml": yaml.dump(doc, Dumper=yaml.CSafeDumper, allow_unicode=True,
                                  sort_keys=False, width=1 << 30),
            }
            for fmt_name, text in texts.items():
                path = os.path.join(self.dir, f"{label.replace(' ', '')}.{EXT[fmt_name]}")
                with open(path, "w", encoding="utf-8") as f:
                    f.write(text)
                self.files[label, fmt_name] = path

    def size(self, label, fmt_name):
        return os.path.getsize(self.files[label, fmt_name])

    def close(self):
        shutil.rmtree(self.dir, ignore_errors=True)


def read_bytes(path):
    with open(path, "rb") as f:
        return f.read()


# --- workload 1: load -----------------------------------------------------------------------

def load_peers(fmt_name, path):
    import msgspec
    import orjson
    import tomllib

    import json5
    import yaml

    def json_load():
        with open(path, encoding="utf-8") as f:
            return json.load(f)

    def json5_load():
        with open(path, encoding="utf-8") as f:
            return json5.load(f)

    def yaml_load():
        with open(path, "rb") as f:
            return yaml.load(f, Loader=yaml.CSafeLoader)

    def toml_load():
        with open(path, "rb") as f:
            return tomllib.load(f)

    return {
        "json": [("json.load", json_load),
                 ("orjson.loads", lambda: orjson.loads(read_bytes(path))),
                 ("msgspec.json.decode", lambda: msgspec.json.decode(read_bytes(path)))],
        "json5": [("json5.load", json5_load)],
        "toml": [("tomllib.load", toml_load),
                 ("msgspec.toml.decode", lambda: msgspec.toml.decode(read_bytes(path)))],
        "yaml": [("PyYAML CSafeLoader", yaml_load)],
    }[fmt_name]


# json5.load reads about 0.1 MB/s here: the 10 MB file would take minutes per call.
SKIP_LOAD = {("10 MB", "json5.load")}


def load_workload(corpus, results):
    rows = []
    for label in corpus.docs:
        for fmt_name in FORMATS:
            path = corpus.files[label, fmt_name]
            size = corpus.size(label, fmt_name)
            fns = {"zub": lambda: ZubSettingEngine(path, fmt_name)}
            fns.update((name, fn) for name, fn in load_peers(fmt_name, path) if (label, name) not in SKIP_LOAD)
            samples = measure_together(fns, budget=1.5)
            ours = samples.pop("zub")
            peers = list(samples.items())
            rows.append({"size": label, "format": fmt_name, "bytes": size, "zub": ours, "peers": peers})
            print(f"load {label:>6} {fmt_name:5} {size / 1e6:7.3f} MB  zub {ours.spread()}  "
                  + "  ".join(f"{n} {s.spread()} ({ratio(s, ours):.1f}x)" for n, s in peers), flush=True)
    results["load"] = rows


# --- workload 2: save -----------------------------------------------------------------------

def save_peers(fmt_name, doc, path):
    import orjson
    import tomli_w

    import json5
    import yaml

    def json_dump():
        with open(path, "w", encoding="utf-8") as f:
            json.dump(doc, f, indent=2, ensure_ascii=False)

    def json_dumps():
        text = json.dumps(doc, indent=2, ensure_ascii=False)
        with open(path, "w", encoding="utf-8") as f:
            f.write(text)

    def orjson_dump():
        data = orjson.dumps(doc, option=orjson.OPT_INDENT_2)
        with open(path, "wb") as f:
            f.write(data)

    def yaml_dump():
        with open(path, "w", encoding="utf-8") as f:
            yaml.dump(doc, f, Dumper=yaml.CSafeDumper, allow_unicode=True, sort_keys=False,
                      width=1 << 30)

    def toml_dump():
        with open(path, "wb") as f:
            tomli_w.dump(doc, f)

    def json5_dump():
        text = json5.dumps(doc, indent=2)
        with open(path, "w", encoding="utf-8") as f:
            f.write(text)

    return {
        "json": [("json.dump(indent=2)", json_dump), ("json.dumps(indent=2)+write", json_dumps),
                 ("orjson OPT_INDENT_2+write", orjson_dump)],
        "json5": [("json5.dumps+write", json5_dump)],
        "toml": [("tomli_w.dump", toml_dump)],
        "yaml": [("PyYAML CSafeDumper", yaml_dump)],
    }[fmt_name]


def flush_cost(size, directory):
    """What the atomic replace adds for a file of this size: fsync of the file and of the directory.

    The same steps as sync (write a temporary file, rename it over the target), timed
    with and without the two flushes; the difference is the flush alone.
    """
    data = os.urandom(size)
    target = os.path.join(directory, "flush.bin")
    tmp = target + ".tmp"

    def replace(flush):
        fd = os.open(tmp, os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o666)
        try:
            os.write(fd, data)
            if flush:
                os.fsync(fd)
        finally:
            os.close(fd)
        os.rename(tmp, target)
        if flush:
            dfd = os.open(directory, os.O_RDONLY | os.O_DIRECTORY)
            try:
                os.fsync(dfd)
            finally:
                os.close(dfd)

    samples = measure_together({"flushed": lambda: replace(True), "plain": lambda: replace(False)}, budget=1.0)
    flushed, plain = samples["flushed"], samples["plain"]
    os.unlink(target)
    return flushed, plain


def save_workload(corpus, results):
    rows = []
    disk = tempfile.mkdtemp(prefix="zub-save-", dir=DISK_DIR)
    memory = tempfile.mkdtemp(prefix="zub-save-", dir=MEMORY_DIR)
    try:
        for label in ("200 KB", "10 MB"):
            doc = corpus.docs[label]
            key = "/".join(docgen.depth3_key(doc))
            for fmt_name in FORMATS:
                fns = {}
                for where, directory in (("disk", disk), ("memory", memory)):
                    path = os.path.join(directory, f"zub.{EXT[fmt_name]}")
                    shutil.copy(corpus.files[label, fmt_name], path)
                    engine = ZubSettingEngine(path, fmt_name)
                    counter = iter(range(10**9))

                    def save(engine=engine, counter=counter):
                        engine.set_value(key, next(counter))
                        engine.sync()

                    fns["zub", where] = save
                    for name, fn in save_peers(fmt_name, doc, os.path.join(directory, f"peer.{EXT[fmt_name]}")):
                        fns[name, where] = fn
                samples = measure_together(fns, budget=1.5)
                timings = {where: samples["zub", where] for where in ("disk", "memory")}
                peers = [(name, {where: samples[name, where] for where in ("disk", "memory")})
                         for name, _ in save_peers(fmt_name, doc, "")]
                size = os.path.getsize(os.path.join(disk, f"zub.{EXT[fmt_name]}"))
                flushed, unflushed_write = flush_cost(size, disk)
                flush = max(flushed.median - unflushed_write.median, 0.0)
                rows.append({"size": label, "format": fmt_name, "bytes": size, "zub": timings,
                             "flush": flush, "flush_samples": (flushed, unflushed_write), "peers": peers})
                print(f"save {label:>6} {fmt_name:5} {size / 1e6:7.3f} MB  zub sync disk "
                      f"{timings['disk'].spread()}  memory fs {timings['memory'].spread()}  "
                      f"flush {fmt(flush)}  "
                      + "  ".join(f"{n} {p['disk'].spread()} ({ratio(p['disk'], timings['disk']):.2f}x; "
                                  f"{ratio(p['memory'], timings['memory']):.2f}x unflushed)"
                                  for n, p in peers), flush=True)
    finally:
        shutil.rmtree(disk, ignore_errors=True)
        shutil.rmtree(memory, ignore_errors=True)
    results["save"] = rows


# --- workload 3: per-key operations ---------------------------------------------------------

def get_helper(d, key):
    node = d
    for part in key.split("/"):
        if not isinstance(node, dict) or part not in node:
            return None
        node = node[part]
    return node


def has_helper(d, key):
    node = d
    for part in key.split("/"):
        if not isinstance(node, dict) or part not in node:
            return False
        node = node[part]
    return True


def set_helper(d, key, value):
    parts = key.split("/")
    node = d
    for part in parts[:-1]:
        node = node.setdefault(part, {})
    node[parts[-1]] = value


def remove_helper(d, key):
    parts = key.split("/")
    node = d
    for part in parts[:-1]:
        node = node.get(part)
        if not isinstance(node, dict):
            return
    node.pop(parts[-1], None)


def all_keys_helper(d, prefix=""):
    out = []
    for k, v in d.items():
        path = prefix + k
        if isinstance(v, dict):
            out.extend(all_keys_helper(v, path + "/"))
        else:
            out.append(path)
    return out


def child_keys_helper(d):
    return [k for k, v in d.items() if not isinstance(v, dict)]


def qsettings_for(doc, path):
    from PySide6.QtCore import QSettings

    q = QSettings(path, QSettings.Format.IniFormat)
    for parts in docgen.leaf_paths(doc):
        node = doc
        for p in parts:
            node = node[p]
        q.setValue("/".join(parts), node)
    q.sync()
    return QSettings(path, QSettings.Format.IniFormat)


KEY_OPS = ["value", "contains", "set_value", "set_value + remove", "all_keys", "child_keys",
           "begin_group + value + end_group"]


def keys_workload(corpus, results):
    doc = json.loads(json.dumps(corpus.docs["200 KB"]))
    a, b, c = docgen.depth3_key(doc)
    key = f"{a}/{b}/{c}"
    tmp = tempfile.mkdtemp(prefix="zub-keys-", dir=DISK_DIR)
    try:
        engine = ZubSettingEngine(corpus.files["200 KB", "json"])
        in_group = ZubSettingEngine(corpus.files["200 KB", "json"])
        in_group.begin_group(a)
        in_group.begin_group(b)
        q = qsettings_for(doc, os.path.join(tmp, "doc.ini"))
        q_group = qsettings_for(doc, os.path.join(tmp, "group.ini"))
        q_group.beginGroup(f"{a}/{b}")
        names = dict(doc=doc, engine=engine, in_group=in_group, q=q, q_group=q_group, get=get_helper,
                     has=has_helper, setv=set_helper, rm=remove_helper, all_keys=all_keys_helper,
                     child_keys=child_keys_helper)
        # Keys are literals in every statement, as in the plain expression d["a"]["b"]["c"].
        k, n, r = repr(key), repr(f"{a}/{b}/zz_new"), repr(f"{b}/{c}")
        pa, pb, pc = repr(a), repr(b), repr(c)
        stmts = {
            "value": [("zub", f"engine.value({k})"), ("plain d[a][b][c]", f"doc[{pa}][{pb}][{pc}]"),
                      ("split-and-walk helper", f"get(doc, {k})"), ("QSettings", f"q.value({k})")],
            "contains": [("zub", f"engine.contains({k})"), ("plain d[a][b][c]", f"{pc} in doc[{pa}][{pb}]"),
                         ("split-and-walk helper", f"has(doc, {k})"), ("QSettings", f"q.contains({k})")],
            "set_value": [("zub", f"engine.set_value({k}, 5)"), ("plain d[a][b][c]", f"doc[{pa}][{pb}][{pc}] = 5"),
                          ("split-and-walk helper", f"setv(doc, {k}, 5)"),
                          ("QSettings", f"q.setValue({k}, 5)")],
            "set_value + remove": [
                ("zub", f"engine.set_value({n}, 5); engine.remove({n})"),
                ("plain d[a][b][c]", f"doc[{pa}][{pb}]['zz_new'] = 5; del doc[{pa}][{pb}]['zz_new']"),
                ("split-and-walk helper", f"setv(doc, {n}, 5); rm(doc, {n})"),
                ("QSettings", f"q.setValue({n}, 5); q.remove({n})")],
            "all_keys": [("zub", "engine.all_keys()"), ("split-and-walk helper", "all_keys(doc)"),
                         ("QSettings", "q.allKeys()")],
            "child_keys": [("zub", "in_group.child_keys()"),
                           ("plain d[a][b][c]", f"child_keys(doc[{pa}][{pb}])"),
                           ("QSettings", "q_group.childKeys()")],
            "begin_group + value + end_group": [
                ("zub", f"engine.begin_group({pa}); engine.value({r}); engine.end_group()"),
                ("plain d[a][b][c]", f"g = doc[{pa}]; g[{pb}][{pc}]"),
                ("split-and-walk helper", f"get(doc[{pa}], {r})"),
                ("QSettings", f"q.beginGroup({pa}); q.value({r}); q.endGroup()")],
        }
        rows = {}
        for op in KEY_OPS:
            timers = []
            for name, stmt in stmts[op]:
                timer = timeit.Timer(stmt, globals=names)
                number, once = timer.autorange()
                timers.append((name, timer, max(1, int(number * 0.2 / max(once, 1e-9)))))  # 0.2 s a sample
            times = {name: [] for name, _, _ in timers}
            for _ in range(5):  # in turns, as measure_together does
                for name, timer, number in timers:
                    times[name].append(timer.timeit(number) / number)
            rows[op] = [(name, Sample(times[name])) for name, _, _ in timers]
            ours = rows[op][0][1]
            print(f"keys {op:32} " + "  ".join(
                f"{n} {s.spread()}" + ("" if n == "zub" else f" ({ratio(s, ours):.2f}x)")
                for n, s in rows[op]), flush=True)
        results["keys"] = {"key": key, "bytes": corpus.size("200 KB", "json"),
                           "leaves": sum(1 for _ in docgen.leaf_paths(doc)), "rows": rows}
    finally:
        shutil.rmtree(tmp, ignore_errors=True)


# --- workload 4: memory ---------------------------------------------------------------------

MEMORY_PROBE = r"""
import gc, json, sys
def status():
    out = {}
    with open("/proc/self/status") as f:
        for line in f:
            k, _, v = line.partition(":")
            if k in ("VmRSS", "VmHWM"):
                out[k] = int(v.split()[0]) * 1024
    return out
kind, path = sys.argv[1], sys.argv[2]
import orjson
from zub import ZubSettingEngine
gc.collect()
before = status()
if kind == "zub":
    held = ZubSettingEngine(path)
elif kind == "json.load":
    with open(path, encoding="utf-8") as f:
        held = json.load(f)
else:
    with open(path, "rb") as f:
        held = orjson.loads(f.read())
gc.collect()
after = status()
print(json.dumps({"retained": after["VmRSS"] - before["VmRSS"], "peak": after["VmHWM"] - before["VmRSS"]}))
"""


def memory_workload(corpus, results):
    path = corpus.files["10 MB", "json"]
    rows = []
    for kind in ("zub", "json.load", "orjson.loads"):
        runs = []
        for _ in range(3):
            out = subprocess.run([sys.executable, "-c", MEMORY_PROBE, kind, path], check=True,
                                 capture_output=True, text=True).stdout
            runs.append(json.loads(out))
        rows.append((kind, statistics.median(r["retained"] for r in runs),
                     statistics.median(r["peak"] for r in runs)))
        print(f"memory {kind:12} retained {rows[-1][1] / 1e6:.1f} MB  peak {rows[-1][2] / 1e6:.1f} MB",
              flush=True)
    results["memory"] = {"bytes": corpus.size("10 MB", "json"),
                         "leaves": sum(1 for _ in docgen.leaf_paths(corpus.docs["10 MB"])), "rows": rows}


# --- workload: a long-running program -------------------------------------------------------

CHURN_PROBE = r"""
import gc, json, sys, time
from zub import ZubSettingEngine
def rss():
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith("VmRSS:"):
                return int(line.split()[1]) * 1024
path, pairs = sys.argv[1], int(sys.argv[2])
engine = ZubSettingEngine(path)
parents = sorted({k.rpartition("/")[0] for k in engine.all_keys()})
values = ["x", "a value longer than any inline string", 12345, -7, 2.5, True, None, [1, "two", 3.0],
          {"k": "v", "list": [1, 2], "inner": {"deep": "text beyond the inline size"}}]
gc.collect()
before = rss()
marks = {}
start = time.perf_counter()
for i in range(pairs):
    key = f"{parents[(i * 7919) % len(parents)]}/churn_{i % 13}"
    engine.set_value(key, values[i % len(values)])
    engine.remove(key)
    if i + 1 in (pairs // 10, pairs // 2):
        marks[i + 1] = rss()
elapsed = time.perf_counter() - start
gc.collect()
print(json.dumps({"before": before, "marks": marks, "after": rss(), "seconds": elapsed, "groups": len(parents)}))
"""


def churn_workload(corpus, results):
    """1,000,000 set_value + remove pairs on the 200 KB document: resident memory before and after."""
    pairs = 1_000_000
    out = json.loads(subprocess.run([sys.executable, "-c", CHURN_PROBE, corpus.files["200 KB", "json"], str(pairs)],
                                    check=True, capture_output=True, text=True).stdout)
    marks = "  ".join(f"after {int(n):,} {v / 1e6:.1f} MB" for n, v in sorted(out["marks"].items(), key=lambda kv: int(kv[0])))
    print(f"churn {pairs:,} set_value + remove over {out['groups']} groups in {out['seconds']:.1f} s: "
          f"RSS before {out['before'] / 1e6:.1f} MB  {marks}  after {out['after'] / 1e6:.1f} MB  "
          f"after/before {out['after'] / out['before']:.3f}", flush=True)
    results["churn"] = out


# --- workload 5: scaling --------------------------------------------------------------------

SCALING_SIZES = {"2 KB": 2_000, "20 KB": 20_000, "200 KB": 200_000, "2 MB": 2_000_000, "10 MB": 10_000_000}


def scaling_workload(corpus, results):
    import orjson

    rows = []
    tmp = tempfile.mkdtemp(prefix="zub-scale-", dir=DISK_DIR)
    try:
        for label, target in SCALING_SIZES.items():
            if label in corpus.docs:
                doc, path = corpus.docs[label], corpus.files[label, "json"]
            else:
                doc = docgen.document(target)
                path = os.path.join(tmp, f"{label.replace(' ', '')}.json")
                with open(path, "w", encoding="utf-8") as f:
                    json.dump(doc, f, indent=2, ensure_ascii=False)
            size = os.path.getsize(path)
            samples = measure_together({"zub": lambda: ZubSettingEngine(path),
                                        "orjson": lambda: orjson.loads(read_bytes(path))}, budget=1.0)
            load, peer_load = samples["zub"], samples["orjson"]
            a, b, c = docgen.depth3_key(doc)
            names = {"engine": ZubSettingEngine(path), "doc": orjson.loads(read_bytes(path))}
            value = Sample([t / 200_000 for t in timeit.Timer(f"engine.value({f'{a}/{b}/{c}'!r})", globals=names)
                            .repeat(repeat=5, number=200_000)])
            plain = Sample([t / 200_000 for t in timeit.Timer(f"doc[{a!r}][{b!r}][{c!r}]", globals=names)
                            .repeat(repeat=5, number=200_000)])
            rows.append({"size": label, "bytes": size, "load": load, "orjson": peer_load,
                         "value": value, "plain": plain})
            print(f"scaling {label:>6} {size / 1e6:7.3f} MB  load {load.spread()}  orjson {peer_load.spread()}  "
                  f"value {value.spread()}  plain {plain.spread()}", flush=True)
    finally:
        shutil.rmtree(tmp, ignore_errors=True)
    results["scaling"] = rows


# --- workload 6: TOML files of real shapes --------------------------------------------------

def toml_workload(corpus, results):
    import tomllib

    import tomldocs

    rows = []
    tmp = tempfile.mkdtemp(prefix="zub-toml-", dir=DISK_DIR)
    try:
        for shape in tomldocs.SHAPES:
            for label, target in tomldocs.SIZES.items():
                path = os.path.join(tmp, f"{shape}-{label.replace(' ', '')}.toml")
                with open(path, "w", encoding="utf-8") as f:
                    f.write(tomldocs.document(shape, target))

                def toml_load(path=path):
                    with open(path, "rb") as f:
                        return tomllib.load(f)

                samples = measure_together({"zub": lambda path=path: ZubSettingEngine(path, "toml"),
                                            "tomllib.load": toml_load}, budget=1.5)
                ours, peer = samples["zub"], samples["tomllib.load"]
                size = os.path.getsize(path)
                rows.append({"shape": shape, "size": label, "bytes": size, "zub": ours, "tomllib": peer})
                print(f"toml {shape:9} {label:>6} {size / 1e6:7.3f} MB  zub {ours.spread()}  "
                      f"tomllib.load {peer.spread()} ({ratio(peer, ours):.1f}x)", flush=True)
    finally:
        shutil.rmtree(tmp, ignore_errors=True)
    results["toml"] = rows


# --- workload 7: hostile keys -----------------------------------------------------------------

def patterned_document():
    """About 200 KB whose keys differ only in their last characters."""
    return {f"group{g:02}": {f"item_{i:04}": {f"sensor-{s:05}": g * 1000 + i * 10 + s for s in range(1, 6)}
                             for i in range(1, 41)} for g in range(1, 61)}


FNV_BASIS, FNV_PRIME, MASK64 = 0xcbf29ce484222325, 0x100000001b3, (1 << 64) - 1


def flooding_keys(count, length=15):
    """Keys of one length that all land in one probe run of an unseeded FNV-style index.

    Such an index hashes the first 8 bytes as a word w (h1 = fold((basis ^ len ^ w) * prime)),
    then the 7-byte tail t as (h1 ^ t) * prime, and takes the low bits of h ^ (h >> 32) as
    the slot: those depend only on (h1 ^ t) mod 2^50. Fixing that value and solving for t
    gives one colliding key for every word whose solution is printable text.
    """
    import numpy as np

    alphabet = np.frombuffer(b"0123456789abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ-_", np.uint8)
    target = np.uint64(0x2A2A2A2A2A2A | (1 << 48))
    keys, start, batch = [], 0, 1 << 22
    with np.errstate(over="ignore"):
        while len(keys) < count:
            n = np.arange(start, start + batch, dtype=np.uint64)
            start += batch
            w = np.zeros(batch, np.uint64)
            for k in range(8):
                w |= alphabet[(n >> np.uint64(6 * k)) & np.uint64(63)].astype(np.uint64) << np.uint64(8 * k)
            h = (np.uint64(FNV_BASIS ^ length) ^ w) * np.uint64(FNV_PRIME)
            h ^= h >> np.uint64(29)
            t = (h ^ target) & np.uint64((1 << 50) - 1)
            ok = np.ones(batch, bool)
            for k in range(6):
                b = (t >> np.uint64(8 * k)) & np.uint64(0xFF)
                ok &= (b >= 0x20) & (b <= 0x7E) & (b != 0x22) & (b != 0x5C)
            for wv, tv in zip(w[ok].tolist(), t[ok].tolist()):
                tail = tv | (0x40 << 48)  # the top byte's low bits are the target's bits 48-49
                keys.append(wv.to_bytes(8, "little").decode() + tail.to_bytes(7, "little").decode())
    return keys[:count]


def hostile_workload(corpus, results):
    """Lookups on patterned keys, one huge group edited in place, and loading a flooding key set."""
    tmp = tempfile.mkdtemp(prefix="zub-hostile-", dir=DISK_DIR)
    rows = {}
    try:
        # value and contains against the plain expression, on patterned and on word keys.
        docs = {"patterned": patterned_document(), "words": json.loads(json.dumps(corpus.docs["200 KB"]))}
        for name, doc in docs.items():
            path = os.path.join(tmp, f"{name}.json")
            with open(path, "w") as f:
                json.dump(doc, f, indent=2)
            engine = ZubSettingEngine(path)
            a, b, c = ("group31", "item_0017", "sensor-00003") if name == "patterned" else docgen.depth3_key(doc)
            k, pa, pb, pc = repr(f"{a}/{b}/{c}"), repr(a), repr(b), repr(c)
            g = {"engine": engine, "doc": doc}
            for op, ours, plain in (("value", f"engine.value({k})", f"doc[{pa}][{pb}][{pc}]"),
                                    ("contains", f"engine.contains({k})", f"{pc} in doc[{pa}][{pb}]")):
                fns = {"zub": timeit.Timer(ours, globals=g).timeit,
                       "plain": timeit.Timer(plain, globals=g).timeit}
                samples = measure_together({n: (lambda fn=fn: fn(1000)) for n, fn in fns.items()}, budget=1.0)
                z, p = samples["zub"].median / 1000, samples["plain"].median / 1000
                rows[f"{op} {name}"] = z / p
                print(f"hostile {op:8} {name:9} {os.path.getsize(path) / 1e3:5.0f} KB  zub {fmt(z)}  "
                      f"plain {fmt(p)}  zub/plain {z / p:.2f}x", flush=True)
        # 100,000 set_value then 100,000 remove in one group, in three orders.
        count = 100_000
        names = [f"item_{i:06}" for i in range(count)]
        orders = {"ascending": names, "descending": names[::-1],
                  "random": __import__("random").Random(5).sample(names, count)}
        for order, keys in orders.items():
            engine = ZubSettingEngine(os.path.join(tmp, "unused.json"), "memory")
            engine.begin_group("big")
            start = time.perf_counter()
            for key in keys:
                engine.set_value(key, 1)
            filled = time.perf_counter() - start
            for key in keys:
                engine.remove(key)
            total = time.perf_counter() - start
            d = {}
            start = time.perf_counter()
            for key in keys:
                d[key] = 1
            for key in keys:
                del d[key]
            plain = time.perf_counter() - start
            rows[f"set+remove {order}"] = total
            print(f"hostile {count} set_value + {count} remove {order:10} zub {fmt(total)} "
                  f"(set_value {fmt(filled)})  plain dict {fmt(plain)}", flush=True)
        # Loading one object of 100,000 members: ordinary keys, and keys that flood an unseeded index.
        started = time.perf_counter()
        flood = flooding_keys(count + 1)
        print(f"hostile made {len(flood)} flooding keys in {time.perf_counter() - started:.1f} s", flush=True)
        # Both in an order that has to be sorted, so that only the keys differ.
        ordinary = __import__("random").Random(6).sample([f"key_{i:011}" for i in range(count)], count)
        sets = {"ordinary": ordinary, "flooding": flood[:count]}
        absent = {"ordinary": f"key_{count:011}", "flooding": flood[count]}  # for a missing-key lookup
        paths = {}
        for name, keys in sets.items():
            paths[name] = os.path.join(tmp, f"{name}.json")
            with open(paths[name], "w") as f:
                json.dump({key: i for i, key in enumerate(keys)}, f)
        samples = measure_together({n: (lambda p=p: ZubSettingEngine(p)) for n, p in paths.items()}, budget=2.0)
        engines = {n: ZubSettingEngine(p) for n, p in paths.items()}
        miss = {n: timeit.Timer(f"e.contains({absent[n]!r})", globals={"e": e}).timeit(2000) / 2000
                for n, e in engines.items()}
        rows["load flooding/ordinary"] = samples["flooding"].median / samples["ordinary"].median
        print(f"hostile load 100,000 keys  ordinary {samples['ordinary'].spread()}  "
              f"flooding {samples['flooding'].spread()}  flooding/ordinary "
              f"{rows['load flooding/ordinary']:.2f}x  missing-key contains: ordinary {fmt(miss['ordinary'])}"
              f"  flooding {fmt(miss['flooding'])}", flush=True)
    finally:
        shutil.rmtree(tmp, ignore_errors=True)
    results["hostile"] = rows


# --- workload: saving that keeps the layout ---------------------------------------------------

def layout_workload(corpus, results):
    """keep_layout=True against the plain path: load, sync after one change, and the two together.

    On the memory file system, so that both pay the same nothing for the flush and the ratio is
    the cost of keeping the text and editing it. For TOML, tomlkit (which keeps the layout too)
    does the round trip as a peer.
    """
    import tomlkit

    rows = []
    tmp = tempfile.mkdtemp(prefix="zub-layout-", dir=MEMORY_DIR)
    try:
        for label in [size for size in ("2 KB", "200 KB") if size in corpus.docs]:
            key = "/".join(docgen.depth3_key(corpus.docs[label]))
            for fmt_name in ("json", "json5", "toml", "yaml"):
                fns, counter, engines = {}, iter(range(10**9)), {}
                for keep in (False, True):
                    path = os.path.join(tmp, f"{keep}.{EXT[fmt_name]}")
                    shutil.copy(corpus.files[label, fmt_name], path)
                    engine = engines[keep] = ZubSettingEngine(path, fmt_name, keep_layout=keep)

                    def sync(engine=engine):
                        engine.set_value(key, next(counter))
                        engine.sync()

                    def round_trip(path=path, keep=keep):
                        e = ZubSettingEngine(path, fmt_name, keep_layout=keep)
                        e.set_value(key, next(counter))
                        e.sync()

                    fns["load", keep] = lambda path=path, keep=keep: ZubSettingEngine(path, fmt_name, keep_layout=keep)
                    fns["sync", keep] = sync
                    fns["load, change one key, save", keep] = round_trip
                if fmt_name == "toml":
                    peer_path = os.path.join(tmp, "peer.toml")
                    shutil.copy(corpus.files[label, fmt_name], peer_path)

                    def tomlkit_round_trip():
                        with open(peer_path, encoding="utf-8") as f:
                            doc = tomlkit.load(f)
                        *parents, last = key.split("/")
                        node = doc
                        for part in parents:
                            node = node[part]
                        node[last] = next(counter)
                        with open(peer_path, "w", encoding="utf-8") as f:
                            tomlkit.dump(doc, f)

                    fns["tomlkit"] = tomlkit_round_trip
                if fmt_name == "yaml":
                    fns["ruamel"] = ruamel_round_trip(corpus.files[label, fmt_name], tmp, key.split("/"), counter)
                samples = measure_together(fns, budget=1.5)
                row = {"size": label, "format": fmt_name, "bytes": corpus.size(label, fmt_name)}
                if "tomlkit" in samples:
                    peer, kept = samples["tomlkit"], samples["load, change one key, save", True]
                    row["tomlkit round trip"] = (peer, kept)
                    print(f"layout {label:>6} toml  tomlkit load, change, save {peer.spread()}  "
                          f"keep_layout is {ratio(peer, kept):.1f}x faster", flush=True)
                if "ruamel" in samples:
                    row["ruamel"] = samples["ruamel"]
                    kept = samples["load, change one key, save", True]
                    print(f"layout {label:>6} yaml  ruamel round trip {samples['ruamel'].spread()}  "
                          f"keep_layout {ratio(samples['ruamel'], kept):.1f}x faster", flush=True)
                for what in ("load", "sync", "load, change one key, save"):
                    plain, kept = samples[what, False], samples[what, True]
                    row[what] = (plain, kept)
                    print(f"layout {label:>6} {fmt_name:5} {what:27} plain {plain.spread()}  "
                          f"keep_layout {kept.spread()}  ({ratio(kept, plain):.2f}x)", flush=True)
                # Counted, so a fast sync that wrote the standard layout does not pass for an edit.
                row["fallbacks"] = _zub_core._layout_fallbacks(engines[True])
                print(f"layout {label:>6} {fmt_name:5} fallbacks {row['fallbacks']}", flush=True)
                rows.append(row)
    finally:
        shutil.rmtree(tmp, ignore_errors=True)
    results["layout"] = rows


def ruamel_round_trip(source, tmp, keys, counter):
    """ruamel.yaml's round-trip mode (comments kept): load, change one key, dump."""
    from ruamel.yaml import YAML
    yaml, path = YAML(typ="rt"), os.path.join(tmp, "ruamel.yaml")
    shutil.copy(source, path)

    def run():
        with open(path) as f:
            doc = yaml.load(f)
        node = doc
        for k in keys[:-1]:
            node = node[k]
        node[keys[-1]] = next(counter)
        with open(path, "w") as f:
            yaml.dump(doc, f)
    return run


WORKLOADS = {"load": load_workload, "save": save_workload, "keys": keys_workload,
             "memory": memory_workload, "scaling": scaling_workload, "toml": toml_workload,
             "hostile": hostile_workload, "layout": layout_workload,
             "churn": churn_workload}


def main(argv):
    import warnings

    warnings.simplefilter("ignore", ResourceWarning)
    chosen = argv or list(WORKLOADS)
    unknown = [w for w in chosen if w not in WORKLOADS]
    if unknown:
        sys.exit(f"unknown workload(s): {', '.join(unknown)}; choose from {', '.join(WORKLOADS)}")
    started = time.time()
    sizes = SIZES if any(w in chosen for w in ("load", "save", "memory")) else {"200 KB": 200_000}
    corpus = Corpus(sizes)
    results = {}
    try:
        for name in chosen:
            t = time.time()
            WORKLOADS[name](corpus, results)
            print(f"-- {name}: {time.time() - t:.0f} s", flush=True)
    finally:
        corpus.close()
    print(f"-- all: {time.time() - started:.0f} s")
    if set(chosen) == set(WORKLOADS):
        import report

        report.write(results, corpus, os.path.join(HERE, "RESULTS.md"), os.path.join(HERE, "charts"),
                     elapsed=time.time() - started)


if __name__ == "__main__":
    main(sys.argv[1:])
