#!/usr/bin/env python3
"""The Python half of remote_write_test.sh: a remote-write receiver stub,
hostile bodies for orvik's receiver, and comparisons of what orvik holds with
what a Prometheus or VictoriaMetrics server holds. Snappy and protobuf are
written out here in the few lines the protocol needs, so that the test needs
no Python packages.

  stub MODE PORT_FILE LOG_FILE        MODE: flaky (503 twice, then 204), refuse (400), silent
  hostile URL                         bad bodies to URL/api/v1/write, then a good one
  compare ORVIK KIND URL TIME SEL...  same labels and samples, at and before TIME, in both
  newest ORVIK PROM TIME SEL...       same newest sample at TIME in both
  past ORVIK KIND URL TIME SEL...     exits 0 once both hold a sample after TIME

KIND is the kind of server at URL: prometheus or victoria.
"""
import hashlib, http.server, json, struct, sys, threading, time, urllib.parse, urllib.request


def varint(b, i):
    shift = value = 0
    while True:
        c = b[i]
        i += 1
        value |= (c & 0x7F) << shift
        shift += 7
        if c < 0x80:
            return value, i


def enc_varint(n):
    out = bytearray()
    while n >= 0x80:
        out.append(n & 0x7F | 0x80)
        n >>= 7
    out.append(n)
    return bytes(out)


def unsnappy(b):
    length, i = varint(b, 0)
    out = bytearray()
    while i < len(b):
        tag = b[i]
        i += 1
        kind = tag & 3
        if kind == 0:
            n = tag >> 2
            if n >= 60:
                k = n - 59
                n = int.from_bytes(b[i:i + k], "little")
                i += k
            out += b[i:i + n + 1]
            i += n + 1
            continue
        if kind == 1:
            n, off = ((tag >> 2) & 7) + 4, ((tag >> 5) << 8) | b[i]
            i += 1
        else:
            k = 2 if kind == 2 else 4
            n, off = (tag >> 2) + 1, int.from_bytes(b[i:i + k], "little")
            i += k
        for _ in range(n):
            out.append(out[-off])
    assert len(out) == length, "snappy length mismatch"
    return bytes(out)


def snappy(raw):
    """A valid snappy block of literals only."""
    out = bytearray(enc_varint(len(raw)))
    for i in range(0, len(raw), 65536):
        chunk = raw[i:i + 65536]
        n = len(chunk) - 1
        out += bytes([n << 2]) if n < 60 else bytes([60 << 2, n]) if n < 256 else bytes([61 << 2]) + n.to_bytes(2, "little")
        out += chunk
    return bytes(out)


def fields(b):
    i = 0
    while i < len(b):
        key, i = varint(b, i)
        wire = key & 7
        if wire == 0:
            value, i = varint(b, i)
        elif wire == 1:
            value, i = b[i:i + 8], i + 8
        elif wire == 2:
            n, i = varint(b, i)
            value, i = b[i:i + n], i + n
        else:
            raise ValueError("wire type %d" % wire)
        yield key >> 3, value


def decode(body):
    """[(labels tuple, [(timestamp ms, value)])] of a WriteRequest body."""
    result = []
    for num, ts in fields(unsnappy(body)):
        if num != 1:
            continue
        labels, samples = [], []
        for n, v in fields(ts):
            if n == 1:
                pair = dict(fields(v))
                labels.append((pair.get(1, b"").decode(), pair.get(2, b"").decode()))
            elif n == 2:
                s = dict(fields(v))
                samples.append((s.get(2, 0), struct.unpack("<d", s[1])[0] if 1 in s else 0.0))
        result.append((tuple(labels), samples))
    return result


def ld(num, payload):
    return enc_varint(num << 3 | 2) + enc_varint(len(payload)) + payload


def series(labels, samples):
    text = lambda t: t if isinstance(t, bytes) else t.encode()
    body = b"".join(ld(1, ld(1, text(n)) + ld(2, text(v))) for n, v in labels)
    body += b"".join(ld(2, b"\x09" + struct.pack("<d", v) + b"\x10" + enc_varint(t)) for t, v in samples)
    return ld(1, body)


def post(url, body, headers=None):
    request = urllib.request.Request(url, data=body, method="POST", headers=headers or {
        "Content-Encoding": "snappy", "Content-Type": "application/x-protobuf"})
    try:
        with urllib.request.urlopen(request, timeout=10) as answer:
            return answer.status, answer.read().decode()
    except urllib.error.HTTPError as e:
        return e.code, e.read().decode()


def announce(url, length):
    """Headers only, announcing a body of `length` bytes: the server must
    answer before any of it is sent."""
    import http.client
    parts = urllib.parse.urlsplit(url)
    conn = http.client.HTTPConnection(parts.hostname, parts.port, timeout=10)
    conn.putrequest("POST", parts.path)
    for name, value in (("Content-Encoding", "snappy"), ("Content-Length", str(length))):
        conn.putheader(name, value)
    conn.endheaders()
    answer = conn.getresponse()
    return answer.status, answer.read().decode()


def get_json(url, **params):
    with urllib.request.urlopen(url + "?" + urllib.parse.urlencode(params), timeout=10) as answer:
        return json.load(answer)["data"]["result"]


def stub(mode, port_file, log_file):
    lock, count = threading.Lock(), [0]

    class Handler(http.server.BaseHTTPRequestHandler):
        def log_message(self, *args):
            pass

        def do_POST(self):
            body = self.rfile.read(int(self.headers["Content-Length"]))
            with lock:
                count[0] += 1
                n = count[0]
            status = {"flaky": 503 if n <= 2 else 204, "refuse": 400, "silent": 0}[mode]
            entry = {"n": n, "status": status, "digest": hashlib.sha1(body).hexdigest(),
                     "encoding": self.headers["Content-Encoding"], "version": self.headers["X-Prometheus-Remote-Write-Version"],
                     "agent": self.headers["User-Agent"], "authorization": self.headers["Authorization"],
                     "samples": [[list(map(list, labels)), t] for labels, s in decode(body) for t, _ in s]}
            with lock, open(log_file, "a") as log:
                log.write(json.dumps(entry) + "\n")
            if status == 0:
                time.sleep(60)  # never answers; the test ends first
                return
            text = b"" if status == 204 else b"stub says no\n"
            self.send_response(status)
            self.send_header("Content-Length", str(len(text)))
            self.end_headers()
            self.wfile.write(text)

    server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)
    server.daemon_threads = True
    with open(port_file + ".tmp", "w") as f:
        f.write(str(server.server_address[1]))
    import os
    os.rename(port_file + ".tmp", port_file)
    server.serve_forever()


def hostile(url):
    """Each row a body and the status orvik must give; prints the answers."""
    good = series([("__name__", "hostile_ok"), ("k", "v")], [(int(time.time() * 1000), 1.0)])
    rows = [
        ("truncated snappy", snappy(good)[:-3], 400),
        ("length header of 4 GiB", b"\xff\xff\xff\xff\x0f" + b"\x00" * 64, 413),
        ("body over the limit", 2 * 1024 * 1024, 413),
        ("timeseries as a number", snappy(b"\x08\x01"), 400),
        ("sample value as text", snappy(ld(1, ld(2, ld(1, b"x")))), 400),
        ("label name of 64 bytes", snappy(series([("__name__", "m"), ("k" * 64, "v")], [(1000, 1.0)])), 400),
        # The store escapes these: stored, and answered under the same labels.
        ("quote, backslash, control", snappy(series([("__name__", "hostile_esc"), ("path", "C:\\Windows"),
                                                      ("q", 'a"b'), ("t", "x\ty")], [(1000, 1.0)])), 204),
        # 30 labels of 20 bytes: the store would cut the text to another identity.
        ("label text over 511 bytes", snappy(series([("__name__", "m")] + [("k%02d" % i, "v" * 14) for i in range(30)],
                                                    [(1000, 1.0)])), 400),
        ("33 labels", snappy(series([("__name__", "m")] + [("k%02d" % i, "v") for i in range(33)], [(1000, 1.0)])), 400),
        ("sample older than newest", snappy(series([("__name__", "hostile_late")], [(3000, 1.0), (2000, 2.0)])), 400),
        ("label value not UTF-8", snappy(series([("__name__", "m"), ("k", b"\xc3(")], [(1000, 1.0)])), 400),
        ("no series name", snappy(series([("k", "v")], [(1000, 1.0)])), 400),
        ("good", snappy(good), 204),
    ]
    failed = False
    for what, body, expected in rows:
        send = announce if isinstance(body, int) else post
        status, text = send(url + "/api/v1/write", body)
        print("%-26s %d %s" % (what, status, text.strip()[:150]))
        failed |= status != expected
    answer = get_json(url + "/api/v1/query", query="hostile_esc[1h]", time="10")
    metric = answer[0]["metric"] if answer else {}
    print("escaped labels answered as", metric)
    failed |= metric != {"__name__": "hostile_esc", "path": "C:\\Windows", "q": 'a"b', "t": "x\ty"}
    late = get_json(url + "/api/v1/query", query="hostile_late[1h]", time="10")
    failed |= [v for _, v in late[0]["values"]] != ["1"] if late else True
    sys.exit(1 if failed else 0)


def held(kind, url, selector, at):
    """The labels and samples [(time ms, value)] of the one series of
    `selector` that orvik, a Prometheus or a VictoriaMetrics holds in the ten
    minutes up to `at`, oldest first; None unless there is exactly one such
    series. VictoriaMetrics is asked for its raw samples: its queries would
    hide a sample held twice. Its newest samples and series are searchable
    only once flushed, which is forced rather than waited for."""
    end = round(at * 1000)
    if kind == "victoria":
        urllib.request.urlopen(url + "/internal/force_flush", timeout=10).read()
        query = urllib.parse.urlencode({"match[]": selector, "start": "%d" % (at - 601), "end": "%d" % (at + 1)})
        with urllib.request.urlopen(url + "/api/v1/export?" + query, timeout=10) as answer:
            lines = [json.loads(line) for line in answer.read().splitlines() if line.strip()]
        # One series may come in several lines.
        found = {}
        for line in lines:
            points = found.setdefault(json.dumps(line["metric"], sort_keys=True), (line["metric"], []))[1]
            points += zip(line["timestamps"], line["values"])
        result = list(found.values())
    else:
        answer = get_json(url + "/api/v1/query", query=selector + "[10m]", time="%.3f" % at)
        result = [(r["metric"], [(round(float(t) * 1000), v) for t, v in r["values"]]) for r in answer]
    if len(result) != 1:
        return None
    metric, points = result[0]
    return metric, sorted((t, float(v)) for t, v in points if end - 600000 <= t <= end)


def compare(orvik, kind, url, at, selectors):
    """The same labels and samples, at and before `at`, in orvik and the
    receiver; exits 1 with the first difference."""
    for selector in selectors:
        mine, theirs = held("orvik", orvik, selector, at), held(kind, url, selector, at)
        if not mine or not theirs:
            raise SystemExit("%s: orvik has %s, %s %s" % (selector, mine and "one series" or "not one series",
                                                          kind, theirs and "one series" or "not one series"))
        (labels, sent), (their_labels, got) = mine, theirs
        line = "%s: orvik holds %d, %s %d" % (selector, len(sent), kind, len(got))
        if kind == "prometheus":
            count = get_json(url + "/api/v1/query", query="count_over_time(%s[5m])" % selector, time="%.3f" % at)
            counted = int(count[0]["value"][1]) if count else 0
            line += " (count_over_time %d)" % counted
            if counted != len(sent):
                raise SystemExit(line)
        if labels != their_labels:
            raise SystemExit("%s: orvik's labels %s, %s's %s" % (selector, labels, kind, their_labels))
        if len(got) != len(sent):
            raise SystemExit(line)
        # VictoriaMetrics keeps a value as a decimal, without the digits of
        # a float64 past about the twelfth.
        same = (lambda a, b: abs(a - b) <= 1e-11 * abs(a)) if kind == "victoria" else \
            (lambda a, b: a == b and float("%.14g" % b) == a)
        for (t1, v1), (t2, v2) in zip(sent, got):
            if t1 != t2 or not same(v1, v2):
                raise SystemExit("%s: orvik has %r at %d, %s %r at %d" % (selector, v1, t1, kind, v2, t2))
        print(line)


def newest(orvik, prom, at, selectors):
    for selector in selectors:
        mine = get_json(orvik + "/api/v1/query", query=selector + "[1m]", time="%.3f" % at)
        theirs = get_json(prom + "/api/v1/query", query=selector + "[1m]", time="%.3f" % at)
        if len(mine) != 1 or len(theirs) != 1:
            raise SystemExit("%s: orvik has %d series, prometheus %d" % (selector, len(mine), len(theirs)))
        t, v = theirs[0]["values"][-1]
        print("%s: orvik %s @%s, prometheus %s @%s" % (selector, mine[0]["values"][-1][1], mine[0]["values"][-1][0], v, t))
        if mine[0]["metric"] != theirs[0]["metric"] or mine[0]["values"][-1] != [t, v]:
            raise SystemExit("%s differs: orvik %s, prometheus %s" % (selector, mine[0], theirs[0]))


def past(orvik, kind, url, at, selectors):
    """Exits 0 once orvik and the other server both hold a sample after `at`."""
    for selector in selectors:
        now = time.time()
        for which in (held("orvik", orvik, selector, now), held(kind, url, selector, now)):
            if not which or not which[1] or which[1][-1][0] <= at * 1000:
                sys.exit(1)


if __name__ == "__main__":
    command, args = sys.argv[1], sys.argv[2:]
    if command == "stub":
        stub(*args)
    elif command == "hostile":
        hostile(args[0])
    elif command == "compare":
        compare(args[0], args[1], args[2], float(args[3]), args[4:])
    elif command == "past":
        past(args[0], args[1], args[2], float(args[3]), args[4:])
    elif command == "newest":
        newest(args[0], args[1], float(args[2]), args[3:])
    else:
        raise SystemExit("unknown command " + command)
