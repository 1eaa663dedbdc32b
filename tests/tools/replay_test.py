#!/usr/bin/env python3
"""The requests that real clients of the Prometheus API send, replayed against
`orvik serve --snapshots examples/snapshots.jsonl`: a Grafana Prometheus data
source (its backend sends panel queries and the "Save & test" check, its
frontend the label and metric browsers), a Perses dashboard, and the python
`prometheus-api-client`. Each row is one request as that client writes it:
method, path, parameters, body encoding and headers. Every answer is checked
against a model of the store worked out from the example file itself.

Usage: replay_test.py ORVIK SNAPSHOTS.jsonl"""
import json
import math
import sys
import os

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import serve_lib  # noqa: E402

# ---- the store, modelled from the snapshot documents ------------------------

CPU_MODES = [("user", "user_seconds"), ("system", "system_seconds"), ("idle", "idle_seconds"),
             ("interrupt", "interrupt_seconds"), ("dpc", "dpc_seconds")]
MEMORY = {"available_physical_bytes": "os_physical_memory_free_bytes", "total_physical_bytes": "cs_physical_memory_bytes",
          "committed_bytes": "memory_committed_bytes", "total_commit_bytes": "memory_commit_limit_bytes",
          "pool_paged_bytes": "memory_pool_paged_bytes", "pool_nonpaged_bytes": "memory_pool_nonpaged_bytes",
          "cache_bytes": "memory_cache_bytes", "memory_load_percent": "memory_load_percent"}
DISK = {"total_bytes": "size_bytes", "free_bytes": "free_bytes", "read_bytes_sec": "read_bytes_sec",
        "write_bytes_sec": "write_bytes_sec", "read_iops": "reads_sec", "write_iops": "writes_sec",
        "queue_length": "queue_length"}
NET = {"bytes_recv_sec": "bytes_recv_sec", "bytes_sent_sec": "bytes_sent_sec", "packets_recv_sec": "packets_recv_sec",
       "packets_sent_sec": "packets_sent_sec", "errors_in": "errors_in", "errors_out": "errors_out", "is_up": "is_up"}
SYSTEM = {"uptime_seconds": "system_system_up_time", "process_count": "system_processes",
          "thread_count": "system_threads", "handle_count": "system_handle_count",
          "context_switches_sec": "system_context_switches_sec", "system_calls_sec": "system_system_calls_sec"}


class Store:
    """Series in the order the store creates them, each with its samples in
    append order, and the library's evaluation rules (no staleness window)."""

    def __init__(self, path):
        self.series = {}
        for line in open(path):
            if line.strip():
                self.ingest(json.loads(line))

    def add(self, name, labels, value, t):
        key = frozenset({"__name__": name, **labels}.items())
        self.series.setdefault(key, []).append((t, float(value)))

    def ingest(self, doc):
        t = doc["timestamp_ms"]
        for m in doc.get("metrics", []):
            self.add(m["name"], m.get("labels", {}), m["value"], m.get("timestamp_ms", t))
        cpu = doc["cpu"]
        self.add("windows_cpu_total_usage_percent", {}, cpu["total_usage_percent"], t)
        for core in cpu["cores"]:
            c = {"core": str(core["core"])}
            self.add("windows_cpu_usage_percent", c, core["usage_percent"], t)
            if core["frequency_mhz"]:
                self.add("windows_cpu_core_frequency_mhz", c, core["frequency_mhz"], t)
            for mode, field in CPU_MODES:
                self.add("windows_cpu_time_total", {**c, "mode": mode}, core[field], t)
        for field, name in MEMORY.items():
            self.add("windows_" + name, {}, doc["memory"][field], t)
        for disk in doc["disks"]:
            for field, name in DISK.items():
                self.add("windows_logical_disk_" + name, {"volume": disk["name"]}, disk[field], t)
        for nic in doc["network"]:
            for field, name in NET.items():
                value = (1 if nic[field] is True else 0) if field == "is_up" else nic[field]
                self.add("windows_net_" + name, {"nic": nic["name"]}, value, t)
        for field, name in SYSTEM.items():
            self.add("windows_" + name, {}, doc["system"][field], t)

    def select(self, name, match=lambda labels: True):
        return [(dict(k), s) for k, s in self.series.items() if dict(k)["__name__"] == name and match(dict(k))]

    @staticmethod
    def used(samples, t):
        """Index of the sample in force at t: the newest at or before t, or
        None before the series' first sample."""
        before = [i for i, (ts, _) in enumerate(samples) if ts <= t]
        return before[-1] if before else None

    @classmethod
    def plain(cls, samples, t, _range=None):
        i = cls.used(samples, t)
        return None if i is None else samples[i][1]

    @classmethod
    def rate(cls, samples, t, range_ms):
        last = cls.used(samples, t)
        if last is None:
            return None
        first = last
        while first > 0 and samples[first - 1][0] >= t - range_ms:
            first -= 1
        if first == last:
            first = last - 1
        if last == 0 or samples[first][0] == samples[last][0]:
            return 0.0
        return max(samples[last][1] - samples[first][1], 0) / ((samples[last][0] - samples[first][0]) / 1000)

    def evaluate(self, name, match, t, fn=None, range_ms=None, agg=None, by=None, without=None):
        """One instant of a query of the supported shapes, as {labels: value}."""
        out = {}
        for labels, samples in self.select(name, match):
            value = (fn or Store.plain)(samples, t, range_ms)
            if value is None:
                continue
            if fn:
                labels = {k: v for k, v in labels.items() if k != "__name__"}
            out[frozenset(labels.items())] = value
        if not agg:
            return out
        groups = {}
        for key, value in out.items():
            labels = dict(key)
            if by is not None:
                labels = {k: v for k, v in labels.items() if k in by}
            elif without is not None:
                labels = {k: v for k, v in labels.items() if k not in without and k != "__name__"}
            else:
                labels = {}
            groups.setdefault(frozenset(labels.items()), []).append(value)
        ops = {"sum": sum, "avg": lambda v: sum(v) / len(v), "min": min, "max": max, "count": len}
        return {k: float(ops[agg](v)) for k, v in groups.items()}

    def raw(self, name, t, range_ms):
        """The samples of a range selector at t: those in [t - range, t]."""
        return {frozenset(labels.items()): [(ts / 1000, v) for ts, v in samples if t - range_ms <= ts <= t]
                for labels, samples in self.select(name)}

    def evaluate_range(self, start, end, step, *query, **kw):
        out = {}
        for t in range(start * 1000, end * 1000 + 1, step * 1000):
            for key, value in self.evaluate(*query, t, **kw).items():
                out.setdefault(key, []).append((t / 1000, value))
        return out


# ---- checks on one answer: None when right, else what is wrong ---------------

def close(a, b):
    if math.isnan(a) or math.isnan(b):
        return math.isnan(a) and math.isnan(b)
    return abs(a - b) <= 1e-12 * max(abs(a), abs(b), 1e-300)


def success_data(reply, result_type=None):
    if reply.status != 200:
        return None, "status %d: %s" % (reply.status, reply.text()[:300])
    doc = json.loads(reply.body)
    if doc.get("status") != "success":
        return None, "not a success: " + reply.text()[:300]
    data = doc["data"]
    if result_type and data.get("resultType") != result_type:
        return None, "resultType %r, expected %r" % (data.get("resultType"), result_type)
    return data, None


def show(key):
    return "{" + ",".join('%s="%s"' % kv for kv in sorted(key)) + "}"


def vector(expected, at=None):
    def check(reply):
        data, problem = success_data(reply, "vector")
        if problem:
            return problem
        got = {frozenset(e["metric"].items()): e["value"] for e in data["result"]}
        if set(got) != set(expected):
            return "series %s, expected %s" % (sorted(map(show, got)), sorted(map(show, expected)))
        for key, (t, text) in got.items():
            if not close(float(text), expected[key]):
                return "%s is %s, expected %r" % (show(key), text, expected[key])
            if at is not None and t != at:
                return "%s carries time %s, expected %s" % (show(key), t, at)
    return check


def matrix(expected):
    def check(reply):
        data, problem = success_data(reply, "matrix")
        if problem:
            return problem
        got = {frozenset(e["metric"].items()): e["values"] for e in data["result"]}
        if set(got) != set(expected):
            return "series %s, expected %s" % (sorted(map(show, got)), sorted(map(show, expected)))
        for key, pairs in got.items():
            want = expected[key]
            if [t for t, _ in pairs] != [t for t, _ in want]:
                return "%s has steps %s..., expected %s..." % (show(key), pairs[:2], want[:2])
            for (t, text), (_, value) in zip(pairs, want):
                if not close(float(text), value):
                    return "%s at %s is %s, expected %r" % (show(key), t, text, value)
    return check


def scalar(t, value):
    def check(reply):
        data, problem = success_data(reply, "scalar")
        if problem:
            return problem
        if data["result"] != [t, value]:
            return "scalar %s, expected %s" % (data["result"], [t, value])
    return check


def strings(expected, ordered=False):
    def check(reply):
        data, problem = success_data(reply)
        if problem:
            return problem
        if (data if ordered else sorted(data)) != (expected if ordered else sorted(expected)):
            return "list %s, expected %s" % (data, expected)
    return check


def series_list(expected):
    def check(reply):
        data, problem = success_data(reply)
        if problem:
            return problem
        if sorted(map(show, map(dict.items, data))) != sorted(map(show, map(dict.items, expected))):
            return "series %s, expected %s" % (data, expected)
    return check


def equals(value):
    def check(reply):
        data, problem = success_data(reply)
        return problem or (None if data == value else "data %s, expected %s" % (data, value))
    return check


def refused(status, error_type, *words):
    def check(reply):
        if reply.status != status:
            return "status %d, expected %d: %s" % (reply.status, status, reply.text()[:300])
        doc = json.loads(reply.body)
        if doc.get("errorType") != error_type or not all(w in doc.get("error", "") for w in words):
            return "error %s, expected %s naming %s" % (reply.text()[:300], error_type, words)
    return check


def page(content_type, *words):
    def check(reply):
        if reply.status != 200:
            return "status %d" % reply.status
        if not (reply.header("content-type") or "").startswith(content_type):
            return "content type %s, expected %s" % (reply.header("content-type"), content_type)
        if not all(w in reply.text() for w in words):
            return "page lacks %s: %s" % (words, reply.text()[:200])
    return check


def main():
    orvik, examples = sys.argv[1:3]
    store = Store(examples)
    first = min(s[0][0] for s in store.series.values()) // 1000
    last = max(s[-1][0] for s in store.series.values()) // 1000
    hour_end = first + 3600
    names = sorted({dict(k)["__name__"] for k in store.series})
    cpu = "windows_cpu_time_total"
    everything = lambda labels: True  # noqa: E731

    # Grafana's backend, POST by default, with Go's transport asking for gzip.
    # A panel over the example hour: at 15 s per point the step is 15 s,
    # start and end rounded down to it, and $__rate_interval renders as Go
    # writes max(step + scrape, 4 * scrape): "1m0s"; with a 75 s step, "1m30s".
    grafana = {"User-Agent": "Grafana/10.4.1", "Accept-Encoding": "gzip"}
    g_start, g_end = first // 15 * 15, hour_end // 15 * 15
    g75_start, g75_end = first // 75 * 75, hour_end // 75 * 75
    # The frontend's label and metric browser snaps start down and end up to
    # the minute (its cache level "low"), in whole seconds.
    b_start, b_end = first // 60 * 60, -(-hour_end // 60) * 60
    browse = [("start", str(b_start)), ("end", str(b_end))]
    # Perses: the browser's fetch (gzip, deflate, br), whole-second ranges
    # aligned to a 15 s step, "$__rate_interval" written as "1m".
    perses = {"User-Agent": "Mozilla/5.0 (X11; Linux x86_64) Chrome/120.0", "Accept": "*/*",
              "Accept-Encoding": "gzip, deflate, br"}
    # prometheus-api-client: requests' defaults, GET with the query string.
    pyclient = {"User-Agent": "python-requests/2.31.0", "Accept": "*/*", "Accept-Encoding": "gzip, deflate",
                "Connection": "keep-alive"}
    not_idle = lambda labels: labels["mode"] != "idle"  # noqa: E731
    core_0_1 = lambda labels: labels["core"] in ("0", "1")  # noqa: E731
    vol = {"volume": "C:\\"}

    rows = [
        # client, what, method, path, params, form body?, headers, check
        ("grafana", "Save & test: 1+1 at the health check's fixed range end", "POST", "/api/v1/query",
         [("query", "1+1"), ("time", "4")], True, grafana, scalar(4, "2")),
        ("grafana", "Save & test: build info (POST first)", "POST", "/api/v1/status/buildinfo", [], True, grafana,
         lambda r: None if r.status == 405 and "GET" in (r.header("allow") or "") else
         "status %d, Allow %r: expected 405 allowing GET, on which the data source retries" % (r.status, r.header("allow"))),
        ("grafana", "Save & test: build info, retried with GET", "GET", "/api/v1/status/buildinfo", [], False, grafana,
         lambda r: success_data(r)[1]),
        ("grafana", "panel: sum by(mode) of rate over $__rate_interval", "POST", "/api/v1/query_range",
         [("query", "sum(rate(%s[1m0s])) by (mode)" % cpu), ("start", str(g_start)), ("end", str(g_end)),
          ("step", "15"), ("timeout", "60s")], True, grafana,
         matrix(store.evaluate_range(g_start, g_end, 15, cpu, everything, fn=Store.rate, range_ms=60000, agg="sum",
                                     by=["mode"]))),
        ("grafana", "panel: rate per interface over 1m30s, 75 s step", "POST", "/api/v1/query_range",
         [("query", "rate(windows_net_bytes_recv_sec[1m30s])"), ("start", str(g75_start)), ("end", str(g75_end)),
          ("step", "75")], True, grafana,
         matrix(store.evaluate_range(g75_start, g75_end, 75, "windows_net_bytes_recv_sec", everything, fn=Store.rate,
                                     range_ms=90000))),
        ("grafana", "query builder: sum by(mode, core) (rate(...{mode!=\"idle\"}[1m0s])), instant", "POST",
         "/api/v1/query", [("query", 'sum by(mode, core) (rate(%s{mode!="idle"}[1m0s]))' % cpu), ("time", "%d.5" % last)],
         True, grafana,
         vector(store.evaluate(cpu, not_idle, last * 1000 + 500, fn=Store.rate, range_ms=60000, agg="sum",
                               by=["mode", "core"]))),
        ("grafana", "multi-value variable: core=~\"(0|1)\"", "POST", "/api/v1/query_range",
         [("query", 'windows_cpu_usage_percent{core=~"(0|1)"}'), ("start", str(g_start)), ("end", str(g_end)),
          ("step", "15")], True, grafana,
         matrix(store.evaluate_range(g_start, g_end, 15, "windows_cpu_usage_percent", core_0_1))),
        ("grafana", "multi-value variable in an aggregation: avg without(core)", "POST", "/api/v1/query",
         [("query", 'avg without (core) (windows_cpu_time_total{core=~"(0|1)",mode=~"user|system"})'),
          ("time", str(last))], True, grafana,
         vector(store.evaluate(cpu, lambda l: core_0_1(l) and l["mode"] in ("user", "system"), last * 1000,
                               agg="avg", without=["core"]))),
        ("grafana", "metric browser: metric names", "GET", "/api/v1/label/__name__/values", browse, False, grafana,
         strings(names)),
        ("grafana", "metric browser: label names", "POST", "/api/v1/labels", browse, True, grafana,
         strings(["__name__", "collector", "core", "mode", "volume", "nic"])),
        ("grafana", "metric browser: label names of one metric", "POST", "/api/v1/labels",
         browse + [("match[]", cpu)], True, grafana, strings(["__name__", "core", "mode"], ordered=True)),
        ("grafana", "metric browser: values of a label under a selector", "GET", "/api/v1/label/mode/values",
         browse + [("match[]", '%s{core="3"}' % cpu)], False, grafana,
         strings(["dpc", "idle", "interrupt", "system", "user"], ordered=True)),
        ("grafana", "variable label_values(windows_cpu_time_total, core)", "GET", "/api/v1/label/core/values",
         browse + [("match[]", cpu)], False, grafana, strings([str(c) for c in range(8)], ordered=True)),
        ("grafana", "metric browser: series with match[] and limit", "POST", "/api/v1/series",
         browse + [("match[]", "windows_net_bytes_recv_sec"), ("limit", "40000")], True, grafana,
         series_list([dict(k) for k in store.series if dict(k)["__name__"] == "windows_net_bytes_recv_sec"])),
        ("grafana", "metadata for the editor's hints", "GET", "/api/v1/metadata", [], False, grafana, equals({})),
        ("grafana", "recording rules at start", "GET", "/api/v1/rules", [], False, grafana, equals({"groups": []})),
        ("grafana", "exemplars probe, start and end in milliseconds", "GET", "/api/v1/query_exemplars",
         [("query", "test"), ("start", str((hour_end - 1800) * 1000)), ("end", str(hour_end * 1000))], False,
         grafana, equals([])),

        ("perses", "datasource health check", "GET", "/-/healthy", [], False, perses, page("text/plain")),
        ("perses", "time series panel: rate of core 0 over 1m", "POST", "/api/v1/query_range",
         [("query", 'rate(%s{core="0"}[1m])' % cpu), ("start", str(g_start)), ("end", str(g_end)), ("step", "15")],
         True, perses,
         matrix(store.evaluate_range(g_start, g_end, 15, cpu, lambda l: l["core"] == "0", fn=Store.rate,
                                     range_ms=60000))),
        ("perses", "stat panel: instant max", "POST", "/api/v1/query",
         [("query", "max(windows_memory_load_percent)"), ("time", str(g_end))], True, perses,
         vector(store.evaluate("windows_memory_load_percent", everything, g_end * 1000, agg="max"), at=g_end)),
        ("perses", "label values variable with a matcher", "GET", "/api/v1/label/volume/values",
         [("match[]", "windows_logical_disk_free_bytes"), ("start", str(first)), ("end", str(hour_end))], False,
         perses, strings(["C:\\", "D:\\"], ordered=True)),
        ("perses", "label names variable with a matcher", "POST", "/api/v1/labels",
         [("match[]", 'windows_logical_disk_free_bytes{volume="C:\\\\"}'), ("start", str(first)),
          ("end", str(hour_end))], True, perses, strings(["__name__", "volume"], ordered=True)),
        ("perses", "explorer: series by regular expression on the name", "POST", "/api/v1/series",
         [("match[]", '{__name__=~"windows_logical_disk_(free|size)_bytes",volume="C:\\\\"}'),
          ("start", str(first)), ("end", str(hour_end))], True, perses,
         series_list([{"__name__": "windows_logical_disk_free_bytes", **vol},
                      {"__name__": "windows_logical_disk_size_bytes", **vol}])),
        ("perses", "metric metadata", "GET", "/api/v1/metadata", [("metric", cpu)], False, perses, equals({})),

        ("prometheus-api-client", "check_prometheus_connection", "GET", "/", [], False, pyclient,
         page("text/html", "<title>orvik</title>")),
        ("prometheus-api-client", "all_metrics", "GET", "/api/v1/label/__name__/values", [], False, pyclient,
         strings(names)),
        ("prometheus-api-client", "get_label_names", "GET", "/api/v1/labels", [], False, pyclient,
         strings(["__name__", "collector", "core", "mode", "volume", "nic"])),
        ("prometheus-api-client", "custom_query without a time: now, the newest samples", "GET", "/api/v1/query",
         [("query", "sum(windows_memory_load_percent)")], False, pyclient,
         vector(store.evaluate("windows_memory_load_percent", everything, 2 ** 62, agg="sum"))),
        ("prometheus-api-client", "get_current_metric_value with label_config (single quotes)", "GET",
         "/api/v1/query", [("query", "windows_cpu_usage_percent{core='3'}"), ("time", str(last))], False, pyclient,
         vector(store.evaluate("windows_cpu_usage_percent", lambda l: l["core"] == "3", last * 1000),
                at=last)),
        ("prometheus-api-client", "get_metric_range_data: a range selector in an instant query", "GET",
         "/api/v1/query", [("query", "windows_memory_load_percent[600s]"), ("time", str(last))], False, pyclient,
         matrix(store.raw("windows_memory_load_percent", last * 1000, 600000))),
        ("prometheus-api-client", "custom_query_range with a step of 60", "GET", "/api/v1/query_range",
         [("query", "windows_memory_load_percent"), ("start", str(first)), ("end", str(first + 600)),
          ("step", "60")], False, pyclient,
         matrix(store.evaluate_range(first, first + 600, 60, "windows_memory_load_percent", everything))),
        ("prometheus-api-client", "get_metric_aggregation: range of a sum, step 15", "GET", "/api/v1/query_range",
         [("query", "sum(windows_logical_disk_free_bytes)"), ("start", str(last - 300)), ("end", str(last)),
          ("step", "15")], False, pyclient,
         matrix(store.evaluate_range(last - 300, last, 15, "windows_logical_disk_free_bytes", everything,
                                     agg="sum"))),
    ]

    url = serve_lib.start_orvik(orvik, "examples", "--snapshots", examples)
    failed = []
    for client, what, method, path, params, form, headers, check in rows:
        try:
            reply = serve_lib.send(url, method, path, params, headers, form)
            problem = check(reply)
        except (OSError, ValueError, KeyError, TypeError) as error:
            problem = "%s: %s" % (type(error).__name__, error)
        print("%-4s %-22s %s %s: %s" % ("ok" if not problem else "FAIL", client, method, path, what))
        if problem:
            print("       " + problem)
            failed.append((client, what))
    if failed:
        serve_lib.fail("%d of %d replayed requests answered wrongly" % (len(failed), len(rows)))
    print("replay_test: %d requests of 3 clients answered right" % len(rows))


if __name__ == "__main__":
    main()
