"""Argument binding and conversion at every entry that takes arguments."""
import pytest

from zub import ZubSettingEngine

E = "ZubSettingEngine"
Z = ZubSettingEngine


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda e: e.set_value(), f"{E}.set_value() missing 2 required positional arguments: 'key' and 'value'"),
        (lambda e: e.set_value("a"), f"{E}.set_value() missing 1 required positional argument: 'value'"),
        (lambda e: e.set_value(value=1), f"{E}.set_value() missing 1 required positional argument: 'key'"),
        (lambda e: e.value(), f"{E}.value() missing 1 required positional argument: 'key'"),
        (lambda e: e.value("a", "b"), f"{E}.value() takes 1 positional arguments but 2 were given"),
        (lambda e: e.set_value("a", 1, 2), f"{E}.set_value() takes 2 positional arguments but 3 were given"),
        (lambda e: e.value(k="a"), f"{E}.value() got an unexpected keyword argument 'k'"),
        (lambda e: e.value("a", key="a"), f"{E}.value() got multiple values for argument 'key'"),
        (lambda e: e.begin_group(nam="x"), f"{E}.begin_group() got an unexpected keyword argument 'nam'"),
        (lambda e: e.value(5), "argument 'key': 'int' object is not an instance of 'str'"),
        (lambda e: e.value(None), "argument 'key': 'None' is not an instance of 'str'"),
        (lambda e: e.contains(b"a"), "argument 'key': 'bytes' object is not an instance of 'str'"),
        (lambda e: e.remove(1.5), "argument 'key': 'float' object is not an instance of 'str'"),
        (lambda e: e.set_value(["a"], 1), "argument 'key': 'list' object is not an instance of 'str'"),
        (lambda e: e.begin_group(3), "argument 'name': 'int' object is not an instance of 'str'"),
        (lambda e: Z("a", None, 3), f"{E}.__new__() takes from 1 to 2 positional arguments but 3 were given"),
        (lambda e: Z(), f"{E}.__new__() missing 1 required positional argument: 'path'"),
        (lambda e: Z(driver="memory"), f"{E}.__new__() missing 1 required positional argument: 'path'"),
        (lambda e: Z("a", path="b"), f"{E}.__new__() got multiple values for argument 'path'"),
        (lambda e: Z("a", drv="memory"), f"{E}.__new__() got an unexpected keyword argument 'drv'"),
        (lambda e: Z(5), "argument 'path': 'int' object is not an instance of 'str'"),
        (lambda e: Z(None), "argument 'path': 'None' is not an instance of 'str'"),
        (lambda e: Z("a", "memory", keep_layout=1), "argument 'keep_layout': 'int' object is not an instance of 'bool'"),
    ],
)
def test_binding_messages(memory, call, message):
    with pytest.raises(TypeError) as info:
        call(memory)
    assert str(info.value) == message
    assert info.value.args == (message,)


def test_keyword_arguments_bind_by_name(memory):
    memory.set_value(value=3, key="a/b")
    assert memory.value(key="a/b") == 3
    assert memory.contains(key="a")
    memory.begin_group(name="a")
    assert memory.group() == "a"
    memory.remove(key="b")
    assert memory.child_keys() == []
    e = ZubSettingEngine(driver="memory", path="p")
    assert e.path == "p"


def test_str_subclass_is_accepted(memory):
    class Key(str):
        pass

    memory.set_value(Key("a/b"), 1)
    assert memory.value(Key("a/b")) == 1


@pytest.mark.parametrize(
    "call",
    [
        lambda e: e.value("\ud800"),
        lambda e: e.set_value("\udfff", 1),
        lambda e: e.begin_group("a\ud800"),
        lambda e: ZubSettingEngine("\ud800", "memory"),
    ],
)
def test_lone_surrogates_raise_unicode_encode_error(memory, call):
    with pytest.raises(UnicodeEncodeError):
        call(memory)
    assert memory.group() == ""
    assert memory.value("") == {}


def test_bytes_and_path_objects_are_not_paths(tmp_path):
    import pathlib

    target = tmp_path / "x.json"
    for bad in (pathlib.Path(target), str(target).encode()):
        with pytest.raises(TypeError, match="argument 'path'"):
            ZubSettingEngine(bad)
    assert not target.exists()
