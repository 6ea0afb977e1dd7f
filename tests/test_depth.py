"""Deep nesting never crashes the process: each case runs in its own interpreter."""
import pytest

from conftest import run_isolated

LIMIT = 128


def check(code):
    result = run_isolated(code)
    assert result.returncode == 0, f"exit {result.returncode}\n{result.stdout}\n{result.stderr}"
    return result.stdout


@pytest.mark.parametrize(
    "driver, text, prefix",
    [
        ("json", '"[" * 100000 + "]" * 100000', "JSON parse error: "),
        ("json5", '"[" * 100000 + "]" * 100000', "JSON5 parse error: "),
        ("yaml", '"[" * 100000 + "]" * 100000', "YAML parse error: "),
        ("toml", '"a = " + "[" * 100000 + "]" * 100000', "TOML parse error: "),
        ("toml", '"a = " + "{b=" * 100000 + "1" + "}" * 100000', "TOML parse error: "),
        ("toml", '".".join(["a"] * 100000) + " = 1"', "TOML parse error: "),
        ("toml", '"[" + ".".join(["a"] * 100000) + "]"', "TOML parse error: "),
        ("json5", '"{a:" * 100000 + "1" + "}" * 100000', "JSON5 parse error: "),
        ("yaml", '"".join(" " * i + "- \\n" for i in range(0, 4000, 2))', "YAML parse error: "),
    ],
)
def test_deep_files_fail_cleanly(tmp_path, driver, text, prefix):
    path = tmp_path / "deep"
    out = check(f"""
        from zub import ZubSettingEngine
        open({str(path)!r}, "w").write({text})
        try:
            ZubSettingEngine({str(path)!r}, {driver!r})
        except TypeError as e:
            print(str(e)[:200])
        """)
    assert out.startswith(prefix), out


@pytest.mark.parametrize("driver", ["json", "yaml"])
def test_parse_limit_is_128(tmp_path, driver):
    path = tmp_path / "d"
    out = check(f"""
        from zub import ZubSettingEngine
        for depth in (128, 129):
            open({str(path)!r}, "w").write("[" * depth + "]" * depth)
            try:
                ZubSettingEngine({str(path)!r}, {driver!r})
                print(depth, "ok")
            except TypeError as e:
                print(depth, "error")
        """)
    assert out.split("\n")[:2] == ["128 ok", "129 error"]


def test_billion_laughs(tmp_path):
    lines = ['a: &a ["lol","lol","lol","lol","lol","lol","lol","lol","lol"]']
    for i in range(1, 10):
        prev, cur = chr(ord("a") + i - 1), chr(ord("a") + i)
        lines.append(f"{cur}: &{cur} [" + ",".join(f"*{prev}" for _ in range(9)) + "]")
    path = tmp_path / "lol.yaml"
    path.write_text("\n".join(lines) + "\n")
    out = check(f"""
        import resource
        resource.setrlimit(resource.RLIMIT_AS, (2 << 30, 2 << 30))
        from zub import ZubSettingEngine
        try:
            ZubSettingEngine({str(path)!r}, "yaml")
            print("loaded")
        except TypeError as e:
            print(str(e))
        """)
    assert out.startswith("YAML parse error: "), out


def test_deep_values_and_keys_are_refused():
    out = check(f"""
        from zub import ZubSettingEngine
        e = ZubSettingEngine("m", "memory")
        def nest(n):
            v = 1
            for _ in range(n):
                v = [v]
            return v
        # The root object counts as one level.
        e.set_value("k", nest({LIMIT} - 1))
        print(e.value("k") == nest({LIMIT} - 1))
        for bad in (nest({LIMIT}), nest(100000)):
            try:
                e.set_value("k", bad)
            except TypeError as err:
                print("refused:", err)
        selfish = []
        selfish.append(selfish)
        try:
            e.set_value("s", selfish)
        except TypeError as err:
            print("refused:", err)
        try:
            e.set_value("/".join(["a"] * 100000), 1)
        except TypeError as err:
            print("refused:", err)
        e.set_value("/".join(["a"] * ({LIMIT} - 1)), 1)
        print(len(e.all_keys()))
        for _ in range(300):
            e.begin_group("g")
        try:
            e.clear()
        except TypeError as err:
            print("refused:", err)
        e.sync()
        del e
        print("done")
        """)
    lines = out.splitlines()
    assert lines[0] == "True"
    refused = [line for line in lines if line.startswith("refused:")]
    assert len(refused) == 5, out
    assert lines[-3:] == ["2", refused[-1], "done"]
