"""What the test servers share: accepting connections, and the byte relay of the proxies, which
copies one socket into another until either end closes and then shuts both down."""
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


def serve_forever(listener, serve):
    """Runs serve(conn) on a thread of its own for every connection the listener accepts."""
    while True:
        conn, _ = listener.accept()
        threading.Thread(target=serve, args=(conn,), daemon=True).start()
