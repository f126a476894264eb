#!/usr/bin/python3
"""FTP server for the test suites and benchmarks (pyftpdlib).

Started as a child process of the test or benchmark:
    ftp_server.py HOME [options]
It binds 127.0.0.1 on a free port and prints the port on stdout once bound.
One user (--user, --password; default "user"/"secret") with full rights in
HOME. A wrong password is refused at once (no 3-second penalty).

Options that make the server behave like others do:
    --log FILE            event log, one line each: CONNECT, LOGIN name,
                          CMD VERB [argument], REPLY line (flushed at once)
    --banner TEXT         greeting; a text with "\\n" is sent as a multi-line
                          reply: "220-first", the further lines as they are,
                          then "220 " alone
    --transfer-reply TEXT reply after a stored upload instead of
                          "226 Transfer complete." ("\\n" separates the lines
                          of a multi-line reply, sent as given)
    --cwd-reply TEXT      text of a successful CWD reply after "250 "
    --rate BYTES          receive uploads at about this many bytes per second
    --list-delay SECONDS  wait before answering each LIST
    --list-text TEXT      send TEXT as the listing of every LIST ("\\n" ends
                          a line), whatever the directory
    --fake-list N         answer every LIST with N directory entries d1..dN
    --fault VERB:KIND     misbehave on every VERB (LIST, STOR, MKD, RMD, ...):
        stall        LIST: 150, then the data connection stays silent;
                     STOR: 150, then the data is never read; else no reply
        reset        LIST: 150 and a few lines, then both connections are
                     reset; STOR: both reset after 1 MiB; else the control
                     connection is reset at once
        endless      LIST: listing lines without end; else a multi-line
                     reply whose continuation lines never end
        endless-line LIST: one line without end; else a reply line without
                     end (no CR LF ever)
        hang         no reply, to this command or to any after it (QUIT too)
        hangup       the control connection is reset at once, before any
                     reply (STOR too)
        reply=TEXT   answer with TEXT as the reply line, whatever it holds
        under=N      SIZE: the server's first answer reports N bytes fewer
                     than the file holds (a stale size); later ones are true
        delay=S      wait S seconds, then answer as usual (a slow server)
        withhold-end STOR: the data is taken, then the final reply (and any
                     after it, QUIT's too) never comes; logs "WITHHELD"
        drip-end     STOR: the data is taken, then the final reply is a
                     "226-" reply whose continuation lines come every
                     0.5 s without end; logs "WITHHELD"
    --tls-cert PEM, --tls-key PEM
                          TLS required on control and data connections
                          (AUTH TLS, PROT P); needs python3-openssl
    --implicit-tls        with --tls-cert: TLS from the first byte (ftps://)
"""
import argparse
import logging
import os
import socket
import struct
import sys
import threading
import time

from pyftpdlib.authorizers import DummyAuthorizer
from pyftpdlib.handlers import DTPHandler, FTPHandler
from pyftpdlib.servers import FTPServer

parser = argparse.ArgumentParser()
parser.add_argument("home")
parser.add_argument("--user", default="user")
parser.add_argument("--password", default="secret")
parser.add_argument("--log")
parser.add_argument("--banner")
parser.add_argument("--transfer-reply")
parser.add_argument("--cwd-reply")
parser.add_argument("--rate", type=int, default=0)
parser.add_argument("--list-delay", type=float, default=0.0)
parser.add_argument("--list-text")
parser.add_argument("--fake-list", type=int, default=0)
parser.add_argument("--fault", action="append", default=[])
parser.add_argument("--tls-cert")
parser.add_argument("--tls-key")
parser.add_argument("--implicit-tls", action="store_true")
options = parser.parse_args()
faults = dict(f.split(":", 1) for f in options.fault)
# pyftpdlib's own session log would only clutter the test output.
logging.basicConfig(level=logging.ERROR)

_log_lock = threading.Lock()
_log_file = open(options.log, "a", encoding="utf-8") if options.log else None


# Set once the first SIZE answer went out (--fault SIZE:under=N).
_size_told = threading.Event()


def log_event(line):
    if _log_file is None:
        return
    with _log_lock:
        _log_file.write(line + "\n")
        _log_file.flush()


def reset(*channels):
    """Closes the channels' sockets with a TCP reset instead of a FIN."""
    for channel in channels:
        try:
            channel.socket.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER,
                                      struct.pack("ii", 1, 0))
        except (OSError, AttributeError):
            pass
    for channel in channels:
        channel.close()


class EndlessProducer:
    """Yields the same chunk for ever: the data channel never finishes."""

    def __init__(self, chunk):
        self.chunk = chunk

    def more(self):
        return self.chunk


class TextProducer:
    """Yields bytes once, in 64 KiB pieces."""

    def __init__(self, data):
        self.data = data

    def more(self):
        piece, self.data = self.data[:65536], self.data[65536:]
        return piece


def endless_listing():
    lines = b"".join(b"-rw-r--r--   1 user group 1 Jan 01  2000 f%d\r\n" % i for i in range(1000))
    return EndlessProducer(lines)


def fake_listing(count):
    return b"".join(b"drwxr-xr-x   1 user group 0 Jan 01  2000 d%d\r\n" % i
                    for i in range(1, count + 1))


class PacedDTPHandler(DTPHandler):
    """Receives at --rate bytes per second, smoothly (small reads, short waits)."""

    def __init__(self, sock, cmd_channel):
        super().__init__(sock, cmd_channel)
        if options.rate:
            self.ac_in_buffer_size = max(1024, min(65536, options.rate // 50))
        self._pace_start = None
        self._paced_bytes = 0

    def readable(self):
        if self.receive and faults.get("STOR") == "stall":
            return False  # nothing is read: the client's sends stall
        return super().readable()

    def handle_read(self):
        if self.receive and faults.get("STOR") == "reset" and self.tot_bytes_received >= 1 << 20:
            reset(self.cmd_channel, self)
            return
        if not options.rate:
            return super().handle_read()
        if self._pace_start is None:
            self._pace_start = time.monotonic()
        before = self.tot_bytes_received
        super().handle_read()
        self._paced_bytes += self.tot_bytes_received - before
        ahead = self._paced_bytes / options.rate - (time.monotonic() - self._pace_start)
        if ahead > 0:
            time.sleep(min(ahead, 0.1))

    handle_read_event = handle_read


BaseHandler = FTPHandler
if options.tls_cert:
    from pyftpdlib.handlers import TLS_FTPHandler
    BaseHandler = TLS_FTPHandler


class Handler(BaseHandler):
    dtp_handler = PacedDTPHandler
    auth_failed_timeout = 0
    _storing = False

    def on_connect(self):
        log_event("CONNECT")

    def on_login(self, username):
        log_event("LOGIN " + username)

    def on_disconnect(self):
        log_event("DISCONNECT")

    def handle(self):
        if options.banner and "\n" in options.banner:
            lines = options.banner.split("\n")
            text = "220-" + lines[0] + "\r\n" + "".join(l + "\r\n" for l in lines[1:])
            self.push(text)
            log_event("REPLY " + text.replace("\r\n", "\\r\\n"))
            self.banner = ""
            self._banner_done = True
        elif options.banner:
            self.banner = options.banner
        super().handle()

    def respond(self, resp, logfun=None):
        if getattr(self, "_banner_done", False) and resp.startswith("220"):
            # the multi-line greeting ends with a bare "220 "
            resp = "220 "
            self._banner_done = False
        if self._storing and resp.startswith("226") and \
                faults.get("STOR") in ("withhold-end", "drip-end"):
            self._storing = False
            self._hung = True
            log_event("WITHHELD " + resp)
            if faults["STOR"] == "drip-end":
                super().respond("226-Checking the stored file")
                self.drip()
            return
        if self._storing and resp.startswith("226") and options.transfer_reply:
            resp = options.transfer_reply.replace("\n", "\r\n")
            self._storing = False
        if options.cwd_reply and resp.startswith("250 ") and self._in_cwd:
            resp = "250 " + options.cwd_reply
        log_event("REPLY " + resp.replace("\r\n", "\\r\\n"))
        super().respond(resp)

    _in_cwd = False
    _hung = False

    def process_command(self, cmd, *args, **kwargs):
        log_event("CMD " + cmd + (" " + args[0] if args and args[0] else ""))
        if self._hung:
            return
        if cmd in faults and self.misbehave(cmd, faults[cmd], args[0] if args else ""):
            return
        if cmd == "LIST" and (options.list_text is not None or options.fake_list):
            if options.fake_list:
                data = fake_listing(options.fake_list)
            else:
                data = options.list_text.encode("utf-8")
            self.push_dtp_data(TextProducer(data), isproducer=True, cmd="LIST")
            return
        if cmd in ("STOR", "APPE", "STOU"):
            self._storing = True
        if cmd == "LIST" and options.list_delay:
            time.sleep(options.list_delay)
        self._in_cwd = cmd in ("CWD", "CDUP")
        try:
            super().process_command(cmd, *args, **kwargs)
        finally:
            self._in_cwd = False

    def misbehave(self, cmd, kind, arg=""):
        """Answers cmd the faulty way; False when the fault does not apply."""
        if kind == "hang":
            self._hung = True
            return True
        if kind == "hangup":
            reset(self)
            return True
        if kind.startswith("reply="):
            self.respond(kind[len("reply="):])
            return True
        if kind.startswith("delay="):
            time.sleep(float(kind[len("delay="):]))
            return False
        if cmd == "SIZE" and kind.startswith("under=") and not _size_told.is_set():
            _size_told.set()
            try:
                size = os.path.getsize(arg)  # already the file's real path
            except OSError:
                return False
            self.respond("213 %d" % max(0, size - int(kind[len("under="):])))
            return True
        if cmd == "STOR" and kind in ("stall", "reset"):
            return False  # the data handler misbehaves
        if cmd == "LIST" and kind == "stall":
            # 150, and the data connection, once there, gets nothing.
            self.respond("150 File status okay. About to open data connection.")
            return True
        if cmd == "LIST" and kind == "reset":
            self.respond("150 File status okay. About to open data connection.")
            self.reset_when_connected()
            return True
        if cmd == "LIST" and kind in ("endless", "endless-line"):
            producer = endless_listing() if kind == "endless" else EndlessProducer(b"x" * 65536)
            self.push_dtp_data(producer, isproducer=True, cmd="LIST")
            return True
        if kind == "stall":
            return True  # no reply at all
        if kind == "reset":
            reset(self)
            return True
        if kind == "endless":
            self.push_with_producer(EndlessProducer(b"257-more of the reply\r\n" * 1000))
            return True
        if kind == "endless-line":
            self.push_with_producer(EndlessProducer(b"257 " + b"x" * 65536))
            return True
        return False

    def drip(self):
        # One more continuation line of a reply that never ends.
        if self.connected:
            self.push(" still checking\r\n")
            self.ioloop.call_later(0.5, self.drip)

    def reset_when_connected(self):
        # Some lines, then both connections end with a reset.
        if self.data_channel is None:
            if self.connected:
                self.ioloop.call_later(0.05, self.reset_when_connected)
            return
        self.data_channel.socket.sendall(
            b"-rw-r--r--   1 user group 1 Jan 01  2000 partial\r\n-rw-r--r-- 1 us")
        self.ioloop.call_later(0.2, self.reset_both)

    def reset_both(self):
        if self.data_channel is not None:
            reset(self, self.data_channel)
        else:
            reset(self)


if options.tls_cert:
    from pyftpdlib.handlers import TLS_DTPHandler

    class TlsDTPHandler(TLS_DTPHandler):
        """Lets a client start the data connection's TLS handshake before it
        sends the transfer command (libcurl does): pyftpdlib would take the
        early bytes for a hang-up and close the connection."""

        def readable(self):
            if self._ssl_accepting:
                return True
            return super().readable()

    Handler.dtp_handler = TlsDTPHandler
    Handler.certfile = options.tls_cert
    Handler.keyfile = options.tls_key
    Handler.tls_control_required = True
    Handler.tls_data_required = True
    if options.implicit_tls:
        class ImplicitHandler(Handler):
            """TLS from the first byte; the greeting follows the handshake."""

            def handle(self):
                self.secure_connection(self.ssl_context)

            def handle_ssl_established(self):
                super().handle()

            def ftp_AUTH(self, line):
                self.respond("503 Already using TLS.")

        Handler = ImplicitHandler

authorizer = DummyAuthorizer()
authorizer.add_user(options.user, options.password, options.home, perm="elradfmwMT")
Handler.authorizer = authorizer

server = FTPServer(("127.0.0.1", 0), Handler)
print(server.socket.getsockname()[1], flush=True)
try:
    server.serve_forever(handle_exit=False)
except KeyboardInterrupt:
    pass
