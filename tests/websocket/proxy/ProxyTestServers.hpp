#pragma once
// Real servers for the proxy tests, started as child processes on loopback: the scripts of
// tests/support (a TCP echo server as the tunnel's far end, a static HTTP server for PAC files, a
// SOCKS4a server), tinyproxy and microsocks.

#include <memory>
#include <string>

#include "websocket/security/TestServers.hpp"

namespace wstest {

/// A test server of tests/support (echo_server.py, http_file_server.py, socks4a_server.py, ...)
/// run as a child; its first output line is its port.
class ScriptServer {
public:
  explicit ScriptServer(const std::string& script, std::vector<std::string> args = {}) {
    std::vector<std::string> argv{"/usr/bin/python3", "-u", SupportScript(script)};
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
