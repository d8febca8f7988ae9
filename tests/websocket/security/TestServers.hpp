#pragma once
// Helpers for tests that talk to real servers on loopback: child processes with a line-based
// stdout, temporary folders, free ports, blocking sockets with deadlines, and a throw-away
// certificate authority made with the openssl command line (never stored in the tree).

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

namespace wstest {

using Clock = std::chrono::steady_clock;

/// A temporary folder removed with everything in it at destruction.
class TempDir {
public:
  TempDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "zbws-XXXXXX").string();
    if (!mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed");
    _path = pattern;
  }
  ~TempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(_path, ignored);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::filesystem::path& path() const { return _path; }
  std::string file(const std::string& name) const { return (_path / name).string(); }
  void write(const std::string& name, const std::string& text) const { std::ofstream(file(name)) << text; }

private:
  std::filesystem::path _path;
};

/// A child process; its stdout (and stderr, merged) can be read line by line; killed at destruction.
class ChildProcess {
public:
  explicit ChildProcess(std::vector<std::string> argv, bool captureOutput = true) {
    int fds[2] = {-1, -1};
    if (captureOutput && pipe2(fds, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
    _pid = fork();
    if (_pid < 0) throw std::runtime_error("fork failed");
    if (_pid == 0) {
      // A test process that dies (a failed sanitizer check aborts it) takes its servers along.
      prctl(PR_SET_PDEATHSIG, SIGKILL);
      if (captureOutput) {
        dup2(fds[1], 1);
        dup2(fds[1], 2);
      } else {
        int null = open("/dev/null", O_WRONLY);
        dup2(null, 1);
        dup2(null, 2);
      }
      std::vector<char*> args;
      for (auto& a : argv) args.push_back(a.data());
      args.push_back(nullptr);
      execvp(args[0], args.data());
      _exit(127);
    }
    if (captureOutput) {
      close(fds[1]);
      _out = fds[0];
    }
  }
  ~ChildProcess() {
    if (_pid > 0) {
      kill(_pid, SIGKILL);
      waitpid(_pid, nullptr, 0);
    }
    if (_out >= 0) close(_out);
  }
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  /// The next output line, or throws when none arrives before the deadline.
  std::string readLine(std::chrono::milliseconds limit = std::chrono::seconds(10)) {
    const auto deadline = Clock::now() + limit;
    for (;;) {
      const auto newline = _buffer.find('\n');
      if (newline != std::string::npos) {
        std::string line = _buffer.substr(0, newline);
        _buffer.erase(0, newline + 1);
        return line;
      }
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
      if (left.count() <= 0) throw std::runtime_error("no output line from child: " + _buffer);
      pollfd p{_out, POLLIN, 0};
      if (poll(&p, 1, static_cast<int>(left.count())) <= 0) continue;
      char chunk[4096];
      const ssize_t n = read(_out, chunk, sizeof chunk);
      if (n <= 0) throw std::runtime_error("child output ended: " + _buffer);
      _buffer.append(chunk, static_cast<std::size_t>(n));
    }
  }

  pid_t pid() const { return _pid; }

private:
  pid_t _pid = -1;
  int _out = -1;
  std::string _buffer;
};

/// The path of a test server script of tests/support (`name` as "tls_echo_server.py").
inline std::string SupportScript(const std::string& name) {
  return std::string(ZB_TEST_SUPPORT_DIR) + "/" + name;
}

/// Runs a shell command to its end; throws when it fails.
inline void Run(const std::string& command) {
  const int status = std::system((command + " >/dev/null 2>&1").c_str());
  if (status != 0) throw std::runtime_error("command failed: " + command);
}

inline std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

/// A loopback TCP port that was free a moment ago (for servers that cannot report their own).
inline std::uint16_t FreePort() {
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
  socklen_t len = sizeof a;
  getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
  close(fd);
  return ntohs(a.sin_port);
}

/// A connected blocking loopback socket; -1 when the connection is refused.
inline int ConnectLoopback(std::uint16_t port) {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(port);
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

/// Waits until something accepts connections on `port` (a server started as a child process).
inline void WaitForPort(std::uint16_t port, std::chrono::milliseconds limit = std::chrono::seconds(10)) {
  const auto deadline = Clock::now() + limit;
  while (Clock::now() < deadline) {
    const int fd = ConnectLoopback(port);
    if (fd >= 0) {
      close(fd);
      return;
    }
    poll(nullptr, 0, 5); // the listening socket is the event; re-try its connect briefly
  }
  throw std::runtime_error("nothing listens on port " + std::to_string(port));
}

inline void SendAll(int fd, const std::uint8_t* data, std::size_t size) {
  while (size > 0) {
    const ssize_t n = send(fd, data, size, MSG_NOSIGNAL);
    if (n <= 0) throw std::runtime_error("send failed");
    data += n;
    size -= static_cast<std::size_t>(n);
  }
}
inline void SendAll(int fd, const std::vector<std::uint8_t>& bytes) {
  SendAll(fd, bytes.data(), bytes.size());
}

/// Reads what arrives within `limit`: at least one byte, or an empty result at end of stream.
/// Throws when nothing arrives in time.
inline std::vector<std::uint8_t> Receive(int fd, std::chrono::milliseconds limit = std::chrono::seconds(10)) {
  pollfd p{fd, POLLIN, 0};
  if (poll(&p, 1, static_cast<int>(limit.count())) <= 0) throw std::runtime_error("receive timed out");
  std::uint8_t buffer[16384];
  const ssize_t n = recv(fd, buffer, sizeof buffer, 0);
  if (n < 0) throw std::runtime_error("recv failed");
  return {buffer, buffer + n};
}

/// A certificate authority and certificates made by the openssl command line in a temp folder.
class TestPKI {
public:
  TestPKI() {
    makeCA("ca", "Zorbel Test CA");
    makeCA("otherca", "Zorbel Other CA");
    makeLeaf("server", "ca", "subjectAltName=DNS:localhost,IP:127.0.0.1");
    makeLeaf("wronghost", "ca", "subjectAltName=DNS:elsewhere.invalid");
    makeLeaf("untrusted", "otherca", "subjectAltName=DNS:localhost,IP:127.0.0.1");
    // Chains as a server sends them: leaf, then the CA.
    for (const char* leaf : {"server", "wronghost"})
      _dir.write(std::string(leaf) + "-chain.pem",
                 ReadFile(_dir.file(std::string(leaf) + ".pem")) + ReadFile(_dir.file("ca.pem")));
    _dir.write("untrusted-chain.pem",
               ReadFile(_dir.file("untrusted.pem")) + ReadFile(_dir.file("otherca.pem")));
    // For pinning: an intermediate CA under "ca" with a leaf of its own, a leaf that expired
    // yesterday, and a self-signed "forged" leaf for the right host, as a man in the middle
    // would put in front of the real chain. Each chain file holds what the server sends.
    // "impostor" is signed by a CA that only copies the name of "ca".
    makeCA("fakeca", "Zorbel Test CA");
    makeLeaf("impostor", "fakeca", "subjectAltName=DNS:localhost,IP:127.0.0.1");
    makeSigned("inter", "ca", "basicConstraints=critical,CA:TRUE\nkeyUsage=critical,keyCertSign,cRLSign\n");
    makeLeaf("interleaf", "inter", "subjectAltName=DNS:localhost,IP:127.0.0.1");
    makeSigned("expired", "ca",
               "subjectAltName=DNS:localhost,IP:127.0.0.1\nbasicConstraints=CA:FALSE\n"
               "extendedKeyUsage=serverAuth\n",
               "-1");
    Run("openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -days 2 -keyout " +
        file("forged.key") + " -out " + file("forged.pem") +
        " -subj /CN=server -addext subjectAltName=DNS:localhost,IP:127.0.0.1");
    _dir.write("interleaf-chain.pem",
               ReadFile(file("interleaf.pem")) + ReadFile(file("inter.pem")) + ReadFile(file("ca.pem")));
    _dir.write("expired-chain.pem", ReadFile(file("expired.pem")) + ReadFile(file("ca.pem")));
    _dir.write("forged-chain.pem", ReadFile(file("forged.pem")) + ReadFile(file("ca.pem")));
  }
  std::string file(const std::string& name) const { return _dir.file(name); }
  /// The DER bytes of a certificate made here ("ca", "server", ...).
  std::vector<std::uint8_t> der(const std::string& name) const {
    Run("openssl x509 -in " + file(name + ".pem") + " -outform DER -out " + file(name + ".der"));
    const std::string bytes = ReadFile(file(name + ".der"));
    return {bytes.begin(), bytes.end()};
  }

private:
  void makeCA(const std::string& name, const std::string& cn) {
    Run("openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -days 2 -keyout " +
        file(name + ".key") + " -out " + file(name + ".pem") + " -subj '/CN=" + cn +
        "' -addext basicConstraints=critical,CA:TRUE -addext keyUsage=critical,keyCertSign,cRLSign");
  }
  void makeLeaf(const std::string& name, const std::string& ca, const std::string& san) {
    makeSigned(name, ca, san + "\nbasicConstraints=CA:FALSE\nextendedKeyUsage=serverAuth\n");
  }
  // A certificate for `name` signed by `ca` with the given extensions; "-1" days makes one that
  // has already expired.
  void makeSigned(const std::string& name, const std::string& ca, const std::string& extensions,
                  const std::string& days = "2") {
    _dir.write(name + ".ext", extensions);
    Run("openssl req -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -keyout " + file(name + ".key") +
        " -out " + file(name + ".csr") + " -subj /CN=" + name);
    Run("openssl x509 -req -days " + days + " -in " + file(name + ".csr") + " -CA " + file(ca + ".pem") +
        " -CAkey " + file(ca + ".key") + " -CAcreateserial -out " + file(name + ".pem") + " -extfile " +
        file(name + ".ext"));
  }
  TempDir _dir;
};

} // namespace wstest
