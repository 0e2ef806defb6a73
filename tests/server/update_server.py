#!/usr/bin/env python3
"""A local update server for the client's download tests and the demo.

Serves the files below a root directory over plain HTTP and HTTPS on the
loopback address, and can get things wrong on purpose, chosen by the first
part of the path:

  /files/NAME             the file; "Range: bytes=N-" gives 206 and the rest
  /cut/N/NAME             announces the whole file, sends N bytes, closes
  /more/NAME              no Content-Length: the file and 4096 bytes more
  /announce-more/NAME     announces 4096 bytes more than the file has
  /short/NAME             the first half of the file, announced as such
  /ignore-range/NAME      the whole file with 200, whatever the Range
  /bad-range/NAME         206 with a Content-Range that starts at byte 0
  /redirect/NAME          302 to /files/NAME
  /redirect-plain/NAME    302 to http://updates.example.invalid/NAME
  /slow/NAME              the file in 16 KiB pieces, 20 ms apart

Usage:
  update_server.py start STATE_DIR [--cert PEM --key PEM]
      starts the server in the background, detached from the terminal and
      from every pipe, and returns once STATE_DIR/server.json names its
      ports ({"http": P, "https": P, "root": DIR, "pid": N}). Without
      --cert, a test CA and a certificate for 127.0.0.1 are made with
      openssl into STATE_DIR (ca.pem is the CA to trust). The root is
      STATE_DIR/root. The server ends by itself after an hour.
  update_server.py stop STATE_DIR
      ends the server that start left.
"""

import http.server
import json
import os
import signal
import socketserver
import ssl
import subprocess
import sys
import threading
import time

LIFETIME_SECONDS = 3600
EXTRA_BYTES = 4096


class Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    root = "."

    def log_message(self, *args):
        pass

    def send_body(self, status, body, headers=(), length=None):
        self.send_response(status)
        for name, value in headers:
            self.send_header(name, value)
        if length is not None:
            self.send_header("Content-Length", str(length))
        self.end_headers()
        self.wfile.write(body)
        self.wfile.flush()

    def do_GET(self):
        parts = self.path.lstrip("/").split("/")
        kind = parts[0]
        name = parts[-1]
        path = os.path.join(self.root, os.path.basename(name))
        if kind in ("redirect", "redirect-plain"):
            target = "/files/" + name if kind == "redirect" else "http://updates.example.invalid/" + name
            self.send_body(302, b"", [("Location", target)], 0)
            return
        try:
            with open(path, "rb") as f:
                data = f.read()
        except OSError:
            self.send_body(404, b"not found", length=9)
            return
        start = 0
        requested = self.headers.get("Range", "")
        if requested.startswith("bytes=") and requested.endswith("-"):
            start = int(requested[6:-1])
        if kind == "files" and start > 0:
            headers = [("Content-Range", "bytes %d-%d/%d" % (start, len(data) - 1, len(data)))]
            self.send_body(206, data[start:], headers, len(data) - start)
        elif kind in ("files", "ignore-range"):
            self.send_body(200, data, length=len(data))
        elif kind == "bad-range":
            headers = [("Content-Range", "bytes 0-%d/%d" % (len(data) - 1, len(data)))]
            self.send_body(206, data, headers, len(data))
        elif kind == "cut":
            self.send_body(200, data[: int(parts[1])], length=len(data))
            self.close_connection = True
            self.connection.shutdown(2)
        elif kind == "more":
            self.close_connection = True
            self.send_body(200, data + b"\0" * EXTRA_BYTES, [("Connection", "close")])
        elif kind == "announce-more":
            self.send_body(200, data + b"\0" * EXTRA_BYTES, length=len(data) + EXTRA_BYTES)
        elif kind == "short":
            half = data[: len(data) // 2]
            self.send_body(200, half, length=len(half))
        elif kind == "slow":
            self.send_response(200)
            self.send_header("Content-Length", str(len(data)))
            self.end_headers()
            for offset in range(0, len(data), 16384):
                self.wfile.write(data[offset : offset + 16384])
                self.wfile.flush()
                time.sleep(0.02)
        else:
            self.send_body(404, b"not found", length=9)


class Server(socketserver.ThreadingMixIn, http.server.HTTPServer):
    daemon_threads = True
    allow_reuse_address = True

    def handle_error(self, request, client_address):
        pass  # a client that hangs up on purpose is no error here


def make_certificate(state):
    def openssl(*args):
        subprocess.run(["openssl", *args], check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)

    ca_key, ca = os.path.join(state, "ca-key.pem"), os.path.join(state, "ca.pem")
    key, csr, cert = (os.path.join(state, n) for n in ("key.pem", "server.csr", "cert.pem"))
    openssl("req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2",
            "-subj", "/CN=Tessaryndle test CA", "-keyout", ca_key, "-out", ca)
    openssl("req", "-newkey", "rsa:2048", "-nodes", "-subj", "/CN=127.0.0.1",
            "-keyout", key, "-out", csr)
    extensions = os.path.join(state, "server.ext")
    with open(extensions, "w") as f:
        # Wine's check of the server's name reads only the DNS names of the
        # certificate, so the address is there as text too.
        f.write("subjectAltName=IP:127.0.0.1,DNS:127.0.0.1,DNS:localhost\nextendedKeyUsage=serverAuth\n")
    openssl("x509", "-req", "-in", csr, "-CA", ca, "-CAkey", ca_key, "-CAcreateserial", "-days", "2",
            "-extfile", extensions, "-out", cert)
    return cert, key


def serve(state, cert, key):
    root = os.path.join(state, "root")
    os.makedirs(root, exist_ok=True)
    Handler.root = root
    plain = Server(("127.0.0.1", 0), Handler)
    secure = Server(("127.0.0.1", 0), Handler)
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    context.load_cert_chain(cert, key)
    secure.socket = context.wrap_socket(secure.socket, server_side=True)
    for server in (plain, secure):
        threading.Thread(target=server.serve_forever, daemon=True).start()
    info = {"http": plain.server_address[1], "https": secure.server_address[1], "root": root, "pid": os.getpid()}
    temporary = os.path.join(state, "server.json.part")
    with open(temporary, "w") as f:
        json.dump(info, f)
    os.replace(temporary, os.path.join(state, "server.json"))
    time.sleep(LIFETIME_SECONDS)


def start(state, cert, key):
    os.makedirs(state, exist_ok=True)
    info = os.path.join(state, "server.json")
    if os.path.exists(info):
        stop(state)
    if cert is None:
        cert, key = make_certificate(state)
    if os.fork() == 0:
        # Detached: a server holding the caller's pipes would keep CTest waiting.
        os.setsid()
        if os.fork() != 0:
            os._exit(0)
        null = os.open(os.devnull, os.O_RDWR)
        for fd in (0, 1, 2):
            os.dup2(null, fd)
        serve(state, cert, key)
        os._exit(0)
    for _ in range(200):
        if os.path.exists(info):
            print(open(info).read())
            return 0
        time.sleep(0.05)
    print("update server did not start", file=sys.stderr)
    return 1


def stop(state):
    info = os.path.join(state, "server.json")
    try:
        with open(info) as f:
            pid = json.load(f)["pid"]
        os.remove(info)
        os.kill(pid, signal.SIGTERM)
    except (OSError, ValueError, KeyError):
        pass
    return 0


def main(argv):
    if len(argv) < 3 or argv[1] not in ("start", "stop"):
        print(__doc__, file=sys.stderr)
        return 2
    if argv[1] == "stop":
        return stop(argv[2])
    cert = key = None
    if "--cert" in argv:
        cert = argv[argv.index("--cert") + 1]
        key = argv[argv.index("--key") + 1]
    return start(argv[2], cert, key)


if __name__ == "__main__":
    sys.exit(main(sys.argv))
