#!/usr/bin/env python3
"""Update server for the version-check tests, on loopback only.

Serves the files of --root under /files/NAME, plus a few misbehaving
answers. Prints one line "<scheme> <port>" per listener, then serves until
the descriptor --watch (its standard input by default) reads end of file,
as when the test that holds the pipe's other end ends, or --lifetime
seconds pass.
Every request's path is appended to --log, one per line.

  /files/NAME           200 with the file's bytes
  /status/404           404 with an HTML error page
  /status/N/NAME        status N with the file's bytes as the body (and a
                        Location header pointing at it)
  /redirect/NAME        302 to /files/NAME, with an HTML body
  /headers/N/NAME       200 with N extra header lines, then the file
  /agent/NAME           200 with the file; the log also gets
                        "user-agent: <the request's User-Agent>"
  /plistlib?version=V&pl=P[&fmt=xml]
                        a version file written by Python's plistlib
  /endless              200 without length, sending data until the client
                        goes; the log then gets "endless sent BYTES"
"""
import argparse
import http.server
import os
import plistlib
import ssl
import sys
import threading
import urllib.parse

log_lock = threading.Lock()


def log(path, line):
    with log_lock:
        with open(path, "a", encoding="utf-8") as f:
            f.write(line + "\n")


def make_handler(root, log_path):
    class Handler(http.server.BaseHTTPRequestHandler):
        protocol_version = "HTTP/1.1"

        def log_message(self, *args):
            pass

        def send_body(self, status, body, content_type="application/octet-stream", extra=()):
            self.send_response(status)
            for name, value in extra:
                self.send_header(name, value)
            self.send_header("Content-Type", content_type)
            self.send_header("Content-Length", str(len(body)))
            self.send_header("Connection", "close")
            self.end_headers()
            self.wfile.write(body)

        def file_bytes(self, name):
            path = os.path.join(root, os.path.basename(name))
            with open(path, "rb") as f:
                return f.read()

        def do_GET(self):
            log(log_path, self.path)
            url = urllib.parse.urlsplit(self.path)
            parts = url.path.split("/")
            try:
                if parts[1] == "files" and len(parts) == 3:
                    self.send_body(200, self.file_bytes(parts[2]))
                elif parts[1] == "status" and len(parts) == 4:
                    self.send_body(int(parts[2]), self.file_bytes(parts[3]),
                                   extra=[("Location", "/files/" + parts[3])])
                elif parts[1] == "status" and parts[2] == "404":
                    self.send_body(404, b"<html><body><h1>404 Not Found</h1></body></html>\n", "text/html")
                elif parts[1] == "redirect" and len(parts) == 3:
                    self.send_body(302, b"<html><body>Moved <a href=\"/files/" + parts[2].encode() +
                                   b"\">here</a></body></html>\n", "text/html",
                                   [("Location", "/files/" + parts[2])])
                elif parts[1] == "agent" and len(parts) == 3:
                    log(log_path, "user-agent: %s" % self.headers.get("User-Agent", ""))
                    self.send_body(200, self.file_bytes(parts[2]))
                elif parts[1] == "headers" and len(parts) == 4:
                    count = int(parts[2])
                    extra = [("X-Line-%d" % i, "v%d" % i) for i in range(count)]
                    self.send_body(200, self.file_bytes(parts[3]), extra=extra)
                elif parts[1] == "plistlib":
                    query = urllib.parse.parse_qs(url.query)
                    value = {"version": query["version"][0], "location": {"pl": query["pl"][0]}}
                    fmt = plistlib.FMT_XML if query.get("fmt", ["bin"])[0] == "xml" else plistlib.FMT_BINARY
                    self.send_body(200, plistlib.dumps(value, fmt=fmt))
                elif parts[1] == "endless":
                    self.send_response(200)
                    self.send_header("Content-Type", "application/octet-stream")
                    self.send_header("Connection", "close")
                    self.end_headers()
                    chunk = b"x" * 65536
                    sent = 0
                    try:
                        while sent < 1 << 30:
                            self.wfile.write(chunk)
                            sent += len(chunk)
                    except OSError:
                        pass
                    log(log_path, "endless sent %d" % sent)
                    self.close_connection = True
                else:
                    self.send_body(400, b"bad request\n", "text/plain")
            except FileNotFoundError:
                self.send_body(404, b"no such file\n", "text/plain")

    return Handler


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--root", required=True)
    parser.add_argument("--log", required=True)
    parser.add_argument("--tls", nargs=2, action="append", default=[], metavar=("CERT", "KEY"))
    parser.add_argument("--lifetime", type=float, default=300.0)
    parser.add_argument("--watch", type=int, default=0, metavar="FD")
    args = parser.parse_args()

    handler = make_handler(args.root, args.log)
    servers = []
    plain = http.server.ThreadingHTTPServer(("127.0.0.1", 0), handler)
    servers.append(("http", plain))
    for cert, key in args.tls:
        server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), handler)
        context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        context.load_cert_chain(cert, key)
        server.socket = context.wrap_socket(server.socket, server_side=True)
        servers.append(("https", server))
    for _, server in servers:
        server.daemon_threads = True
        threading.Thread(target=server.serve_forever, daemon=True).start()
    for scheme, server in servers:
        sys.stdout.write("%s %d\n" % (scheme, server.server_address[1]))
    sys.stdout.flush()

    # Bounded: ends with the test, or after the lifetime whatever happens.
    threading.Timer(args.lifetime, lambda: os._exit(2)).start()
    with os.fdopen(args.watch, "rb") as watched:
        watched.read()
    os._exit(0)


if __name__ == "__main__":
    main()
