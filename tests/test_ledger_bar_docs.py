"""The README's worked examples of bars, gaps and reversals agree with
ledger.solo."""

import pathlib

import numpy as np
import pytest

from quorra.accel import ledger

README = pathlib.Path(__file__).resolve().parent.parent / "README.md"
FLAT = (100.0, 100.0, 100.0, 100.0)


@pytest.fixture(scope="module")
def readme():
    if not README.is_file():
        pytest.skip("README.md is not next to the tests")
    return " ".join(README.read_text(encoding="utf-8").split())


def run(bars, entries, **settings):
    o, h, lo, c = (np.array(x, dtype=float).reshape(-1, 1) for x in zip(*bars))
    entries = np.array(entries, dtype=float).reshape(-1, 1)
    return ledger.solo(c, entries, entries * 0, open=o, high=h, low=lo, **settings)


def exits(result):
    return [(ledger.EXIT_REASONS[t["exit_reason"]], float(t["exit_price"]))
            for t in result["trades"]]


@pytest.mark.parametrize("phrase, bar, both_hit, want", [
    ("| (99, 101, 89, 98) |", (99, 101, 89, 98), "stop_loss", ("stop_loss", 90.0)),
    ("| (85, 88, 80, 86) |", (85, 88, 80, 86), "stop_loss", ("stop_loss", 85.0)),
    ("| (100, 121, 89, 100) |", (100, 121, 89, 100), "stop_loss", ("stop_loss", 90.0)),
    ("with `both_hit=\"take_profit\"`, `take_profit` at 120", (100, 121, 89, 100),
     "take_profit", ("take_profit", 120.0)),
    ("| (89, 125, 85, 120) |", (89, 125, 85, 120), "take_profit", ("stop_loss", 89.0)),
])
def test_the_bar_table(readme, phrase, bar, both_hit, want):
    assert phrase in readme
    result = run([FLAT, bar], [1, 0], sl_stop=10, tp_stop=20, both_hit=both_hit)
    assert exits(result) == [want]


def test_the_trailed_stop(readme):
    assert "bar 2 = (102, 103, 100, 101) reaches it: `stop_loss` at 100" in readme
    result = run([FLAT, (100, 110, 99, 105), (102, 103, 100, 101)], [1, 0, 0], sl_stop=10,
                 sl_trail=1)
    assert exits(result) == [("stop_loss", 100.0)]


def test_the_reversal(readme):
    assert "(104 - 100) * 5 - 1 = 19" in readme
    result = run([FLAT, (101, 105, 100, 104)], [1, -1], opposite_entry="reverse")
    t = result["trades"]
    assert exits(result)[0] == ("reverse", 104.0) and t[0]["pnl"] == 19.0
    assert (t[1]["direction"], t[1]["entry_price"], t[1]["entry_fee"]) == (-1, 104.0, 1.0)


@pytest.mark.parametrize("entries, want", [([1, 0], (0, 1, 90.0)), ([0, 1], (1, 1, 89.0))])
def test_the_fills_at_the_open(readme, entries, want):
    assert "`[0, 1]` enter at bar 1's open 99 (stop 89), and bar 1's own low of 89" in readme
    result = run([FLAT, (99, 101, 89, 98)], entries, sl_stop=10, fill_at="open")
    t = result["trades"]
    assert exits(result) == [("stop_loss", want[2])]
    assert (t[0]["entry_bar"], t[0]["exit_bar"]) == want[:2]
