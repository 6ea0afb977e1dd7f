"""Turns one run's measurements into benchmarks/RESULTS.md and a PNG chart per workload."""
import datetime
import os
import platform
import subprocess
import sys

from run import FORMATS, KEY_OPS, fmt, ratio

PACKAGES = ["python3", "python3-orjson", "python3-msgspec", "python3-yaml", "libyaml-0-2", "libfyaml0", "python3-json5",
            "python3-tomli-w", "python3-pyside6.qtcore", "python3-matplotlib"]

# Targets as (what, peer, required ratio peer/zub); the keys' "within 2x" is zub/plain <= 2.
LOAD_TARGETS = {"json": ("the faster of orjson.loads and msgspec.json.decode", 1), "yaml": ("PyYAML CSafeLoader", 3),
                "toml": ("tomllib.load", 5), "json5": ("json5.load", 100)}
SAVE_TARGETS = {"json": ("orjson OPT_INDENT_2+write", 1), "toml": ("tomli_w.dump", 10),
                "yaml": ("PyYAML CSafeDumper", 2), "json5": ("json5.dumps+write", 20)}


def machine():
    cpu = "unknown CPU"
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                if line.startswith("model name"):
                    cpu = line.split(":", 1)[1].strip()
                    break
    except OSError:
        pass
    mem = ""
    try:
        with open("/proc/meminfo") as f:
            mem = f"{int(f.readline().split()[1]) / 1024 / 1024:.0f} GiB RAM"
    except OSError:
        pass
    load = " ".join(f"{x:.2f}" for x in os.getloadavg())
    return f"{cpu}, {os.cpu_count()} CPUs, {mem}, Linux {platform.release()}; load average at the end {load}"


def versions():
    try:
        out = subprocess.run(["dpkg-query", "-W", "-f", "${Package} ${Version}\n", *PACKAGES],
                             capture_output=True, text=True).stdout.split("\n")
    except OSError:
        out = []
    return [line for line in out if line.strip()]


def mark(ok):
    return "met" if ok else "**missed**"


def peer_sample(peers, name):
    if name == LOAD_TARGETS["json"][0]:
        fast = [s for n, s in peers if n in ("orjson.loads", "msgspec.json.decode")]
        return min(fast, key=lambda s: s.median) if fast else None
    for n, s in peers:
        if n == name:
            return s
    return None


def write(results, corpus, path, chart_dir, elapsed):
    os.makedirs(chart_dir, exist_ok=True)
    charts = {}
    try:
        import matplotlib

        matplotlib.use("Agg")
        charts = draw(results, chart_dir)
    except ImportError:
        pass

    out = []
    w = out.append
    w("# zub benchmarks")
    w("")
    w("Written by `./dev bench` (benchmarks/run.py); do not edit by hand. Every ratio compares medians "
      "measured in the same run on the same machine; a ratio above 1 means zub is faster (or smaller). "
      "Times are medians with the lowest and highest sample in brackets.")
    w("")
    w(f"- Date: {datetime.datetime.now(datetime.timezone.utc):%Y-%m-%d %H:%M} UTC; "
      f"zub {os.environ.get('ZUB_COMMIT', 'unknown commit')}; the run took {elapsed / 60:.1f} minutes")
    w(f"- Machine: {machine()}")
    w(f"- Python {sys.version.split()[0]}; Debian packages: " + ", ".join(f"`{v}`" for v in versions()))
    w("- Documents: seeded, nested like real settings (leaves at depth 3 to 6; strings, integers, floats, "
      "booleans, arrays of scalars, a few arrays of small objects; no null), written by each format's "
      "usual Python writer (json.dumps indent=2, json5.dumps, tomli_w, PyYAML). Sizes below are of each file.")
    w("")

    w("## Targets")
    w("")
    w("| Target | Measured | |")
    w("|---|---|---|")
    load_rows = results["load"]
    for fmt_name in FORMATS:
        peer, need = LOAD_TARGETS[fmt_name]
        got = [(r["size"], ratio(peer_sample(r["peers"], peer), r["zub"])) for r in load_rows
               if r["format"] == fmt_name and (r["size"] != "2 KB" or fmt_name == "json")
               and peer_sample(r["peers"], peer)]
        w(f"| Load {fmt_name}: ≥ {need}× {peer} | "
          + ", ".join(f"{x:.1f}× at {s}" for s, x in got) + f" | {mark(all(x >= need for _, x in got))} |")
    for fmt_name in FORMATS:
        peer, need = SAVE_TARGETS[fmt_name]
        got = []
        for r in results["save"]:
            if r["format"] != fmt_name:
                continue
            p = dict(r["peers"])[peer]
            got.append((r["size"], ratio(p["memory"], r["zub"]["memory"]), ratio(p["disk"], r["zub"]["disk"])))
        text = ", ".join(f"{u:.1f}× at {s} ({f:.1f}× with the flush)" for s, u, f in got)
        w(f"| Save {fmt_name}: ≥ {need}× {peer}, serialization and write | {text} | "
          f"{mark(all(u >= need for _, u, _ in got))}; with the flush: {mark(all(f >= need for _, _, f in got))} |")
    keys = results["keys"]["rows"]

    def key(op, peer):
        return ratio(dict(keys[op])[peer], dict(keys[op])["zub"])

    hostile = results.get("hostile", {})
    for op in ("value", "contains"):
        r_plain = 1 / key(op, "plain d[a][b][c]")
        within = [(r_plain, "word keys")] + [(hostile[f"{op} {doc}"], f"{label}, section 6")
                                              for doc, label in (("patterned", "patterned keys"), ("words", "word keys"))
                                              if f"{op} {doc}" in hostile]
        w(f"| `{op}` within 1.5× of plain `d[a][b][c]` | "
          + ", ".join(f"{x:.2f}× the plain time ({what})" for x, what in within)
          + f" | {mark(all(x <= 1.5 for x, _ in within))} |")
        r = key(op, "split-and-walk helper")
        w(f"| `{op}` ≥ 3× faster than the split-and-walk helper | {r:.1f}× | {mark(r >= 3)} |")
        r = key(op, "QSettings")
        w(f"| `{op}` ≥ 6× faster than QSettings.{op} | {r:.1f}× | {mark(r >= 6)} |")
    for peer, label in (("split-and-walk helper", "the setdefault helper"), ("QSettings", "QSettings.setValue")):
        r = key("set_value", peer)
        w(f"| `set_value` ≥ 2× faster than {label} | {r:.1f}× | {mark(r >= 2)} |")
    if "toml" in results:
        got = [(f"{r['shape']} {r['size']}", ratio(r["tomllib"], r["zub"])) for r in results["toml"]]
        w("| Load TOML of every shape: ≥ 5× tomllib.load | "
          + ", ".join(f"{x:.1f}× {s}" for s, x in got) + f" | {mark(all(x >= 5 for _, x in got))} |")
    mem = {k: (ret, peak) for k, ret, peak in results["memory"]["rows"]}
    share = mem["zub"][0] / mem["json.load"][0]
    w(f"| Memory of the 10 MB document ≤ ½ of json.load's objects | {share:.2f} of it "
      f"({mem['zub'][0] / 1e6:.1f} MB against {mem['json.load'][0] / 1e6:.1f} MB) | {mark(share <= 0.5)} |")
    peak = mem["zub"][1] / mem["json.load"][1]
    w(f"| Peak memory loading it ≤ ½ of json.load's peak | {peak:.2f} of it "
      f"({mem['zub'][1] / 1e6:.1f} MB against {mem['json.load'][1] / 1e6:.1f} MB) | {mark(peak <= 0.5)} |")
    if "churn" in results:
        c = results["churn"]
        grown = c["after"] / c["before"]
        w(f"| Resident memory after 1,000,000 `set_value` + `remove` pairs within 10% of before | "
          f"{grown:.3f}× ({c['before'] / 1e6:.1f} MB, then {c['after'] / 1e6:.1f} MB) | {mark(grown <= 1.1)} |")
    if hostile:
        orders = [(k.split()[-1], v) for k, v in hostile.items() if k.startswith("set+remove ")]
        w("| 100,000 `set_value` then 100,000 `remove` in one group under 1 s | "
          + ", ".join(f"{fmt(v)} {o}" for o, v in orders) + f" | {mark(all(v < 1 for _, v in orders))} |")
        f = hostile["load flooding/ordinary"]
        w(f"| Loading 100,000 flooding keys within 2× of ordinary keys | {f:.2f}× | {mark(f <= 2)} |")
    if "layout" in results:
        big = [r for r in results["layout"] if r["size"] == "200 KB"]
        for what, need in (("load", 1.3), ("sync", 2)):
            got = [(r["format"], ratio(r[what][1], r[what][0])) for r in big]
            w(f"| `keep_layout=True` {what} within {need}× of the plain {what} (200 KB) | "
              + ", ".join(f"{x:.2f}× {f}" for f, x in got) + f" | {mark(all(x <= need for _, x in got))} |")
        for r in big:
            for peer, name in (("tomlkit round trip", "tomlkit"), ("ruamel", "ruamel.yaml round-trip")):
                if peer in r:
                    ps = r[peer][0] if peer == "tomlkit round trip" else r[peer]
                    x = ratio(ps, r["load, change one key, save"][1])
                    w(f"| Load, change one key, save with `keep_layout=True` ≥ 100× faster than {name} (200 KB) | "
                      f"{x:.1f}× | {mark(x >= 100)} |")
        fallbacks = sum(r["fallbacks"] for r in results["layout"])
        w(f"| No `keep_layout` save falls back to the standard layout | {fallbacks} | {mark(fallbacks == 0)} |")
    w("")

    w("## 1. Load")
    w("")
    w("Constructing an engine on the file (read, parse, build the tree) against each library reading the "
      "same file into Python objects. Ratio: the peer's time over zub's.")
    w("")
    w("| Size | Format | File | zub | Peer | Peer time | Peer time / zub time |")
    w("|---|---|---|---|---|---|---|")
    for r in load_rows:
        first = True
        for name, s in r["peers"]:
            lead = (f"| {r['size']} | {r['format']} | {r['bytes'] / 1e6:.3f} MB | {r['zub'].spread()} "
                    f"({r['bytes'] / r['zub'].median / 1e6:.0f} MB/s)") if first else "| | | | "
            w(f"{lead} | {name} | {s.spread()} ({r['bytes'] / s.median / 1e6:.1f} MB/s) | "
              f"{ratio(s, r['zub']):.2f}× |")
            first = False
        if not r["peers"]:
            w(f"| {r['size']} | {r['format']} | {r['bytes'] / 1e6:.3f} MB | {r['zub'].spread()} | "
              f"not run: json5.load reads about 0.1 MB/s here, minutes per call | | |")
    w("")
    if "load" in charts:
        w(f"![Load throughput]({charts['load']})")
        w("")

    if "toml" in results:
        w("### TOML files of real shapes")
        w("")
        w("Generated by benchmarks/tomldocs.py: *config* is the document above written by tomli_w, "
          "*pyproject* has dotted keys, inline tables and multi-line strings, *lock* thousands of "
          "`[[package]]` with inline tables and date-times, *strings* long multi-line basic and literal "
          "strings, *flat* one table of patterned keys with one long literal string.")
        w("")
        w("| Shape | Size | File | zub | tomllib.load | tomllib time / zub time |")
        w("|---|---|---|---|---|---|")
        for r in results["toml"]:
            w(f"| {r['shape']} | {r['size']} | {r['bytes'] / 1e6:.3f} MB | {r['zub'].spread()} "
              f"({r['bytes'] / r['zub'].median / 1e6:.0f} MB/s) | {r['tomllib'].spread()} | "
              f"{ratio(r['tomllib'], r['zub']):.2f}× |")
        w("")

    w("## 2. Save")
    w("")
    w("`set_value` of one key, then `sync`, against each library writing the whole document to a file. "
      "`sync` writes a temporary file, flushes it to stable storage (fsync), renames it over the target and "
      "flushes the directory; the peers only write. So each case is run twice: on the disk (ext4; zub "
      "flushes, the peers do not) and on a memory file system (/dev/shm, where fsync has nothing to do: "
      "serialization and write alone, for zub and the peers alike). *Flush* is the cost of the two fsyncs "
      "for a file of that size on the disk, timed separately in the same run (the same write, rename and "
      "fsyncs done from Python, minus the same without the fsyncs).")
    w("")
    w("| Size | Format | File | zub sync, disk | zub sync, memory fs | Flush | Peer | Peer, disk | Peer, memory fs | "
      "Peer / zub, serialization + write | Peer / zub, with the flush |")
    w("|---|---|---|---|---|---|---|---|---|---|---|")
    for r in results["save"]:
        first = True
        for name, p in r["peers"]:
            lead = (f"| {r['size']} | {r['format']} | {r['bytes'] / 1e6:.3f} MB | {r['zub']['disk'].spread()} | "
                    f"{r['zub']['memory'].spread()} | {fmt(r['flush'])}") if first else "| | | | | |"
            w(f"{lead} | {name} | {p['disk'].spread()} | {p['memory'].spread()} | "
              f"{ratio(p['memory'], r['zub']['memory']):.2f}× | {ratio(p['disk'], r['zub']['disk']):.2f}× |")
            first = False
    w("")
    if "save" in charts:
        w(f"![Save time]({charts['save']})")
        w("")

    k = results["keys"]
    w("## 3. Per-key operations")
    w("")
    w(f"On the 200 KB document ({k['bytes'] / 1e3:.0f} KB of JSON, {k['leaves']} leaves), key `{k['key']}` "
      "(a scalar at depth 3). *Plain* is the bare Python expression on the dicts from json.load, the helper "
      "splits the key at \"/\" and walks the dicts (setdefault when writing), QSettings (PySide6, IniFormat) "
      "holds the same leaves and was read back from its file. Each figure is the time of one statement, "
      "loop included (timeit). `set_value + remove` adds a new key and removes it again.")
    w("")
    peers = ["plain d[a][b][c]", "split-and-walk helper", "QSettings"]
    w("| Operation | zub | " + " | ".join(peers) + " |")
    w("|---|---|" + "---|" * len(peers))
    for op in KEY_OPS:
        rows = dict(k["rows"][op])
        ours = rows["zub"]
        cells = []
        for p in peers:
            s = rows.get(p)
            cells.append("–" if s is None else f"{s.spread()}: zub {ratio(s, ours):.2f}×")
        w(f"| `{op}` | {ours.spread()} | " + " | ".join(cells) + " |")
    w("")
    w("For `child_keys` the plain column is a comprehension over the group's dict, for `all_keys` the "
      "helper column is a recursive walk over the dicts, and for `begin_group + value + end_group` the plain "
      "column takes the group's dict first, then the two steps below it.")
    w("")
    if "keys" in charts:
        w(f"![Per-key operations]({charts['keys']})")
        w("")

    m = results["memory"]
    w("## 4. Memory")
    w("")
    w(f"The 10 MB JSON document ({m['bytes'] / 1e6:.1f} MB, {m['leaves']} leaves) held by a fresh process: "
      "*retained* is the resident memory after loading minus before it, *peak* the high-water mark minus the "
      "resident memory before. Medians of three processes each.")
    w("")
    w("| Holder | Retained | Peak | Retained per leaf | zub's share |")
    w("|---|---|---|---|---|")
    for kind, ret, peak in m["rows"]:
        w(f"| {kind} | {ret / 1e6:.1f} MB | {peak / 1e6:.1f} MB | {ret / m['leaves']:.0f} B | "
          f"{mem['zub'][0] / ret:.2f} |")
    w("")
    if "memory" in charts:
        w(f"![Memory]({charts['memory']})")
        w("")

    w("## 5. Scaling")
    w("")
    w("Loading (JSON) and reading one depth-3 scalar as the document grows; orjson.loads and the plain "
      "expression for comparison.")
    w("")
    w("| Size | File | zub load | orjson.loads | zub is | zub `value` | plain `d[a][b][c]` |")
    w("|---|---|---|---|---|---|---|")
    for r in results["scaling"]:
        w(f"| {r['size']} | {r['bytes'] / 1e6:.3f} MB | {r['load'].spread()} | {r['orjson'].spread()} | "
          f"{ratio(r['orjson'], r['load']):.1f}× | {r['value'].spread()} | {r['plain'].spread()} |")
    w("")
    if "scaling" in charts:
        w(f"![Scaling]({charts['scaling']})")
        w("")

    if "hostile" in results:
        w("## 6. Hostile keys")
        w("")
        w("`value` and `contains` of a depth-3 scalar against the plain expression on a document whose keys "
          "differ only in their last characters (`group01`.., `item_0001`.., `sensor-00001`..) and on the word-"
          "keyed 200 KB document; one group filled with 100,000 keys by `set_value` and emptied by `remove` in "
          "three orders (memory driver); loading one object of 100,000 keys against 100,000 keys crafted to "
          "share one probe run of an unseeded FNV-style index.")
        w("")
        w("| Measure | Result |")
        w("|---|---|")
        for k, v in results["hostile"].items():
            w(f"| {k} | " + (f"{fmt(v)}" if k.startswith("set+remove") else f"{v:.2f}×") + " |")
        w("")
    if "layout" in results:
        w("## 7. Saving that keeps the layout")
        w("")
        w("`keep_layout=True` against the plain engine on the same file (memory file system): load; `set_value` "
          "of one depth-3 key then `sync`; and the two together. Peers keep the layout too: tomlkit's parse and "
          "dump (TOML) and ruamel.yaml's round-trip mode (YAML). *Fallbacks* counts saves that had to write the "
          "standard layout.")
        w("")
        w("| Size | Format | Plain load | Kept load | Plain sync | Kept sync | Kept round trip | Peer round trip | "
          "Peer / kept | Fallbacks |")
        w("|---|---|---|---|---|---|---|---|---|---|")
        for r in results["layout"]:
            peer = r.get("ruamel") or (r["tomlkit round trip"][0] if "tomlkit round trip" in r else None)
            kept = r["load, change one key, save"][1]
            w(f"| {r['size']} | {r['format']} | {r['load'][0].spread()} | {r['load'][1].spread()} "
              f"({ratio(r['load'][1], r['load'][0]):.2f}×) | {r['sync'][0].spread()} | {r['sync'][1].spread()} "
              f"({ratio(r['sync'][1], r['sync'][0]):.2f}×) | {kept.spread()} | "
              + (f"{peer.spread()} | {ratio(peer, kept):.1f}× |" if peer else "– | – |")
              + f" {r['fallbacks']} |")
        w("")
    if "churn" in results:
        c = results["churn"]
        w("## 8. A long-running program")
        w("")
        w(f"1,000,000 `set_value` + `remove` pairs spread over the {c['groups']} groups of the 200 KB document, "
          f"in a fresh process: {c['seconds']:.1f} s. Resident memory before {c['before'] / 1e6:.1f} MB, "
          + ", ".join(f"after {int(n):,} pairs {v / 1e6:.1f} MB"
                      for n, v in sorted(c["marks"].items(), key=lambda kv: int(kv[0])))
          + f", at the end {c['after'] / 1e6:.1f} MB.")
        w("")

    with open(path, "w", encoding="utf-8") as f:
        f.write("\n".join(out))
    print(f"wrote {path} and {len(charts)} charts")


ZUB_COLOR = "#d62728"


def draw(results, chart_dir):
    import matplotlib.pyplot as plt

    rel = os.path.basename(chart_dir)
    charts = {}

    def save(fig, name):
        fig.tight_layout()
        fig.savefig(os.path.join(chart_dir, f"{name}.png"), dpi=110)
        plt.close(fig)
        charts[name] = f"{rel}/{name}.png"

    def bars(ax, groups, title, unit, log=True):
        # groups: [(label, [(name, value, is_zub)])]
        x = 0
        ticks, labels = [], []
        for label, items in groups:
            start = x
            for name, value, is_zub in items:
                ax.bar(x, value, color=ZUB_COLOR if is_zub else "#7f7f7f" if "flush" in name else "#1f77b4",
                       edgecolor="black", linewidth=0.3)
                ax.text(x, value, name, rotation=90, ha="center", va="bottom", fontsize=6)
                x += 1
            ticks.append((start + x - 1) / 2)
            labels.append(label)
            x += 1
        ax.set_xticks(ticks, labels, fontsize=8)
        if log:
            ax.set_yscale("log")
        ax.set_ylabel(unit)
        ax.set_title(title, fontsize=10)
        ax.margins(y=0.6)

    fig, axes = plt.subplots(1, 2, figsize=(12, 5))
    for ax, size in zip(axes, ("200 KB", "10 MB")):
        groups = []
        for r in results["load"]:
            if r["size"] != size:
                continue
            items = [("zub", r["bytes"] / r["zub"].median / 1e6, True)]
            items += [(n, r["bytes"] / s.median / 1e6, False) for n, s in r["peers"]]
            groups.append((r["format"], items))
        bars(ax, groups, f"Load, {size} documents (higher is better)", "MB/s")
    save(fig, "load")

    fig, axes = plt.subplots(1, 2, figsize=(12, 5))
    for ax, size in zip(axes, ("200 KB", "10 MB")):
        groups = []
        for r in results["save"]:
            if r["size"] != size:
                continue
            items = [("zub sync (with flush)", r["zub"]["disk"].median * 1e3, True),
                     ("zub sync (memory fs)", r["zub"]["memory"].median * 1e3, True)]
            items += [(n, p["disk"].median * 1e3, False) for n, p in r["peers"]]
            groups.append((r["format"], items))
        bars(ax, groups, f"Save, {size} documents (lower is better)", "ms")
    save(fig, "save")

    fig, ax = plt.subplots(figsize=(12, 5))
    groups = []
    for op in KEY_OPS:
        groups.append((op.replace(" + ", "+\n"), [(n, s.median * 1e9, n == "zub")
                                                   for n, s in results["keys"]["rows"][op]]))
    bars(ax, groups, "Per-key operations on the 200 KB document (lower is better)", "ns per call")
    save(fig, "keys")

    fig, ax = plt.subplots(figsize=(7, 4.5))
    groups = [("retained", [(k, ret / 1e6, k == "zub") for k, ret, _ in results["memory"]["rows"]]),
              ("peak", [(k, peak / 1e6, k == "zub") for k, _, peak in results["memory"]["rows"]])]
    bars(ax, groups, "Memory holding the 10 MB JSON document (lower is better)", "MB", log=False)
    save(fig, "memory")

    fig, axes = plt.subplots(1, 2, figsize=(12, 4.5))
    sc = results["scaling"]
    sizes = [r["bytes"] / 1e6 for r in sc]
    axes[0].loglog(sizes, [r["load"].median * 1e3 for r in sc], "o-", color=ZUB_COLOR, label="zub load")
    axes[0].loglog(sizes, [r["orjson"].median * 1e3 for r in sc], "s--", label="orjson.loads")
    axes[0].set_xlabel("file size (MB)")
    axes[0].set_ylabel("ms")
    axes[0].set_title("Load time as the JSON document grows", fontsize=10)
    axes[0].legend()
    axes[1].semilogx(sizes, [r["value"].median * 1e9 for r in sc], "o-", color=ZUB_COLOR, label="zub value")
    axes[1].semilogx(sizes, [r["plain"].median * 1e9 for r in sc], "s--", label="plain d[a][b][c]")
    axes[1].set_xlabel("file size (MB)")
    axes[1].set_ylabel("ns per call")
    axes[1].set_ylim(bottom=0)
    axes[1].set_title("Reading a depth-3 scalar as the document grows", fontsize=10)
    axes[1].legend()
    save(fig, "scaling")
    return charts
