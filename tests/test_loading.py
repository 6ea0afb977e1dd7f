"""Choosing a driver and loading files in each format."""
import os

import pytest

from conftest import is_root, read_text, write_file
from zub import ZubSettingEngine

SAMPLE = {
    "json": '{"b": {"x": 1, "y": [1, 2.5, "s", null, true]}, "a": -3, "big": 18446744073709551615}',
    "json5": "{b: {x: 1, y: [1, 2.5, 's', null, true,],}, a: -3, big: 18446744073709551615, // c\n}",
    "toml": 'a = -3\nbig = 1\n[b]\nx = 1\ny = [1, 2.5, "s", true]\n',
    "yaml": "b:\n  x: 1\n  y: [1, 2.5, s, null, true]\na: -3\nbig: 18446744073709551615\n",
}


@pytest.mark.parametrize("name", ["json", "JSON", "Json", "jSoN5", "TOML", "Yaml", "MEMORY", "memory"])
def test_driver_names_any_case(tmp_path, name):
    e = ZubSettingEngine(str(tmp_path / "missing"), name)
    assert e.value("") == {}


@pytest.mark.parametrize("name", ["yml", "", " json", "json ", "YML", "js on", "jsonx"])
def test_unknown_driver_names(name):
    with pytest.raises(ValueError) as info:
        ZubSettingEngine("x", name)
    assert str(info.value) == "Unknown driver: " + name


def test_unicode_lowercasing_of_names():
    # U+212A KELVIN SIGN lower-cases to "k": no name contains it, so this only
    # checks that non-ASCII input is compared after full lower-casing.
    with pytest.raises(ValueError, match="Unknown driver: JSON\u212a"):
        ZubSettingEngine("x", "JSON\u212a")
    # U+0130 lower-cases to two characters; still no match, reported as given.
    with pytest.raises(ValueError, match="Unknown driver: \u0130"):
        ZubSettingEngine("x", "\u0130")


DRIVER_TYPE_ERROR = "Driver must be a string (name) or an object with 'read' and 'write' methods"


class ReadOnly:
    def read(self, path):
        return {}


@pytest.mark.parametrize("driver", [b"json", 5, ReadOnly(), object(), ["json"], "json\ud800"])
def test_unusable_driver_objects(driver):
    with pytest.raises(TypeError) as info:
        ZubSettingEngine("x", driver)
    assert str(info.value) == DRIVER_TYPE_ERROR


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
            return None

    with pytest.raises(RuntimeError, match="boom"):
        ZubSettingEngine("x", Exploding())
    assert looked_up == ["read"]


def test_default_driver_is_json_whatever_the_extension(tmp_path):
    path = write_file(tmp_path / "a.yaml", '{"k": 1}')
    for e in (ZubSettingEngine(path), ZubSettingEngine(path, None), ZubSettingEngine(path, driver=None)):
        assert e.value("k") == 1
    yaml_text = write_file(tmp_path / "b.yaml", "k: 1\n")
    with pytest.raises(TypeError, match="^JSON parse error: "):
        ZubSettingEngine(yaml_text)


def test_every_format_loads_its_sample(tmp_path, file_driver):
    path = write_file(tmp_path / ("c." + file_driver), SAMPLE[file_driver])
    e = ZubSettingEngine(path, file_driver)
    assert e.value("a") == -3
    assert e.value("b/x") == 1
    y = e.value("b/y")
    assert y[:3] == [1, 2.5, "s"] and y[-1] is True
    assert type(y[1]) is float and type(y[0]) is int
    assert list(e.value("").keys()) == ["a", "b", "big"]


def test_missing_file_loads_empty_and_creates_nothing(tmp_path, file_driver):
    path = tmp_path / "sub" / "missing.cfg"
    e = ZubSettingEngine(str(path), file_driver)
    assert e.value("") == {}
    e.set_value("a", 1)
    del e
    assert not path.exists() and not path.parent.exists()


@pytest.mark.parametrize(
    "driver, expected",
    [("toml", {}), ("yaml", None)],
)
def test_empty_files_that_load(tmp_path, driver, expected):
    path = write_file(tmp_path / "empty", "")
    assert ZubSettingEngine(path, driver).value("") == expected


@pytest.mark.parametrize("driver, prefix", [("json", "JSON parse error: "), ("json5", "JSON5 parse error: ")])
def test_empty_files_that_fail(tmp_path, driver, prefix):
    path = write_file(tmp_path / "empty", "")
    with pytest.raises(TypeError) as info:
        ZubSettingEngine(path, driver)
    assert str(info.value).startswith(prefix) and len(str(info.value)) > len(prefix)


def test_yaml_comments_only_is_null_root(tmp_path):
    path = write_file(tmp_path / "c.yaml", "# nothing here\n")
    e = ZubSettingEngine(path, "yaml")
    assert e.value("") is None and e.contains("")
    with pytest.raises(TypeError, match="^Root is not an object$"):
        e.set_value("a", 1)


PREFIX = {"json": "JSON parse error: ", "json5": "JSON5 parse error: ", "toml": "TOML parse error: ", "yaml": "YAML parse error: "}
BROKEN = {"json": '{"a": }', "json5": "{a: }", "toml": "a = \n", "yaml": "a: [1, 2\n"}


def test_parse_errors_carry_prefix_and_position(tmp_path, file_driver):
    path = write_file(tmp_path / "bad", BROKEN[file_driver])
    with pytest.raises(TypeError) as info:
        ZubSettingEngine(path, file_driver)
    message = str(info.value)
    assert message.startswith(PREFIX[file_driver])
    assert "line" in message.lower()


@pytest.mark.parametrize(
    "driver, text, message_part",
    [
        ("json", '{"a": 1} x', "root must not be followed"),
        ("json", "[1, 2", ""),
        ("yaml", "a: 1\n---\nb: 2\n", ""),
        ("toml", "a = 1\na = 2\n", ""),
    ],
)
def test_structural_parse_errors(tmp_path, driver, text, message_part):
    path = write_file(tmp_path / "bad", text)
    with pytest.raises(TypeError) as info:
        ZubSettingEngine(path, driver)
    assert str(info.value).startswith(PREFIX[driver])
    assert message_part in str(info.value)


@pytest.mark.parametrize(
    "driver, text, expected",
    [
        ("json", '{"a": 1, "a": 2}', 2),
        ("json5", "{a: 1, a: 2}", 2),
        ("yaml", "a: 1\na: 2\n", 2),
    ],
)
def test_later_duplicate_key_wins(tmp_path, driver, text, expected):
    path = write_file(tmp_path / "dup", text)
    assert ZubSettingEngine(path, driver).value("a") == expected


@pytest.mark.parametrize(
    "driver, text",
    [
        ("json", "[18446744073709551615, -9223372036854775808, 18446744073709551616, 1.0, null]"),
        ("json5", "[18446744073709551615, -9223372036854775808, 18446744073709551616, 1.0, Infinity]"),
        ("yaml", "[18446744073709551615, -9223372036854775808, 18446744073709551616, 1.0, .inf]"),
    ],
)
def test_number_ranges(tmp_path, driver, text):
    path = write_file(tmp_path / "n", text)
    got = ZubSettingEngine(path, driver).value("")
    assert got[0] == 2**64 - 1 and type(got[0]) is int
    assert got[1] == -(2**63) and type(got[1]) is int
    assert got[2] == float(2**64) and type(got[2]) is float
    assert type(got[3]) is float
    assert got[4] is None


def test_toml_integer_limits_and_nan(tmp_path):
    path = write_file(tmp_path / "n.toml", "a = 9223372036854775807\nb = -9223372036854775808\nc = nan\nd = -inf\n")
    e = ZubSettingEngine(path, "toml")
    assert e.value("a") == 2**63 - 1 and e.value("b") == -(2**63)
    assert e.contains("c") and e.value("c") is None and e.value("d") is None
    with pytest.raises(TypeError, match="^TOML parse error: "):
        ZubSettingEngine(write_file(tmp_path / "o.toml", "a = 9223372036854775808\n"), "toml")


def test_toml_datetimes_become_private_objects(tmp_path):
    path = write_file(tmp_path / "d.toml", "when = 1979-05-27T07:32:00Z\nday = 1979-05-27\nat = 07:32:00\n")
    e = ZubSettingEngine(path, "toml")
    for key in ("when", "day", "at"):
        node = e.value(key)
        assert list(node) == ["$__toml_private_datetime"]
        assert isinstance(node["$__toml_private_datetime"], str)
    assert e.value("day") == {"$__toml_private_datetime": "1979-05-27"}
    assert e.child_groups() == ["at", "day", "when"]


def test_json_array_root(tmp_path):
    e = ZubSettingEngine(write_file(tmp_path / "a.json", "[1, {\"a\": 2}]"))
    assert e.value("") == [1, {"a": 2}]
    assert not e.contains("a") and not e.contains("0")


@pytest.mark.parametrize("driver", ["toml", "json5"])
def test_invalid_utf8_in_whole_file_formats(tmp_path, driver):
    path = write_file(tmp_path / "bad", b"a = '\xff'\n" if driver == "toml" else b"{a: '\xff'}")
    with pytest.raises(OSError) as info:
        ZubSettingEngine(path, driver)
    assert type(info.value) is OSError
    assert str(info.value) == "stream did not contain valid UTF-8"


@pytest.mark.parametrize("driver", ["json", "yaml"])
def test_invalid_utf8_in_streamed_formats(tmp_path, driver):
    path = write_file(tmp_path / "bad", b'{"a": "\xff"}' if driver == "json" else b"a: \xff\n")
    with pytest.raises(TypeError, match="^" + PREFIX[driver]):
        ZubSettingEngine(path, driver)


def test_nul_bytes_inside_files(tmp_path, file_driver):
    body = {"json": b'{"a": "x\x00"}', "json5": b"{a: 'x\x00'}", "toml": b'a = "x\x00"\n', "yaml": b"a: x\x00\n"}
    path = write_file(tmp_path / "nul", body[file_driver])
    with pytest.raises(TypeError, match="^" + PREFIX[file_driver]):
        ZubSettingEngine(path, file_driver)


def test_nul_in_path(file_driver):
    with pytest.raises(OSError) as info:
        ZubSettingEngine("a\x00b", file_driver)
    assert type(info.value) is OSError
    assert str(info.value) == "Failed to open config file: file name contained an unexpected NUL byte"


def test_directory_as_path(tmp_path, file_driver):
    if file_driver in ("toml", "json5"):
        with pytest.raises(IsADirectoryError):
            ZubSettingEngine(str(tmp_path), file_driver)
    else:
        with pytest.raises(TypeError, match="^" + PREFIX[file_driver]):
            ZubSettingEngine(str(tmp_path), file_driver)


@pytest.mark.skipif(is_root(), reason="root reads any file")
def test_unreadable_file(tmp_path, file_driver):
    path = write_file(tmp_path / "secret", "{}")
    os.chmod(path, 0)
    with pytest.raises(OSError) as info:
        ZubSettingEngine(path, file_driver)
    assert type(info.value) is OSError
    assert str(info.value).startswith("Failed to open config file: Permission denied (os error 13)")
    assert info.value.errno is None


def test_memory_never_reads_the_path(tmp_path):
    path = write_file(tmp_path / "x.json", "not json at all")
    e = ZubSettingEngine(path, "memory")
    assert e.value("") == {}
    e.set_value("a", 1)
    e.sync()
    assert read_text(path) == "not json at all"
