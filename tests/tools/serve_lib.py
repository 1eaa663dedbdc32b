# Shared by the python tests that run `orvik serve` (as serve_lib.sh is by the
# shell ones): servers on free loopback ports, every process started stopped
# on exit and on failure, and HTTP requests sent exactly as given.
import atexit
import gzip
import http.client
import os
import re
import signal
import socket
import subprocess
import sys
import tempfile
import time
import urllib.parse

work = tempfile.mkdtemp(prefix="orvik-test-")
_started = []


def _stop_all():
    for proc in _started:
        if proc.poll() is None:
            proc.terminate()
    for proc in _started:
        try:
            proc.wait(timeout=5)
        except subprocess.TimeoutExpired:
            proc.kill()
            proc.wait()
    subprocess.run(["rm", "-rf", work], check=False)


atexit.register(_stop_all)
# A SIGTERM from ctest's timeout must still stop the servers.
signal.signal(signal.SIGTERM, lambda *_: sys.exit(1))


def fail(message):
    print("FAILED: " + message, file=sys.stderr)
    for name in sorted(os.listdir(work)):
        if name.endswith(".log"):
            with open(os.path.join(work, name), errors="replace") as log:
                lines = log.readlines()[-15:]
            if lines:
                print("--- last lines of " + name, file=sys.stderr)
                sys.stderr.writelines(lines)
    sys.exit(1)


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def spawn(name, argv, **kwargs):
    log = open(os.path.join(work, name + ".log"), "w")
    proc = subprocess.Popen(argv, stdout=log, stderr=subprocess.STDOUT, stdin=subprocess.DEVNULL, **kwargs)
    _started.append(proc)
    return proc


def start_orvik(orvik, name, *args, **popen):
    """Starts `orvik serve` on a port the kernel picks; returns its URL.
    `popen` goes to subprocess.Popen (e.g. a preexec_fn setting limits)."""
    proc = spawn(name, [orvik, "serve", "--listen", "127.0.0.1:0", *args], **popen)
    path = os.path.join(work, name + ".log")
    deadline = time.monotonic() + 20
    while time.monotonic() < deadline:
        with open(path, errors="replace") as log:
            # The line is written in pieces: the port is whole once " (" follows it.
            found = re.search(r"^orvik: listening on http://127\.0\.0\.1:(\d+) \(", log.read(), re.M)
        if found:
            return "http://127.0.0.1:" + found.group(1)
        if proc.poll() is not None:
            fail("orvik serve (%s) exited at start" % name)
        time.sleep(0.1)
    fail("orvik serve (%s) did not start listening within 20 s" % name)


class Reply:
    def __init__(self, status, headers, body):
        self.status, self.headers, self.body = status, headers, body

    def header(self, name):
        return self.headers.get(name.lower())

    def text(self):
        return self.body.decode("utf-8", errors="replace")


def send(url, method, path, params=(), headers=None, form=None, timeout=10):
    """One request. `params` go in the query string, unless `form` is true
    (then they are the form-encoded body); a pair list keeps repeats such as
    match[]. A gzip answer is inflated, as the clients replayed here do."""
    headers = dict(headers or {})
    query = urllib.parse.urlencode(list(params))
    body = None
    if form:
        body = query.encode()
        headers.setdefault("Content-Type", "application/x-www-form-urlencoded")
    elif query:
        path += ("&" if "?" in path else "?") + query
    parsed = urllib.parse.urlsplit(url)
    conn = http.client.HTTPConnection(parsed.hostname, parsed.port, timeout=timeout)
    try:
        conn.request(method, path, body=body, headers=headers)
        resp = conn.getresponse()
        data = resp.read()
        got = {k.lower(): v for k, v in resp.getheaders()}
    finally:
        conn.close()
    encoding = got.get("content-encoding", "identity")
    if encoding == "gzip":
        data = gzip.decompress(data)
    elif encoding != "identity":
        raise ValueError("answer sent with Content-Encoding " + encoding)
    return Reply(resp.status, got, data)


def wait_until(what, check, seconds):
    """Calls check() until it is true, up to `seconds`."""
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        try:
            if check():
                return
        except OSError:
            pass
        time.sleep(0.2)
    fail("%s within %d s" % (what, seconds))
