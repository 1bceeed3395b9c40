"""Import-time behaviour of the three extension modules.

Checks that need a fresh interpreter state run in a subprocess.
"""

import importlib
import subprocess
import sys
import textwrap

import numpy as np
import pytest

MODULES = ["holdreturn", "solosim", "spreadsim"]
FUNCTIONS = {
    "holdreturn": ["calc_holdreturn", "calc_single_holdreturn"],
    "solosim": ["calculate_commission", "calculate_size", "from_signals"],
    "spreadsim": ["calculate_size", "pair_from_signals"],
}


def run_fresh(code, extra_path=None):
    env = None
    if extra_path is not None:
        import os

        env = dict(os.environ, PYTHONPATH=extra_path)
    return subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code)],
        capture_output=True, text=True, env=env, timeout=120,
    )


@pytest.mark.parametrize("short", MODULES)
def test_module_namespace_after_import(short):
    mod = importlib.import_module(f"quorra.accel.{short}")
    assert mod.np is np
    assert sys.modules[f"quorra.accel.{short}"] is mod
    assert mod.__name__ == f"quorra.accel.{short}"
    names = [k for k in vars(mod) if not k.startswith("__")]
    assert names == ["np"] + FUNCTIONS[short]
    for name in FUNCTIONS[short]:
        f = getattr(mod, name)
        assert f.__name__ == name
        assert f.__qualname__ == name
        assert f.__module__ == f"quorra.accel.{short}"


def test_module_docstrings():
    from quorra.accel import holdreturn, solosim, spreadsim

    assert "持有" in holdreturn.__doc__
    assert solosim.__doc__ is None and spreadsim.__doc__ is None
    assert solosim.calculate_size.__doc__ is None
    assert solosim.calculate_commission.__doc__ is None
    assert solosim.from_signals.__doc__ is None
    for f in (holdreturn.calc_holdreturn, holdreturn.calc_single_holdreturn,
              spreadsim.pair_from_signals):
        assert isinstance(f.__doc__, str) and f.__doc__.strip()


@pytest.mark.parametrize("short", MODULES)
def test_reimport_after_removal_gives_the_same_object(short):
    result = run_fresh(f"""
        import importlib, sys
        name = "quorra.accel.{short}"
        first = importlib.import_module(name)
        before = dict(vars(first))
        assert importlib.import_module(name) is first
        del sys.modules[name]
        again = importlib.import_module(name)
        assert again is first
        assert dict(vars(again)) == before
        print("ok")
    """)
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip() == "ok"


@pytest.mark.parametrize("short", MODULES)
def test_second_module_object_cannot_be_executed(short):
    result = run_fresh(f"""
        import _imp, importlib.util
        spec = importlib.util.find_spec("quorra.accel.{short}")
        a = _imp.create_dynamic(spec)
        b = _imp.create_dynamic(spec)
        assert a is not b
        _imp.exec_dynamic(a)
        try:
            _imp.exec_dynamic(b)
        except RuntimeError as e:
            print(e)
    """)
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip() == (
        f"Module '{short}' has already been imported. Re-initialisation is not supported.")


@pytest.mark.parametrize("short", MODULES)
def test_import_in_a_subinterpreter_fails(short):
    result = run_fresh(f"""
        import _xxsubinterpreters as interpreters
        import quorra.accel.{short}
        interp = interpreters.create(isolated=False)
        try:
            interpreters.run_string(interp, "import quorra.accel.{short}")
        except Exception as e:
            print(type(e).__name__, e)
    """)
    assert result.returncode == 0, result.stderr
    assert ("ImportError'>: Interpreter change detected - this module can only be loaded "
            "into one interpreter per process.") in result.stdout


def test_missing_numpy_api_fails_the_import_and_can_be_retried(tmp_path):
    fake = tmp_path / "numpy"
    fake.mkdir()
    (fake / "__init__.py").write_text("")
    result = run_fresh(f"FAKE = {str(tmp_path)!r}\n" + textwrap.dedent("""
        import sys
        try:
            import quorra.accel.holdreturn
        except ImportError as e:
            print(e)
        assert "quorra.accel.holdreturn" not in sys.modules
        for name in [n for n in sys.modules if n == "numpy" or n.startswith("numpy.")]:
            del sys.modules[name]
        sys.path[:] = [p for p in sys.path if p != FAKE]
        import quorra.accel.holdreturn as h
        import numpy
        assert h.np is numpy
        print("retry ok")
    """), extra_path=str(tmp_path))
    assert result.returncode == 0, result.stderr
    lines = result.stdout.strip().splitlines()
    assert lines[0] == (
        "numpy.core.multiarray failed to import (auto-generated because you didn't call "
        "'numpy.import_array()' after cimporting numpy; use '<void>numpy._import_array' to "
        "disable if you are certain you don't need it).")
    assert lines[1] == "retry ok"
