"""Objects crossing the boundary are not leaked: each call runs many times and
the interpreter's count of references (debug builds) or of allocated blocks
must not grow with the number of calls."""
import dataclasses
import gc
import sys
from collections import OrderedDict
from collections.abc import Mapping

import pytest

from zub import ZubSettingEngine

if not hasattr(sys, "gettotalrefcount") and sys.getallocatedblocks() == 0:
    pytest.skip("the allocator does not count blocks (PYTHONMALLOC=malloc)", allow_module_level=True)

# The timeout's watchdog thread, started and stopped around every test,
# would be counted with the blocks; single-threaded tests can use a signal.
pytestmark = pytest.mark.timeout(method="signal")


@dataclasses.dataclass
class Point:
    x: int
    y: list


class Driver:
    def read(self, path):
        return {"a": [1, 2.5, "x", None, {"b": True}]}

    def write(self, path, data):
        pass


class Failing:
    def read(self, path):
        return {}

    def write(self, path, data):
        raise ValueError("refused")


class BadMapping(Mapping):
    def __getitem__(self, key):
        raise KeyError("inside")

    def __iter__(self):
        return iter(["a", "b"])

    def __len__(self):
        return 2


def engine():
    e = ZubSettingEngine("p", "memory")
    e.set_value("g/a", [1, {"b": "text" * 10}, 2.5, -3, 2**63])
    return e


def raises(fn, exc):
    try:
        fn()
    except exc:
        return
    raise AssertionError("no exception")


E = engine()
CUSTOM = ZubSettingEngine("p", Driver())
FAILING = ZubSettingEngine("p", Failing())
CASES = {
    "value of containers": lambda: E.value("g"),
    "value of the root": lambda: E.value(""),
    "set_value of nested data": lambda: E.set_value("n", {"k": [1, "two", 3.0, None, {"x": [True]}]}),
    "set_value of a dataclass": lambda: E.set_value("d", Point(1, [2, 3])),
    "set_value of tuple, set and mapping": lambda: E.set_value("t", ((1, 2), {3}, OrderedDict(a=1))),
    "listings": lambda: (E.all_keys(), E.child_keys(), E.child_groups(), E.group()),
    "conversion error": lambda: raises(lambda: E.set_value("x", {1: 2}), TypeError),
    "integer out of range": lambda: raises(lambda: E.set_value("x", [2**64]), TypeError),
    "error from user code in a conversion": lambda: raises(lambda: E.set_value("x", [1, BadMapping()]), TypeError),
    "argument error": lambda: raises(lambda: E.value(1), TypeError),
    "custom driver read and write": lambda: (ZubSettingEngine("p", Driver()).value("a"), CUSTOM.sync()),
    "exception from a custom write": lambda: raises(FAILING.sync, ValueError),
    "groups": lambda: (E.begin_group("g/h"), E.value("x"), E.end_group()),
}


def count():
    gc.collect()
    return sys.gettotalrefcount() if hasattr(sys, "gettotalrefcount") else sys.getallocatedblocks()


@pytest.mark.parametrize("call", CASES.values(), ids=CASES.keys())
def test_no_growth_per_call(call):
    for _ in range(50):
        call()
    # A leak grows in every round; collector and free-list noise does not.
    growths = []
    for _ in range(3):
        before = count()
        for _ in range(1000):
            call()
        growths.append(count() - before)
    assert min(growths) < 100, f"{growths} more after 1000 calls each"
