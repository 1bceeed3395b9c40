"""ledger.solo and ledger.pair as callers meet them: the signature, the result
fields and their types, and every check of the arguments with its message."""

import copy
import inspect
import pickle
import re

import numpy as np
import pytest

from quorra.accel import ledger, solosim, spreadsim

CLOSE = np.full((5, 2), 100.0)
ZEROS = np.zeros((5, 2))
PAIR_SIGNALS = np.zeros(5)

TRADE_FIELDS = [("entry_bar", "i4"), ("exit_bar", "i4"), ("direction", "i1"), ("lots", "f8"),
                ("entry_price", "f8"), ("exit_price", "f8"), ("entry_fee", "f8"),
                ("exit_fee", "f8"), ("pnl", "f8"), ("exit_reason", "i1")]


def raises(exc, text, f, *args, **kwargs):
    with pytest.raises(exc, match=f"^{re.escape(text)}$"):
        f(*args, **kwargs)


def with_value(array, index, value):
    out = np.array(array, dtype=np.float64)
    out[index] = value
    return out


# ---- signature and module ----

KEYWORDS = {"histories": False, "open": None, "high": None, "low": None,
            "both_hit": "stop_loss", "opposite_entry": "ignore", "fill_at": "prices"}


@pytest.mark.parametrize("f, engine", [(ledger.solo, solosim.from_signals),
                                       (ledger.pair, spreadsim.pair_from_signals)])
def test_signature_is_the_engines_plus_keyword_only_histories(f, engine):
    params = list(inspect.signature(f).parameters.values())
    keywords = params[-len(KEYWORDS):]
    assert [p.name for p in params[:-len(KEYWORDS)]] == list(inspect.signature(engine).parameters)
    assert [p.name for p in keywords] == list(KEYWORDS)
    assert all(p.kind is inspect.Parameter.KEYWORD_ONLY for p in keywords)
    assert f.__kwdefaults__ == KEYWORDS
    # three required, the keyword-only ones
    assert len(f.__defaults__) == len(params) - 3 - len(KEYWORDS)
    with pytest.raises(TypeError, match=r"takes at most \d+ positional arguments"):
        f(*([CLOSE] + [None] * len(params)))


def test_per_contract_defaults_are_numbers():
    defaults = dict(zip(list(inspect.signature(ledger.solo).parameters)[3:],
                        ledger.solo.__defaults__))
    assert (defaults["margin_rate"], defaults["price_tick"], defaults["volume_multiple"],
            defaults["commission"]) == (0.1, 1.0, 5.0, 1.0)


def test_exit_reasons_and_docs():
    assert ledger.EXIT_REASONS == ("open", "stop_loss", "take_profit", "max_hold", "signal",
                                   "cascade", "reverse")
    for f in (ledger.solo, ledger.pair):
        assert "always the native" in " ".join(f.__doc__.split())
        # The docstring opens with the signature the binding takes, wrapped.
        head = f.__doc__.split("\n\n")[0]
        assert " ".join(head.split()) == f"{f.__name__}{inspect.signature(f)}"
        assert max(map(len, head.splitlines())) <= 88


@pytest.mark.parametrize("f", [ledger.solo, ledger.pair])
def test_functions_pickle_by_reference(f):
    assert pickle.loads(pickle.dumps(f)) is f and copy.deepcopy(f) is f


# ---- results ----

def test_solo_result_fields_and_types():
    entries = with_value(ZEROS, (1, 0), 1.0)
    r = ledger.solo(CLOSE, entries, ZEROS)
    assert sorted(r) == ["equity", "refused", "total_fee", "trades", "value"]
    assert r["trades"].dtype.names == ("contract",) + tuple(n for n, _ in TRADE_FIELDS)
    assert [r["trades"].dtype[k].str[1:] for k in range(11)] == ["i4"] + [t for _, t in
                                                                            TRADE_FIELDS]
    assert r["refused"].dtype == np.int64 and r["refused"].shape == (2,)
    for key in ("equity", "value"):
        assert r[key].dtype == np.float64 and r[key].shape == (5,)
    assert type(r["total_fee"]) is float and r["total_fee"] == 1.0
    (t,) = r["trades"]
    assert (t["contract"], t["entry_bar"], t["exit_bar"], t["exit_reason"]) == (0, 1, -1, 0)
    assert np.isnan(t["exit_price"]) and np.isnan(t["pnl"]) and t["exit_fee"] == 0.0


def test_pair_result_names_the_leg():
    r = ledger.pair(CLOSE, with_value(PAIR_SIGNALS, 0, 1.0), PAIR_SIGNALS, histories=True)
    assert r["trades"].dtype.names[0] == "leg"
    assert r["trades"]["leg"].tolist() == [0, 1] and r["trades"]["direction"].tolist() == [1, -1]
    assert r["refused"].shape == (2,) and len(r["histories"]) == 2


@pytest.mark.parametrize("shape", [(0, 3), (4, 0), (0, 0)])
def test_empty_runs(shape):
    zeros = np.zeros(shape)
    r = ledger.solo(zeros + 1.0, zeros, zeros, histories=True)
    assert r["trades"].shape == (0,) and r["refused"].shape == (shape[1],)
    assert r["equity"].shape == r["value"].shape == (shape[0],)
    assert len(r["histories"]) == shape[1] and r["total_fee"] == 0.0


def test_replaced_module_rules_do_not_affect_ledger(monkeypatch):
    entries = with_value(ZEROS, (1, 0), 1.0)
    want = ledger.solo(CLOSE, entries, ZEROS)
    monkeypatch.setattr(solosim, "calculate_size", lambda *args: 7.0)
    monkeypatch.setattr(solosim, "calculate_commission", lambda *args: 99.0)
    monkeypatch.setattr(spreadsim, "calculate_size", lambda *args: 7.0)
    got = ledger.solo(CLOSE, entries, ZEROS)
    assert got["trades"].tobytes() == want["trades"].tobytes()
    pair = ledger.pair(CLOSE, with_value(PAIR_SIGNALS, 0, 1.0), PAIR_SIGNALS)
    assert pair["trades"]["lots"].tolist() == [1.0, 1.0]


@pytest.mark.parametrize("settings", [
    dict(size=np.int64(2), margin_rate=np.float32(0.25), commission=np.array([1, 2])),
    dict(size=[2, 2.0], margin_rate=(0.25, 0.25), commission=[1.0, 2.0]),
    dict(size=np.array([2.0, 2.0]), margin_rate=np.array(0.25), commission=[True, 2]),
])
def test_numpy_scalars_and_arrays_are_numbers_and_sequences(settings):
    entries = with_value(with_value(ZEROS, (1, 0), 1.0), (1, 1), -1.0)
    r = ledger.solo(CLOSE, entries, ZEROS, **settings)
    assert r["trades"]["lots"].tolist() == [2.0, 2.0]
    assert r["trades"]["entry_fee"].tolist() == [2.0, 4.0]


@pytest.mark.parametrize("convert", [
    lambda a: a.astype(np.float32), lambda a: a.astype(np.int64), lambda a: a.astype(np.int8),
    lambda a: a.astype(">f8"), lambda a: np.asfortranarray(a), lambda a: a.tolist(),
    lambda a: np.repeat(a, 2, axis=0)[::2], lambda a: a.astype(np.longdouble),
    lambda a: a.view(type("Sub", (np.ndarray,), {})),
], ids=["f4", "i8", "i1", "big-endian", "fortran", "list", "strided", "longdouble", "subclass"])
def test_array_likes_of_any_real_dtype_and_layout(convert):
    close = np.array([[100.0, 50.0], [101.0, 51.0], [103.0, 52.0], [102.0, 49.0]])
    entries = np.array([[1, -1], [0, 0], [0, 0], [0, 0]])
    exits = np.array([[0, 0], [0, 0], [-1, 0], [0, 0]])
    want = ledger.solo(close, entries.astype(float), exits.astype(float))
    got = ledger.solo(convert(close), convert(entries), convert(exits))
    assert got["trades"].tobytes() == want["trades"].tobytes()
    assert got["value"].tobytes() == want["value"].tobytes()


def test_bool_signals():
    entries = np.zeros((5, 2), dtype=bool)
    entries[1, 1] = True
    r = ledger.solo(CLOSE, entries, np.zeros((5, 2), dtype=bool))
    assert r["trades"][["contract", "direction"]].tolist() == [(1, 1)]


# ---- the checks, each with its message ----

SOLO_ERRORS = [
    (dict(close=None), TypeError, "Argument 'close' must not be None"),
    (dict(entries=None), TypeError, "Argument 'entries' must not be None"),
    (dict(close=CLOSE[:, 0]), ValueError,
     "close must be two-dimensional (bars x contracts), got 1 dimension(s)"),
    (dict(entries=ZEROS[:, :1]), ValueError, "entries has shape (5, 1); it must have shape (5, 2)"),
    (dict(exits=ZEROS.ravel()), ValueError, "exits has shape (10,); it must have shape (5, 2)"),
    (dict(prices=CLOSE[:4]), ValueError, "prices has shape (4, 2); it must have shape (5, 2)"),
    (dict(entries=ZEROS.astype(object)), TypeError,
     "entries must hold real numbers (bool, integers or floats), got dtype object"),
    (dict(exits=ZEROS.astype(complex)), TypeError,
     "exits must hold real numbers (bool, integers or floats), got dtype complex128"),
    (dict(close=np.full((5, 2), "1")), TypeError,
     "close must hold real numbers (bool, integers or floats), got dtype <U1"),
    (dict(entries=with_value(ZEROS, (1, 0), 0.5)), ValueError,
     "entries[1, 0] is 0.5; signals must be -1, 0 or 1"),
    (dict(exits=with_value(ZEROS, (2, 1), np.nan)), ValueError,
     "exits[2, 1] is nan; signals must be -1, 0 or 1"),
    (dict(entries=with_value(ZEROS, (4, 1), 2)), ValueError,
     "entries[4, 1] is 2.0; signals must be -1, 0 or 1"),
    (dict(close=with_value(CLOSE, (3, 0), -1.0)), ValueError,
     "close[3, 0] is -1.0; prices must be finite and > 0"),
    (dict(close=with_value(CLOSE, (0, 1), 0.0)), ValueError,
     "close[0, 1] is 0.0; prices must be finite and > 0"),
    (dict(prices=with_value(CLOSE, (2, 0), np.inf)), ValueError,
     "prices[2, 0] is inf; prices must be finite and > 0"),
    (dict(margin_rate=[0.1, 0.2, 0.3]), ValueError,
     "margin_rate has 3 values for 2 contracts; give one number or 2"),
    (dict(size=[1.0]), ValueError, "size has 1 values for 2 contracts; give one number or 2"),
    (dict(price_tick=np.ones((2, 2))), ValueError,
     "price_tick must be one number or 2 numbers, got 2 dimensions"),
    (dict(margin_rate=0), ValueError, "margin_rate is 0.0; margin_rate must be finite and > 0"),
    (dict(volume_multiple=[5.0, -5.0]), ValueError,
     "volume_multiple[1] is -5.0; volume_multiple must be finite and > 0"),
    (dict(commission=[1, -1]), ValueError,
     "commission[1] is -1.0; commission must be finite and >= 0"),
    (dict(commission=np.inf), ValueError, "commission is inf; commission must be finite and >= 0"),
    (dict(size=np.nan), ValueError, "size is nan; size must be finite and > 0"),
    (dict(price_tick="0.5"), TypeError,
     "price_tick must be a number or a sequence of numbers, got str"),
    (dict(init_cash=0), ValueError, "init_cash is 0.0; init_cash must be finite and > 0"),
    (dict(init_cash=float("nan")), ValueError, "init_cash is nan; init_cash must be finite and > 0"),
    (dict(init_cash=1e39), ValueError,
     "init_cash 1e+39 is beyond single precision, in which the run keeps it"),
    (dict(sl_callback_addr=1), ValueError, "sl_callback_addr 0x1 is not the address of "
     "executable code"),
    (dict(tp_callback_args=[1.0]), TypeError,
     "Argument 'tp_callback_args' has incorrect type (expected tuple, got list)"),
]


PAIR_ERRORS = [
    (dict(close=np.ones((5, 3))), ValueError, "close has shape (5, 3); it must have shape (5, 2)"),
    (dict(close=np.ones(5)), ValueError, "close has shape (5,); it must have shape (5, 2)"),
    (dict(entries=ZEROS), ValueError, "entries has shape (5, 2); it must have shape (5,)"),
    (dict(exits=PAIR_SIGNALS[:3]), ValueError, "exits has shape (3,); it must have shape (5,)"),
    (dict(prices=np.ones((5, 1))), ValueError, "prices has shape (5, 1); it must have shape (5, 2)"),
    (dict(entries=with_value(PAIR_SIGNALS, 3, -2)), ValueError,
     "entries[3] is -2.0; signals must be -1, 0 or 1"),
    (dict(prices=with_value(CLOSE, (4, 1), np.nan)), ValueError,
     "prices[4, 1] is nan; prices must be finite and > 0"),
    (dict(size=[1, 2, 3]), ValueError, "size has 3 values for 2 legs; give one number or 2"),
    (dict(margin_rate=[0.1]), ValueError,
     "margin_rate has 1 values for 2 legs; give one number or 2"),
    (dict(commission=-0.5), ValueError, "commission is -0.5; commission must be finite and >= 0"),
    (dict(leg_size_ratio=0), ValueError,
     "leg_size_ratio is 0.0; leg_size_ratio must be finite and > 0"),
    (dict(leg_size_ratio=[1, np.inf]), ValueError,
     "leg_size_ratio[1] is inf; leg_size_ratio must be finite and > 0"),
    (dict(leg_size_ratio=[1, 2, 3]), ValueError,
     "leg_size_ratio has 3 values for 2 legs; give one number or 2"),
    (dict(init_cash=-1), ValueError, "init_cash is -1.0; init_cash must be finite and > 0"),
]


VALID = {"solo": dict(close=CLOSE, entries=ZEROS, exits=ZEROS),
         "pair": dict(close=CLOSE, entries=PAIR_SIGNALS, exits=PAIR_SIGNALS)}


@pytest.mark.parametrize("kind, change, exc, text",
                         [("solo", *case) for case in SOLO_ERRORS] +
                         [("pair", *case) for case in PAIR_ERRORS])
def test_checks(kind, change, exc, text):
    raises(exc, text, getattr(ledger, kind), **dict(VALID[kind], **change))


def test_checks_report_the_first_offence_in_parameter_and_row_major_order():
    close = with_value(CLOSE, (4, 0), -1.0)
    entries = with_value(with_value(ZEROS, (3, 1), 9.0), (4, 0), 9.0)
    exits = with_value(ZEROS, (0, 0), 9.0)
    raises(ValueError, "close[4, 0] is -1.0; prices must be finite and > 0",
           ledger.solo, close, entries, exits)
    raises(ValueError, "entries[3, 1] is 9.0; signals must be -1, 0 or 1",
           ledger.solo, CLOSE, entries, exits)
    # Settings are checked before any array value.
    raises(ValueError, "size is 0.0; size must be finite and > 0",
           ledger.solo, close, entries, exits, size=0)


@pytest.mark.parametrize("f, shape", [(ledger.solo, (50_000, 3)), (ledger.pair, (50_000, 2))])
def test_an_offence_late_in_a_long_run_outranks_an_error_of_the_run(f, shape):
    # A one-lot margin that underflows to zero stops the run at its first
    # entry (ZeroDivisionError); an offending signal at the very last bar
    # is still what the call reports, as if every value were checked first.
    n = shape[0]
    close = np.full(shape, 1e-200)
    entries = np.zeros(shape if f is ledger.solo else n)
    entries[0] = 1.0
    settings = dict(size_type=1, margin_rate=1e-200, volume_multiple=1e-200)
    with pytest.raises(ZeroDivisionError, match="^float division$"):
        f(close, entries, entries * 0, **settings)
    entries[-1] = 0.5
    where = f"[{n - 1}, 0]" if f is ledger.solo else f"[{n - 1}]"
    raises(ValueError, f"entries{where} is 0.5; signals must be -1, 0 or 1",
           f, close, entries, entries * 0, **settings)
