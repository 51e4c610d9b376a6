#!/usr/bin/python3
"""Prints the engine's performance figures in one table.

Input: the JSON files that scripts/bench.sh has the benchmarks write, and the output of
scripts/bench-vs-sox.sh. Usage: bench_table.py DIR, where DIR holds transfer.json,
sound_field.json, process.json and vs-sox.txt (any of them may be missing).
"""
import json
import os
import sys


def load(directory, name):
    path = os.path.join(directory, name)
    if not os.path.exists(path):
        return []
    with open(path) as f:
        return json.load(f).get("benchmarks", [])


def main():
    directory = sys.argv[1]
    rows = []

    vs_sox = os.path.join(directory, "vs-sox.txt")
    if os.path.exists(vs_sox):
        with open(vs_sox) as f:
            for line in f:
                fields = line.split()
                if not fields or fields[0] not in ("chain", "sound", "equalizer"):
                    continue
                name = "sound field" if fields[0] == "sound" else fields[0]
                values = fields[2:] if fields[0] == "sound" else fields[1:]
                rows.append(("sox / ampfx, " + name, "%s (%s vs %s ms)" % (values[5], values[0], values[1]),
                             ">= 1.0"))
                if len(values) >= 8:
                    rows.append(("sox / before, " + name, "%s (%s ms)" % (values[7], values[6]), ""))

    # The median of the repetitions where there are several, else the single run.
    tails = {}
    for b in load(directory, "sound_field.json"):
        if not b["name"].startswith("BM_SoundFieldTailToSteady"):
            continue
        preset = b["name"].split("preset:")[1].split("/")[0]
        median = b.get("aggregate_name") == "median"
        if median or (b.get("run_type") != "aggregate" and preset not in tails):
            tails[preset] = (b["tail_to_steady"], median)
        elif median:
            tails[preset] = (b["tail_to_steady"], True)
    for preset in sorted(tails):
        value, median = tails[preset]
        rows.append(("tail / steady, preset %s (90 s into the tail)%s" %
                     (preset, ", median" if median else ""), "%.2f" % value, "<= 1.2"))

    for b in load(directory, "transfer.json"):
        width = "SSE2 (driver)" if int(b["vector_width"]) == 0 else "widest vectors (host)"
        rows.append(("one 1920-byte transfer, %s: mean / p99.9 / max" % width,
                     "%.0f / %.0f / %.0f us" % (b["mean_us"], b["p999_us"], b["max_us"]), ""))
        rows.append(("  max as share of its 10 ms", "%.2f %%" % b["max_pct_of_10ms"], "< 1 %"))
        rows.append(("  equalizer-block transfers, left channel (%d of %d): mean / max" %
                     (b["eq_block_transfers"], b["transfers"]),
                     "%.0f / %.0f us (%.2f %% of 10 ms on average)" %
                     (b["eq_block_mean_us"], b["eq_block_max_us"], b["eq_block_mean_pct_of_10ms"]), ""))
        rows.append(("  other transfers: mean / max",
                     "%.0f / %.0f us" % (b["other_mean_us"], b["other_max_us"]), ""))
        if "eq_right_transfers" in b:
            rows.append(("    of them finishing a right channel (%d): mean / max" %
                         b["eq_right_transfers"],
                         "%.0f / %.0f us" % (b["eq_right_mean_us"], b["eq_right_max_us"]), ""))
            rows.append(("    of them without equalizer work (%d): mean / max" %
                         (b["transfers"] - b["eq_block_transfers"] - b["eq_right_transfers"]),
                         "%.0f / %.0f us" % (b["no_eq_work_mean_us"], b["no_eq_work_max_us"]), ""))

    for b in load(directory, "process.json"):
        if "ns_per_frame" in b:
            rows.append(("stage cost, " + b["name"].replace("BenchStages/", ""),
                         "%.1f ns/frame" % b["ns_per_frame"], ""))

    width = max(len(r[0]) for r in rows) if rows else 10
    value_width = max(len(r[1]) for r in rows) if rows else 10
    print("%-*s  %-*s  %s" % (width, "figure", value_width, "value", "goal"))
    for name, value, goal in rows:
        print("%-*s  %-*s  %s" % (width, name, value_width, value, goal))


if __name__ == "__main__":
    main()
