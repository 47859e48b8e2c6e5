#!/usr/bin/env python3
"""HTTP/1.1 server on 127.0.0.1 for the tests, the demo and the benchmarks:
`http_server.py --root DIR [--tls PEM] [--etags 1] [--port N]` prints its port, then serves until killed;
with --etags, every file has an ETag of its own, from its time and size, as nginx makes it.
  /files/NAME   ROOT/NAME; "Range: bytes=M-" gets a 206; etag= and lastmodified=1
                add those headers; If-None-Match naming the etag (in a list too) gets a 304 (without an ETag
                with bare304=1); rate= caps bytes per second; the first `failures` requests get
                `status` (with `retryafter`) or break off `dropafter` bytes in, and the later ones
                `then` as their status when given; `stallafter` sends that many bytes, then nothing; the first
                `firsthits` requests (not for a .minisig) get ROOT/`first` instead; a .minisig
                is answered `sigdelay` seconds late
  /redirect?to=       302 (with etag=, an ETag of its own)
  /hostile/dropping   a zip-looking body of `announce` bytes, every answer (206 to a Range)
                      broken off `dropafter` bytes in
  /hostile/endless    a chunked zip-looking body that never ends (rate= as above)
  /hostile/always304  304 to every request
  /stats, /reset      JSON counts (requests, body_bytes_sent, user_agents, ranges), or forget them (and
                      the bytes that answers still under way send after that)
  /set?QUERY          QUERY's parameters hold for every later request that does not set them itself
                      (an installer asks for its fixed address, which carries none); forgets the counts
"""
import json, os, re, ssl, sys, threading, time
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from urllib.parse import parse_qs, urlsplit


class Handler(BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"

    def log_message(self, *args):
        pass

    def do_GET(self):
        url = urlsplit(self.path)
        # latin-1: each escaped byte stays one byte in a header.
        parse = lambda query: {k: v[-1] for k, v in parse_qs(query, keep_blank_values=True, encoding="latin-1").items()}
        s = self.server
        if url.path == "/set":
            s.defaults = parse(url.query)
        self.query = {**s.defaults, **parse(url.query)}
        with s.lock:
            if url.path in ("/reset", "/set"):
                s.requests, s.sent, s.agents, s.ranges, s.hits = 0, 0, [], [], {}
                s.generation += 1
            elif url.path != "/stats":
                self.generation = s.generation
                s.requests += 1
                s.agents.append(self.headers.get("User-Agent", ""))
                s.hits[self.path] = hit = s.hits.get(self.path, 0) + 1
                if self.headers.get("Range"):
                    s.ranges.append(self.headers["Range"])
            stats = json.dumps({"requests": s.requests, "body_bytes_sent": s.sent, "user_agents": s.agents,
                                "ranges": s.ranges})
        try:
            if url.path.startswith("/files/"):
                self.files(url.path[len("/files/"):], hit)
            elif url.path.startswith("/hostile/"):
                self.hostile(url.path[len("/hostile/"):])
            elif url.path == "/redirect":
                self.small(302, [("Location", self.query["to"])])
            else:
                self.small(200, body=stats.encode())
        except (BrokenPipeError, ConnectionResetError):
            self.close_connection = True

    def begin(self, code, length, extra=()):
        self.send_response(code)
        if "etag" in self.query:
            self.send_header("ETag", self.query["etag"])
        if "lastmodified" in self.query:
            self.send_header("Last-Modified", "Tue, 01 Dec 2026 10:00:00 GMT")
        for name, value in extra:
            self.send_header(name, value)
        self.send_header("Content-Length", str(length))
        self.end_headers()

    def small(self, code, extra=(), body=b"<html><body>not here</body></html>\n"):
        self.begin(code, len(body), extra)
        self.wfile.write(body)

    def count(self, length):
        with self.server.lock:
            if self.generation == self.server.generation:
                self.server.sent += length

    def send(self, data):
        self.wfile.write(data)
        self.count(len(data))

    def files(self, name, hit):
        path = os.path.join(self.server.root, name)
        failing = hit <= int(self.query.get("failures", 0))
        if hit <= int(self.query.get("firsthits", 0)) and not name.endswith(".minisig"):
            path = os.path.join(self.server.root, self.query["first"])  # the release before
        if "/" in name or not os.path.isfile(path):
            return self.small(404)
        if self.server.etags and "etag" not in self.query:
            self.query["etag"] = '"%x-%x"' % (os.stat(path).st_mtime_ns, os.path.getsize(path))
        if name.endswith(".minisig"):
            time.sleep(float(self.query.get("sigdelay", 0)))
        if not failing and "then" in self.query:
            return self.small(int(self.query["then"]))
        if failing and "status" in self.query:
            extra = [("Retry-After", self.query["retryafter"])] if "retryafter" in self.query else []
            return self.small(int(self.query["status"]), extra)
        weak = lambda tag: tag.strip().removeprefix("W/")
        named = [weak(tag) for tag in self.headers.get("If-None-Match", "").split(",")]
        if "etag" in self.query and weak(self.query["etag"]) in named:
            if "bare304" in self.query:
                del self.query["etag"]
            return self.small(304, body=b"")
        data = open(path, "rb").read()
        asked = re.fullmatch(r"bytes=(\d+)-", self.headers.get("Range", ""))
        start = int(asked[1]) if asked else 0
        start = start if start < len(data) else 0
        self.partial(start, len(data))
        end = start + int(self.query["dropafter"]) if failing and "dropafter" in self.query else len(data)
        if "stallafter" in self.query:
            self.send(data[start:start + int(self.query["stallafter"])])
            self.wfile.flush()
            time.sleep(3600)
        rate = int(self.query.get("rate", 0))
        block = max(1, rate // 20) if rate else 65536
        for at in range(start, end, block):
            self.send(data[at:min(at + block, end)])
            if rate:
                time.sleep(block / rate)
        self.close_connection = end < len(data)

    def hostile(self, kind):
        zipish = lambda size: b"PK\x03\x04" + bytes(max(0, size - 4))
        if kind == "always304":
            return self.small(304, body=b"")
        if kind == "endless":
            self.send_response(200)
            self.send_header("Transfer-Encoding", "chunked")
            self.end_headers()
            rate = int(self.query.get("rate", 0))
            block = max(1, rate // 20) if rate else 65536
            chunk = zipish(block)
            while True:
                self.wfile.write(b"%x\r\n" % len(chunk) + chunk + b"\r\n")
                self.count(len(chunk))
                if rate:
                    time.sleep(block / rate)
        announce, dropafter = int(self.query["announce"]), int(self.query["dropafter"])
        asked = re.fullmatch(r"bytes=(\d+)-", self.headers.get("Range", ""))
        start = int(asked[1]) if asked else 0
        self.partial(start, announce)
        data = zipish(announce)[start:start + dropafter]
        for at in range(0, len(data), 65536):
            self.send(data[at:at + 65536])
        self.close_connection = True

    def partial(self, start, total):  # a 206 from `start`, or else the whole
        if start:
            return self.begin(206, total - start, [("Content-Range", "bytes %d-%d/%d" % (start, total - 1, total))])
        self.begin(200, total)


def main():
    args = dict(zip(sys.argv[1::2], sys.argv[2::2]))
    server = ThreadingHTTPServer(("127.0.0.1", int(args.get("--port", 0))), Handler)
    server.daemon_threads = True
    server.defaults = {}
    server.root, server.etags = args["--root"], "--etags" in args
    server.lock = threading.Lock()
    server.requests, server.sent, server.agents, server.ranges, server.hits = 0, 0, [], [], {}
    server.generation = 0
    server.handle_error = lambda *args: None  # clients hang up half-way on purpose
    if args.get("--tls"):
        context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        context.load_cert_chain(args["--tls"])
        server.socket = context.wrap_socket(server.socket, server_side=True)
    print(server.server_address[1], flush=True)
    server.serve_forever()


if __name__ == "__main__":
    main()
