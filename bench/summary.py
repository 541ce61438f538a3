#!/usr/bin/python3
"""Prints the whole-stack benchmark figures as one table and draws the plot.

Usage: bench/summary.py BUILD_DIR

Reads what `make bench` left in BUILD_DIR: Google Benchmark's JSON
(bench.json), callgrind's annotated profile (callgrind.txt), the scenario
clock (scenario_clock.json), the test suite's wall time (suite_time.txt) and
the serial lab beside a socat pty pair (lab_bench.json).
Writes the plot's data (throughput.dat) and, with gnuplot, the plot
(throughput.svg). A figure whose input is missing shows as "not run".
"""
import datetime
import json
import os
import re
import subprocess
import sys

LOOPBACK_SIZES = [1, 64, 1024, 4096, 65536, 1 << 20]
PORT_GOAL, CEILING_GOAL = 0.90, 0.95


def load_json(path):
    try:
        with open(path) as f:
            return json.load(f)
    except (OSError, ValueError):
        return None


def benchmarks(build):
    data = load_json(os.path.join(build, "bench.json")) or {}
    found = {}
    for b in data.get("benchmarks", []):
        if b.get("run_type", "iteration") == "iteration" and not b.get("error_occurred"):
            found[b["name"]] = b
    return found


def size_label(n):
    if n >= 1 << 20:
        return "%d MB" % (n >> 20)
    if n >= 1024:
        return "%d KB" % (n >> 10)
    return "%d B" % n


def rate(b):
    return b.get("bytes_per_second") if b else None


def mbps(value):
    if value is None:
        return "not run"
    return "%.2f MB/s" % (value / 1e6) if value >= 1e6 else "%.1f kB/s" % (value / 1e3)


def loopback_rows(found):
    rows, points = [], []
    for n in LOOPBACK_SIZES:
        port = rate(found.get("BM_PortLoopback/%d/real_time" % n))
        pipe = rate(found.get("BM_PipeLoopback/%d/real_time" % n))
        ratio = port / pipe if port and pipe else None
        goal = "" if n < 4096 or ratio is None else (" ok" if ratio >= PORT_GOAL else " SHORT")
        rows.append(("1 port/pipe %s" % size_label(n), "%.3f%s" % (ratio, goal) if ratio else "not run",
                     "port %s, pipe %s" % (mbps(port), mbps(pipe))))
        if port and pipe:
            points.append((n, port, pipe))
    return rows, points


def timed_rows(found):
    rows = []
    for speed, ceiling in (("Full", "64 B/1 ms"), ("High", "512 B/125 us")):
        b = found.get("BM_TimedReceive%s/iterations:1/real_time" % speed)
        if not b:
            rows.append(("2 %s-speed receive" % speed.lower(), "not run", ""))
            continue
        share = b["of_ceiling"]
        rows.append(("2 %s-speed receive / ceiling" % speed.lower(),
                     "%.3f%s" % (share, " ok" if share >= CEILING_GOAL else " SHORT"),
                     "%s virtual, ceiling %s" % (mbps(b["virtual_Bps"]), ceiling)))
    b = found.get("BM_PacedInput921600/iterations:1/real_time")
    if b:
        clean = b["overruns"] == 0 and b["missing"] == 0 and b["intact"] == 1
        rows.append(("2 921600 baud paced, high speed", "carried" if clean else "LOST BYTES",
                     "%d overrun, %d missing of 92160" % (b["overruns"], b["missing"])))
    return rows


def latency_rows(found):
    stack = found.get("BM_StackLatency/iterations:1/real_time")
    pty = found.get("BM_SocatLatency/iterations:1/real_time")
    rows = []
    for label, key, pty_key in (("device->app", "dev_to_app", "a_to_b"), ("app->device", "app_to_dev", "b_to_a")):
        if not stack or not pty:
            rows.append(("3 latency %s" % label, "not run", ""))
            continue
        p50, pp50 = stack[key + "_p50_us"], pty[pty_key + "_p50_us"]
        rows.append(("3 latency %s p50 stack/socat" % label, "%.1f" % (p50 / pp50),
                     "p50/p99/max us: stack %.0f/%.0f/%.0f, socat pty %.0f/%.0f/%.0f" % (
                         p50, stack[key + "_p99_us"], stack[key + "_max_us"],
                         pp50, pty[pty_key + "_p99_us"], pty[pty_key + "_max_us"])))
    return rows


DRIVER_SOURCES = ("port/", "pipe/", "common/")


def callgrind_total(path):
    """PROGRAM TOTALS and the transfer length of an annotated callgrind profile."""
    try:
        with open(path) as f:
            text = f.read()
    except OSError:
        return None, None, None
    total = re.search(r"^\s*([\d,]+)\s+\(100\.0%\)\s+PROGRAM TOTALS", text, re.M)
    length = re.search(r"^# bytes: (\d+)", text, re.M)
    if not total or not length:
        return text, None, None
    return text, int(total.group(1).replace(",", "")), int(length.group(1))


def instruction_ratio_row(build):
    """The port stack's instructions per byte against the raw pipe's: the
    load-independent form of item 1 at 1 MB."""
    _, port, length = callgrind_total(os.path.join(build, "callgrind.txt"))
    _, pipe, pipe_length = callgrind_total(os.path.join(build, "callgrind-pipe.txt"))
    if not port or not pipe:
        return [("1 pipe/port instructions, 1 MB", "not run", "make bench-callgrind")]
    return [("1 pipe/port instructions, 1 MB", "%.3f%s" % (pipe / port, " ok" if pipe / port >= PORT_GOAL else " SHORT"),
             "instructions per byte: port %.0f, pipe %.0f (callgrind)" % (port / length, pipe / pipe_length))]


def callgrind_rows(build):
    """Instructions per byte, the drivers' share (their own source lines) and
    the top five functions by self cost, inlined parts summed per function."""
    try:
        with open(os.path.join(build, "callgrind.txt")) as f:
            text = f.read()
    except OSError:
        return [("4 instructions per byte", "not run", "make bench-callgrind")], []
    total = re.search(r"^\s*([\d,]+)\s+\(100\.0%\)\s+PROGRAM TOTALS", text, re.M)
    length = re.search(r"^# bytes: (\d+)", text, re.M)
    if not total or not length:
        return [("4 instructions per byte", "unreadable", "callgrind.txt")], []
    ir = int(total.group(1).replace(",", ""))
    per_function, drivers = {}, 0
    for m in re.finditer(r"^\s*([\d,]+)\s+\(\s*[\d.]+%\)\s+([^:\s]+):(.+?)(?: \[[^\]]*\])?$", text, re.M):
        cost, source, function = int(m.group(1).replace(",", "")), m.group(2), m.group(3).strip()
        function = re.sub(r"'\d+$", "", function)  # callgrind's recursion levels
        per_function[function] = per_function.get(function, 0) + cost
        if source.startswith(DRIVER_SOURCES):
            drivers += cost
    top = sorted(per_function.items(), key=lambda kv: -kv[1])[:5]
    rows = [("4 instructions per byte (1 MB loopback)", "%.0f" % (ir / int(length.group(1))),
             "%s Ir; drivers' own lines %.1f%%" % (format(ir, ","), 100.0 * drivers / ir))]
    return rows, [(name, 100.0 * cost / ir) for name, cost in top]


def scale_rows(found):
    rates = {n: rate(found.get("BM_Scale/%d/real_time" % n)) for n in (1, 8, 64)}
    rows = []
    for n in (1, 8, 64):
        r = rates[n]
        rows.append(("5 %d adapter%s, aggregate / 1 adapter" % (n, "s" if n > 1 else ""),
                     "%.2f" % (r / rates[1]) if r and rates[1] else "not run", mbps(r)))
    return rows


def lab_rows(build):
    lab = load_json(os.path.join(build, "lab_bench.json"))
    if not lab:
        return [("6 serial lab", "not run", "make bench-lab")]
    rows = []
    for label, key in (("pyserial 64 KB round trip", "round_trip_64k_s"), ("ZMODEM 1 MB", "zmodem_1m_s")):
        lab_s, socat_s = lab[key]["lab"], lab[key]["socat"]
        rows.append(("6 %s, lab/socat speed" % label, "%.3f" % (socat_s / lab_s),
                     "lab %.2f s, socat pty pair %.2f s" % (lab_s, socat_s)))
    return rows


def suite_rows(build):
    clock = load_json(os.path.join(build, "scenario_clock.json"))
    rows = []
    if clock:
        rows.append(("7 port scenarios: simulated s / wall s", "%.1f" % clock["simulated_per_wall"],
                     "%.1f s simulated in %.1f s, %d tests, %d failed" % (
                         clock["simulated_seconds"], clock["wall_seconds"], clock["tests"], clock["failed"])))
    else:
        rows.append(("7 port scenarios: simulated s / wall s", "not run", "make bench-suite"))
    try:
        with open(os.path.join(build, "suite_time.txt")) as f:
            rows.append(("7 whole test suite, wall time", "%.0f s" % float(f.read().split()[0]),
                         "ctest -j2, host-release build"))
    except (OSError, ValueError, IndexError):
        rows.append(("7 whole test suite, wall time", "not run", "make bench-suite"))
    return rows


def plot(build, points):
    if not points:
        return None
    data = os.path.join(build, "throughput.dat")
    with open(data, "w") as f:
        f.write("# bytes_per_write port_Bps pipe_Bps\n")
        for n, port, pipe in points:
            f.write("%d %.0f %.0f\n" % (n, port, pipe))
    svg = os.path.join(build, "throughput.svg")
    script = os.path.join(os.path.dirname(os.path.abspath(__file__)), "throughput.gp")
    try:
        subprocess.run(["gnuplot", "-e", "data='%s'; out='%s'" % (data, svg), script], check=True)
    except (OSError, subprocess.CalledProcessError) as e:
        print("plot: gnuplot failed: %s" % e, file=sys.stderr)
        return None
    return svg


def commit():
    try:
        head = subprocess.run(["git", "rev-parse", "--short", "HEAD"], capture_output=True, text=True).stdout.strip()
        dirty = subprocess.run(["git", "status", "--porcelain", "--untracked-files=no"],
                               capture_output=True, text=True).stdout.strip()
        return head + ("+changes" if dirty else "")
    except OSError:
        return "unknown"


def main():
    build = sys.argv[1] if len(sys.argv) > 1 else "build/host-release"
    found = benchmarks(build)
    loop, points = loopback_rows(found)
    cost, top = callgrind_rows(build)
    rows = loop + instruction_ratio_row(build) + timed_rows(found) + latency_rows(found) + cost + scale_rows(found) + lab_rows(build) + suite_rows(build)
    print("Whole-stack benchmarks, %s, commit %s" % (datetime.date.today().isoformat(), commit()))
    width = max(len(r[0]) for r in rows)
    vwidth = max(len(r[1]) for r in rows)
    print("| %-*s | %-*s | %s" % (width, "figure", vwidth, "ratio", "absolute"))
    print("|-%s-|-%s-|-%s" % ("-" * width, "-" * vwidth, "-" * 8))
    for name, value, absolute in rows:
        print("| %-*s | %-*s | %s" % (width, name, vwidth, value, absolute))
    if top:
        print("callgrind, top five functions by instructions (self):")
        for name, share in top:
            print("  %5.1f%%  %s" % (share, name))
    svg = plot(build, points)
    if svg:
        print("plot: %s" % svg)


if __name__ == "__main__":
    main()
