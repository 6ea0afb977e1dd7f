"""Saving through the engine: what reaches the disk, and how failures surface.

The text each writer produces is checked in the C++ tests; here, what sync
does with it.
"""
import os

import pytest

from conftest import is_root, read_text, write_file
from zub import ZubSettingEngine

TREE = {"b": {"list": [1, 2.5], "s": 'say "hi"'}, "a": 1.0, "flag": True, "n": -7}


def engine_with(path, driver, tree):
    e = ZubSettingEngine(str(path), driver)
    for k, v in tree.items():
        e.set_value(k, v)
    return e


def test_sync_saves_everything_every_time(tmp_path, file_driver):
    path = tmp_path / "a" / "b" / "conf"
    e = engine_with(path, file_driver, TREE)
    e.begin_group("b")
    assert e.sync() is None
    first = read_text(path)
    assert ZubSettingEngine(str(path), file_driver).value("") == TREE
    write_file(path, "changed by someone else")
    e.sync()
    assert read_text(path) == first
    assert os.listdir(path.parent) == ["conf"]


# The text is made before the file is touched: a null is reported as such
# even where the file could not be written, and the file keeps its content
# whichever way it would have been replaced.
@pytest.mark.parametrize("locked", [None, "file", "directory"])
@pytest.mark.parametrize("value", [None, {"a": [1, None]}])
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
        with pytest.raises(PermissionError):
            ZubSettingEngine(str(d / "new"), file_driver).sync()
        assert sorted(os.listdir(d)) == ["exists"]
    finally:
        os.chmod(d, 0o755)


@pytest.mark.parametrize("kind, expected", [("file_in_the_way", NotADirectoryError), ("directory", IsADirectoryError)])
def test_path_errors_appearing_after_load(tmp_path, file_driver, kind, expected):
    path = tmp_path / "f" / "sub" / "conf" if kind == "file_in_the_way" else tmp_path / "d"
    e = ZubSettingEngine(str(path), file_driver)
    if kind == "file_in_the_way":
        write_file(tmp_path / "f", "x")
    else:
        path.mkdir()
    with pytest.raises(expected) as info:
        e.sync()
    assert info.value.errno is None and "(os error" in str(info.value)
    assert e.value("") == {}
