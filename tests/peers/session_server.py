#!/usr/bin/env python3
"""HTTP session server for the HTTP connection tests (loopback only).

Protocol (request body, form-encoded but not escaped):

    session=<id>&data=<Base64, may carry CR LF>

  * "session=" empty          -> reply "session=" + a new identifier; the data
                                 of that request is kept for the new session
  * otherwise                 -> the decoded data is queued for the session;
                                 the reply is "data=" + Base64 of what is
                                 queued (at most CHUNK bytes per reply), or
                                 "data=" alone when nothing is queued

Behaviour chosen by path, so that parallel tests do not meet:
  /status/NNN...   answers status NNN (after recording the request)
  /slow/MS...      waits MS milliseconds, then answers as usual
  /big/N...        answers 200 with "data=" + Base64 of N pattern bytes
  /redirect...     answers 302 with Location: the same path without "/redirect"
  /cut...          the protocol above, but each reply declares its whole
                   length, sends half of the body and closes the connection
  /fail-on/W...    the protocol above; a request whose data is W gets 500
  /hangup-on/W...  the protocol above; a request whose data is W gets no
                   reply: the connection closes
  /_log?prefix=P   JSON list of every request whose path starts with P:
                   {"time", "method", "path", "headers": [[k, v]...], "body"}
  anything else    the protocol above

Every request is recorded, keep-alive is honoured (HTTP/1.1).
"""

import argparse
import base64
import json
import os
import re
import secrets
import socketserver
import sys
import threading
import time
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from urllib.parse import parse_qs, urlsplit

CHUNK = 49152          # raw bytes per reply: its Base64 stays well below 131072


def big_pattern(size):
    """Byte i is (7 i + 3) mod 251."""
    return bytes((i * 7 + 3) % 251 for i in range(size))


def encode_lines(raw):
    """Base64 with CR LF after every 76 characters, as the client writes it."""
    text = base64.b64encode(raw)
    return b"\r\n".join(text[i:i + 76] for i in range(0, len(text), 76))


class State:
    def __init__(self):
        self.lock = threading.Lock()
        self.requests = []
        self.sessions = {}
        self.counter = 0

    def record(self, entry):
        with self.lock:
            self.requests.append(entry)

    def log(self, prefix):
        with self.lock:
            return [r for r in self.requests if r["path"].startswith(prefix)]

    def new_session(self):
        with self.lock:
            self.counter += 1
            sid = "S%d%s" % (self.counter, secrets.token_hex(6))
            self.sessions[sid] = bytearray()
            return sid

    def queue(self, sid, data):
        with self.lock:
            self.sessions.setdefault(sid, bytearray()).extend(data)

    def take(self, sid):
        with self.lock:
            pending = self.sessions.setdefault(sid, bytearray())
            out = bytes(pending[:CHUNK])
            del pending[:CHUNK]
            return out


STATE = State()


def parse_body(body):
    """(session, data text) of "session=...&data=..."; None when not that form."""
    if not body.startswith(b"session="):
        return None
    rest = body[len(b"session="):]
    amp = rest.find(b"&")
    if amp < 0:
        return rest.decode("latin-1"), b""
    sid = rest[:amp].decode("latin-1")
    tail = rest[amp + 1:]
    if tail.startswith(b"data="):
        tail = tail[len(b"data="):]
    return sid, tail


def decode_lenient(text):
    clean = re.sub(rb"[^A-Za-z0-9+/]", b"", text)
    clean += b"=" * (-len(clean) % 4)
    return base64.b64decode(clean)


class Handler(BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    server_version = "vemnet-session/1"
    # Head and body leave in one write (flushed after each request), and
    # without Nagle: a reply split in two small writes would otherwise wait
    # for the client's delayed ACK.
    wbufsize = 1 << 16
    disable_nagle_algorithm = True

    def log_message(self, fmt, *args):
        if self.server.verbose:
            sys.stderr.write("%s %s\n" % (self.address_string(), fmt % args))

    def reply(self, status, body, ctype="text/plain"):
        self.send_response(status)
        self.send_header("Content-Type", ctype)
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        if self.command != "HEAD":
            self.wfile.write(body[:len(body) // 2] if self.cut else body)
        if self.cut:
            self.wfile.flush()
            self.close_connection = True

    def hang_up(self):
        self.wfile.flush()
        self.close_connection = True

    def handle_any(self):
        length = int(self.headers.get("Content-Length") or 0)
        body = self.rfile.read(length) if length > 0 else b""
        parts = urlsplit(self.path)
        path = parts.path
        self.cut = path.startswith("/cut")

        if path == "/_log":
            prefix = parse_qs(parts.query).get("prefix", [""])[0]
            self.reply(200, json.dumps(STATE.log(prefix)).encode(), "application/json")
            return

        STATE.record({
            "time": time.time(),
            "method": self.command,
            "path": self.path,
            "headers": [[k, v] for k, v in self.headers.items()],
            "body": body.decode("latin-1"),
        })

        m = re.match(r"^/status/(\d{3})", path)
        if m:
            self.reply(int(m.group(1)), b"status " + m.group(1).encode() + b"\n")
            return
        m = re.match(r"^/slow/(\d+)", path)
        if m:
            time.sleep(int(m.group(1)) / 1000.0)
        m = re.match(r"^/big/(\d+)", path)
        if m:
            self.reply(200, b"data=" + encode_lines(big_pattern(int(m.group(1)))))
            return
        if path.startswith("/redirect"):
            self.send_response(302)
            self.send_header("Location", self.path[len("/redirect"):])
            self.send_header("Content-Length", "0")
            self.end_headers()
            return

        parsed = parse_body(body)
        if parsed is None:
            self.reply(200, b"data=")
            return
        sid, text = parsed
        data = decode_lenient(text) if text else b""
        m = re.match(r"^/(fail|hangup)-on/([^/]+)", path)
        if m and data == m.group(2).encode():
            if m.group(1) == "fail":
                self.reply(500, b"failed on request\n")
            else:
                self.hang_up()
            return
        if not sid:
            sid = STATE.new_session()
            STATE.queue(sid, data)
            self.reply(200, b"session=" + sid.encode())
            return
        STATE.queue(sid, data)
        out = STATE.take(sid)
        self.reply(200, b"data=" + (encode_lines(out) if out else b""))

    do_GET = do_POST = do_PUT = do_DELETE = do_PATCH = do_HEAD = handle_any


class Server(ThreadingHTTPServer):
    daemon_threads = True
    allow_reuse_address = True
    request_queue_size = 128


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--port", type=int, default=0)
    ap.add_argument("--port-file", default="")
    ap.add_argument("--max-seconds", type=float, default=3600.0,
                    help="stop on its own after this long")
    ap.add_argument("--verbose", action="store_true")
    args = ap.parse_args()

    server = Server(("127.0.0.1", args.port), Handler)
    server.verbose = args.verbose
    port = server.server_address[1]
    if args.port_file:
        tmp = args.port_file + ".tmp"
        with open(tmp, "w") as f:
            f.write("%d\n" % port)
        os.replace(tmp, args.port_file)
    timer = threading.Timer(args.max_seconds, server.shutdown)
    timer.daemon = True
    timer.start()
    print("session server on 127.0.0.1:%d" % port, flush=True)
    try:
        server.serve_forever(poll_interval=0.2)
    except KeyboardInterrupt:
        pass
    server.server_close()


if __name__ == "__main__":
    main()
