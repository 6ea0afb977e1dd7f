"""The public conformance suites of the four formats, as data-driven cases.

Shared by tests/test_conformance.py (which fails on any miss) and
tools/conformance_report.py (which counts them into docs/conformance.md).
The suites are other projects' data and stay outside the repository: they
are read from $ZUB_SHARED/conformance, by default ../shared/conformance next
to the checkout.

Every case goes through ZubSettingEngine(path, driver). A case that loads is
then saved by the same driver and loaded again (the round trip), and the
saved text is read by an independent reader, which must see the same value.
"""
from __future__ import annotations

import datetime
import json
import math
import os
import re
import shutil
import tomllib
from dataclasses import dataclass, field
from pathlib import Path

import json5
import yaml

from zub import ZubSettingEngine

REPO = Path(__file__).resolve().parents[1]
SUITES = Path(os.environ.get("ZUB_SHARED") or REPO.parent / "shared") / "conformance"

PREFIX = {"json": "JSON", "json5": "JSON5", "toml": "TOML", "yaml": "YAML"}
DATETIME_KEY = "$__toml_private_datetime"


def missing_reason():
    """Why the suites cannot be run, or None when they are in place."""
    if (SUITES / "README.md").is_file():
        return None
    return (f"conformance suites not found: expected in {SUITES} "
            "(set ZUB_SHARED to the folder holding conformance/)")


@dataclass(frozen=True)
class Case:
    suite: str  # json, json5, toml or yaml: also the driver's name
    category: str  # how the suite classes the case
    name: str  # path inside the suite's folder
    expect: str  # "load", "fail" or "either"
    reason: str = ""  # why our expectation differs from the suite's, if it does

    @property
    def path(self):
        return SUITES / FOLDER[self.suite] / self.name

    @property
    def id(self):
        return f"{self.suite}:{self.name}"


FOLDER = {"json": "JSONTestSuite", "json5": "json5-tests", "toml": "toml-test", "yaml": "yaml-test-suite"}


# ---------------------------------------------------------------------------
# What the value tree holds for a value read by another reader

INT_MIN, UINT_MAX = -(2**63), 2**64 - 1


def as_tree(v):
    """The value our tree holds for a Python value: integers beyond 64 bits
    become floats, NaN and the infinities become None."""
    if isinstance(v, bool) or v is None or isinstance(v, str):
        return v
    if isinstance(v, int):
        if INT_MIN <= v <= UINT_MAX:
            return v
        try:
            v = float(v)
        except OverflowError:
            return None
    if isinstance(v, float):
        return v if math.isfinite(v) else None
    if isinstance(v, list):
        return [as_tree(e) for e in v]
    if isinstance(v, dict):
        return {k: as_tree(e) for k, e in v.items()}
    raise TypeError(f"no tree value for {type(v).__name__}")


def same(a, b, numbers="strict"):
    """Equal as trees: bool, int and float kept apart and the sign of zero
    kept; numbers="numeric" compares numbers by value only, as ES5 has one
    number type."""
    if isinstance(a, bool) or isinstance(b, bool):
        return type(a) is type(b) and a == b
    if isinstance(a, (int, float)) and isinstance(b, (int, float)):
        if numbers == "numeric":
            return a == b
        return type(a) is type(b) and a == b and math.copysign(1, a) == math.copysign(1, b)
    if type(a) is not type(b):
        return False
    if isinstance(a, list):
        return len(a) == len(b) and all(same(x, y, numbers) for x, y in zip(a, b))
    if isinstance(a, dict):
        return a.keys() == b.keys() and all(same(a[k], b[k], numbers) for k in a)
    return a == b


# ---------------------------------------------------------------------------
# TOML date-times: compared by their fields, whatever the spelling

DATETIME = re.compile(
    r"(?:(\d{4})-(\d{2})-(\d{2}))?[Tt ]?"
    r"(?:(\d{2}):(\d{2})(?::(\d{2})(?:\.(\d+))?)?)?"
    r"([Zz]|[+-]\d{2}:\d{2})?"
)


def datetime_fields(text):
    """(kind, fields) of a TOML date-time text, or None when it is not one:
    kind is the toml-test type name; the fraction is compared without its
    trailing zeros and the offset in minutes."""
    m = DATETIME.fullmatch(text)
    if not m or (m[1] is None and m[4] is None) or (m[8] and (m[1] is None or m[4] is None)):
        return None
    date = tuple(map(int, m.group(1, 2, 3))) if m[1] else None
    time = (int(m[4]), int(m[5]), int(m[6] or 0), (m[7] or "").rstrip("0")) if m[4] else None
    offset = None
    if m[8]:
        offset = 0 if m[8] in "Zz" else (1 if m[8][0] == "+" else -1) * (int(m[8][1:3]) * 60 + int(m[8][4:6]))
    kind = ("datetime" if offset is not None else "datetime-local") if date and time else \
        "date-local" if date else "time-local"
    return kind, date, time, offset


def tagged_to_tree(v):
    """A toml-test expected value (every leaf {"type": T, "value": S}) as our
    tree holds it; date-times become ("datetime", fields) for comparison."""
    if isinstance(v, list):
        return [tagged_to_tree(e) for e in v]
    if set(v) == {"type", "value"} and isinstance(v["value"], str):
        kind, text = v["type"], v["value"]
        if kind == "string":
            return text
        if kind == "integer":
            return int(text)
        if kind == "float":
            return as_tree(float(text))
        if kind == "bool":
            return text == "true"
        fields = datetime_fields(text)
        assert fields and fields[0] == kind, (kind, text)
        return ("datetime", fields)
    return {k: tagged_to_tree(e) for k, e in v.items()}


def fold_datetimes(v):
    """Our private date-time objects, and tomllib's date and time objects, as
    ("datetime", fields); a private object holding no date-time text stays."""
    if isinstance(v, dict):
        if list(v) == [DATETIME_KEY] and isinstance(v[DATETIME_KEY], str):
            fields = datetime_fields(v[DATETIME_KEY])
            if fields:
                return ("datetime", fields)
        return {k: fold_datetimes(e) for k, e in v.items()}
    if isinstance(v, list):
        return [fold_datetimes(e) for e in v]
    if isinstance(v, (datetime.date, datetime.time)):
        return ("datetime", datetime_fields(v.isoformat()))
    return v


def same_folded(a, b):
    if isinstance(a, tuple) or isinstance(b, tuple):
        return a == b
    if isinstance(a, list) and isinstance(b, list):
        return len(a) == len(b) and all(same_folded(x, y) for x, y in zip(a, b))
    if isinstance(a, dict) and isinstance(b, dict):
        return a.keys() == b.keys() and all(same_folded(a[k], b[k]) for k in a)
    return same(a, b)


# ---------------------------------------------------------------------------
# The cases of each suite

def json_cases():
    for path in sorted((SUITES / FOLDER["json"] / "test_parsing").glob("*.json")):
        kind = path.name[0]
        yield Case("json", kind, f"test_parsing/{path.name}", {"y": "load", "n": "fail", "i": "either"}[kind])


# yyjson's JSON5 mode goes beyond JSON5 in one way found here: it also reads
# inf, nan and infinity in any case, not just Infinity and NaN. Accepted:
# they load as null, exactly as Infinity and NaN do, and no case of the
# suite loads because of it.
def json5_cases():
    expect = {".json": "load", ".json5": "load", ".js": "fail", ".txt": "fail"}
    for path in sorted((SUITES / FOLDER["json5"]).glob("*/*")):
        if path.suffix in expect:
            name = str(path.relative_to(SUITES / FOLDER["json5"]))
            yield Case("json5", path.suffix[1:], name, expect[path.suffix])


def toml_cases():
    for line in (SUITES / FOLDER["toml"] / "files-toml-1.1.0").read_text().split():
        if line.endswith(".toml"):
            kind = line.split("/")[0]
            if not utf8(SUITES / FOLDER["toml"] / line):
                yield Case("toml", kind, line, "fail", NOT_UTF8)
            else:
                yield Case("toml", kind, line, "load" if kind == "valid" else "fail")


# TOML (like JSON5) is read as UTF-8 text before it is parsed, and a file
# that is not UTF-8 is refused as such, with OSError "stream did not contain
# valid UTF-8" rather than a parse error: rejected all the same.
NOT_UTF8 = "not UTF-8: refused with OSError before parsing"


def utf8(path):
    try:
        path.read_bytes().decode("utf-8")
    except UnicodeDecodeError:
        return False
    return True


def yaml_events(folder):
    """(documents, whether some mapping key is a collection) from test.event."""
    docs, complex_key, stack = 0, False, []
    for line in (folder / "test.event").read_text(encoding="utf-8").splitlines():
        event = line[:4]
        if event == "+DOC":
            docs += 1
        if event in ("+MAP", "+SEQ") and stack and stack[-1][0] == "+MAP" and stack[-1][1] % 2 == 0:
            complex_key = True  # a collection where a key goes
        if event in ("+MAP", "+SEQ"):
            stack.append([event, 0])
        elif event in ("-MAP", "-SEQ"):
            stack.pop()
        if event in ("=VAL", "=ALI", "-MAP", "-SEQ") and stack:
            stack[-1][1] += 1
    return docs, complex_key


SEVERAL_DOCUMENTS = "several documents: a settings file holds exactly one"
COMPLEX_KEY = "a mapping key that is a collection: the value tree has text keys only"


def yaml_cases():
    root = SUITES / FOLDER["yaml"]
    for event_file in sorted(root.glob("**/test.event")):
        folder = event_file.parent
        name = str(folder.relative_to(root))
        if (folder / "error").exists():
            yield Case("yaml", "fail", name, "fail")
            continue
        docs, complex_key = yaml_events(folder)
        if docs > 1:
            yield Case("yaml", "parse", name, "fail", SEVERAL_DOCUMENTS)
        elif complex_key:
            yield Case("yaml", "parse", name, "fail", COMPLEX_KEY)
        else:
            yield Case("yaml", "parse", name, "load")


# Cases that carry a tag other than the YAML core schema's (local tags such
# as !foo, !!set, !!binary, !!omap, or !!int under a %TAG that renames !!):
# the tree has no place for a tag, and dropping it would change what the
# file means, so the loader refuses them.
TAG_REFUSED = "a tag that is not the core schema's: the tree has no place for it, so it is refused"
YAML_TAGGED = set("2XXW 565N 6CK3 7FWL C4HZ CC74 CUP7 J7PZ M5C3 P76L UGM3 Z67P Z9M4".split())

# Where we expect something else than the suite does, and why: case id ->
# (expectation, reason).
EXCEPTIONS: dict[str, tuple[str, str]] = {f"yaml:{name}": ("fail", TAG_REFUSED) for name in YAML_TAGGED}


def all_cases():
    """Every case, with the deliberate exceptions applied."""
    for cases in (json_cases, json5_cases, toml_cases, yaml_cases):
        for case in cases():
            if case.id in EXCEPTIONS:
                expect, reason = EXCEPTIONS[case.id]
                case = Case(case.suite, case.category, case.name, expect, reason)
            yield case


# ---------------------------------------------------------------------------
# Expected values, where the suite implies one

def expected_value(case):
    """The tree the case should load to, or None when the suite gives none.
    The value is wrapped in a one-element list so that a null root counts."""
    path = case.path
    if case.suite == "json" and case.category == "y":
        return [as_tree(json.loads(path.read_bytes()))]
    if case.suite == "json5" and case.category == "json":
        return [as_tree(json.loads(path.read_bytes()))]
    if case.suite == "json5" and case.category == "json5":
        if case.name in ES5_VALUES:
            return [ES5_VALUES[case.name]]
        return [as_tree(json5.loads(path.read_text(encoding="utf-8")))]
    if case.suite == "toml" and case.category == "valid":
        return [tagged_to_tree(json.loads(path.with_suffix(".json").read_bytes()))]
    # Error tests are never compared: some carry stale in.json files that
    # the suite's subtests inherit from their siblings.
    if case.suite == "yaml" and case.category == "parse" and case.expect != "fail":
        source = path / "in.json"
        if not source.exists():
            return None
        text = source.read_text(encoding="utf-8").strip()
        return [as_tree(json.loads(text)) if text else None]  # an empty in.json: no document
    return None


# The json5 module, which gives the other .json5 values, cannot read a
# negative hexadecimal; these are the values ES5 gives them (-0x0 is -0,
# which the tree's integer 0 equals, since ES5 values compare by value).
ES5_VALUES = {"numbers/negative-hexadecimal.json5": -200, "numbers/negative-zero-hexadecimal.json5": -0.0}


# ---------------------------------------------------------------------------
# Running one case

READERS = {
    "json": lambda text: as_tree(json.loads(text)),
    "json5": lambda text: as_tree(json5.loads(text)),
    "toml": tomllib.loads,
    "yaml": lambda text: as_tree(yaml.safe_load(text)),
}


@dataclass
class Outcome:
    loaded: bool = False
    error: str = ""  # "TypeError: JSON parse error: ..." when not loaded
    equal: bool | None = None  # whether the tree is the expected value, where there is one
    problems: list[str] = field(default_factory=list)  # empty when the case passes
    roundtrip: str = ""  # "same", "null" (TOML cannot hold it) or what went wrong
    reader: str = ""  # what the independent reader saw: "same" or the difference


def describe(exc):
    return f"{type(exc).__name__}: {exc}"


def contains_null(v):
    if isinstance(v, dict):
        return any(contains_null(e) for e in v.values())
    if isinstance(v, list):
        return any(contains_null(e) for e in v)
    return v is None


def run(case, workdir):
    """Loads the case through the engine and checks what the suite expects,
    then saves, reloads and rereads what loaded."""
    out = Outcome()
    copy = Path(workdir) / f"case.{case.suite}"
    shutil.copyfile(case.path if case.suite != "yaml" else case.path / "in.yaml", copy)
    try:
        tree = ZubSettingEngine(str(copy), case.suite).value("")
        out.loaded = True
    except Exception as exc:  # noqa: BLE001 - the type is part of the check
        out.error = describe(exc)
    prefix = f"TypeError: {PREFIX[case.suite]} parse error: "
    if not out.loaded:
        if case.reason == NOT_UTF8:
            if out.error != "OSError: stream did not contain valid UTF-8":
                out.problems.append(f"expected the not-UTF-8 OSError, got {out.error}")
        elif not out.error.startswith(prefix):
            out.problems.append(f"failed with {out.error!r}, not {prefix!r}")
        elif case.expect == "load":
            out.problems.append(f"did not load: {out.error}")
        return out
    if case.expect == "fail":
        out.problems.append(f"loaded {tree!r:.200}")
    expected = expected_value(case) if case.expect != "fail" else None
    if expected is not None:
        if case.suite == "toml":
            out.equal = same_folded(fold_datetimes(tree), expected[0])
        else:
            # ES5 has one number type, and in.json cannot tell 450.00 from 450
            numbers = "numeric" if case.suite == "yaml" or case.category == "json5" else "strict"
            out.equal = same(tree, expected[0], numbers)
        if not out.equal and case.expect == "load":
            out.problems.append(f"loaded {tree!r:.300}, expected {expected[0]!r:.300}")
    roundtrip(case, copy, tree, out)
    return out


def roundtrip(case, copy, tree, out):
    if case.suite == "toml" and contains_null(tree):
        # TOML has no null (NaN and the infinities load as null): saving must
        # refuse the tree and leave the file as it was.
        out.roundtrip = "null"
        before = copy.read_bytes()
        try:
            ZubSettingEngine(str(copy), case.suite).sync()
            out.problems.append("saved a tree holding null as TOML")
        except Exception:  # noqa: BLE001 - any exception will do
            pass
        if copy.read_bytes() != before:
            out.problems.append("a refused TOML save changed the file")
        return
    try:
        engine = ZubSettingEngine(str(copy), case.suite)
        engine.sync()
        again = ZubSettingEngine(str(copy), case.suite).value("")
    except Exception as exc:  # noqa: BLE001
        out.roundtrip = f"save and reload failed: {describe(exc)}"
        out.problems.append(out.roundtrip)
        return
    if not same(tree, again):
        out.roundtrip = f"reloaded {again!r:.200}"
        out.problems.append(out.roundtrip)
        return
    out.roundtrip = "same"
    text = copy.read_text(encoding="utf-8")
    try:
        seen = READERS[case.suite](text)
    except Exception as exc:  # noqa: BLE001
        out.reader = f"independent reader failed: {describe(exc)}"
    else:
        equal = same_folded(fold_datetimes(tree), fold_datetimes(seen)) if case.suite == "toml" else same(tree, seen)
        out.reader = "same" if equal else f"independent reader saw {seen!r:.200}"
    if out.reader != "same":
        out.problems.append(out.reader)
