#!/usr/bin/env python3
"""`orvik serve` against hostile and careless clients, on loopback.

One table of raw requests, each bounded in bytes and time, then a slow-loris
pack, a cap on connections, a load run, and a stop under SIGTERM while
clients trickle. Before every row the server's peak resident memory (VmHWM)
is reset, and after it the peak must stay under MEMORY_BOUND_KB: the store of
the test (1,024 series of 240 samples) and the largest answer the query
budget admits take a few tens of MB; hundreds would mean a client made the
server hold what it sent or what it was asked for. A server built with
AddressSanitizer is found by its symbols and judged by a wider bound.

Usage: hostile_test.py ORVIK     (exits 77 without Linux's /proc)
"""
import gzip, http.client, os, re, select, signal, socket, statistics, subprocess, sys, tempfile, threading, time, zlib


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
# three times as much, and an unbounded one still reads far more.
SANITIZED = len(sys.argv) > 1 and os.path.exists(sys.argv[1]) and sanitized(sys.argv[1])
QUARANTINE_MB = 32
MEMORY_BOUND_KB = (3 * 96 + QUARANTINE_MB) * 1024 if SANITIZED else 96 * 1024
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
    def __init__(self, orvik, work, *args):
        self.log = open(os.path.join(work, "serve.log"), "w+")
        env = dict(os.environ)
        if SANITIZED:
            env["ASAN_OPTIONS"] = env.get("ASAN_OPTIONS", "") + ":quarantine_size_mb=%d" % QUARANTINE_MB
        self.proc = subprocess.Popen([orvik, "serve", "--listen", "127.0.0.1:0", *args], stderr=self.log, env=env)
        deadline = time.time() + 60
        while time.time() < deadline and self.proc.poll() is None:
            self.log.seek(0)
            # The line is written in pieces: the port is whole once " (" follows it.
            found = re.search(r"^orvik: listening on http://127\.0\.0\.1:(\d+) \(", self.log.read(), re.M)
            if found:
                self.port = int(found.group(1))
                return
            time.sleep(0.1)
        self.stop()  # else it would hold the test's output open
        raise SystemExit("FAILED: orvik serve did not start")

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
     lambda s, h, b: "content-encoding" not in h and len(b) > 5 * MB),
    ("gzip on a matrix of 120 steps", get(matrix(120), "Accept-Encoding: gzip, br"), (), 200,
     lambda s, h, b: h.get("content-encoding") == "gzip" and gzip.decompress(b).startswith(b'{\n    "status": "success"')),
    ("sum over 11,000 steps of 1 ms", post("/api/v1/query_range", form('sum({__name__!=""})', END - 11, END, "0.001")),
     (), 422, lambda s, h, b: b'"errorType":"execution"' in b),
    ("1,024 series x 11,001 steps", post("/api/v1/query_range", form("windows_cpu_time_total", END - 11000, END, "1")),
     (), 422, None),
    ("1,024 series x 1,001 steps (points)", post("/api/v1/query_range", form("windows_cpu_time_total", END - 1000, END, 1)),
     (), 422, lambda s, h, b: b"max-points" in b),
    ("12,001 steps refused as before", get("/api/v1/query_range?" + form("up", START, START + 12, "0.001")), (), 400,
     None),
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
        conn = http.client.HTTPConnection("127.0.0.1", server.port, timeout=10)
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
    for f in failures:
        print("FAILED:", f)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
