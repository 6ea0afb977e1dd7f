"""What a save keeps of the file it replaces, and what it leaves around it."""
import fcntl
import os
import struct
import subprocess
import sys

import pytest

import zub
from conftest import read_text
from zub import ZubSettingEngine

FORMATS = ["json", "json5", "toml", "yaml"]


def cli(*args):
    root = os.path.dirname(os.path.dirname(os.path.abspath(zub.__file__)))
    out = subprocess.run([sys.executable, "-P", "-m", "zub", *args], capture_output=True, text=True, timeout=60,
                         env={**os.environ, "PYTHONPATH": root})
    assert (out.returncode, out.stderr) == (0, ""), out


def save(how, path, fmt, value):
    """Writes {"k": value} to path in format fmt through sync or a command."""
    if how == "sync":
        e = ZubSettingEngine(str(path), fmt)
        e.set_value("k", value)
        e.sync()
    elif how == "set":
        cli("--driver", fmt, str(path), "set", "k", str(value))
    else:
        source = path.parent / "source.json"
        e = ZubSettingEngine(str(source), "json")
        e.set_value("k", value)
        e.sync()
        cli(str(source), "convert", str(path), "--to", fmt)
        source.unlink()


def loaded(path, fmt):
    return ZubSettingEngine(str(path), fmt).value("k")


@pytest.mark.parametrize("fmt", FORMATS)
@pytest.mark.parametrize("how", ["sync", "set", "convert"])
def test_every_writer_keeps_mode_symlink_and_says_what_a_hard_link_gets(tmp_path, how, fmt):
    real = tmp_path / "real"
    save("sync", real, fmt, 1)
    os.chmod(real, 0o600)
    os.symlink("real", tmp_path / "link")
    os.link(real, tmp_path / "hard")
    save(how, tmp_path / "link", fmt, 2)
    assert os.path.islink(tmp_path / "link") and os.readlink(tmp_path / "link") == "real"
    assert os.stat(real).st_mode & 0o7777 == 0o600
    assert loaded(real, fmt) == 2
    # The new content is a new file under the name saved; a hard link to
    # the old file keeps the old content.
    assert loaded(tmp_path / "hard", fmt) == 1
    assert os.stat(real).st_nlink == 1
    assert sorted(os.listdir(tmp_path)) == ["hard", "link", "real"]


def posix_acl(*entries):
    # The kernel's binary form of system.posix_acl_access: version 2, then
    # (tag, permissions, id) for each entry, in tag order.
    return struct.pack("<I", 2) + b"".join(struct.pack("<HHI", *e) for e in entries)


def test_extended_attributes_and_acls_are_kept(tmp_path):
    path = tmp_path / "s.json"
    save("sync", path, "json", 1)
    undefined = 0xFFFFFFFF
    # user::rw-, user 4242: r--, group::r--, mask::r--, other::---
    acl = posix_acl((1, 6, undefined), (2, 4, 4242), (4, 4, undefined), (0x10, 4, undefined), (0x20, 0, undefined))
    wanted = {"user.origin": b"installer", "system.posix_acl_access": acl}
    for name, value in wanted.items():
        try:
            os.setxattr(path, name, value)
        except OSError as e:
            pytest.skip(f"{name} not supported here: {e}")
    mode = os.stat(path).st_mode & 0o7777
    save("sync", path, "json", 2)
    assert loaded(path, "json") == 2
    assert {name: os.getxattr(path, name) for name in wanted} == wanted
    assert os.stat(path).st_mode & 0o7777 == mode == 0o640


def test_leftovers_of_killed_saves_are_removed_and_names_cannot_be_planted(tmp_path):
    path = tmp_path / "s.json"
    # Names a save in this process could pick if they were predictable.
    planted = [f".s.json.zub-{os.getpid()}-{n}.tmp" for n in range(100)]
    for name in planted:
        (tmp_path / name).write_text("planted")
    save("sync", path, "json", 1)
    # What a killed save leaves: a temporary file nobody holds a lock on.
    # One whose lock is held belongs to a save in progress and stays.
    stale, busy = tmp_path / ".s.json.zub-0123456789abcdef.tmp", tmp_path / ".s.json.zub-fedcba9876543210.tmp"
    stale.write_text("half")
    busy.write_text("half")
    with open(busy) as held:
        fcntl.flock(held, fcntl.LOCK_EX)
        save("sync", path, "json", 2)
    assert loaded(path, "json") == 2
    assert sorted(os.listdir(tmp_path)) == sorted([busy.name, "s.json", *planted])
    assert read_text(busy) == "half"

