"""Deterministic TOML documents shaped like the files people keep in TOML.

    python3 benchmarks/tomldocs.py DIR     writes every shape at every size into DIR

Each shape is written as TOML text directly (not through a dict and a writer),
so that it carries what real files carry: dotted keys, inline tables, dates,
multi-line strings, comments. The same seed and size give the same text.

- config: the settings document of docgen, written by tomli_w (plain tables,
  one key per line: what a small settings file looks like).
- pyproject: [project] and many [tool.*] tables with string arrays, dotted
  keys, inline tables and multi-line strings.
- lock: thousands of [[package]] entries with inline tables, arrays of inline
  tables and offset date-times, as lock files have.
- strings: long multi-line basic and literal strings (changelogs, templates,
  embedded scripts) with escapes and line-ending backslashes.
- flat: one table of patterned keys item_000001 = ... with one long literal
  string in the middle.
"""
import os
import random
import sys

import docgen

SIZES = {"200 KB": 200_000, "10 MB": 10_000_000}
WORDS = docgen.WORDS


def _config(target, rng):
    import tomli_w

    return tomli_w.dumps(docgen.document(target))


def _word(rng):
    return rng.choice(WORDS)


def _version(rng):
    return f"{rng.randrange(0, 30)}.{rng.randrange(0, 40)}.{rng.randrange(0, 20)}"


def _date(rng, frac=False):
    s = (f"20{rng.randrange(10, 27)}-{rng.randrange(1, 13):02d}-{rng.randrange(1, 29):02d}T"
         f"{rng.randrange(24):02d}:{rng.randrange(60):02d}:{rng.randrange(60):02d}")
    if frac:
        s += f".{rng.randrange(1000):03d}"
    return s + rng.choice(("Z", "+02:00", "-07:00"))


def _sentence(rng, n):
    return " ".join(_word(rng) for _ in range(n)).capitalize() + "."


def _pyproject(target, rng):
    out = [
        "# Generated project metadata\n[build-system]\n"
        'requires = ["setuptools>=69", "wheel"]\nbuild-backend = "setuptools.build_meta"\n\n'
        '[project]\nname = "zub-bench"\nversion = "1.0.0"\n'
        'description = "A settings store benchmark project"\nreadme = "README.md"\n'
        'requires-python = ">=3.10"\nlicense = { text = "MIT" }\n'
        'authors = [{ name = "Ada Lovelace", email = "ada@example.org" }, { name = "Émile Zola" }]\n'
        "classifiers = [\n"
        + "".join(f'    "Programming Language :: Python :: 3.{v}",\n' for v in range(10, 15))
        + "]\n",
    ]
    size = len(out[0])
    i = 0
    while size < target:
        i += 1
        name = f"{_word(rng)}_{i:05d}"
        deps = ",\n".join(f'    "{_word(rng)}-{j}>={_version(rng)}"' for j in range(rng.randrange(2, 8)))
        block = (
            f"\n[tool.{name}]\n"
            f'line-length = {rng.randrange(79, 121)}\n'
            f'target-version = ["py3{rng.randrange(10, 14)}"]\n'
            f'lint.select = ["E", "F", "W", "{_word(rng)[:1].upper()}"]\n'
            f'lint.per-file-ignores."tests/*" = ["S101"]\n'
            f'format.quote-style = "double"\n'
            f"dependencies = [\n{deps},\n]\n"
            f'source = {{ git = "https://example.org/{_word(rng)}.git", rev = "{rng.randrange(1 << 40):010x}" }}\n'
            f'# {_sentence(rng, 6)}\n'
            f'description = """\n{_sentence(rng, 12)}\n{_sentence(rng, 9)} \\\n  {_sentence(rng, 5)}\n"""\n'
            f"\n[tool.{name}.options]\n"
            f'paths = ["src/{_word(rng)}", "tests/{_word(rng)}"]\n'
            f"strict = {rng.choice(('true', 'false'))}\n"
            f"timeout = {rng.uniform(0, 60):.3f}\n"
            f"env = {{ {_word(rng)}_HOME = '/opt/{_word(rng)}', LEVEL = {rng.randrange(5)} }}\n"
        )
        out.append(block)
        size += len(block)
    return "".join(out)


def _lock(target, rng):
    out = ["# This file is generated; do not edit.\nversion = 1\nrequires-python = \">=3.10\"\n"]
    size = len(out[0])
    i = 0
    while size < target:
        i += 1
        name = f"{_word(rng)}-{i:06d}"
        deps = "".join(f'    {{ name = "{_word(rng)}-{rng.randrange(i + 1):06d}" }},\n'
                       if rng.random() < 0.6 else
                       f'    {{ name = "{_word(rng)}", marker = "python_version >= \'3.{rng.randrange(8, 13)}\'" }},\n'
                       for _ in range(rng.randrange(0, 5)))
        wheels = "".join(
            f'    {{ url = "https://files.example.org/{name}-{k}.whl", '
            f'hash = "sha256:{rng.getrandbits(256):064x}", size = {rng.randrange(1000, 10**7)}, '
            f"upload-time = {_date(rng, True)} }},\n" for k in range(rng.randrange(1, 4)))
        block = (
            f'\n[[package]]\nname = "{name}"\nversion = "{_version(rng)}"\n'
            f'source = {{ registry = "https://pypi.org/simple" }}\n'
            + (f"dependencies = [\n{deps}]\n" if deps else "")
            + f'sdist = {{ url = "https://files.example.org/{name}.tar.gz", '
              f'hash = "sha256:{rng.getrandbits(256):064x}", size = {rng.randrange(1000, 10**7)}, '
              f"upload-time = {_date(rng)} }}\n"
            + f"wheels = [\n{wheels}]\n"
            + (f"\n[package.metadata]\nrequires-dist = [{{ name = \"{_word(rng)}\", specifier = \">={_version(rng)}\" }}]\n"
               f"released = {_date(rng)[:10]}\n" if rng.random() < 0.3 else "")
        )
        out.append(block)
        size += len(block)
    return "".join(out)


def _strings(target, rng):
    out = []
    size = 0
    i = 0
    while size < target:
        i += 1
        lines = []
        for _ in range(rng.randrange(20, 200)):
            line = _sentence(rng, rng.randrange(3, 14))
            roll = rng.random()
            if roll < 0.1:
                line += ' He said "yes" \\t then \\u00e9t\\u00e9.'
            elif roll < 0.15:
                line += " \\"
            elif roll < 0.2:
                line = "    " + line + " café 東京"
            lines.append(line)
        basic = "\n".join(lines)
        literal = "\n".join(f"C:\\{_word(rng)}\\{_word(rng)} [a-z]+\\d{{{rng.randrange(9)}}} '{_word(rng)}'"
                            for _ in range(rng.randrange(20, 200)))
        block = (f"\n[entry_{i:05d}]\ntitle = \"{_sentence(rng, 4)}\"\n"
                 f'changelog = """\n{basic}\n"""\n'
                 f"template = '''\n{literal}\n'''\n")
        out.append(block)
        size += len(block.encode())
    return "".join(out)


def _flat(target, rng):
    out = ["[items]\n"]
    size = len(out[0])
    i = 0
    middle = False
    while size < target:
        i += 1
        if not middle and size > target // 2:
            middle = True
            text = "\n".join(_sentence(rng, 10) for _ in range(200))
            line = f"notes = '''\n{text}\n'''\n"
        else:
            line = f"item_{i:06d} = {rng.randrange(10**6)}\n"
        out.append(line)
        size += len(line)
    return "".join(out)


SHAPES = {"config": _config, "pyproject": _pyproject, "lock": _lock, "strings": _strings, "flat": _flat}


def document(shape, target_bytes, seed=2026):
    """The TOML text of one shape, about target_bytes long."""
    return SHAPES[shape](target_bytes, random.Random(seed))


def main(argv):
    directory = argv[0]
    os.makedirs(directory, exist_ok=True)
    for shape in SHAPES:
        for label, target in SIZES.items():
            path = os.path.join(directory, f"{shape}-{label.replace(' ', '')}.toml")
            with open(path, "w", encoding="utf-8") as f:
                f.write(document(shape, target))
            print(path)


if __name__ == "__main__":
    main(sys.argv[1:])
