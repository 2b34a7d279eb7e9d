#!/usr/bin/env python3
"""Draws the budget's calibration (scorebench --benchmark_filter=calibration
writes calibration.csv in the working directory) as a text scatter plot:
charged time against measured CPU time, both on logarithmic axes, and prints
the spread of CPU time per charged unit over the searches of 10 ms or more."""
import csv
import math
import sys

path = sys.argv[1] if len(sys.argv) > 1 else "calibration.csv"
rows = [(float(r["charged_s"]), float(r["cpu_s"])) for r in csv.DictReader(open(path))]
points = [(c, t) for c, t in rows if c > 0 and t >= 1e-4]
lo, hi = 1e-4, 2.0
width, height = 60, 20


def cell(v, n):
    v = min(max(v, lo), hi)
    return min(n - 1, int((math.log10(v) - math.log10(lo)) / (math.log10(hi) - math.log10(lo)) * n))


grid = [[" "] * width for _ in range(height)]
for c, t in points:
    x, y = cell(c, width), cell(t, height)
    grid[y][x] = "o" if grid[y][x] == " " else "@"
print("CPU time (s)")
for y in range(height - 1, -1, -1):
    value = 10 ** (math.log10(lo) + (y + 0.5) / height * (math.log10(hi) - math.log10(lo)))
    label = f"{value:8.4f} |" if y % 4 == 0 else "         |"
    print(label + "".join(grid[y]))
print("         +" + "-" * width)
print("          0.0001        0.001         0.01          0.1           1")
print("                                  charged (s)")
big = [t / c for c, t in rows if t >= 0.010 and c > 0]
if big:
    print(f"\n{len(rows)} searches, {len(big)} of 10 ms or more: CPU time per charged "
          f"unit {min(big):.2f} to {max(big):.2f} (spread {max(big) / min(big):.2f})")
