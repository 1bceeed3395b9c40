"""The HTML reports in a real browser: headless Chromium with the network
off loads each report; its figures render (plotly's SVG is in the page), it
logs no error, asks for nothing outside the file, and the statistics table
shows the stats() values. Skips without chromium, except in CI."""

import os

import numpy as np
import pytest

pd = pytest.importorskip("pandas")
pytest.importorskip("plotly")
import browser_support  # noqa: E402
from quorra.accel import study  # noqa: E402
from quorra.accel.study import html_report  # noqa: E402
from test_study_html_report import StandIn, flips  # noqa: E402
from test_study_html_report import close  # noqa: E402,F401 (a fixture)

if browser_support.CHROMIUM is None:
    if os.environ.get("CI"):
        pytest.fail("CI must run the browser tests: chromium is not installed", pytrace=False)
    pytest.skip("chromium is not installed", allow_module_level=True)

READY = "document.querySelectorAll('.js-plotly-plot').length > 0 && " \
        "Array.from(document.querySelectorAll('.js-plotly-plot')).every(" \
        "d => d.querySelector('svg.main-svg'))"

# What the page shows once rendered: per figure its SVG layers and drawn
# traces; the statistics table's rows.
SEEN = """(function () {
  var figures = Array.from(document.querySelectorAll('.js-plotly-plot')).map(function (d) {
    return {svg: d.querySelectorAll('svg.main-svg').length,
            traces: d.querySelectorAll('.scatterlayer .trace, .heatmaplayer .hm').length,
            menus: d.querySelectorAll('.updatemenu-container').length};
  });
  var stats = Array.from(document.querySelectorAll('table.stats tr')).map(function (r) {
    return [r.cells[0].textContent, r.cells[1].dataset.value, r.cells[1].textContent];
  });
  return {figures: figures, stats: stats, title: document.title};
})()"""


def outside(requests, page):
    """Requests for anything but the page itself and inline data."""
    return [u for u in requests if u != page.as_uri() and not u.startswith(("data:", "blob:"))]


def make(kind, close, path):
    e, x = flips(close, 9)
    settings = dict(volume_multiple=10.0, commission=1.0, sl_stop=4.0, tp_stop=6.0)
    if kind == "backtest":
        obj = study.backtest(close, e, x, **settings)
        obj.report(path)
    elif kind == "pair":
        obj = study.pair_backtest(close, e[:, 0], x[:, 0], **settings)
        obj.report(path)
    elif kind == "sweep":
        obj = study.sweep(flips, {"every": [5, 9, 13], "offset": [0, 2]}, close, workers=1,
                          progress=False)
        obj.report(path)
    elif kind in ("no_contracts", "no_bars"):
        frame = close.iloc[:, :0] if kind == "no_contracts" else close.iloc[:0]
        obj = study.backtest(frame, frame * 0.0, frame * 0.0)
        obj.report(path)
    elif kind == "walk_forward":
        obj = study.walk_forward(flips, {"every": [4, 9], "offset": [0, 3]}, close, train=60,
                                 test=30, workers=1, progress=False)
        obj.report(path)
    else:
        obj = StandIn(study.backtest(close, e, x, **settings), close)
        html_report.write_walk_forward(obj, path)
    return obj


# (report, the least number of traces its figure draws)
KINDS = [("backtest", 2 + 2 + 3), ("pair", 2 + 2 + 2), ("sweep", 1), ("walk_forward", 1),
         ("stand_in", 1), ("no_contracts", 3), ("no_bars", 0)]


@pytest.mark.parametrize("kind, least_traces", KINDS)
def test_the_report_renders_offline_without_errors(kind, least_traces, close, tmp_path):
    path = tmp_path / f"{kind}.html"
    obj = make(kind, close, path)
    page = browser_support.open_page(path, SEEN, ready=READY)
    assert outside(page.requests, path) == []
    assert page.errors == []
    (figure,) = page.result["figures"]
    assert figure["svg"] >= 1 and figure["traces"] >= least_traces
    assert figure["menus"] == (1 if kind == "sweep" else 0)
    if kind != "sweep":
        stats = obj.stats()
        shown = page.result["stats"]
        assert [name for name, _, _ in shown] == list(stats.index)
        for (_, exact, text), v in zip(shown, stats):
            if isinstance(v, float):
                assert (np.isnan(v) and exact == "NaN") or float(exact) == v
            else:
                assert exact == html_report.exact(v)
            assert text == html_report.shown(v)


PLANTED = {
    "an outside image": '<img src="http://192.0.2.1/pixel.png">',
    "a fetch": "<script>fetch('https://example.invalid/x').catch(function () {});</script>",
    "a console error": "<script>console.error('planted');</script>",
    "an exception": "<script>throw new Error('planted');</script>",
}


@pytest.mark.parametrize("policy", [True, False], ids=["with the policy", "without"])
@pytest.mark.parametrize("fault", list(PLANTED))
def test_the_browser_check_sees_a_planted_fault(fault, policy, tmp_path):
    """The check is not blind: a page that reaches out or fails is caught,
    and the reports' policy refuses a request and says so."""
    meta = f'<meta http-equiv="Content-Security-Policy" content="{html_report.CSP}">'
    path = tmp_path / "planted.html"
    path.write_text(f"<!DOCTYPE html><html><head>{meta if policy else ''}</head>"
                    f"<body>{PLANTED[fault]}</body></html>")
    page = browser_support.open_page(path, "document.title")
    if fault in ("a console error", "an exception"):
        assert any("planted" in e for e in page.errors)
    elif policy:
        assert any("Content Security Policy" in e and "blocked" in e for e in page.errors)
    else:
        assert len(outside(page.requests, path)) == 1 and page.errors
