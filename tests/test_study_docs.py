"""The README's Study section: its examples run as written and its table of
statistics is the one stats() returns."""

import pathlib
import re
import subprocess
import sys

import pytest

README = pathlib.Path(__file__).resolve().parent.parent / "README.md"


@pytest.fixture(scope="module")
def section():
    if not README.is_file():
        pytest.skip("README.md is not next to the tests")
    text = README.read_text(encoding="utf-8")
    return text[text.index("\n## Study\n"):text.index("\n## The accounting model\n")]


def examples(section):
    """The section's unindented python blocks (indented ones are fragments
    inside a list)."""
    return re.findall(r"^```python\n(.*?)^```", section, re.S | re.M)


def run_example(code, tmp_path):
    script = tmp_path / "example.py"
    script.write_text(code)
    return subprocess.run([sys.executable, str(script)], capture_output=True, text=True,
                          cwd=tmp_path, timeout=300)


def test_the_complete_example_runs(section, tmp_path):
    for extra in ("pandas", "matplotlib", "distributed"):
        pytest.importorskip(extra)
    r = run_example(examples(section)[0], tmp_path)
    assert r.returncode == 0, r.stderr
    assert "Total Return [%]" in r.stdout and "exit_reason" in r.stdout
    assert (tmp_path / "crossover.png").read_bytes()[:4] == b"\x89PNG"


def test_the_numba_recipe_runs(section, tmp_path):
    for extra in ("pandas", "numba"):
        pytest.importorskip(extra)
    r = run_example(examples(section)[1], tmp_path)
    assert r.returncode == 0, r.stderr
    last = r.stdout.strip().splitlines()[-1].split()
    assert last == ["0", "100.0", "97.0", "stop_loss"]


def test_the_statistics_table_lists_stats_in_order(section):
    pytest.importorskip("pandas")
    from quorra.accel import study

    table = section[section.index("### Statistics"):section.index("### Sweeps")]
    names = []
    for row in re.findall(r"^\| ([^|]+) \|", table, re.M)[1:]:
        names += [n.strip() for n in row.split(",")]
    assert names == list(study.STATS)


def test_the_walk_forward_example_runs(section, tmp_path):
    for extra in ("pandas", "matplotlib"):
        pytest.importorskip(extra)
    research = section[section.index("\n## Research\n"):]
    r = run_example(examples(research)[0], tmp_path)
    assert r.returncode == 0, r.stderr
    assert "Out-of-Sample Sharpe Ratio" in r.stdout and "CAGR [%]" in r.stdout
    assert (tmp_path / "walk_forward.png").read_bytes()[:4] == b"\x89PNG"


def test_the_statistics_table_is_the_metrics_table(section):
    pytest.importorskip("pandas")
    from quorra.accel.study import metrics

    assert metrics.readme_table() in section
