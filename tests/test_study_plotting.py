"""Backtest.plot on the inputs that used to break it: a frame without
columns, and a path whose suffix is not PNG."""

import io

import numpy as np
import pytest

pd = pytest.importorskip("pandas")
pytest.importorskip("matplotlib")
from quorra.accel import study  # noqa: E402


@pytest.fixture
def run():
    close = pd.DataFrame({"cu": [10.0, 11.0, 12.0, 11.0, 13.0]},
                         index=pd.date_range("2024-01-01", periods=5))
    entries = pd.DataFrame({"cu": [1.0, 0, 0, 0, 0]}, index=close.index)
    return study.backtest(close, entries, entries * 0.0)


@pytest.mark.parametrize("n", [0, 1, 6])
def test_a_frame_without_columns_plots_the_account(n):
    frame = pd.DataFrame(index=pd.date_range("2024-01-01", periods=n))
    bt = study.backtest(frame, frame, frame)
    fig = bt.plot()
    assert [ax.get_title() for ax in fig.axes] == ["Account", "Drawdown of value [%]"]
    with pytest.raises(ValueError, match="no contract labelled 'cu'"):
        bt.plot(contract="cu")


@pytest.mark.parametrize("path", ["bt.html", "bt.jpg", "bt.SVG", "dir.d/bt.pdf"])
def test_a_suffix_that_is_not_png_is_refused(run, tmp_path, path):
    with pytest.raises(ValueError, match=r"figures are saved as PNG, so path must end in "
                                         r"\.png, got '.*bt\.\w+'"):
        run.plot(tmp_path / path)
    assert not (tmp_path / path).exists()


@pytest.mark.parametrize("path", ["bt.png", "bt.PNG", "bt", "dir.d/bt"])
def test_png_or_no_suffix_writes_a_png(run, tmp_path, path):
    (tmp_path / "dir.d").mkdir()
    run.plot(str(tmp_path / path))
    assert (tmp_path / path).read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"


def test_a_file_object_receives_a_png(run):
    out = io.BytesIO()
    run.plot(out)
    assert out.getvalue()[:4] == b"\x89PNG"


@pytest.mark.parametrize("path", ["wf.html", "wf.svg"])
def test_a_walk_forward_figure_refuses_a_suffix_that_is_not_png(tmp_path, path):
    close = pd.DataFrame({"cu": np.round(100 + np.cumsum(np.random.default_rng(1)
                                                         .normal(0, 1, 60)))})
    flat = lambda close, k: (np.zeros(close.shape), np.zeros(close.shape))
    wf = study.walk_forward(flat, {"k": [1, 2]}, close, train=20, test=20, workers=1,
                            progress=False)
    with pytest.raises(ValueError, match="figures are saved as PNG, so path must end in .png"):
        wf.plot(tmp_path / path)
    assert not (tmp_path / path).exists()
    wf.plot(tmp_path / "wf.png")
    assert (tmp_path / "wf.png").read_bytes()[:4] == b"\x89PNG"
