"""The wheel and the sdist, and a fresh virtual environment that sees nothing but the wheel.

`./dev wheel` builds them and runs this file; elsewhere it is skipped. It runs
without the tree's conftest and never imports zub from the tree, which may
not be built.
"""
import email
import glob
import os
import re
import shutil
import subprocess
import sys
import sysconfig
import tarfile
import zipfile

import pytest

DIST = os.environ.get("ZUB_DIST", "")
TREE_WHEEL = os.environ.get("ZUB_TREE_WHEEL", "")
ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
pytestmark = pytest.mark.skipif(not DIST, reason="needs the built distributions: ./dev wheel")
EXTENSION = "zub/_zub_core" + sysconfig.get_config_var("EXT_SUFFIX")


def only(folder, pattern):
    found = glob.glob(os.path.join(folder, pattern))
    assert len(found) == 1, found
    return found[0]


@pytest.fixture(scope="module")
def wheel():
    return only(DIST, "zub-*.whl")


def members(path):
    with zipfile.ZipFile(path) as z:
        return {name: z.read(name) for name in z.namelist()}


def metadata(wheel_path):
    files = members(wheel_path)
    return email.message_from_bytes(next(v for k, v in files.items() if k.endswith(".dist-info/METADATA")))


def test_wheel_holds_the_package_and_its_typing(wheel):
    package = sorted(name for name in members(wheel) if not re.match(r"zub-[^/]*\.dist-info/", name))
    expected = ["zub/__init__.py", "zub/__main__.py", "zub/_zub_core.pyi", "zub/cli.py", "zub/py.typed", EXTENSION]
    assert package == sorted(expected)


def test_metadata(wheel):
    meta = metadata(wheel)
    with open(os.path.join(ROOT, "zub", "__init__.py"), encoding="utf-8") as f:
        version = re.search(r'^__version__ = "(.+)"$', f.read(), re.M).group(1)
    assert (meta["Name"], meta["Version"], meta["Requires-Python"]) == ("zub", version, ">=3.14")
    assert os.path.basename(wheel) == f"zub-{version}-cp314-cp314-linux_x86_64.whl"
    assert meta["License-Expression"] == "MIT" and meta["License-File"] == "LICENSE"
    classifiers = meta.get_all("Classifier")
    for wanted in ("Python :: 3.14", "Python :: Implementation :: CPython", "Python :: Free Threading :: 1 - Unstable"):
        assert "Programming Language :: " + wanted in classifiers
    assert "Typing :: Typed" in classifiers
    assert meta["Description-Content-Type"] == "text/markdown"
    assert meta.get_payload().startswith("# zub\n")
    entry_points = next(v for k, v in members(wheel).items() if k.endswith(".dist-info/entry_points.txt"))
    assert b"zub = zub.cli:main" in entry_points


def test_extension_needs_only_the_shared_libraries_the_readme_names(wheel, tmp_path):
    (tmp_path / "core.so").write_bytes(members(wheel)[EXTENSION])
    dynamic = subprocess.run(["readelf", "-d", str(tmp_path / "core.so")], capture_output=True, text=True, check=True)
    needed = set(re.findall(r"\(NEEDED\)\s+Shared library: \[(.+?)\]", dynamic.stdout))
    allowed = {"libfyaml", "libyyjson", "libstdc++", "libm", "libgcc_s", "libc", "ld-linux-x86-64"}
    assert needed and {re.sub(r"\.so.*", "", n) for n in needed} <= allowed


def test_sdist_has_the_sources_and_nothing_built():
    sdist = only(DIST, "zub-*.tar.gz")
    with tarfile.open(sdist) as t:
        names = {name.split("/", 1)[1] for name in t.getnames() if "/" in name}
    sources = {os.path.relpath(os.path.join(d, f), ROOT) for d, _, fs in os.walk(os.path.join(ROOT, "src")) for f in fs}
    assert sources and sources <= names
    assert {"pyproject.toml", "CMakeLists.txt", "README.md", "LICENSE", "zub/_zub_core.pyi", "zub/py.typed"} <= names
    assert not [n for n in names if n.endswith(".so") or n.startswith(("build", "dist/"))]


@pytest.mark.skipif(not TREE_WHEEL, reason="needs a wheel built from the tree")
def test_the_sdist_builds_the_same_wheel(wheel):
    # The extension differs in the build paths compiled into it, and RECORD
    # holds its hash; everything else must be the same, byte for byte.
    from_tree = members(only(TREE_WHEEL, "zub-*.whl"))
    from_sdist = members(wheel)
    assert sorted(from_tree) == sorted(from_sdist)
    differ = [name for name in from_tree if from_tree[name] != from_sdist[name]]
    assert [n for n in differ if n != EXTENSION and not n.endswith("/RECORD")] == []


@pytest.fixture(scope="module")
def fresh(wheel, tmp_path_factory):
    """A folder holding the wheel, the examples and, after the README's install steps, a venv."""
    where = tmp_path_factory.mktemp("fresh")
    shutil.copy(wheel, where)
    shutil.copytree(os.path.join(ROOT, "examples"), where / "examples")
    env = {k: v for k, v in os.environ.items() if k not in ("PYTHONPATH", "MYPYPATH")}
    env.update(HOME=str(where), PIP_DISABLE_PIP_VERSION_CHECK="1")
    with open(os.path.join(ROOT, "README.md"), encoding="utf-8") as f:
        install = next(b for b in re.findall(r"^```sh\n(.*?)^```$", f.read(), re.M | re.S) if "pip install" in b)
    result = subprocess.run(["bash", "-ec", install], cwd=where, env=env, capture_output=True, text=True, timeout=300)
    assert result.returncode == 0, result.stdout + result.stderr
    return where, env, result.stdout


def run(fresh, *args, **kwargs):
    where, env, _ = fresh
    result = subprocess.run(list(args), cwd=where, env=env, capture_output=True, text=True, timeout=300, **kwargs)
    assert result.returncode == 0, result.stdout + result.stderr
    return result.stdout


def test_readme_install_steps(fresh, wheel):
    version = metadata(wheel)["Version"]
    assert fresh[2].splitlines()[-2:] == [version, f"zub {version}"]


def test_every_public_name_imports_from_the_venv(fresh):
    out = run(fresh, "zub-env/bin/python", "-c", """if True:
        import importlib.metadata, zub, zub.cli, zub._zub_core
        from zub import *
        from zub import ZubSettingEngine, __version__
        assert zub.__all__ == ["ZubSettingEngine"] and ZubSettingEngine is zub._zub_core.ZubSettingEngine
        assert __version__ == importlib.metadata.version("zub")
        print(zub.__file__)
        """)
    assert out.startswith(str(fresh[0] / "zub-env" / "lib"))


def test_quickstart_and_example_run_in_the_venv(fresh):
    with open(os.path.join(ROOT, "README.md"), encoding="utf-8") as f:
        quick_start = re.search(r"^```python\n(.*?)^```$", f.read(), re.M | re.S).group(1)
    assert run(fresh, "zub-env/bin/python", "-c", quick_start).startswith("dark\n")
    out = run(fresh, "zub-env/bin/python", "examples/quickstart.py")
    assert "=== settings.yaml (yaml)" in out and "custom driver write" in out


def test_command_line_in_the_venv(fresh):
    run(fresh, "zub-env/bin/python", "-m", "zub", "examples/settings.yaml", "convert", "converted.toml")
    assert run(fresh, "zub-env/bin/zub", "converted.toml", "get", "ui/theme/color") == '"dark"\n'
    where, env, _ = fresh
    failed = subprocess.run(["zub-env/bin/zub", "converted.toml", "get", "nope"], cwd=where, env=env,
                            capture_output=True, text=True)
    assert (failed.returncode, failed.stderr) == (1, "zub: error: no key 'nope' in converted.toml\n")


def test_example_passes_mypy_strict_against_the_installed_package(fresh):
    where, _, _ = fresh
    run(fresh, sys.executable, "-m", "mypy", "--strict", "--python-executable", "zub-env/bin/python",
        "--cache-dir", str(where / "mypy-cache"), "examples/quickstart.py")
