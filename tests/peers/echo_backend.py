#!/usr/bin/env python3
"""TCP echo service for the gateway peer (loopback only).

Echoes every byte; after echoing bytes that end with "bye" it closes the
connection, as a service that ends a conversation.
"""

import argparse
import socketserver
import time


class Echo(socketserver.BaseRequestHandler):
    def handle(self):
        tail = b""
        while True:
            data = self.request.recv(65536)
            if not data:
                return
            self.request.sendall(data)
            tail = (tail + data)[-3:]
            if tail == b"bye":
                return


class Server(socketserver.ThreadingTCPServer):
    allow_reuse_address = True
    daemon_threads = True


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--port", type=int, required=True)
    parser.add_argument("--max-seconds", type=int, default=3600)
    args = parser.parse_args()
    with Server(("127.0.0.1", args.port), Echo) as server:
        server.timeout = 1
        deadline = time.monotonic() + args.max_seconds
        while time.monotonic() < deadline:
            server.handle_request()


if __name__ == "__main__":
    main()
