"""Groups, key paths, reading and writing keys."""
import pytest

from conftest import read_text, write_file
from zub import ZubSettingEngine

DOC = {"a": 1, "b": {"c": None, "d": {}}, "e": [1, {"f": 1}]}


@pytest.fixture
def doc(memory):
    for key, value in DOC.items():
        memory.set_value(key, value)
    return memory


# None ends a group; a surplus end is ignored.
@pytest.mark.parametrize(
    "names, expected",
    [([""], ""), (["///"], ""), (["/a/"], "a"), (["//a/b//"], "a/b"), (["a", "", "b"], "a/b"),
     (["a", "b", None], "a"), (["a", "b", None, None, None], ""), (["a", None, "c"], "c")],
)
def test_group_stack(memory, names, expected):
    for n in names:
        assert (memory.end_group() if n is None else memory.begin_group(n)) is None
    assert memory.group() == expected


def test_group_entry_with_inner_slash_is_one_member(memory):
    memory.set_value("a/b/x", "nested")
    memory.begin_group("a/b")
    assert memory.value("x") is None
    memory.set_value("x", "flat")
    memory.end_group()
    assert memory.value("a/b/x") == "nested"
    assert memory.all_keys() == ["a/b/x", "a/b/x"]
    assert memory.child_groups() == ["a", "a/b"]
    assert memory.value("a/b") == {"x": "nested"}


def test_missing_group_reads_nothing_until_written(memory):
    memory.begin_group("nope")
    assert memory.value("x") is None and not memory.contains("x") and not memory.contains("")
    assert memory.child_keys() == memory.child_groups() == memory.all_keys() == []
    memory.set_value("x", 2)
    assert memory.value("x") == 2 and memory.value("") == {"x": 2}


@pytest.mark.parametrize(
    "group, child_keys, child_groups, all_keys, whole",
    [("", ["a", "e"], ["b"], ["a", "b/c", "e"], DOC), ("/b/", ["c"], ["d"], ["c"], DOC["b"]),
     ("a", [], [], [], 1)],
)
def test_listing(doc, group, child_keys, child_groups, all_keys, whole):
    doc.begin_group(group)
    assert (doc.child_keys(), doc.child_groups(), doc.all_keys()) == (child_keys, child_groups, all_keys)
    assert doc.contains("") and doc.value("") == doc.value("/") == whole


@pytest.mark.parametrize("key", ["a//b/", "/a/b", "a/b", "///a///b///"])
def test_equivalent_key_spellings(memory, key):
    memory.set_value("a/b", 7)
    assert memory.value(key) == 7 and memory.contains(key)


@pytest.mark.parametrize("key", ["e/0", "e/1/f", "a/x", "A", "a ", "b/c/x", "b/zz"])
def test_keys_that_find_nothing(doc, key):
    assert doc.value(key) is None
    assert not doc.contains(key)
    # A null is found, and reads the same.
    assert doc.value("b/c") is None and doc.contains("b/c")


def test_listing_follows_byte_order(memory):
    for k in ["a9", "a10", "B", "a", "\u00e9", "Z"]:
        memory.set_value(k, 0)
    assert memory.child_keys() == ["B", "Z", "a", "a10", "a9", "\u00e9"]


def test_empty_member_names_in_listing(memory):
    memory.set_value("a", {"": 1})
    memory.set_value("z", 2)
    assert memory.all_keys() == ["a/", "z"]
    e = ZubSettingEngine("m", "memory")
    e.set_value("x", {"": {"y": 1}, "w": 2})
    e.begin_group("x")
    assert e.all_keys() == ["y", "w"]


def test_results_are_copies(doc):
    got = doc.value("e")
    got.append(3)
    got[1]["f"] = 99
    whole = doc.value("")
    whole.clear()
    assert doc.value("e") == [1, {"f": 1}]
    assert doc.all_keys() == ["a", "b/c", "e"]


def test_slash_in_member_name_is_listed_but_unreachable(memory):
    memory.set_value("a", {"x/y": 1})
    memory.begin_group("a")
    assert memory.all_keys() == ["x/y"]
    assert memory.value("x/y") is None
    assert memory.value("") == {"x/y": 1}


@pytest.mark.parametrize("blocker", ["text", None, [1], 3, True])
def test_path_through_a_key_fails_without_change(memory, blocker):
    memory.set_value("a", blocker)
    before = memory.value("")
    with pytest.raises(TypeError) as info:
        memory.set_value("a/b/c", 1)
    assert str(info.value) == "Path segment is not an object"
    with pytest.raises(TypeError, match="^Path segment is not an object$"):
        memory.remove("a/b")
    assert memory.value("") == before


def test_empty_key_outside_a_group(memory):
    for call in (lambda: memory.set_value("", 1), lambda: memory.set_value("/", 1), lambda: memory.remove("")):
        with pytest.raises(KeyError) as info:
            call()
        assert info.value.args == ("Key is empty",)


# Each script runs on an empty engine, every call returns None, and the
# whole tree is compared after leaving the group.
@pytest.mark.parametrize(
    "script, tree",
    [
        ([("set_value", "a/b/c", 1)], {"a": {"b": {"c": 1}}}),
        ([("set_value", "a", {"x": 1}), ("set_value", "a", {"y": 2})], {"a": {"y": 2}}),
        ([("set_value", "a", {"x": 1}), ("set_value", "a", 1)], {"a": 1}),
        ([("begin_group", "g"), ("set_value", "x", 1)], {"g": {"x": 1}}),
        ([("begin_group", "g"), ("set_value", "", 5)], {"g": 5}),
        ([("set_value", "g", 5), ("begin_group", "g"), ("remove", "")], {}),
        ([("set_value", "a/b", 1), ("set_value", "a/c", {"d": 1}), ("remove", "a/c")], {"a": {"b": 1}}),
        ([("set_value", "a/b", 1), ("remove", "a/b")], {"a": {}}),
        ([("remove", "nothing")], {}),
        ([("remove", "x/y/z")], {"x": {"y": {}}}),
        ([("set_value", "g/a", 1), ("set_value", "h/b", 2), ("begin_group", "g"), ("clear",)], {"g": {}, "h": {"b": 2}}),
        ([("begin_group", "new"), ("clear",)], {"new": {}}),
        ([("set_value", "g/a", 1), ("begin_group", "g"), ("end_group",), ("clear",)], {}),
    ],
)
def test_writes(memory, script, tree):
    for name, *args in script:
        assert getattr(memory, name)(*args) is None
    memory.end_group()
    assert memory.value("") == tree


def test_checks_come_in_order(memory):
    # conversion before the empty key
    with pytest.raises(TypeError, match="^unsupported type object$"):
        memory.set_value("", object())
    root_array = ZubSettingEngine("m", _ListDriver())
    # the empty key before the root test
    with pytest.raises(KeyError):
        root_array.set_value("", 1)
    for call in (lambda e: e.set_value("a", 1), lambda e: e.remove("a"), lambda e: e.clear()):
        with pytest.raises(TypeError, match="^Root is not an object$"):
            call(root_array)
    assert root_array.value("") == [1, 2]


class _ListDriver:
    def read(self, path):
        return [1, 2]

    def write(self, path, data):
        pass


def test_clear_through_a_key_fails(memory):
    memory.set_value("g", 5)
    memory.begin_group("g")
    with pytest.raises(TypeError, match="^Path segment is not an object$"):
        memory.clear()
    memory.end_group()
    assert memory.value("g") == 5


def test_writes_never_touch_the_file(tmp_path, file_driver):
    body = {"json": "{}", "json5": "{}", "toml": "", "yaml": "{}\n"}[file_driver]
    path = write_file(tmp_path / "f", body)
    e = ZubSettingEngine(path, file_driver)
    e.set_value("a/b", 1)
    e.remove("a/b")
    e.clear()
    del e
    assert read_text(path) == body


def test_path_and_status(tmp_path):
    e = ZubSettingEngine("./conf/../settings.json", "memory")
    assert e.path == e.file_name() == "./conf/../settings.json"
    assert e.is_writable() is True and e.status() == 0
