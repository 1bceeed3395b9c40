"""Fuzz target: random argument lists for every public function of the four
modules, and re-imports of the modules.

Each input is decoded into one call: which function, which positional and
keyword arguments (valid settings mutated a little, or arbitrary values:
wrong types, objects whose __float__/__int__/__index__/__eq__/__len__ raise or
misbehave, object arrays, zero-size arrays, huge zero-stride virtual arrays,
non-contiguous, read-only, unaligned and byte-swapped views, wrong
dimensions), and sometimes a replaced module attribute (calculate_size,
calculate_commission, calc_holdreturn, np) that raises, returns non-numbers,
resizes an input or calls the engine again, or a replaced constructor of
numpy itself (numpy.empty, zeros, array, asarray) that returns a short
array, another dtype or layout, or raises. Any Python exception is a valid
outcome; a crash or a sanitizer report is a finding.

Run it with tools/sanitize.sh --fuzz SECONDS (or --fuzz-only SECONDS to
reuse the fuzz build in .venv-fuzz): the modules are built with clang's
coverage instrumentation and the sanitizers, and atheris's runtime carrying
libFuzzer and the sanitizers is preloaded, so libFuzzer is guided by the
native code's coverage. Only the native code is instrumented: the features
libFuzzer counts are the modules' own. Run by hand, it takes libFuzzer's
options (-max_total_time=N, -runs=N, -seed=N, corpus directories, an input
file to replay); the seed corpus is fuzz/corpus/ (fuzz/make_corpus.py).
"""

import contextlib
import importlib
import io
import sys
import warnings

import atheris
import fuzz_values
import numpy as np

from quorra.accel import holdreturn, ledger, solosim, spreadsim

MODULES = {"holdreturn": holdreturn, "solosim": solosim, "spreadsim": spreadsim,
           "ledger": ledger}

FROM_SIGNALS = ["close", "entries", "exits", "size", "size_type", "margin_rate", "price_tick",
                "volume_multiple", "prices", "min_start_length", "init_cash", "commission",
                "com_type", "slip_point", "sl_stop", "tp_stop", "stop_mode", "sl_trail",
                "sl_callback_addr", "tp_callback_addr", "sl_callback_args", "tp_callback_args",
                "max_hold_bars"]
PAIR_FROM_SIGNALS = ["close", "entries", "exits", "size", "size_type", "margin_rate",
                     "price_tick", "volume_multiple", "prices", "min_start_length", "init_cash",
                     "commission", "com_type", "slip_point", "sl_stop", "tp_stop", "stop_mode",
                     "sl_trail", "max_hold_bars", "leg_size_ratio"]
LEDGER_KEYWORDS = ["histories", "open", "high", "low", "both_hit", "opposite_entry", "fill_at"]

# (module, function name, parameter names, required count)
TARGETS = [
    ("holdreturn", "calc_holdreturn", ["signals", "close", "bars"], 3),
    ("holdreturn", "calc_single_holdreturn", ["signal", "close", "bar_hold"], 3),
    ("solosim", "calculate_size",
     ["close_price", "size", "size_type", "init_cash", "margin_rate", "volume_multiple"], 6),
    ("solosim", "calculate_commission",
     ["price", "size", "volume_multiple", "commission", "com_type", "price_tick"], 6),
    ("solosim", "from_signals", FROM_SIGNALS, 3),
    ("spreadsim", "calculate_size",
     ["close_price", "size", "size_type", "init_cash", "margin_rate", "volume_multiple"], 6),
    ("spreadsim", "pair_from_signals", PAIR_FROM_SIGNALS, 3),
    # The ledger's are the engines' with the keyword-only ones after them.
    ("ledger", "solo", FROM_SIGNALS + LEDGER_KEYWORDS, 3),
    ("ledger", "pair", PAIR_FROM_SIGNALS + LEDGER_KEYWORDS, 3),
]

# The functions themselves, whatever the module attributes are rebound to.
FUNCTIONS = {(short, name): getattr(MODULES[short], name) for short, name, _, _ in TARGETS}

# Module attributes a call may find replaced.
REPLACEABLE = {
    "holdreturn": ["calc_holdreturn", "np"],
    "solosim": ["calculate_size", "calculate_commission", "np"],
    "spreadsim": ["calculate_size", "np"],
    "ledger": ["np"],
}
# numpy's own constructors a call may find rebound (by the caller's code or
# a test's monkeypatch): results made through the C API must not notice.
NUMPY_REPLACEABLE = ["empty", "zeros", "array", "asarray"]


@contextlib.contextmanager
def replaced(module, name, value):
    missing = object()
    old = module.__dict__.get(name, missing)
    if value is fuzz_values.DELETED:
        module.__dict__.pop(name, None)
    else:
        setattr(module, name, value)
    try:
        yield
    finally:
        if old is missing:
            module.__dict__.pop(name, None)
        else:
            module.__dict__[name] = old


def reimport(fdp):
    """Drops a module from sys.modules and imports it again: the same object
    must come back, and it must still work."""
    short = fdp.PickValueInList(list(MODULES))
    full = f"quorra.accel.{short}"
    before = MODULES[short]
    sys.modules.pop(full, None)
    if fdp.ConsumeBool():
        sys.modules.pop("quorra.accel", None)
    again = importlib.import_module(full)
    if again is not before:
        raise AssertionError(f"re-import of {full} gave a new module object")
    sys.modules["quorra.accel"].__dict__.setdefault(short, again)


def one_call(fdp, called=None):
    """Decodes and makes one call; its function's name goes to `called`."""
    short, name, params, required = TARGETS[fdp.ConsumeIntInRange(0, len(TARGETS) - 1)]
    if called is not None:
        called.append(f"{short}.{name}")
    module = MODULES[short]
    gen = fuzz_values.Values(fdp, call_engine=lambda: one_call(fdp))
    args, kwargs = gen.arguments(name, params, required)
    with contextlib.ExitStack() as stack:
        for _ in range(fdp.ConsumeIntInRange(0, 3) // 2):
            attr = fdp.PickValueInList(REPLACEABLE[short])
            stack.enter_context(replaced(module, attr, gen.replacement(attr)))
        if fdp.ConsumeIntInRange(0, 3) == 3:
            attr = fdp.PickValueInList(NUMPY_REPLACEABLE)
            stack.enter_context(replaced(np, attr, gen.wrong_constructor()))
        FUNCTIONS[short, name](*args, **kwargs)


def run_input(data):
    """Decodes `data` into one call (or re-import) and makes it. Returns the
    outermost function's name (or "reimport") and the exception raised, or
    None."""
    fdp = atheris.FuzzedDataProvider(data)
    sink = io.StringIO()
    called = ["reimport"]
    with warnings.catch_warnings(), contextlib.redirect_stderr(sink):
        warnings.simplefilter("error" if fdp.ConsumeIntInRange(0, 7) == 7 else "ignore")
        try:
            if fdp.ConsumeIntInRange(0, 31) == 31:
                reimport(fdp)
            else:
                called.clear()
                one_call(fdp, called)
        except AssertionError:
            raise
        except Exception as exc:
            return called[0], exc  # any exception is a clean outcome
    return called[0], None


def test_one_input(data):
    run_input(data)


def prepare():
    """Interpreter settings the calls run under."""
    sys.setrecursionlimit(200)
    sys.unraisablehook = lambda unraisable: None


def main():
    prepare()
    atheris.Setup(sys.argv, test_one_input)
    atheris.Fuzz()


if __name__ == "__main__":
    main()
