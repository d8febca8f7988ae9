"""An HTTP proxy on 127.0.0.1 and ::1 with scripted answers to CONNECT. Prints its port first.

Usage: scripted_proxy.py MODE
  split    answers 200 in three pieces and then tunnels
  silent   never answers
  <N>      answers with status N and closes
"""
import socket
import sys
import threading
import time

from relay import pipe, loopback_listeners, serve_forever

mode = sys.argv[1]
listeners = loopback_listeners()
print(listeners[0].getsockname()[1], flush=True)


def serve(conn):
    head = b""
    while b"\r\n\r\n" not in head:
        data = conn.recv(4096)
        if not data:
            return
        head += data
    target = head.split(b" ")[1].decode()
    host, port = target.rsplit(":", 1)
    if mode == "silent":
        threading.Event().wait()
    if mode != "split":
        conn.sendall(("HTTP/1.1 %s Refused\r\nProxy-Agent: scripted\r\n\r\n" % mode).encode())
        conn.close()
        return
    upstream = socket.create_connection(("127.0.0.1", int(port)))
    for piece in (b"HTTP/1.1 20", b"0 Connection established\r\nProxy-Agent: scr", b"ipted\r\n\r\n"):
        conn.sendall(piece)
        time.sleep(0.05)
    threading.Thread(target=pipe, args=(conn, upstream), daemon=True).start()
    pipe(upstream, conn)


serve_forever(listeners, serve)
