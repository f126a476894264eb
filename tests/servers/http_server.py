#!/usr/bin/python3
"""HTTP server for the test suites: records every request byte for byte.

Started by the test fixture as a child process:
    http_server.py RECORD_DIR [--tls PEM]
It binds 127.0.0.1 on a free port and prints the port on stdout once bound.
With --tls it speaks HTTPS with the certificate and key in PEM (one file).

Each request N is recorded as RECORD_DIR/N.json (method, target, headers in
order, body length and SHA-256, how the body ended) and RECORD_DIR/N.body (the
raw body bytes, unless the query says nostore=1).

The query string steers the answer (any path):
    status=CODE       answer with this status (default 200)
    body=xml|html|text|empty  answer body kind (default xml for 2xx, html otherwise)
    bytes=N           answer N bytes: "0123456789" repeated, cut at N (overrides body=)
    rate=BYTES        read the request body at about this many bytes per second
    close_after=N     read N body bytes, then drop the connection without answering
    delay=SECONDS     wait before answering
    cookie=NAME=VAL   add a Set-Cookie header (may repeat)
    location=URL      add a Location header (with status=30x: a redirect)
    nostore=1         keep only the body's length and hash
    gzip=1            gzip the answer body when the request accepts gzip
Faults, after the request body was read:
    stall=1           send the head of a 1 MB answer, then nothing
    endless=1         send an answer that never ends (chunked)
    drip=1            send the head of a 100 MB answer, then one byte every 0.5 s
    gzipbomb=MIB      send MIB MiB of zeros gzipped (about 1 KB per MiB)
    reset_after=N     send the head and N bytes of a longer answer, then reset
"""
import gzip
import hashlib
import http.server
import io
import json
import os
import socket
import struct
import sys
import threading
import time
import urllib.parse

RECORD_DIR = sys.argv[1]
_counter = 0
_lock = threading.Lock()


def _next_index():
    global _counter
    with _lock:
        _counter += 1
        return _counter


XML_BODY = b'<?xml version="1.0"?>\n<response>\n  <status>ok</status>\n  <items>\n    <item>a</item>\n    <item>b</item>\n  </items>\n</response>\n'


class Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"

    def log_message(self, fmt, *args):  # keep test output clean
        pass

    def _query(self):
        return urllib.parse.parse_qs(urllib.parse.urlsplit(self.path).query)

    def _read_exact(self, count, rate, sink, close_after):
        """Reads count bytes (or up to close_after); False when the peer or we cut it short."""
        remaining = count
        start = time.monotonic()
        received = 0
        while remaining > 0:
            piece = min(remaining, 65536)
            if close_after is not None:
                piece = min(piece, close_after - received)
                if piece <= 0:
                    return False
            data = self.rfile.read(piece)
            if not data:
                return False
            sink(data)
            received += len(data)
            remaining -= len(data)
            if rate:
                ahead = received / rate - (time.monotonic() - start)
                if ahead > 0:
                    time.sleep(ahead)
        return True

    def _read_chunked(self, rate, sink, close_after):
        total = [0]

        def counted(data):
            total[0] += len(data)
            sink(data)

        while True:
            line = self.rfile.readline()
            if not line:
                return False
            size = int(line.split(b";")[0].strip() or b"0", 16)
            if size == 0:
                while self.rfile.readline() not in (b"\r\n", b"\n", b""):
                    pass
                return True
            limit = None if close_after is None else close_after - total[0]
            if not self._read_exact(size, rate, counted, limit):
                return False
            self.rfile.readline()

    def _handle(self):
        index = _next_index()
        query = self._query()
        rate = int(query.get("rate", ["0"])[0])
        close_after = int(query["close_after"][0]) if "close_after" in query else None
        store = query.get("nostore", ["0"])[0] != "1"
        digest = hashlib.sha256()
        length = [0]
        body_path = os.path.join(RECORD_DIR, f"{index}.body")
        out = open(body_path, "wb") if store else None

        def sink(data):
            digest.update(data)
            length[0] += len(data)
            if out:
                out.write(data)

        if self.headers.get("Transfer-Encoding", "").lower() == "chunked":
            complete = self._read_chunked(rate, sink, close_after)
        else:
            complete = self._read_exact(int(self.headers.get("Content-Length", "0")), rate, sink, close_after)
        if out:
            out.close()
        record = {
            "method": self.command,
            "target": self.path,
            "version": self.request_version,
            "headers": [[k, v] for k, v in self.headers.items()],
            "body_length": length[0],
            "body_sha256": digest.hexdigest(),
            "complete": complete,
        }
        tmp = os.path.join(RECORD_DIR, f"{index}.json.tmp")
        with open(tmp, "w") as f:
            json.dump(record, f)
        os.rename(tmp, os.path.join(RECORD_DIR, f"{index}.json"))

        if not complete:
            self.close_connection = True
            try:
                self.connection.shutdown(socket.SHUT_RDWR)
            except OSError:
                pass
            return

        if self._fault(query):
            return
        if "delay" in query:
            time.sleep(float(query["delay"][0]))
        status = int(query.get("status", ["200"])[0])
        kind = query.get("body", ["xml" if 200 <= status < 300 else "html"])[0]
        if "bytes" in query:
            count = int(query["bytes"][0])
            payload = (b"0123456789" * (count // 10 + 1))[:count]
            ctype = "application/octet-stream"
        elif kind == "xml":
            payload, ctype = XML_BODY, "text/xml; charset=utf-8"
        elif kind == "html":
            payload = f"<html><body><h1>{status}</h1></body></html>\n".encode()
            ctype = "text/html; charset=utf-8"
        elif kind == "empty":
            payload, ctype = b"", "text/plain"
        else:
            payload, ctype = b"plain text, no markup\n", "text/plain"
        compressed = query.get("gzip", ["0"])[0] == "1" and "gzip" in self.headers.get(
            "Accept-Encoding", ""
        )
        if compressed:
            payload = gzip.compress(payload)
        self.send_response(status)
        self.send_header("Content-Type", ctype)
        if compressed:
            self.send_header("Content-Encoding", "gzip")
        self.send_header("Content-Length", str(len(payload)))
        for cookie in query.get("cookie", []):
            self.send_header("Set-Cookie", cookie + "; Path=/")
        for location in query.get("location", []):
            self.send_header("Location", location)
        self.end_headers()
        if self.command != "HEAD":
            self.wfile.write(payload)

    def _fault(self, query):
        if "stall" in query:
            self._head(200, {"Content-Length": "1000000"})
            time.sleep(3600)  # daemon thread: ends with the server
        elif "endless" in query:
            self._head(200, {"Transfer-Encoding": "chunked"})
            chunk = b"%x\r\n%s\r\n" % (1 << 16, b"z" * (1 << 16))
            try:
                while True:
                    self.wfile.write(chunk)
            except OSError:
                pass
        elif "drip" in query:
            self._head(200, {"Content-Length": "100000000"})
            try:
                while True:
                    self.wfile.write(b"z")
                    self.wfile.flush()
                    time.sleep(0.5)
            except OSError:
                pass
        elif "gzipbomb" in query:
            payload = _gzipped_zeros(int(query["gzipbomb"][0]))
            self._head(200, {"Content-Encoding": "gzip", "Content-Length": str(len(payload))})
            self.wfile.write(payload)
        elif "reset_after" in query:
            count = int(query["reset_after"][0])
            self._head(200, {"Content-Length": str(2 * count + 1)})
            self.wfile.write(b"r" * count)
            self.wfile.flush()
            self.connection.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
            self.connection.close()
            self.close_connection = True
        else:
            return False
        return True

    def _head(self, status, headers):
        self.send_response(status)
        for name, value in headers.items():
            self.send_header(name, value)
        self.end_headers()
        self.wfile.flush()

    do_GET = do_POST = do_PUT = do_HEAD = do_DELETE = do_OPTIONS = do_PATCH = _handle


_bombs = {}


def _gzipped_zeros(mib):
    with _lock:
        if mib not in _bombs:
            block = b"\0" * (1 << 20)
            buffer = io.BytesIO()
            with gzip.GzipFile(fileobj=buffer, mode="wb", compresslevel=9) as f:
                for _ in range(mib):
                    f.write(block)
            _bombs[mib] = buffer.getvalue()
        return _bombs[mib]


class Server(http.server.ThreadingHTTPServer):
    daemon_threads = True
    request_queue_size = 64


def main():
    server = Server(("127.0.0.1", 0), Handler)
    if "--tls" in sys.argv:
        import ssl
        context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        context.load_cert_chain(sys.argv[sys.argv.index("--tls") + 1])
        server.socket = context.wrap_socket(server.socket, server_side=True)
    print(server.server_address[1], flush=True)
    server.serve_forever()


if __name__ == "__main__":
    main()
