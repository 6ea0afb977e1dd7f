"""Saving: layouts, files and directories, failures, atomic replacement."""
import os
import stat

import pytest

from conftest import is_root, read_text, write_file
from zub import ZubSettingEngine

TREE = {"b": {"list": [1, 2.5], "one": ["x"], "s": 'say "hi"'}, "a": 1.0, "flag": True, "n": -7}

LAYOUT = {
    "json": """{
  "a": 1.0,
  "b": {
    "list": [
      1,
      2.5
    ],
    "one": [
      "x"
    ],
    "s": "say \\"hi\\""
  },
  "flag": true,
  "n": -7
}""",
    "json5": """{
  a: 1.0,
  b: {
    list: [
      1,
      2.5,
    ],
    one: [
      "x",
    ],
    s: 'say "hi"',
  },
  flag: true,
  n: -7,
}""",
    "toml": """a = 1.0
flag = true
n = -7

[b]
list = [
    1,
    2.5,
]
one = ["x"]
s = "say \\"hi\\""
""",
    "yaml": """a: 1.0
b:
  list:
  - 1
  - 2.5
  one:
  - x
  s: say "hi"
flag: true
'n': -7
""",
}


def engine_with(path, driver, tree):
    e = ZubSettingEngine(str(path), driver)
    for k, v in tree.items():
        e.set_value(k, v)
    return e


def test_layouts(tmp_path, file_driver):
    path = tmp_path / "out"
    engine_with(path, file_driver, TREE).sync()
    assert read_text(path) == LAYOUT[file_driver]
    assert ZubSettingEngine(str(path), file_driver).value("") == {**TREE, "b": {**TREE["b"]}}


@pytest.mark.parametrize("driver, text", [("json", "{}"), ("json5", "{}"), ("yaml", "{}\n"), ("toml", "")])
def test_empty_tree(tmp_path, driver, text):
    path = tmp_path / "empty"
    ZubSettingEngine(str(path), driver).sync()
    assert read_text(path) == text


def test_toml_arrays_of_tables_and_sections(tmp_path):
    path = tmp_path / "t.toml"
    engine_with(path, "toml", {"srv": [{"n": 1}, {"n": 2, "sub": {"k": "v"}}], "top": {"mid": {"x": 1}}, "z": 0}).sync()
    text = read_text(path)
    assert text.startswith("z = 0\n\n")
    assert "[[srv]]\nn = 1\n\n[[srv]]\nn = 2\n\n[srv.sub]\nk = \"v\"\n" in text
    assert "[top.mid]\nx = 1\n" in text
    assert ZubSettingEngine(str(path), "toml").value("srv") == [{"n": 1}, {"n": 2, "sub": {"k": "v"}}]


# The text is made before the file is touched: a null is reported as such
# even where the file could not be written, and the file keeps its content
# whichever way it would have been replaced.
@pytest.mark.parametrize("locked", [None, "file", "directory"])
@pytest.mark.parametrize("value", [None, {"a": [1, None]}, {"deep": {"er": None}}])
def test_toml_cannot_hold_null(tmp_path, value, locked):
    path = write_file(tmp_path / "keep.toml", "old = 1\n")
    e = ZubSettingEngine(path, "toml")
    e.set_value("x", value)
    if locked:
        os.chmod(path if locked == "file" else tmp_path, 0o444 if locked == "file" else 0o555)
    try:
        with pytest.raises(TypeError, match="^TOML serialize error: "):
            e.sync()
    finally:
        os.chmod(path, 0o644)
        os.chmod(tmp_path, 0o755)
    assert read_text(path) == "old = 1\n"
    assert os.listdir(tmp_path) == ["keep.toml"]
    e.remove("x")
    e.sync()
    assert read_text(path) == "old = 1\n"


def test_toml_root_must_be_object(tmp_path):
    class ListDriver:
        def read(self, path):
            return [1]

        def write(self, path, data):
            pass

    path = tmp_path / "x.toml"
    # A non-object root can only come from a file; write one as JSON first.
    write_file(path, "[1]")
    e = ZubSettingEngine(str(path), "json")
    e.sync()
    assert read_text(path) == "[\n  1\n]"
    with pytest.raises(TypeError, match="^TOML parse error: "):
        ZubSettingEngine(str(path), "toml")


def test_yaml_quotes_strings_that_would_change_meaning(tmp_path):
    words = ["true", "yes", "No", "off", "null", "~", "", "012", "1e3", "0x1F", "2001-12-14", "1.5", ".inf", "y", "plain"]
    path = tmp_path / "q.yaml"
    e = ZubSettingEngine(str(path), "yaml")
    for i, w in enumerate(words):
        e.set_value(f"k{i:02}", w)
    e.set_value("multi", "line one\nline two\n")
    e.sync()
    text = read_text(path)
    for i, w in enumerate(words[:-1]):
        assert f"k{i:02}: '{w}'\n" in text
    assert "k14: plain\n" in text
    assert "multi: |\n  line one\n  line two\n" in text
    assert ZubSettingEngine(str(path), "yaml").value("") == e.value("")


def test_json5_key_and_number_forms(tmp_path):
    path = tmp_path / "x.json5"
    engine_with(path, "json5", {"ok_1": 2.0, "1bad": 0.1, "has space": 1e21, "q": "it's \"x\""}).sync()
    text = read_text(path)
    assert '  ok_1: 2.0,\n' in text
    assert '  "1bad": 0.1,\n' in text
    assert '  "has space": 1000000000000000000000.0,\n' in text
    assert "  q: \"it's \\\"x\\\"\",\n" in text
    back = ZubSettingEngine(str(path), "json5").value("")
    assert back == {"ok_1": 2.0, "1bad": 0.1, "has space": 1e21, "q": "it's \"x\""}
    assert type(back["ok_1"]) is float


def test_key_order_is_byte_order(tmp_path, file_driver):
    path = tmp_path / "o"
    e = ZubSettingEngine(str(path), file_driver)
    e.set_value("b", 1)
    e.set_value("a", 2)
    e.sync()
    text = read_text(path)
    assert text.index("a") < text.index("b")


def test_sync_twice_writes_twice_and_saves_everything(tmp_path, file_driver):
    path = tmp_path / "twice"
    e = ZubSettingEngine(str(path), file_driver)
    e.set_value("g/x", 1)
    e.begin_group("g")
    assert e.sync() is None
    first = read_text(path)
    write_file(path, "changed by someone else")
    assert e.sync() is None
    assert read_text(path) == first
    assert ZubSettingEngine(str(path), file_driver).value("g/x") == 1


def test_creates_missing_directories(tmp_path, file_driver):
    path = tmp_path / "a" / "b" / "c" / "conf"
    e = ZubSettingEngine(str(path), file_driver)
    e.set_value("k", "v")
    e.sync()
    assert ZubSettingEngine(str(path), file_driver).value("k") == "v"
    assert stat.S_IMODE(os.stat(tmp_path / "a").st_mode) == 0o777 & ~_umask()


def _umask():
    mask = os.umask(0)
    os.umask(mask)
    return mask


def test_bare_file_name_goes_to_current_directory(tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    e = ZubSettingEngine("bare.json")
    e.set_value("k", 1)
    e.sync()
    assert read_text(tmp_path / "bare.json") == '{\n  "k": 1\n}'


def test_memory_and_custom_write_no_files(tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)

    class Sink:
        def read(self, path):
            return {}

        def write(self, path, data):
            pass

    for driver in ("memory", Sink()):
        e = ZubSettingEngine("sub/dir/file.json", driver)
        e.set_value("a", 1)
        e.sync()
    assert os.listdir(tmp_path) == []


@pytest.mark.skipif(is_root(), reason="root writes any file")
def test_read_only_file(tmp_path, file_driver):
    path = tmp_path / "ro"
    e = ZubSettingEngine(str(path), file_driver)
    e.set_value("k", 1)
    e.sync()
    before = read_text(path)
    os.chmod(path, 0o444)
    e.set_value("k", 2)
    with pytest.raises(PermissionError) as info:
        e.sync()
    assert info.value.errno is None
    assert info.value.args == ("Permission denied (os error 13)",)
    assert read_text(path) == before
    assert e.value("k") == 2
    os.chmod(path, 0o644)
    e.sync()
    assert ZubSettingEngine(str(path), file_driver).value("k") == 2
    assert sorted(os.listdir(tmp_path)) == ["ro"]


@pytest.mark.skipif(is_root(), reason="root writes anywhere")
def test_unwritable_directory(tmp_path, file_driver):
    d = tmp_path / "locked"
    d.mkdir()
    existing = d / "exists"
    e = ZubSettingEngine(str(existing), file_driver)
    e.sync()
    os.chmod(d, 0o555)
    try:
        # The file itself is writable: saved in place.
        e.set_value("k", "in place")
        e.sync()
        assert ZubSettingEngine(str(existing), file_driver).value("k") == "in place"
        # A new file cannot be created at all.
        fresh = ZubSettingEngine(str(d / "new"), file_driver)
        with pytest.raises(PermissionError):
            fresh.sync()
        assert sorted(os.listdir(d)) == ["exists"]
    finally:
        os.chmod(d, 0o755)


@pytest.mark.parametrize(
    "kind, expected",
    [("file_in_the_way", NotADirectoryError), ("directory_as_target", IsADirectoryError)],
)
def test_path_errors_appearing_after_load(tmp_path, file_driver, kind, expected):
    if kind == "file_in_the_way":
        path = tmp_path / "f" / "sub" / "conf"
        e = ZubSettingEngine(str(path), file_driver)
        write_file(tmp_path / "f", "x")
    else:
        path = tmp_path / "d"
        e = ZubSettingEngine(str(path), file_driver)
        path.mkdir()
    with pytest.raises(expected) as info:
        e.sync()
    assert info.value.errno is None and "(os error" in str(info.value)
    assert e.value("") == {}
