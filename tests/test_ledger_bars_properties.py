"""ledger.solo and ledger.pair with bars (open, high, low), both_hit and
opposite_entry against the slow models, on drawn inputs that pass the
checks: the histories, trades, refusals, curves and total fee equal the
models' bit for bit, filling at the prices or at the opens. Without the
keywords a run is the close-only run."""

import numpy as np
from hypothesis import given
from hypothesis import strategies as st

import solosim_model
import spreadsim_model
from property_support import PROFILE, laid_out
from quorra.accel import ledger
from support import assert_same_arrays, outcome
from test_ledger_properties import (MODEL_RULES, PAIR_SLOTS, SOLO_SLOTS, CALLBACK_RULES,
                                    assert_matches_record, assert_same_result,
                                    callback_addresses, engine_settings, model_kwargs,
                                    note_outcome, pair_calls, solo_calls)
from test_ledger_properties import c_library  # noqa: F401 (a fixture)

STEPS = [-3.0, -1.0, -0.5, 0.0, 0.0, 0.5, 1.0, 2.5, 4.0]
REACH = [0.0, 0.0, 0.0, 0.5, 1.0, 2.0, 5.0]


@st.composite
def bars_around(draw, close):
    """open, high and low consistent with `close`: each open a drawn step
    from the bar's close (a gap), the high and low beyond both by a drawn
    reach, every price > 0."""
    c = np.asarray(close, dtype=np.float64)
    n, cols = c.shape
    block = (min(n, 30), cols)

    def drawn(values):
        flat = draw(st.lists(st.sampled_from(values), min_size=block[0] * cols,
                             max_size=block[0] * cols))
        return np.resize(np.array(flat, dtype=np.float64).reshape(block), (n, cols))

    scale = np.maximum(c, 1.0) / 100.0
    o = np.maximum(c + drawn(STEPS) * scale, c / 2)
    hi = np.maximum(o, c) + drawn(REACH) * scale
    lo = np.minimum(o, c) - drawn(REACH) * scale
    lo = np.where(lo > 0, lo, np.minimum(o, c))
    layout = draw(st.sampled_from(["C", "C", "F", "strided", "unaligned"]))
    return {k: laid_out(v, "f8", layout) for k, v in (("open", o), ("high", hi),
                                                          ("low", lo))}


CHOICES = {"both_hit": st.sampled_from(["stop_loss", "take_profit"]),
           "opposite_entry": st.sampled_from(["ignore", "reverse", "reverse"]),
           "fill_at": st.sampled_from(["prices", "open", "open"])}


def choices(draw, call, bars):
    """The three choices; filling at the opens, the call's prices dropped
    (with bars: now and then kept, to meet the refusal)."""
    out = {k: draw(v) for k, v in CHOICES.items()}
    if out["fill_at"] == "open" and bars and draw(st.integers(0, 9)):
        call.pop("prices", None)
    return out


def valid_bars(call, bars):
    c = np.asarray(call["close"], dtype=np.float64)
    o, h, lo = (np.asarray(bars[k], dtype=np.float64) for k in ("open", "high", "low"))
    return bool(np.all(h >= np.maximum(o, c)) and np.all(lo <= np.minimum(o, c)))


@PROFILE
@given(data=st.data())
def test_solo_with_bars_matches_the_model(data, c_library):
    rules = sorted(CALLBACK_RULES) + (["c_fixed"] * 2 if c_library is not None else [])
    call, sl_rule, tp_rule = data.draw(solo_calls(rules))
    bars = data.draw(bars_around(call["close"])) if data.draw(st.integers(0, 4)) else {}
    keywords = dict(bars, **choices(data.draw, call, bars))
    keep, addresses = callback_addresses(sl_rule, tp_rule, c_library)
    got = outcome(ledger.solo, **call, **addresses, **keywords, histories=True)
    bare = outcome(ledger.solo, **call, **addresses, **keywords)
    del keep
    note_outcome(got)
    assert got[0] == bare[0]
    if got[0] == "raised":
        assert got[1:] == bare[1:]
        return
    assert valid_bars(call, bars) if bars else True
    result = got[1]
    assert_same_result(bare[1], result, "contract")
    m = call["close"].shape[1]
    recorder = solosim_model.Recorder(m)
    histories = solosim_model.from_signals(
        **model_kwargs(engine_settings(call, SOLO_SLOTS)), sl_callback=MODEL_RULES.get(sl_rule),
        tp_callback=MODEL_RULES.get(tp_rule), recorder=recorder, **keywords)
    assert_same_arrays(result["histories"], histories)
    assert_matches_record(result, recorder.record(), "contract")


@PROFILE
@given(data=st.data())
def test_pair_with_bars_matches_the_model(data):
    call = data.draw(pair_calls())
    bars = data.draw(bars_around(call["close"])) if data.draw(st.integers(0, 4)) else {}
    keywords = dict(bars, **choices(data.draw, call, bars))
    got = outcome(ledger.pair, **call, **keywords, histories=True)
    bare = outcome(ledger.pair, **call, **keywords)
    note_outcome(got)
    assert got[0] == bare[0]
    if got[0] == "raised":
        assert got[1:] == bare[1:]
        return
    result = got[1]
    assert_same_result(bare[1], result, "leg")
    recorder = solosim_model.Recorder(2)
    rows = spreadsim_model.pair_from_signals(**model_kwargs(engine_settings(call, PAIR_SLOTS)),
                                             recorder=recorder, **keywords)
    spreadsim_model.assert_same_rows(result["histories"], rows)
    assert_matches_record(result, recorder.record(), "leg")
