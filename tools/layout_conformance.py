"""Edits every valid document of the JSON, JSON5, TOML and YAML conformance suites with keep_layout=True and
counts the saves the safety net had to write in the standard layout (run: ./dev run python3
tools/layout_conformance.py). For an object root: its first member removed, its last changed, one
added; every file must read back as the engine's tree."""
import glob
import os
import sys
import tempfile

from zub import ZubSettingEngine, _zub_core

SUITES = os.environ.get("ZUB_SHARED", "/w/shared") + "/conformance"


def main():
    files = sorted(glob.glob(f"{SUITES}/JSONTestSuite/test_parsing/y_*.json")
                   + glob.glob(f"{SUITES}/json5-tests/*/*.json5") + glob.glob(f"{SUITES}/json5-tests/*/*.json")
                   + glob.glob(f"{SUITES}/toml-test/valid/**/*.toml", recursive=True)
                   + [f for f in glob.glob(f"{SUITES}/yaml-test-suite/*/in.yaml")
                      if not os.path.exists(os.path.join(os.path.dirname(f), "error"))])
    counts = {"files": 0, "edited": 0, "fallbacks": 0}
    with tempfile.TemporaryDirectory() as tmp:
        for source in files:
            driver = ("yaml" if source.endswith(".yaml") else "toml" if source.endswith(".toml")
                      else "json5" if "json5-tests" in source else "json")
            path = os.path.join(tmp, f"doc.{driver}")
            with open(source, "rb") as f, open(path, "wb") as out:
                out.write(f.read())
            try:
                engine = ZubSettingEngine(path, driver, keep_layout=True)
            except TypeError:  # a YAML stream of several documents, a non-mapping root zub refuses...
                continue
            counts["files"] += 1
            root = engine.value("")
            keys = [k for k in root if k and "/" not in k] if isinstance(root, dict) else []
            if isinstance(root, dict):
                if keys:
                    engine.remove(keys[0])
                if len(keys) > 1:
                    engine.set_value(keys[-1], "changed")
                engine.set_value("added", [1, {"x": None if driver != "toml" else True}])
                counts["edited"] += 1
            engine.sync()
            if _zub_core._layout_fallbacks(engine):
                counts["fallbacks"] += 1
                print("standard layout written for", source)
            if ZubSettingEngine(path, driver).value("") != engine.value(""):
                sys.exit(f"{source}: does not read back")
    print(counts)
    return 1 if counts["fallbacks"] else 0


if __name__ == "__main__":
    sys.exit(main())
