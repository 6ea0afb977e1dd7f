"""Python objects to settings and back."""
import collections.abc
import dataclasses
import datetime
import decimal
import math

import pytest


class Unprintable(Exception):
    def __str__(self):
        raise RuntimeError


class Weird:
    @property
    def __class__(self):
        raise RuntimeError("isinstance broke")


def roundtrip(engine, obj):
    engine.set_value("k", obj)
    return engine.value("k")


@pytest.mark.parametrize(
    "obj",
    [True, False, 0, 1, -1, 2**64 - 1, -(2**63), 1.0, -0.0, 1.5, "", "text", "\u00e9\U0001f600", [], {}, [1, [2, [3]]],
     {"a": {"b": [None, True]}}],
)
def test_roundtrip_keeps_type_and_value(memory, obj):
    got = roundtrip(memory, obj)
    assert got == obj
    assert type(got) is type(obj)
    if isinstance(obj, float):
        assert math.copysign(1, got) == math.copysign(1, obj)


@pytest.mark.parametrize("value", [math.nan, math.inf, -math.inf])
def test_non_finite_floats_become_null(memory, value):
    memory.set_value("x", value)
    assert memory.contains("x") and memory.value("x") is None


@pytest.mark.parametrize(
    "obj, message",
    [
        (2**64, "JSON number out of range"),
        (-(2**63) - 1, "JSON number out of range"),
        (2**128 - 1, "JSON number out of range"),
        (-(2**127), "JSON number out of range"),
        (2**128, "OverflowError: Python int larger than 128 bits"),
        (-(2**127) - 1, "OverflowError: Python int larger than 128 bits"),
        (b"x", "invalid type: byte array, expected any valid JSON value"),
        (bytearray(b"x"), "unexpected type: 'bytearray' object is not an instance of 'bytes'"),
        ({1: "a"}, "unexpected type: 'int' object is not an instance of 'str'"),
        ({None: "a"}, "unexpected type: 'None' is not an instance of 'str'"),
        ({"a": {1.5: 1}}, "unexpected type: 'float' object is not an instance of 'str'"),
        (datetime.datetime(2020, 1, 1), "unsupported type datetime"),
        (decimal.Decimal(1), "unsupported type Decimal"),
        (object(), "unsupported type object"),
        ([1, object()], "unsupported type object"),
        ({"\ud800": 1}, None),
        ("\udc00", None),
    ],
)
def test_conversion_errors(memory, obj, message):
    memory.set_value("keep", 1)
    with pytest.raises(TypeError) as info:
        memory.set_value("k", obj)
    if message is None:
        assert str(info.value).startswith("UnicodeEncodeError: ")
    else:
        assert str(info.value) == message
    assert memory.value("") == {"keep": 1}


class Seq(collections.abc.Sequence):
    def __init__(self, items, lengths=None):
        self.items = items
        self.lengths = lengths

    def __len__(self):
        if self.lengths:
            return self.lengths.pop(0)
        return len(self.items)

    def __getitem__(self, i):
        return self.items[i]


class Map(collections.abc.Mapping):
    def __init__(self, keys, values):
        self._keys, self._values = keys, values

    def __getitem__(self, k):
        raise AssertionError("values are read through values()")

    def __iter__(self):
        return iter(self._keys)

    def __len__(self):
        return len(self._keys)

    def keys(self):
        return list(self._keys)

    def values(self):
        return list(self._values)


@dataclasses.dataclass
class Point:
    x: int
    y: list


# A dataclass that is also a sequence converts as a sequence.
@dataclasses.dataclass
class SeqPoint(Seq):
    items: list
    lengths: list | None = None


def point_with_extra():
    p = Point(1, [2])
    p.extra = "ignored"
    return p


# Containers other than list and dict, and key order (bytes, not insertion).
@pytest.mark.parametrize(
    "obj, expected",
    [((1, 2), [1, 2]), ((), []), ({3, 1, 2}, list({3, 1, 2})), (frozenset(), []), (Seq([1, "a"]), [1, "a"]),
     ({"b": 1, "a": 2, "B": 3}, {"B": 3, "a": 2, "b": 1}), (Map(["a", "b", "a"], [1, 2, 3]), {"a": 3, "b": 2}),
     (point_with_extra(), {"x": 1, "y": [2]}), (SeqPoint([0, 1]), [0, 1])],
)
def test_other_containers(memory, obj, expected):
    got = roundtrip(memory, obj)
    assert got == expected and type(got) is type(expected)
    assert list(got) == list(expected)


def test_sequence_length_changing(memory):
    with pytest.raises(TypeError) as info:
        memory.set_value("k", Seq([1, 2, 3], lengths=[2, 3]))
    assert str(info.value) == "expected sequence of length 2, got 3"


def test_exceptions_inside_conversion_become_text(memory):
    class Bad(collections.abc.Sequence):
        def __len__(self):
            raise ValueError("no length")

        def __getitem__(self, i):
            return i

    with pytest.raises(TypeError) as info:
        memory.set_value("k", Bad())
    assert str(info.value) == "ValueError: no length"

    class Worse(Bad):
        def __len__(self):
            raise Unprintable()

    with pytest.raises(TypeError) as info:
        memory.set_value("k", Worse())
    assert str(info.value) == "Unprintable: <exception str() failed>"


def test_dataclass_missing_a_field(memory):
    p = Point(1, [2])
    del p.x
    with pytest.raises(TypeError) as info:
        memory.set_value("k", p)
    assert str(info.value) == "KeyError: 'x'"


def test_failing_isinstance_goes_to_the_unraisable_hook(memory, monkeypatch):
    import sys

    seen = []
    monkeypatch.setattr(sys, "unraisablehook", lambda info: seen.append(info.exc_value))

    with pytest.raises(TypeError, match="^unsupported type Weird$"):
        memory.set_value("k", Weird())
    # Both the Sequence and the Mapping test raised, and both counted as false.
    assert [str(e) for e in seen] == ["isinstance broke"] * 2


def test_reentrant_reads_and_writes_from_conversion_hooks(memory):
    memory.set_value("seen", 0)

    class Sneaky(collections.abc.Sequence):
        def __len__(self):
            return 1

        def __getitem__(self, i):
            if i:
                raise IndexError
            memory.set_value("inner", memory.value("seen") + 1)
            with pytest.raises(RuntimeError, match="^Already borrowed$"):
                memory.begin_group("x")
            with pytest.raises(RuntimeError, match="^Already borrowed$"):
                memory.end_group()
            memory.sync()
            return "item"

    memory.set_value("outer", Sneaky())
    assert memory.value("") == {"inner": 1, "outer": ["item"], "seen": 0}
    assert memory.group() == ""


def test_converted_value_is_a_snapshot(memory):
    data = {"a": [1]}
    memory.set_value("k", data)
    data["a"].append(2)
    assert memory.value("k") == {"a": [1]}
