"""The sweep's progress bar.

``progress=True`` (the default) shows a bar when standard error is a
terminal or the code runs in a Jupyter notebook; ``"always"`` shows one
anyway (needs tqdm, the `study` extra); ``False`` (or None) never does.
"""

from __future__ import annotations

import sys


class _NoBar:
    def update(self, k=1):
        pass

    def close(self):
        pass


def in_notebook() -> bool:
    shell_mod = sys.modules.get("IPython")
    if shell_mod is None:
        return False
    try:
        shell = shell_mod.get_ipython()
    except Exception:  # an IPython that cannot say is not a notebook
        return False
    return shell is not None and type(shell).__name__ == "ZMQInteractiveShell"


def wanted(progress) -> bool:
    if progress is True:
        isatty = getattr(sys.stderr, "isatty", None)
        return bool(isatty and isatty()) or in_notebook()
    if progress == "always":
        return True
    if progress is None or progress is False:
        return False
    raise TypeError(f"progress must be True, False or 'always', not {progress!r}")


def bar(total: int, progress, desc: str):
    """A bar with `update(k)` and `close()`; a silent one when none is wanted."""
    if not wanted(progress):
        return _NoBar()
    try:
        from tqdm.auto import tqdm
    except ImportError:
        if progress is True:  # shown where it can be, and it cannot
            return _NoBar()
        raise ImportError("the progress bar needs tqdm: pip install 'quorra-accel[study]' "
                          "(or pip install tqdm)") from None
    return tqdm(total=total, desc=desc, unit="config", file=sys.stderr, dynamic_ncols=True)
