#!/usr/bin/env python3
"""A small HTTP server on 127.0.0.1 for the transfer tests and benchmark.

Serves the files of --root on GET, stores PUT bodies under --root, and logs
every request line to <root>/requests.log. Special paths:
  /status/NNN   answers NNN with a small error page (GET and PUT)
  /short        promises 100 bytes and closes after 50
  /trickle      promises 64 bytes and sends 2 every half second
  /redirect/P   answers 302 pointing at /P
  PUT /hold     reads nothing and answers nothing for a minute
Files are served with a strong ETag and a Last-Modified date ("dated-" files
with the date only; "gz-" files gzip-compressed when the client accepts it,
with the compressed body's own ETag, as servers that compress give; HEAD
gives the plain file's headers); a PUT
honours If-Match and If-Unmodified-Since, and its log line names the
condition it carried.
Binds a free port, prints it on the first line of stdout, and exits on
SIGTERM or after --lifetime seconds.
"""
import argparse
import email.utils
import gzip
import hashlib
import http.server
import os
import signal
import sys
import threading
import time


class Handler(http.server.BaseHTTPRequestHandler):
    root = "."

    def log_message(self, fmt, *args):
        pass

    def log_request_line(self):
        conditions = "".join(f" {h}" for h in ("If-Match", "If-Unmodified-Since") if h in self.headers)
        with open(os.path.join(self.root, "requests.log"), "a") as log:
            log.write(f"{self.command} {self.path}{conditions}\n")

    @staticmethod
    def etag(path):
        with open(path, "rb") as f:
            return '"' + hashlib.sha1(f.read()).hexdigest() + '"'

    def precondition_failed(self, path):
        """Whether a PUT's condition (RFC 9110 section 13.1) does not hold."""
        exists = path is not None and os.path.isfile(path)
        match = self.headers.get("If-Match")
        if match is not None:
            return not exists or match.strip() != self.etag(path)
        since = self.headers.get("If-Unmodified-Since")
        if since is not None:
            limit = email.utils.parsedate_to_datetime(since).timestamp()
            return not exists or int(os.stat(path).st_mtime) > limit
        return False

    def local_path(self):
        rel = self.path.split("?", 1)[0].split("#", 1)[0].lstrip("/")
        parts = [p for p in rel.split("/") if p]
        if not parts or any(p in (".", "..") for p in parts):
            return None
        return os.path.join(self.root, *parts)

    def send_status(self, code):
        # 1xx, 204 and 304 answers have no body by definition.
        body = b"" if code < 200 or code in (204, 304) else f"<html><body>error page {code}</body></html>".encode()
        self.send_response(code)
        self.send_header("Content-Type", "text/html")
        if code >= 200 and code not in (204, 304):
            self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body)

    def send_trickle(self):
        self.send_response(200)
        self.send_header("Content-Length", "64")
        self.end_headers()
        try:
            for _ in range(32):
                self.wfile.write(b"..")
                self.wfile.flush()
                time.sleep(0.5)
        except OSError:
            pass  # the client gave up, as it should

    def read_body(self):
        length = int(self.headers.get("Content-Length", "0"))
        chunks = []
        while length > 0:
            chunk = self.rfile.read(min(length, 1 << 20))
            if not chunk:
                break
            chunks.append(chunk)
            length -= len(chunk)
        return b"".join(chunks)

    def do_GET(self):
        self.log_request_line()
        if self.path.startswith("/status/"):
            self.send_status(int(self.path[len("/status/"):]))
            return
        if self.path == "/trickle":
            self.send_trickle()
            return
        if self.path == "/short":
            self.send_response(200)
            self.send_header("Content-Length", "100")
            self.end_headers()
            self.wfile.write(b"x" * 50)
            self.wfile.flush()
            self.close_connection = True
            return
        if self.path.startswith("/redirect/"):
            self.send_response(302)
            self.send_header("Location", "/" + self.path[len("/redirect/"):])
            self.send_header("Content-Length", "0")
            self.end_headers()
            return
        path = self.local_path()
        if path is None or not os.path.isfile(path):
            self.send_status(404)
            return
        if os.path.basename(path).startswith("gz-") and "gzip" in self.headers.get("Accept-Encoding", ""):
            self.send_gzip(path)
            return
        with open(path, "rb") as f:
            size = os.fstat(f.fileno()).st_size
            self.send_response(200)
            self.send_header("Content-Type", "application/octet-stream")
            self.send_header("Content-Length", str(size))
            if not os.path.basename(path).startswith("dated-"):
                self.send_header("ETag", self.etag(path))
            self.send_header("Last-Modified", email.utils.formatdate(int(os.stat(path).st_mtime), usegmt=True))
            self.end_headers()
            self.wfile.flush()
            if size:
                self.connection.sendfile(f)

    def send_gzip(self, path):
        with open(path, "rb") as f:
            body = gzip.compress(f.read(), mtime=0)
        self.send_response(200)
        self.send_header("Content-Type", "application/octet-stream")
        self.send_header("Content-Encoding", "gzip")
        self.send_header("Content-Length", str(len(body)))
        self.send_header("ETag", '"' + hashlib.sha1(body).hexdigest() + '-gzip"')
        self.send_header("Last-Modified", email.utils.formatdate(int(os.stat(path).st_mtime), usegmt=True))
        self.end_headers()
        self.wfile.write(body)

    def do_HEAD(self):
        self.log_request_line()
        path = self.local_path()
        exists = path is not None and os.path.isfile(path)
        self.send_response(200 if exists else 404)
        self.send_header("Content-Length", str(os.stat(path).st_size if exists else 0))
        if exists:
            if not os.path.basename(path).startswith("dated-"):
                self.send_header("ETag", self.etag(path))
            self.send_header("Last-Modified", email.utils.formatdate(int(os.stat(path).st_mtime), usegmt=True))
        self.end_headers()

    def do_PUT(self):
        self.log_request_line()
        if self.path == "/hold":
            time.sleep(60)
            self.close_connection = True
            return
        body = self.read_body()
        if self.path.startswith("/status/"):
            self.send_status(int(self.path[len("/status/"):]))
            return
        path = self.local_path()
        if path is None:
            self.send_status(403)
            return
        if self.precondition_failed(path):
            self.send_status(412)
            return
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "wb") as f:
            f.write(body)
        self.send_response(201)
        self.send_header("Content-Length", "0")
        self.end_headers()


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--root", required=True)
    ap.add_argument("--lifetime", type=float, default=600.0)
    args = ap.parse_args()
    Handler.root = args.root
    server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)
    server.daemon_threads = True
    signal.signal(signal.SIGTERM, lambda *_: threading.Thread(target=server.shutdown).start())
    timer = threading.Timer(args.lifetime, server.shutdown)
    timer.daemon = True
    timer.start()
    print(server.server_address[1], flush=True)
    server.serve_forever()
    server.server_close()
    return 0


if __name__ == "__main__":
    sys.exit(main())
