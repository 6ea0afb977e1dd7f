import importlib
import os
import subprocess
import sys
import weakref

import pytest

import zub
import zub._zub_core as core
from zub import ZubSettingEngine


def test_module_exports_only_the_class():
    assert core.__all__ == ["ZubSettingEngine"]
    assert core.__doc__ == ""
    assert zub.ZubSettingEngine is core.ZubSettingEngine


def test_class_identity():
    assert ZubSettingEngine.__module__ == "builtins"
    assert ZubSettingEngine.__qualname__ == "ZubSettingEngine"
    assert ZubSettingEngine.__name__ == "ZubSettingEngine"
    assert not ZubSettingEngine.__doc__
    assert ZubSettingEngine.__text_signature__ == "(path, driver=None, *, keep_layout=False)"


def test_not_subclassable():
    with pytest.raises(TypeError):
        type("Sub", (ZubSettingEngine,), {})


def test_no_instance_dict_and_no_weakref(memory):
    with pytest.raises(AttributeError):
        memory.anything = 1
    with pytest.raises(TypeError):
        weakref.ref(memory)


def test_path_is_read_only(memory):
    with pytest.raises(AttributeError):
        memory.path = "other"
    with pytest.raises(AttributeError):
        del memory.path
    assert memory.file_name() == "unused"


def test_second_import_shares_the_class():
    saved = sys.modules.pop("zub._zub_core")
    try:
        again = importlib.import_module("zub._zub_core")
        assert again is not saved
        assert again.ZubSettingEngine is saved.ZubSettingEngine
    finally:
        sys.modules["zub._zub_core"] = saved


def test_methods_through_the_class_check_the_instance():
    with pytest.raises(TypeError):
        ZubSettingEngine.status(object())


@pytest.mark.parametrize(
    "command",
    [
        ["mypy.stubtest", "zub._zub_core"],
        # The example calls every method; the package's own Python is typed too.
        ["mypy", "--strict", "examples/quickstart.py", "zub/__init__.py", "zub/__main__.py", "zub/cli.py"],
    ],
    ids=["stubtest", "strict"],
)
def test_typing(tmp_path, command):
    root = os.path.dirname(os.path.dirname(os.path.abspath(zub.__file__)))
    # The package may be imported from elsewhere than the checkout (a sanitizer build).
    checkout = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
    env = {**os.environ, "MYPY_CACHE_DIR": str(tmp_path / "cache"), "MYPYPATH": root}
    paths = [os.path.join(root if c.startswith("zub/") else checkout, c) if c.endswith(".py") else c
             for c in command[1:]]
    result = subprocess.run(
        [sys.executable, "-m", command[0], *paths], capture_output=True, text=True, env=env, cwd=tmp_path,
    )
    assert result.returncode == 0, result.stdout + result.stderr
