"""The demo's entry: run the three processes, then print the table and draw the picture."""

from __future__ import annotations

import argparse
import pathlib
import shutil
import sys
import time

from .analysis import analyse
from .processes import RunFailed, run_crew
from .records import load
from .report import table, write_summary
from .scenario import Settings


def arguments(argv: list[str] | None) -> argparse.Namespace:
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--seconds", type=float, default=Settings.seconds, help="simulated time (default 10)")
    parser.add_argument("--speed", type=float, default=Settings.speed,
                        help="wall clock runs this many times faster than simulated time (default 1: real time)")
    parser.add_argument("--seed", type=int, default=Settings.seed)
    parser.add_argument("--output", type=pathlib.Path, default=pathlib.Path("demo-output"))
    args = parser.parse_args(argv)
    if not 0.5 <= args.seconds <= 120:
        parser.error("--seconds must be between 0.5 and 120")
    if not 0.1 <= args.speed <= 20:
        parser.error("--speed must be between 0.1 and 20")
    return args


def main(argv: list[str] | None = None) -> int:
    args = arguments(argv)
    settings = Settings(seconds=args.seconds, seed=args.seed, speed=args.speed)
    records = args.output / "records"
    try:
        shutil.rmtree(records, ignore_errors=True)
        records.mkdir(parents=True)
    except OSError as error:
        print(f"arm demo: cannot write its records under {args.output}: {error.strerror}", file=sys.stderr)
        return 2
    started = time.monotonic()
    try:
        run_crew(settings, records)
    except RunFailed as failure:
        print(f"arm demo: {failure}", file=sys.stderr)
        return 2
    except KeyboardInterrupt:
        print("arm demo: interrupted; every process stopped", file=sys.stderr)
        return 130
    wall = time.monotonic() - started
    controller, proxy, drive = (load(records, role) for role in ("controller", "proxy", "drive"))
    analysis = analyse(settings, controller, proxy, drive)
    print(table(analysis, wall))
    write_summary(analysis, wall, args.output / "summary.json")
    from .picture import draw  # the plotting library loads only once there is something to draw

    path = draw(analysis, controller, drive, args.output / "arm.png")
    print(f"\n  picture written to {path.resolve()}")
    return 1 if analysis.failures else 0
