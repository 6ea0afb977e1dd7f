"""Faults found by feeding zub hostile objects, files and thread patterns."""
import collections.abc
import gc
import subprocess
import threading
import weakref

import pytest

import zub._zub_core
from conftest import write_file
from zub import ZubSettingEngine

# Exceptions that are not about the value: an interrupt, an exit, a closing
# generator, memory running out. They reach the caller unchanged.
PASS_THROUGH = [KeyboardInterrupt, SystemExit, GeneratorExit, MemoryError]


class Seq(collections.abc.Sequence):
    def __init__(self, fail, exc):
        self.fail, self.exc = fail, exc

    def __len__(self):
        if self.fail == "len":
            raise self.exc("boom")
        return 1

    def __getitem__(self, i):
        if self.fail == "item":
            raise self.exc("boom")
        if i:
            raise IndexError(i)
        return 1


class Map(collections.abc.Mapping):
    def __init__(self, fail=None, exc=None, keys=("a",), length=None):
        self.fail, self.exc, self._keys = fail, exc, list(keys)
        self.length = len(self._keys) if length is None else length

    def keys(self):
        if self.fail == "keys":
            raise self.exc("boom")
        return self._keys

    def values(self):
        if self.fail == "values":
            raise self.exc("boom")
        return [1] * len(self._keys)

    def __getitem__(self, key):
        return 1

    def __iter__(self):
        return iter(self._keys)

    def __len__(self):
        return self.length


def boom(exc):
    raise exc("boom")


SITES = {
    "sequence len": lambda exc: Seq("len", exc),
    "sequence item": lambda exc: Seq("item", exc),
    "mapping keys": lambda exc: Map("keys", exc),
    "mapping values": lambda exc: Map("values", exc),
    "nested in a dict": lambda exc: {"x": [Seq("item", exc)]},
    "set iteration": lambda exc: type("S", (set,), {"__iter__": lambda self: boom(exc)})([1]),
    "attribute lookup": lambda exc: type("O", (), {"__getattr__": lambda self, name: boom(exc)})(),
    "isinstance test": lambda exc: type("O", (), {"__class__": property(lambda self: boom(exc))})(),
}


@pytest.mark.parametrize("exc", PASS_THROUGH)
@pytest.mark.parametrize("site", SITES)
def test_interrupts_pass_through_conversion(memory, site, exc):
    with pytest.raises(BaseException) as info:
        memory.set_value("k", SITES[site](exc))
    assert type(info.value) is exc
    assert memory.value("") == {}


@pytest.mark.parametrize("exc", PASS_THROUGH)
def test_interrupts_pass_through_a_custom_read(exc):
    class Lazy:
        def read(self, path):
            return Map("keys", exc)

        def write(self, path, data):
            pass

    with pytest.raises(BaseException) as info:
        ZubSettingEngine("p", Lazy())
    assert type(info.value) is exc


@pytest.mark.parametrize("length,keys,text", [
    (1, ["a", "b"], "expected mapping of length 1, got 2"),
    (3, ["a", "b"], "expected mapping of length 3, got 2"),
])
def test_mapping_whose_len_disagrees_with_keys(memory, length, keys, text):
    with pytest.raises(TypeError) as info:
        memory.set_value("k", Map(keys=keys, length=length))
    assert str(info.value) == text


class Driver:
    def read(self, path):
        return {}

    def write(self, path, data):
        pass


def test_custom_driver_referring_to_its_engine_is_collected():
    driver = Driver()
    driver.engine = ZubSettingEngine("p", driver)
    alive = weakref.ref(driver)
    del driver
    gc.collect()
    assert alive() is None


@pytest.mark.parametrize("method", ["read", "write"])
def test_custom_method_not_callable(method):
    driver = Driver()
    with pytest.raises(TypeError, match=r"^'int' object is not callable$"):
        setattr(driver, method, 1)
        ZubSettingEngine("p", driver).sync()


def test_json_after_a_byte_order_mark(tmp_path):
    path = write_file(tmp_path / "bom.json", b'\xef\xbb\xbf{"a": 1}')
    assert ZubSettingEngine(path).value("a") == 1


def test_module_keeps_no_thread_local_storage_of_its_own():
    # A dynamic TLS block is allocated on a thread's first call, and the C
    # library aborts the process when it cannot be.
    symbols = subprocess.run(["readelf", "-sW", zub._zub_core.__file__], capture_output=True,
                             text=True, check=True).stdout.splitlines()
    tls = [line.split()[-1] for line in symbols if " TLS " in line]
    assert tls == []


def test_begin_group_waits_for_a_save_on_another_thread(tmp_path):
    e = ZubSettingEngine(str(tmp_path / "big.json"))
    e.set_value("data", {f"k{i}": "x" * 50 for i in range(20000)})
    stop, saves, failures = threading.Event(), [], []

    def saver():
        while not stop.is_set():
            e.sync()
            saves.append(1)

    t = threading.Thread(target=saver)
    t.start()
    try:
        while len(saves) < 5:
            try:
                e.begin_group("g")
                e.end_group()
            except RuntimeError as err:
                failures.append(str(err))
    finally:
        stop.set()
        t.join()
    assert failures == []
