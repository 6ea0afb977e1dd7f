"""Runs the stress tests: as root, mounts a small tmpfs for the full-disk case
(ZUB_FULL_DIR), then drops to the unprivileged user and runs pytest.

Usage (inside the environment, as root): python3 tools/stress/run.py UID SECONDS KILLS
"""
import ctypes
import os
import sys

uid, seconds, kills = int(sys.argv[1]), sys.argv[2], sys.argv[3]
full = "/tmp/full"
os.makedirs(full, exist_ok=True)
libc = ctypes.CDLL(None, use_errno=True)
if libc.mount(b"zub-full", full.encode(), b"tmpfs", 0, b"size=512k,mode=1777") != 0:
    raise OSError(ctypes.get_errno(), "mounting a tmpfs at " + full)
os.setgroups([])
os.setgid(uid)
os.setuid(uid)
os.environ.update(ZUB_STRESS="1", ZUB_FULL_DIR=full, ZUB_STRESS_SECONDS=seconds, ZUB_CRASH_KILLS=kills)
# Each test runs for SECONDS or makes KILLS saves: the per-test timeout grows with them.
timeout = f"--timeout={int(float(seconds)) + int(kills) + 120}"
os.execv(sys.executable, [sys.executable, "-m", "pytest", "-p", "no:cacheprovider", "-q", "-s", timeout, "tools/stress"])
