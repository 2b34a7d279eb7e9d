#!/usr/bin/env python3
"""Prints the benchmark's JSON output as a Markdown table."""
import json
import sys


def main(path):
    with open(path) as f:
        benchmarks = json.load(f)["benchmarks"]
    # With --benchmark_repetitions the median of the runs; otherwise the run.
    medians = [b for b in benchmarks if b.get("aggregate_name") == "median"]
    runs = medians or [b for b in benchmarks if b.get("run_type") != "aggregate"]
    byname = {}
    for b in runs:
        mode, rest = b["name"].split("/", 1)
        byname.setdefault(rest.split("/min_time")[0].removesuffix("_median"), {})[mode] = b
    print("| corpus | fast ms | fast MB/s | straightforward ms | speed-up |"
          " read | fold | compile | search | stats |")
    print("|---|---:|---:|---:|---:|---:|---:|---:|---:|---:|")
    for corpus, modes in byname.items():
        fast = modes.get("fast")
        if not fast:
            continue
        slow = modes.get("straightforward")
        label = "/".join(corpus.split("/")[:3]).removesuffix("_median")
        ms = fast["real_time"]
        mbs = fast.get("bytes_per_second", 0) / 1e6
        slowms = f"{slow['real_time']:.1f}" if slow else "not run"
        speedup = f"{slow['real_time'] / ms:.0f}x" if slow else ""
        parts = [f"{fast.get(k + '_ms', 0):.2f}" for k in ("read", "fold", "compile", "search", "stats")]
        print(f"| {label} | {ms:.2f} | {mbs:.1f} | {slowms} | {speedup} | " + " | ".join(parts) + " |")
    pairs = [b for b in runs if b["name"].startswith("pairs/")]
    if pairs:
        print()
        print("| message | rules | rules hitting | compiled form | here ms | straightforward ms | here / straightforward |")
        print("|---|---:|---:|---|---:|---:|---:|")
        for b in pairs:
            _, rules, size, hit, form = b["name"].split("/")[:5]
            print(f"| {size} | {rules.removesuffix('rules')} | {hit.removesuffix('hit')} | {form} | "
                  f"{b['here_ms']:.1f} | {b['straightforward_ms']:.1f} | {b['ratio']:.3f} |")
    procs = {b["name"].split("/")[1]: b for b in runs if b["name"].startswith("process/")}
    if "plugin" in procs and "minimal" in procs:
        p, m = procs["plugin"]["real_time"], procs["minimal"]["real_time"]
        print()
        print(f"Whole process, 2 KB message and 50 rules: plugin {p:.0f} us, "
              f"minimal C reader {m:.0f} us, ratio {p / m:.2f}")


if __name__ == "__main__":
    main(sys.argv[1] if len(sys.argv) > 1 else "bench.json")
