"""study with bars: open, high and low reach the ledger as a direct call
would give them, a frame of Open/High/Low/Close is one contract's bars,
fill="next_open" is a hand-shifted ledger call filling at the opens, the bars are
kept for the figure and carried by sweeps."""

import pickle

import numpy as np
import pytest

pd = pytest.importorskip("pandas")
from quorra.accel import ledger, sample, study  # noqa: E402
from quorra.accel.study import bars  # noqa: E402

N = 60
STOPS = dict(sl_stop=3.0, tp_stop=5.0, sl_trail=1)
RUN = {"solo": (study.backtest, ledger.solo), "pair": (study.pair_backtest, ledger.pair)}


def make_bars(n=N, m=2, seed=3):
    """Consistent bars: low <= min(open, close), high >= max(open, close)."""
    rng = np.random.default_rng(seed)
    close = np.round(100.0 + np.cumsum(rng.normal(0.0, 2.0, (n, m)), axis=0))
    open_ = np.round(np.vstack([close[:1], close[:-1]]) + rng.normal(0.0, 1.0, (n, m)))
    reach = np.round(np.abs(rng.normal(0.0, 2.0, (2, n, m))))
    return {"open": open_, "high": np.maximum(open_, close) + reach[0],
            "low": np.minimum(open_, close) - reach[1], "close": close}


def signals(kind, n=N, seed=4, rate=0.15):
    rng = np.random.default_rng(seed)
    shape = (n, 2) if kind == "solo" else (n,)
    return [np.where(rng.random(shape) < rate, rng.choice([-1.0, 1.0], shape), 0.0)
            for _ in range(2)]


def dated(a, columns=("cu", "al")):
    index = pd.date_range("2024-01-01", periods=len(a), freq="D")
    return pd.DataFrame(a, index=index, columns=list(columns)[:a.shape[1]])


def given(b, wrap=lambda a: a):
    return {k: wrap(b[k]) for k in bars.NAMES}


def shifted(a):
    out = np.zeros_like(a)
    out[1:] = a[:-1]
    return out


def same_record(got: dict, want: dict):
    assert got["trades"].dtype == want["trades"].dtype
    assert got["trades"].tobytes() == want["trades"].tobytes()
    for key in ("equity", "value", "refused"):
        assert np.asarray(got[key]).tobytes() == np.asarray(want[key]).tobytes()
    assert got["total_fee"] == want["total_fee"]


# ---- what reaches the ledger ----------------------------------------------

@pytest.mark.parametrize("kind", RUN)
@pytest.mark.parametrize("fill", ["close", "next_open"])
@pytest.mark.parametrize("extra", [{}, {"both_hit": "take_profit", "slip_point": 1.0},
                                   {"opposite_entry": "reverse", "max_hold_bars": 4}])
def test_a_backtest_with_bars_is_the_direct_ledger_call(kind, fill, extra):
    b = make_bars(seed=9)
    e, x = signals(kind, seed=10)
    settings = dict(STOPS if kind == "solo" else dict(sl_stop=0.03, stop_mode=2), **extra)
    study_run, ledger_run = RUN[kind]
    wrap = (lambda a: pd.Series(a, index=dated(b["close"]).index)) if kind == "pair" else dated
    bt = study_run(dated(b["close"]), wrap(e), wrap(x), fill=fill, **given(b, dated), **settings)
    if fill == "next_open":  # a signal seen on bar i fills at bar i + 1's open
        e, x, settings = shifted(e), shifted(x), dict(settings, fill_at="open")
    same_record(bt.record, ledger_run(b["close"], e, x, **given(b), **settings))


@pytest.mark.parametrize("direction, settings", [("long", {}), ("short", {"max_hold_bars": 3}),
                                                 ("long", {"slip_point": 1.0, "size": 2.0})])
def test_bars_without_stops_give_the_close_only_run(direction, settings):
    b = make_bars(seed=41)
    e, x = signals("solo", seed=42, rate=0.2)
    closes = study.backtest(b["close"], e, x, direction=direction, **settings)
    with_bars = study.backtest(b["close"], e, x, direction=direction, **given(b), **settings)
    same_record(with_bars.record, closes.record)


# ---- a frame of bars as close ---------------------------------------------

@pytest.mark.parametrize("names", [("Open", "High", "Low", "Close"),
                                   ("open", "high", "low", "close"),
                                   ("OPEN", "High", "low", "cLoSe")])
@pytest.mark.parametrize("others", [[], ["Volume"], ["Volume", "Adj Close", "7"]])
def test_an_ohlc_frame_is_one_contracts_bars(names, others):
    b = make_bars(m=1)
    columns = dict(zip(names, (b[k][:, 0] for k in bars.OHLC)))
    frame = dated(np.zeros((N, 0))).assign(**columns, **{k: np.arange(N) for k in others})
    e, x = (s[:, 0] for s in signals("solo"))
    bt = study.backtest(frame, pd.Series(e, index=frame.index), x, **STOPS)
    same_record(bt.record, ledger.solo(b["close"], e[:, None], x[:, None], **given(b), **STOPS))
    assert list(bt.columns) == [0]
    pd.testing.assert_series_equal(bt.close, pd.Series(b["close"][:, 0], index=frame.index))
    assert np.array_equal(bt.bars["high"].to_numpy(), b["high"][:, 0])


@pytest.mark.parametrize("columns, keywords, text", [
    (["Open", "High", "Close"], {}, "has no Low column"),
    (["open", "close", "Volume"], {}, "has no High, Low column"),
    (["Open", "High", "Low", "Close", "close"], {}, "has the columns 'Close' and 'close'"),
    (["Open", "High", "Low", "Close"], {"high": 1.0},
     "close is a frame of bars; give the bars there or as high=, not both"),
])
def test_a_frame_of_bars_missing_doubling_or_doubled_is_refused(columns, keywords, text):
    frame = pd.DataFrame(np.full((5, len(columns)), 100.0), columns=columns)
    with pytest.raises(ValueError, match=text):
        study.backtest(frame, np.zeros(5), np.zeros(5), **keywords)


def test_a_single_close_column_stays_a_contract():
    frame = pd.DataFrame({"Close": [100.0, 101.0, 103.0]})
    bt = study.backtest(frame, np.array([[1.0], [0.0], [0.0]]), np.zeros((3, 1)))
    assert list(bt.trades["contract"]) == ["Close"] and bt.bars is None


# ---- refused inputs -------------------------------------------------------

@pytest.mark.parametrize("name", bars.NAMES)
@pytest.mark.parametrize("fault, text", [
    ("index", "{name}'s index differs from close's index"),
    ("columns", "{name}'s columns differs from close's columns"),
    ("shape", r"{name} has shape \(59, 2\); close needs \(60, 2\)"),
])
@pytest.mark.parametrize("kind", RUN)
def test_misaligned_bars_are_refused(name, fault, text, kind):
    b = make_bars()
    bad = given(b, dated)
    if fault == "index":
        bad[name] = bad[name].set_axis(bad[name].index + pd.Timedelta(days=1))
    elif fault == "columns":
        bad[name] = bad[name].set_axis(["al", "cu"], axis=1)
    else:
        bad[name] = b[name][1:]
    e = np.zeros((N, 2) if kind == "solo" else N)
    with pytest.raises(ValueError, match=text.format(name=name)):
        RUN[kind][0](dated(b["close"]), e, e, **bad)


@pytest.mark.parametrize("kwargs, text", [
    ({"fill": "open"}, "fill must be 'close' or 'next_open', got 'open'"),
    ({"fill": None}, "fill must be 'close' or 'next_open', got None"),
    ({"fill": "next_open"}, r"fill='next_open' fills at the bars' opens: give open=, high= "),
    ({"fill": "next_open", "prices": True}, r"give prices= or fill='next_open', not both"),
    ({"fill_at": "open"}, r"setting of (pair_)?backtest: 'fill_at' \(did you mean 'fill'\?\)"),
])
@pytest.mark.parametrize("kind", RUN)
def test_fill_errors(kwargs, text, kind):
    b = make_bars()
    kwargs = dict(kwargs)
    if kwargs.pop("prices", False):
        kwargs = dict(kwargs, prices=b["open"], **given(b))
    e = np.zeros((N, 2) if kind == "solo" else N)
    with pytest.raises(ValueError, match=text):
        RUN[kind][0](b["close"], e, e, **kwargs)


# ---- fill at the next open ------------------------------------------------

@pytest.mark.parametrize("kind", RUN)
def test_a_signal_on_the_last_bar_does_nothing_at_the_next_open(kind):
    b = make_bars()
    e = np.zeros((N, 2) if kind == "solo" else N)
    e[-1] = 1.0
    assert len(RUN[kind][0](b["close"], e, 0 * e, **given(b)).trades) > 0  # on its own bar
    bt = RUN[kind][0](b["close"], e, 0 * e, fill="next_open", **given(b))
    assert len(bt.trades) == 0 and (bt.value == bt.value.iloc[0]).all()


# Runs with a long entry seen on bar 1 (filled at bar 2's open, 100) and a
# stop 5 below the fill: (opens, closes, {bar: low}, exit signal bar, the
# trade).
NEXT_OPEN = {
    "the entry bar's own low stops it": ([100, 100, 100, 99, 94, 95], [100, 100, 99, 98, 95, 96],
                                         {2: 90.0}, None, (2, 100.0, 2, 95.0, "stop_loss")),
    "a gap later fills at that open": ([100, 100, 100, 99, 94, 95], [100, 100, 99, 98, 95, 96],
                                       {}, None, (2, 100.0, 4, 94.0, "stop_loss")),
    "the exit at the open comes before the bar's low": (
        [100, 100, 100, 99, 98, 97], [100, 100, 99, 98, 97, 97], {4: 94.0}, 3,
        (2, 100.0, 4, 98.0, "signal")),
    "exit at the open": ([100, 100, 100, 99, 98, 97], [100, 100, 99, 98, 97, 97], {}, 3,
                         (2, 100.0, 4, 98.0, "signal")),
    "a gap stop at the open comes before the exit": (
        [100, 100, 100, 99, 94, 95], [100, 100, 99, 98, 95, 96], {}, 3,
        (2, 100.0, 4, 94.0, "stop_loss")),
}


@pytest.mark.parametrize("case", NEXT_OPEN)
def test_stops_under_next_open(case):
    opens, closes, lows, exit_at, want = NEXT_OPEN[case]
    o, c = np.array(opens, float), np.array(closes, float)
    high, low = np.maximum(o, c) + 1.0, np.minimum(o, c) - 1.0
    low[list(lows)] = list(lows.values())
    e, x = np.zeros(len(o)), np.zeros(len(o))
    e[1] = 1.0
    if exit_at is not None:
        x[exit_at] = -1.0
    t = study.backtest(c, e, x, open=o, high=high, low=low, fill="next_open", sl_stop=5.0).trades
    columns = ["entry_bar", "entry_price", "exit_bar", "exit_price", "exit_reason"]
    assert len(t) == 1 and tuple(t.iloc[0][columns]) == want


# ---- the bars a Backtest keeps: pickling, the figure, sweeps ---------------

def test_the_kept_bars_pickle_and_a_shipped_copy_leaves_them_behind():
    b = make_bars()
    bt = study.backtest(dated(b["close"]), np.zeros((N, 2)), np.zeros((N, 2)), **given(b, dated))
    back = pickle.loads(pickle.dumps(bt))
    for name in bars.NAMES:
        pd.testing.assert_frame_equal(back.bars[name], dated(b[name]))
    shipped = pickle.loads(pickle.dumps(bt.replaced(close=None, bars=None)))
    assert shipped.close is None and shipped.bars is None
    assert bt.bars is not None  # the copy shipped, not the run


@pytest.mark.parametrize("n, candles", [(40, True), (400, False)])
@pytest.mark.parametrize("kind, contract, column", [("solo", None, 0), ("solo", "al", 1),
                                                    ("pair", "B", 1), (None, None, 0)])
def test_plot_draws_the_bars(n, candles, kind, contract, column):
    pytest.importorskip("matplotlib")
    b = make_bars(n=n)
    e = np.zeros((n, 2) if kind != "pair" else n)
    e[3] = 1.0
    run = RUN["pair" if kind == "pair" else "solo"][0]
    bt = run(dated(b["close"]), e, 0 * e, **(given(b, dated) if kind else {}))
    ax = bt.plot(contract=contract).axes[2]
    lines = [c for c in ax.collections if type(c).__name__ == "LineCollection"]
    labels = [t.get_text() for t in ax.get_legend().get_texts()]
    if kind is None:  # closes only: the close line
        assert not lines and "close of cu" in labels
        return
    assert len(lines) == (3 if candles else 1)  # wicks, then rising and falling bodies
    assert [s[0][1] for s in lines[0].get_segments()] == list(b["low"][:, column])
    assert sum(len(c.get_segments()) for c in lines[1:]) == (n if candles else 0)
    assert any(t.startswith("high-low of") for t in labels)
    assert any(t.startswith("close of") for t in labels) != candles


def breakout(close, window):
    """Long above the last `window` closes' high, out below their low."""
    c = close["Close"] if isinstance(close, pd.DataFrame) else close
    return ((c > c.rolling(window).max().shift(1)).astype(float),
            -(c < c.rolling(window).min().shift(1)).astype(float))


GRID = {"window": [3, 5, 8]}


@pytest.fixture
def ohlc_frame():
    b = make_bars(n=200, m=1, seed=31)
    return dated(np.column_stack([b[k][:, 0] for k in bars.OHLC]),
                 columns=["Open", "High", "Low", "Close"]).assign(Volume=1.0)


@pytest.mark.parametrize("where", ["threads", "dask"])
@pytest.mark.parametrize("bars_in", ["frame", "settings"])
@pytest.mark.parametrize("fill", ["close", "next_open"])
def test_a_sweep_with_bars_is_its_backtests(ohlc_frame, where, bars_in, fill, request):
    close, settings = ohlc_frame, dict(STOPS, fill=fill)
    if bars_in == "settings":  # arrays, as a sweep ships them to its workers
        close = ohlc_frame["Close"]
        settings.update({k: ohlc_frame[k.capitalize()].to_numpy() for k in bars.NAMES})
    place = ({"client": request.getfixturevalue("dask_client")} if where == "dask"
             else {"workers": 2})
    table = study.sweep(breakout, GRID, close, settings=settings, progress=False, keep=1, **place)
    assert "error" not in table
    runs = [study.backtest(close, *breakout(close, w), **settings) for w in GRID["window"]]
    for i, bt in enumerate(runs):
        pd.testing.assert_series_equal(table.iloc[i][list(study.STATS)], bt.stats(),
                                       check_names=False, check_series_type=False)
    best = runs[int(np.argmax([r.stats()["Total Return [%]"] for r in runs]))]
    pd.testing.assert_series_equal(table.best[0].close, best.close)
    for name in bars.NAMES:
        pd.testing.assert_series_equal(table.best[0].bars[name], best.bars[name])


# ---- the sample's bars and the README's example ---------------------------

@pytest.mark.parametrize("n", [3, 300, 2500])
def test_the_samples_bars_hold_its_closes_and_are_consistent(n):
    got, closes = sample.sample_ohlc(n), sample.sample_bars(n)
    for name in ("A", "B"):
        b = got[name]
        assert np.array_equal(b["close"], closes[name])
        assert (b["low"] <= np.minimum(b["open"], b["close"])).all() and (b["low"] > 0).all()
        assert (b["high"] >= np.maximum(b["open"], b["close"])).all()
        assert all(np.array_equal(b[k], sample.sample_ohlc(n)[name][k]) for k in bars.OHLC)


def test_the_readmes_example_with_bars_runs(tmp_path):
    pytest.importorskip("matplotlib")
    from test_study_docs import README, examples, run_example

    text = README.read_text(encoding="utf-8")
    section = text[text.index("\n## Study\n"):text.index("\n## The accounting model\n")]
    r = run_example(next(b for b in examples(section) if "sample_ohlc" in b), tmp_path)
    assert r.returncode == 0, r.stderr
    figures, reasons = r.stdout.split("\nexit_reason")  # the second table's index name
    assert figures.split("\n")[0].split() == ["closes", "only", "bars", "next", "open",
                                              "reversing"]
    assert "reverse" in reasons and "stop_loss" in reasons
    assert (tmp_path / "bars.png").read_bytes()[:4] == b"\x89PNG"
