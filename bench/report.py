"""One table of benchmark rows, and a non-zero exit when a row misses its target.

Every benchmark program writes its figures as a JSON list of rows, for example

    {"path": "kelvara_solve_multivar_4d median", "figure": 250.0, "unit": "ns",
     "baseline_name": "daqp_quadprog median", "baseline": 950.0, "max_ratio": 0.3333}

`baseline`, `baseline_name` and `max_ratio` may be left out: a row without
`max_ratio` is shown for information and never fails. A row with one passes when
figure / baseline <= max_ratio (lower is better).

    python bench/report.py FILE.json [FILE.json ...]

Python benchmarks can also import `Row`, `rows_from_file` and `print_table`.
"""

from __future__ import annotations

import json
import sys
from dataclasses import dataclass
from pathlib import Path


@dataclass(frozen=True)
class Row:
    path: str
    figure: float
    unit: str = ""
    baseline_name: str = ""
    baseline: float | None = None
    max_ratio: float | None = None

    @property
    def ratio(self) -> float | None:
        if self.baseline is None or self.baseline == 0:
            return None
        return self.figure / self.baseline

    @property
    def missed(self) -> bool:
        return self.max_ratio is not None and (self.ratio is None or self.ratio > self.max_ratio)


def rows_from_file(path: str | Path) -> list[Row]:
    return [Row(**row) for row in json.loads(Path(path).read_text())]


def _number(value: float | None, unit: str) -> str:
    if value is None:
        return ""
    text = f"{value:.4g}" if abs(value) < 1e4 else f"{value:.0f}"
    return f"{text} {unit}".rstrip()


def print_table(rows: list[Row], out=sys.stdout) -> bool:
    """Prints the rows; returns True when every target is met."""
    header = ("path", "figure", "baseline", "ratio", "target", "")
    lines = [header]
    for row in rows:
        baseline = f"{_number(row.baseline, row.unit)} ({row.baseline_name})" if row.baseline is not None else ""
        ratio = f"{row.ratio:.3f}" if row.ratio is not None else ""
        target = f"<= {row.max_ratio:.3g}" if row.max_ratio is not None else ""
        verdict = "" if row.max_ratio is None else ("MISSED" if row.missed else "ok")
        lines.append((row.path, _number(row.figure, row.unit), baseline, ratio, target, verdict))
    widths = [max(len(line[i]) for line in lines) for i in range(len(header))]
    for n, line in enumerate(lines):
        print(" | ".join(cell.ljust(width) for cell, width in zip(line, widths)).rstrip(), file=out)
        if n == 0:
            print("-+-".join("-" * width for width in widths), file=out)
    return not any(row.missed for row in rows)


def main(argv: list[str]) -> int:
    if not argv:
        print(__doc__.strip(), file=sys.stderr)
        return 2
    rows = [row for path in argv for row in rows_from_file(path)]
    if print_table(rows):
        return 0
    print("some targets were missed", file=sys.stderr)
    return 1


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
