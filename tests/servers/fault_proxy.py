#!/usr/bin/python3
"""TCP proxy that breaks connections on purpose, for the resumable upload tests.

    fault_proxy.py UPSTREAM_PORT STATS_FILE [options]

Binds 127.0.0.1 on a free port, prints the port on stdout once bound, and
forwards every connection to 127.0.0.1:UPSTREAM_PORT byte for byte. Bytes
from clients are counted across all connections; the faults fire when that
count reaches the given offsets, each once:

    --cut-at N[,N...]   forward exactly up to N, then reset both sides
    --stall-at N        forward up to N, then move no byte either way on that
                        connection for --stall-seconds (default 30), then
                        reset both sides
    --gone-after-cut    after the first cut, stop listening: new connections
                        are refused, as if the server had gone away
    --rate BYTES        forward client bytes at about this many per second
    --tunnel            an HTTP proxy that only tunnels: each connection
                        must start with "CONNECT 127.0.0.1:PORT", answered
                        200, and is then forwarded to that port (not to
                        UPSTREAM_PORT); anything else is answered 405 and
                        closed. Every request head is recorded.

STATS_FILE is rewritten (atomically) after every event: the bytes received
from clients, the faults done, the connections open and the first request
line (method, target, Upload-Offset) of every connection.
"""
import argparse
import json
import os
import socket
import struct
import sys
import threading
import time

BLOCK = 256 * 1024


class Proxy:
    def __init__(self, args):
        self.args = args
        self.lock = threading.Lock()
        self.client_bytes = 0
        self.cuts = sorted(args.cut_at)
        self.stall_at = args.stall_at
        self.events = []
        self.requests = []
        self.connections = 0
        self.open = 0
        self.listener = None

    # What may be forwarded now of `size` bytes, and the fault that follows.
    def take(self, size):
        with self.lock:
            start = self.client_bytes
            limit = start + size
            fault = None
            # The first fault within reach wins; the other waits its turn.
            if self.cuts and self.cuts[0] < limit:
                limit, fault = max(self.cuts[0], start), "cut"
            if self.stall_at is not None and self.stall_at < limit:
                limit, fault = max(self.stall_at, start), "stall"
            if fault == "cut":
                self.cuts.pop(0)
            elif fault == "stall":
                self.stall_at = None
            self.client_bytes = limit
            if fault:
                self.events.append({"fault": fault, "at": limit})
            count = limit - start
        if fault:
            self.write_stats()
        return count, fault

    def write_stats(self):
        with self.lock:
            stats = {
                "client_bytes": self.client_bytes,
                "events": list(self.events),
                "connections": self.connections,
                "open": self.open,
                "requests": list(self.requests),
            }
        temp = self.args.stats + ".tmp"
        with open(temp, "w") as out:
            json.dump(stats, out)
        os.replace(temp, self.args.stats)

    def stop_listening(self):
        # shutdown() ends the listening at once and wakes the blocked
        # accept(); close() alone would leave the socket listening.
        try:
            self.listener.shutdown(socket.SHUT_RDWR)
        except OSError:
            pass

    def note_request(self, head):
        lines = head.split(b"\r\n")
        parts = lines[0].split(b" ")
        entry = {"method": parts[0].decode("latin-1"),
                 "target": parts[1].decode("latin-1") if len(parts) > 1 else ""}
        for line in lines[1:]:
            name, _, value = line.partition(b":")
            if name.strip().lower() == b"upload-offset":
                entry["upload_offset"] = int(value.strip() or 0)
        with self.lock:
            self.requests.append(entry)


def break_off(sock):
    """Makes the socket's close an RST, not a FIN, and wakes a thread blocked
    reading it. The close itself is left to the thread that owns the socket:
    closing a socket another thread still uses would free its descriptor
    number for the next accept(), and that thread could then read or write
    a stranger's connection."""
    try:
        sock.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
        sock.shutdown(socket.SHUT_RD)
    except OSError:
        pass


def reset(sock):
    # An RST, not a FIN: the peer sees the connection break mid-transfer.
    break_off(sock)
    try:
        sock.close()
    except OSError:
        pass


def read_head(sock):
    """The bytes up to the first empty line (at most 16 KiB), and any after."""
    data = b""
    while b"\r\n\r\n" not in data and len(data) < 16384:
        piece = sock.recv(4096)
        if not piece:
            break
        data += piece
    head, _, rest = data.partition(b"\r\n\r\n")
    return head, rest


def open_tunnel(proxy, client):
    """Answers the client's CONNECT; the upstream socket, or None after a refusal."""
    head, rest = read_head(client)
    proxy.note_request(head)
    proxy.write_stats()
    parts = head.split(b"\r\n")[0].split(b" ")
    host, _, port = parts[1].rpartition(b":") if len(parts) > 1 else (b"", b"", b"")
    if parts[0] != b"CONNECT" or host != b"127.0.0.1" or not port.isdigit() or rest:
        client.sendall(b"HTTP/1.1 405 Only CONNECT\r\nContent-Length: 0\r\n\r\n")
        client.close()
        return None
    upstream = socket.create_connection(("127.0.0.1", int(port)))
    client.sendall(b"HTTP/1.1 200 Connection established\r\n\r\n")
    return upstream


class Connection:
    def __init__(self, proxy, client):
        self.proxy = proxy
        self.client = client
        if proxy.args.tunnel:
            self.upstream = open_tunnel(proxy, client)
            if self.upstream is None:
                raise OSError("not a tunnel request")
        else:
            self.upstream = socket.create_connection(("127.0.0.1", proxy.args.upstream_port))
        self.done = threading.Event()
        self.head = b""
        # A tunnel's request was noted when it was opened; what follows is
        # the tunnelled protocol's.
        self.head_done = proxy.args.tunnel

    def run(self):
        back = threading.Thread(target=self.pump_back, daemon=True)
        back.start()
        try:
            self.pump_forward()
        finally:
            self.done.set()
            back.join()
            # Only now, with both pumps gone, are the descriptors free.
            self.client.close()
            self.upstream.close()
            with self.proxy.lock:
                self.proxy.open -= 1
            self.proxy.write_stats()

    def sniff(self, data):
        if self.head_done:
            return
        self.head += data
        end = self.head.find(b"\r\n\r\n")
        if end >= 0 or len(self.head) > 16384:
            self.head_done = True
            self.proxy.note_request(self.head[: end if end >= 0 else 16384])

    def pump_forward(self):
        started = time.monotonic()
        forwarded = 0
        while not self.done.is_set():
            try:
                data = self.client.recv(BLOCK)
            except OSError:
                break
            if not data:
                try:
                    self.upstream.shutdown(socket.SHUT_WR)
                except OSError:
                    pass
                return
            count, fault = self.proxy.take(len(data))
            self.sniff(data[:count])
            try:
                if count:
                    self.upstream.sendall(data[:count])
            except OSError:
                break
            forwarded += count
            if fault == "stall":
                self.done.wait(self.proxy.args.stall_seconds)
                fault = "cut"
            if fault == "cut":
                # Gone before the client can know of the cut, so that its
                # reconnection is refused rather than slipping in.
                if self.proxy.args.gone_after_cut:
                    self.proxy.stop_listening()
                self.break_both()
                return
            if self.proxy.args.rate:
                due = started + forwarded / self.proxy.args.rate
                delay = due - time.monotonic()
                if delay > 0:
                    time.sleep(delay)
        self.break_both()

    def pump_back(self):
        while not self.done.is_set():
            try:
                data = self.upstream.recv(BLOCK)
                if not data:
                    # A broken connection gets its RST only, never a FIN.
                    if not self.done.is_set():
                        self.client.shutdown(socket.SHUT_WR)
                    return
                self.client.sendall(data)
            except OSError:
                return

    def break_both(self):
        self.done.set()
        break_off(self.client)
        break_off(self.upstream)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("upstream_port", type=int)
    parser.add_argument("stats")
    parser.add_argument("--cut-at", type=lambda s: [int(x) for x in s.split(",") if x], default=[])
    parser.add_argument("--stall-at", type=int)
    parser.add_argument("--stall-seconds", type=float, default=30.0)
    parser.add_argument("--gone-after-cut", action="store_true")
    parser.add_argument("--rate", type=float, default=0.0)
    parser.add_argument("--tunnel", action="store_true")
    args = parser.parse_args()

    proxy = Proxy(args)
    listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    listener.bind(("127.0.0.1", 0))
    listener.listen(64)
    proxy.listener = listener
    proxy.write_stats()
    print(listener.getsockname()[1], flush=True)

    while True:
        try:
            client, _ = listener.accept()
        except OSError:
            # Closed after a cut: the proxy keeps serving open connections
            # until it is stopped.
            while True:
                time.sleep(3600)
        try:
            connection = Connection(proxy, client)
        except OSError:
            reset(client)
            continue
        with proxy.lock:
            proxy.connections += 1
            proxy.open += 1
        threading.Thread(target=connection.run, daemon=True).start()


if __name__ == "__main__":
    main()
