"""A TCP server on 127.0.0.1 and ::1 that echoes every byte back (the far end of a proxy tunnel).
Prints its port first."""
import socket

from relay import loopback_listeners, serve_forever

listeners = loopback_listeners()
print(listeners[0].getsockname()[1], flush=True)


def serve(conn):
    with conn:
        while True:
            data = conn.recv(65536)
            if not data:
                return
            conn.sendall(data)


serve_forever(listeners, serve)
