"""Deterministic configuration documents for the benchmarks.

A document looks like a real application's settings: top-level sections holding
objects of objects (leaves at depth 3 to 6), strings, integers, floats and
booleans, arrays of scalars and now and then an array of small objects. There is
no null anywhere, so TOML can hold every document. The same seed and size give
the same document on every machine.
"""
import json
import random

WORDS = [
    "server", "database", "cache", "logging", "network", "display", "editor", "audio",
    "backup", "sync", "proxy", "security", "plugins", "theme", "storage", "metrics",
    "session", "update", "search", "input", "output", "render", "worker", "queue",
]
LEAF_NAMES = [
    "enabled", "host", "port", "timeout_ms", "retries", "level", "path", "user", "color",
    "font_size", "ratio", "max_connections", "interval", "name", "mode", "format",
    "verbose", "threshold", "scale", "title", "url", "encoding", "limit", "weight",
]
LIST_NAMES = ["tags", "allowed_hosts", "extensions", "ports", "weights", "paths"]
TABLE_NAMES = ["servers", "rules", "mounts", "profiles"]
TEXTS = [
    "dark", "light", "info", "debug", "utf-8", "localhost", "default", "auto", "compact",
    "Zürich office", "café menu", "東京 mirror", "résumé export", "plain text",
]


class _Gen:
    def __init__(self, seed):
        self.rng = random.Random(seed)

    def scalar(self, name):
        rng = self.rng
        kind = rng.random()
        if name in ("enabled", "verbose") or kind < 0.15:
            return rng.random() < 0.5
        if kind < 0.45:
            return rng.choice((rng.randrange(1, 65536), rng.randrange(0, 100),
                               rng.randrange(-1000, 1000), rng.randrange(10**9, 10**12)))
        if kind < 0.65:
            return rng.choice((round(rng.uniform(0, 1), 3), round(rng.uniform(-500, 500), 6),
                               float(rng.randrange(1, 100)), rng.uniform(0, 1e6)))
        return self.text()

    def text(self):
        rng = self.rng
        kind = rng.randrange(5)
        if kind == 0:
            return "/" + "/".join(rng.choice(WORDS) for _ in range(rng.randrange(2, 5)))
        if kind == 1:
            return f"https://{rng.choice(WORDS)}.example.org:{rng.randrange(1024, 65536)}/api"
        if kind == 2:
            return f"#{rng.randrange(1 << 24):06x}"
        if kind == 3:
            return " ".join(rng.choice(WORDS) for _ in range(rng.randrange(2, 8))).capitalize() + "."
        return rng.choice(TEXTS)

    def scalar_list(self):
        rng = self.rng
        n = rng.randrange(1, 7)
        kind = rng.randrange(3)
        if kind == 0:
            return [rng.choice(WORDS) for _ in range(n)]
        if kind == 1:
            return [rng.randrange(1, 65536) for _ in range(n)]
        return [round(rng.uniform(0, 10), 2) for _ in range(n)]

    def small_table(self):
        rng = self.rng
        return [{"name": f"{rng.choice(WORDS)}-{i}", "port": rng.randrange(1024, 65536),
                 "weight": round(rng.uniform(0, 1), 2), "active": rng.random() < 0.8}
                for i in range(rng.randrange(2, 5))]

    def obj(self, depth, max_depth):
        """An object whose leaves sit at depth..max_depth (depth counts from 1 at the root's members)."""
        rng = self.rng
        out = {}
        members = rng.randrange(2, 5) if depth < 3 else rng.randrange(3, 8)
        for _ in range(members):
            roll = rng.random()
            if depth < 3 or (depth < max_depth and roll < 0.3):
                name = rng.choice(WORDS)
                value = self.obj(depth + 1, max_depth)
            elif roll < 0.42:
                name = rng.choice(LIST_NAMES)
                value = self.scalar_list()
            elif roll < 0.44:
                name = rng.choice(TABLE_NAMES)
                value = self.small_table()
            else:
                name = rng.choice(LEAF_NAMES)
                value = self.scalar(name)
            while name in out:
                name = f"{name}_{rng.randrange(10)}"
            out[name] = value
        return out


def document(target_bytes, seed=2026):
    """A document whose two-space indented JSON text is about target_bytes long."""
    gen = _Gen(seed)
    doc = {}
    size = 2  # "{}"
    i = 0
    misses = 0
    while size < target_bytes and misses < 50:
        # Leaves at depth 3 to 6: the section is depth 1.
        section = gen.obj(2, gen.rng.randrange(3, 7))
        name = f"{gen.rng.choice(WORDS)}_{i}"
        # A member of the root costs its own text re-indented by two spaces.
        text = json.dumps(section, indent=2, ensure_ascii=False)
        cost = len(text.encode()) + text.count("\n") * 2 + len(name) + 8
        if doc and size + cost > target_bytes * 1.1:
            misses += 1  # too big to end on: draw another section
            continue
        size += cost
        doc[name] = section
        i += 1
    return doc


def leaf_paths(doc, prefix=()):
    """Every leaf (anything but an object) as a tuple of member names."""
    for k, v in doc.items():
        if isinstance(v, dict):
            yield from leaf_paths(v, prefix + (k,))
        else:
            yield prefix + (k,)


def depth3_key(doc, seed=7):
    """A scalar integer at depth 3 in a section chosen from the middle of the document."""
    candidates = [p for p in leaf_paths(doc)
                  if len(p) == 3 and type(doc[p[0]][p[1]][p[2]]) is int]
    return random.Random(seed).choice(candidates[len(candidates) // 4: 3 * len(candidates) // 4 + 1])
