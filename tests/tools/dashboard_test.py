#!/usr/bin/env python3
"""The panel expressions of public dashboards (dashboard_panels.txt) asked of
`orvik serve` and of a Prometheus server holding the same samples: the
example hour, read back from orvik raw (a range selector over every series)
and backfilled into Prometheus. Each panel is asked instant, at the newest
sample and in the middle of the hour, and as a range query over the hour.

Every panel Prometheus answers must be answered (a panel refused with 400 is
a construct the front lacks); a 5xx is a fault. Answers need not be equal:
the example counters do not rise at steady paces and the store's rate does
not extrapolate (README, the differences). The shares answered and equal are
printed.

Usage: dashboard_test.py ORVIK SNAPSHOTS.jsonl    (exits 77 without prometheus)"""
import json
import os
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import serve_lib  # noqa: E402
import differential_test as differential  # noqa: E402

PANELS = os.path.join(os.path.dirname(os.path.abspath(__file__)), "dashboard_panels.txt")


def samples_of(orvik_url, at):
    """Every series orvik holds: (name, labels, [(t, value)]), by name."""
    data = differential.answer(orvik_url, "/api/v1/query", [("query", '{__name__=~".+"}[2h]'), ("time", str(at))])
    series = []
    for e in data["result"]:
        labels = dict(e["metric"])
        name = labels.pop("__name__")
        series.append((name, labels, [(float(t), float(v)) for t, v in e["values"]]))
    return sorted(series, key=lambda s: s[0])


def main():
    orvik, examples = sys.argv[1], sys.argv[2]
    differential.need_tools()
    with open(examples) as f:
        times = [json.loads(line)["timestamp_ms"] // 1000 for line in f if line.strip()]
    first, last = min(times), max(times)
    orvik_url = serve_lib.start_orvik(orvik, "orvik", "--snapshots", examples)
    series = samples_of(orvik_url, last)
    prom = differential.start_prometheus(series)
    serve_lib.wait_until("prometheus holding the backfilled data", lambda: len(differential.answer(
        prom, "/api/v1/query", [("query", "count({__name__=~\".+\"})"), ("time", str(last))])["result"]) == 1, 30)

    with open(PANELS) as f:
        panels = [line.strip() for line in f if line.strip() and not line.startswith("#")]
    questions = []
    for panel in panels:
        for at in (last, (first + last) // 2):
            questions.append(("/api/v1/query", [("query", panel), ("time", str(at))]))
        questions.append(("/api/v1/query_range", [("query", panel), ("start", str(first)), ("end", str(last)),
                                                   ("step", "60")]))
    answered = equal = theirs_answered = 0
    faults = []
    for path, params in questions:
        replies = [serve_lib.send(url, "GET", path, params) for url in (orvik_url, prom)]
        ours, theirs = [(r.status, json.loads(r.body)) for r in replies]
        answered += ours[0] == 200
        theirs_answered += theirs[0] == 200
        problem = differential.compare_query(ours, theirs, params[0][1].startswith(differential.ORDERED))
        equal += problem is None
        if ours[0] >= 500 or (theirs[0] == 200 and ours[0] == 400):
            faults.append("%s %s: %d %s" % (path, params[0][1], ours[0], ours[1].get("error")))
        elif problem:
            print("differs %s %s: %s" % (path, params[0][1], problem[:200]))
    n = len(questions)
    print("dashboard_test: %d panels, %d questions: orvik answered %d (%.1f %%), Prometheus %d; equal %d (%.1f %%)"
          % (len(panels), n, answered, 100.0 * answered / n, theirs_answered, equal, 100.0 * equal / n))
    if faults:
        serve_lib.fail("%d panels refused or failed:\n  %s" % (len(faults), "\n  ".join(faults)))


if __name__ == "__main__":
    main()
