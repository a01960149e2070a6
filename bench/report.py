#!/usr/bin/env python3
"""Prints the benchmark table from the JSON files the benchmark programs wrote.

Usage: report.py DIR   (DIR holds bench_data_path.json, bench_supervision.json, ...)

Every figure is the median over the repetitions of its benchmark; the baseline of each figure
was measured in the same process (or, where the baseline is a fixed quantity such as one
second of wall time or the pauses the modem dialogue prescribes, is that quantity).
"""

import json
import os
import sys


def load(directory, program):
    path = os.path.join(directory, program + ".json")
    with open(path) as f:
        return json.load(f)["benchmarks"]


def entry(runs, run_name):
    """The median aggregate of a benchmark, or its only run when it ran once."""
    matches = [r for r in runs if r.get("run_name", r["name"]) == run_name]
    for r in matches:
        if r.get("aggregate_name") == "median":
            return r
    plain = [r for r in matches if r.get("run_type", "iteration") == "iteration"]
    if plain:
        return plain[0]
    raise KeyError(run_name)


def seconds(run, field):
    unit = {"ns": 1e-9, "us": 1e-6, "ms": 1e-3, "s": 1.0}[run.get("time_unit", "ns")]
    return run[field] * unit


class Table:
    def __init__(self):
        self.rows = []

    def section(self, title):
        self.rows.append((title,))

    def add(self, figure, value, baseline, ratio, target, met, digits=2):
        def fmt(x):
            if isinstance(x, str):
                return x
            if abs(x) >= 100:
                return f"{x:,.0f}"
            return f"{x:.{digits}f}"

        def fmt_ratio(r):
            if r is None:
                return "-"
            return f"{r:.1e}" if r < 0.01 else f"{r:.3f}"

        self.rows.append((figure, fmt(value), fmt(baseline), fmt_ratio(ratio), target,
                          "-" if met is None else "yes" if met else "NO"))

    def print(self):
        header = ("figure", "value", "baseline", "ratio", "target", "met?")
        widths = [len(h) for h in header]
        for row in self.rows:
            if len(row) > 1:
                widths = [max(w, len(c)) for w, c in zip(widths, row)]
        line = "  ".join(h.ljust(w) for h, w in zip(header, widths))
        print(line)
        print("-" * len(line))
        for row in self.rows:
            if len(row) == 1:
                print(row[0])
                continue
            cells = [row[0].ljust(widths[0])] + [c.rjust(w) for c, w in zip(row[1:4], widths[1:4])]
            cells += [row[4].ljust(widths[4]), row[5]]
            print("  ".join(cells))


def data_path(table, runs):
    table.section("1. Data path throughput, MB/s (driver vs raw write/read on a pty)")
    for direction, sizes in (("send", (1, 64, 4096, 65536)), ("receive", (1, 64, 4096, 65535))):
        for size in sizes:
            run = entry(runs, f"BM_Throughput/{direction}/{size}/iterations:1/real_time")
            label = {1: "1 B", 64: "64 B", 4096: "4 KiB", 65536: "64 KiB", 65535: "64 KiB"}[size]
            if size == 65535:
                label += " (65535)"
            ratio = run["ratio"]
            table.add(f"  KORVA_{direction.capitalize()} {label}", run["driver_MBps"],
                      run["raw_MBps"], ratio, ">= 0.95", ratio >= 0.95, digits=3)

    for direction in ("send", "receive"):
        run = entry(runs, f"BM_CallCost/{direction}/iterations:1")
        driver, raw = run["driver_ns"], run["raw_ns"]
        table.add(f"  CPU per 1 B {direction} that does not wait, ns", driver, raw, driver / raw,
                  "- (explains)", None, 0)

    table.section("2. Receive wake-up latency, us (KORVA_Receive vs raw poll+read)")
    wake = entry(runs, "BM_WakeUp/iterations:1/real_time")
    for name, key in (("median", "median"), ("99th percentile", "p99")):
        driver, raw = wake[f"driver_{key}_us"], wake[f"raw_{key}_us"]
        table.add(f"  wake-up {name}", driver, raw, driver / raw, "<= 1.2", driver / raw <= 1.2, 1)
    # A receive that polled in 10 ms steps would put the median near 5000 us (ratio 0.5).
    median = wake["driver_median_us"]
    table.add("  wake-up median vs a 10 ms step", median, 10000.0, median / 10000.0, "<= 0.1",
              median / 10000.0 <= 0.1, 1)


def cycle_cpu(runs, backend):
    return {n: seconds(entry(runs, f"BM_SupervisionCycle/{backend}/{n}"), "cpu_time")
            for n in (1, 8, 32)}


def supervision(table, runs):
    table.section("3. Supervision cost, CPU (simulated modems' own work counted in)")
    for backend, label in (("simulated", "simulated modems"), ("tty", "ptys, tty backend")):
        cycle = cycle_cpu(runs, backend)[32]
        table.add(f"  one cycle's work, 32 idle ports, {label}, us", cycle * 1e6, 1e6, cycle,
                  "<= 0.001", cycle <= 0.001, 1)
    idle = entry(runs, "BM_IdleDriver/iterations:1/real_time")
    table.add("  idle driver, 32 ports, task at scale 1, CPU ms/min", idle["cpu_ms_per_minute"],
              60000.0, idle["core_fraction"], "<= 0.001", idle["core_fraction"] <= 0.001)
    reset = seconds(entry(runs, "BM_PeriodicReset/iterations:3"), "cpu_time")
    period = 602.0  # cycles of about one second between two resets
    table.add("  reset of 32 modems every 602 cycles, CPU ms", reset * 1e3, period * 1e3,
              reset / period, "<= 0.001", reset / period <= 0.001)


def scale(table, runs):
    table.section("6. Scale: one cycle's work against its one-second period, CPU us")
    for backend, label in (("simulated", "simulated"), ("tty", "tty")):
        cycles = cycle_cpu(runs, backend)
        for n in (1, 8, 32):
            table.add(f"  {n} port{'s' if n > 1 else ''}, {label}", cycles[n] * 1e6, 1e6,
                      cycles[n], "<= 0.001", cycles[n] <= 0.001, 1)
    for backend, label in (("tty", "tty"), ("simulated", "simulated")):
        cycles = cycle_cpu(runs, backend)
        per8, per32 = cycles[8] / 8, cycles[32] / 32
        # The simulated bank's own work per call grows with its number of modems.
        linear = backend == "tty"
        table.add(f"  per-port cost at 32 vs at 8 ports, {label}", per32 * 1e6, per8 * 1e6,
                  per32 / per8, "<= 1.1 (linear)" if linear else "- (sim grows)",
                  per32 / per8 <= 1.1 if linear else None, 2)


def allocations(table, runs):
    table.section("4. Heap allocations by the driver after cold start (full cycle)")
    run = entry(runs, "BM_DriverAllocations/iterations:1/real_time")
    for p in (1, 2):
        count = run[f"pass{p}_driver"]
        table.add(f"  pass {p}: driver ({run[f'pass{p}_outside']:.0f} by modems/host apart)",
                  count, 0.0, None, "0", count == 0, 0)


def dialogue(table, runs):
    table.section("5. Bring-up and dial against the dialogue's pauses, driver ms (scale 0.1)")
    run = entry(runs, "BM_DialogueTimes/iterations:1/real_time")
    for label, key in (("cold start of 4 ports", "coldstart"), ("dial-out (KORVA_Connect)", "dial"),
                       ("hang-up (KORVA_Disconnect)", "disconnect")):
        value, required = run[f"{key}_ms"], run[f"{key}_required_ms"]
        table.add(f"  {label}", value, required, value / required, "<= 1.05",
                  value / required <= 1.05, 0)


def main():
    directory = sys.argv[1]
    table = Table()
    data_path(table, load(directory, "bench_data_path"))
    supervision(table, load(directory, "bench_supervision"))
    # Not built under the sanitizers.
    if os.path.exists(os.path.join(directory, "bench_allocation.json")):
        allocations(table, load(directory, "bench_allocation"))
    dialogue(table, load(directory, "bench_dial"))
    scale(table, load(directory, "bench_supervision"))
    table.print()


if __name__ == "__main__":
    main()
