#!/usr/bin/env python3
"""`orvik serve` against a real Prometheus server holding the same data: a
fixed list of questions, asked of both, instant and range. Every construct of
the language is asked: operators between scalars and vectors, vector matching
and its errors, every aggregation, the functions, offset and @, subqueries.
Answers must have the same status (and errorType), the same result type, the
same label sets (in the same order where PromQL orders them: sort,
sort_desc, topk, bottomk, and the series of a range answer), the same times,
and values equal to 12 significant digits. Series, label names and label
values with match[] must be the same lists.

The data keeps the store's deliberate differences out of sight: counters rise
at constant slopes (the store's rate does not extrapolate; on a straight line
both agree), no series has a gap, and the one series that ends early
(diff_retired_total) is only listed, never queried (the store has no
staleness window). The data is backfilled into Prometheus with promtool from
OpenMetrics text and loaded into orvik as snapshot lines.

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
    tell apart; one series stops early, so that windows have one to drop.
    Values have at most 14 significant digits, as the store writes them
    where the host reads them. Counters rise at slopes that differ from each other, so that topk and
    sort have no ties to order."""
    series = []
    for s, (job, instance, code) in enumerate((j, i, c) for j in ("api", "web") for i in ("a:1", "b:2", "c:3")
                                              for c in ("200", "500")):
        rate = 0.5 + s * 0.25 + (0.125 if code == "500" else 0)
        series.append(("diff_requests_total", {"job": job, "instance": instance, "code": code},
                       [(T0 + i * STEP, 1000 * s + rate * i * STEP) for i in range(SAMPLES)]))
    for s, room in enumerate(("r1", "r2", "r3", "r4")):
        for floor in (("1", "2") if room != "r4" else (None,)):
            labels = {"room": room, **({"floor": floor} if floor else {})}
            series.append(("diff_temperature_celsius", labels,
                           [(T0 + i * STEP, round(20 + 3 * math.sin(i / 7 + s) + int(floor or 0) / 3, 6))
                            for i in range(SAMPLES)]))
    for s, (job, instance) in enumerate((j, i) for j in ("api", "web") for i in ("a:1", "b:2", "c:3")):
        series.append(("diff_queue_length", {"job": job, "instance": instance},
                       [(T0 + i * STEP, float((i * (s + 3)) % 17)) for i in range(SAMPLES)]))
    for instance, version in (("a:1", "1.2"), ("b:2", "1.3"), ("c:3", "1.3")):
        series.append(("diff_instance_info", {"instance": instance, "version": version},
                       [(T0 + i * STEP, 1.0) for i in range(SAMPLES)]))
    for j, job in enumerate(("api", "web")):
        for le, share in (("0.1", 1), ("0.5", 3), ("1", 4), ("+Inf", 5)):
            series.append(("diff_latency_seconds_bucket", {"job": job, "le": le},
                           [(T0 + i * STEP, 10 + (j + 1) * share * i * STEP / 10) for i in range(SAMPLES)]))
    series.append(("diff_retired_total", {"job": "batch", "instance": "a:1"},
                   [(T0 + i * STEP, float(i)) for i in range(RETIRED)]))
    return series


def write_openmetrics(series, path):
    """Series of one name must come together; times in seconds."""
    escape = lambda v: v.replace("\\", "\\\\").replace('"', '\\"').replace("\n", "\\n")  # noqa: E731
    with open(path, "w") as out:
        for name, labels, samples in series:
            text = ",".join('%s="%s"' % (k, escape(v)) for k, v in labels.items())
            for t, v in samples:
                out.write("%s{%s} %r %s\n" % (name, text, v, "%d" % t if t == int(t) else repr(t)))
        out.write("# EOF\n")


def start_prometheus(series):
    """A Prometheus server holding the series, backfilled with promtool; its URL."""
    metrics, tsdb = (os.path.join(serve_lib.work, f) for f in ("data.om", "tsdb"))
    write_openmetrics(series, metrics)
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
    serve_lib.wait_until("prometheus ready", lambda: serve_lib.send(prom, "GET", "/-/ready").status == 200, 60)
    return prom


def need_tools():
    for tool in ("promtool", "prometheus"):
        if not shutil.which(tool):
            print("skipped: %s not installed (scripts/bootstrap installs it)" % tool)
            sys.exit(77)


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

QUERIES = [  # every construct, asked instant and range
    # selectors
    "diff_temperature_celsius",
    'diff_temperature_celsius{room!="r2"}',
    'diff_temperature_celsius{room=~"r[13]"}',
    'diff_temperature_celsius{room!~"r[13]"}',
    'diff_temperature_celsius{floor=""}',
    'diff_temperature_celsius{floor!=""}',
    'diff_temperature_celsius{floor=~"1|"}',
    '{__name__=~"diff_(queue|temp).*"}',
    'diff_requests_total{job="api",code!="500"}',
    'diff_queue_length{instance!~"c.*",job=~"a.+"}',
    # scalars
    "1 + 2 * 3", "2 ^ 3 ^ 2", "-2 ^ 2", "7 % 3", "-7 % 3", "1 / 0", "-1 / 0", "0 / 0", "(1 + 2) * -3",
    "1 > bool 2", "3 == bool 3", "2 != bool 2", "3 >= bool 3 <= bool 0", "0x1f + 010 + 1e2", "Inf - Inf",
    # scalar and vector
    "diff_queue_length + 1", "2 * diff_queue_length", "100 - diff_temperature_celsius", "diff_queue_length / 0",
    "diff_queue_length % 5", "diff_queue_length ^ 2", "2 ^ diff_queue_length", "-diff_queue_length",
    "1 + diff_queue_length * 2 ^ 2 - 3", "-diff_temperature_celsius ^ 2",
    "diff_queue_length > 5", "diff_queue_length > bool 5", "5 < diff_queue_length", "5 >= bool diff_queue_length",
    "diff_temperature_celsius != 20", "diff_queue_length == 0", "diff_queue_length <= bool 8",
    "diff_queue_length > 3 < 10", "(diff_queue_length > 3) * 2",
    # vector and vector
    "diff_queue_length / diff_queue_length", "diff_queue_length - diff_queue_length > 0",
    'diff_queue_length{job="api"} + on(instance) diff_queue_length{job="web"}',
    'diff_queue_length{job="api"} - ignoring(job) diff_queue_length{job="web"}',
    'diff_queue_length > on(instance) group_left diff_queue_length{job="api"}',
    'diff_queue_length > bool on(instance) group_left diff_queue_length{job="api"}',
    "diff_requests_total * on(instance) group_left(version) diff_instance_info",
    "diff_instance_info * on(instance) group_right(version) diff_queue_length",
    "diff_queue_length / on(job) group_left sum by (job) (diff_queue_length)",
    "diff_requests_total / ignoring(code) group_left sum without (code) (diff_requests_total)",
    "diff_temperature_celsius > bool diff_temperature_celsius offset 1m",
    "diff_queue_length and diff_queue_length > 5", "diff_queue_length or diff_temperature_celsius",
    "diff_queue_length unless diff_queue_length > 5",
    'diff_queue_length and on(instance) diff_queue_length{job="web"} > 8',
    "vector(1) or diff_queue_length", "diff_queue_length unless ignoring(job) diff_instance_info",
    'diff_queue_length unless on(instance) diff_instance_info{version="1.2"}',
    "sum(diff_queue_length) / count(diff_queue_length)",
    "sum by (instance) (diff_queue_length) * on(instance) group_left(version) diff_instance_info",
    'diff_queue_length{job="api"} / on(instance) group_left(job) diff_queue_length{job="web"}',
    "diff_queue_length == bool on(instance, job) diff_queue_length", "diff_queue_length or on(instance) diff_instance_info",
    'diff_temperature_celsius and ignoring(floor) diff_temperature_celsius{floor="1"}',
    "scalar(vector(2)) * diff_queue_length", "sum(diff_queue_length) > bool 50", "rate(diff_requests_total[1m]) > 3",
    # matching errors, with PromQL's texts
    "diff_requests_total * on(instance) diff_queue_length",
    "diff_queue_length - ignoring(job) diff_queue_length",
    "diff_queue_length * on(instance) group_left diff_requests_total",
    'label_replace(diff_queue_length, "job", "x", "job", ".*")',
    "diff_requests_total * on(instance) group_right diff_queue_length",
    'diff_queue_length{job="api"} + on() group_left diff_instance_info',
    # aggregations
    "sum(diff_requests_total)", "sum by (job) (diff_requests_total)", "sum(diff_requests_total) by (job, code)",
    "avg without (instance) (diff_requests_total)", "min by (floor) (diff_temperature_celsius)",
    'max without (room) (diff_temperature_celsius{room=~"r.*"})',
    'count by (__name__) ({__name__=~"diff_(queue|temp).*"})', "avg(diff_temperature_celsius)",
    "stddev(diff_temperature_celsius)", "stdvar by (floor) (diff_temperature_celsius)",
    "stddev without (room) (diff_temperature_celsius)", "group by (job) (diff_queue_length)",
    "group without (instance) (diff_requests_total)", "group(diff_queue_length)",
    "topk(2, diff_temperature_celsius)", "bottomk by (floor) (1, diff_temperature_celsius)",
    "topk(5, rate(diff_requests_total[5m]))", "bottomk(3, diff_requests_total)",
    "topk without (room) (1, diff_temperature_celsius)", "topk(1, avg by (room) (diff_temperature_celsius))",
    "quantile(0.9, diff_temperature_celsius)", "quantile by (floor) (0.5, diff_temperature_celsius)",
    "quantile(2, diff_temperature_celsius)", "topk by (job) (1, diff_requests_total)",
    'count_values by (job) ("v", diff_queue_length)', "sum without (le) (diff_latency_seconds_bucket)", 'count_values("value", diff_queue_length)',
    'count_values without (instance) ("v", diff_queue_length)', 'sum(count_values("v", diff_queue_length))',
    "avg(100 - (avg without (code) (rate(diff_requests_total[1m])) * 100))",
    "max(sum by (job) (diff_queue_length))", "count(count by (instance) (diff_requests_total))",
    "sum by (job) (rate(diff_requests_total[5m])) / on(job) group_left count by (job) (diff_requests_total)",
    "sum(rate(diff_requests_total[1m])) / scalar(count(count(diff_requests_total) by (instance)))",
    # functions of instant vectors and scalars
    "abs(diff_temperature_celsius - 21)", "ceil(diff_temperature_celsius)", "floor(diff_temperature_celsius)",
    "round(diff_temperature_celsius)", "round(diff_temperature_celsius, 0.25)", "exp(diff_temperature_celsius / 10)",
    "ln(diff_temperature_celsius)", "log2(diff_queue_length)", "log10(diff_temperature_celsius)",
    "sqrt(diff_temperature_celsius)", "sgn(diff_temperature_celsius - 21)", "sin(diff_temperature_celsius)",
    "cos(diff_temperature_celsius)", "tan(diff_temperature_celsius)", "asin(diff_temperature_celsius / 30)",
    "acos(diff_temperature_celsius / 30)", "atan(diff_temperature_celsius)", "sinh(diff_temperature_celsius / 10)",
    "cosh(diff_temperature_celsius / 10)", "tanh(diff_temperature_celsius / 10)", "asinh(diff_temperature_celsius)",
    "acosh(diff_temperature_celsius)", "atanh(diff_temperature_celsius / 30)", "deg(diff_temperature_celsius)",
    "rad(diff_temperature_celsius)", "pi()", "clamp(diff_temperature_celsius, 19, 22)",
    "clamp(diff_temperature_celsius, 22, 19)", "clamp_min(diff_queue_length, 5)", "clamp_max(diff_queue_length, 5)",
    "time()", "time() - timestamp(diff_queue_length)", "timestamp(diff_queue_length)", "vector(1)",
    "vector(time())", "scalar(sum(diff_queue_length))", "scalar(diff_queue_length)",
    'label_replace(diff_queue_length, "host", "$1", "instance", "(.*):.*")',
    'label_replace(diff_queue_length, "job", "", "job", "api")',
    'label_join(diff_queue_length, "both", "-", "job", "instance")', "absent(diff_queue_length)",
    'absent(diff_nothing{job="x"})', 'absent(diff_nothing{job="x", a=~"b"})', "day_of_month()", "day_of_week()",
    "day_of_year()", "days_in_month()", "hour()", "minute()", "month()", "year()",
    "hour(timestamp(diff_queue_length))", "minute(vector(1700000000))", "sort(diff_temperature_celsius)",
    "sort_desc(sum by (room) (diff_temperature_celsius))", "sort_desc(rate(diff_requests_total[2m]))",
    "histogram_quantile(0.9, rate(diff_latency_seconds_bucket[5m]))",
    "histogram_quantile(0.5, sum by (le) (rate(diff_latency_seconds_bucket[5m])))",
    "histogram_quantile(0.99, sum by (le, job) (diff_latency_seconds_bucket))",
    # functions of range vectors
    "rate(diff_requests_total[1m])", 'sum by (code) (rate(diff_requests_total{job="web"}[5m]))',
    'irate(diff_requests_total{code="500"}[1m])', "sum without (instance, job) (irate(diff_requests_total[2m]))",
    "increase(diff_requests_total[5m])", "avg_over_time(diff_temperature_celsius[5m])",
    "min_over_time(diff_temperature_celsius[5m])", "max_over_time(diff_temperature_celsius[5m])",
    "sum_over_time(diff_queue_length[2m])", "count_over_time(diff_queue_length[2m])",
    "last_over_time(diff_temperature_celsius[1m])", "quantile_over_time(0.25, diff_temperature_celsius[5m])",
    "stddev_over_time(diff_temperature_celsius[5m])", "stdvar_over_time(diff_queue_length[5m])",
    "present_over_time(diff_queue_length[1m])", "absent_over_time(diff_queue_length[1m])",
    'absent_over_time(diff_nothing{job="x"}[1m])', "changes(diff_queue_length[5m])", "resets(diff_queue_length[5m])",
    "deriv(diff_temperature_celsius[5m])", "predict_linear(diff_temperature_celsius[5m], 600)",
    "delta(diff_temperature_celsius[5m])", "idelta(diff_queue_length[2m])",
    # offset and @
    "diff_queue_length offset 5m", "rate(diff_requests_total[5m] offset 10m)", "diff_queue_length @ 1700000600",
    "diff_queue_length @ start()", "sum(diff_temperature_celsius @ end())",
    "rate(diff_requests_total[1m] @ end() offset 1m)", "diff_queue_length offset -1m",
    "timestamp(diff_queue_length offset 2m)", "diff_queue_length - diff_queue_length offset 1m",
    # subqueries
    "max_over_time(diff_temperature_celsius[10m:1m])", "rate(diff_requests_total[5m:30s])",
    "avg_over_time(rate(diff_requests_total[1m])[5m:1m])", "max_over_time(deriv(diff_temperature_celsius[2m])[10m:])",
    "min_over_time(sum(diff_queue_length)[5m:15s] offset 1m)", "sum_over_time(diff_queue_length[5m:1m] @ 1700000900)",
    "max_over_time(avg_over_time(diff_temperature_celsius[2m:30s])[6m:1m])",
    "count_over_time(diff_queue_length[3m:45s])", "quantile_over_time(0.9, diff_queue_length[5m:30s])",
    "predict_linear(diff_temperature_celsius[5m] offset 2m, 300)", "timestamp(sum(diff_queue_length))",
    "sort(-diff_temperature_celsius)", 'absent(diff_queue_length{job="none"})',
    "max_over_time(diff_queue_length[10m:1m] offset 2m)", "avg_over_time(diff_queue_length[4m:1m] @ end())",
    # range vectors and strings: answered instant, refused as a range query
    "diff_queue_length[1m]", "diff_queue_length[2m] offset 1m", "diff_temperature_celsius[1m] @ 1700000900",
    "diff_queue_length[5m:1m]", '"text"',
    # PromQL's own type errors
    "rate(diff_queue_length)", "sum(diff_queue_length[5m])", "diff_queue_length[1m] + 1", 'topk("a", x)',
    "scalar(diff_queue_length[1m])", "1 and 2", "diff_queue_length > bool",
]
# The order of an instant vector matters where PromQL gives one.
ORDERED = ("sort", "sort_desc", "topk", "bottomk")
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
    a, b = float(a), float(b)
    if math.isnan(a) or math.isnan(b):
        return math.isnan(a) and math.isnan(b)
    if math.isinf(a) or math.isinf(b):
        return a == b
    return abs(a - b) <= 1e-12 * max(abs(a), abs(b), 1e-300)


def answer(url, path, params):
    reply = serve_lib.send(url, "GET", path, params)
    doc = json.loads(reply.body)
    if reply.status != 200 or doc.get("status") != "success":
        raise ValueError("status %d: %s" % (reply.status, reply.text()[:200]))
    return doc["data"]


def show(metric):
    return "{" + ",".join("%s=%s" % kv for kv in sorted(metric.items())) + "}"


def compare_points(what, ours, theirs):
    if [float(t) for t, _ in ours] != [float(t) for t, _ in theirs]:
        return "%s: times differ: orvik %s, prometheus %s" % (what, [t for t, _ in ours][:8], [t for t, _ in theirs][:8])
    for (t, a), (_, b) in zip(ours, theirs):
        if not same_value(a, b):
            return "%s at %s: orvik %s, prometheus %s" % (what, t, a, b)
    return None


def compare_query(ours, theirs, ordered):
    """None when the two answers (status, document) agree, else what differs."""
    (status, doc), (their_status, their_doc) = ours, theirs
    if status != their_status or doc.get("errorType") != their_doc.get("errorType"):
        return "orvik %d %s, prometheus %d %s" % (status, doc.get("error", ""), their_status, their_doc.get("error", ""))
    if status != 200:
        # Clients show the texts of evaluation errors; a syntax error's text is the parser's own.
        if status == 422 and doc.get("error") != their_doc.get("error"):
            return "orvik %r, prometheus %r" % (doc.get("error"), their_doc.get("error"))
        return None
    data, their_data = doc["data"], their_doc["data"]
    if data["resultType"] != their_data["resultType"]:
        return "orvik %s, prometheus %s" % (data["resultType"], their_data["resultType"])
    if data["resultType"] == "string":
        return None if data["result"] == their_data["result"] else "orvik %s, prometheus %s" % (
            data["result"], their_data["result"])
    if data["resultType"] == "scalar":
        return compare_points("value", [data["result"]], [their_data["result"]])
    points = lambda e: e["values"] if "values" in e else [e["value"]]  # noqa: E731
    mine = [(show(e["metric"]), points(e)) for e in data["result"]]
    prom = [(show(e["metric"]), points(e)) for e in their_data["result"]]
    if not ordered:
        mine, prom = sorted(mine), sorted(prom)
    if [m for m, _ in mine] != [m for m, _ in prom]:
        return "series differ: orvik %s, prometheus %s" % ([m for m, _ in mine], [m for m, _ in prom])
    for (metric, a), (_, b) in zip(mine, prom):
        problem = compare_points(metric, a, b)
        if problem:
            return problem
    return None


def main():
    orvik = sys.argv[1]
    need_tools()
    series = data_set()
    snapshots = os.path.join(serve_lib.work, "data.jsonl")
    write_snapshots(series, snapshots)
    prom = start_prometheus(series)
    orvik_url = serve_lib.start_orvik(orvik, "orvik", "--snapshots", snapshots)
    serve_lib.wait_until("prometheus holding the backfilled data",
                         lambda: len(answer(prom, "/api/v1/query", [("query", "diff_queue_length"),
                                                                    ("time", str(INSTANT_AT[0]))])["result"]) == 6, 30)

    queries = []
    for query in QUERIES:
        for at in INSTANT_AT:
            queries.append(("%s @%s" % (query, at), "/api/v1/query", [("query", query), ("time", str(at))],
                            query.startswith(ORDERED)))
        for step in (60, 37):
            queries.append(("%s range step %d" % (query, step), "/api/v1/query_range",
                            [("query", query), ("start", str(RANGE[0])), ("end", str(RANGE[1])), ("step", str(step))],
                            True))
    checks = []
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
    for what, path, params, ordered in queries:
        try:
            replies = [serve_lib.send(url, "GET", path, params) for url in (orvik_url, prom)]
            problem = compare_query(*[(r.status, json.loads(r.body)) for r in replies], ordered)
        except (OSError, ValueError, KeyError, TypeError) as error:
            problem = "%s: %s" % (type(error).__name__, error)
        print("%-4s %s" % ("ok" if not problem else "FAIL", what))
        if problem:
            print("       " + problem[:600])
            failed += 1
    for what, path, params, _ in checks:
        try:
            ours, theirs = answer(orvik_url, path, params), answer(prom, path, params)
            key = lambda item: json.dumps(item, sort_keys=True)  # noqa: E731
            problem = None if sorted(ours, key=key) == sorted(theirs, key=key) else \
                "orvik %s, prometheus %s" % (ours, theirs)
        except (OSError, ValueError, KeyError, TypeError) as error:
            problem = "%s: %s" % (type(error).__name__, error)
        print("%-4s %s" % ("ok" if not problem else "FAIL", what))
        if problem:
            print("       " + problem)
            failed += 1
    if failed:
        serve_lib.fail("%d of %d questions answered differently" % (failed, len(queries) + len(checks) + len(SHAPES)))
    print("differential_test: %d questions answered alike" % (len(queries) + len(checks) + len(SHAPES)))


if __name__ == "__main__":
    main()
