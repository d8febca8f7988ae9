"""Serves the files of a folder over HTTP on 127.0.0.1; "/slow" never answers. Prints its port first.

Usage: http_file_server.py FOLDER
"""
import functools
import http.server
import sys
import threading


class Handler(http.server.SimpleHTTPRequestHandler):
    def log_message(self, *args):
        pass

    def do_GET(self):
        if self.path == "/slow":
            threading.Event().wait()
        return super().do_GET()


server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), functools.partial(Handler, directory=sys.argv[1]))
print(server.server_address[1], flush=True)
server.serve_forever()
