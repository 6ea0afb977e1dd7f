"""Choosing a driver, and how loading a file reaches Python.

What each reader accepts and yields is checked in the C++ tests; here, the
engine around them: driver choice, the root, and the error each failure raises.
"""
import os
import re

import pytest

from conftest import is_root, read_text, write_file
from zub import ZubSettingEngine

@pytest.mark.parametrize("name", ["JSON", "jSoN5", "TOML", "Yaml", "MEMORY", "memory"])
def test_driver_names_any_case(tmp_path, name):
    assert ZubSettingEngine(str(tmp_path / "missing"), name).value("") == {}


# U+212A KELVIN SIGN lower-cases to "k" and U+0130 to two characters: names
# are compared after full lower-casing and reported as given.
@pytest.mark.parametrize("name", ["yml", "", " json", "json ", "js on", "jsonx", "JSON\u212a", "\u0130"])
def test_unknown_driver_names(name):
    with pytest.raises(ValueError) as info:
        ZubSettingEngine("x", name)
    assert str(info.value) == "Unknown driver: " + name


class ReadOnly:
    def read(self, path):
        return {}


@pytest.mark.parametrize("driver", [b"json", 5, ReadOnly(), object(), ["json"], "json\ud800"])
def test_unusable_driver_objects(driver):
    with pytest.raises(TypeError) as info:
        ZubSettingEngine("x", driver)
    assert str(info.value) == "Driver must be a string (name) or an object with 'read' and 'write' methods"


def test_attribute_lookup_errors_propagate():
    looked_up = []

    class Exploding:
        @property
        def read(self):
            looked_up.append("read")
            raise RuntimeError("boom")

        @property
        def write(self):
            looked_up.append("write")

    with pytest.raises(RuntimeError, match="boom"):
        ZubSettingEngine("x", Exploding())
    assert looked_up == ["read"]


def test_default_driver_is_json_whatever_the_extension(tmp_path):
    path = write_file(tmp_path / "a.yaml", '{"k": 1}')
    for e in (ZubSettingEngine(path), ZubSettingEngine(path, None), ZubSettingEngine(path, driver=None)):
        assert e.value("k") == 1
    with pytest.raises(TypeError, match="^JSON parse error: "):
        ZubSettingEngine(write_file(tmp_path / "b.yaml", "k: 1\n"))


def test_missing_file_loads_empty_and_creates_nothing(tmp_path, file_driver):
    path = tmp_path / "sub" / "missing.cfg"
    e = ZubSettingEngine(str(path), file_driver)
    assert e.value("") == {}
    e.set_value("a", 1)
    del e
    assert not path.parent.exists()


@pytest.mark.parametrize(
    "driver, text, root",
    [("toml", "", {}), ("yaml", "", None), ("yaml", "# nothing here\n", None), ("yaml", "a: 1\na: 2\n", {"a": 2}),
     ("json", '[1, {"a": 2}]', [1, {"a": 2}])],
)
def test_roots(tmp_path, driver, text, root):
    e = ZubSettingEngine(write_file(tmp_path / "f", text), driver)
    assert e.value("") == root and e.contains("")
    assert not e.contains("a/0") and not e.contains("0")
    if not isinstance(root, dict):
        with pytest.raises(TypeError, match="^Root is not an object$"):
            e.set_value("a", 1)


DIRECTORY = object()


@pytest.mark.parametrize(
    "driver, content, error, message",
    [
        ("json", '{"a": }', TypeError, "^JSON parse error: .* at line 1 column 7$"),
        ("json5", "{a: }", TypeError, "^JSON5 parse error: .* at line 1 column"),
        ("toml", "a = \n", TypeError, "^TOML parse error: .*line"),
        ("yaml", "a: [1, 2\n", TypeError, "^YAML parse error: .*line"),
        ("json", b'{"a": "\xff"}', TypeError, "^JSON parse error: "),
        ("yaml", b"a: \xff\n", TypeError, "^YAML parse error: "),
        ("toml", b"a = '\xff'\n", OSError, "^stream did not contain valid UTF-8$"),
        ("json5", b"{a: '\xff'}", OSError, "^stream did not contain valid UTF-8$"),
        ("json", DIRECTORY, TypeError, "^JSON parse error: "),
        ("yaml", DIRECTORY, TypeError, "^YAML parse error: "),
        ("toml", DIRECTORY, IsADirectoryError, r"\(os error 21\)"),
        ("json5", DIRECTORY, IsADirectoryError, r"\(os error 21\)"),
    ],
)
def test_load_errors(tmp_path, driver, content, error, message):
    path = str(tmp_path) if content is DIRECTORY else write_file(tmp_path / "bad", content)
    with pytest.raises(error) as info:
        ZubSettingEngine(path, driver)
    assert type(info.value) is error
    assert info.value.args[0] == str(info.value)
    assert re.search(message, str(info.value), re.S), str(info.value)


def test_nul_in_path(file_driver):
    with pytest.raises(OSError) as info:
        ZubSettingEngine("a\x00b", file_driver)
    assert type(info.value) is OSError
    assert str(info.value) == "Failed to open config file: file name contained an unexpected NUL byte"


@pytest.mark.skipif(is_root(), reason="root reads any file")
def test_unreadable_file(tmp_path, file_driver):
    path = write_file(tmp_path / "secret", "{}")
    os.chmod(path, 0)
    with pytest.raises(OSError) as info:
        ZubSettingEngine(path, file_driver)
    assert type(info.value) is OSError and info.value.errno is None
    assert str(info.value).startswith("Failed to open config file: Permission denied (os error 13)")


def test_memory_never_reads_the_path(tmp_path):
    path = write_file(tmp_path / "x.json", "not json at all")
    e = ZubSettingEngine(path, "memory")
    assert e.value("") == {}
    e.set_value("a", 1)
    e.sync()
    assert read_text(path) == "not json at all"
