"""A SOCKS4a server on 127.0.0.1 and ::1 (no package provides one): resolves the host name it is sent,
refuses the user id "blocked" with 0x5B, then relays. Prints its port first."""
import socket
import struct
import threading

from relay import pipe, loopback_listeners, serve_forever

listeners = loopback_listeners()
print(listeners[0].getsockname()[1], flush=True)


def read_until_nul(conn, data):
    while b"\0" not in data:
        more = conn.recv(256)
        if not more:
            raise EOFError
        data += more
    field, rest = data.split(b"\0", 1)
    return field, rest


def serve(conn):
    try:
        head = b""
        while len(head) < 8:
            head += conn.recv(8 - len(head))
        version, command, port = struct.unpack("!BBH", head[:4])
        ip = head[4:8]
        user, rest = read_until_nul(conn, b"")
        host = socket.inet_ntoa(ip)
        if ip[:3] == b"\0\0\0" and ip[3] != 0:
            name, rest = read_until_nul(conn, rest)
            host = name.decode()
        if version != 4 or command != 1 or user == b"blocked":
            conn.sendall(b"\0\x5b" + b"\0" * 6)
            conn.close()
            return
        upstream = socket.create_connection((host, port))
        conn.sendall(b"\0\x5a" + b"\0" * 6)
    except (OSError, EOFError):
        conn.close()
        return
    threading.Thread(target=pipe, args=(conn, upstream), daemon=True).start()
    pipe(upstream, conn)


serve_forever(listeners, serve)
