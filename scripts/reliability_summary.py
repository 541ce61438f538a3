#!/usr/bin/python3
"""The reliability suite's one-page summary from the logs scripts/reliability.sh
leaves in its folder: per item what was tried, what held, and the seeds or
sites of anything that failed.

Usage: scripts/reliability_summary.py build/reliability"""
import datetime
import os
import re
import subprocess
import sys

folder = sys.argv[1] if len(sys.argv) > 1 else "build/reliability"


def read(name):
    try:
        with open(os.path.join(folder, name), errors="replace") as f:
            return f.read()
    except OSError:
        return None


def status(name):
    """'held', 'FAILED (exit N)', 'skipped' or 'not run', with the minutes it took."""
    text = read(name + ".status")
    if text is None:
        return "not run"
    if text.strip() == "skipped":
        return "skipped"
    code, seconds = (int(x) for x in text.split())
    verdict = "held" if code == 0 else "FAILED (exit %d)" % code
    return "%s, %.1f min" % (verdict, seconds / 60)


def lines_after(text, marker):
    """The block of non-empty lines that follows the line containing `marker`."""
    if not text or marker not in text:
        return []
    block = text[text.index(marker):].splitlines()
    out = []
    for line in block:
        if not line.strip() and out:
            break
        out.append(line)
    return out


def faults():
    log = read("faults.log")
    rows = [l for l in (log or "").splitlines() if l.startswith("reliability: faults")]
    head = [l for l in (log or "").splitlines() if l.startswith("Systematic allocation failures")]
    return head + rows


def storm():
    log = read("storm.log") or ""
    seed = (read("storm.seed") or "?").strip()
    lines = log.splitlines()
    found = [l for l in lines if l.startswith("reliability: unplug storm")]
    failures = []
    for at, line in enumerate(lines):
        if "Failure" in line and len(failures) < 12:
            failures += ["seed %s: %s" % (seed, l) for l in lines[at:at + 3]]
    out = found or ["no figures: the run stopped before its end (seed %s; see storm.log)" % seed]
    return out + failures


def fuzz():
    return lines_after(read("fuzz.log"), "== fuzzing summary")[1:]


def races():
    return lines_after(read("races.log"), "Race families")


def tsan():
    log = read("tsan.log") or ""
    out = [l for l in log.splitlines() if re.search(r"tests passed|^tsan: ", l)]
    failed = lines_after(log, "The following tests FAILED")
    return out + failed[:20]


def commit():
    try:
        return subprocess.run(["git", "rev-parse", "--short", "HEAD"], capture_output=True, text=True).stdout.strip()
    except OSError:
        return "unknown"


ITEMS = [
    ("1 low resources, whole stack", "faults", faults,
     "every allocation site of tolvane, then merrow, failing once in each scenario of the port's life"),
    ("2 unplug storm", "storm", storm, "unplug/replug at seeded random moments with traffic both ways"),
    ("3 fuzzed requests", "fuzz", fuzz, "libFuzzer: merrow's descriptors and control codes, the port's requests"),
    ("4 races, delay fuzzer", "races", races, "each race family with its delay-fuzzer seeds"),
    ("4 races, ThreadSanitizer", "tsan", tsan, "the simulator and the scenario tests under ThreadSanitizer"),
]


def main():
    print("Reliability summary, %s, commit %s" % (datetime.date.today().isoformat(), commit()))
    held = True
    for title, name, details, what in ITEMS:
        verdict = status(name)
        held = held and (verdict.startswith("held") or verdict == "skipped")
        print()
        print("%s: %s" % (title, verdict))
        if verdict in ("skipped", "not run"):
            continue
        print("  tried: %s (log: %s)" % (what, os.path.join(folder, name + ".log")))
        for line in details():
            print("  " + line)
    print()
    print("Everything held." if held else "Something failed: see the items marked FAILED and their logs.")
    return 0 if held else 1


if __name__ == "__main__":
    sys.exit(main())
