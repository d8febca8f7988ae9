"""A TCP server on 127.0.0.1 that echoes every byte back (the far end of a proxy tunnel).
Prints its port first."""
import socket

from relay import serve_forever

listener = socket.create_server(("127.0.0.1", 0))
print(listener.getsockname()[1], flush=True)


def serve(conn):
    with conn:
        while True:
            data = conn.recv(65536)
            if not data:
                return
            conn.sendall(data)


serve_forever(listener, serve)
