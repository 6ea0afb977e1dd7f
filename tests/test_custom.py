"""Custom driver objects with read and write."""
import sys

import pytest

from zub import ZubSettingEngine


DEFAULT = object()


class Recorder:
    def __init__(self, data=DEFAULT):
        self.data = {"a": 1} if data is DEFAULT else data
        self.reads = []
        self.writes = []

    def read(self, path):
        self.reads.append(path)
        return self.data

    def write(self, path, data):
        self.writes.append((path, data))
        return "ignored"


def test_read_once_and_write_every_sync():
    rec = Recorder()
    e = ZubSettingEngine("./rel/../conf.x", rec)
    assert rec.reads == ["./rel/../conf.x"]
    assert e.value("a") == 1
    e.set_value("b", [1, {"c": None}])
    e.sync()
    e.sync()
    assert len(rec.writes) == 2
    (p1, d1), (p2, d2) = rec.writes
    assert p1 == p2 == "./rel/../conf.x"
    assert d1 == d2 == {"a": 1, "b": [1, {"c": None}]}
    assert d1 is not d2 and type(d1) is dict
    d1["a"] = 99
    assert e.value("a") == 1
    assert rec.reads == ["./rel/../conf.x"]


def test_read_result_that_cannot_convert():
    rec = Recorder({"a": object()})
    before = sys.getrefcount(rec)
    with pytest.raises(TypeError) as info:
        ZubSettingEngine("p", rec)
    assert str(info.value) == "Failed to depythonize custom driver data: unsupported type object"
    assert sys.getrefcount(rec) == before


def test_exceptions_from_read_and_write_pass_through_unchanged():
    error = LookupError("from read")

    class Fails:
        def read(self, path):
            raise error

        def write(self, path, data):
            raise error

    obj = Fails()
    before = sys.getrefcount(obj)
    with pytest.raises(LookupError) as info:
        ZubSettingEngine("p", obj)
    assert info.value is error
    # The traceback holds read's frame, and with it the object, alive.
    error.__traceback__ = None
    del info
    assert sys.getrefcount(obj) == before

    class WriteFails(Recorder):
        def write(self, path, data):
            raise error

    e = ZubSettingEngine("p", WriteFails())
    e.set_value("z", 1)
    with pytest.raises(LookupError) as info:
        e.sync()
    assert info.value is error and info.value.__traceback__ is not None
    assert e.value("z") == 1


def test_not_callable_read_and_write():
    class DataAttrs:
        read = 1
        write = 2

    with pytest.raises(TypeError, match="not callable"):
        ZubSettingEngine("p", DataAttrs())

    class CallableRead:
        def read(self, path):
            return {}

        write = None

    e = ZubSettingEngine("p", CallableRead())
    with pytest.raises(TypeError, match="not callable"):
        e.sync()


def test_class_object_as_driver():
    class AsClass:
        @staticmethod
        def read(path):
            return {"k": path}

        @staticmethod
        def write(path, data):
            pass

    assert ZubSettingEngine("p", AsClass).value("k") == "p"


def test_driver_reference_is_released_with_the_engine():
    rec = Recorder()
    before = sys.getrefcount(rec)
    e = ZubSettingEngine("p", rec)
    assert sys.getrefcount(rec) == before + 1
    del e
    assert sys.getrefcount(rec) == before
