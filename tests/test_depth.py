"""Deep values and keys never crash the process: the case runs in its own
interpreter. Deep files are refused by the readers, checked in the C++ tests."""
from conftest import run_isolated

LIMIT = 256


def check(code):
    result = run_isolated(code)
    assert result.returncode == 0, f"exit {result.returncode}\n{result.stdout}\n{result.stderr}"
    return result.stdout


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
