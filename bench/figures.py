#!/usr/bin/env python3
"""Turns the load program's key=value lines into the rows of bench/RESULTS.md.

  figures.py compare NAME   < lines "A <figures>" / "B <figures>", alternating pairs
  figures.py scale          < one line of figures
"""
import statistics
import sys


def parse(text):
    return dict(item.split("=", 1) for item in text.split())


def compare(name):
    rows = {"A": [], "B": []}
    for line in sys.stdin:
        side, rest = line.split(" ", 1)
        rows[side].append(parse(rest))

    def ratio(key):
        return statistics.median(
            float(b[key]) / float(a[key]) for a, b in zip(rows["A"], rows["B"]))

    def median(side, key):
        return statistics.median(float(r[key]) for r in rows[side])

    failed = sum(int(r["failed"]) for side in rows.values() for r in side)
    print(f"| {name} | {median('A', 'req_per_s'):.0f} | {median('B', 'req_per_s'):.0f} "
          f"| {ratio('req_per_s'):.2f} | {ratio('cpu_us_per_req'):.2f} "
          f"| {ratio('p99_us'):.2f} | {failed} |")


def scale():
    r = parse(sys.stdin.read())
    per_request = int(r["peak_rss_kb"]) * 1024 // int(r["concurrency"])
    print(f"| {r['mode']} | {r['completed']} | {r['failed']} | {r['peak_rss_kb']} "
          f"| {per_request} |")


if __name__ == "__main__":
    if sys.argv[1] == "compare":
        compare(sys.argv[2])
    else:
        scale()
