#!/usr/bin/python3
"""One line per fuzz target of the last CTest run: the coverage libFuzzer reached (points and
features), the corpus it ended with, how many inputs it ran and how fast.

    scripts/fuzz-summary.py build/host-fuzz/Testing/Temporary/LastTest.log

A target whose coverage stays in the tens is blind: the code it feeds is not instrumented.
"""
import re
import sys

STATUS = re.compile(r"^#(\d+)\s+\S+\s+cov: (\d+) ft: (\d+) corp: (\d+)/(\S+)")
STAT = re.compile(r"^stat::(\w+):\s+(\d+)")


def summarise(log):
    targets = {}
    name = None
    for line in log.splitlines():
        start = re.match(r"^\d+/\d+ Testing: (\S+)", line)
        if start:
            name = start.group(1)
            targets[name] = {}
            continue
        if name is None:
            continue
        status = STATUS.match(line)
        if status:
            runs, cov, ft, corp, size = status.groups()
            targets[name].update(cov=int(cov), ft=int(ft), corp=int(corp), size=size)
        stat = STAT.match(line)
        if stat:
            targets[name][stat.group(1)] = int(stat.group(2))
        if line.startswith("Test time ="):
            name = None
    return targets


def main():
    if len(sys.argv) != 2:
        sys.exit(__doc__)
    with open(sys.argv[1], encoding="utf-8", errors="replace") as f:
        targets = summarise(f.read())
    print(f"{'fuzz target':34} {'cov':>6} {'ft':>7} {'corpus':>14} {'runs':>10} {'exec/s':>8}")
    for name, t in sorted(targets.items()):
        corpus = f"{t.get('corp', 0)}/{t.get('size', '0b')}"
        print(f"{name:34} {t.get('cov', 0):>6} {t.get('ft', 0):>7} {corpus:>14} "
              f"{t.get('number_of_executed_units', 0):>10} {t.get('average_exec_per_sec', 0):>8}")


if __name__ == "__main__":
    main()
