"""The TOML reader against tomllib on the benchmark's documents of every shape: equal values."""
import datetime
import sys
import tomllib
from pathlib import Path

import pytest

from zub import ZubSettingEngine

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "benchmarks"))
import tomldocs  # noqa: E402

KEY = "$__toml_private_datetime"


def with_dates(v):
    """Our tree with each private date-time object read back as the date, time or datetime it spells."""
    if isinstance(v, dict):
        if list(v) == [KEY]:
            text = v[KEY]
            kind = datetime.time if text[2] == ":" else datetime.date if len(text) == 10 else datetime.datetime
            return kind.fromisoformat(text)
        return {k: with_dates(e) for k, e in v.items()}
    if isinstance(v, list):
        return [with_dates(e) for e in v]
    return v


@pytest.mark.parametrize("shape", list(tomldocs.SHAPES))
@pytest.mark.parametrize("seed", [1, 2])
def test_values_equal_tomllib(tmp_path, shape, seed):
    text = tomldocs.document(shape, 30_000, seed=seed)
    path = tmp_path / "doc.toml"
    path.write_text(text, encoding="utf-8")
    assert with_dates(ZubSettingEngine(str(path), "toml").value("")) == tomllib.loads(text)
