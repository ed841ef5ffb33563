#!/usr/bin/env python3
"""Puts the figures of one benchmark run into one markdown table, each beside its reference
and, where it has one, its target (met or MISSED), and writes them as JSON.

    report.py DIR     reads DIR/bench_plugin.json (Google Benchmark), DIR/bench_e2e.json,
                      DIR/bench_memory.json and DIR/callgrind.{dense,mixed}[-new-records|-changed-records].txt
                      (callgrind_annotate --inclusive=yes --threshold=100), prints the machine
                      and the table, and writes DIR/bench.json

The table's sections: Round trips, Plugin CPU, End-to-end, Peer, Many devices, Discovery,
Memory. bench.json holds the rows (by their figure names), the targets missed, the machine and
every raw figure the rows came from.
"""

import json
import math
import os
import re
import sys
from pathlib import Path

ITEMS_CALLGRIND = 1000
POLLS_CALLGRIND = 10
# Inclusive instruction counts of these functions make the "where it goes" breakdown of a poll:
# planning (every item's place from its columns, then the blocks; or the check that the records
# are those of the plan kept from the last poll), frames (requests out, replies in and cut into
# words) and values (words to the items' value texts). The rest is the poll's own loop and the
# session around it.
CALLGRIND_PARTS = [
    ("planning", [r"\bPollPlan::PollPlan\(", r"\bPollPlan::isFor\(", r"\bPollPlan::applyTo\("]),
    ("frames", [r"\bCAMP_NITP::sendRead\(", r"\bCAMP_NITP::receiveRead\("]),
    ("values", [r"\bApp_CAMP_NITP::assignBlockValues\("]),
]
REST = "the rest"
# The callgrind runs: the same records in every poll, as a host polls, and records new in every
# poll (file suffix, row suffix).
RECORDS = [("", ""), ("-new-records", ", new records every poll"),
           ("-changed-records", ", records changed every poll")]
# New records of the same content keep the plan: what they may cost (instructions an item by set,
# allocations an item, plugin / driver alone at 1 ms and with no added latency).
NEW_RECORDS_INSTRUCTIONS = {"dense": 1200, "mixed": 3000}
NEW_RECORDS_ALLOCATIONS_PER_ITEM = 2
NEW_RECORDS_RATIO = {1: 1.05, 0: 1.5}

RATIO_1MS = "plugin poll time / driver alone, same blocks, 1,000 dense items, 1 ms"
RATIO_0MS = "plugin poll time / driver alone, same blocks, 1,000 dense items, no added latency"
# The poll path's targets, with the figures measured before the work on it: row name -> (before,
# at most).
POLL_PATH_TARGETS = {
    "callgrind instructions per item, dense, 1,000 items": (3835, 1200),
    "callgrind instructions per item, mixed, 1,000 items": (7487, 3000),
    "heap allocations per poll, dense, 1,000 items": (3041, 1500),
    "heap allocations per poll, mixed, 1,000 items": (12207, 4000),
    RATIO_1MS: (1.036, 1.01),
    RATIO_0MS: (1.61, 1.25),
}


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


def inclusive_counts(text):
    """Function name -> inclusive instruction count, from callgrind_annotate --inclusive=yes.
    A recursive call's own line ("name'2") is left out: its count is inside the outer one."""
    counts = {}
    for line in text.splitlines():
        match = re.match(r"^\s*([\d,]+)\s+\([^)]*\)\s+(.*)$", line)
        if match and not re.search(r"'\d+ \[", match.group(2)):
            counts[match.group(2)] = int(match.group(1).replace(",", ""))
    return counts


def count_matching(counts, pattern):
    return sum(count for name, count in counts.items() if re.search(pattern, name))


def part_count(counts, patterns):
    return sum(count_matching(counts, pattern) for pattern in patterns)


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
    counts = inclusive_counts(text)
    figures = {"instructions_per_item": per_item(int(total.group(1).replace(",", "")))}
    for part, patterns in CALLGRIND_PARTS:
        figures[part] = per_item(part_count(counts, patterns))
    figures[REST] = figures["instructions_per_item"] - sum(
        figures[part] for part, _ in CALLGRIND_PARTS)
    return figures


def fmt(value, digits=0, unit=""):
    if value is None or (isinstance(value, float) and math.isnan(value)):
        return "n/a"
    return f"{value:,.{digits}f}{unit}"


def verdict(ok):
    if ok is None:
        return ""
    return "met" if ok else "MISSED"


def as_given(number):
    """A target's own figure as written: 3,835, 1.61."""
    return f"{number:,}" if isinstance(number, int) else f"{number:g}"


def plural(count, word):
    return f"{fmt(count)} {word}" + ("" if count == 1 else "s")


def ratio_text(value):
    return "n/a" if value is None else f"×{value:.3f}"


class Table:
    def __init__(self):
        self.rows = []

    def add(self, area, figure, measured, reference, target="", ok=None, values=None):
        self.rows.append({"area": area, "figure": figure, "measured": measured,
                          "reference": reference, "target": target, "ok": ok,
                          "values": values or {}})

    def add_poll_path_target(self, area, figure, value, measured, reference, values=None):
        """A row of the poll path's targets: its figure measured before beside it, met or not."""
        before, limit = POLL_PATH_TARGETS[figure]
        before_text = f"before {as_given(before)}"
        self.add(area, figure, measured,
                 f"{before_text}; {reference}" if reference else before_text,
                 f"≤ {as_given(limit)}", value is not None and value <= limit,
                 dict(values or {}, measured=value, before=before, at_most=limit))

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


def usable(bench):
    return bench is not None and "error" not in bench


def round_trips(table, gb):
    for shape in ("dense", "scattered", "mixed"):
        for count in (10, 100, 1000, 10000):
            bench = gb.get(f"poll/{shape}/{count}")
            figure = f"frames per poll, {shape}, {count:,} items"
            if not usable(bench):
                table.add("Round trips", figure, "n/a", (bench or {}).get("error", "not run"),
                          "= minimum", False)
                continue
            frames = bench["frames_per_poll"]
            minimum = bench["block_rule_min"]
            table.add("Round trips", figure, fmt(frames),
                      f"block-rule minimum {fmt(minimum)}; one per item {fmt(count)}",
                      "= minimum", frames == minimum,
                      {"frames": frames, "minimum": minimum, "one_per_item": count})


def callgrind_text(figures):
    """Instructions per item in total and by part."""
    parts = ", ".join(f"{part} {fmt(figures[part])}"
                      for part in [name for name, _ in CALLGRIND_PARTS] + [REST])
    return f"{fmt(figures['instructions_per_item'])} ({parts})"


def plugin_cpu(table, gb, callgrind):
    rtt = gb.get("loopback_round_trip/real_time") or gb.get("loopback_round_trip")
    rtt_ns = rtt["real_ns"] if rtt else None
    for shape in ("dense", "scattered", "mixed"):
        bench = gb.get(f"poll/{shape}/1000")
        if not usable(bench):
            continue
        per_item = bench["cpu_ns"] / 1000
        share = f"{100 * per_item / rtt_ns:.2f}% of one loopback round trip " \
                f"({fmt(rtt_ns / 1e3, 1)} µs)" if rtt_ns else "n/a"
        dense = shape == "dense"
        table.add("Plugin CPU",
                  f"CPU per item, {shape}, 1,000 items ({fmt(bench['frames_per_poll'])} frames)",
                  f"{fmt(per_item)} ns ({fmt(bench['cpu_ns'] / 1e3)} µs a poll)", share,
                  "≤ 1,000 ns an item" if dense else "(kernel time of the frames dominates)",
                  per_item <= 1000 if dense else None,
                  {"cpu_ns_per_item": per_item, "cpu_ns_per_poll": bench["cpu_ns"],
                   "round_trip_ns": rtt_ns})
    for suffix, row_suffix in RECORDS:
        for shape in ("dense", "mixed"):
            figure = f"callgrind instructions per item, {shape}, 1,000 items{row_suffix}"
            figures = callgrind.get(shape + suffix)
            if suffix == "-new-records":
                if figures:
                    same = (callgrind.get(shape) or {}).get("instructions_per_item")
                    limit = NEW_RECORDS_INSTRUCTIONS[shape]
                    table.add("Plugin CPU", figure, callgrind_text(figures),
                              f"equal in content to the last poll's: the plan is kept; the same "
                              f"records {fmt(same)}", f"≤ {limit:,}",
                              figures["instructions_per_item"] <= limit, figures)
            elif suffix:
                if figures:
                    same = (callgrind.get(shape) or {}).get("instructions_per_item")
                    table.add("Plugin CPU", figure, callgrind_text(figures),
                              f"every poll plans and checks afresh; the same records {fmt(same)}",
                              "", None, figures)
            elif figures:
                table.add_poll_path_target("Plugin CPU", figure, figures["instructions_per_item"],
                                           callgrind_text(figures), "", figures)
            else:
                table.add_poll_path_target("Plugin CPU", figure, None, "n/a", "not run")
    pieces = [("piece/read_frame", "build one read request frame", 1, "a frame"),
              ("piece/parse_reply_256", "frame and cut a 256-word reply", 256, "a word"),
              ("piece/address_range_256", "address range from an item's columns", 256, "an item"),
              ("piece/assign_values_256", "convert and store 256 Integer values", 256, "an item")]
    for name, what, count, unit in pieces:
        bench = gb.get(name)
        if usable(bench):
            table.add("Plugin CPU", what, f"{fmt(bench['cpu_ns'] / count, 1)} ns {unit}",
                      "", "", None, {"cpu_ns": bench["cpu_ns"] / count})


def one_read_per_item_text(case):
    naive = case.get("one_read_per_item", {})
    if "skipped" in naive:
        return f"one read per item not timed ({naive['skipped']})"
    return f"one read per item {fmt(naive.get('median_ms'), 2)} ms " \
           f"({plural(naive.get('requests_per_poll'), 'request')})"


def end_to_end(table, e2e):
    cases = (e2e or {}).get("end_to_end", [])
    for case in cases:
        items, latency, limit = case["items"], case["latency_ms"], case["limit_ms"]
        figure = f"{items:,} items, {latency} ms added latency"
        if "plugin" not in case:
            table.add("End-to-end", figure, "n/a", case.get("error", "not run"), "", None, case)
            continue
        median = case["plugin"]["median_ms"]
        driver = case.get("driver_blocks_only", {})
        pairs = case.get("plugin_over_driver", {})
        reference = f"limit {fmt(limit, 1)} ms ({plural(case['blocks'], 'block')} × {latency} ms)" \
            if latency else "no added latency"
        reference += f"; the driver alone reading the same blocks {fmt(driver.get('median_ms'), 3)}" \
                     f" ms (plugin {ratio_text(pairs.get('median_ratio'))}," \
                     f" {fmt(pairs.get('pairs'))} polls of each in turns)"
        reference += "; " + one_read_per_item_text(case)
        target, ok = "", None
        if items == 1000 and latency == 1:
            target, ok = "≤ 1.05 × limit", median <= 1.05 * limit
        over = f", limit + {100 * (median / limit - 1):.1f}%" if latency else ""
        table.add("End-to-end", figure,
                  f"{fmt(median, 3)} ms a poll{over}; "
                  f"{fmt(case['plugin'].get('polls_per_second'))} polls/s",
                  reference, target, ok, case)
    for latency, figure in ((1, RATIO_1MS), (0, RATIO_0MS)):
        case = next((c for c in cases if c["items"] == 1000 and c["latency_ms"] == latency
                     and "plugin_over_driver" in c), None)
        if not case:
            table.add_poll_path_target("End-to-end", figure, None, "n/a", "not run")
            continue
        ratio = case["plugin_over_driver"]["median_ratio"]
        itself = case.get("driver_over_driver", {})
        table.add_poll_path_target(
            "End-to-end", figure, ratio, fmt(ratio, 3),
            f"plugin {fmt(case['plugin']['median_ms'], 3)} ms, driver alone "
            f"{fmt(case['driver_blocks_only']['median_ms'], 3)} ms; median of "
            f"{fmt(case['plugin_over_driver']['pairs'])} pairs taken in turns; "
            f"the driver beside itself {ratio_text(itself.get('median_ratio'))}"
            + ("; client and peers on one core" if case.get("one_core") else ""),
            {"plugin_ms": case["plugin"]["median_ms"],
             "driver_ms": case["driver_blocks_only"]["median_ms"],
             "driver_over_driver": itself.get("median_ratio")})
        fresh = case.get("plugin_new_records_over_driver")
        if fresh:
            limit = NEW_RECORDS_RATIO.get(case["latency_ms"])
            table.add("End-to-end", figure + ", new records every poll",
                      fmt(fresh["median_ratio"], 3),
                      f"records equal in content to the last poll's: plugin "
                      f"{fmt(case['plugin_new_records']['median_ms'], 3)} ms; median of "
                      f"{fmt(fresh['pairs'])} pairs taken in turns",
                      f"≤ {limit}" if limit else "",
                      fresh["median_ratio"] <= limit if limit else None,
                      {"plugin_ms": case["plugin_new_records"]["median_ms"],
                       "ratio": fresh["median_ratio"]})


def peer_cpu(table, gb):
    """Per word, in-process, no added latency: like against like."""
    for words in (100, 1000):
        driver, modbus = gb.get(f"driver_read/{words}"), gb.get(f"modbus_read/{words}")
        poll, modbus_poll = gb.get(f"poll/dense/{words}"), gb.get(f"modbus_poll/{words}")
        if usable(driver) and usable(modbus):
            table.add("Peer", f"{words:,} words: requests per poll",
                      f"CAMP {fmt(driver['requests_per_poll'])}",
                      f"libmodbus {fmt(modbus['requests_per_poll'])}", "", None)
            driver_word, modbus_word = driver["cpu_ns"] / words, modbus["cpu_ns"] / words
            table.add("Peer", f"{words:,} words: CPU per word, raw words",
                      f"driver alone {fmt(driver_word, 1)} ns",
                      f"libmodbus, raw registers {fmt(modbus_word, 1)} ns",
                      "≤ libmodbus", driver_word <= modbus_word,
                      {"camp_driver_ns": driver_word, "libmodbus_ns": modbus_word})
        if usable(poll) and usable(modbus_poll):
            plugin_item, modbus_item = poll["cpu_ns"] / words, modbus_poll["cpu_ns"] / words
            table.add("Peer", f"{words:,} items: CPU per item, values stored in the request",
                      f"plugin poll {fmt(plugin_item, 1)} ns",
                      f"libmodbus and the same conversion {fmt(modbus_item, 1)} ns",
                      "≤ libmodbus", plugin_item <= modbus_item,
                      {"camp_plugin_ns": plugin_item, "libmodbus_records_ns": modbus_item})


def peer_latency(table, e2e):
    """Whole polls with added latency: the request counts decide, so no target."""
    for case in (e2e or {}).get("end_to_end", []):
        if not case["latency_ms"] or "plugin" not in case:
            continue
        plugin, driver = case["plugin"], case.get("driver_blocks_only", {})
        raw, full = case.get("libmodbus", {}), case.get("libmodbus_records", {})
        items = case["items"]
        table.add("Peer", f"{items:,} items, {case['latency_ms']} ms added latency",
                  f"CAMP: raw {fmt(driver.get('median_ms'), 3)} ms, values "
                  f"{fmt(plugin.get('median_ms'), 3)} ms; "
                  f"{plural(plugin.get('requests_per_poll'), 'request')}",
                  f"libmodbus: raw {fmt(raw.get('median_ms'), 3)} ms, values "
                  f"{fmt(full.get('median_ms'), 3)} ms; "
                  f"{plural(full.get('requests_per_poll'), 'request')}", "", None,
                  {"camp_driver": driver, "camp_plugin": plugin, "libmodbus": raw,
                   "libmodbus_records": full})


def many_devices(table, e2e):
    cases = [c for c in (e2e or {}).get("many_devices", []) if "error" not in c]
    kept = [c for c in cases if not c.get("new_records")]
    single = {c["latency_ms"]: c.get("polls_per_second") for c in kept if c["devices"] == 1}
    # 16 devices is the fewest with two devices for every host thread: the base of the CPU growth.
    base_cpu = {c["latency_ms"]: c.get("host_cpu_us_per_poll") for c in kept
                if c["devices"] == 16}
    for case in cases:
        rate, cpu = case.get("polls_per_second"), case.get("host_cpu_us_per_poll")
        base_rate, base = single.get(case["latency_ms"]), base_cpu.get(case["latency_ms"])
        scaling = f"×{rate / base_rate:.1f} the polls of one device" if rate and base_rate \
            else "n/a"
        growth = f" (×{cpu / base:.2f} of 16 devices)" if cpu and base else ""
        table.add("Many devices",
                  f"{case['devices']} devices, {case['threads']} host threads, "
                  f"{case['latency_ms']} ms latency"
                  + (", new records every poll" if case.get("new_records") else ""),
                  f"{fmt(rate)} polls/s (100 items each); {fmt(cpu, 1)} µs host CPU a poll",
                  f"{scaling}; CPU a poll{growth}",
                  "CPU a poll flat in the device count", None, case)


def discovery(table, e2e):
    found = (e2e or {}).get("discovery")
    if not found:
        return
    if "skipped" in found:
        table.add("Discovery", "namespace /24 scans", "skipped", found["skipped"], "", None)
        return
    for key, figure in (("empty", "scan of an empty /24"),
                        ("controllers", "scan of a /24 with 8 simulated controllers")):
        scan = found.get(key, {})
        median, floor = scan.get("median_ms"), scan.get("floor_ms")
        ratio = median / floor if median and floor else None
        target, ok = ("≤ 1.25 × floor", ratio is not None and ratio <= 1.25) \
            if key == "empty" else ("", None)
        table.add("Discovery", figure,
                  f"{fmt(median, 1)} ms ({fmt(scan.get('found'))} found of "
                  f"{fmt(scan.get('expected'))}, {fmt(scan.get('targets'))} targets)",
                  f"floor {fmt(floor, 1)} ms (×{ratio:.2f})" if ratio else "n/a",
                  target, ok, scan)
    table.add("Discovery", "one identify exchange",
              f"{fmt(found.get('identify_exchange_ms'), 2)} ms",
              "connect, V1 read, status word read", "", None)


def memory(table, mem):
    if not mem:
        return
    sessions = mem.get("sessions", {})
    if "error" not in sessions:
        table.add("Memory", "resident memory per open session",
                  f"{fmt(sessions.get('resident_bytes_per_session'))} bytes",
                  f"heap {fmt(sessions.get('heap_bytes_per_session'))} bytes a session "
                  f"({sessions.get('sessions')} sessions; socket buffers are kernel memory)",
                  "", None, sessions)
    polls = {(poll.get("set"), poll.get("new_records", False)): poll
             for poll in mem.get("poll_allocations", [])}
    for shape in ("dense", "mixed"):
        figure = f"heap allocations per poll, {shape}, 1,000 items"
        poll = polls.get((shape, False))
        if not usable(poll):
            table.add_poll_path_target("Memory", figure, None, "n/a",
                                       (poll or {}).get("error", "not run"))
            continue
        table.add_poll_path_target(
            "Memory", figure, poll["allocations_per_poll"],
            f"{fmt(poll['allocations_per_poll'])} ({poll['allocations_per_item']:.1f} an item)",
            f"now {fmt(poll['bytes_per_poll'] / 1024, 1)} KiB allocated a poll", poll)
    for shape in ("dense", "mixed"):
        poll = polls.get((shape, True))
        if usable(poll):
            table.add("Memory", f"heap allocations per poll, {shape}, 1,000 items, "
                      "new records every poll",
                      f"{fmt(poll['allocations_per_poll'])} "
                      f"({poll['allocations_per_item']:.1f} an item)",
                      f"equal in content to the last poll's; "
                      f"{fmt(poll['bytes_per_poll'] / 1024, 1)} KiB allocated a poll",
                      f"≤ {NEW_RECORDS_ALLOCATIONS_PER_ITEM} an item",
                      poll["allocations_per_item"] <= NEW_RECORDS_ALLOCATIONS_PER_ITEM, poll)


def machine():
    """What the figures were measured on: a shared, busy machine shows in its load."""
    model = "unknown"
    try:
        for line in Path("/proc/cpuinfo").read_text().splitlines():
            if line.startswith("model name"):
                model = line.split(":", 1)[1].strip()
                break
    except OSError:
        pass
    return {"cores": os.cpu_count(), "cpu": model,
            "load_average_1_5_15_min": [round(load, 2) for load in os.getloadavg()]}


def machine_line(facts):
    load = ", ".join(f"{value:.1f}" for value in facts["load_average_1_5_15_min"])
    return f"Machine: {facts['cores']} cores, {facts['cpu']}; load average {load} (1, 5, 15 min)"


def connections(table, found):
    """One poll's blocks over N connections on a slow scan: each row against N = 1."""
    for row in (found or {}).get("connections", []):
        words, n = row["words"], row["connections"]
        is_target = words == 10000 and n == 4
        ratio = row.get("ratio_to_one")
        table.add("Connections",
                  f"{words:,} dense words over {n} connection{'s' if n > 1 else ''}, "
                  f"{row['scan_ms']} ms scan",
                  f"{fmt(row.get('median_ms'), 1)} ms a poll (×{ratio:.2f} of one)"
                  + (f"; {row['problem']}" if row.get("problem") else ""),
                  f"{row['blocks']} blocks: at least {row['limit_scans']} scans "
                  f"({row['limit_scans'] * row['scan_ms']} ms)",
                  "≤ 0.3 × one connection" if is_target else "",
                  (ratio is not None and ratio <= 0.3) if is_target else None, row)
    silent = (found or {}).get("silent_extras")
    if silent:
        timeouts = silent.get("timeouts")
        table.add("Connections",
                  "8 connections, 7 of them silent",
                  f"{fmt(silent.get('median_ms'), 1)} ms a poll ({fmt(timeouts, 2)} time-outs)"
                  + (f"; {silent['problem']}" if silent.get("problem") else ""),
                  f"replies awaited in turn: 7 time-outs of {silent['timeout_ms']} ms",
                  "≤ 1.5 time-outs", timeouts is not None and timeouts <= 1.5, silent)


def off_scan(table, found):
    """A dead module: what 20 polls of it cost the host thread, and an off-scan poll."""
    if not found:
        return
    total, timeout = found.get("dead_polls_total_ms"), found["timeout_ms"]
    table.add("Device health",
              f"{found['polls']} polls of a module that drops every packet, default time-out",
              f"{fmt(total)} ms in all ({found['dead_polls_off_scan']} of them off-scan)",
              f"every poll waiting its time-out: {found['polls'] * timeout:,} ms",
              f"≤ 3 time-outs + 1 s ({3 * timeout + 1000:,} ms)",
              total is not None and total <= 3 * timeout + 1000, found)
    median = found.get("off_scan_poll_median_ms")
    table.add("Device health", "a poll of an off-scan device",
              f"{fmt(median, 4)} ms (median)", "no frame, no wait", "< 1 ms",
              median is not None and median < 1.0, found)
    named = found.get("named_off_scan_poll_median_ms")
    if named is not None:
        table.add("Device health",
                  "a poll of an off-scan device named by a host name, its name server silent",
                  f"{fmt(named, 4)} ms (median)", "the resolver's wait (5 s here) every poll",
                  "< 1 ms", named < 1.0, found)


def main():
    folder = Path(sys.argv[1] if len(sys.argv) > 1 else ".")
    gb = gbench_medians(load_json(folder / "bench_plugin.json"))
    e2e = load_json(folder / "bench_e2e.json")
    mem = load_json(folder / "bench_memory.json")
    parallel = load_json(folder / "bench_connections.json")
    offscan = load_json(folder / "bench_offscan.json")
    callgrind = {shape + suffix: callgrind_figures(folder / f"callgrind.{shape}{suffix}.txt")
                 for shape in ("dense", "mixed") for suffix, _ in RECORDS}

    table = Table()
    round_trips(table, gb)
    plugin_cpu(table, gb, callgrind)
    end_to_end(table, e2e)
    peer_cpu(table, gb)
    peer_latency(table, e2e)
    many_devices(table, e2e)
    discovery(table, e2e)
    memory(table, mem)
    connections(table, parallel)
    off_scan(table, offscan)

    facts = machine()
    print(machine_line(facts))
    print()
    print(table.markdown())
    missed = [row["figure"] for row in table.rows if row["ok"] is False]
    print()
    print("Targets missed: " + ("; ".join(missed) if missed else "none"))
    (folder / "bench.json").write_text(json.dumps(
        {"machine": facts, "rows": table.rows, "targets_missed": missed,
         "raw": {"google_benchmark": gb, "end_to_end": e2e, "memory": mem,
                 "callgrind": callgrind, "connections": parallel, "off_scan": offscan}},
        indent=2, default=str))


if __name__ == "__main__":
    main()
