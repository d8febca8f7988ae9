"""What the test servers share: listening on both loopback addresses, accepting connections, and
the byte relay of the proxies, which copies one socket into another until either end closes and
then shuts both down."""
import errno
import http.server
import socket
import threading


def pipe(a, b):
    try:
        while True:
            data = a.recv(65536)
            if not data:
                break
            b.sendall(data)
    except OSError:
        pass
    for s in (a, b):
        try:
            s.shutdown(socket.SHUT_RDWR)
        except OSError:
            pass


def loopback_listeners():
    """Listening sockets on one free port of 127.0.0.1 and of ::1 (where the machine has an IPv6
    loopback): a test reaches its server as "localhost" whichever of the two the hosts file makes
    that name resolve to first, directly or through a proxy that tries only the first."""
    while True:
        v4 = socket.create_server(("127.0.0.1", 0))
        try:
            v6 = socket.create_server(("::1", v4.getsockname()[1]), family=socket.AF_INET6)
        except OSError as error:
            if error.errno == errno.EADDRINUSE:
                v4.close()
                continue
            return [v4]
        return [v4, v6]


def serve_forever(listeners, serve):
    """Runs serve(conn) on a thread of its own for every connection the listeners accept."""
    def accept(listener):
        while True:
            conn, _ = listener.accept()
            threading.Thread(target=serve, args=(conn,), daemon=True).start()

    for listener in listeners[1:]:
        threading.Thread(target=accept, args=(listener,), daemon=True).start()
    accept(listeners[0])


def serve_http_forever(handler, wrap=lambda sock: sock):
    """A threading HTTP server on the loopback_listeners(); prints its port first. `wrap` makes
    the socket served of each listener (TLS, say)."""
    servers = []
    for listener in loopback_listeners():
        address = listener.getsockname()[:2]
        server = http.server.ThreadingHTTPServer(address, handler, bind_and_activate=False)
        server.socket.close()
        server.socket = wrap(listener)
        server.server_name, server.server_port = "localhost", address[1]
        server.daemon_threads = True
        servers.append(server)
    print(servers[0].server_port, flush=True)
    for server in servers[1:]:
        threading.Thread(target=server.serve_forever, daemon=True).start()
    servers[0].serve_forever()
