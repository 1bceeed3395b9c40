"""The README's worked examples and the demo's table caption agree with the modules."""

import pathlib

import numpy as np
import pytest

from quorra.accel import demo, holdreturn, solosim, spreadsim

README = pathlib.Path(__file__).resolve().parent.parent / "README.md"

# The arrays of the README's "Using the modules" example.
CLOSE = np.array([100.0, 101.0, 103.0, 102.0, 104.0, 99.0])
SIGNALS = np.array([0.0, 1.0, 0.0, -1.0, 0.0, 0.0])


@pytest.fixture(scope="module")
def readme():
    if not README.is_file():
        pytest.skip("README.md is not next to the tests")
    return " ".join(README.read_text(encoding="utf-8").split())


def column(*values):
    return np.array(values, dtype=np.float64).reshape(-1, 1)


def solo(close, entries, exits, **kw):
    return solosim.from_signals(column(*close), column(*entries), column(*exits), **kw)[0]


def refusal(call):
    with pytest.raises(TypeError) as e:
        call()
    return str(e.value)


def pair_lots(ratio):
    r0, r1 = spreadsim.pair_from_signals(np.array([[100.0, 50.0]]), np.array([1.0]), np.zeros(1),
                                         leg_size_ratio=ratio)
    return r0[0, 2], r1[0, 2]


def held_two_bars():
    return holdreturn.calc_holdreturn(SIGNALS, CLOSE, [1, 2])["long_profits"][0, 1]


SLIP = float(np.float32(0.1))

EXAMPLES = {
    "holding return": ("(103/101) x (102/101) = 1.0299",
                       lambda: f"{held_two_bars():.4f}" == "1.0299"),
    "end-of-hold ratio": ("102/101, is 1.0099", lambda: f"{CLOSE[3] / CLOSE[1]:.4f}" == "1.0099"),
    "per-contract np.int64": (
        "`np.int64(2)` gives TypeError `'numpy.int64' object is not iterable`",
        lambda: refusal(lambda: solo([100.0], [0.0], [0.0], margin_rate=np.int64(2)))
        == "'numpy.int64' object is not iterable"),
    "per-leg np.int64": (
        "`np.int64(2)` gives TypeError `object of type 'numpy.int64' has no len()`",
        lambda: refusal(lambda: spreadsim.pair_from_signals(
            np.ones((1, 2)), np.zeros(1), np.zeros(1), margin_rate=np.int64(2)))
        == "object of type 'numpy.int64' has no len()"),
    "leg ratio": ("`leg_size_ratio=np.int64(2)` trades 1 lot of each leg, `leg_size_ratio=2` "
                  "2 lots of A and 1 of B",
                  lambda: pair_lots(np.int64(2)) == (1.0, 1.0) and pair_lots(2) == (2.0, 1.0)),
    "stop fills at its level": (
        "sold at 95.0, `pnl` (95 - 100) x 5 - 1 = -26.0",
        lambda: solo([100.0, 80.0], [1.0, 0.0], [0.0, 0.0], sl_stop=5.0)[1, 3] == -26.0),
    "init_cash precision": ("`init_cash=123456789.12` starts the account at 123456792.0",
                            lambda: solo([100.0], [0.0], [0.0], init_cash=123456789.12)[0, 0]
                            == 123456792.0),
    "slip_point precision": (
        "`slip_point=0.1` moves fills by 0.10000000149011612",
        lambda: SLIP == 0.10000000149011612 and solo(
            [100.0, 90.0], [1.0, 0.0], [0.0, -1.0], slip_point=0.1)[1, 3]
        == ((90.0 - SLIP) - (100.0 + SLIP)) * 5.0 - 1.0),
}


@pytest.mark.parametrize("phrase, holds", EXAMPLES.values(), ids=EXAMPLES.keys())
def test_readme_example_holds(readme, phrase, holds):
    assert phrase in readme
    assert holds()


def test_readme_does_not_promise_crash_freedom_for_callbacks(readme):
    assert "no input from Python can crash" not in readme
    assert "A native callback address is trusted code and can" in readme


def test_holding_table_says_what_its_columns_show():
    table = demo.holding_table(holdreturn.calc_holdreturn(SIGNALS, CLOSE, [1, 2]))
    text = " ".join(table.split())
    assert table.startswith("Holding returns of the crossover signals on A\n")
    for part in ("the product, over the held bars, of every bar's ratio to the entry price",
                 "not the price ratio at the end of the hold",
                 "mean long / mean short: mean ratio of the long / short signals",
                 "hit rate: share of signals whose ratio in their own direction is above 1.0"):
        assert part in text
    row = next(line for line in table.splitlines() if line.split()[:1] == ["2"])
    assert row.split()[2] == "1.0299"  # the README's example, 2 bars held
