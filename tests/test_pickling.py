"""The functions pickle by reference (the name of a global in their module),
so process pools and distributed schedulers can ship them and copies of
objects holding them work."""

import copy
import pickle
import subprocess
import sys

import pytest

from quorra.accel import holdreturn, solosim, spreadsim

FUNCTIONS = [holdreturn.calc_holdreturn, holdreturn.calc_single_holdreturn,
             solosim.calculate_size, solosim.calculate_commission, solosim.from_signals,
             spreadsim.calculate_size, spreadsim.pair_from_signals]


@pytest.mark.parametrize("f", FUNCTIONS, ids=lambda f: f"{f.__module__}.{f.__name__}")
def test_round_trip_gives_the_function_itself(f):
    for protocol in range(pickle.HIGHEST_PROTOCOL + 1):
        assert pickle.loads(pickle.dumps(f, protocol)) is f
    assert copy.copy(f) is f
    assert copy.deepcopy(f) is f
    assert copy.deepcopy({"run": [f]})["run"][0] is f


def test_loads_in_a_fresh_interpreter():
    blob = pickle.dumps([solosim.from_signals, spreadsim.calculate_size])
    code = ("import pickle, sys; fs = pickle.loads(sys.stdin.buffer.read()); "
            "print(fs[0].__module__, fs[0].__name__, fs[1](100.0, 2.0, 0, 0.0, 0.1, 5.0))")
    out = subprocess.run([sys.executable, "-c", code], input=blob, capture_output=True,
                         check=True).stdout.decode()
    assert out.split() == ["quorra.accel.solosim", "from_signals", "2.0"]


def test_a_function_no_longer_bound_in_its_module_is_refused(monkeypatch):
    own = solosim.calculate_size
    monkeypatch.setattr(solosim, "calculate_size", spreadsim.calculate_size)
    with pytest.raises(pickle.PicklingError):
        pickle.dumps(own)
