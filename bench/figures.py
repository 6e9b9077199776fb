#!/usr/bin/env python3
"""Turns the load program's key=value lines into the rows of bench/RESULTS.md.

  figures.py compare NAME   < lines "A <figures>" / "B <figures>", alternating pairs
  figures.py scale          < one line of figures
  figures.py peers NAME CLIENT...  < rounds: a line "round", then "CLIENT <figures>" per client;
                                     medians of each client's figures and of its ratios to raw
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


NAMES = {"raw": "raw libcurl multi", "stack": "stack", "httplib": "cpp-httplib",
         "beast": "Boost.Beast", "h2load": "h2load"}


def peers(name, clients):
    rounds = []
    for line in sys.stdin:
        if line.strip() == "round":
            rounds.append({})
        else:
            client, rest = line.split(" ", 1)
            rounds[-1][client] = parse(rest)

    for client in clients:
        def median(key):
            return statistics.median(float(r[client][key]) for r in rounds)

        def ratio(key):
            return statistics.median(
                float(r[client][key]) / float(r["raw"][key]) for r in rounds)

        failed = sum(int(r[client]["failed"]) for r in rounds)
        print(f"| {name} | {NAMES[client]} | {median('req_per_s'):.0f} "
              f"| {median('cpu_us_per_req'):.1f} | {median('p99_us'):.0f} "
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
    elif sys.argv[1] == "peers":
        peers(sys.argv[2], sys.argv[3:])
    else:
        scale()
