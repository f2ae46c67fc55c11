"""The summary table a run prints, and the summary it leaves for tools."""

from __future__ import annotations

import json
import pathlib

import mujoco
import numpy as np

from .analysis import Analysis
from .scenario import AXES, CONTROL_HZ, LIMITS, ROW_NAMES, ROWS

_WIDTH = 46


def _row(label: str, frames, per_axis, unit: str = "") -> str:
    def cell(value) -> str:
        if isinstance(value, float):
            return f"{value:>12.2e}"
        return f"{value:>12}"

    return f"  {label:<{_WIDTH}}{cell(frames)}{cell(per_axis)}  {unit}".rstrip()


def _coupled_name(index: int) -> str:
    return f"{ROW_NAMES[index]} <= {LIMITS[index]:g}" if index != 1 else f"shoulder + elbow >= {-LIMITS[index]:g}"


def table(analysis: Analysis, wall_s: float) -> str:
    frames, per_axis = analysis.protocols["frames"], analysis.protocols["per-axis"]
    settings = analysis.settings
    lines = [
        f"Kelvara on MuJoCo {mujoco.__version__}: a seven-joint arm over UDP on 127.0.0.1, "
        f"{settings.seconds:g} s simulated at {CONTROL_HZ} Hz in {wall_s:.1f} s of wall time "
        f"(seed {settings.seed}, speed {settings.speed:g}x)",
        "",
        _row("", "frames", "per-axis"),
        _row("commands sent (ticks)", frames.commands, per_axis.commands),
        _row("datagrams sent", frames.sent, per_axis.sent),
        _row("datagrams admitted", frames.outcomes["admitted"], per_axis.outcomes["admitted"]),
        "  refusals by code",
    ]
    codes = sorted(set(frames.outcomes) | set(per_axis.outcomes) - {"admitted"})
    for code in codes:
        if code != "admitted" and (frames.outcomes[code] or per_axis.outcomes[code]):
            lines.append(_row(f"  at the drive: {code}", frames.outcomes[code] or "-", per_axis.outcomes[code] or "-"))
    for code in sorted(set(frames.signer_refusals) | set(per_axis.signer_refusals)):
        lines.append(_row(f"  at the sender: {code}", frames.signer_refusals[code], per_axis.signer_refusals[code]))
    lines.append("  attacks (datagrams / admitted)")
    for kind in sorted(set(frames.attacks) | set(per_axis.attacks)):
        cells = []
        for protocol in (frames, per_axis):
            sent, admitted = protocol.attacks.get(kind, (0, 0))
            cells.append(f"{sent}" if kind in ("dropped", "jammed") else f"{sent} / {admitted}")
        lines.append(_row(f"  {kind}", *cells))
    lines += [
        "  largest excursion of the applied command at the drive",
        _row("  beyond the joint box", frames.box_excursion, per_axis.box_excursion, "rad"),
    ]
    for index in range(len(ROWS)):
        lines.append(_row(f"  beyond {_coupled_name(index)}", frames.row_excursions[index],
                          per_axis.row_excursions[index], "rad"))
    lines.append(_row("  ticks with a coupled limit broken", frames.broken_ticks, per_axis.broken_ticks))
    lines.append("  commands lost to ordinary events (ticks)")
    for event in frames.lost:
        lines.append(_row(f"  {event}", frames.lost[event], per_axis.lost[event]))
    lines += ["", f"  {'stage (per tick)':<{_WIDTH}}{'median':>12}{'p99':>12}"]
    for stage, values in analysis.timings.items():
        if len(values):
            lines.append(f"  {stage:<{_WIDTH}}{np.median(values) / 1e3:>10.1f}us{np.percentile(values, 99) / 1e3:>10.1f}us")
    lines.append("")
    if analysis.failures:
        lines += [f"  FAILED: {failure}" for failure in analysis.failures]
    else:
        lines.append("  every limit held at the drive with frames; no attack datagram admitted on either link")
    return "\n".join(lines)


def summary(analysis: Analysis, wall_s: float) -> dict:
    """The run's figures as data (demo-output/summary.json)."""
    return {
        "settings": vars(analysis.settings),
        "wall_s": wall_s,
        "failures": analysis.failures,
        "protocols": {
            name: {
                "commands": p.commands,
                "sent": p.sent,
                "delivered": p.delivered,
                "outcomes": dict(p.outcomes),
                "signer_refusals": dict(p.signer_refusals),
                "attacks": p.attacks,
                "box_excursion": p.box_excursion,
                "row_excursions": p.row_excursions,
                "broken_ticks": p.broken_ticks,
                "lost": p.lost,
            }
            for name, p in analysis.protocols.items()
        },
        "timings_us": {stage: [float(np.median(v) / 1e3), float(np.percentile(v, 99) / 1e3)]
                       for stage, v in analysis.timings.items() if len(v)},
        "axes": AXES,
    }


def write_summary(analysis: Analysis, wall_s: float, path: pathlib.Path) -> None:
    path.write_text(json.dumps(summary(analysis, wall_s), indent=1))
