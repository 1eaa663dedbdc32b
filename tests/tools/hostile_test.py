#!/usr/bin/env python3
"""`orvik serve` against hostile and careless clients, on loopback.

One table of raw requests, each bounded in bytes and time, then a slow-loris
pack, a cap on connections, a load run, and a stop under SIGTERM while
clients trickle. Then a table of attacks, each run by 8 connections at once
while an honest client asks small questions: its answers must all come, and
its latencies are printed (bounded only loosely, as the machine may be busy). Before every row the server's peak resident memory (VmHWM)
is reset, and after it the peak must stay under MEMORY_BOUND_KB: the store of
the test (1,024 series of 240 samples) and the largest answer the query
budget admits take a few tens of MB; hundreds would mean a client made the
server hold what it sent or what it was asked for. A server built with
AddressSanitizer is found by its symbols and judged by a wider bound.

Usage: hostile_test.py ORVIK     (exits 77 without Linux's /proc)
"""
import base64, gzip, http.client, json, os, random, re, select, signal, socket, ssl, statistics, subprocess, sys
import tempfile, threading, time, zlib
from urllib.parse import quote


def sanitized(program):
    """Whether the program is built with AddressSanitizer (ORVIK_SANITIZED=1
    or 0 says so instead of its symbols)."""
    if os.environ.get("ORVIK_SANITIZED") in ("0", "1"):
        return os.environ["ORVIK_SANITIZED"] == "1"
    with open(program, "rb") as f:
        return b"__asan_init" in f.read()


# The store holds about 6 MB; answers of up to 8 MB each are made in the
# heap and their memory reused, 32 MB of answers may wait for slow clients.
# Under AddressSanitizer every block carries red zones and an eighth more in
# shadow, and freed blocks wait in a quarantine (kept to QUARANTINE_MB for
# the server here) before reuse: the same clients then read up to about
# five times as much (the query engine's many small blocks most), and an
# unbounded one still reads far more. Its work is also several times
# slower, so the load run's clients wait SLOWER times as long.
SANITIZED = len(sys.argv) > 1 and os.path.exists(sys.argv[1]) and sanitized(sys.argv[1])
QUARANTINE_MB = 32
MEMORY_BOUND_KB = (5 * 96 + QUARANTINE_MB) * 1024 if SANITIZED else 96 * 1024
SLOWER = 6 if SANITIZED else 1
# Above the resident memory before a row of costly requests, eight at once:
# two are worked on, each holding its body, inflated and parsed.
COSTLY_PEAK_KB = (3 * 24 + QUARANTINE_MB) * 1024 if SANITIZED else 24 * 1024
SERIES, SAMPLES, START, STEP = 1024, 240, 1700000000, 15
END = START + (SAMPLES - 1) * STEP
MB = 1 << 20


def make_data(path):
    with open(path, "w") as out:
        for t in range(SAMPLES):
            ms = (START + t * STEP) * 1000
            out.write("[" + ",".join(
                '{"name":"windows_cpu_time_total","value":%d,"labels":{"core":"%d","mode":"%s"},"timestamp_ms":%d}'
                % (t * (1 + s % 7), s // 2, ("idle", "user")[s % 2], ms) for s in range(SERIES)) + "]\n")


class Server:
    def __init__(self, orvik, work, *args, name="serve"):
        # Appending: the server writes at the end while this reads from anywhere.
        self.log = open(os.path.join(work, name + ".log"), "a+")
        env = dict(os.environ)
        if SANITIZED:
            env["ASAN_OPTIONS"] = env.get("ASAN_OPTIONS", "") + ":quarantine_size_mb=%d" % QUARANTINE_MB
        self.proc = subprocess.Popen([orvik, "serve", "--listen", "127.0.0.1:0", *args], stderr=self.log, env=env)
        # The line is written in pieces: the port is whole once " (" follows it.
        line = self.wait_log("orvik: listening on ", lambda l: re.search(r"https?://127\.0\.0\.1:\d+ \(", l))
        if not line:
            self.stop()  # else it would hold the test's output open
            raise SystemExit("FAILED: orvik serve did not start")
        self.port = int(re.search(r"127\.0\.0\.1:(\d+) \(", line).group(1))

    def wait_log(self, start, whole=None, seconds=60, skip=0):
        """The first line starting so (and, with `whole`, passing it) after the
        first `skip` such lines, once it is there."""
        deadline = time.time() + seconds
        while time.time() < deadline and self.proc.poll() is None:
            self.log.seek(0)
            found = [line for line in self.log if line.startswith(start) and (not whole or whole(line))]
            if len(found) > skip:
                return found[skip]
            time.sleep(0.1)
        return None

    def status(self, field):
        with open("/proc/%d/status" % self.proc.pid) as f:
            return int(next(l for l in f if l.startswith(field)).split()[1])

    def reset_peak(self):
        with open("/proc/%d/clear_refs" % self.proc.pid, "w") as f:
            f.write("5")

    def stop(self):
        if self.proc.poll() is None:
            self.proc.kill()
            self.proc.wait()


def connect(port, timeout=10):
    return socket.create_connection(("127.0.0.1", port), timeout=timeout)


def read_reply(sock, deadline):
    """Status, lower-case headers and body of one answer (by Content-Length)."""
    data = b""
    while b"\r\n\r\n" not in data:
        sock.settimeout(max(0.01, deadline - time.time()))
        chunk = sock.recv(65536)
        if not chunk:
            raise OSError("closed before an answer")
        data += chunk
    head, body = data.split(b"\r\n\r\n", 1)
    lines = head.decode("latin-1").split("\r\n")
    headers = {k.lower(): v.strip() for k, v in (l.split(":", 1) for l in lines[1:])}
    while len(body) < int(headers.get("content-length", 0)):
        sock.settimeout(max(0.01, deadline - time.time()))
        chunk = sock.recv(1 << 20)
        if not chunk:
            break
        body += chunk
    return int(lines[0].split()[1]), headers, body


def exchange(port, head, body=(), seconds=10):
    """Sends the head, then body blocks until the server answers; returns
    (status, headers, body, bytes of body sent)."""
    sock = connect(port)
    try:
        sock.sendall(head)
        sent = 0
        sock.setblocking(False)
        for block in body:
            readable, writable, _ = select.select([sock], [sock], [], 1)
            if readable:
                break
            if writable:
                try:
                    sent += sock.send(block)
                except (BlockingIOError, OSError):
                    break
        sock.setblocking(True)
        return (*read_reply(sock, time.time() + seconds), sent)
    finally:
        sock.close()


def repeat(block, total):
    for _ in range(total // len(block)):
        yield block


def chunked(total):
    return repeat(b"%x\r\n%s\r\n" % (65536, b"x" * 65536), total)


def gzip_bomb():
    packer = zlib.compressobj(9, zlib.DEFLATED, 31)
    zeros = bytes(MB)
    return b"".join([packer.compress(zeros) for _ in range(400)] + [packer.flush()])


def form(query, start, end, step):
    return "query=%s&start=%d&end=%s&step=%s" % (query, start, end, step)


def get(path, *headers):
    return ("GET %s HTTP/1.1\r\nHost: t\r\n%s\r\n" % (path, "".join(h + "\r\n" for h in headers))).encode()


def post(path, body, *headers):
    return ("POST %s HTTP/1.1\r\nHost: t\r\nContent-Type: application/x-www-form-urlencoded\r\n"
            "Content-Length: %d\r\n%s\r\n%s" % (path, len(body), "".join(h + "\r\n" for h in headers), body)).encode()


def matrix(steps):  # every series, `steps` steps
    return "/api/v1/query_range?" + form("windows_cpu_time_total", START, START + (steps - 1) * 30, 30)


def whole(status, headers, body):
    return "content-range" not in headers and b"multipart" not in body[:200]


BOMB = gzip_bomb()
# name, request head, body blocks sent until the answer, status, further check
ROWS = [
    ("chunked 200 MB to an unknown path", b"POST /anything HTTP/1.1\r\nHost: t\r\nTransfer-Encoding: chunked\r\n\r\n",
     chunked(200 * MB), 404, lambda s, h, b: h.get("connection") == "close"),
    ("200 MB without a length to an unknown path", b"POST /anything HTTP/1.1\r\nHost: t\r\n\r\n",
     repeat(b"x" * 65536, 200 * MB), 404, None),
    ("chunked 200 MB snapshot", b"POST /api/v1/snapshot HTTP/1.1\r\nHost: t\r\nTransfer-Encoding: chunked\r\n\r\n",
     chunked(200 * MB), 413, None),
    ("chunked form body over 8 KiB", b"POST /api/v1/query HTTP/1.1\r\nHost: t\r\nTransfer-Encoding: chunked\r\n"
     b"Content-Type: application/x-www-form-urlencoded\r\n\r\n", chunked(MB), 413, None),
    ("snapshot Content-Length over 1 MiB", b"POST /api/v1/snapshot HTTP/1.1\r\nHost: t\r\nContent-Length: 209715200\r\n\r\n",
     repeat(b"[" * 65536, 200 * MB), 413, None),
    ("gzip body inflating to 400 MB", b"POST /api/v1/query HTTP/1.1\r\nHost: t\r\nContent-Encoding: gzip\r\n"
     b"Content-Length: %d\r\n\r\n" % len(BOMB), [BOMB], 415, None),
    ("request line of 200 MB", b"GET /", repeat(b"a" * 65536, 200 * MB), 414, None),
    ("25,600 header lines of 8 KB", b"GET /metrics HTTP/1.1\r\n", repeat(b"X-A: " + b"a" * 8187 + b"\r\n", 25600 * 8192),
     431, None),
    ("101 header lines", get("/metrics", *["X-%d: 1" % i for i in range(101)]), (), 431, None),
    ("NUL in a parameter", get("/api/v1/query?query=up%00x"), (), 400, None),
    ("NUL in a form body", post("/api/v1/query", "query=up%00"), (), 400, None),
    ("NUL in the path", get("/api/v1/label/co%00re/values"), (), 400, None),
    ("broken escape", get("/api/v1/query?query=%zz"), (), 400, None),
    ("wrong method", b"DELETE /api/v1/query HTTP/1.1\r\nHost: t\r\n\r\n", (), 405,
     lambda s, h, b: h.get("allow") == "GET, POST"),
    ("1,000 ranges on /metrics", get("/metrics", "Range: bytes=" + ",".join(["0-"] * 1000)), (), 200, whole),
    ("300 ranges on a range answer", get(matrix(8), "Range: bytes=" + ",".join(["0-"] * 300)), (), 200, whole),
    ("br on a matrix of 120 steps", get(matrix(120), "Accept-Encoding: br"), (), 200,
     lambda s, h, b: "content-encoding" not in h and len(b) > 2 * MB),
    ("gzip on a matrix of 120 steps", get(matrix(120), "Accept-Encoding: gzip, br"), (), 200,
     lambda s, h, b: h.get("content-encoding") == "gzip" and gzip.decompress(b).startswith(b'{"status":"success"')),
    ("sum over 11,000 steps of 1 ms", post("/api/v1/query_range", form('sum({__name__!=""})', END - 11, END, "0.001")),
     (), 200, None),
    ("1,024 series x 11,001 steps", post("/api/v1/query_range", form("windows_cpu_time_total", END - 11000, END, "1")),
     (), 422, None),
    ("1,024 series x 1,001 steps (points)", post("/api/v1/query_range", form("windows_cpu_time_total", END - 1000, END, 1)),
     (), 422, lambda s, h, b: b"max-points" in b),
    ("12,001 steps refused as before", get("/api/v1/query_range?" + form("up", START, START + 12, "0.001")), (), 400,
     None),
    # The widest window, 11,000 steps after its start, for a scalar and for a
    # vector that selects nothing alike.
    ("scalar over 11,000 steps", post("/api/v1/query_range", form("1", END - 11000, END, "1")), (), 200,
     lambda s, h, b: len(json.loads(b)["data"]["result"][0]["values"]) == 11001),
    ("no series over 11,000 steps", post("/api/v1/query_range", form("absent", END - 11000, END, "1")), (), 200, None),
    # Constructs of the language that multiply series, steps or work: each is
    # counted before it is done and refused, the host's memory untouched.
    ("count_values over 200 steps, 204,800 values",
     post("/api/v1/query_range", form(quote('count_values without (mode) ("v", windows_cpu_time_total + time())'),
                                      END - 199, END, 1)), (), 422, lambda s, h, b: b"execution" in b),
    ("label_replace of count_values' labels",
     post("/api/v1/query_range", form(quote('label_replace(count_values without (mode) ("v", windows_cpu_time_total'
                                            ' + time()), "w", "$1", "v", "(.*)")'), END - 199, END, 1)), (), 422, None),
    ("many-to-many matching", post("/api/v1/query", "query=" + quote("windows_cpu_time_total * on(mode) "
                                                                      "windows_cpu_time_total")), (), 422,
     lambda s, h, b: b"many-to-many matching not allowed" in b),
    ("group_left with duplicates on the one side",
     post("/api/v1/query", "query=" + quote("windows_cpu_time_total * on(mode) group_left windows_cpu_time_total")),
     (), 422, lambda s, h, b: b"found duplicate series for the match group" in b),
    ("subquery of a subquery, 1 s steps over an hour",
     post("/api/v1/query", "query=" + quote("max_over_time(max_over_time(windows_cpu_time_total[1h:1s])[1h:1s])")),
     (), 422, None),
    ("11,000 steps x a subquery of 11,000 steps",
     post("/api/v1/query_range", form(quote("max_over_time(windows_cpu_time_total[11000s:1s])"), END - 11000, END, 1)),
     (), 422, None),
    ("time of 2^63-1 ms", get("/api/v1/query?query=windows_cpu_time_total&time=9223372036854775807ms"), (), 400,
     None),
    ("end in the year 10000", get("/api/v1/query_range?" + form("1", START, "253402300800", 60)), (), 400, None),
]


def table(server, failures):
    for name, head, body, want, check in ROWS:
        server.reset_peak()
        started = time.time()
        try:
            status, headers, text, sent = exchange(server.port, head, body)
        except OSError as e:
            status, headers, text, sent = "no answer (%s)" % e, {}, b"", 0
        took, peak = time.time() - started, server.status("VmHWM")
        print("%-44s %s  %6.2f s  sent %8d B  peak %6d kB" % (name, status, took, sent, peak))
        if status != want or (check and not check(status, headers, text)) or took > 5 or peak > MEMORY_BOUND_KB:
            failures.append("%s: status %s (want %s), %.2f s, peak %d kB: %r" % (name, status, want, took, peak, text[:200]))


def slow_loris(server, failures, count=64):
    """Trickling clients are dropped at the header deadline; meanwhile a
    normal client is answered at once."""
    request = b"GET /api/v1/labels HTTP/1.1\r\nHost: t\r\nX-Slow: " + b"s" * 200
    socks = [connect(server.port) for _ in range(count)]
    closed, latencies, start, byte = {}, [], time.time(), 0
    while len(closed) < count and time.time() - start < 14:
        for i, s in enumerate(socks):
            if i in closed:
                continue
            if select.select([s], [], [], 0)[0]:
                # A 408, a close, or a reset when the server closed with
                # trickled bytes still unread: each is the client dropped.
                try:
                    closed[i] = (s.recv(4096)[9:12], time.time() - start)
                except OSError:
                    closed[i] = (b"reset", time.time() - start)
            else:
                try:
                    s.send(request[byte % len(request):][:1])
                except OSError:
                    closed[i] = (b"reset", time.time() - start)
        byte += 1
        t = time.time()
        try:
            status = exchange(server.port, get("/api/v1/label/mode/values", "Connection: close"))[0]
        except OSError as e:
            status = "no answer (%s)" % e
        latencies.append(time.time() - t)
        if status != 200:
            failures.append("slow loris: a normal request got %s" % status)
        time.sleep(0.2)
    for s in socks:
        s.close()
    codes = {c for c, _ in closed.values()}
    print("slow loris: %d trickling connections, %d answered %s after %.1f-%.1f s; normal client: %d requests, "
          "max %.1f ms, p50 %.1f ms" % (count, len(closed), codes, min((t for _, t in closed.values()), default=0),
                                         max((t for _, t in closed.values()), default=0), len(latencies),
                                         1000 * max(latencies), 1000 * statistics.median(latencies)))
    if len(closed) < count or codes - {b"408", b"", b"reset"} or max(latencies) > 0.5:
        failures.append("slow loris: %d of %d closed with %s, normal client max %.3f s" %
                        (len(closed), count, codes, max(latencies)))


def varint(n):
    out = b""
    while n > 0x7f:
        out += bytes([n & 0x7f | 0x80])
        n >>= 7
    return out + bytes([n])


def field(number, payload):
    return varint(number << 3 | 2) + varint(len(payload)) + payload


def write_body(labels, samples):
    """A WriteRequest of one series as a snappy block: a literal of the
    series' start and first sample, then copies of the sample's 18 bytes, so
    that a few MB of repeated samples take about 3 % of that on the wire."""
    sample = field(2, b"\x09" + bytes(8) + b"\x10" + varint(START * 1000))
    head = b"".join(field(1, field(1, k.encode()) + field(2, v.encode())) for k, v in labels)
    inner = head + sample * samples
    raw_head = varint(1 << 3 | 2) + varint(len(inner)) + head + sample
    body, left = varint(len(raw_head) + len(sample) * (samples - 1)), len(sample) * (samples - 1)
    for start in range(0, len(raw_head), 60):
        chunk = raw_head[start:start + 60]
        body += bytes([(len(chunk) - 1) << 2]) + chunk
    while left:  # copies of up to 54 bytes (3 samples) from 18 bytes back
        n = min(54, left)
        body += bytes([(n - 1) << 2 | 2]) + len(sample).to_bytes(2, "little")
        left -= n
    return body


def series_body(labels, samples, first_ms):
    """A WriteRequest of one series and distinct times, as a snappy block of
    literals."""
    raw = field(1, b"".join(field(1, field(1, k.encode()) + field(2, v.encode())) for k, v in labels) +
                b"".join(field(2, b"\x09" + bytes(8) + b"\x10" + varint(first_ms + i)) for i in range(samples)))
    body = varint(len(raw))
    for start in range(0, len(raw), 65536):
        chunk = raw[start:start + 65536]
        body += b"\xf8" + (len(chunk) - 1).to_bytes(3, "little") + chunk
    return body


def cpu_seconds(server):
    with open("/proc/%d/stat" % server.proc.pid) as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def costly_requests(server, failures, attackers=8, rounds=3):
    """Requests inside every byte bound whose work or memory is bounded by
    the server: each sent by 8 connections at once, rounds times, while an
    honest client asks one series. The peak above the resident memory before
    the row stays at a few MB, and the honest client is answered throughout."""
    big = [("__name__", "n" * 127)] + [("l%02d" % i, "v" * 100) for i in range(31)]
    honest = get("/api/v1/query?query=windows_cpu_time_total%%7Bcore%%3D%%221%%22%%7D&time=%d" % END, "Connection: close")
    slow = "%7B" + "%2C".join(['__name__%3D~%22.(%3F%3A.%3F)%7B999%7D%22'] * 32) + "%7D"
    wide = "%7B" + "%2C".join(['core%3D~%22.(%3F%3A.%3F)%7B225%7D%22'] * 32) + "%7D"
    sequence = [0]

    # A stored series of its own per request (the table is full): eight
    # connections at once arrive in no set order, and a series' later batch
    # arriving first would make the earlier one out of order.
    def at_bound():
        sequence[0] += 1
        return series_body([("__name__", "windows_cpu_time_total"), ("core", str(sequence[0])), ("mode", "idle")],
                           20000, (END + 3600 * sequence[0]) * 1000)

    def write(body):
        return (b"POST /api/v1/write HTTP/1.1\r\nHost: t\r\nContent-Encoding: snappy\r\nContent-Length: %d\r\n\r\n"
                % len(body)) + body

    rows = [
        # name, request (made afresh for each send), status, a word of the answer
        ("remote write: 232,000 samples, 4 MiB inflated", lambda body=write_body(big, 232000): write(body), 413,
         b"232000 samples"),
        ("remote write: 20,000 samples", lambda: write(at_bound()), 204, b""),
        ("32 regexes of 9,003 instructions", lambda: post("/api/v1/query", "query=" + slow), 400, b"too large"),
        ("5 match[] of them on /api/v1/series", lambda: post("/api/v1/series", "&".join(["match[]=" + slow] * 5)),
         400, b"too large"),
        ("32 regexes over 512 values each", lambda: post("/api/v1/query", "query=" + wide + "&time=%d" % END), 422,
         b"regular expressions"),
        ("5 match[] of them on /api/v1/series", lambda: post("/api/v1/series", "&".join(["match[]=" + wide] * 5)),
         422, b"regular expressions"),
    ]
    for name, request, want, word in rows:
        server.reset_peak()
        base, cpu = server.status("VmRSS"), cpu_seconds(server)
        answers, latencies = [], []

        def attack():
            for _ in range(rounds):
                try:
                    status, _, text, _ = exchange(server.port, request(), seconds=60)
                    answers.append(status if word in text else "%s %r" % (status, text[:100]))
                except OSError as e:
                    answers.append("no answer (%s)" % e)

        threads = [threading.Thread(target=attack) for _ in range(attackers)]
        for t in threads:
            t.start()
        while any(t.is_alive() for t in threads) or not latencies:
            started = time.time()
            status = exchange(server.port, honest, seconds=30)[0]
            latencies.append(time.time() - started)
            if status != 200:
                failures.append("%s: the honest client got %s" % (name, status))
        for t in threads:
            t.join()
        latencies.sort()
        p50, p99 = latencies[len(latencies) // 2], latencies[min(len(latencies) - 1, len(latencies) * 99 // 100)]
        spent, peak = cpu_seconds(server) - cpu, server.status("VmHWM") - base
        print("%-44s %s x %d: %.3f s CPU each, peak +%d kB; honest client %d requests, p50 %.1f ms, p99 %.1f ms"
              % (name, sorted(set(map(str, answers))), len(answers), spent / len(answers), peak, len(latencies),
                 1000 * p50, 1000 * p99))
        if set(answers) != {want} or peak > COSTLY_PEAK_KB or p99 > 5:
            failures.append("%s: %s (want %s), peak +%d kB, honest p99 %.2f s" % (name, answers[:3], want, peak, p99))


def connection_cap(server, failures, cap):
    socks = [connect(server.port) for _ in range(cap + 20)]
    # The server accepts, and so closes the oldest, in its own time: the
    # closes are awaited, each socket read once it is readable.
    gone, deadline = set(), time.time() + 10
    while len(gone) < 20 and time.time() < deadline:
        for s in select.select([s for s in socks[:40] if s.fileno() not in gone], [], [], 0.2)[0]:
            try:
                if s.recv(1) == b"":
                    gone.add(s.fileno())
            except OSError:
                gone.add(s.fileno())
    dropped = len(gone)
    status = exchange(server.port, get("/api/v1/labels"))[0]
    for s in socks:
        s.close()
    print("connection cap %d: %d connections opened, %d of the oldest closed, a new request got %s"
          % (cap, cap + 20, dropped, status))
    if dropped < 20 or status != 200:
        failures.append("connection cap: %d oldest closed, new request %s" % (dropped, status))


def load(server, failures, clients=32, seconds=10):
    paths = [("GET", "/api/v1/query?query=windows_cpu_time_total&time=%d" % END, None),
             ("POST", "/api/v1/query", "query=sum(rate(windows_cpu_time_total[5m]))&time=%d" % END),
             ("POST", "/api/v1/query_range", form("windows_cpu_time_total", END - 3600, END, 60)),
             ("GET", "/api/v1/label/core/values", None), ("GET", "/api/v1/labels", None), ("GET", "/metrics", None)]
    latencies, errors, stop = [], [], time.time() + seconds

    def client(n):
        conn = http.client.HTTPConnection("127.0.0.1", server.port, timeout=10 * SLOWER)
        i = n
        while time.time() < stop:
            method, path, body = paths[i % len(paths)]
            i += 1
            t = time.time()
            try:
                headers = {"Accept-Encoding": "gzip"}  # as the usual clients send it
                if body:
                    headers["Content-Type"] = "application/x-www-form-urlencoded"
                conn.request(method, path, body, headers)
                reply = conn.getresponse()
                reply.read()
                if reply.status != 200:
                    errors.append(reply.status)
            except (OSError, http.client.HTTPException) as e:
                errors.append(repr(e))
                conn.close()
            latencies.append(time.time() - t)
        conn.close()

    server.reset_peak()
    threads = [threading.Thread(target=client, args=(n,)) for n in range(clients)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    latencies.sort()
    print("load: %d keep-alive clients, %d requests in %d s: %.0f requests/s, p50 %.1f ms, p99 %.1f ms, "
          "errors %d, peak %d kB" % (clients, len(latencies), seconds, len(latencies) / seconds,
                                     1000 * latencies[len(latencies) // 2], 1000 * latencies[len(latencies) * 99 // 100],
                                     len(errors), server.status("VmHWM")))
    if errors or server.status("VmHWM") > MEMORY_BOUND_KB:
        failures.append("load: errors %s" % errors[:5])


def log_lines(server, failures):
    sock = connect(server.port)
    sock.sendall(get(matrix(400)))  # larger than the socket buffers
    sock.recv(1000)
    sock.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, b"\1\0\0\0\0\0\0\0")
    sock.close()
    exchange(server.port, b"GET /\xff\xfe HTTP/1.1\r\nHost: t\r\n\r\n")
    wanted, deadline = ["(cut off)", "GET /\\xff\\xfe 404", "- - 414", " 431 ", " 408 0B (timed out)"], time.time() + 10
    while True:
        server.log.seek(0)
        text = server.log.read()
        missing = [want for want in wanted if want not in text]
        if not missing or time.time() > deadline:
            break
        time.sleep(0.1)
    for want in missing:
        failures.append("log: no line with %r" % want)


def stop_under_trickle(server, failures):
    socks = [connect(server.port) for _ in range(8)]
    for s in socks:
        s.send(b"GET /metrics HTTP/1.1\r\n")
    big = connect(server.port)
    big.sendall(get(matrix(120)))  # an answer the client does not read
    big.settimeout(10)
    big.recv(1)  # its first bytes: the answer is made and waits to be sent
    started = time.time()
    server.proc.send_signal(signal.SIGTERM)
    try:
        code = server.proc.wait(timeout=5)
    except subprocess.TimeoutExpired:
        code = "still running"
    took = time.time() - started
    print("SIGTERM with 9 clients holding connections: exited %s after %.3f s" % (code, took))
    if code != 0 or took > 1:
        failures.append("SIGTERM: exit %s after %.2f s" % (code, took))
    for s in socks + [big]:
        s.close()


# The attacks: each runs on 8 threads until `stop` is set; a text is a fault.
def unread_answer(server, stop):
    """Asks for a 7 MB answer and never reads it: 8 ask more than the in-flight bound."""
    with socket.socket() as s:
        s.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)  # the answer stays in the server
        s.connect(("127.0.0.1", server.port))
        s.sendall(get(matrix(120)))
        stop.wait(2)


def one_answer(make_head, *wanted):
    """Sends a request that must get one of `wanted` and nothing more before the close."""
    def attack(server, stop):
        with connect(server.port) as s:
            s.sendall(make_head())
            data = b"".join(iter(lambda: s.recv(65536), b""))
        if data[9:12] not in [b"%d" % w for w in wanted] or data.count(b"HTTP/1.1 ") != 1:
            return "got %r" % data[:60]
    return attack


def smuggled():
    return (b"POST /api/v1/query HTTP/1.1\r\nHost: t\r\nTransfer-Encoding: %s\r\n\r\n%s"
            % (random.choice([b"identity", b"gzip", b"chunked, identity"]), get("/metrics")))


def wrong_password():
    secret = base64.b64encode(b"alice:guess%d" % random.getrandbits(48)).decode()
    return get("/api/v1/labels", "Authorization: Basic " + secret, "Connection: close")


def silent_tls(server, stop):
    """Finishes handshakes and sends nothing, 16 at a time, past the cap."""
    held = []
    while not stop.is_set():
        try:
            held.append(server.tls.wrap_socket(connect(server.port, timeout=5)))
        except OSError:  # closed at the cap before its handshake ended
            continue
        if len(held) > 16:
            held.pop(0).close()
    for s in held:
        s.close()


def busy_handlers(server, stop):
    """Keeps the workers busy: 10,000 steps of an aggregation over every series."""
    with connect(server.port, timeout=30) as s:
        while not stop.is_set():
            # From where every series has samples 5 minutes back, so that the
            # store answers it at every step.
            s.sendall(post("/api/v1/query_range", form("sum(rate(windows_cpu_time_total[5m]))", END - 3285, END, 0.33),
                           *(["Authorization: " + server.auth] if server.auth else [])))
            try:
                status = read_reply(s, time.time() + 30)[0]
            except OSError:
                status = "none"
            if status != 200 and not stop.is_set():
                return "a busy query got %s" % status


# The honest client: small questions, and the probes by GET and HEAD.
QUESTIONS = [("GET", "/api/v1/label/mode/values"), ("GET", "/-/healthy"), ("HEAD", "/-/ready"), ("POST", "/api/v1/query")]
PROBES = [("GET", "/-/healthy"), ("HEAD", "/-/healthy"), ("HEAD", "/-/ready")]


def honest_client(server, questions, auth=None):
    conn = [None]

    def ask(i):
        method, path = questions[i % len(questions)]
        if conn[0] is None:
            conn[0] = (http.client.HTTPSConnection("127.0.0.1", server.port, timeout=30, context=server.tls)
                       if server.tls else http.client.HTTPConnection("127.0.0.1", server.port, timeout=30))
        headers = {"Authorization": auth or server.auth} if auth or server.auth else {}
        body = None
        if method == "POST":
            body, headers["Content-Type"] = "query=up&time=%d" % END, "application/x-www-form-urlencoded"
        try:
            conn[0].request(method, path, body, headers)
            reply = conn[0].getresponse()
            data = reply.read()
        except (OSError, http.client.HTTPException) as e:
            conn[0].close()
            conn[0] = None
            return repr(e)
        return reply.status if method != "HEAD" or not data else "HEAD with a body"
    return ask


def under_attack(server, failures, name, attack, questions=QUESTIONS, seconds=4, then=None):
    """Runs the attack on 8 threads while the honest client asks, then `then`
    while the attackers' last requests still run."""
    stop, faults = threading.Event(), []

    def attacker():
        try:
            while not stop.is_set() and not faults:
                fault = attack(server, stop)
                if fault:
                    faults.append(fault)
        except (OSError, http.client.HTTPException) as e:
            faults.append(repr(e))

    server.reset_peak()
    threads = [threading.Thread(target=attacker) for _ in range(8)]
    for t in threads:
        t.start()
    ask, latencies, wrong, end = honest_client(server, questions), [], [], time.time() + seconds
    while time.time() < end:
        t = time.time()
        status = ask(len(latencies))
        latencies.append(time.time() - t)
        if status != 200:
            wrong.append(status)
    peak = server.status("VmHWM")
    stop.set()  # the attackers' last requests still run
    if then:
        then()
    for t in threads:
        t.join()
    latencies.sort()
    p99 = latencies[len(latencies) * 99 // 100]
    print("%-44s honest client: %5d answers, p50 %6.1f ms, p99 %6.1f ms; peak %6d kB" %
          (name, len(latencies), 1000 * latencies[len(latencies) // 2], 1000 * p99, peak))
    if wrong or faults or peak > MEMORY_BOUND_KB or p99 > 5:
        failures.append("%s: honest client got %s, attackers %s, p99 %.2f s, peak %d kB" %
                        (name, wrong[:5], faults[:3], p99, peak))


def reload_users(server, failures, config, text, want_log, want_status):
    """SIGHUP with the file changed: the log line, then bob's answer."""
    with open(config, "w") as f:
        f.write(text)
    server.proc.send_signal(signal.SIGHUP)
    line = server.wait_log(want_log, seconds=10)
    status = honest_client(server, QUESTIONS, "Basic " + base64.b64encode(b"bob:other").decode())(0)
    print("SIGHUP: %s; bob got %s" % ((line or "no line %r" % want_log).strip()[:90], status))
    if not line or status != want_status:
        failures.append("SIGHUP: line %r, bob got %s" % (line, status))


def stop_now(server, failures):
    started = time.time()
    server.proc.send_signal(signal.SIGTERM)
    try:
        code = server.proc.wait(timeout=10)
    except subprocess.TimeoutExpired:
        code = "still running"
    print("SIGTERM with 8 queries holding the workers: exited %s after %.3f s" % (code, time.time() - started))
    if code != 0 or time.time() - started > 2:
        failures.append("SIGTERM while busy: exit %s after %.2f s" % (code, time.time() - started))


def attacks(orvik, work, data, failures):
    serve = lambda name, *args: Server(orvik, work, "--snapshots", data, "--samples", str(SAMPLES), *args, name=name)
    server = serve("attacks")
    server.tls = server.auth = None
    try:
        under_attack(server, failures, "8 answers of 7 MB never read", unread_answer)
        under_attack(server, failures, "8 smuggled requests at a time", one_answer(smuggled, 400))
        under_attack(server, failures, "8 header lines over the bound at a time",
                     one_answer(lambda: get("/api/v1/labels", "Cookie: " + "c" * 17000), 431))
    finally:
        server.stop()
    try:
        import warnings
        warnings.simplefilter("ignore", DeprecationWarning)
        import crypt  # makes bcrypt hashes before Python 3.13
        alice, bob = (crypt.crypt(p, crypt.mksalt(crypt.METHOD_BLOWFISH, rounds=1 << 10)) for p in ("secret", "other"))
    except (ImportError, AttributeError, OSError):
        return print("skipped the credential rows: python3 has no crypt module to make bcrypt hashes")
    config = os.path.join(work, "web.yml")
    with open(config, "w") as f:
        f.write("basic_auth_users:\n  alice: %s\n" % alice)
    server = serve("auth", "--web.config.file", config)
    server.tls, server.auth = None, "Basic " + base64.b64encode(b"alice:secret").decode()
    try:
        honest_client(server, QUESTIONS)(0)  # the honest client's round is made before the attack
        under_attack(server, failures, "8 connections of wrong passwords", one_answer(wrong_password, 401, 429))
        reload_users(server, failures, config, "basic_auth_users:\n  alice: %s\n  bob: %s\n" % (alice, bob),
                     "orvik: SIGHUP: reloaded", 200)
        reload_users(server, failures, config, "basic_auth_users: [broken\n", "orvik: SIGHUP: cannot reload", 200)
        under_attack(server, failures, "probes while 8 queries hold the workers", busy_handlers, PROBES,
                     then=lambda: stop_now(server, failures))
    finally:
        server.stop()
    key, cert = os.path.join(work, "tls.key"), os.path.join(work, "tls.crt")
    try:  # RSA-4096: the handshakes that cost the server most
        made = subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:4096", "-nodes", "-days", "1", "-subj",
                               "/CN=orvik", "-keyout", key, "-out", cert], stderr=subprocess.DEVNULL).returncode == 0
    except OSError:
        made = False
    if not made:
        return print("skipped the TLS row: openssl could not make a certificate")
    with open(config, "w") as f:
        f.write("tls_server_config:\n  cert_file: tls.crt\n  key_file: tls.key\n")
    server = serve("tls", "--web.config.file", config, "--web.max-connections", "64")
    server.tls, server.auth = ssl.create_default_context(cafile=cert), None
    server.tls.check_hostname = False
    try:
        # The honest client's connection, idle between its questions, is not
        # the one closed at the cap.
        under_attack(server, failures, "8 silent TLS connections past the cap", silent_tls)
    finally:
        server.stop()


def main():
    if not os.path.exists("/proc/self/status"):
        print("skipped: needs Linux's /proc")
        return 77
    failures = []
    with tempfile.TemporaryDirectory() as work:
        data = os.path.join(work, "data.jsonl")
        make_data(data)
        # Writes on, so that the snapshot rows reach the body limits; an age
        # limit back to the data's 2023, so that /metrics shows every series.
        server = Server(sys.argv[1], work, "--snapshots", data, "--samples", str(SAMPLES), "--web.max-connections", "128",
                        "--web.enable-write", "--metrics.max-age", "100y")
        try:
            print("server up: peak %d kB" % server.status("VmHWM"))
            table(server, failures)
            costly_requests(server, failures)
            slow_loris(server, failures)
            connection_cap(server, failures, 128)
            load(server, failures)
            log_lines(server, failures)
            stop_under_trickle(server, failures)
        finally:
            server.stop()
            if failures:
                server.log.seek(0)
                print("--- last lines of the server log\n" + "".join(server.log.readlines()[-20:]))
        attacks(sys.argv[1], work, data, failures)
    for f in failures:
        print("FAILED:", f)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
