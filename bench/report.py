#!/usr/bin/env python3
"""Puts the figures of one benchmark run into one markdown table, each beside its reference,
and writes them as JSON.

    report.py DIR     reads DIR/bench_plugin.json (Google Benchmark), DIR/bench_e2e.json,
                      DIR/bench_memory.json and DIR/callgrind.{dense,mixed}.txt
                      (callgrind_annotate --inclusive=yes), prints the table and writes
                      DIR/bench.json
"""

import json
import math
import re
import sys
from pathlib import Path

ITEMS_CALLGRIND = 1000
POLLS_CALLGRIND = 10
# Inclusive instruction counts of these functions make the "where it goes" breakdown; the rest
# of a poll (planning the blocks, the identity checks, the poll's own loop) is what remains.
CALLGRIND_PARTS = [
    ("planning", r"(planBlocks|collectSpans)\("),
    ("frames and replies", r"CAMP_NITP::(sendRead|receiveRead)\("),
    ("values", r"App_CAMP_NITP::assignBlockValues\("),
]
REST = "planning and the rest"


def load_json(path):
    try:
        return json.loads(Path(path).read_text())
    except (OSError, ValueError):
        return None


def gbench_medians(data):
    """Google Benchmark results by name: the median of the repetitions (or the single run)."""
    results = {}
    for bench in (data or {}).get("benchmarks", []):
        if bench.get("run_type") == "aggregate" and bench.get("aggregate_name") != "median":
            continue
        name = bench.get("run_name", bench["name"])
        scale = {"ns": 1.0, "us": 1e3, "ms": 1e6, "s": 1e9}[bench.get("time_unit", "ns")]
        entry = dict(bench)
        entry["cpu_ns"] = bench["cpu_time"] * scale
        entry["real_ns"] = bench["real_time"] * scale
        if bench.get("error_occurred"):
            entry["error"] = bench.get("error_message", "failed")
        results[name] = entry
    return results


def callgrind_figures(path):
    """Instructions per item of a 1 000-item poll, in total and by part."""
    try:
        text = Path(path).read_text()
    except OSError:
        return None
    total = re.search(r"^\s*([\d,]+)\s.*PROGRAM TOTALS", text, re.M)
    if not total:
        return None
    per_item = lambda count: count / (ITEMS_CALLGRIND * POLLS_CALLGRIND)
    figures = {"instructions_per_item": per_item(int(total.group(1).replace(",", "")))}
    for part, pattern in CALLGRIND_PARTS:
        count = 0
        for line in text.splitlines():
            match = re.match(r"^\s*([\d,]+)\s+\([^)]*\)\s+(.*)$", line)
            if match and re.search(pattern, match.group(2)):
                count += int(match.group(1).replace(",", ""))
        figures[part] = per_item(count)
    figures[REST] = figures["instructions_per_item"] - sum(
        figures[part] for part, _ in CALLGRIND_PARTS)
    return figures


def fmt(value, digits=0, unit=""):
    if value is None or (isinstance(value, float) and math.isnan(value)):
        return "n/a"
    if digits == 0:
        text = f"{value:,.0f}"
    else:
        text = f"{value:,.{digits}f}"
    return text + unit


def verdict(ok):
    if ok is None:
        return ""
    return "met" if ok else "MISSED"


class Table:
    def __init__(self):
        self.rows = []

    def add(self, area, figure, measured, reference, target="", ok=None, values=None):
        self.rows.append({"area": area, "figure": figure, "measured": measured,
                          "reference": reference, "target": target, "ok": ok,
                          "values": values or {}})

    def markdown(self):
        lines = ["| Area | Figure | Measured | Reference | Target |",
                 "|---|---|---|---|---|"]
        for row in self.rows:
            target = row["target"]
            if row["ok"] is not None:
                target = f"{target}: **{verdict(row['ok'])}**" if target else verdict(row["ok"])
            lines.append("| {area} | {figure} | {measured} | {reference} | {target} |".format(
                area=row["area"], figure=row["figure"], measured=row["measured"],
                reference=row["reference"], target=target))
        return "\n".join(lines)


def round_trips(table, gb):
    for shape in ("dense", "scattered", "mixed"):
        for count in (10, 100, 1000, 10000):
            bench = gb.get(f"poll/{shape}/{count}")
            if not bench or "error" in bench:
                table.add("1 Round trips", f"{shape}, {count:,} items", "n/a",
                          (bench or {}).get("error", "not run"), "= block-rule minimum", False)
                continue
            frames = bench["frames_per_poll"]
            minimum = bench["block_rule_min"]
            table.add("1 Round trips", f"frames per poll, {shape}, {count:,} items",
                      fmt(frames), f"block-rule minimum {fmt(minimum)}; one per item {fmt(count)}",
                      "= minimum", frames == minimum,
                      {"frames": frames, "minimum": minimum, "one_per_item": count})


def plugin_cpu(table, gb, callgrind):
    rtt = gb.get("loopback_round_trip/real_time") or gb.get("loopback_round_trip")
    rtt_ns = rtt["real_ns"] if rtt else None
    for shape in ("dense", "scattered", "mixed"):
        bench = gb.get(f"poll/{shape}/1000")
        if not bench or "error" in bench:
            continue
        per_item = bench["cpu_ns"] / 1000
        share = f"{100 * per_item / rtt_ns:.2f}% of one loopback round trip ({fmt(rtt_ns / 1e3, 1)} µs)" \
            if rtt_ns else "n/a"
        frames = bench["frames_per_poll"]
        dense = shape == "dense"
        table.add("2 Plugin CPU", f"CPU per item, {shape}, 1,000 items ({fmt(frames)} frames)",
                  f"{fmt(per_item)} ns ({fmt(bench['cpu_ns'] / 1e3)} µs a poll)", share,
                  "≤ 1,000 ns an item" if dense else "(kernel time of the frames dominates)",
                  per_item <= 1000 if dense else None,
                  {"cpu_ns_per_item": per_item, "cpu_ns_per_poll": bench["cpu_ns"],
                   "round_trip_ns": rtt_ns})
    for shape in ("dense", "mixed"):
        figures = callgrind.get(shape)
        if not figures:
            continue
        parts = "; ".join(f"{part} {fmt(figures[part])}"
                          for part in [REST] + [name for name, _ in CALLGRIND_PARTS])
        table.add("2 Plugin CPU", f"callgrind instructions per item, {shape}, 1,000 items",
                  fmt(figures["instructions_per_item"]), f"of which {parts}", "", None, figures)
    pieces = [("piece/read_frame", "build one read request frame", 1, "a frame"),
              ("piece/parse_reply_256", "frame and cut a 256-word reply", 256, "a word"),
              ("piece/address_range_256", "address range from an item's columns", 256, "an item"),
              ("piece/assign_values_256", "convert and store 256 Integer values", 256, "an item")]
    for name, what, count, unit in pieces:
        bench = gb.get(name)
        if bench and "error" not in bench:
            table.add("2 Plugin CPU", what, f"{fmt(bench['cpu_ns'] / count, 1)} ns {unit}",
                      "", "", None, {"cpu_ns": bench["cpu_ns"] / count})


def end_to_end(table, e2e):
    for case in (e2e or {}).get("end_to_end", []):
        items, latency, limit = case["items"], case["latency_ms"], case["limit_ms"]
        plugin = case.get("plugin", {})
        naive = case.get("one_read_per_item", {})
        modbus = case.get("libmodbus", {})
        median = plugin.get("median_ms")
        reference = f"limit {fmt(limit, 1)} ms ({case['blocks']} blocks × {latency} ms)" \
            if latency else "no added latency"
        reference += f"; one read per item {fmt(naive.get('median_ms'), 2)} ms" \
                     f" ({fmt(naive.get('requests_per_poll'))} requests)"
        raw = case.get("driver_blocks_only", {})
        reference += f"; the driver alone reading the same blocks {fmt(raw.get('median_ms'), 3)} ms"
        target, ok = "", None
        if items == 1000 and latency == 1:
            target, ok = "≤ 1.05 × limit", median is not None and median <= 1.05 * limit
        over = f", limit + {100 * (median / limit - 1):.1f}%" if latency and median else ""
        table.add("3 End-to-end", f"{items:,} items, {latency} ms added latency",
                  f"{fmt(median, 3)} ms a poll{over}; {fmt(plugin.get('polls_per_second'))} polls/s",
                  reference, target, ok, case)


def peer(table, gb, e2e):
    for words in (100, 1000):
        poll = gb.get(f"poll/dense/{words}")
        driver = gb.get(f"driver_read/{words}")
        modbus = gb.get(f"modbus_read/{words}")
        if not (poll and driver and modbus):
            continue
        plugin_word = poll["cpu_ns"] / words
        driver_word = driver["cpu_ns"] / words
        modbus_word = modbus["cpu_ns"] / words
        table.add("4 Peer", f"{words:,} words: requests per poll",
                  f"CAMP {fmt(driver['requests_per_poll'])}",
                  f"libmodbus {fmt(modbus['requests_per_poll'])}", "", None)
        table.add("4 Peer", f"{words:,} words: CPU per word, raw words (driver)",
                  f"{fmt(driver_word, 1)} ns", f"libmodbus {fmt(modbus_word, 1)} ns",
                  "≤ libmodbus", driver_word <= modbus_word,
                  {"camp_driver_ns": driver_word, "libmodbus_ns": modbus_word})
        table.add("4 Peer", f"{words:,} words: CPU per word, values as text (plugin poll)",
                  f"{fmt(plugin_word, 1)} ns", f"libmodbus {fmt(modbus_word, 1)} ns (raw registers)",
                  "≤ libmodbus", plugin_word <= modbus_word,
                  {"camp_plugin_ns": plugin_word, "libmodbus_ns": modbus_word})
    for case in (e2e or {}).get("end_to_end", []):
        if not case["latency_ms"]:
            continue
        plugin, modbus = case.get("plugin", {}), case.get("libmodbus", {})
        words = case["items"]
        table.add("4 Peer", f"{words:,} words, {case['latency_ms']} ms added latency",
                  f"CAMP {fmt(plugin.get('median_ms'), 3)} ms, {fmt(plugin.get('requests_per_poll'))}"
                  f" requests, {fmt(1e3 * plugin.get('cpu_us_per_poll', math.nan) / words)} ns CPU a word",
                  f"libmodbus {fmt(modbus.get('median_ms'), 3)} ms, {fmt(modbus.get('requests_per_poll'))}"
                  f" requests, {fmt(1e3 * modbus.get('cpu_us_per_poll', math.nan) / words)} ns CPU a word",
                  "", None)


def many_devices(table, e2e):
    cases = (e2e or {}).get("many_devices", [])
    single = {c["latency_ms"]: c.get("polls_per_second") for c in cases if c["devices"] == 1}
    for case in cases:
        rate = case.get("polls_per_second")
        base = single.get(case["latency_ms"])
        scaling = f"×{rate / base:.1f} of one device" if rate and base else "n/a"
        table.add("5 Many devices",
                  f"{case['devices']} devices, {case['threads']} host threads, "
                  f"{case['latency_ms']} ms latency",
                  f"{fmt(rate)} polls/s (100 items each)",
                  f"{scaling}; {fmt(case.get('host_cpu_us_per_poll'), 1)} µs host CPU a poll",
                  "CPU a poll flat in the device count", None, case)


def discovery(table, e2e):
    found = (e2e or {}).get("discovery")
    if not found:
        return
    if "skipped" in found:
        table.add("6 Discovery", "namespace /24 scans", "skipped", found["skipped"], "", None)
        return
    for key, what in (("empty", "empty /24"), ("controllers", "/24 with 8 simulated controllers")):
        scan = found.get(key, {})
        median, floor = scan.get("median_ms"), scan.get("floor_ms")
        ratio = median / floor if median and floor else None
        target, ok = ("≤ 1.25 × floor", ratio is not None and ratio <= 1.25) \
            if key == "empty" else ("", None)
        table.add("6 Discovery", f"scan of an {what}" if key == "empty" else f"scan of a {what}",
                  f"{fmt(median, 1)} ms ({fmt(scan.get('found'))} found of "
                  f"{fmt(scan.get('expected'))}, {fmt(scan.get('targets'))} targets)",
                  f"floor {fmt(floor, 1)} ms (×{ratio:.2f})" if ratio else "n/a",
                  target, ok, scan)
    table.add("6 Discovery", "one identify exchange", f"{fmt(found.get('identify_exchange_ms'), 2)} ms",
              "connect, V1 read, status word read", "", None)


def memory(table, mem):
    if not mem:
        return
    sessions = mem.get("sessions", {})
    if "error" not in sessions:
        table.add("7 Memory", "resident memory per open session",
                  f"{fmt(sessions.get('resident_bytes_per_session'))} bytes",
                  f"heap {fmt(sessions.get('heap_bytes_per_session'))} bytes a session "
                  f"({sessions.get('sessions')} sessions; socket buffers are kernel memory)",
                  "", None, sessions)
    for poll in mem.get("poll_allocations", []):
        if "error" in poll:
            continue
        table.add("7 Memory", f"heap allocations per poll, {poll['set']}, {poll['items']:,} items",
                  f"{fmt(poll['allocations_per_poll'])} ({poll['allocations_per_item']:.1f} an item)",
                  f"{fmt(poll['bytes_per_poll'] / 1024, 1)} KiB allocated a poll", "", None, poll)


def main():
    folder = Path(sys.argv[1] if len(sys.argv) > 1 else ".")
    gb = gbench_medians(load_json(folder / "bench_plugin.json"))
    e2e = load_json(folder / "bench_e2e.json")
    mem = load_json(folder / "bench_memory.json")
    callgrind = {shape: callgrind_figures(folder / f"callgrind.{shape}.txt")
                 for shape in ("dense", "mixed")}

    table = Table()
    round_trips(table, gb)
    plugin_cpu(table, gb, callgrind)
    end_to_end(table, e2e)
    peer(table, gb, e2e)
    many_devices(table, e2e)
    discovery(table, e2e)
    memory(table, mem)

    print(table.markdown())
    missed = [row["figure"] for row in table.rows if row["ok"] is False]
    print()
    print("Targets missed: " + ("; ".join(missed) if missed else "none"))
    (folder / "bench.json").write_text(json.dumps(
        {"rows": table.rows, "targets_missed": missed,
         "raw": {"google_benchmark": gb, "end_to_end": e2e, "memory": mem,
                 "callgrind": callgrind}}, indent=2, default=str))


if __name__ == "__main__":
    main()
