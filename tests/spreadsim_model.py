"""Slow pure-Python model of the pair backtest, written from its rules.

Every figure is computed with Python floats in the written order of
arithmetic, so results can be compared with the native engine bit for bit.
Signals are compared with 0 as Python objects and prices are read with
float(), exactly as the engine treats its inputs.
"""

import numpy as np

# spreadsim carries solosim's sizing, commission and stop-distance rules.
from solosim_model import calculate_commission as calc_commission
from solosim_model import (EXIT_SIGNAL, HOLDING_LIMIT, OTHER_LEG, REVERSAL, STOP_LOSS,
                           TAKE_PROFIT, Recorder, calculate_size, f32, stop_distance)
from support import assert_same_arrays


class StopDistError:
    """Counts the zero-divisor reports of the stop distance."""

    reports = 0


def calc_stop_dist(*args):
    """The stop distance; a zero divisor is reported (counted) and gives 0.0."""
    try:
        return stop_distance(*args)
    except ZeroDivisionError:
        StopDistError.reports += 1
        return 0.0


def normalise(x):
    if isinstance(x, (int, float)):
        return [float(x), float(x)]
    if len(x) == 1:
        return [float(x[0]), float(x[0])]
    return [float(e) for e in x]


def leg_ratios(x):
    ratio_a, ratio_b = 1.0, 1.0
    if isinstance(x, (int, float)):
        ratio_a = float(x)
    elif isinstance(x, (list, tuple)):
        ratio_a = float(x[0])
        if len(x) >= 2:
            ratio_b = float(x[1])
    return ratio_a, ratio_b


def leg_lots(count, ratio):
    x = count * ratio
    if x != x or not (-2147483649.0 < x < 2147483648.0):
        return 1.0
    n = int(x)
    return float(n) if n >= 1 else 1.0


def pair_from_signals(close, entries, exits, size=1.0, size_type=0, margin_rate=0.1,
                      price_tick=1.0, volume_multiple=5.0, prices=None, min_start_length=1,
                      init_cash=1000000.0, commission=1.0, com_type=1, slip_point=0.0,
                      sl_stop=0.0, tp_stop=0.0, stop_mode=0, sl_trail=0, max_hold_bars=0,
                      leg_size_ratio=1.0, sizer=None, recorder=None, open=None, high=None,
                      low=None, both_hit="stop_loss", opposite_entry="ignore",
                      fill_at="prices"):
    """The engine's result rows as two lists of 6-tuples (leg A, leg B).

    With open/high/low ((n, 2), the ledger's bars) each leg's stops are
    checked against its bar first and trailed after the bar from its high
    or low; opposite_entry="reverse" closes the spread on an entry of the
    other sign (no stop or holding limit of either leg on the bar) and
    enters the other spread. fill_at="open" fills the market orders at the
    bar's open, after the legs' gaps and before their ranges; a leg left
    alone by a stop filled inside the range closes at the bar's close.

    `sizer` stands in for the module's calculate_size. A Recorder(2) as
    `recorder` is filled with the run's trade record.
    """
    sizer = sizer or calculate_size
    init_cash = f32(init_cash)
    slip = f32(slip_point)
    sl_stop = f32(sl_stop)
    tp_stop = f32(tp_stop)
    n = close.shape[0]
    mr = normalise(margin_rate)
    tick = normalise(price_tick)
    vm = normalise(volume_multiple)
    com = normalise(commission)
    if fill_at == "open":
        prices = open
    if prices is None:
        prices = close
    ratio = leg_ratios(leg_size_ratio)

    cash = init_cash
    equity = init_cash
    cum_profit = 0.0
    total_fee = 0.0
    pnl = [0.0, 0.0]
    position = [0.0, 0.0]
    cur_size = [0.0, 0.0]
    entry_price = [0.0, 0.0]
    in_pos = [0, 0]
    direction = [0, 0]
    margin = [0.0, 0.0]
    sl_price = [0.0, 0.0]
    tp_price = [0.0, 0.0]
    sl_ref = [0.0, 0.0]
    sl_dist = [0.0, 0.0]
    tp_dist = [0.0, 0.0]
    hold = [0, 0]
    rows = ([], [])

    def write(i):
        for j in (0, 1):
            rows[j].append((equity, position[j], cur_size[j], pnl[j], cum_profit, total_fee))
        if recorder is not None:
            recorder.bar_end(equity, total_fee, lambda j: float(close[i, j]), vm)

    ruled = [False]  # a stop or the holding limit closed a leg on this bar

    def close_leg(i, j, trade_price, reason):
        nonlocal cum_profit, cash, total_fee, equity
        if reason in (STOP_LOSS, TAKE_PROFIT, HOLDING_LIMIT):
            ruled[0] = True
        fee = calc_commission(trade_price, cur_size[j], vm[j], com[j], com_type, tick[j])
        if direction[j] == 1:
            profit = (trade_price - entry_price[j]) * cur_size[j] * vm[j] - fee
        else:
            profit = (entry_price[j] - trade_price) * cur_size[j] * vm[j] - fee
        if recorder is not None:
            recorder.closed(j, i, trade_price, fee, profit, reason)
        pnl[j] = profit
        cum_profit += profit
        cash = cash + (margin[j] + profit)
        margin[j] = 0.0
        total_fee += fee
        equity += profit
        position[j] = 0.0
        in_pos[j] = 0
        direction[j] = 0
        sl_price[j] = 0.0
        tp_price[j] = 0.0
        sl_ref[j] = 0.0
        hold[j] = 0

    def out_fill(j, p):
        if slip > 0:
            return p - slip if direction[j] == 1 else p + slip
        return p

    def try_entry(i):
        nonlocal cash, equity, total_fee, cum_profit
        if entries[i] > 0:
            direction[0], direction[1] = 1, -1
        else:
            direction[0], direction[1] = -1, 1
        fill = []
        for j in (0, 1):
            p = float(prices[i, j])
            if slip > 0:
                p = p + slip if direction[j] == 1 else p - slip
            fill.append(p)
        counts = [float(sizer(fill[j], float(size), size_type, cash, mr[j], vm[j]))
                  for j in (0, 1)]
        lots = [leg_lots(counts[j], ratio[j]) for j in (0, 1)]
        fees = [calc_commission(fill[j], lots[j], vm[j], com[j], com_type, tick[j])
                for j in (0, 1)]
        margins = [fill[j] * lots[j] * vm[j] * mr[j] for j in (0, 1)]
        required = margins[0] + fees[0] + margins[1] + fees[1]
        if not cash >= required:
            if recorder is not None:
                recorder.refuse(0)
                recorder.refuse(1)
            return False
        for j in (0, 1):
            if recorder is not None:
                recorder.opened(j, i, direction[j], lots[j], fill[j], fees[j])
            cur_size[j] = lots[j]
            equity -= fees[j]
            cash -= margins[j] + fees[j]
            margin[j] = margins[j]
            total_fee += fees[j]
            cum_profit -= fees[j]
            position[j] = float(direction[j])
            entry_price[j] = fill[j]
            in_pos[j] = 1
            hold[j] = 0
            if sl_stop > 0:
                sl_ref[j] = fill[j]
                sl_dist[j] = calc_stop_dist(fill[j], sl_stop, stop_mode, tick[j], lots[j], vm[j])
                sl_price[j] = fill[j] - sl_dist[j] if direction[j] == 1 else fill[j] + sl_dist[j]
            else:
                sl_price[j] = sl_ref[j] = sl_dist[j] = 0.0
            if tp_stop > 0:
                tp_dist[j] = calc_stop_dist(fill[j], tp_stop, stop_mode, tick[j], lots[j], vm[j])
                tp_price[j] = fill[j] + tp_dist[j] if direction[j] == 1 else fill[j] - tp_dist[j]
            else:
                tp_price[j] = tp_dist[j] = 0.0
        return True

    def bar_stop(i, j, at_open=False):
        o, h, lo = float(open[i, j]), float(high[i, j]), float(low[i, j])
        if at_open:
            h = lo = o
        sl, tp = sl_price[j], tp_price[j]
        if direction[j] == 1:
            gap_sl, gap_tp, hit_sl, hit_tp = o <= sl, o >= tp, lo <= sl, h >= tp
        else:
            gap_sl, gap_tp, hit_sl, hit_tp = o >= sl, o <= tp, h >= sl, lo <= tp
        sl_on, tp_on = sl_stop > 0, tp_stop > 0
        if sl_on and gap_sl:
            return o, STOP_LOSS
        if tp_on and gap_tp:
            return o, TAKE_PROFIT
        if sl_on and hit_sl and tp_on and hit_tp:
            return (tp, TAKE_PROFIT) if both_hit == "take_profit" else (sl, STOP_LOSS)
        if sl_on and hit_sl:
            return sl, STOP_LOSS
        if tp_on and hit_tp:
            return tp, TAKE_PROFIT
        return None

    def trail(j, p):
        if direction[j] == 1:
            if p > sl_ref[j]:
                sl_ref[j] = p
        elif p < sl_ref[j]:
            sl_ref[j] = p
        sl_dist[j] = calc_stop_dist(sl_ref[j], sl_stop, stop_mode, tick[j], cur_size[j], vm[j])
        sl_price[j] = sl_ref[j] - sl_dist[j] if direction[j] == 1 else sl_ref[j] + sl_dist[j]

    def leg_step(i, j):
        if not in_pos[j]:
            return
        hold[j] += 1
        p = float(prices[i, j])
        if open is not None:
            hit = bar_stop(i, j, at_open=fill_at == "open")
            if hit is not None:
                close_leg(i, j, out_fill(j, hit[0]), hit[1])
                return
        elif sl_stop > 0 and sl_trail:
            if direction[j] == 1:
                if p > sl_ref[j]:
                    sl_ref[j] = p
            elif p < sl_ref[j]:
                sl_ref[j] = p
            sl_dist[j] = calc_stop_dist(sl_ref[j], sl_stop, stop_mode, tick[j], cur_size[j], vm[j])
            sl_price[j] = sl_ref[j] - sl_dist[j] if direction[j] == 1 else sl_ref[j] + sl_dist[j]
        if sl_stop > 0 and open is None:
            if direction[j] == 1 and p <= sl_price[j]:
                close_leg(i, j, sl_price[j] - slip if slip > 0 else sl_price[j], STOP_LOSS)
                return
            if direction[j] == -1 and p >= sl_price[j]:
                close_leg(i, j, sl_price[j] + slip if slip > 0 else sl_price[j], STOP_LOSS)
                return
        if tp_stop > 0 and open is None:
            if direction[j] == 1 and p >= tp_price[j]:
                close_leg(i, j, tp_price[j] - slip if slip > 0 else tp_price[j], TAKE_PROFIT)
                return
            if direction[j] == -1 and p <= tp_price[j]:
                close_leg(i, j, tp_price[j] + slip if slip > 0 else tp_price[j], TAKE_PROFIT)
                return
        if max_hold_bars > 0 and hold[j] >= max_hold_bars:
            close_leg(i, j, out_fill(j, p), HOLDING_LIMIT)
            return
        if exits[i] != 0:
            if (direction[j] == 1 and exits[i] < 0) or (direction[j] == -1 and exits[i] > 0):
                close_leg(i, j, out_fill(j, p), EXIT_SIGNAL)

    def summed_close(i, j, price, reason):
        before = pnl[j]
        close_leg(i, j, out_fill(j, price), reason)
        pnl[j] = before + pnl[j]

    def after_open(i):
        at_open = [False, False]
        for j in (0, 1):
            hit = bar_stop(i, j) if in_pos[j] else None
            if hit is not None:
                at_open[j] = hit[0] == float(open[i, j])
                summed_close(i, j, hit[0], hit[1])
        if in_pos[0] != in_pos[1]:
            k = 0 if in_pos[0] else 1
            summed_close(i, k, float((open if at_open[1 - k] else close)[i, k]), OTHER_LEG)
        if sl_stop > 0 and sl_trail:
            for j in (0, 1):
                if in_pos[j]:
                    trail(j, float(high[i, j]) if direction[j] == 1 else float(low[i, j]))

    for i in range(n):
        pnl[0] = pnl[1] = 0.0
        if i < min_start_length - 1:
            write(i)
            continue
        if in_pos[0] == 0 and in_pos[1] == 0 and entries[i] != 0:
            if try_entry(i):
                if fill_at == "open":
                    after_open(i)
                write(i)
                continue
        spread = direction[0] if in_pos[0] else 0
        ruled[0] = False
        leg_step(i, 0)
        leg_step(i, 1)
        if in_pos[0] != in_pos[1]:
            k = 0 if in_pos[0] else 1
            close_leg(i, k, out_fill(k, float(prices[i, k])), OTHER_LEG)
        if opposite_entry == "reverse" and spread and not ruled[0]:
            if (entries[i] < 0) if spread == 1 else (entries[i] > 0):
                for j in (0, 1):
                    if in_pos[j]:
                        close_leg(i, j, out_fill(j, float(prices[i, j])), REVERSAL)
                try_entry(i)
        if fill_at == "open":
            after_open(i)
        elif open is not None and sl_stop > 0 and sl_trail:
            for j in (0, 1):
                if in_pos[j] and hold[j] > 0:
                    trail(j, float(high[i, j]) if direction[j] == 1 else float(low[i, j]))
        write(i)
    return rows


def pair_from_signals_recorded(close, entries, exits, **kwargs):
    """(rows, record): pair_from_signals with its trade record (legs 0 and
    1 in place of contracts; see solosim_model.from_signals_recorded)."""
    recorder = Recorder(2)
    rows = pair_from_signals(close, entries, exits, recorder=recorder, **kwargs)
    return rows, recorder.record()


def as_arrays(rows):
    """The model's rows as two (n, 6) float64 arrays."""
    return [np.array(r, dtype=np.float64).reshape(len(r), 6) for r in rows]


def assert_same_rows(result, rows):
    """The engine's result equals the model's rows bit for bit."""
    assert len(rows) == 2
    assert_same_arrays(result, as_arrays(rows))
