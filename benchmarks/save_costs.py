"""What a save costs next to other files: sync() of a small settings file in an empty
directory and in one holding 2000 other files (the sweep for stale temporary files reads the
directory), against a plain Python atomic replace (temporary file, fsync, rename) in the same
directory, interleaved. Run: ./dev run python3 benchmarks/save_costs.py [DIR]
"""
import os
import sys
import tempfile
import time

from zub import ZubSettingEngine

ROUNDS, BATCH = 15, 200


def python_replace(path, text):
    fd, tmp = tempfile.mkstemp(dir=os.path.dirname(path))
    with os.fdopen(fd, "w") as f:
        f.write(text)
        f.flush()
        os.fsync(f.fileno())
    os.replace(tmp, path)


def main(base):
    for crowd in (0, 2000):
        with tempfile.TemporaryDirectory(dir=base) as d:
            for n in range(crowd):
                open(os.path.join(d, f"item_{n:04}.json"), "w").close()
            path = os.path.join(d, "settings.json")
            e = ZubSettingEngine(path)
            for n in range(40):
                e.set_value(f"group_{n % 4}/item_{n:04}", f"value {n}")
            e.sync()
            text = open(path).read()
            best = {"zub sync": [], "python replace": []}
            for _ in range(ROUNDS):
                for name, fn in (("zub sync", e.sync), ("python replace", lambda: python_replace(path, text))):
                    start = time.perf_counter()
                    for _ in range(BATCH):
                        fn()
                    best[name].append((time.perf_counter() - start) / BATCH)
            ours, peer = min(best["zub sync"]), min(best["python replace"])
            print(f"{crowd:5} other files: zub sync {ours * 1e6:7.1f} us, python replace {peer * 1e6:7.1f} us, "
                  f"ratio {ours / peer:.2f} ({len(text)} bytes, best of {ROUNDS}x{BATCH})")


if __name__ == "__main__":
    main(sys.argv[1] if len(sys.argv) > 1 else None)
