#!/usr/bin/env python3
"""Prints the figures of an nmb_bench JSON file as a Markdown table.

    python3 bench/json_to_markdown.py bench.json > table.md
"""
import json
import sys


def number(value):
    if value == 0:
        return "0"
    if abs(value) >= 1e5:
        return f"{value:.0f}"
    if abs(value) >= 100:
        return f"{value:.1f}"
    return f"{value:.3g}"


def main(path):
    with open(path) as f:
        run = json.load(f)
    m = run["machine"]
    print(f"Machine: {m.get('cpuModel', '?')}, {m['cpus']} CPUs, {m['os']}, {m['kernel']}, Qt {m['qt']}, "
          f"event dispatcher {m.get('qtEventDispatcher', '?')}; "
          f"{'quick run' if run['quick'] else 'full run'}"
          f"{', all threads on one CPU' if run.get('pinnedToOneCpu') else ''}, {run['seconds']:.0f} s.\n")
    print("| group | figure | unit | median | p99 | baseline median | baseline p99 | x median | x p99 | load | target |")
    print("|---|---|---|---:|---:|---:|---:|---:|---:|---:|---|")
    for f in run["figures"]:
        target = f.get("target", "")
        if "met" in f:
            target += " — **met**" if f["met"] else " — **not met**"
        print(f"| {f['group']} | {f['name']} | {f['unit']} | {number(f['plugin']['median'])} | "
              f"{number(f['plugin']['p99'])} | {number(f['baseline']['median'])} | {number(f['baseline']['p99'])} | "
              f"{number(f['ratioMedian'])} | {number(f['ratioP99'])} | {f.get('loadAverage', -1):.2f} | {target} |")


if __name__ == "__main__":
    if len(sys.argv) != 2:
        sys.exit(__doc__)
    main(sys.argv[1])
