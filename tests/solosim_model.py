"""A slow, literal pure-Python model of solosim's rules, for comparison.

It follows the written rules step by step with Python objects: input
elements are read by Python indexing (arr[i, j]) and compared with Python's
operators, settings lists are Python lists, the account is Python floats in
the written order of arithmetic. Native callbacks are modelled by Python
callables taking the same arguments, with the flat argument block as a list
of floats.
"""

import math
import operator
import warnings

import numpy as np

INT32_MIN = -(2**31)
INT32_MAX = 2**31 - 1


def f32(x):
    """Round a double to single precision and widen it back."""
    with np.errstate(over="ignore"):
        return float(np.float32(float(x)))


def int32(obj):
    """The binding's integer conversion, shared by every module: an int as it
    is, anything else through its type's __int__ (no text parsing), 32-bit
    range."""
    if isinstance(obj, int):
        value = int(obj)
    elif hasattr(type(obj), "__int__"):
        value = type(obj).__int__(obj)
        if not isinstance(value, int):
            raise TypeError(f"__int__ returned non-int (type {type(value).__name__})")
        if type(value) is not int:
            warnings.warn(
                f"__int__ returned non-int (type {type(value).__name__}).  The ability to "
                "return an instance of a strict subclass of int is deprecated, and may be "
                "removed in a future version of Python.", DeprecationWarning, stacklevel=2)
            value = int(value)
    else:
        raise TypeError("an integer is required")
    if not INT32_MIN <= value <= INT32_MAX:
        raise OverflowError("Python int too large to convert to C int")
    return value


def as_double(obj):
    """An element read into a double: a float as it is, other objects through
    __float__ or __index__; text is no number here (unlike float())."""
    if isinstance(obj, float):
        return float(obj)
    if hasattr(type(obj), "__float__"):
        return float(obj)
    if hasattr(type(obj), "__index__"):
        return float(operator.index(obj))
    raise TypeError(f"must be real number, not {type(obj).__name__}")


def calculate_size(close_price, size, size_type, init_cash, margin_rate, volume_multiple):
    if size_type == 0:
        x = size
    elif size_type in (1, 2):
        margin = (close_price * volume_multiple) * margin_rate
        if margin == 0:
            raise ZeroDivisionError("float division")
        x = size / margin if size_type == 1 else (size * init_cash) / margin
    else:
        x = 0.0
    n = int(x)
    if 1 > n:
        n = 1
    return float(n)


def calculate_commission(price, size, volume_multiple, commission, com_type, price_tick):
    if com_type == 0:
        return ((commission * price_tick) * volume_multiple) * size
    if com_type == 1:
        return commission * size
    if com_type == 2:
        return ((price * size) * volume_multiple) * commission
    return 0.0


def stop_distance(ref_price, stop_value, stop_mode, price_tick, size, volume_multiple):
    if stop_value <= 0:
        return 0.0
    if stop_mode == 0:
        return stop_value * price_tick
    if stop_mode == 1:
        if size > 0 and volume_multiple > 0:
            d = size * volume_multiple
            if d == 0:
                raise ZeroDivisionError("float division")
            return stop_value / d
        return 0.0
    if stop_mode == 2:
        return ref_price * stop_value
    return 0.0


def flat_args(args):
    """The flattened callback block as a list of floats."""
    values = []
    for a in args or ():
        arr = np.atleast_1d(np.asarray(a, dtype=np.float64))
        for k in range(arr.shape[0]):
            values.append(float(arr[k]))
    return values


# exit_reason of a trade record
OPEN, STOP_LOSS, TAKE_PROFIT, HOLDING_LIMIT, EXIT_SIGNAL, OTHER_LEG, REVERSAL = range(7)


class Recorder:
    """The trade record of a run, written by the model where each event
    happens: one trade per accepted entry, refused entries per contract (or
    leg), realised equity and the value marked at `close` after every bar,
    and the total fee."""

    def __init__(self, count):
        self.trades = []
        self.refused = [0] * count
        self.equity = []
        self.value = []
        self.total_fee = 0.0
        self.open = [None] * count  # each contract's (leg's) open trade

    def opened(self, j, bar, direction, lots, price, fee):
        trade = {"contract": j, "entry_bar": bar, "exit_bar": -1, "direction": direction,
                 "lots": lots, "entry_price": price, "exit_price": math.nan,
                 "entry_fee": fee, "exit_fee": 0.0, "pnl": math.nan, "exit_reason": OPEN}
        self.trades.append(trade)
        self.open[j] = trade

    def closed(self, j, bar, price, fee, pnl, reason):
        trade = self.open[j]
        self.open[j] = None
        trade.update(exit_bar=bar, exit_price=price, exit_fee=fee, pnl=pnl, exit_reason=reason)

    def refuse(self, j):
        self.refused[j] += 1

    def bar_end(self, equity, total_fee, mark_price, multiples):
        """After a bar: `mark_price(j)` reads the close of contract (leg) j,
        only for those still open."""
        value = equity
        for j, trade in enumerate(self.open):
            if trade is None:
                continue
            p = mark_price(j)
            if trade["direction"] == 1:
                value = value + ((p - trade["entry_price"]) * trade["lots"]) * multiples[j]
            else:
                value = value + ((trade["entry_price"] - p) * trade["lots"]) * multiples[j]
        self.equity.append(equity)
        self.value.append(value)
        self.total_fee = total_fee

    def record(self):
        return {"trades": self.trades, "refused": self.refused, "equity": self.equity,
                "value": self.value, "total_fee": self.total_fee}


def setting_list(arg, m):
    if isinstance(arg, (int, float)):
        return [float(arg)] * m
    return [float(x) for x in arg]


def from_signals(close, entries, exits, size=1.0, size_type=0, margin_rate=(0.1,),
                 price_tick=(1.0,), volume_multiple=(5.0,), prices=None, min_start_length=1,
                 init_cash=1000000.0, commission=(1,), com_type=1, slip_point=0.0, sl_stop=0.0,
                 tp_stop=0.0, stop_mode=0, sl_trail=0, sl_callback=None, tp_callback=None,
                 sl_callback_args=(), tp_callback_args=(), max_hold_bars=0,
                 size_fn=None, commission_fn=None, recorder=None, open=None, high=None,
                 low=None, both_hit="stop_loss", opposite_entry="ignore", fill_at="prices"):
    """Returns the list of (n, 6) histories. sl_callback / tp_callback are
    Python callables with the native callback's arguments (the block as a
    list). size_fn / commission_fn replace the sizing and commission rules.
    A Recorder(m) as `recorder` is filled with the run's trade record.

    With open/high/low (the ledger's bars) the stops are checked against
    each bar after the entry bar, before the market exits, and maintained
    after them from the bar's high or low; opposite_entry="reverse" turns
    an entry against the position into a close and an entry. fill_at="open"
    fills the market orders at the bar's open: before them only the gaps of
    the resting stops, after them the range against the position then open
    (one entered at this open too), and its maintenance.
    """
    size_fn = size_fn or calculate_size
    commission_fn = commission_fn or calculate_commission
    init_cash = f32(init_cash)
    slip_point = f32(slip_point)
    sl_stop = f32(sl_stop)
    tp_stop = f32(tp_stop)
    n, m = close.shape
    if fill_at == "open":
        prices = open
    if prices is None:
        prices = close
    size_list = setting_list(size, m)
    margin_rate_list = setting_list(margin_rate, m)
    price_tick_list = setting_list(price_tick, m)
    volume_multiple_list = setting_list(volume_multiple, m)
    commission_list = setting_list(commission, m)
    sl_args = flat_args(sl_callback_args)
    tp_args = flat_args(tp_callback_args)
    sl_active = sl_stop > 0 or sl_callback is not None
    tp_active = tp_stop > 0 or tp_callback is not None

    rows = [[] for _ in range(m)]
    position = [0.0] * m
    current_size = [0.0] * m
    entry_price = [0.0] * m
    in_position = [0] * m
    direction = [0] * m
    current_margin = [0.0] * m
    sl_price = [0.0] * m
    tp_price = [0.0] * m
    sl_ref_price = [0.0] * m
    sl_distance = [0.0] * m
    tp_distance = [0.0] * m
    hold_bars = [0] * m
    acct = {"cash": init_cash, "equity": init_cash, "cum": 0.0, "fee": 0.0}

    def is_long(j):
        return direction[j] == 1

    def close_out(i, j, fill, pnl, reason):
        com = float(commission_fn(fill, current_size[j], volume_multiple_list[j],
                                  commission_list[j], com_type, price_tick_list[j]))
        if is_long(j):
            profit = ((fill - entry_price[j]) * current_size[j]) * volume_multiple_list[j] - com
        else:
            profit = ((entry_price[j] - fill) * current_size[j]) * volume_multiple_list[j] - com
        if recorder is not None:
            recorder.closed(j, i, fill, com, profit, reason)
        pnl[j] = profit
        acct["cash"] += current_margin[j] + profit
        current_margin[j] = 0.0
        acct["equity"] += profit
        acct["fee"] += com
        position[j] = 0.0
        in_position[j] = 0
        direction[j] = 0
        sl_price[j] = 0.0
        tp_price[j] = 0.0
        sl_ref_price[j] = 0.0
        hold_bars[j] = 0
        acct["cum"] += profit

    def enter(i, j, current_price):
        if slip_point > 0:
            trade_price = current_price + slip_point if is_long(j) else current_price - slip_point
        else:
            trade_price = current_price
        current_size[j] = float(size_fn(trade_price, size_list[j], size_type, acct["cash"],
                                        margin_rate_list[j], volume_multiple_list[j]))
        com = float(commission_fn(trade_price, current_size[j], volume_multiple_list[j],
                                  commission_list[j], com_type, price_tick_list[j]))
        margin = ((trade_price * current_size[j]) * volume_multiple_list[j]) * margin_rate_list[j]
        required_cash = margin + com
        if not acct["cash"] >= required_cash:
            if recorder is not None:
                recorder.refuse(j)
            return
        if recorder is not None:
            recorder.opened(j, i, 1 if is_long(j) else -1, current_size[j], trade_price, com)
        current_margin[j] = margin
        acct["equity"] -= com
        acct["cash"] = acct["cash"] - (com + margin)
        acct["fee"] += com
        position[j] = direction[j]
        entry_price[j] = trade_price
        in_position[j] = 1
        hold_bars[j] = 0
        if not sl_active:
            sl_price[j] = sl_ref_price[j] = sl_distance[j] = 0.0
        else:
            sl_ref_price[j] = trade_price
            sl_distance[j] = (stop_distance(trade_price, sl_stop, stop_mode, price_tick_list[j],
                                            current_size[j], volume_multiple_list[j])
                              if sl_stop > 0 else 0.0)
            sl_price[j] = (trade_price - sl_distance[j] if is_long(j)
                           else trade_price + sl_distance[j])
        acct["cum"] -= com
        if not tp_active:
            tp_price[j] = tp_distance[j] = 0.0
        else:
            tp_distance[j] = (stop_distance(trade_price, tp_stop, stop_mode, price_tick_list[j],
                                            current_size[j], volume_multiple_list[j])
                              if tp_stop > 0 else 0.0)
            tp_price[j] = (trade_price + tp_distance[j] if is_long(j)
                           else trade_price - tp_distance[j])

    def callback_args(i, j, current_price, ref, distance, block):
        return (i, int32(direction[j]), entry_price[j], current_price, ref, distance,
                price_tick_list[j], volume_multiple_list[j], current_size[j], list(block),
                len(block))

    def maintain(i, j, current_price, up=None, down=None):
        up = current_price if up is None else up
        down = current_price if down is None else down
        if sl_trail and sl_active:
            if is_long(j):
                if up > sl_ref_price[j]:
                    sl_ref_price[j] = up
            elif down < sl_ref_price[j]:
                sl_ref_price[j] = down
        if sl_callback is not None:
            d = sl_callback(*callback_args(i, j, current_price, sl_ref_price[j], sl_distance[j],
                                           sl_args))
            if d > 0:
                sl_distance[j] = d
                sl_price[j] = sl_ref_price[j] - d if is_long(j) else sl_ref_price[j] + d
        if sl_stop > 0 and sl_callback is None and sl_trail:
            sl_distance[j] = stop_distance(sl_ref_price[j], sl_stop, stop_mode,
                                           price_tick_list[j], current_size[j],
                                           volume_multiple_list[j])
            sl_price[j] = (sl_ref_price[j] - sl_distance[j] if is_long(j)
                           else sl_ref_price[j] + sl_distance[j])
        if tp_callback is not None and tp_price[j] > 0:
            # Without an active stop-loss, the reference is the entry fill.
            ref = sl_ref_price[j] if sl_active else entry_price[j]
            d = tp_callback(*callback_args(i, j, current_price, ref, tp_distance[j], tp_args))
            if d > 0:
                tp_distance[j] = d
                tp_price[j] = ref + d if is_long(j) else ref - d

    def bar_stop(i, j, at_open=False):
        """The stop bar i fills, as (price before slippage, reason), or None;
        `at_open`: the bar's open only."""
        o, h, lo = as_double(open[i, j]), as_double(high[i, j]), as_double(low[i, j])
        if at_open:
            h = lo = o
        sl_on = sl_active and sl_price[j] > 0
        tp_on = tp_active and tp_price[j] > 0
        sl, tp = sl_price[j], tp_price[j]
        if is_long(j):
            gap_sl, gap_tp, hit_sl, hit_tp = o <= sl, o >= tp, lo <= sl, h >= tp
        else:
            gap_sl, gap_tp, hit_sl, hit_tp = o >= sl, o <= tp, h >= sl, lo <= tp
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

    def hold(i, j, current_price, pnl):
        hold_bars[j] += 1
        if open is not None:
            hold_on_bar(i, j, current_price, pnl)
            return
        maintain(i, j, current_price)
        closed = False
        if sl_active and sl_price[j] > 0:
            if is_long(j):
                if current_price <= sl_price[j]:
                    fill = sl_price[j] - slip_point if slip_point > 0 else sl_price[j]
                    close_out(i, j, fill, pnl, STOP_LOSS)
                    closed = True
            elif current_price >= sl_price[j]:
                fill = sl_price[j] + slip_point if slip_point > 0 else sl_price[j]
                close_out(i, j, fill, pnl, STOP_LOSS)
                closed = True
        if not closed and tp_active and tp_price[j] > 0:
            if is_long(j):
                if current_price >= tp_price[j]:
                    fill = tp_price[j] - slip_point if slip_point > 0 else tp_price[j]
                    close_out(i, j, fill, pnl, TAKE_PROFIT)
                    closed = True
            elif current_price <= tp_price[j]:
                fill = tp_price[j] + slip_point if slip_point > 0 else tp_price[j]
                close_out(i, j, fill, pnl, TAKE_PROFIT)
                closed = True

        def market_fill():
            if slip_point > 0:
                return current_price - slip_point if is_long(j) else current_price + slip_point
            return current_price

        if not closed:
            market_exits(i, j, current_price, pnl)

    def stop_on_bar(i, j, pnl, at_open=False):
        hit = bar_stop(i, j, at_open)
        if hit is not None:
            fill, reason = hit
            if slip_point > 0:
                fill = fill - slip_point if is_long(j) else fill + slip_point
            close_out(i, j, fill, pnl, reason)
        return hit is not None

    def after_open(i, j, pnl):
        before = pnl[j]
        if stop_on_bar(i, j, pnl):
            pnl[j] = before + pnl[j]
            return
        maintain(i, j, as_double(close[i, j]), up=as_double(high[i, j]),
                 down=as_double(low[i, j]))

    def hold_on_bar(i, j, current_price, pnl):
        if stop_on_bar(i, j, pnl, at_open=fill_at == "open"):
            return
        market_exits(i, j, current_price, pnl)
        if fill_at == "open":
            if in_position[j]:
                after_open(i, j, pnl)
            return
        if in_position[j] and hold_bars[j] > 0:
            maintain(i, j, as_double(close[i, j]), up=as_double(high[i, j]),
                     down=as_double(low[i, j]))

    def market_exits(i, j, current_price, pnl):
        def market_fill():
            if slip_point > 0:
                return current_price - slip_point if is_long(j) else current_price + slip_point
            return current_price

        if max_hold_bars > 0 and hold_bars[j] >= max_hold_bars:
            close_out(i, j, market_fill(), pnl, HOLDING_LIMIT)
            return
        was_long = is_long(j)
        x = exits[i, j]
        if x != 0:
            if (direction[j] == 1 and x == -1) or (direction[j] == -1 and x == 1):
                close_out(i, j, market_fill(), pnl, EXIT_SIGNAL)
        if opposite_entry == "reverse":
            e = entries[i, j]
            if e == (-1 if was_long else 1):
                if in_position[j]:
                    close_out(i, j, market_fill(), pnl, REVERSAL)
                direction[j] = e
                enter(i, j, current_price)

    for i in range(n):
        pnl = [0.0] * m
        for j in range(m):
            if i >= min_start_length - 1:
                current_price = as_double(prices[i, j])
                if not in_position[j]:
                    e = entries[i, j]
                    if e != 0:
                        direction[j] = e
                        enter(i, j, current_price)
                        if fill_at == "open" and in_position[j]:
                            after_open(i, j, pnl)
                else:
                    hold(i, j, current_price, pnl)
            rows[j].append([acct["equity"], float(position[j]), current_size[j], pnl[j],
                            acct["cum"], acct["fee"]])
        if recorder is not None:
            recorder.bar_end(acct["equity"], acct["fee"], lambda j: as_double(close[i, j]),
                             volume_multiple_list)
    return [np.array(r, dtype=np.float64).reshape(n, 6) for r in rows]


def from_signals_recorded(close, entries, exits, **kwargs):
    """(histories, record): from_signals with its trade record, a dict of
    "trades" (one dict per accepted entry, in entry order), "refused" (per
    contract), "equity" and "value" (per bar) and "total_fee"."""
    recorder = Recorder(close.shape[1])
    histories = from_signals(close, entries, exits, recorder=recorder, **kwargs)
    return histories, recorder.record()


def invariants_hold(result, init_cash, margins=None):
    """total_equity == init_cash + cum_profit on every row."""
    init_cash = f32(init_cash)
    return all(
        all(row[0] == init_cash + row[4] for row in r.tolist()) for r in result
    )


def isnan(x):
    return isinstance(x, float) and math.isnan(x)
