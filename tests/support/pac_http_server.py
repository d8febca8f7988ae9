"""An HTTP(S) server for the PAC download tests, on 127.0.0.1 and ::1 and a free port it prints first.

Usage: pac_http_server.py FOLDER [CERT-CHAIN KEY]   (with a chain and key it speaks TLS)

  /<file>            the file from FOLDER
  /redirect/N        redirects N more times (relative Locations), then to /proxy.pac
  /absolute/N        the same with absolute Locations
  /status/N          answers with status N and a short body
  /big/N             a body of N bytes, announced by Content-Length
  /endless           a chunked body that never ends
  /slow              never answers
  /auth              answers with the Authorization field it received
"""
import http.server
import os
import ssl
import sys
import threading

from relay import serve_http_forever

folder = sys.argv[1]


class Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"

    def log_message(self, *args):
        pass

    def answer(self, status, body, headers=()):
        self.send_response(status)
        for name, value in headers:
            self.send_header(name, value)
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body)

    def do_GET(self):
        parts = self.path.strip("/").split("/")
        if parts[0] in ("redirect", "absolute") and len(parts) == 2:
            left = int(parts[1])
            target = "/proxy.pac" if left == 0 else "/%s/%d" % (parts[0], left - 1)
            if parts[0] == "redirect":
                target = target if left == 0 else "%d" % (left - 1)
            else:
                scheme = "https" if len(sys.argv) > 3 else "http"
                target = "%s://127.0.0.1:%d%s" % (scheme, self.server.server_address[1], target)
            self.answer(302, b"", [("Location", target)])
        elif parts[0] == "status":
            self.answer(int(parts[1]), b"status body")
        elif parts[0] == "big":
            self.answer(200, b"/" * int(parts[1]))
        elif parts[0] == "endless":
            self.send_response(200)
            self.send_header("Transfer-Encoding", "chunked")
            self.end_headers()
            chunk = b"/" * 65536
            try:
                while True:
                    self.wfile.write(b"%x\r\n%s\r\n" % (len(chunk), chunk))
            except OSError:
                pass
        elif parts[0] == "slow":
            threading.Event().wait()
        elif parts[0] == "auth":
            self.answer(200, (self.headers.get("Authorization") or "none").encode())
        else:
            path = os.path.join(folder, os.path.basename(self.path))
            if not os.path.isfile(path):
                self.answer(404, b"missing")
                return
            with open(path, "rb") as f:
                self.answer(200, f.read())


wrap = lambda sock: sock
if len(sys.argv) > 3:
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    context.load_cert_chain(sys.argv[2], sys.argv[3])
    wrap = lambda sock: context.wrap_socket(sock, server_side=True)
serve_http_forever(Handler, wrap)
