"""Reading the user's own bars for the demo.

Layout: a header row, then one row per bar in time order. The columns
``A`` and ``B`` hold the closing prices of the two contracts; any other
column (a date, say) is ignored. Example::

    date,A,B
    2024-01-02,4012,2151
    2024-01-03,4020,2149
"""

from __future__ import annotations

import csv
import math
from pathlib import Path

import numpy as np

REQUIRED = ("A", "B")


class BarsFileError(ValueError):
    """The bars file cannot be used; the message says where and why."""


def read_bars(path: str | Path) -> dict[str, np.ndarray]:
    path = Path(path)
    try:
        with path.open(newline="") as f:
            rows = list(csv.reader(f))
    except OSError as e:
        raise BarsFileError(f"{path}: cannot read: {e.strerror or e}") from None
    except (UnicodeDecodeError, csv.Error) as e:
        raise BarsFileError(f"{path}: not a CSV text file: {e}") from None
    if not rows:
        raise BarsFileError(f"{path}: empty file; expected a header with columns A and B")
    header = [h.strip() for h in rows[0]]
    missing = [c for c in REQUIRED if c not in header]
    if missing:
        raise BarsFileError(
            f"{path}: header lacks column(s) {', '.join(missing)}; found {header}")
    cols = {c: header.index(c) for c in REQUIRED}
    data = {c: [] for c in REQUIRED}
    for line_no, row in enumerate(rows[1:], start=2):
        if not any(cell.strip() for cell in row):
            continue
        for c, k in cols.items():
            if k >= len(row):
                raise BarsFileError(f"{path}:{line_no}: missing value for column {c}")
            try:
                v = float(row[k])
            except ValueError:
                raise BarsFileError(
                    f"{path}:{line_no}: column {c}: {row[k]!r} is not a number") from None
            if not math.isfinite(v) or v <= 0:
                raise BarsFileError(
                    f"{path}:{line_no}: column {c}: price must be positive and finite, got {v}")
            data[c].append(v)
    if len(data["A"]) < 2:
        raise BarsFileError(f"{path}: needs at least 2 bars, found {len(data['A'])}")
    return {c: np.array(v, dtype=np.float64) for c, v in data.items()}
