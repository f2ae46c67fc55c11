"""demo-output/arm.png: one figure that shows the run at a glance.

Left, each joint with frames: desired, applied and simulated angles against its
limits. Right, the coupled rows with both protocols, how far each protocol's
applied command went beyond the coupled limits, and every refusal at the drive
by code. Shaded and marked on every panel: the teleoperation interval, the jam,
the restarts and the key rotation."""

from __future__ import annotations

import pathlib

import matplotlib

matplotlib.use("Agg")  # no display needed
import matplotlib.pyplot as plt
import numpy as np
from matplotlib.artist import Artist
from matplotlib.lines import Line2D
from matplotlib.patches import Patch

from .analysis import Analysis, excursions
from .scenario import DT, JOINTS, LIMITS, LOCKED_JOINT, MAX_BOUND, MIN_BOUND, ROWS

_FRAMES, _PER_AXIS = "tab:blue", "tab:red"
_LINES = {  # event -> (colour, line style)
    "controller restart": ("black", "--"),
    "drive restart": ("black", "-."),
    "senders move to the new key": ("tab:green", "--"),
    "old key removed": ("tab:green", ":"),
}
_SPANS = {"teleop stream": "tab:olive", "link jammed": "tab:brown", "flange locked": "tab:cyan"}


def _mark_events(ax, analysis: Analysis, lock: bool = False) -> None:
    timeline = analysis.timeline
    ax.axvspan(timeline.teleop[0] * DT, timeline.teleop[1] * DT, color=_SPANS["teleop stream"], alpha=0.12, lw=0)
    ax.axvspan(timeline.jam[0] * DT, timeline.jam[1] * DT, color=_SPANS["link jammed"], alpha=0.18, lw=0)
    if lock:
        ax.axvspan(timeline.lock[0] * DT, timeline.lock[1] * DT, color=_SPANS["flange locked"], alpha=0.18, lw=0)
    for name, tick in timeline.marks():
        if name in _LINES:
            colour, style = _LINES[name]
            ax.axvline(tick * DT, color=colour, linestyle=style, linewidth=0.9)


def _joint(ax, axis: int, t, controller: dict, drive: dict, analysis: Analysis) -> None:
    ax.plot(t, controller["desired"][:, axis], color="0.55", linestyle="--", linewidth=0.9)
    ax.step(t, drive["applied frames"][:, axis], where="post", color=_FRAMES, linewidth=1.1)
    ax.plot(t, drive["joints frames"][:, axis], color="tab:orange", linewidth=1.1)
    for bound in (MIN_BOUND[axis], MAX_BOUND[axis]):
        ax.axhline(bound, color="crimson", linestyle=":", linewidth=1.0)
    _mark_events(ax, analysis, lock=axis == LOCKED_JOINT)
    ax.set_ylabel(f"{JOINTS[axis]} [rad]", fontsize=9)


def _coupled(ax, rows: list[int], label: str, t, controller: dict, drive: dict, analysis: Analysis) -> None:
    row = np.asarray(ROWS[rows[0]])
    ax.plot(t, controller["desired"] @ row, color="0.55", linestyle="--", linewidth=0.9)
    ax.step(t, drive["applied per-axis"] @ row, where="post", color=_PER_AXIS, linewidth=1.0)
    ax.step(t, drive["applied frames"] @ row, where="post", color=_FRAMES, linewidth=1.1)
    for index in rows:
        ax.axhline(LIMITS[index] * (1 if index != 1 else -1), color="crimson", linestyle=":", linewidth=1.0)
    _mark_events(ax, analysis)
    ax.set_ylabel(f"{label} [rad]", fontsize=9)


def _beyond(ax, t, drive: dict, analysis: Analysis) -> None:
    for name, colour in (("per-axis", _PER_AXIS), ("frames", _FRAMES)):
        _, rows = excursions(drive[f"applied {name}"])
        worst = rows.max(axis=1) * 1e3
        ax.fill_between(t, worst, step="post", color=colour, alpha=0.35 if name == "per-axis" else 1.0, lw=0)
        ax.step(t, worst, where="post", color=colour, linewidth=1.0)
        ax.text(0.01, 0.92 if name == "per-axis" else 0.78, f"{name}: largest {worst.max():.1f} mrad",
                transform=ax.transAxes, fontsize=8.5, color=colour, va="top")
    _mark_events(ax, analysis)
    ax.set_ylabel("beyond a coupled\nlimit [mrad]", fontsize=9)
    ax.set_ylim(0, max(1.0, ax.get_ylim()[1] * 1.25))


def _refusals(ax, analysis: Analysis) -> None:
    codes = sorted({code for p in analysis.protocols.values() for _, code in p.trace_refusals})
    for name, colour, marker, size in (("per-axis", _PER_AXIS, "|", 40), ("frames", _FRAMES, "v", 22)):
        refused = analysis.protocols[name].trace_refusals
        if refused:
            ticks, names = zip(*refused)
            y = [codes.index(code) + (0.18 if name == "frames" else -0.18) for code in names]
            ax.scatter(np.asarray(ticks) * DT, y, marker=marker, s=size, color=colour, linewidths=0.8)
    ax.set_yticks(range(len(codes)), [code.replace("_", " ") for code in codes], fontsize=8)
    ax.set_ylim(-0.6, len(codes) - 0.4)
    _mark_events(ax, analysis)
    ax.set_title("refusals at the drive, by code", fontsize=9)


def _legend(figure) -> None:
    handles: list[Artist] = [
        Line2D([], [], color="0.55", linestyle="--", label="desired (planner)"),
        Line2D([], [], color=_FRAMES, label="applied at the drive: frames"),
        Line2D([], [], color="tab:orange", label="simulated joint: frames"),
        Line2D([], [], color=_PER_AXIS, label="applied at the drive: per-axis receipts"),
        Line2D([], [], color="crimson", linestyle=":", label="limit"),
        Line2D([], [], color=_FRAMES, marker="v", linestyle="none", label="refused: frame"),
        Line2D([], [], color=_PER_AXIS, marker="|", linestyle="none", label="refused: per-axis"),
    ]
    handles += [Line2D([], [], color=c, linestyle=s, label=name) for name, (c, s) in _LINES.items()]
    handles += [Patch(color=colour, alpha=0.3, label=name) for name, colour in _SPANS.items()]
    figure.legend(handles=handles, loc="upper center", bbox_to_anchor=(0.5, 0.955), ncol=6, fontsize=8.5,
                  frameon=False)


def draw(analysis: Analysis, controller: dict, drive: dict, path: pathlib.Path) -> pathlib.Path:
    t = np.arange(analysis.settings.ticks) * DT
    figure = plt.figure(figsize=(16, 10.5))
    grid = figure.add_gridspec(4, 3, hspace=0.42, wspace=0.30)
    for axis in range(len(JOINTS)):
        ax = figure.add_subplot(grid[axis % 4, axis // 4])
        _joint(ax, axis, t, controller, drive, analysis)
    _refusals(figure.add_subplot(grid[3, 1]), analysis)
    _coupled(figure.add_subplot(grid[0, 2]), [0, 1], "shoulder + elbow", t, controller, drive, analysis)
    _coupled(figure.add_subplot(grid[1, 2]), [2], "wrist pitch + yaw", t, controller, drive, analysis)
    _beyond(figure.add_subplot(grid[2, 2]), t, drive, analysis)
    summary = figure.add_subplot(grid[3, 2])
    summary.axis("off")
    summary.text(0, 1, _caption(analysis), va="top", fontsize=8.5, family="monospace", transform=summary.transAxes)
    for ax in figure.axes:
        ax.tick_params(labelsize=8)
        if ax is not summary:
            ax.set_xlim(t[0], t[-1])
            ax.set_xlabel("simulated time [s]", fontsize=8)
    frames, per_axis = analysis.protocols["frames"], analysis.protocols["per-axis"]
    figure.suptitle(
        "A seven-joint arm over UDP, through an attacker: frames keep every limit "
        f"({max(frames.row_excursions) * 1e3:.1f} mrad beyond), per-axis receipts break the coupled limits "
        f"(up to {max(per_axis.row_excursions) * 1e3:.1f} mrad, on {per_axis.broken_ticks} ticks)",
        fontsize=11.5, y=0.985)
    _legend(figure)
    figure.subplots_adjust(left=0.05, right=0.99, top=0.875, bottom=0.05)
    path.parent.mkdir(parents=True, exist_ok=True)
    figure.savefig(path, dpi=80)
    plt.close(figure)
    return path


def _caption(analysis: Analysis) -> str:
    frames, per_axis = analysis.protocols["frames"], analysis.protocols["per-axis"]
    attacks = sum(n for kind, (n, _) in frames.attacks.items() if kind not in ("dropped", "jammed"))
    admitted = sum(a for p in (frames, per_axis) for _, a in p.attacks.values())
    lost = lambda p: sum(p.lost.values())  # noqa: E731
    return "\n".join([
        f"{'':<24}{'frames':>9}{'per-axis':>10}",
        f"{'commands (ticks)':<24}{frames.commands:>9}{per_axis.commands:>10}",
        f"{'admitted (datagrams)':<24}{frames.outcomes['admitted']:>9}{per_axis.outcomes['admitted']:>10}",
        f"{'lost to restarts,':<24}",
        f"{'  teleop, key rotation':<24}{lost(frames):>9}{lost(per_axis):>10}",
        f"{'ticks beyond a':<24}",
        f"{'  coupled limit':<24}{frames.broken_ticks:>9}{per_axis.broken_ticks:>10}",
        "",
        f"attack datagrams on the frame link: {attacks}",
        f"attack datagrams admitted (both): {admitted}",
    ])
