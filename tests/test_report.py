"""The report figures, the CSV loader and the demo's command line."""

import re
import subprocess
import sys

import numpy as np
import pytest

from quorra.accel import report
from quorra.accel.bars_csv import BarsFileError, read_bars


def history(rows):
    return np.array(rows, dtype=np.float64).reshape(-1, 6)


# Two trades on one contract: a win of 49.0 (closed on bar 2) and a loss of
# -21.0 (closed on bar 5); entry fees 1.0 each.
ONE_CONTRACT = history([
    [999999.0, 1.0, 1.0, 0.0, -1.0, 1.0],
    [999999.0, 1.0, 1.0, 0.0, -1.0, 1.0],
    [1000048.0, 0.0, 1.0, 49.0, 48.0, 2.0],
    [1000047.0, -1.0, 1.0, 0.0, 47.0, 3.0],
    [1000047.0, -1.0, 1.0, 0.0, 47.0, 3.0],
    [1000026.0, 0.0, 1.0, -21.0, 26.0, 4.0],
])


def test_summary_of_hand_made_history():
    s = report.summary(ONE_CONTRACT)
    assert s.initial_cash == 1000000.0
    assert s.final_equity == 1000026.0
    assert s.net_profit == 26.0
    assert s.total_fees == 4.0
    assert (s.closed_trades, s.winning_trades) == (2, 1)
    assert s.win_rate == 0.5
    assert s.max_drawdown == 22.0
    assert s.max_drawdown_pct == pytest.approx(22.0 / 1000048.0)


def test_summary_of_several_contracts_uses_the_last_for_the_account():
    other = ONE_CONTRACT.copy()
    other[:, 1:4] = 0.0  # never traded
    s = report.summary([other, ONE_CONTRACT])
    assert s.closed_trades == 2 and s.final_equity == 1000026.0
    assert report.summary([ONE_CONTRACT, other]).closed_trades == 2


def test_summary_with_no_trades_and_a_position_still_open():
    flat = history([[500.0, 0, 0, 0, 0, 0]] * 3)
    s = report.summary(flat)
    assert (s.closed_trades, s.net_profit, s.max_drawdown) == (0, 0.0, 0.0)
    assert np.isnan(s.win_rate)
    still_open = ONE_CONTRACT[:5]
    assert report.summary(still_open).closed_trades == 1


@pytest.mark.parametrize("bad, text", [
    ([], "at least one history"),
    ([np.zeros((3, 5))], "shape (n, 6)"),
    ([np.zeros((3, 6)), np.zeros((4, 6))], "same number of bars"),
    ([np.zeros((0, 6))], "at least one bar"),
])
def test_summary_rejects_bad_input(bad, text):
    with pytest.raises(ValueError, match=re.escape(text)):
        report.summary(bad)


def test_drawdown_and_equity_curve():
    eq = report.equity_curve([ONE_CONTRACT])
    assert eq.tolist() == ONE_CONTRACT[:, 0].tolist()
    assert report.drawdown(np.array([1.0, 3.0, 2.0, 4.0, 1.0])).tolist() == [0, 0, 1, 0, 3]


@pytest.mark.parametrize("content, text", [
    ("", "empty file"),
    ("date,A\n1,2\n", "lacks column(s) B"),
    ("A,B\n1,2\n3\n", ":3: missing value for column B"),
    ("A,B\n1,2\n3,x\n", ":3: column B: 'x' is not a number"),
    ("A,B\n1,2\n3,-1\n", ":3: column B: price must be positive"),
    ("A,B\n1,2\n", "needs at least 2 bars"),
])
def test_csv_loader_errors(tmp_path, content, text):
    path = tmp_path / "bars.csv"
    path.write_text(content)
    with pytest.raises(BarsFileError) as info:
        read_bars(path)
    assert text in str(info.value)


def test_csv_loader_reads_columns_by_name(tmp_path):
    path = tmp_path / "bars.csv"
    path.write_text("date,B,A\n2024-01-02,50,100\n\n2024-01-03,51,101.5\n")
    bars = read_bars(path)
    assert bars["A"].tolist() == [100.0, 101.5] and bars["B"].tolist() == [50.0, 51.0]
    with pytest.raises(BarsFileError, match="cannot read"):
        read_bars(tmp_path / "missing.csv")


def run_cli(*args):
    return subprocess.run([sys.executable, "-m", "quorra.accel", *args],
                          capture_output=True, text=True, timeout=300)


def sample_csv(path, n):
    """Writes the first `n` sample bars to `path` as columns A and B."""
    from quorra.accel.sample import sample_bars

    bars = sample_bars(n)
    path.write_text("A,B\n" + "".join(f"{a},{b}\n" for a, b in zip(bars["A"], bars["B"])))
    return path


def test_cli_prints_the_three_tables():
    r = run_cli()
    assert r.returncode == 0, r.stderr
    for title in ("Crossover on A and B (from_signals)", "Z-score spread A/B (pair_from_signals)",
                  "Holding returns of the crossover signals on A"):
        assert title in r.stdout
    assert "closed trades" in r.stdout and "max drawdown" in r.stdout
    assert run_cli().stdout == r.stdout  # deterministic sample


def test_cli_runs_on_a_csv_and_reports_a_bad_one(tmp_path):
    r = run_cli("--csv", str(sample_csv(tmp_path / "good.csv", 300)))
    assert r.returncode == 0, r.stderr
    assert "Bars: 300 from" in r.stdout
    bad = tmp_path / "bad.csv"
    bad.write_text("A,C\n1,2\n")
    r = run_cli("--csv", str(bad))
    assert r.returncode == 2
    assert r.stderr.startswith("error: ") and "lacks column(s) B" in r.stderr


def test_cli_help():
    r = run_cli("--help")
    assert r.returncode == 0 and "--csv" in r.stdout and "--plot" in r.stdout


def test_cli_plot_writes_a_png_or_explains_how(tmp_path):
    out = tmp_path / "demo.png"
    r = run_cli("--plot", str(out))
    assert r.returncode == 0, r.stderr
    try:
        import matplotlib  # noqa: F401
    except ImportError:
        assert "pip install" in r.stderr and not out.exists()
    else:
        assert out.read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"
