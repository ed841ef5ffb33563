#!/usr/bin/env python3
"""Draws one benchmark run as a picture: poll time against item count at each added latency, and
where a poll's instructions go.

    plot.py DIR       reads DIR/bench.json (bench/report.py writes it) and writes DIR/bench.svg
"""

import json
import sys
from pathlib import Path

import matplotlib

matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402 (the back end is chosen first)

LATENCIES_MS = (0, 1, 5)
# Each poll of an end-to-end case: its key in bench_e2e.json, its label and its style.
POLLS = [
    ("plugin", "plugin (values stored)", {"color": "tab:blue", "marker": "o"}),
    ("plugin_new_records", "plugin, new records every poll (planned afresh)",
     {"color": "tab:blue", "marker": "o", "linestyle": ":", "fillstyle": "none"}),
    ("driver_blocks_only", "driver alone (same blocks, raw words)",
     {"color": "tab:green", "marker": "s"}),
    ("one_read_per_item", "one read per item", {"color": "tab:red", "marker": "v"}),
    ("libmodbus_records", "libmodbus (same values stored)",
     {"color": "tab:orange", "marker": "^"}),
]
CALLGRIND_PARTS = [
    ("planning", "planning", "tab:purple"),
    ("frames", "frames", "tab:cyan"),
    ("values", "values", "tab:olive"),
    ("the rest", "the rest", "lightgray"),
]
CALLGRIND_ROWS = {
    "dense": "callgrind instructions per item, dense, 1,000 items",
    "mixed": "callgrind instructions per item, mixed, 1,000 items",
}


def series(cases, key):
    """(items, median ms) of one kind of poll, for the cases that timed it."""
    points = [(case["items"], case.get(key, {}).get("median_ms")) for case in cases]
    return [(items, ms) for items, ms in points if ms]


def poll_time_panel(axes, cases, latency):
    cases = sorted((c for c in cases if c["latency_ms"] == latency), key=lambda c: c["items"])
    for key, label, style in POLLS:
        points = series(cases, key)
        if points:
            axes.plot(*zip(*points), label=label, linewidth=1.2, markersize=4, **style)
    if latency:
        limit = [(case["items"], case["limit_ms"]) for case in cases]
        axes.plot(*zip(*limit), color="black", linestyle="--", linewidth=1,
                  label="limit: blocks × added latency")
        axes.set_title(f"{latency} ms added latency")
    else:
        axes.set_title("no added latency (no limit to draw)")
    axes.set_xscale("log")
    axes.set_yscale("log")
    axes.set_xlabel("dense items in the poll")
    axes.set_ylabel("poll time, median (ms)")
    axes.grid(True, which="major", linewidth=0.4, alpha=0.6)
    axes.legend(fontsize=7, loc="upper left")


def stacked_bar(axes, position, figures, first):
    bottom = 0
    for key, label, color in CALLGRIND_PARTS:
        value = max(figures.get(key, 0), 0)
        axes.bar(position, value, 0.3, bottom=bottom, color=color, label=label if first else None)
        bottom += value


def callgrind_panel(axes, callgrind, rows):
    """Stacked parts of today's instructions per item, for the same records in every poll and for
    records new in every poll, beside the total before and the target."""
    sets = [name for name in ("dense", "mixed") if callgrind.get(name)]
    ticks, labels = [], []
    for index, name in enumerate(sets):
        stacked_bar(axes, index, callgrind[name], index == 0)
        ticks.append(index)
        labels.append(f"{name}\nsame records")
        fresh = callgrind.get(name + "-new-records")
        if fresh:
            stacked_bar(axes, index + 0.33, fresh, False)
            ticks.append(index + 0.33)
            labels.append("new\nrecords")
        values = rows.get(CALLGRIND_ROWS[name], {})
        if "before" in values:
            axes.bar(index + 0.66, values["before"], 0.3, color="white", edgecolor="gray",
                     hatch="//", label="before, in total" if index == 0 else None)
            ticks.append(index + 0.66)
            labels.append("before")
        if "at_most" in values:
            axes.hlines(values["at_most"], index - 0.2, index + 0.8, colors="black",
                        linestyles="--", linewidth=1, label="target" if index == 0 else None)
    axes.set_xticks(ticks)
    axes.set_xticklabels(labels)
    axes.set_xlabel("1,000 items a poll")
    axes.set_ylabel("callgrind instructions per item")
    axes.set_title("where a poll's instructions go")
    axes.grid(True, axis="y", linewidth=0.4, alpha=0.6)
    axes.legend(fontsize=7, loc="upper left")


def machine_text(machine):
    if not machine:
        return ""
    load = ", ".join(f"{value:.1f}" for value in machine.get("load_average_1_5_15_min", []))
    return f"{machine.get('cores')} cores, {machine.get('cpu')}; load average {load} (1, 5, 15 min)"


def main():
    folder = Path(sys.argv[1] if len(sys.argv) > 1 else ".")
    report = json.loads((folder / "bench.json").read_text())
    raw = report.get("raw", {})
    cases = [c for c in (raw.get("end_to_end") or {}).get("end_to_end", []) if "plugin" in c]
    rows = {row["figure"]: row.get("values", {}) for row in report.get("rows", [])}

    plt.rcParams.update({"svg.fonttype": "none", "svg.hashsalt": "bench", "font.size": 8})
    figure, grid = plt.subplots(2, 2, figsize=(11, 8.5))
    for axes, latency in zip([grid[0][0], grid[0][1], grid[1][0]], LATENCIES_MS):
        poll_time_panel(axes, cases, latency)
    callgrind_panel(grid[1][1], raw.get("callgrind") or {}, rows)
    figure.suptitle("Poll time against item count, and instructions per item\n"
                    + machine_text(report.get("machine")), fontsize=9)
    figure.tight_layout()
    figure.savefig(folder / "bench.svg", metadata={"Date": None})
    print(f"Written: {folder / 'bench.svg'}")


if __name__ == "__main__":
    main()
