"""A tour of zub: open settings in four formats, read and write keys in groups, save.

It calls every method of the engine and is checked with `mypy --strict`.
"""
import os
import shutil
import tempfile
from typing import Any

from zub import ZubSettingEngine

HERE = os.path.dirname(os.path.abspath(__file__))
FORMATS = [("json", "settings.json"), ("json5", "settings.json5"), ("toml", "settings.toml"), ("yaml", "settings.yaml")]


def show(title: str, engine: ZubSettingEngine) -> None:
    print(f"-- {title}")
    print("   all keys:", engine.all_keys())


def main() -> None:
    work = tempfile.mkdtemp(prefix="zub-demo-")
    try:
        for driver, name in FORMATS:
            path = os.path.join(work, name)
            shutil.copy(os.path.join(HERE, name), path)

            settings = ZubSettingEngine(path, driver)
            print(f"=== {name} ({driver}) from {settings.file_name()}")
            show("loaded", settings)
            print("   ui/theme/color =", settings.value("ui/theme/color"))

            # Keys are relative to the groups entered.
            settings.begin_group("ui")
            settings.begin_group("theme")
            settings.set_value("color", "light")
            settings.set_value("accent", {"r": 255, "g": 128, "b": 0})
            print("   in group", repr(settings.group()), "child keys:", settings.child_keys(),
                  "child groups:", settings.child_groups())
            settings.end_group()
            settings.end_group()

            settings.set_value("window/size", [1280, 800])
            settings.remove("recent")
            print("   contains 'recent'?", settings.contains("recent"))
            show("changed", settings)

            # Nothing reaches the file until sync().
            settings.sync()
            print(f"-- {name} after sync():")
            with open(path, encoding="utf-8") as f:
                print("   " + f.read().replace("\n", "\n   "))
            print()

        memory = ZubSettingEngine("not-a-file", "memory")
        memory.set_value("session/token", "abc")
        memory.set_value("session/user", "ada")
        memory.sync()  # the memory driver keeps everything in memory
        print("memory driver:", memory.value(""), "path:", memory.path)
        memory.begin_group("session")
        memory.clear()  # empties the current group only
        memory.end_group()
        print("after clear():", memory.value(""), "writable:", memory.is_writable(), "status:", memory.status())

        class Recorder:
            """A custom driver: any object with read(path) and write(path, data)."""

            def read(self, path: str) -> dict[str, Any]:
                return {"greeting": "hello"}

            def write(self, path: str, data: Any) -> None:
                print(f"custom driver write({path!r}, {data!r})")

        custom = ZubSettingEngine("anywhere", Recorder())
        custom.set_value("greeting", "hello, world")
        custom.sync()
    finally:
        shutil.rmtree(work)


if __name__ == "__main__":
    main()
