"""The README's heatmap and report examples run as written, after the
complete example's definitions."""

import pathlib
import re
import subprocess
import sys

import pytest

README = pathlib.Path(__file__).resolve().parent.parent / "README.md"


def blocks(text, start, end):
    part = text[text.index(start):text.index(end)]
    return re.findall(r"^```python\n(.*?)^```", part, re.S | re.M)


def test_the_heatmap_and_report_examples_run(tmp_path):
    if not README.is_file():
        pytest.skip("README.md is not next to the tests")
    for extra in ("pandas", "matplotlib", "plotly"):
        pytest.importorskip(extra)
    text = README.read_text(encoding="utf-8")
    complete = blocks(text, "\n## Study\n", "\n### Backtests\n")[0]
    definitions = complete[:complete.index("\ndef main():")]
    heatmap, = blocks(text, "\n### Heatmaps\n", "\n### Interactive reports\n")
    report, = blocks(text, "\n### Interactive reports\n", "\n## The accounting model\n")
    script = tmp_path / "example.py"
    script.write_text(definitions + "\nclose = pd.DataFrame(sample_bars(), "
                      "index=pd.date_range('2016-01-04', periods=2500))\n" + heatmap + report)
    r = subprocess.run([sys.executable, str(script)], capture_output=True, text=True,
                       cwd=tmp_path, timeout=300)
    assert r.returncode == 0, r.stderr
    assert (tmp_path / "sharpe.png").read_bytes()[:4] == b"\x89PNG"
    assert r.stdout.strip() == "best.html"
    for page in ("best.html", "sweep.html"):
        assert (tmp_path / page).read_text(encoding="utf-8").count("Plotly.newPlot(") == 1
