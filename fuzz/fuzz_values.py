"""The values the fuzz target builds its calls from, decoded from the fuzzer's
bytes: numbers at the edges, misbehaving objects, arrays in every layout, and
replacements for module attributes."""

import ctypes
import types
import warnings

import numpy as np
from numpy.lib.stride_tricks import as_strided

DELETED = object()  # a module attribute removed for the call
# numpy's own constructors, for the stand-ins to use while numpy's names are
# rebound to them.
REAL_ZEROS = np.zeros

EDGE_FLOATS = [0.0, -0.0, 1.0, -1.0, 2.0, 0.5, -0.5, 0.1, 100.0, 1e-200, 5e-324, 1e300,
               3.4e38, 3.5e38, 2.0**31, -2.0**31 - 1, float("nan"), float("inf"),
               float("-inf")]
EDGE_INTS = [0, 1, -1, 2, 3, 5, 100, 2**31 - 1, 2**31, -2**31, -2**31 - 1, 2**63 - 1, 2**63,
             -2**63, 2**64, 10**30]
HUGE_EXTENTS = [2**31, 2**31 + 1, 2**40, 2**62]
F8_MOSTLY = ["f8"] * 12 + ["f4", "i8", "?", ">f8", "O"]
DTYPES = ["f8", "f8", "f8", "f4", "f2", "i8", "i4", "i2", "i1", "u8", "u1", "?", "c16", "O",
          ">f8", "<f8", "M8[s]", "U3", "V8"]


# The native stop callback type of solosim.from_signals.
STOP_CALLBACK = ctypes.CFUNCTYPE(ctypes.c_double, ctypes.c_int64, ctypes.c_int64, ctypes.c_double,
                                 ctypes.c_double, ctypes.c_double, ctypes.c_double,
                                 ctypes.c_double, ctypes.c_double, ctypes.c_double,
                                 ctypes.POINTER(ctypes.c_double), ctypes.c_int64)
CALLBACK_ADDRESSES = ("sl_callback_addr", "tp_callback_addr")


class Fail(Exception):
    pass


class Raises:
    """Every conversion and comparison raises."""

    def _fail(self, *_):
        raise Fail("raised on purpose")

    __float__ = __int__ = __index__ = __bool__ = __len__ = __iter__ = _fail
    __eq__ = __ne__ = __lt__ = __gt__ = __le__ = __ge__ = __getitem__ = _fail
    __hash__ = object.__hash__


class WrongResults:
    """Conversions return the wrong types."""

    def __float__(self):
        return 1

    def __int__(self):
        return 1.5

    def __index__(self):
        return "1"

    def __eq__(self, other):
        return Raises()

    __ne__ = __lt__ = __gt__ = __eq__
    __hash__ = object.__hash__

    def __len__(self):
        return -1

    def __iter__(self):
        return 5


class IntSub(int):
    pass


class FloatSub(float):
    pass


class StrSub(str):
    pass


class ListSub(list):
    pass


class TupleSub(tuple):
    pass


class ArraySub(np.ndarray):
    """An ndarray subclass whose indexing goes through Python."""

    def __getitem__(self, key):
        return np.ndarray.__getitem__(self, key)


class LyingLength:
    """Claims five elements, has fewer."""

    def __len__(self):
        return 5

    def __getitem__(self, i):
        if i >= 1:
            raise IndexError(i)
        return 1.0

    def __iter__(self):
        return iter([1.0])


class Meddler:
    """A number whose conversions and comparisons first run `action`."""

    def __init__(self, value, action):
        self.value = value
        self.action = action

    def _act(self):
        self.action()

    def __float__(self):
        self._act()
        return float(self.value)

    def __int__(self):
        self._act()
        return int(self.value)

    def __index__(self):
        self._act()
        return int(self.value)

    def __eq__(self, other):
        self._act()
        return self.value == other

    def __ne__(self, other):
        self._act()
        return self.value != other

    def __gt__(self, other):
        self._act()
        return self.value > other

    def __lt__(self, other):
        self._act()
        return self.value < other

    __hash__ = object.__hash__


class Values:
    """Decodes values from a FuzzedDataProvider. Arrays and lists it makes
    are remembered, so a misbehaving object can meddle with them mid-call."""

    def __init__(self, fdp, call_engine):
        self.fdp = fdp
        self.call_engine = call_engine
        self.made = []
        self.callbacks = []  # kept alive for the call

    def pick(self, n):
        return self.fdp.ConsumeIntInRange(0, n - 1)

    def choice(self, seq):
        return seq[self.pick(len(seq))]

    # ---- meddling ----

    def meddle(self):
        """Does one disruptive thing to something made for this call."""
        how = self.pick(9)
        if how == 8:
            self.call_engine()
            return
        if not self.made:
            return
        target = self.choice(self.made)
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            if isinstance(target, list):
                if 1 <= how < 4:
                    target.clear()
                else:
                    target.append(self.scalar())
            elif isinstance(target, np.ndarray):
                # NumPy's own resize of an object array with refcheck=False
                # can crash NumPy itself; only plain arrays are resized.
                if how < 5 and target.dtype.kind != "O":
                    target.resize((self.pick(4) * 1000,), refcheck=False)
                elif how == 5:
                    target.shape = (target.size,)
                elif how == 6:
                    target.dtype = np.uint8
                elif how == 7 and target.flags.writeable and target.size:
                    target.flat[0] = np.nan if target.dtype.kind in "fc" else 0
                else:
                    target.setflags(write=False)

    def meddler(self, value):
        return Meddler(value, self.meddle)

    # ---- scalars ----

    def number(self, kind="any"):
        k = self.pick(10)
        if kind == "price" and k < 6:
            return float(self.choice([100.0, 101.5, 99.0, 50.0, 4000.0, 1.0]) + self.pick(50))
        if kind == "signal" and k < 6:
            return self.choice([0.0, 0.0, 0.0, 1.0, -1.0, 2.0, 0.5, -0.5, float("nan"),
                                float("inf"), float("-inf")])
        if k < 5:
            return self.choice(EDGE_FLOATS)
        if k < 8:
            return self.choice(EDGE_INTS)
        return float(self.fdp.ConsumeRegularFloat())

    def scalar(self):
        k = self.pick(24)
        if k < 6:
            return self.number()
        if k < 8:
            return self.choice([None, True, False, "", "1.5", "abc", "nan", b"2", bytearray(b"3")])
        if k == 8:
            return Raises()
        if k == 9:
            return WrongResults()
        if k == 10:
            return IntSub(self.choice(EDGE_INTS))
        if k == 11:
            return FloatSub(self.choice(EDGE_FLOATS))
        if k == 12:
            return StrSub("1")
        if k == 13:
            return self.meddler(self.number())
        if k == 14:
            dtype = self.choice(["f8", "f4", "f2", "i8", "i4", "u8", "u1", "?", "c16"])
            with warnings.catch_warnings():
                warnings.simplefilter("ignore")
                return np.array(self.number()).astype(dtype)[()]
        if k == 15:
            return LyingLength()
        if k == 16:
            return [self.number() for _ in range(self.pick(4))]
        if k == 17:
            return tuple(self.number() for _ in range(self.pick(4)))
        if k == 18:
            return self.array((self.pick(4),))
        if k == 19:
            return {1: 2}
        if k == 20:
            return iter([self.number()])
        if k == 21:
            return ListSub([self.number()])
        if k == 22:
            return TupleSub((self.number(),))
        return object()

    def any(self):
        k = self.pick(6)
        if k == 0:
            return self.array(tuple(self.pick(4) for _ in range(self.pick(4))))
        return self.scalar()

    # ---- arrays ----

    def array(self, shape, kind="signal", dtypes=DTYPES, huge=False):
        """An array of `shape` (usually) in a drawn dtype and layout; with
        `huge`, possibly a huge virtual one (only where the engines index
        the array: settings iterate every element of theirs)."""
        size = 1
        for d in shape:
            size *= d
        if size > 4096:  # only virtual arrays are this large
            return as_strided(np.array([self.number(kind)]), shape=shape,
                              strides=(0,) * len(shape), writeable=False)
        values = [self.number(kind) for _ in range(min(size, 64))]
        values += [values[i % len(values)] for i in range(size - len(values))] if values else []
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            base = np.array(values, dtype=np.float64).reshape(shape)
            dtype = self.choice(dtypes)
            try:
                arr = base.astype(dtype)
            except (TypeError, ValueError):
                arr = base
            if dtype == "O" and arr.size and self.pick(3) == 0:
                arr.flat[self.pick(arr.size)] = self.scalar()
            return self.layout(arr, huge)

    def layout(self, arr, huge):
        k = (self.pick(14) + 13) % 14  # running out of data gives 13: as it is
        if k == 0 and arr.ndim >= 1:
            # Every second element of a twice as long array.
            big = np.repeat(arr, 2, axis=0)
            arr = big[::2]
        elif k == 1 and arr.ndim >= 1:
            arr = arr[::-1]
        elif k == 2:
            arr = np.asfortranarray(arr)
        elif k == 3:
            arr = arr.copy()
            arr.setflags(write=False)
        elif k == 4 and arr.dtype.kind in "fiub" and arr.ndim >= 1:
            # Unaligned: a field of a packed record array.
            rec = np.zeros(arr.shape, dtype=[("pad", "u1"), ("v", arr.dtype)])
            rec["v"] = arr
            arr = rec["v"]
        elif k == 5 and arr.dtype.kind in "fiu":
            arr = arr.astype(arr.dtype.newbyteorder())
        elif k == 6:
            arr = arr.view(ArraySub)
        elif k == 7 and huge:
            # A huge virtual array: one element repeated by zero strides.
            ndim = max(arr.ndim, 1)
            shape = tuple(self.choice(HUGE_EXTENTS) if d == 0 or self.pick(2) else 2
                          for d in range(ndim))
            arr = as_strided(np.array([arr.flat[0] if arr.size else 0.0], dtype=arr.dtype),
                             shape=shape, strides=(0,) * ndim, writeable=False)
        elif k == 8:
            arr = arr.reshape((0,) + arr.shape[1:]) if arr.size == 0 else arr[:0]
        elif k == 9:
            arr = arr.reshape(arr.shape + (1,))
        elif k == 10 and arr.ndim >= 1:
            arr = arr[0] if arr.shape[0] else arr
        elif k == 11:
            # A view over a memoryview of another array.
            arr = np.asarray(memoryview(np.ascontiguousarray(arr))) if arr.dtype.kind != "O" else arr
        if arr.base is None or self.pick(2):
            self.made.append(arr)
        return arr

    # ---- calls ----

    def valid_settings(self, name):
        """A plausible full argument set for `name`."""
        n = self.pick(12)
        if name in ("calc_holdreturn", "calc_single_holdreturn"):
            first = "signals" if name == "calc_holdreturn" else "signal"
            bars = [self.choice([0, 1, 2, 3, 5, 20]) for _ in range(self.pick(4))]
            self.made.append(bars)
            return {first: self.array((n,), dtypes=F8_MOSTLY, huge=True),
                    "close": self.array((n,), "price", F8_MOSTLY, huge=True),
                    "bars" if name == "calc_holdreturn" else "bar_hold":
                        bars if name == "calc_holdreturn" else self.choice([0, 1, 3, 2.9])}
        if name in ("calculate_size", "calculate_commission"):
            first = "close_price" if name == "calculate_size" else "price"
            kind = "size_type" if name == "calculate_size" else "com_type"
            return {first: self.number("price"), "size": self.choice([1.0, 0.5, 10000.0, 3]),
                    kind: self.pick(5) - 1, "init_cash": self.choice([1e5, 0.0, 1e300]),
                    "margin_rate": self.choice([0.1, 0.0, 1e-300]),
                    "volume_multiple": self.choice([10.0, 5.0, 0.0]),
                    "commission": self.choice([2.0, 0.0001, -1.0]),
                    "price_tick": self.choice([1.0, 0.2])}
        if name in ("solo", "pair"):
            return self.ledger_settings(name)
        if name == "from_signals":
            m = self.pick(4)
            shape = (n, m)
            settings = {"close": self.array(shape, "price", huge=True),
                        "entries": self.array(shape, huge=True),
                        "exits": self.array(shape, huge=True)}
        else:
            settings = {"close": self.array((n, 2), "price", huge=True),
                        "entries": self.array((n,), huge=True),
                        "exits": self.array((n,), huge=True)}
        settings.update({
            "size": self.choice([1.0, 2, 0.5, [1, 2, 3], (2.0,)]),
            "size_type": self.pick(5) - 1,
            "margin_rate": self.choice([0.1, [0.1, 0.2, 0.3], 0.0, (0.1,)]),
            "price_tick": self.choice([1.0, [1.0, 0.5, 2.0], 0.2]),
            "volume_multiple": self.choice([5.0, [5.0, 10.0, 1.0], 1e-200]),
            "min_start_length": self.choice([-5, 0, 1, 2, 3, 100]),
            "init_cash": self.choice([1e6, 60.0, 1e-50, 1e40]),
            "commission": self.choice([1.0, [1, 2, 3], 0.0001]),
            "com_type": self.pick(5) - 1,
            "slip_point": self.choice([0.0, 0.1, 0.5, -1.0, float("nan")]),
            "sl_stop": self.choice([0.0, 2.0, 0.02, 3000.0, float("nan")]),
            "tp_stop": self.choice([0.0, 3.0, 0.05]),
            "stop_mode": self.pick(5) - 1,
            "sl_trail": self.pick(2),
            "max_hold_bars": self.choice([0, 1, 2, 5, -1]),
        })
        for key in ("size", "margin_rate", "price_tick", "volume_multiple", "commission"):
            if isinstance(settings[key], list):
                self.made.append(settings[key])
        if name == "from_signals":
            settings["sl_callback_args"] = self.choice([(), (1, 2.5), ([1, 2], 3), None])
            settings["tp_callback_args"] = self.choice([(), (2.0,), None])
        else:
            settings["leg_size_ratio"] = self.choice([1.0, 2, [2, 3], (2,), None, "x"])
        if self.pick(3) == 0:
            settings["prices"] = self.array(settings["close"].shape, "price", huge=True)
        return settings

    def ledger_settings(self, name):
        """The engine's settings for the ledger, usually made to pass its
        checks (positive prices, signals -1/0/1, one number or one per
        contract), so that the runs get deep; `histories` either way."""
        settings = self.valid_settings("from_signals" if name == "solo" else "pair_from_signals")
        if self.pick(4):
            # (never a huge virtual array: the fixes would make it real)
            small = lambda a: isinstance(a, np.ndarray) and a.size <= 100_000  # noqa: E731
            for key in ("close", "prices"):
                if small(settings.get(key)) and settings[key].dtype.kind in "iuf":
                    with np.errstate(all="ignore"):
                        settings[key] = np.nan_to_num(np.abs(settings[key]), nan=1.0,
                                                      posinf=1e6) + 1.0
            for key in ("entries", "exits"):
                if small(settings[key]) and settings[key].dtype.kind in "biuf":
                    with np.errstate(all="ignore"):
                        settings[key] = np.sign(np.nan_to_num(settings[key]))
            for key in ("size", "margin_rate", "price_tick", "volume_multiple", "commission"):
                if isinstance(settings[key], (list, tuple)):
                    settings[key] = settings[key][0] if settings[key] else 1.0
            if name == "pair" and not isinstance(settings["leg_size_ratio"], (int, float)):
                settings["leg_size_ratio"] = self.choice([1.0, 2.0, [1.0, 3.0]])
        settings["histories"] = self.choice([False, True, 0, 1, Raises()])
        if self.pick(2):
            self.bar_settings(settings)
        return settings

    def bar_settings(self, settings):
        """Open, high and low around the close (usually consistent, now and
        then one of them off or missing), and the three choices, usually
        valid."""
        close = settings["close"]
        if isinstance(close, np.ndarray) and close.dtype.kind in "iuf" and close.size <= 100_000:
            with np.errstate(all="ignore"):
                c = close.astype(np.float64)
                o = c * (1.0 + (self.pick(5) - 2) * 1e-3)
                reach = np.abs(c) * self.choice([0.0, 1e-3, 0.05])
                bars = {"open": o, "high": np.maximum(o, c) + reach,
                        "low": np.minimum(o, c) - reach}
            k = self.pick(8)
            if k == 0:
                bars[self.choice(list(bars))] = self.any()
            elif k == 1:
                bars.pop(self.choice(list(bars)))
            for name, a in bars.items():
                settings[name] = self.layout(a, False) if isinstance(a, np.ndarray) else a
        settings["both_hit"] = self.choice(["stop_loss", "take_profit", "stop_loss", "x", None])
        settings["opposite_entry"] = self.choice(["ignore", "reverse", "reverse", b"reverse"])
        settings["fill_at"] = self.choice(["prices", "open", "open", 0])
        if settings["fill_at"] == "open" and self.pick(4):
            settings.pop("prices", None)

    def arguments(self, name, params, required):
        """Positional and keyword arguments for one call."""
        if self.pick(8) == 7:
            count = self.pick(len(params) + 3)
            return [self.free_value(params, i) for i in range(count)], {}
        settings = self.valid_settings(name)
        settings = {p: v for p, v in settings.items() if p in params}
        for p in params:
            if p not in settings and params.index(p) < required:
                settings[p] = self.number()
        for _ in range(max(0, self.pick(8) - 4)):
            settings[self.choice(params)] = self.any()
        for p in CALLBACK_ADDRESSES:
            if p in params and (p in settings or self.pick(2)):
                settings[p] = self.callback_address()
        ordered = [p for p in params if p in settings]
        n_positional = self.pick(len(ordered) + 1)
        # Positional arguments must form a prefix of the parameters.
        prefix = 0
        while prefix < n_positional and params[prefix] in settings:
            prefix += 1
        args = [settings[p] for p in params[:prefix]]
        kwargs = {p: settings[p] for p in ordered if params.index(p) >= prefix}
        k = self.pick(24)
        if k == 11:
            kwargs["no_such_parameter"] = 1
        elif k == 1 and args:
            kwargs[params[0]] = args[0]
        elif k == 2:
            args.append(self.free_value(params, len(args)))
        elif k == 3 and kwargs:
            kwargs.pop(next(iter(kwargs)))
        elif k == 4:
            kwargs = {StrSub(key): value for key, value in kwargs.items()}
        return args, kwargs

    def free_value(self, params, index):
        """Any value for the parameter at `index` (if there is one), but only
        callback addresses where an address goes."""
        if index < len(params) and params[index] in CALLBACK_ADDRESSES:
            return self.callback_address()
        return self.any()

    def callback_address(self):
        """A callback address argument: none, a ctypes callback that reads
        its block and may misbehave, or something that is no integer. Never
        an arbitrary integer: an address is trusted to be a callback."""
        k = self.pick(8)
        if k == 7:
            return self.choice([None, "1", 1.5j, Raises(), WrongResults(), [1]])
        if k < 3:
            return self.choice([0, False, IntSub(0)])
        result = self.number()
        action = self.pick(6)

        def callback(bar, direction, entry, price, ref, distance, tick, multiple, size, args,
                     n_args):
            values = [args[i] for i in range(n_args)]
            if action == 0:
                raise Fail("callback raised")
            if action == 1:
                self.meddle()
            if action == 2:
                return sum(values) + distance
            return result

        native = STOP_CALLBACK(callback)
        self.callbacks.append(native)
        return ctypes.cast(native, ctypes.c_void_p).value

    # ---- replaced module attributes ----

    def replacement(self, attr):
        if attr == "np":
            return self.fake_numpy()
        k = self.pick(12)
        if k == 11:
            return DELETED
        if k == 1:
            return 5  # not callable
        if k == 2:
            def raising(*args):
                raise Fail("replacement raised")
            return raising
        if k == 3:
            value = self.scalar()
            return lambda *args: value
        if k == 4:
            def recursing(*args):
                self.call_engine()
                return 1.0
            return recursing
        if k == 5:
            def meddling(*args):
                self.meddle()
                return 1.0
            return meddling
        if k == 6:
            return max
        if attr == "calc_holdreturn":
            results = [None, [], {"long_profits": 1}, {k: self.scalar() for k in (
                "long_profits", "short_profits", "signal_indices", "signal_directions",
                "cum_profit")}, types.MappingProxyType({})]
            value = self.choice(results)
            return lambda *args: value
        value = self.number()
        return lambda *args: value

    def fake_numpy(self):
        """A stand-in for a module's `np` whose zeros, array, asarray or
        atleast_1d return something other than what numpy would."""
        k = self.pick(4)
        if k == 3:
            return DELETED
        fake = types.SimpleNamespace(**{name: getattr(np, name) for name in (
            "zeros", "full", "nan", "float64", "asarray", "atleast_1d", "array", "ndarray")})
        if k == 1:
            del fake.float64
        setattr(fake, self.choice(["zeros", "array", "asarray", "atleast_1d", "full"]),
                self.wrong_constructor())
        return fake

    def wrong_constructor(self):
        """An array constructor (zeros, empty, array...) that returns
        something other than what numpy's would: a non-array, a short array,
        another dtype, byte order or layout, a read-only or unaligned array,
        or an exception."""
        return self.choice([
            lambda *a, **kw: None,
            lambda *a, **kw: [0.0] * 6,
            lambda shape, dtype=None: REAL_ZEROS(shape, dtype=np.float32),
            lambda shape, dtype=None: REAL_ZEROS(shape, dtype=">f8"),
            lambda shape, dtype=None: REAL_ZEROS(shape, order="F"),
            lambda shape, dtype=None: REAL_ZEROS(shape)[:1],
            lambda shape, dtype=None: REAL_ZEROS((2,) + np.atleast_1d(shape).tolist()[1:]),
            lambda shape, dtype=None: REAL_ZEROS(shape).view(ArraySub),
            lambda shape, dtype=None: self.read_only_zeros(shape),
            lambda shape, dtype=None: self.unaligned_zeros(shape),
            lambda *a, **kw: self.raise_fail(),
            lambda *a, **kw: self.array((self.pick(4), self.pick(8))),
        ])

    @staticmethod
    def raise_fail():
        raise Fail("fake numpy")

    @staticmethod
    def read_only_zeros(shape):
        arr = REAL_ZEROS(shape)
        arr.setflags(write=False)
        return arr

    @staticmethod
    def unaligned_zeros(shape):
        rec = REAL_ZEROS(shape, dtype=[("pad", "u1"), ("v", "f8")])
        return rec["v"]
