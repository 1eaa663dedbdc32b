#!/usr/bin/env python3
# `orvik serve --storage.path`: what was acknowledged survives kill -9, the
# sender forwards every collected sample once across restarts, and damage to
# the log or its directory is survived or refused clearly.
# Usage: durable_test.py ORVIK
import json
import os
import random
import re
import resource
import signal
import subprocess
import sys
import threading
import time
import urllib.parse

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import serve_lib  # noqa: E402
from serve_lib import fail, send, spawn, start_orvik, wait_until, work  # noqa: E402
from remote_write_peer import post, series, snappy  # noqa: E402

orvik = sys.argv[1]
ROUNDS = 20
CLIENTS = 4
store_dir = os.path.join(work, "log")
base_ms = int(time.time() * 1000) - 3_600_000


def samples_of(url, selector):
    """Every stored (series, time) of a selector, from a range selector."""
    reply = send(url, "GET", "/api/v1/query", [("query", selector + "[2h]"), ("time", str(time.time()))])
    if reply.status != 200:
        fail("query %s: HTTP %d %s" % (selector, reply.status, reply.text()))
    found = []
    for element in json.loads(reply.text())["data"]["result"]:
        name = json.dumps(element["metric"], sort_keys=True)
        found += [(name, round(float(t) * 1000)) for t, _ in element["values"]]
    return found


def writer(url, client, acked, stop):
    """Remote-write batches and snapshots until told to stop; records what
    was acknowledged. A failed request is retried until it is answered."""
    n = acked["next"]
    while not stop.is_set():
        t = base_ms + n * 10
        if n % 2:
            body = snappy(series([("__name__", "load_rw"), ("client", str(client))], [(t, float(n))]))
            try:
                status, _ = post(url + "/api/v1/write", body)
            except OSError:
                return
        else:
            doc = json.dumps({"timestamp_ms": t, "metrics": [
                {"name": "load_snap", "labels": {"client": str(client)}, "value": n}]})
            try:
                status, _ = post(url + "/api/v1/snapshot", doc.encode(), {"Content-Type": "application/json"})
            except OSError:
                return
        if status not in (200, 204):
            return
        acked["samples"].append(("load_rw" if n % 2 else "load_snap", client, t))
        n += 1
        acked["next"] = n


def start(name, *extra):
    return start_orvik(orvik, name, "--storage.path", store_dir, "--web.enable-write", "--collect", "100ms",
                       "--remote-write.url", downstream + "/api/v1/write",
                       # Rings deep enough that no acknowledged sample is overwritten.
                       "--series", "256", "--samples", "20000", *extra)


downstream = start_orvik(orvik, "downstream", "--web.enable-write")
acked = [{"next": 0, "samples": []} for _ in range(CLIENTS)]
total_acked = 0
for rnd in range(ROUNDS):
    url = start("round%d" % rnd)
    proc = serve_lib._started[-1]
    # Every sample acknowledged before the last kill is answered once.
    found = samples_of(url, '{__name__=~"load_.+"}')
    if len(found) != len(set(found)):
        fail("round %d: a sample is answered twice" % rnd)
    have = {(json.loads(s)["__name__"], int(json.loads(s)["client"]), t) for s, t in found}
    for a in acked:
        missing = [x for x in a["samples"] if x not in have]
        if missing:
            fail("round %d: %d acknowledged samples lost, e.g. %s" % (rnd, len(missing), missing[:3]))
    stop = threading.Event()
    threads = [threading.Thread(target=writer, args=(url, c, acked[c], stop)) for c in range(CLIENTS)]
    for th in threads:
        th.start()
    time.sleep(random.uniform(0.3, 1.2))
    proc.send_signal(signal.SIGKILL)
    proc.wait()
    stop.set()
    for th in threads:
        th.join()

url = start("final")
total_acked = sum(len(a["samples"]) for a in acked)
found = samples_of(url, '{__name__=~"load_.+"}')
print("kill test: %d rounds, %d samples acknowledged, %d found" % (ROUNDS, total_acked, len(found)))
# The collected samples reach the receiver once each, across every restart.
collected = set(samples_of(url, "windows_cpu_total_usage_percent"))


wait_until("the receiver to hold every collected sample",
           lambda: collected <= set(samples_of(downstream, "windows_cpu_total_usage_percent")), 30)
got = samples_of(downstream, "windows_cpu_total_usage_percent")
if len(got) != len(set(got)):
    fail("the receiver holds a collected sample twice")
print("sender: %d collected samples, all at the receiver once" % len(collected))



# Damage, each row on a log of its own. Records are found by their layout
# (tools/orvik/wal/record.h): an 8-byte segment magic, then per record the
# marker, length, CRC-32, type, time and payload.
RECORD_HEADER = 21
damage_ms = int(time.time() * 1000) - 1_800_000


def record_spans(segment):
    with open(segment, "rb") as f:
        data = f.read()
    spans, at = [], 8
    while data[at:at + 4] == b"ovwl":
        end = at + RECORD_HEADER + int.from_bytes(data[at + 4:at + 8], "little")
        spans.append((at, end))
        at = end
    return spans


def put(url, name, n, width=1):
    """Snapshot n of `name`: `width` series, each worth n at damage_ms + n s."""
    doc = {"timestamp_ms": damage_ms + n * 1000,
           "metrics": [{"name": name, "labels": {"i": str(i)}, "value": n} for i in range(width)]}
    return post(url + "/api/v1/snapshot", json.dumps(doc).encode(), {"Content-Type": "application/json"})


def answered(url, name):
    return {(t - damage_ms) // 1000 for _, t in samples_of(url, name)}


def log_of(name):
    with open(os.path.join(work, name + ".log"), errors="replace") as f:
        return f.read()


def replayed(name):
    """(records, damaged stretches, torn ends) of a server's replay line."""
    found = re.search(r"replayed (\d+) records .* (\d+) damaged stretches and (\d+) torn ends", log_of(name))
    if not found:
        fail("%s: no replay line" % name)
    return tuple(int(g) for g in found.groups())


def kill_last():
    serve_lib._started[-1].kill()
    serve_lib._started[-1].wait()


def overwrite(path, offset, data):
    with open(path, "r+b") as f:
        f.seek(offset)
        f.write(data)


def zero_tail(path, _):
    with open(path, "ab") as f:
        f.write(bytes(65536))


# Records 0..7 written, the server killed and its segment damaged: the next
# server answers every whole record and counts the damage, and record 8,
# written then, survives one more restart next to the damage.
DAMAGE = [
    # name, damage(segment, record spans), records answered, damaged stretches, torn ends
    ("torn", lambda seg, spans: os.truncate(seg, spans[7][0] + 30), set(range(7)), 0, 1),
    ("corrupt", lambda seg, spans: overwrite(seg, spans[3][0] + RECORD_HEADER + 4, b"\xff\x00\xff"),
     set(range(8)) - {3}, 1, 0),
    ("zeros", zero_tail, set(range(8)), 0, 1),
]
for name, damage, whole, stretches, torn in DAMAGE:
    serve = ("--storage.path", os.path.join(work, name), "--web.enable-write")
    url = start_orvik(orvik, name + "0", *serve)
    if [put(url, "dmg", n)[0] for n in range(8)] != [200] * 8:
        fail("%s: a write was refused" % name)
    kill_last()
    segment = os.path.join(work, name, "0000000001.wal")
    spans = record_spans(segment)
    if len(spans) != 8:
        fail("%s: %d records found in %s, not 8" % (name, len(spans), segment))
    damage(segment, spans)
    for restart, expected in ((1, whole), (2, whole | {8})):
        url = start_orvik(orvik, name + str(restart), *serve)
        got = (replayed(name + str(restart)), answered(url, "dmg"))
        if got != ((len(expected), stretches, torn), expected):
            fail("%s, restart %d: replay counted %s and answered %s" % (name, restart, got[0], sorted(got[1])))
        if restart == 1 and put(url, "dmg", 8)[0] != 200:
            fail("%s: a write after the damage was refused" % name)
        kill_last()
    print("damage %s: %d of 8 records answered, %d damaged stretches and %d torn ends counted"
          % (name, len(whole), stretches, torn))

# A full disk, played by a file-size limit on the server (no mount needed).
# Once a record does not fit, writes are refused with 503 and queries go
# on. The limit is per file and far below a segment (8 MiB), so the writer
# retries the same segment until room comes back, here by lifting the
# running server's limit: the next write is taken without a restart, and
# the log holds every acknowledged record and nothing of a refused one.
directory = os.path.join(work, "full")
limit = 16384
url = start_orvik(orvik, "full", "--storage.path", directory, "--web.enable-write",
                  preexec_fn=lambda: resource.setrlimit(resource.RLIMIT_FSIZE, (limit, resource.RLIM_INFINITY)))
full = serve_lib._started[-1]
n = 0
while n < 1000 and put(url, "full", n, 100)[0] == 200:
    n += 1
refusal = "log write failed: cannot write %s/0000000001.wal: File too large" % directory
for _ in range(2):
    status, body = put(url, "full", n, 100)
    if status != 503 or refusal not in body:
        fail("a write past the limit: %d %s" % (status, body))
if "orvik: %s; refusing writes with 503 until the log directory %s takes them again" % (refusal, directory) \
        not in log_of("full"):
    fail("no log line for the refused writes")
if answered(url, "full") != set(range(n)):
    fail("queries during the outage: %s" % sorted(answered(url, "full")))
resource.prlimit(full.pid, resource.RLIMIT_FSIZE, (resource.RLIM_INFINITY, resource.RLIM_INFINITY))
if put(url, "full", n + 1, 100)[0] != 200 or "the log takes writes again after 3 refused" not in log_of("full"):
    fail("writes did not resume once the limit was lifted")
kill_last()
url = start_orvik(orvik, "full-restart", "--storage.path", directory)
got = (replayed("full-restart"), answered(url, "full"))
if got != ((n + 1, 0, 0), set(range(n)) | {n + 1}):
    fail("after the outage: replay counted %s and answered %s" % (got[0], sorted(got[1])))
print("full disk: %d records fit under %d bytes, then 3 writes refused with 503, then taken again" % (n, limit))

# Refused at start, with the directory named. Root writes almost anywhere,
# so the rows use what root cannot: a path under a file, /proc, and a limit
# that leaves no room for a segment's header. The server holding the
# directory of the last row goes on serving.
holder = start_orvik(orvik, "holder", "--storage.path", os.path.join(work, "held"), "--web.enable-write")
with open(os.path.join(work, "file"), "w") as f:
    f.write("x")
os.mkdir(os.path.join(work, "tiny"))
REFUSED = [
    # --storage.path, file-size limit, message
    (os.path.join(work, "file", "log"), None, "cannot make the log directory %s: Not a directory"),
    ("/proc", None, "cannot write in the log directory %s: "),
    (os.path.join(work, "tiny"), 4, "cannot write in the log directory %s: cannot write %s/0000000001.wal: File too large"),
    (os.path.join(work, "held"), None, "another process holds the log directory %s"),
]
for path, size, message in REFUSED:
    limits = (lambda: resource.setrlimit(resource.RLIMIT_FSIZE, (size, resource.RLIM_INFINITY))) if size else None
    run = subprocess.run([orvik, "serve", "--listen", "127.0.0.1:0", "--storage.path", path], preexec_fn=limits,
                         stdin=subprocess.DEVNULL, capture_output=True, text=True, timeout=20)
    want = "orvik: cannot use --storage.path: " + message.replace("%s", path)
    if run.returncode != 1 or want not in run.stdout + run.stderr:
        fail("%s: exit %d, %r; wanted %r" % (path, run.returncode, run.stdout + run.stderr, want))
    print("refused: " + (run.stdout + run.stderr).strip())
if put(holder, "held", 0)[0] != 200 or answered(holder, "held") != {0}:
    fail("the server holding its directory stopped serving")
