"""Figures a benchmark reports, for tools/bench's table.

A benchmark prints its own lines for a reader and also hands every figure to
``figure()``.  When the environment names a results file (``VKL_BENCH_RESULTS``,
set by tools/bench), each figure is appended to it as one JSON line; otherwise
``figure()`` does nothing, so a script run by hand prints only its own lines.

    from _report import figure
    figure("transport", "polling CPU per frame, plain callbacks", 1.8, "us", target="<= 2")
"""

from __future__ import annotations

import json
import os
import sys

__all__ = ["figure"]


def figure(group: str, name: str, value: float, unit: str, *, target: str | None = None,
           met: bool | None = None, beside: str | None = None) -> None:
    """Record one figure.

    group:  the benchmark's subject (one table section), e.g. "transport".
    name:   what was measured.
    value:  the figure, in ``unit``.
    target: the target as text (e.g. "<= 2"), when there is one.
    met:    whether the target is met, when there is one.
    beside: a comparison figure as text (e.g. "plain Python 7.4 us").
    """
    path = os.environ.get("VKL_BENCH_RESULTS")
    if not path:
        return
    row = {"script": os.path.basename(sys.argv[0]), "group": group, "name": name,
           "value": float(value), "unit": unit, "target": target, "met": met, "beside": beside}
    with open(path, "a", encoding="utf-8") as f:
        f.write(json.dumps(row) + "\n")
