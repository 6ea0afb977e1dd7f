"""sync() under SIGKILL, and on a full disk.

A child process loops set_value + sync on one file; the parent kills it at a
random moment, ZUB_CRASH_KILLS times per format (200 by default). After
every kill the file must load, with zub and with an independent parser, and
hold either the last state the child reported saved or the one after it,
never a mixture or nothing; at the end no temporary file may be left. Then
a write that the disk refuses must leave the old file as it was and raise
the standard exception.
"""
import json
import os
import random
import re
import signal
import subprocess
import sys
import time
import tomllib

import json5
import pytest
import yaml

from zub import ZubSettingEngine

if not os.environ.get("ZUB_STRESS"):
    pytest.skip("run by ./dev stress", allow_module_level=True)

KILLS = int(os.environ.get("ZUB_CRASH_KILLS", "200"))
TEMP = re.compile(r"\.settings\.\w+\.zub-[0-9a-f]{16}\.tmp")
PARSERS = {
    "json": json.loads,
    "json5": json5.loads,
    "toml": tomllib.loads,
    "yaml": lambda text: yaml.load(text, Loader=getattr(yaml, "CSafeLoader", yaml.SafeLoader)),
}


def items(n):
    return {f"k{j:03}": f"{n}-{j}-" + "x" * 40 for j in range(200)}


CHILD = f"""
import sys
from zub import ZubSettingEngine
path, fmt = sys.argv[1], sys.argv[2]
e = ZubSettingEngine(path, fmt)
n = e.value("n") or 0
while True:
    n += 1
    e.set_value("n", n)
    e.set_value("items", {{f"k{{j:03}}": f"{{n}}-{{j}}-" + "x" * 40 for j in range(200)}})
    e.sync()
    print(n, flush=True)
"""


def child_env():
    import zub

    root = os.path.dirname(os.path.dirname(os.path.abspath(zub.__file__)))
    return {**os.environ, "PYTHONPATH": root}


@pytest.mark.parametrize("fmt", ["json", "json5", "toml", "yaml"])
def test_sync_survives_sigkill(tmp_path, fmt):
    path = str(tmp_path / f"settings.{fmt}")
    rng = random.Random(fmt)
    env = child_env()
    mid_save = named = 0
    for kill in range(KILLS):
        with subprocess.Popen([sys.executable, "-P", "-c", CHILD, path, fmt], stdout=subprocess.PIPE,
                              text=True, env=env) as p:
            first = p.stdout.readline()  # one save done: the file exists from here on
            assert first.endswith("\n"), f"kill {kill}: the child ended early"
            time.sleep(rng.uniform(0, 0.03))
            p.kill()
            rest = p.stdout.read()
        reported = [int(line) for line in (first + rest).split("\n")[:-1]]
        last = reported[-1]

        with open(path, encoding="utf-8") as f:
            text = f.read()
        for name, tree in (("zub", ZubSettingEngine(path, fmt).value("")), (fmt, PARSERS[fmt](text))):
            assert tree.get("n") in (last, last + 1), f"kill {kill}, {name}: n={tree.get('n')}, reported {last}"
            assert tree["items"] == items(tree["n"]), f"kill {kill}, {name}: a mixture of two states"
        mid_save += tree["n"] == last + 1
        # Killed between naming its unnamed temporary file and the rename,
        # a save leaves that name; the next save removes it.
        leftovers = [n for n in os.listdir(tmp_path) if n != os.path.basename(path)]
        assert all(TEMP.fullmatch(n) for n in leftovers), leftovers
        named += len(leftovers)
    e = ZubSettingEngine(path, fmt)
    e.sync()
    assert os.listdir(tmp_path) == [os.path.basename(path)]
    print(f"\n{fmt}: {KILLS} kills, the file always whole; {mid_save} kills fell after a rename the "
          f"child had not reported; {named} between naming the temporary file and the rename, "
          f"which the next save removed; nothing left at the end")


# The file-size limit makes writes fail with EFBIG, as a full disk fails
# them with ENOSPC; ZUB_FULL_DIR (a small tmpfs that `./dev stress` mounts)
# gives the real thing.
FULL_DISK_CHILD = """
import os, resource, signal, sys
from zub import ZubSettingEngine
path, fmt, limit = sys.argv[1], sys.argv[2], int(sys.argv[3])
e = ZubSettingEngine(path, fmt)
e.set_value("big", "y" * 2_000_000)
if limit:
    signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
    resource.setrlimit(resource.RLIMIT_FSIZE, (limit, limit))
try:
    e.sync()
except Exception as exc:
    print(type(exc).__name__, exc)
else:
    print("saved")
"""


def full_disk_cases():
    yield pytest.param("rlimit", id="file-size-limit")
    if os.environ.get("ZUB_FULL_DIR"):
        yield pytest.param("tmpfs", id="full-tmpfs")


@pytest.mark.parametrize("fmt", ["json", "json5", "toml", "yaml"])
@pytest.mark.parametrize("disk", list(full_disk_cases()))
def test_full_disk_keeps_the_old_file(tmp_path, fmt, disk):
    folder = tmp_path if disk == "rlimit" else os.path.join(os.environ["ZUB_FULL_DIR"], fmt)
    os.makedirs(folder, exist_ok=True)
    path = os.path.join(folder, f"settings.{fmt}")
    old = ZubSettingEngine(path, fmt)
    old.set_value("kept", [1, "two"])
    old.sync()
    with open(path, "rb") as f:
        before = f.read()
    limit = 65536 if disk == "rlimit" else 0
    out = subprocess.run([sys.executable, "-P", "-c", FULL_DISK_CHILD, path, fmt, str(limit)],
                         capture_output=True, text=True, env=child_env(), timeout=120)
    assert out.returncode == 0, out.stderr
    expected = "OSError File too large (os error 27)" if disk == "rlimit" else \
        "OSError No space left on device (os error 28)"
    assert out.stdout.strip() == expected
    with open(path, "rb") as f:
        assert f.read() == before
    assert os.listdir(folder) == [os.path.basename(path)]
    assert ZubSettingEngine(path, fmt).value("kept") == [1, "two"]
