import os
import subprocess
import sys
import textwrap

import pytest

from zub import ZubSettingEngine

FILE_DRIVERS = ["json", "json5", "toml", "yaml"]
SUFFIX = {"json": ".json", "json5": ".json5", "toml": ".toml", "yaml": ".yaml"}


@pytest.fixture(params=FILE_DRIVERS)
def file_driver(request):
    return request.param


@pytest.fixture
def memory():
    return ZubSettingEngine("unused", "memory")


def write_file(path, data):
    mode = "wb" if isinstance(data, bytes) else "w"
    with open(path, mode, **({} if mode == "wb" else {"encoding": "utf-8"})) as f:
        f.write(data)
    return str(path)


def run_isolated(code, timeout=120):
    """Runs code in a fresh interpreter, so a crash fails one test instead of the run.

    The child imports the same zub as this process: -P keeps the current
    directory (perhaps a source tree without the built module) off its path.
    """
    import zub

    package_root = os.path.dirname(os.path.dirname(os.path.abspath(zub.__file__)))
    return subprocess.run(
        [sys.executable, "-P", "-c", textwrap.dedent(code)],
        capture_output=True,
        text=True,
        timeout=timeout,
        env={**os.environ, "PYTHONPATH": package_root},
    )


def is_root():
    return os.geteuid() == 0


def read_text(path):
    with open(path, encoding="utf-8") as f:
        return f.read()
