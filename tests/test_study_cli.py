"""The main job's sweep: its section of the output, --workers, --scheduler and
the best run's figure with --plot."""

import subprocess
import sys

import pytest

pd = pytest.importorskip("pandas")
from quorra.accel import demo  # noqa: E402
from test_report import run_cli, sample_csv  # noqa: E402

TITLE = "Sweep of the crossover over 12 window pairs (fast x slow), "


def sweep_section(stdout):
    """The sweep's output without its title and underline (they say where it ran)."""
    start = stdout.index(TITLE)
    return stdout[stdout.index("\n", stdout.index("\n", start) + 1):]


@pytest.fixture(scope="module")
def default_run():
    r = run_cli()
    assert r.returncode == 0, r.stderr
    return r


def test_the_sweep_prints_top_five_best_stats_and_first_trades(default_run):
    out = default_run.stdout
    assert TITLE + "on " in out and "local thread(s)" in out
    section = sweep_section(out)
    top = section.split("Top five by total return:\n")[1].split("\n\n")[0].splitlines()
    assert top[0].split()[:4] == ["fast", "slow", "Total", "Return"]
    rows = [line.split() for line in top[1:]]
    assert len(rows) == 5
    returns = [float(r[2].replace(",", "")) for r in rows]
    assert returns == sorted(returns, reverse=True)
    fast, slow = rows[0][:2]
    assert f"Statistics of the best run (fast {fast}, slow {slow}):" in section
    stats = section.split("Statistics of the best run")[1].split("\n\n")[0].splitlines()[1:]
    from quorra.accel import study
    assert [line[:len(k)] for line, k in zip(stats, study.STATS)] == list(study.STATS)
    assert len(stats) == len(study.STATS)
    trades = section.split("First trades of the best run:\n")[1].split("\n\n")[0].splitlines()
    assert trades[0].split() == demo.TRADE_COLUMNS
    assert 1 < len(trades) <= 9


def test_the_study_ends_with_a_walk_forward_of_the_sweep(default_run):
    out = default_run.stdout
    walk = out[out.index("Walk-forward of the sweep: 7 folds"):]
    assert out.index("Walk-forward of the sweep") > out.index("First trades of the best run")
    rows = walk.split("\n\n")[0].splitlines()[3:]
    assert [r.split()[0] for r in rows] == [str(k) for k in range(7)]
    assert rows[0].split()[1] == "2018-01-23"  # bar 750 of the daily sample
    figures = walk.split("Out of sample, the folds chained:\n")[1].splitlines()
    assert [line.split("  ")[0].strip() for line in figures] == demo.WALK_FIGURES


def test_workers_choose_the_pool_and_not_the_table(default_run):
    r = run_cli("--workers", "1")
    assert r.returncode == 0, r.stderr
    assert TITLE + "on 1 local thread(s)" in r.stdout
    assert sweep_section(r.stdout) == sweep_section(default_run.stdout)
    assert r.stdout[:r.stdout.index(TITLE)] == default_run.stdout[:default_run.stdout.index(TITLE)]


def test_a_scheduler_address_runs_the_sweep_on_dask(default_run, dask_client):
    address = dask_client.scheduler.address
    r = run_cli("--scheduler", address)
    assert r.returncode == 0, r.stderr
    assert f"{TITLE}on the Dask scheduler at {address}" in r.stdout
    assert sweep_section(r.stdout) == sweep_section(default_run.stdout)


@pytest.mark.parametrize("args, text", [
    (["--workers", "0"], "must be a positive integer"),
    (["--workers", "two"], "must be a positive integer"),
    (["--workers", "2", "--scheduler", "tcp://127.0.0.1:1"], "not allowed with"),
])
def test_bad_sweep_options(args, text):
    r = run_cli(*args)
    assert r.returncode == 2 and text in r.stderr


def test_scheduler_without_dask_says_which_extra(monkeypatch, capsys):
    monkeypatch.setitem(sys.modules, "distributed", None)
    assert demo.main(["--scheduler", "tcp://127.0.0.1:1"]) == 2
    err = capsys.readouterr().err
    assert err.startswith("error: ") and "pip install 'quorra-accel[dask]'" in err


def test_help_lists_the_sweep_options():
    r = run_cli("--help")
    assert r.returncode == 0 and "--workers" in r.stdout and "--scheduler" in r.stdout


def test_plot_adds_the_best_runs_figure(tmp_path):
    pytest.importorskip("matplotlib")
    out = tmp_path / "demo.png"
    r = run_cli("--plot", str(out), "--workers", "2")
    assert r.returncode == 0, r.stderr
    best = tmp_path / "demo-sweep-best.png"
    assert out.read_bytes()[:8] == best.read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"
    assert f"Figure of the best sweep run saved to {best}" in r.stdout


def test_a_csv_sweep_runs_on_numbered_bars(tmp_path):
    r = run_cli("--csv", str(sample_csv(tmp_path / "bars.csv", 400)), "--workers", "1")
    assert r.returncode == 0, r.stderr
    section = sweep_section(r.stdout)
    assert "the bars carry no dates, so ratios are per bar" in section
    start = next(line for line in section.splitlines() if line.startswith("Start "))
    assert start.split() == ["Start", "0"]


def test_without_pandas_the_sweep_is_skipped_with_a_note():
    code = ("import sys; sys.modules['pandas'] = None\n"
            "from quorra.accel import demo\n"
            "sys.exit(demo.main([]))")
    r = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=300)
    assert r.returncode == 0, r.stderr
    assert "Holding returns of the crossover signals on A" in r.stdout and TITLE not in r.stdout
    assert "The sweep is skipped" in r.stderr and "pip install 'quorra-accel[study]'" in r.stderr


def test_report_writes_the_best_runs_page(tmp_path):
    pytest.importorskip("plotly")
    from test_study_html_report import cells

    out = tmp_path / "best.html"
    r = run_cli("--report", str(out), "--workers", "2")
    assert r.returncode == 0, r.stderr
    assert f"Report of the best sweep run written to {out}" in r.stdout
    from quorra.accel import sample
    bars = sample.sample_bars()
    table = demo.run_sweep(bars, True, 1, None, sample.sample_ohlc(len(bars["A"])))
    stats = table.best[0].stats()
    text = out.read_text(encoding="utf-8")
    shown = [exact for exact, _ in cells(text, "stats")]
    assert len(shown) == len(stats)
    assert float(shown[list(stats.index).index("Total Return [%]")]) == \
        stats["Total Return [%]"]
    assert f"fast = {table.best[0].params['fast']}" in text


@pytest.mark.parametrize("path", ["best.png", "best", "best.html.txt"])
def test_report_wants_an_html_path(tmp_path, path):
    r = run_cli("--report", str(tmp_path / path))
    assert r.returncode == 2 and "--report: must end in .html or .htm" in r.stderr


def test_report_without_plotly_names_the_extra(tmp_path, capsys, monkeypatch):
    monkeypatch.setitem(sys.modules, "plotly", None)
    monkeypatch.setitem(sys.modules, "plotly.graph_objects", None)
    assert demo.main(["--report", str(tmp_path / "r.html"), "--workers", "1"]) == 2
    err = capsys.readouterr().err
    assert "error: HTML reports need plotly: pip install 'quorra-accel[report]'" in err
    assert not (tmp_path / "r.html").exists()
