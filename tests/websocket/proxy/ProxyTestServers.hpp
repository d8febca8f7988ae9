#pragma once
// Real servers for the proxy tests, started as child processes on loopback: a TCP echo server
// (the tunnel's far end), a static HTTP server for PAC files, tinyproxy and microsocks.

#include <memory>
#include <string>

#include "websocket/security/TestServers.hpp"

namespace wstest {

/// Echoes every byte back; prints its port first.
inline constexpr const char* kEchoServerScript = R"PY(
import socket, sys, threading
listener = socket.create_server(("127.0.0.1", 0))
print(listener.getsockname()[1], flush=True)
def serve(conn):
    with conn:
        while True:
            data = conn.recv(65536)
            if not data:
                return
            conn.sendall(data)
while True:
    conn, _ = listener.accept()
    threading.Thread(target=serve, args=(conn,), daemon=True).start()
)PY";

/// Serves the files of a folder over HTTP; "/slow" never answers; prints its port first.
inline constexpr const char* kHTTPServerScript = R"PY(
import http.server, sys, threading, functools
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
)PY";

/// A SOCKS4a server (no package provides one): resolves the host name it is sent, refuses the
/// user id "blocked" with 0x5B, then relays; prints its port first.
inline constexpr const char* kSOCKS4aServerScript = R"PY(
import socket, struct, sys, threading
listener = socket.create_server(("127.0.0.1", 0))
print(listener.getsockname()[1], flush=True)
def read_until_nul(conn, data):
    while b"\0" not in data:
        more = conn.recv(256)
        if not more:
            raise EOFError
        data += more
    field, rest = data.split(b"\0", 1)
    return field, rest
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
while True:
    conn, _ = listener.accept()
    threading.Thread(target=serve, args=(conn,), daemon=True).start()
)PY";

/// A Python script run as a child; its first output line is its port.
class ScriptServer {
public:
  ScriptServer(const TempDir& dir, const std::string& name, const char* script,
               std::vector<std::string> args = {}) {
    dir.write(name, script);
    std::vector<std::string> argv{"/usr/bin/python3", "-u", dir.file(name)};
    argv.insert(argv.end(), args.begin(), args.end());
    _child = std::make_unique<ChildProcess>(argv);
    _port = static_cast<std::uint16_t>(std::stoi(_child->readLine()));
  }
  std::uint16_t port() const { return _port; }

private:
  std::unique_ptr<ChildProcess> _child;
  std::uint16_t _port = 0;
};

/// tinyproxy in the foreground. With `connectPortOnly` set, CONNECT is allowed to that port
/// alone, so CONNECT to any other port is answered 403. With `basicAuth` ("user password") the
/// proxy requires those credentials and answers 407 without them.
class TinyProxy {
public:
  explicit TinyProxy(const TempDir& dir, int connectPortOnly = 0, const std::string& basicAuth = "")
      : _port(FreePort()) {
    std::string config = "Port " + std::to_string(_port) +
                         "\nListen 127.0.0.1\nTimeout 30\nAllow 127.0.0.1\nMaxClients 20\nLogLevel Info\n";
    if (connectPortOnly) config += "ConnectPort " + std::to_string(connectPortOnly) + "\n";
    if (!basicAuth.empty()) config += "BasicAuth " + basicAuth + "\n";
    const std::string name = "tinyproxy-" + std::to_string(_port) + ".conf";
    dir.write(name, config);
    _child =
        std::make_unique<ChildProcess>(std::vector<std::string>{"tinyproxy", "-d", "-c", dir.file(name)});
    while (_child->readLine().find("Accepting connections") == std::string::npos) {
    }
  }
  std::uint16_t port() const { return _port; }

private:
  std::uint16_t _port;
  std::unique_ptr<ChildProcess> _child;
};

/// microsocks (SOCKS5), optionally requiring a user name and password.
class MicroSocks {
public:
  explicit MicroSocks(const std::string& user = "", const std::string& password = "") : _port(FreePort()) {
    std::vector<std::string> argv{"microsocks", "-i", "127.0.0.1", "-p", std::to_string(_port)};
    if (!user.empty()) argv.insert(argv.end(), {"-u", user, "-P", password});
    _child = std::make_unique<ChildProcess>(argv, false);
    WaitForPort(_port);
  }
  std::uint16_t port() const { return _port; }

private:
  std::uint16_t _port;
  std::unique_ptr<ChildProcess> _child;
};

} // namespace wstest
