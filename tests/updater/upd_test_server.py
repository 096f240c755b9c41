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
    def log_message(self, fmt, *args):
        pass

    def answer(self, status, headers=()):
        with self.server.lock:
            with open(self.server.log_path, "a") as log:
                log.write("%s\t%s\t%d\n" % (self.path, self.headers.get("Range", "-"), status))
        self.send_response(status)
        for header in headers:
            self.send_header(*header)
        self.end_headers()

    def do_GET(self):
        url = urllib.parse.urlsplit(self.path)
        query = dict(urllib.parse.parse_qsl(url.query))
        with self.server.lock:
            nth = self.server.counters[self.path] = self.server.counters.get(self.path, 0) + 1
        if url.path == "/redirect":
            return self.answer(302, [("Location", query.get("to", "/")), ("Content-Length", "0")])
        if "status" in query:
            return self.answer(int(query["status"]), [("Content-Length", "0")])
        root = os.path.realpath(self.server.root)
        path = os.path.realpath(os.path.join(root, urllib.parse.unquote(url.path).lstrip("/")))
        if not path.startswith(root + os.sep) or not os.path.isfile(path):
            return self.answer(404, [("Content-Length", "0")])

        size = os.path.getsize(path)
        start, end, status = 0, size, 200
        rng = self.headers.get("Range")
        if rng and query.get("range") != "no" and rng.startswith("bytes="):
            first, _, last = rng[6:].partition("-")
            start = int(first) if first else 0
            end = min(size, int(last) + 1) if last else size
            if start >= size:
                return self.answer(416, [("Content-Range", "bytes */%d" % size), ("Content-Length", "0")])
            status = 206
        headers = [("Content-Type", "application/xml" if path.endswith(".plist") else "application/octet-stream"),
                   ("Accept-Ranges", "none" if query.get("range") == "no" else "bytes")]
        if query.get("nolength") != "1":
            headers.append(("Content-Length", str(end - start)))
        if status == 206:
            headers.append(("Content-Range", "bytes %d-%d/%d" % (start, end - 1, size)))
        self.answer(status, headers)

        misbehave = nth <= int(query.get("drops", "1"))
        drop, stall, trickle = (int(query[k]) if k in query and misbehave else None
                                for k in ("drop", "stall", "trickle"))
        throttle = int(query["throttle"]) if "throttle" in query else None
        corrupt_at = size // 2 if query.get("corrupt") == "1" else None
        with open(path, "rb") as f:
            f.seek(start)
            pos, sent, began = start, 0, time.monotonic()
            while pos < end:
                n = min(16384, end - pos, *(limit - sent for limit in (drop, stall) if limit is not None))
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
                pos, sent = pos + n, sent + n
                ahead = sent / throttle - (time.monotonic() - began) if throttle else 0
                time.sleep(max(ahead, 0))
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
    server.root, server.log_path, server.lock, server.counters = args.root, args.log, threading.Lock(), {}
    print(server.server_address[1], flush=True)
    server.serve_forever()


if __name__ == "__main__":
    sys.exit(main())
