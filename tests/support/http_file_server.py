"""Serves the files of a folder over HTTP on 127.0.0.1 and ::1; "/slow" never answers. Prints its port first.

Usage: http_file_server.py FOLDER
"""
import functools
import http.server
import sys
import threading

from relay import serve_http_forever


class Handler(http.server.SimpleHTTPRequestHandler):
    def log_message(self, *args):
        pass

    def do_GET(self):
        if self.path == "/slow":
            threading.Event().wait()
        return super().do_GET()


serve_http_forever(functools.partial(Handler, directory=sys.argv[1]))
