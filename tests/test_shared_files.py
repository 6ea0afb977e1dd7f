"""Saving a file other users share or watch. Acting as two users needs root: the unprivileged
run skips this file, and `./dev test` (or `./dev shared`) runs it again as root."""
import os
import shutil
import subprocess
import sys
import tempfile

import pytest

import zub

pytestmark = pytest.mark.skipif(os.geteuid() != 0, reason="acting as two users needs root: run by `./dev shared`")

SAVER, OTHER, SHARED_GROUP = 1000, 1001, 2000
ROOT_DIR = os.path.dirname(os.path.dirname(os.path.abspath(zub.__file__)))


def run_as(uid, code, *args):
    user = dict(user=uid, group=uid, extra_groups=[SHARED_GROUP]) if uid else {}
    return subprocess.Popen([sys.executable, "-P", "-c", code, *map(str, args)], stdout=subprocess.PIPE,
                            env={"PYTHONPATH": ROOT_DIR}, text=True, **user)


def exit_status(process):
    with process:
        process.communicate(timeout=120)
    return process.returncode


@pytest.fixture
def folder():
    path = tempfile.mkdtemp(dir="/tmp")
    yield path
    shutil.rmtree(path)


def make(path, owner, group, mode):
    with open(path, "w") as f:
        f.write("{}")
    os.chown(path, owner, group)
    os.chmod(path, mode)


SAVE = """
import os, sys
if len(sys.argv) > 3:
    os.sched_setaffinity(0, {0})
    os.nice(19)
from zub import ZubSettingEngine
e = ZubSettingEngine(sys.argv[1], "json")
for n in range(int(sys.argv[2])):
    e.set_value("password", f"hunter2-{n}")
    e.sync()
"""

# Opens every file that appears in the folder the moment inotify reports it,
# keeps the descriptors, and reads them once the saves are over. It shares
# one CPU with a saver at the lowest priority, so each event lets it run
# before the saver takes its next step, as a determined attacker arranges.
SPY = r"""
import ctypes, os, struct, sys
os.sched_setaffinity(0, {0})
folder, done = sys.argv[1].encode(), sys.argv[2]
libc = ctypes.CDLL(None, use_errno=True)
fd = libc.inotify_init1(0)
assert libc.inotify_add_watch(fd, folder, 0x100 | 0x80) >= 0  # IN_CREATE | IN_MOVED_TO
print("ready", flush=True)
held, events = [], 0
while not os.path.exists(done):
    data = os.read(fd, 65536)
    while data:
        length = struct.unpack_from("iIII", data)[3]
        name, data, events = data[16:16 + length].rstrip(b"\0"), data[16 + length:], events + 1
        try:
            held.append(os.open(os.path.join(folder, name), os.O_RDONLY))
        except OSError:
            pass
print(events, sum(b"hunter2" in os.pread(f, 1 << 20, 0) for f in held))
"""


def test_a_private_file_is_never_readable_by_others_while_saved(folder):
    os.chown(folder, SAVER, SAVER)
    os.chmod(folder, 0o755)
    secret = os.path.join(folder, "secret.json")
    make(secret, SAVER, SAVER, 0o600)
    done = os.path.join(folder, "done")  # its creation wakes the spy a last time
    spy = run_as(OTHER, SPY, folder, done)
    try:
        assert spy.stdout.readline() == "ready\n"
        saves = 300
        assert exit_status(run_as(SAVER, SAVE, secret, saves, "pinned")) == 0
    finally:
        open(done, "w").close()
        report = spy.communicate(timeout=60)[0]
    events, stolen = map(int, report.split())
    assert events >= saves, "the spy saw too little to count"
    assert stolen == 0, f"another user read the secret {stolen} times"


@pytest.mark.parametrize(
    "saver, directory_mode, owner, kept",
    [
        # A member of the file's group keeps the group; only root may give the file to its owner.
        (SAVER, 0o777, OTHER, (SAVER, SHARED_GROUP)),
        (0, 0o777, OTHER, (OTHER, SHARED_GROUP)),
        # A sticky directory lets only the owner replace the file: rewritten in place.
        (SAVER, 0o1777, OTHER, (OTHER, SHARED_GROUP)),
    ],
)
def test_sharing_survives_a_save(folder, saver, directory_mode, owner, kept):
    os.chmod(folder, directory_mode)
    path = os.path.join(folder, "shared.json")
    make(path, owner, SHARED_GROUP, 0o660)
    assert exit_status(run_as(saver, SAVE, path, 1)) == 0
    st = os.stat(path)
    assert ((st.st_uid, st.st_gid), st.st_mode & 0o7777) == (kept, 0o660)
    assert zub.ZubSettingEngine(path, "json").value("password") == "hunter2-0"
    assert os.listdir(folder) == ["shared.json"]
