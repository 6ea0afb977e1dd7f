"""Every code sample of README.md runs here (the install block in tools/test_wheel.py), so none can rot."""
import doctest
import os
import re
import shutil
import subprocess
import sys

import pytest

import zub
from zub import ZubSettingEngine

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
with open(os.path.join(ROOT, "README.md"), encoding="utf-8") as _f:
    README = _f.read()
BLOCKS = [
    (m.group(1), m.group(2), README.count("\n", 0, m.start()) + 1)
    for m in re.finditer(r"^```(\w*)\n(.*?)^```$", README, re.M | re.S)
]


def blocks(language, keep=lambda text: True):
    return [pytest.param(text, id=f"line{line}") for lang, text, line in BLOCKS if lang == language and keep(text)]


def is_install(text):
    return "pip install" in text


@pytest.fixture
def folder(tmp_path, monkeypatch):
    shutil.copy(os.path.join(ROOT, "examples", "settings.yaml"), tmp_path)
    monkeypatch.chdir(tmp_path)
    return tmp_path


def test_every_sample_has_a_runner():
    assert {lang for lang, _, _ in BLOCKS} == {"python", "pycon", "console", "sh"}
    assert len(blocks("sh", is_install)) == 1


@pytest.mark.parametrize("code", blocks("python"))
def test_python_samples(code, folder, capsys):
    exec(compile(code, "README.md", "exec"), {"__name__": "readme"})
    # `print(x)  # shown` lines say what they print.
    shown = re.findall(r"^\s*print\(.*\)\s+# (.*)$", code, re.M)
    assert capsys.readouterr().out.splitlines() == shown


@pytest.mark.parametrize("session", blocks("pycon"))
def test_interactive_samples(session, folder):
    test = doctest.DocTestParser().get_doctest(session, {}, "README", "README.md", 0)
    report = []
    runner = doctest.DocTestRunner(optionflags=doctest.ELLIPSIS)
    runner.run(test, out=report.append)
    assert runner.failures == 0, "".join(report)


@pytest.mark.parametrize("session", blocks("console"))
def test_shell_sessions(session, folder):
    # The README says `python`, as in a virtual environment; here it is this interpreter.
    shim = folder / ".bin"
    shim.mkdir()
    (shim / "python").symlink_to(sys.executable)
    env = {**os.environ, "PATH": f"{shim}:{os.environ['PATH']}",
           "PYTHONPATH": os.path.dirname(os.path.dirname(os.path.abspath(zub.__file__)))}
    for step in re.split(r"^\$ ", session, flags=re.M)[1:]:
        command, _, expected = step.partition("\n")
        result = subprocess.run(["bash", "-c", command], cwd=folder, env=env, capture_output=True, text=True)
        assert result.stdout + result.stderr == expected, command


@pytest.mark.parametrize("block", blocks("sh", lambda text: not is_install(text)))
def test_dev_commands_exist(block):
    with open(os.path.join(ROOT, "dev"), encoding="utf-8") as f:
        usage = f.read().split("set -euo pipefail")[0]
    for line in block.splitlines():
        command = line.split("#")[0].split()
        assert command[0] == "./dev" and f"./dev {command[1]} " in usage, line


def test_reference_names_every_member():
    table = README.split("\n## Reference\n")[1].split("\n## ")[0]
    documented = re.findall(r"^\| `(\w+)", table, re.M)
    public = [name for name in dir(ZubSettingEngine) if not name.startswith("_")]
    assert sorted(documented) == sorted(["ZubSettingEngine", *public])
