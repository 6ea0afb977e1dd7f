"""The `python -m zub` command: read, change and convert settings files from the shell."""

from __future__ import annotations

import argparse
import contextlib
import fcntl
import json
import math
import os
import sys
import tempfile
from collections.abc import Iterator, Sequence
from typing import Any, NoReturn

from zub import ZubSettingEngine, __version__

FORMATS = ("json", "json5", "toml", "yaml")
EXTENSIONS = {".json": "json", ".json5": "json5", ".toml": "toml", ".yaml": "yaml", ".yml": "yaml"}
# What the engine raises for a reported error (UnicodeError is a ValueError).
# Anything else is a fault of this tool and keeps its traceback.
ENGINE_ERRORS = (OSError, TypeError, ValueError, KeyError, RuntimeError)


class CommandError(Exception):
    """A failure of the command, reported as one line on standard error."""


def format_of(path: str, given: str | None, what: str) -> str:
    if given:
        return given
    extension = os.path.splitext(path)[1].lower()
    if extension not in EXTENSIONS:
        option = "--driver" if what == "FILE" else "--to"
        known = ", ".join(EXTENSIONS)
        raise CommandError(f"cannot tell the format of {what} {path!r} from its extension ({known}): use {option}")
    return EXTENSIONS[extension]


def open_engine(args: argparse.Namespace, must_exist: bool = True, keep_layout: bool = False) -> ZubSettingEngine:
    # The engine reads a missing file as an empty document; for a command that
    # only reads, a mistyped name would then look like an empty file.
    if must_exist and not os.path.exists(args.file):
        raise CommandError(f"{args.file}: no such file")
    return ZubSettingEngine(args.file, format_of(args.file, args.driver, "FILE"), keep_layout=keep_layout)


def enter_group(engine: ZubSettingEngine, group: str | None) -> None:
    # A group given on the command line is a key path: ui/theme is the
    # member theme of ui, as in get and set.
    for segment in (group or "").split("/"):
        if not segment:
            continue
        if segment not in engine.child_groups():
            found = "is a key, not a group" if engine.contains(segment) else "does not exist"
            raise CommandError(f"group {group!r} {found} in {engine.path}")
        engine.begin_group(segment)


def parse_value(text: str) -> Any:
    def refuse(constant: str) -> NoReturn:
        raise CommandError(f"VALUE {text!r} is not JSON: {constant} is not a JSON number")

    try:
        return json.loads(text, parse_constant=refuse)
    except json.JSONDecodeError as e:
        hint = f"a string needs JSON quotes, for example '\"{text}\"'"
        raise CommandError(f"VALUE {text!r} is not JSON ({e}); {hint}") from None


def refuse_non_finite(text: str, value: Any) -> None:
    # json.loads reads 1e400 as infinity, which the engine would store as null.
    pending = [value]
    while pending:
        item = pending.pop()
        if isinstance(item, float) and not math.isfinite(item):
            raise CommandError(f"VALUE {text!r} holds a number too large to store ({item})")
        if isinstance(item, list):
            pending.extend(item)
        elif isinstance(item, dict):
            pending.extend(item.values())


def to_json(value: Any) -> str:
    return json.dumps(value, ensure_ascii=False, indent=2)


@contextlib.contextmanager
def locked(path: str) -> Iterator[None]:
    """Holds an exclusive flock for a read-modify-write of the file at path.

    The lock is on the file itself, so that any number of commands changing
    one file run one at a time. A save replaces the file by another, so the
    lock counts only once it is held on the file the path names now; a file
    not made yet is guarded by a lock on its directory until it exists.
    """
    target = os.path.realpath(path)
    directory = os.path.dirname(target)
    os.makedirs(directory, exist_ok=True)
    while True:
        try:
            fd = os.open(target, os.O_RDONLY | os.O_CLOEXEC)
            on_file = True
        except FileNotFoundError:
            fd = os.open(directory, os.O_RDONLY | os.O_DIRECTORY | os.O_CLOEXEC)
            on_file = False
        try:
            fcntl.flock(fd, fcntl.LOCK_EX)
            try:
                now = os.stat(target)
            except FileNotFoundError:
                now = None
            if on_file:
                current = now is not None and os.path.samestat(now, os.fstat(fd))
            else:
                current = now is None
            if current:
                yield
                return
        finally:
            os.close(fd)


def fill(engine: ZubSettingEngine, document: Any) -> None:
    """Sets every top-level member of document on an empty engine."""
    if not isinstance(document, dict):
        kind = type(document).__name__
        raise CommandError(f"the document is a {kind}, not a mapping: only a mapping can be written out")
    for name, value in document.items():
        # Group names keep inner slashes, so begin_group reaches a member
        # named "a/b" that the key path a/b would split.
        if not name or name.strip("/") != name:
            why = "it is empty or starts or ends with '/'"
            raise CommandError(f"the top-level key {name!r} cannot be written: {why}")
        engine.begin_group(name)
        engine.set_value("", value)
        engine.end_group()


@contextlib.contextmanager
def written(document: Any, fmt: str) -> Iterator[str]:
    """Yields a file holding document in format fmt, written by the engine."""
    with tempfile.TemporaryDirectory(prefix="zub-") as work:
        path = os.path.join(work, "document")
        engine = ZubSettingEngine(path, fmt)
        fill(engine, document)
        engine.sync()
        yield path


def cmd_get(args: argparse.Namespace) -> None:
    engine = open_engine(args)
    if not engine.contains(args.key):
        raise CommandError(f"no key {args.key!r} in {args.file}")
    print(to_json(engine.value(args.key)))


def cmd_set(args: argparse.Namespace) -> None:
    value = parse_value(args.value)
    refuse_non_finite(args.value, value)
    format_of(args.file, args.driver, "FILE")
    with locked(args.file):
        engine = open_engine(args, must_exist=False, keep_layout=not args.reformat)
        engine.set_value(args.key, value)
        engine.sync()


def cmd_remove(args: argparse.Namespace) -> None:
    format_of(args.file, args.driver, "FILE")
    if not os.path.exists(args.file):
        raise CommandError(f"{args.file}: no such file")
    with locked(args.file):
        engine = open_engine(args, keep_layout=not args.reformat)
        if not engine.contains(args.key):
            raise CommandError(f"no key {args.key!r} in {args.file}")
        engine.remove(args.key)
        engine.sync()


def cmd_keys(args: argparse.Namespace) -> None:
    engine = open_engine(args)
    enter_group(engine, args.group)
    for key in engine.all_keys():
        print(key)


def cmd_groups(args: argparse.Namespace) -> None:
    engine = open_engine(args)
    enter_group(engine, args.group)
    for group in engine.child_groups():
        print(group)


def cmd_dump(args: argparse.Namespace) -> None:
    engine = open_engine(args)
    fmt = args.to or format_of(args.file, args.driver, "FILE")
    with written(engine.value(""), fmt) as path, open(path, encoding="utf-8", newline="") as f:
        text = f.read()
    sys.stdout.write(text if text.endswith("\n") else text + "\n")


def cmd_convert(args: argparse.Namespace) -> None:
    fmt = format_of(args.out, args.to, "OUT")
    document = open_engine(args).value("")
    os.makedirs(os.path.dirname(os.path.abspath(args.out)), exist_ok=True)
    # OUT is written by sync, as any settings file is (its mode, owner and
    # links kept), from an engine that never loads it: the engine is made on
    # a link to nothing, which then is pointed at OUT.
    with tempfile.TemporaryDirectory(prefix="zub-") as work:
        link = os.path.join(work, "out")
        os.symlink(os.path.join(work, "nothing"), link)
        engine = ZubSettingEngine(link, fmt)
        os.remove(link)
        os.symlink(os.path.abspath(args.out), link)
        fill(engine, document)
        engine.sync()


def build_parser(prog: str) -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog=prog,
        description="Read, change and convert a settings file (JSON, JSON5, TOML or YAML).",
        epilog="The format of FILE comes from its extension (.json, .json5, .toml, .yaml, .yml) "
        "unless --driver is given. Values are printed and given as JSON.",
    )
    parser.add_argument("--version", action="version", version=f"zub {__version__}")
    parser.add_argument("file", metavar="FILE", help="the settings file")
    parser.add_argument("--driver", choices=FORMATS, help="the format of FILE, whatever its extension")
    commands = parser.add_subparsers(dest="command", required=True, metavar="COMMAND")

    def command(name: str, summary: str, run: Any) -> argparse.ArgumentParser:
        sub = commands.add_parser(name, help=summary, description=summary)
        sub.set_defaults(run=run)
        return sub

    sub = command("get", "print the value of KEY as JSON", cmd_get)
    sub.add_argument("key", metavar="KEY", help="a key path such as ui/theme/color; '' is the whole document")
    sub = command("set", "set KEY to VALUE (parsed as JSON) and save FILE", cmd_set)
    sub.add_argument("key", metavar="KEY", help="a key path such as ui/size")
    sub.add_argument("value", metavar="VALUE", help="JSON: 12 is a number, '\"x\"' a string, '[1, 2]' a list")
    sub = command("remove", "remove KEY (with everything below it) and save FILE", cmd_remove)
    sub.add_argument("key", metavar="KEY", help="a key path such as ui/size")
    # Editing from the shell keeps the file's comments and layout.
    for name in ("set", "remove"):
        commands.choices[name].add_argument(
            "--reformat", action="store_true", help="write FILE in the standard layout instead of editing its text"
        )
    for name, summary, run in (
        ("keys", "list every key below the top level or GROUP, one per line", cmd_keys),
        ("groups", "list the groups directly below the top level or GROUP, one per line", cmd_groups),
    ):
        sub = command(name, summary, run)
        sub.add_argument("--group", metavar="GROUP", help="a group path such as ui/theme")
    sub = command("dump", "print the document, in FILE's format or another", cmd_dump)
    sub.add_argument("--to", choices=FORMATS, help="the format to print")
    sub = command("convert", "write the document to OUT, in OUT's format or another", cmd_convert)
    sub.add_argument("out", metavar="OUT", help="the file to write; replaced whole if it exists")
    sub.add_argument("--to", choices=FORMATS, help="the format of OUT, whatever its extension")
    return parser


def one_line(error: BaseException) -> str:
    # KeyError's str() quotes its message; the engine's text is its argument.
    text = str(error.args[0]) if isinstance(error, KeyError) and error.args else str(error)
    return " ".join(text.split()) or type(error).__name__


def main(argv: Sequence[str] | None = None) -> int:
    # Named as it was started: `python -m zub`, or the `zub` script.
    started = os.path.basename(sys.argv[0])
    prog = "python -m zub" if started in ("__main__.py", "") else started
    args = build_parser(prog).parse_args(argv)
    try:
        args.run(args)
        sys.stdout.flush()
    except BrokenPipeError:
        # The reader went away (| head): not worth a message. Python would
        # complain again when it flushes standard output at exit.
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        return 1
    except (CommandError, *ENGINE_ERRORS) as e:
        print(f"{prog}: error: {one_line(e)}", file=sys.stderr)
        return 1
    return 0
