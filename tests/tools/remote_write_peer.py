#!/usr/bin/env python3
"""The Python half of remote_write_test.sh: a remote-write receiver stub,
hostile bodies for orvik's receiver, and comparisons of what orvik holds with
what a Prometheus server holds. Snappy and protobuf are written out here in
the few lines the protocol needs, so that the test needs no Python packages.

  stub MODE PORT_FILE LOG_FILE    MODE: flaky (503 twice, then 204), refuse (400), silent
  hostile URL                     bad bodies to URL/api/v1/write, then a good one
  compare ORVIK PROM TIME SEL...  same samples, at and before TIME, in both
  newest ORVIK PROM TIME SEL...   same newest sample at TIME in both
  past ORVIK PROM TIME SEL...     exits 0 once both hold a sample after TIME
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


def orvik_samples(url, selector, at):
    """Every sample orvik holds of one series in the hour before `at`, newest
    first, from a range selector in an instant query."""
    result = get_json(url + "/api/v1/query", query=selector + "[1h]", time="%.3f" % at)
    if len(result) != 1:
        raise SystemExit("orvik has %d series for %s" % (len(result), selector))
    return result[0]["metric"], [(ts, v) for ts, v in reversed(result[0]["values"])]


def prom_samples(url, selector, at):
    result = get_json(url + "/api/v1/query", query=selector + "[10m]", time="%.3f" % at)
    if len(result) != 1:
        raise SystemExit("prometheus has %d series for %s" % (len(result), selector))
    return result[0]["metric"], [(ts, v) for ts, v in reversed(result[0]["values"])]


def compare(orvik, prom, at, selectors):
    for selector in selectors:
        _, held = orvik_samples(orvik, selector, at)
        _, sent = prom_samples(prom, selector, at)
        count = get_json(prom + "/api/v1/query", query="count_over_time(%s[5m])" % selector, time="%.3f" % at)
        counted = int(count[0]["value"][1]) if count else 0
        print("%s: orvik holds %d, prometheus count_over_time %d" % (selector, len(held), counted))
        if counted != len(held) or len(sent) != len(held):
            raise SystemExit("%s: orvik holds %d samples, prometheus %d (count_over_time %d)" % (selector, len(held), len(sent), counted))
        for (t1, v1), (t2, v2) in zip(held, sent):
            if round(t1 * 1000) != round(t2 * 1000) or float(v1) != float(v2) or float("%.14g" % float(v2)) != float(v1):
                raise SystemExit("%s: orvik has %s at %.3f, prometheus %s at %.3f" % (selector, v1, t1, v2, t2))


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


def past(orvik, prom, at, selectors):
    # Both are asked by range: an instant answer carries the time asked,
    # not that of the sample it used.
    for selector in selectors:
        mine = get_json(orvik + "/api/v1/query", query=selector + "[1m]", time="%.3f" % time.time())
        theirs = get_json(prom + "/api/v1/query", query=selector + "[1m]", time="%.3f" % time.time())
        if len(mine) != 1 or len(theirs) != 1 or mine[0]["values"][-1][0] <= at or theirs[0]["values"][-1][0] <= at:
            sys.exit(1)


if __name__ == "__main__":
    command, args = sys.argv[1], sys.argv[2:]
    if command == "stub":
        stub(*args)
    elif command == "hostile":
        hostile(args[0])
    elif command == "compare":
        compare(args[0], args[1], float(args[2]), args[3:])
    elif command == "past":
        past(args[0], args[1], float(args[2]), args[3:])
    elif command == "newest":
        newest(args[0], args[1], float(args[2]), args[3:])
    else:
        raise SystemExit("unknown command " + command)
