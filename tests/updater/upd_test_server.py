#!/usr/bin/env python3
"""HTTP server for the update library's tests: serves files from a folder on 127.0.0.1.

Prints its port on the first line of standard output. The query string of a request
selects misbehaviour, so a feed can point at the same file in several ways:

  status=N         answer with HTTP status N and no body
  drop=N           close the connection after N bytes of the body
  drops=K          drop (or stall) only the first K requests of this URL (default 1)
  stall=N          send N bytes of the body, then send nothing more for a minute
  range=no         ignore Range headers and always send the whole file
  throttle=R       send at most R bytes per second
  trickle=N        send N bytes of the body, then one byte every quarter second
  corrupt=1        flip one byte in the middle of the body
  nolength=1       send no Content-Length, so a drop looks like the end of the body
  id=...           ignored; makes URLs (and their drop counters) distinct

With --tls-cert it speaks https (used to see that an unknown certificate is refused).
/redirect?to=URL answers 302 with Location URL (a path or an absolute URL). Every request is appended to the log
file as "PATH-WITH-QUERY<TAB>RANGE-HEADER-OR-DASH<TAB>STATUS".
"""
import argparse
import http.server
import os
import socket
import ssl
import sys
import threading
import time
import urllib.parse


class Handler(http.server.BaseHTTPRequestHandler):
    server_version = "UpdTestServer/1.0"

    def log_message(self, fmt, *args):
        pass

    def log_request_line(self, status):
        with self.server.lock:
            with open(self.server.log_path, "a") as log:
                log.write("%s\t%s\t%d\n" % (self.path, self.headers.get("Range", "-"), status))

    def count(self):
        with self.server.lock:
            n = self.server.counters.get(self.path, 0) + 1
            self.server.counters[self.path] = n
            return n

    def do_GET(self):
        url = urllib.parse.urlsplit(self.path)
        query = dict(urllib.parse.parse_qsl(url.query))
        nth = self.count()

        if url.path == "/redirect":
            self.log_request_line(302)
            self.send_response(302)
            self.send_header("Location", query.get("to", "/"))
            self.send_header("Content-Length", "0")
            self.end_headers()
            return

        if "status" in query:
            status = int(query["status"])
            self.log_request_line(status)
            self.send_response(status)
            self.send_header("Content-Length", "0")
            self.end_headers()
            return

        rel = urllib.parse.unquote(url.path).lstrip("/")
        root = os.path.realpath(self.server.root)
        path = os.path.realpath(os.path.join(root, rel))
        if not path.startswith(root + os.sep) or not os.path.isfile(path):
            self.log_request_line(404)
            self.send_response(404)
            self.send_header("Content-Length", "0")
            self.end_headers()
            return

        size = os.path.getsize(path)
        start, end = 0, size
        status = 200
        rng = self.headers.get("Range")
        if rng and query.get("range") != "no" and rng.startswith("bytes="):
            first, _, last = rng[6:].partition("-")
            start = int(first) if first else 0
            end = min(size, int(last) + 1) if last else size
            if start >= size:
                self.log_request_line(416)
                self.send_response(416)
                self.send_header("Content-Range", "bytes */%d" % size)
                self.send_header("Content-Length", "0")
                self.end_headers()
                return
            status = 206
        self.log_request_line(status)
        self.send_response(status)
        self.send_header("Content-Type", "application/xml" if path.endswith(".plist")
                         else "application/octet-stream")
        if query.get("nolength") != "1":
            self.send_header("Content-Length", str(end - start))
        if status == 206:
            self.send_header("Content-Range", "bytes %d-%d/%d" % (start, end - 1, size))
        self.send_header("Accept-Ranges", "none" if query.get("range") == "no" else "bytes")
        self.end_headers()

        misbehave = nth <= int(query.get("drops", "1"))
        drop = int(query["drop"]) if "drop" in query and misbehave else None
        stall = int(query["stall"]) if "stall" in query and misbehave else None
        trickle = int(query["trickle"]) if "trickle" in query and misbehave else None
        throttle = int(query["throttle"]) if "throttle" in query else None
        corrupt_at = size // 2 if query.get("corrupt") == "1" else None

        with open(path, "rb") as f:
            if drop is None and stall is None and trickle is None and throttle is None \
                    and corrupt_at is None:
                self.wfile.flush()
                self.connection.sendfile(f, start, end - start)
                return
            self.send_slowly(f, start, end, drop, stall, trickle, throttle, corrupt_at)

    def send_slowly(self, f, start, end, drop, stall, trickle, throttle, corrupt_at):
        f.seek(start)
        pos, sent = start, 0
        chunk = 16384
        began = time.monotonic()
        while pos < end:
            n = min(chunk, end - pos)
            if drop is not None:
                n = min(n, drop - sent)
            if stall is not None:
                n = min(n, stall - sent)
            if trickle is not None and sent >= trickle:
                n = 1
                time.sleep(0.25)
            elif trickle is not None:
                n = min(n, trickle - sent)
            if n <= 0:
                break
            data = bytearray(f.read(n))
            if corrupt_at is not None and pos <= corrupt_at < pos + n:
                data[corrupt_at - pos] ^= 0xFF
            self.wfile.write(data)
            self.wfile.flush()
            pos += n
            sent += n
            if throttle:
                ahead = sent / throttle - (time.monotonic() - began)
                if ahead > 0:
                    time.sleep(ahead)
        if stall is not None and pos < end:
            time.sleep(60)
        if drop is not None and pos < end:
            self.wfile.flush()
            self.connection.shutdown(socket.SHUT_RDWR)
            self.close_connection = True


class Server(http.server.ThreadingHTTPServer):
    daemon_threads = True

    def handle_error(self, request, client_address):
        # Clients hanging up early is what several tests do on purpose.
        if not isinstance(sys.exc_info()[1], (ConnectionError, TimeoutError)):
            super().handle_error(request, client_address)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--root", required=True)
    parser.add_argument("--log", default=os.devnull)
    parser.add_argument("--tls-cert", help="serve https with this certificate (PEM, key included)")
    args = parser.parse_args()

    server = Server(("127.0.0.1", 0), Handler)
    if args.tls_cert:
        context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        context.load_cert_chain(args.tls_cert)
        server.socket = context.wrap_socket(server.socket, server_side=True)
    server.root = args.root
    server.log_path = args.log
    server.lock = threading.Lock()
    server.counters = {}
    print(server.server_address[1], flush=True)
    try:
        server.serve_forever()
    except KeyboardInterrupt:
        pass


if __name__ == "__main__":
    sys.exit(main())
