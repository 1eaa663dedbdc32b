#!/usr/bin/env python3
"""`orvik serve` against a real Prometheus server holding the same data: a
fixed list of questions where the two mean the same, asked of both. Plain
selectors and aggregations must answer the same series with the same values
to 12 significant digits (instant answers are compared without their times:
Prometheus stamps them with the evaluation time, the store with the sample's);
rate and irate the same series; series, label names and label values with
match[] the same lists. The data is backfilled into Prometheus with promtool
from OpenMetrics text and loaded into orvik as snapshot lines.

Usage: differential_test.py ORVIK    (exits 77 when promtool or prometheus is missing)"""
import json
import math
import os
import shutil
import subprocess
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import serve_lib  # noqa: E402

T0 = 1700000000          # first sample, seconds
STEP = 15                # seconds between samples
SAMPLES = 120            # half an hour
RETIRED = 40             # diff_retired_total stops after its 40th sample


def data_set():
    """(name, labels, [(t, value)]) for every series. One temperature series
    lacks the floor label, so that empty-value matchers have something to
    tell apart; one series stops early, so that windows have one to drop."""
    series = []
    for s, (job, instance, code) in enumerate((j, i, c) for j in ("api", "web") for i in ("a:1", "b:2", "c:3")
                                              for c in ("200", "500")):
        rate = (1 + s % 5) * 0.75 + (0.125 if code == "500" else 0)
        series.append(("diff_requests_total", {"job": job, "instance": instance, "code": code},
                       [(T0 + i * STEP, round(1000 * s + rate * i * STEP + math.sqrt(i), 6)) for i in range(SAMPLES)]))
    for s, room in enumerate(("r1", "r2", "r3", "r4")):
        for floor in (("1", "2") if room != "r4" else (None,)):
            labels = {"room": room, **({"floor": floor} if floor else {})}
            series.append(("diff_temperature_celsius", labels,
                           [(T0 + i * STEP, 20 + 3 * math.sin(i / 7 + s) + int(floor or 0) / 3) for i in range(SAMPLES)]))
    for s, (job, instance) in enumerate((j, i) for j in ("api", "web") for i in ("a:1", "b:2", "c:3")):
        series.append(("diff_queue_length", {"job": job, "instance": instance},
                       [(T0 + i * STEP, float((i * (s + 3)) % 17)) for i in range(SAMPLES)]))
    series.append(("diff_retired_total", {"job": "batch", "instance": "a:1"},
                   [(T0 + i * STEP, float(i)) for i in range(RETIRED)]))
    return series


def write_openmetrics(series, path):
    with open(path, "w") as out:
        for name, labels, samples in series:
            text = ",".join('%s="%s"' % kv for kv in labels.items())
            for t, v in samples:
                out.write("%s{%s} %r %d\n" % (name, text, v, t))
        out.write("# EOF\n")


def write_snapshots(series, path):
    """One line per sample time, each an array of metric entries, in time order."""
    with open(path, "w") as out:
        for i in range(SAMPLES):
            entries = [{"name": name, "labels": labels, "value": samples[i][1], "timestamp_ms": samples[i][0] * 1000}
                       for name, labels, samples in series if i < len(samples)]
            out.write(json.dumps(entries) + "\n")


# ---- the questions -----------------------------------------------------------
INSTANT_AT = [T0 + 1200, T0 + 1207.5]
RANGE = (T0 + 900, T0 + 1500)
LATE = [("start", str(T0 + 900)), ("end", str(T0 + 1500))]    # diff_retired_total has ended
EARLY = [("start", str(T0 + 300)), ("end", str(T0 + 900))]    # it has not

VALUES = [  # the same series and values
    "diff_temperature_celsius",
    'diff_temperature_celsius{room="r2"}',
    'diff_temperature_celsius{room!="r2"}',
    'diff_temperature_celsius{room=~"r[13]"}',
    'diff_temperature_celsius{room!~"r[13]"}',
    'diff_temperature_celsius{floor=""}',
    'diff_temperature_celsius{floor!=""}',
    'diff_temperature_celsius{floor=~"1|"}',
    '{__name__=~"diff_(queue|temp).*"}',
    'diff_requests_total{job="api",code!="500"}',
    'diff_requests_total{instance=~".*:1|b:2"}',
    'diff_queue_length{instance!~"c.*",job=~"a.+"}',
    "sum(diff_requests_total)",
    "sum by (job) (diff_requests_total)",
    "sum(diff_requests_total) by (job, code)",
    "avg without (instance) (diff_requests_total)",
    "min by (floor) (diff_temperature_celsius)",
    'max without (room) (diff_temperature_celsius{room=~"r.*"})',
    'count by (__name__) ({__name__=~"diff_(queue|temp).*"})',
    'count(diff_queue_length{job!="web"})',
    'sum by (job) (diff_queue_length{instance!~"c.*"})',
    "avg(diff_temperature_celsius)",
    "max(diff_queue_length) by (instance)",
]
SERIES_SETS = [  # the same series only: the store's rate does not extrapolate
    "rate(diff_requests_total[1m])",
    'sum by (code) (rate(diff_requests_total{job="web"}[5m]))',
    'irate(diff_requests_total{code="500"}[1m])',
    "sum without (instance, job) (irate(diff_requests_total[2m]))",
]
LISTS = [  # path, match[] selectors, window
    ("/api/v1/series", ['diff_temperature_celsius{room=~"r[12]"}'], LATE),
    ("/api/v1/series", ["diff_queue_length", 'diff_requests_total{code="500"}'], LATE),
    ("/api/v1/series", ['{__name__=~"diff_re.*",instance="a:1"}'], EARLY),
    ("/api/v1/series", ['{__name__=~"diff_re.*",instance="a:1"}'], LATE),
    ("/api/v1/labels", ["diff_temperature_celsius"], LATE),
    ("/api/v1/labels", ['{__name__=~"diff_(q|r).*"}'], EARLY),
    ("/api/v1/label/job/values", ['diff_requests_total{code="200"}'], LATE),
    # Not asked late: Prometheus answers label questions from whole blocks,
    # so it would still name the job of the series that has ended.
    ("/api/v1/label/job/values", ['{__name__=~"diff_.*"}'], EARLY),
    ("/api/v1/label/__name__/values", ['{job="api"}', '{room="r4"}'], LATE),
    ("/api/v1/label/floor/values", ["diff_temperature_celsius"], LATE),
]

SHAPES = [  # the same status, and the same data or errorType
    ("/api/v1/metadata", []),
    ("/api/v1/query_exemplars", [("query", "diff_queue_length"), ("start", str(T0)), ("end", str(T0 + 600))]),
    ("/api/v1/rules", []),
    ("/api/v1/alerts", []),
    ("/api/v1/series", LATE),
    ("/api/v1/series", [("match[]", "diff_queue_length{")]),
    ("/api/v1/series", [("match[]", '{job=~".*"}')]),
    ("/api/v1/labels", [("match[]", "sum(diff_queue_length)")]),
    ("/api/v1/label/job-name/values", []),
    ("/api/v1/query", [("query", "diff_queue_length"), ("time", str(T0 + 600)), ("timeout", "soon")]),
    ("/api/v1/query", [("query", "diff_queue_length"), ("time", str(T0 + 600)), ("timeout", "2m"), ("stats", "all")]),
]


def same_value(a, b):
    if math.isnan(a) or math.isnan(b):
        return math.isnan(a) and math.isnan(b)
    return abs(a - b) <= 1e-12 * max(abs(a), abs(b), 1e-300)


def answer(url, path, params):
    reply = serve_lib.send(url, "GET", path, params)
    doc = json.loads(reply.body)
    if reply.status != 200 or doc.get("status") != "success":
        raise ValueError("status %d: %s" % (reply.status, reply.text()[:200]))
    return doc["data"]


def elements(data):
    """{labels: [(time or None, value), ...]}; instant values lose their time."""
    out = {}
    for e in data["result"]:
        pairs = e["values"] if "values" in e else [(None, e["value"][1])]
        out[frozenset(e["metric"].items())] = [(t, float(v)) for t, v in pairs]
    return out


def compare_results(ours, theirs, values):
    if set(ours) != set(theirs):
        show = lambda keys: sorted("{" + ",".join("%s=%s" % kv for kv in sorted(k)) + "}" for k in keys)  # noqa
        return "series differ: orvik only %s, prometheus only %s" % (show(set(ours) - set(theirs)),
                                                                   show(set(theirs) - set(ours)))
    for key in ours:
        if [t for t, _ in ours[key]] != [t for t, _ in theirs[key]]:
            return "%s: steps differ" % sorted(key)
        if values:
            for (t, a), (_, b) in zip(ours[key], theirs[key]):
                if not same_value(a, b):
                    return "%s at %s: orvik %r, prometheus %r" % (sorted(key), t, a, b)
    return None


def main():
    orvik = sys.argv[1]
    for tool in ("promtool", "prometheus"):
        if not shutil.which(tool):
            print("skipped: %s not installed (scripts/bootstrap installs it)" % tool)
            sys.exit(77)
    series = data_set()
    metrics, snapshots, tsdb = (os.path.join(serve_lib.work, f) for f in ("data.om", "data.jsonl", "tsdb"))
    write_openmetrics(series, metrics)
    write_snapshots(series, snapshots)
    backfill = subprocess.run(["promtool", "tsdb", "create-blocks-from", "openmetrics", metrics, tsdb],
                              capture_output=True, text=True, timeout=120)
    if backfill.returncode != 0:
        serve_lib.fail("promtool backfill: " + backfill.stderr[-500:])
    config = os.path.join(serve_lib.work, "prometheus.yml")
    with open(config, "w") as out:
        out.write("global:\n  scrape_interval: 1h\n")
    port = serve_lib.free_port()
    serve_lib.spawn("prometheus", ["prometheus", "--config.file=" + config, "--storage.tsdb.path=" + tsdb,
                                   "--storage.tsdb.retention.time=50y", "--web.listen-address=127.0.0.1:%d" % port])
    prom = "http://127.0.0.1:%d" % port
    orvik_url = serve_lib.start_orvik(orvik, "orvik", "--snapshots", snapshots)
    serve_lib.wait_until("prometheus ready", lambda: serve_lib.send(prom, "GET", "/-/ready").status == 200, 60)
    serve_lib.wait_until("prometheus holding the backfilled data",
                         lambda: len(answer(prom, "/api/v1/query", [("query", "diff_queue_length"),
                                                                    ("time", str(INSTANT_AT[0]))])["result"]) == 6, 30)

    checks = []
    for query in VALUES + SERIES_SETS:
        values = query in VALUES
        for at in INSTANT_AT:
            checks.append(("%s @%s" % (query, at), "/api/v1/query", [("query", query), ("time", str(at))], values))
        for step in (60, 37):
            checks.append(("%s range step %d" % (query, step), "/api/v1/query_range",
                           [("query", query), ("start", str(RANGE[0])), ("end", str(RANGE[1])), ("step", str(step))],
                           values))
    for path, matches, window in LISTS:
        checks.append(("%s %s %s" % (path, matches, "late" if window is LATE else "early"), path,
                       [("match[]", m) for m in matches] + window, None))

    failed = 0
    for path, params in SHAPES:
        try:
            ours, theirs = (serve_lib.send(url, "GET", path, params) for url in (orvik_url, prom))
            shape = lambda r: (r.status, json.loads(r.body).get("errorType") or json.loads(r.body)["data"])  # noqa
            if path == "/api/v1/query":  # the answer itself is compared above
                shape = lambda r: (r.status, json.loads(r.body).get("errorType"))  # noqa
            problem = None if shape(ours) == shape(theirs) else "orvik %s, prometheus %s" % (shape(ours), shape(theirs))
        except (OSError, ValueError, KeyError, TypeError) as error:
            problem = "%s: %s" % (type(error).__name__, error)
        print("%-4s %s %s" % ("ok" if not problem else "FAIL", path, params))
        if problem:
            print("       " + problem)
            failed += 1
    for what, path, params, values in checks:
        try:
            ours, theirs = answer(orvik_url, path, params), answer(prom, path, params)
            if values is None:
                key = lambda item: json.dumps(item, sort_keys=True)  # noqa: E731
                problem = None if sorted(ours, key=key) == sorted(theirs, key=key) else \
                    "orvik %s, prometheus %s" % (ours, theirs)
            else:
                problem = compare_results(elements(ours), elements(theirs), values)
        except (OSError, ValueError, KeyError, TypeError) as error:
            problem = "%s: %s" % (type(error).__name__, error)
        print("%-4s %s" % ("ok" if not problem else "FAIL", what))
        if problem:
            print("       " + problem)
            failed += 1
    if failed:
        serve_lib.fail("%d of %d questions answered differently" % (failed, len(checks) + len(SHAPES)))
    print("differential_test: %d questions answered alike" % (len(checks) + len(SHAPES)))


if __name__ == "__main__":
    main()
