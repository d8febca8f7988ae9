"""A TLS echo server on 127.0.0.1 and ::1: answers each chunk with "<SNI or ->|<chunk>", so that tests see
the server name the client sent. Prints its port first.

Usage: tls_echo_server.py CERT-CHAIN KEY
"""
import socket
import ssl
import sys

from relay import loopback_listeners, serve_forever

chain, key = sys.argv[1], sys.argv[2]
ctx = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
ctx.load_cert_chain(chain, key)
names = {}


def sni(sock, name, _):
    names[id(sock)] = name


ctx.sni_callback = sni
listeners = loopback_listeners()
print(listeners[0].getsockname()[1], flush=True)


def serve(raw):
    try:
        with ctx.wrap_socket(raw, server_side=True) as tls:
            name = names.get(id(tls)) or "-"
            while True:
                data = tls.recv(65536)
                if not data:
                    break
                tls.sendall(name.encode() + b"|" + data)
    except Exception:
        pass


serve_forever(listeners, serve)
