"""`python -m zub`, driven as operators and scripts drive it: as a subprocess."""
import json
import os
import re
import shutil
import subprocess
import sys
import tomllib

import json5
import pytest
import yaml

import zub
from conftest import is_root, read_text, write_file
from zub import ZubSettingEngine

EXAMPLES = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "examples")
FILES = ["settings.json", "settings.json5", "settings.toml", "settings.yaml"]
PARSE = {"json": json.loads, "json5": json5.loads, "toml": tomllib.loads, "yaml": yaml.safe_load}
DOC = {
    "app": {"name": "Quickstart", "version": 3},
    "recent": ["/home/ada/notes.txt"],
    "ui": {"panels": ["files", "search"], "theme": {"color": "dark", "font_size": 12.5}},
}


@pytest.fixture
def work(tmp_path):
    for name in FILES:
        shutil.copy(os.path.join(EXAMPLES, name), tmp_path)
    return tmp_path


def zub_cli(cwd, *args):
    package_root = os.path.dirname(os.path.dirname(os.path.abspath(zub.__file__)))
    return subprocess.run(
        [sys.executable, "-m", "zub", *args],
        cwd=cwd, capture_output=True, text=True, timeout=60,
        env={**os.environ, "PYTHONPATH": package_root},
    )


def ok(cwd, *args):
    result = zub_cli(cwd, *args)
    assert (result.returncode, result.stderr) == (0, ""), result
    return result.stdout


def snapshot(folder):
    return {name: (folder / name).read_bytes() for name in sorted(os.listdir(folder))}


@pytest.mark.parametrize(
    "name, key, printed",
    [("settings.json", "ui/theme/color", '"dark"\n'), ("settings.json5", "app/version", "3\n"),
     ("settings.toml", "ui/panels", '[\n  "files",\n  "search"\n]\n'), ("settings.yaml", "ui/theme/font_size", "12.5\n")],
)
def test_get_prints_json_and_picks_the_format_from_the_extension(work, name, key, printed):
    assert ok(work, name, "get", key) == printed


@pytest.mark.parametrize(
    "text, expected",
    [('"12"', "12"), ("1.0", 1.0), ("null", None), ('{"k": {"n": 1}}', {"k": {"n": 1}})],
)
def test_set_parses_json_and_saves(work, text, expected):
    assert ok(work, "settings.yaml", "set", "ui/size", text) == ""
    saved = ZubSettingEngine(str(work / "settings.yaml"), "yaml")
    assert saved.value("ui/size") == expected
    assert type(saved.value("ui/size")) is type(expected)
    assert saved.value("app") == DOC["app"]


def test_set_creates_a_missing_file_and_its_directories(work):
    ok(work, "new/conf.toml", "set", "a/b", "1")
    assert read_text(work / "new/conf.toml") == "[a]\nb = 1\n"


@pytest.mark.parametrize("args, kept", [(["set", "app/version", "4"], True), (["remove", "recent"], True),
                                        (["set", "app/version", "4", "--reformat"], False)])
def test_set_and_remove_keep_the_files_comments_unless_reformat(work, args, kept):
    ok(work, "settings.json5", *args)
    assert read_text(work / "settings.json5").startswith("// JSON5 allows comments") == kept


def test_remove_saves_and_keeps_the_rest(work):
    ok(work, "settings.toml", "remove", "ui/theme")
    saved = ZubSettingEngine(str(work / "settings.toml"), "toml")
    assert saved.all_keys() == ["app/name", "app/released/$__toml_private_datetime", "app/version", "recent", "ui/panels"]
    assert "released = 2026-12-06" in read_text(work / "settings.toml")


@pytest.mark.parametrize(
    "args, printed",
    [
        (["keys"], "app/name\napp/version\nrecent\nui/panels\nui/theme/color\nui/theme/font_size\n"),
        (["keys", "--group", "ui/theme"], "color\nfont_size\n"),
        (["groups"], "app\nui\n"),
        (["groups", "--group", "/ui/"], "theme\n"),
        (["groups", "--group", "ui/theme"], ""),
    ],
)
def test_listing(work, args, printed):
    assert ok(work, "settings.json5", *args) == printed


@pytest.mark.parametrize("to", ["json", "json5", "toml", "yaml"])
def test_dump_in_every_format(work, to):
    before = snapshot(work)
    out = ok(work, "settings.yaml", "dump", "--to", to)
    assert PARSE[to](out) == DOC
    assert snapshot(work) == before


def test_dump_defaults_to_the_file_format(work):
    assert ok(work, "--driver", "toml", "settings.toml", "dump").startswith('recent = ["/home/ada/notes.txt"]\n\n[app]\n')


def test_convert_yaml_to_toml_from_the_extension(work):
    ok(work, "settings.yaml", "convert", "new/dir/settings.out.toml")
    assert tomllib.loads(read_text(work / "new/dir/settings.out.toml")) == DOC
    assert os.listdir(work / "new/dir") == ["settings.out.toml"]


def test_convert_replaces_the_target_whole_and_keeps_toml_dates(work):
    target = write_file(work / "target.conf", "not yaml: [\n")
    ok(work, "settings.toml", "convert", "target.conf", "--to", "yaml")
    assert yaml.safe_load(read_text(target))["app"]["released"] == {"$__toml_private_datetime": "2026-12-06"}
    ok(work, "--driver", "yaml", "target.conf", "convert", "back.toml")
    assert tomllib.loads(read_text(work / "back.toml"))["app"]["released"].isoformat() == "2026-12-06"


def test_top_level_names_are_copied_whole(work):
    write_file(work / "odd.json", '{"a/b": 1, "c": {"/d/": 2}}')
    assert json.loads(ok(work, "odd.json", "dump")) == {"a/b": 1, "c": {"/d/": 2}}


@pytest.mark.parametrize(
    "args, message",
    [
        (["settings.json", "set", "ui/name", "x"], r"VALUE 'x' is not JSON .*for example '\"x\"'"),
        (["settings.json", "set", "ui/size", "NaN"], "NaN is not a JSON number"),
        (["settings.json", "set", "ui/size", str(2**64)], "^JSON number out of range$"),
        (["settings.json", "set", "ui/size", "1e400"], r"^VALUE '1e400' holds a number too large to store \(inf\)$"),
        (["settings.json", "set", "ui/size", '{"a": [1, -1e999]}'], r"too large to store \(-inf\)$"),
        (["settings.json", "set", "app/name/x", "1"], "^Path segment is not an object$"),
        (["settings.json", "set", "/", "1"], "^Key is empty$"),
        (["settings.json", "get", "app/missing"], "^no key 'app/missing' in settings.json$"),
        (["settings.json", "remove", "app/missing"], "^no key 'app/missing'"),
        (["absent.json", "get", "app"], "^absent.json: no such file$"),
        (["settings.json", "keys", "--group", "ui/nope"], "^group 'ui/nope' does not exist in settings.json$"),
        (["settings.json", "groups", "--group", "app/name"], "^group 'app/name' is a key, not a group in settings.json$"),
        (["settings.json", "convert", "out.txt"], r"^cannot tell the format of OUT 'out.txt' .*use --to$"),
        (["settings.ini", "get", "a"], r"^cannot tell the format of FILE 'settings.ini' .*use --driver$"),
        (["--driver", "toml", "settings.json", "get", "app"], "^TOML parse error: "),
        (["top.json", "dump", "--to", "yaml"], "the document is a list, not a mapping"),
        (["slash.json", "convert", "x.yaml"], "top-level key '/x' cannot be written"),
        (["null.json", "convert", "null.toml"], "^TOML serialize error: "),
    ],
)
def test_errors_are_one_line_and_change_nothing(work, args, message):
    write_file(work / "settings.ini", "a = 1\n")
    write_file(work / "top.json", "[1]")
    write_file(work / "slash.json", '{"/x": 1}')
    write_file(work / "null.json", '{"x": null}')
    before = snapshot(work)
    result = zub_cli(work, *args)
    assert result.returncode == 1 and result.stdout == ""
    prefix = "python -m zub: error: "
    assert result.stderr.startswith(prefix) and result.stderr.count("\n") == 1, result.stderr
    assert re.search(message, result.stderr[len(prefix):-1]), result.stderr
    assert snapshot(work) == before


@pytest.mark.skipif(is_root(), reason="root reads any file")
def test_unreadable_file(work):
    os.chmod(work / "settings.json", 0)
    result = zub_cli(work, "settings.json", "keys")
    assert result.returncode == 1
    assert result.stderr.startswith("python -m zub: error: Failed to open config file: Permission denied")


def test_version(work):
    assert ok(work, "--version") == f"zub {zub.__version__}\n"


# Each worker sets its own keys, then removes every other one, through the
# command's own main() so that the writes overlap closely.
WORKER = """
import sys
from zub.cli import main
path, worker = sys.argv[1], sys.argv[2]
for n in range(12):
    assert main([path, "set", f"w{worker}/k{n}", str(n)]) == 0
for n in range(0, 12, 2):
    assert main([path, "remove", f"w{worker}/k{n}"]) == 0
"""


def test_concurrent_commands_lose_no_update(work):
    path = str(work / "settings.json")
    root = os.path.dirname(os.path.dirname(os.path.abspath(zub.__file__)))
    workers = [subprocess.Popen([sys.executable, "-P", "-c", WORKER, path, str(w)],
                                env={**os.environ, "PYTHONPATH": root}) for w in range(6)]
    assert [w.wait(timeout=120) for w in workers] == [0] * 6
    saved = ZubSettingEngine(path).value("")
    assert {w: saved.pop(f"w{w}") for w in range(6)} == {w: {f"k{n}": n for n in range(1, 12, 2)} for w in range(6)}
    assert saved == json.loads(read_text(os.path.join(EXAMPLES, "settings.json")))
