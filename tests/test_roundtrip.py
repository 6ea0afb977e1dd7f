"""Every tree saved and loaded again is the same tree, in every format."""
import math

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from zub import ZubSettingEngine

settings.register_profile(
    "zub", database=None, derandomize=True, max_examples=150, deadline=None,
    suppress_health_check=[HealthCheck.function_scoped_fixture, HealthCheck.too_slow],
)
settings.load_profile("zub")

KEYS = st.text(max_size=12)
FLOATS = st.floats(allow_nan=False, allow_infinity=False)


def trees(with_null, int_max):
    scalars = st.booleans() | st.integers(-(2**63), int_max) | FLOATS | st.text(max_size=30)
    if with_null:
        scalars = scalars | st.none()
    return st.dictionaries(
        KEYS,
        st.recursive(scalars, lambda inner: st.lists(inner, max_size=4) | st.dictionaries(KEYS, inner, max_size=4),
                     max_leaves=12),
        max_size=6,
    )


def same(a, b):
    """Equal, with int, float and bool kept apart and the sign of zero kept."""
    if type(a) is not type(b):
        return False
    if isinstance(a, float):
        return a == b and math.copysign(1, a) == math.copysign(1, b)
    if isinstance(a, list):
        return len(a) == len(b) and all(same(x, y) for x, y in zip(a, b))
    if isinstance(a, dict):
        return list(a) == list(b) and all(same(a[k], b[k]) for k in a)
    return a == b


def save_and_load(tmp_path, driver, tree):
    path = str(tmp_path / f"rt.{driver}")
    e = ZubSettingEngine(path, driver)
    e.clear()
    # Member names may hold "/", which no key path reaches: store the tree
    # whole under one key.
    e.set_value("tree", tree)
    e.sync()
    return e.value(""), ZubSettingEngine(path, driver).value("")


@pytest.mark.parametrize("driver", ["json", "json5", "yaml"])
@given(tree=trees(with_null=True, int_max=2**64 - 1))
def test_roundtrip(tmp_path, driver, tree):
    before, after = save_and_load(tmp_path, driver, tree)
    assert same(before, after), (before, after)


@given(tree=trees(with_null=False, int_max=2**63 - 1))
def test_roundtrip_toml(tmp_path, tree):
    before, after = save_and_load(tmp_path, "toml", tree)
    assert same(before, after), (before, after)
