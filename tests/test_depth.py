"""Deep nesting never crashes the process, and whatever enters the tree can be saved and loaded back."""
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from conftest import run_isolated
from zub import ZubSettingEngine

LIMIT = 128


def check(code):
    result = run_isolated(code)
    assert result.returncode == 0, f"exit {result.returncode}\n{result.stdout}\n{result.stderr}"
    return result.stdout


# Documents whose tree is d levels deep, the top level counting as one.
@pytest.mark.parametrize(
    "driver, text",
    [
        ("json", '"[" * d + "]" * d'),
        ("yaml", '"[" * d + "]" * d'),
        ("json5", '"{a:" * (d - 1) + "{}" + "}" * (d - 1)'),
        ("toml", '"a = " + "[" * (d - 1) + "]" * (d - 1)'),
        ("toml", '"[" + ".".join(["a"] * (d - 1)) + "]"'),
        ("toml", '"a = " + "{b=" * (d - 2) + "{}" + "}" * (d - 2)'),
    ],
)
def test_parse_limit_is_128(tmp_path, driver, text):
    path = tmp_path / "d"
    out = check(f"""
        from zub import ZubSettingEngine
        for d in (128, 129):
            open({str(path)!r}, "w").write({text})
            try:
                ZubSettingEngine({str(path)!r}, {driver!r})
                print(d, "ok")
            except TypeError as e:
                print(d, "error")
        """)
    assert out.split("\n")[:2] == ["128 ok", "129 error"]


def test_deep_values_and_keys_are_refused():
    out = check(f"""
        from zub import ZubSettingEngine
        e = ZubSettingEngine("m", "memory")
        def nest(n):
            v = 1
            for _ in range(n):
                v = [v]
            return v
        # The root object counts as one level.
        e.set_value("k", nest({LIMIT} - 1))
        print(e.value("k") == nest({LIMIT} - 1))
        for bad in (nest({LIMIT}), nest(100000)):
            try:
                e.set_value("k", bad)
            except TypeError as err:
                print("refused:", err)
        selfish = []
        selfish.append(selfish)
        try:
            e.set_value("s", selfish)
        except TypeError as err:
            print("refused:", err)
        try:
            e.set_value("/".join(["a"] * 100000), 1)
        except TypeError as err:
            print("refused:", err)
        e.set_value("/".join(["a"] * ({LIMIT} - 1)), 1)
        print(len(e.all_keys()))
        for _ in range(300):
            e.begin_group("g")
        try:
            e.clear()
        except TypeError as err:
            print("refused:", err)
        e.sync()
        del e
        print("done")
        """)
    lines = out.splitlines()
    assert lines[0] == "True"
    refused = [line for line in lines if line.startswith("refused:")]
    assert len(refused) == 5, out
    assert lines[-3:] == ["2", refused[-1], "done"]


FORMATS = ["json", "json5", "toml", "yaml"]


def depth(v):
    if isinstance(v, (dict, list)):
        return 1 + max(map(depth, v.values() if isinstance(v, dict) else v), default=0)
    return 0


KEYS = st.text(st.characters(exclude_categories=["Cs"], exclude_characters="/"), min_size=1, max_size=4)
KEYS = KEYS.filter(lambda k: k != "keep")
DATE = {"$__toml_private_datetime": "1979-05-27T07:32:00Z"}


@st.composite
def deep_entries(draw, fmt):
    """A key path and a value that make a tree within a few levels of the bound, either side."""
    scalar = st.booleans() | st.integers(-(2**63), 2**63 - 1) | st.floats(allow_nan=False, allow_infinity=False) \
        | st.text(max_size=6)
    if fmt != "toml":
        scalar |= st.none()
    total = draw(st.integers(LIMIT - 4, LIMIT + 3))
    segments = draw(st.lists(KEYS, min_size=1, max_size=total))
    value = draw(scalar)
    levels = total - len(segments)
    if levels:
        # The deepest container holds scalars; each one above it holds the
        # one below among shallower siblings (TOML's date-time is an object,
        # hence a level). One draw for all the levels keeps this quick.
        value = draw(st.lists(scalar, max_size=2) | st.dictionaries(KEYS, scalar, max_size=2))
        siblings = draw(st.lists(scalar | st.just(DATE) | st.dictionaries(KEYS, scalar, max_size=2),
                                 min_size=2, max_size=2))
        names = draw(st.lists(KEYS, min_size=3, max_size=3, unique=True))
        for shape in draw(st.lists(st.integers(0, 5), min_size=levels - 1, max_size=levels - 1)):
            others = siblings[:shape // 2]
            if shape % 2:
                value = others[:1] + [value] + others[1:]
            else:
                value = {**dict(zip(names[1:], others)), names[0]: value}
    return segments, value


@pytest.mark.parametrize("fmt", FORMATS)
@settings(max_examples=30, database=None, deadline=None,
          suppress_health_check=[HealthCheck.function_scoped_fixture, HealthCheck.too_slow])
@given(data=st.data())
def test_what_enters_the_tree_saves_and_loads_back(tmp_path, fmt, data):
    segments, value = data.draw(deep_entries(fmt))
    fits = len(segments) + depth(value) <= LIMIT
    path = tmp_path / f"s.{fmt}"
    path.unlink(missing_ok=True)
    e = ZubSettingEngine(str(path), fmt)
    e.set_value("keep", "important")
    try:
        e.set_value("/".join(segments), value)
    except TypeError as err:
        assert not fits and f"{LIMIT} levels" in str(err)
        assert e.value("") == {"keep": "important"}
    else:
        assert fits
        e.sync()
        assert ZubSettingEngine(str(path), fmt).value("") == e.value("")

    # A custom driver's read is held to the same bound.
    tree = whole = {"keep": "important"}
    for segment in segments[:-1]:
        tree = tree.setdefault(segment, {})
    tree[segments[-1]] = value
    reader = type("Reader", (), {"read": lambda self, path: whole, "write": lambda self, path, data: None})
    try:
        ZubSettingEngine("unused", reader())
    except TypeError as err:
        assert not fits and f"({LIMIT} levels)" in str(err)
    else:
        assert fits
