"""The four formats' public conformance suites, one test per case.

What each case must do is decided in tools/conformance.py, with the reasons
for every deliberate exception; tools/conformance_report.py counts the same
outcomes into docs/conformance.md.
"""
import collections
import os
import sys

import pytest

pytest.importorskip("json5")
pytest.importorskip("yaml")
sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "tools"))
import conformance  # noqa: E402

if conformance.missing_reason():
    pytest.skip(conformance.missing_reason(), allow_module_level=True)

pytestmark = pytest.mark.conformance

CASES = list(conformance.all_cases())


@pytest.fixture(scope="module")
def workdir(tmp_path_factory):
    return tmp_path_factory.mktemp("conformance")


@pytest.mark.parametrize("case", CASES, ids=lambda c: c.id)
def test_case(case, workdir):
    outcome = conformance.run(case, workdir)
    assert not outcome.problems, f"{case.id} ({case.reason or case.category}): " + "; ".join(outcome.problems)


def test_every_case_is_run():
    # The counts the suites' README gives: a case lost by the walk over the
    # folders would otherwise pass unnoticed.
    counts = collections.Counter((c.suite, c.category) for c in CASES)
    assert counts == {
        ("json", "y"): 95, ("json", "n"): 188, ("json", "i"): 35,
        ("json5", "json"): 25, ("json5", "json5"): 57, ("json5", "js"): 6, ("json5", "txt"): 25,
        ("toml", "valid"): 220, ("toml", "invalid"): 492,
        ("yaml", "parse"): 308, ("yaml", "fail"): 94,
    }
    assert set(conformance.EXCEPTIONS) <= {c.id for c in CASES}, "an exception names no case"
