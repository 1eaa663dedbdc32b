#!/usr/bin/env python3
"""Times the same PromQL questions against `orvik serve` and a Prometheus
server holding the same data, with the same client.

The data set: 1,024 series of windows_cpu_time_total (512 cores, modes idle
and user), 1,440 samples 60 s apart from 1700000000 s, sample i of series s
holding i * (1 + s % 7); and the machine's memory, total and free, as the two
gauges windows_cs_physical_memory_bytes and windows_os_physical_memory_free_bytes
at the same times. Prometheus gets it backfilled from OpenMetrics text
with `promtool tsdb create-blocks-from openmetrics`; orvik reads it as a
JSON-lines snapshot file. Both listen on free loopback ports.

Each question is a POST form body (label values: a GET, the only method
Prometheus serves there), asked once to warm up and then 15 times; the median
is printed, without and with `Accept-Encoding: gzip`, with the ratio
orvik / Prometheus. For gzip it is printed twice: with the client inflating
the answer, and to the last compressed byte received (the servers' share,
the client's inflating left out). Run by hand:

    bench/peer/peer_bench.py --orvik build/tools/orvik
"""
import argparse
import gzip
import http.client
import json
import os
import shutil
import socket
import statistics
import subprocess
import sys
import tempfile
import time
import urllib.parse

CORES = 512
MODES = ("idle", "user")
SAMPLES = 1440
START_S = 1700000000
STEP_S = 60
END_S = START_S + STEP_S * (SAMPLES - 1)
NAME = "windows_cpu_time_total"
TOTAL = "windows_cs_physical_memory_bytes"
FREE = "windows_os_physical_memory_free_bytes"
TOTAL_BYTES = 16 * 2**30
REPEATS = 15
# Every wait for a process is bounded; loading is the slow part.
START_TIMEOUT_S = 600
REQUEST_TIMEOUT_S = 120

RANGE = {"start": str(END_S - 3600), "end": str(END_S), "step": "60"}
QUESTIONS = [
    ("instant plain (1,024 series)", "/api/v1/query", {"query": NAME, "time": str(END_S)}),
    ("instant sum(rate(x[5m]))", "/api/v1/query", {"query": f"sum(rate({NAME}[5m]))", "time": str(END_S)}),
    ("instant rate(x[5m])", "/api/v1/query", {"query": f"rate({NAME}[5m])", "time": str(END_S)}),
    ("two-matcher selector", "/api/v1/query",
     {"query": f'{NAME}{{core="511",mode="user"}}', "time": str(END_S)}),
    ("range plain 1,024 x 61", "/api/v1/query_range", dict(RANGE, query=NAME)),
    ("range sum(rate) x 61", "/api/v1/query_range", dict(RANGE, query=f"sum(rate({NAME}[5m]))")),
    ("label values of core", "/api/v1/label/core/values", None),
    # What dashboards ask: a computed percentage over an hour, two vectors, a top list.
    ("range CPU busy % 1h at 15 s", "/api/v1/query_range",
     {"query": f'100 - avg(rate({NAME}{{mode="idle"}}[1m])) * 100', "start": str(END_S - 3600), "end": str(END_S),
      "step": "15"}),
    ("instant memory used %", "/api/v1/query",
     {"query": f"100 * ({TOTAL} - {FREE}) / {TOTAL}", "time": str(END_S)}),
    ("instant topk(5, rate(x[5m]))", "/api/v1/query", {"query": f"topk(5, rate({NAME}[5m]))", "time": str(END_S)}),
]


def series_labels():
    for s in range(CORES * len(MODES)):
        yield s, str(s // len(MODES)), MODES[s % len(MODES)]


def write_openmetrics(path):
    with open(path, "w") as out:
        out.write(f"# TYPE {NAME} unknown\n")
        for s, core, mode in series_labels():
            factor = 1 + s % 7
            prefix = f'{NAME}{{core="{core}",mode="{mode}"}} '
            out.writelines(f"{prefix}{i * factor} {START_S + STEP_S * i}\n" for i in range(SAMPLES))
        for name in (TOTAL, FREE):
            out.write(f"# TYPE {name} gauge\n")
            out.writelines(f"{name} {memory(name, i)} {START_S + STEP_S * i}\n" for i in range(SAMPLES))
        out.write("# EOF\n")


def memory(name, i):
    return TOTAL_BYTES if name == TOTAL else TOTAL_BYTES // 4 + (i % 100) * 2**24


def write_snapshots(path):
    labels = [(s, json.dumps({"core": core, "mode": mode})) for s, core, mode in series_labels()]
    with open(path, "w") as out:
        for i in range(SAMPLES):
            ts = (START_S + STEP_S * i) * 1000
            entries = ",".join(
                f'{{"name":"{NAME}","labels":{text},"value":{i * (1 + s % 7)},"timestamp_ms":{ts}}}'
                for s, text in labels)
            entries += "".join(f',{{"name":"{name}","value":{memory(name, i)},"timestamp_ms":{ts}}}' for name in (TOTAL, FREE))
            out.write(f"[{entries}]\n")


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def wait_until(ready, what, proc):
    deadline = time.monotonic() + START_TIMEOUT_S
    while time.monotonic() < deadline:
        if proc.poll() is not None:
            sys.exit(f"peer_bench: {what} exited with status {proc.returncode} while starting")
        if ready():
            return
        time.sleep(0.2)
    sys.exit(f"peer_bench: {what} not ready within {START_TIMEOUT_S} s")


def answers(port, path):
    try:
        conn = http.client.HTTPConnection("127.0.0.1", port, timeout=2)
        conn.request("GET", path)
        ok = conn.getresponse().status == 200
        conn.close()
        return ok
    except OSError:
        return False


def ask(conn, path, form, gzipped, inflate=True):
    headers = {"Accept-Encoding": "gzip" if gzipped else "identity"}
    if form is None:
        conn.request("GET", path, headers=headers)
    else:
        headers["Content-Type"] = "application/x-www-form-urlencoded"
        conn.request("POST", path, body=urllib.parse.urlencode(form), headers=headers)
    response = conn.getresponse()
    body = response.read()
    if response.status != 200:
        sys.exit(f"peer_bench: {path} {form} answered {response.status}: {body[:300]!r}")
    if inflate and response.getheader("Content-Encoding") == "gzip":
        body = gzip.decompress(body)
    return body


def median_ms(port, path, form, gzipped, inflate=True):
    conn = http.client.HTTPConnection("127.0.0.1", port, timeout=REQUEST_TIMEOUT_S)
    body = ask(conn, path, form, gzipped)
    times = []
    for _ in range(REPEATS):
        began = time.perf_counter()
        ask(conn, path, form, gzipped, inflate)
        times.append((time.perf_counter() - began) * 1000.0)
    conn.close()
    return statistics.median(times), body


def count_of(body):
    data = json.loads(body)["data"]
    return len(data) if isinstance(data, list) else len(data["result"])


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--orvik", default="build/tools/orvik", help="the orvik program (default %(default)s)")
    parser.add_argument("--work", help="directory for the data files (default: a temporary one, removed after)")
    args = parser.parse_args()
    for tool in ("prometheus", "promtool"):
        if shutil.which(tool) is None:
            sys.exit(f"peer_bench: {tool} not found (Debian package prometheus)")

    work = args.work or tempfile.mkdtemp(prefix="peer_bench.")
    os.makedirs(work, exist_ok=True)
    procs = []
    try:
        om, snapshots, tsdb = (os.path.join(work, n) for n in ("data.om", "snapshots.jsonl", "tsdb"))
        if not os.path.exists(os.path.join(work, "data.done")):
            print("peer_bench: writing the data set", file=sys.stderr)
            write_openmetrics(om)
            write_snapshots(snapshots)
            shutil.rmtree(tsdb, ignore_errors=True)
            subprocess.run(["promtool", "tsdb", "create-blocks-from", "openmetrics", "-q", om, tsdb],
                           check=True, timeout=START_TIMEOUT_S)
            open(os.path.join(work, "data.done"), "w").close()

        prom_port = free_port()
        config = os.path.join(work, "prometheus.yml")
        with open(config, "w") as f:
            f.write("global:\n  scrape_interval: 1h\n")
        prom_log = open(os.path.join(work, "prometheus.log"), "w")
        # The data is years old: a retention shorter than its age would drop
        # every block at start.
        prom = subprocess.Popen(["prometheus", f"--config.file={config}", f"--storage.tsdb.path={tsdb}",
                                 "--storage.tsdb.retention.time=100y",
                                 f"--web.listen-address=127.0.0.1:{prom_port}"],
                                stdout=prom_log, stderr=subprocess.STDOUT)
        procs.append(prom)

        orvik_log_path = os.path.join(work, "orvik.log")
        orvik_log = open(orvik_log_path, "w")
        # 1,024 CPU series and the two memory gauges: past the store's default table of 1,024.
        orvik = subprocess.Popen([args.orvik, "serve", "--listen", "127.0.0.1:0", "--snapshots", snapshots,
                                  "--series", "2048"],
                                 stdout=subprocess.DEVNULL, stderr=orvik_log)
        procs.append(orvik)

        orvik_port = []

        def orvik_listening():
            with open(orvik_log_path) as f:
                for line in f:
                    if line.startswith("orvik: listening on http://127.0.0.1:"):
                        orvik_port.append(int(line.split(":")[3].split(" ")[0]))
                        return True
            return False

        print("peer_bench: loading both servers", file=sys.stderr)
        wait_until(lambda: answers(prom_port, "/-/ready"), "prometheus", prom)
        wait_until(orvik_listening, "orvik serve", orvik)

        rows = []
        for title, path, form in QUESTIONS:
            row = [title]
            counts = []
            for gzipped in (False, True):
                o_ms, o_body = median_ms(orvik_port[0], path, form, gzipped)
                p_ms, p_body = median_ms(prom_port, path, form, gzipped)
                row += [o_ms, p_ms]
                counts = [count_of(o_body), count_of(p_body)]
            row += [median_ms(orvik_port[0], path, form, True, False)[0], median_ms(prom_port, path, form, True, False)[0]]
            if counts[0] != counts[1]:
                print(f"peer_bench: WARNING: {title}: orvik answers {counts[0]} elements, "
                      f"Prometheus {counts[1]}", file=sys.stderr)
            rows.append(row + [counts[0]])

        print(f"median of {REPEATS} after one warm-up, ms; ratio = orvik / Prometheus")
        print("gzip received = to the last compressed byte, not inflated")
        print("| question | n | orvik | Prometheus | ratio | orvik gzip | Prometheus gzip | ratio gzip "
              "| orvik gzip received | Prometheus gzip received | ratio received |")
        print("|---|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|")
        for title, o, p, og, pg, orc, prc, n in rows:
            print(f"| {title} | {n} | {o:.2f} | {p:.2f} | {o / p:.2f} | {og:.2f} | {pg:.2f} | {og / pg:.2f} "
                  f"| {orc:.2f} | {prc:.2f} | {orc / prc:.2f} |")
    finally:
        for proc in procs:
            proc.terminate()
        for proc in procs:
            try:
                proc.wait(timeout=10)
            except subprocess.TimeoutExpired:
                proc.kill()
                proc.wait()
        if not args.work:
            shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
