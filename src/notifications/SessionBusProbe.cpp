#include "notifications/SessionBusProbe.hpp"

#include "notifications/SessionBusAddress.hpp"

#include <cerrno>
#include <cstring>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace platform {

namespace {

class Socket {
public:
  Socket() : _fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0)) {}
  ~Socket() {
    if (_fd >= 0) ::close(_fd);
  }
  Socket(const Socket&) = delete;
  Socket& operator=(const Socket&) = delete;
  int fd() const { return _fd; }

private:
  int _fd;
};

std::string Seconds(std::chrono::milliseconds time) {
  if (time.count() % 1000 == 0) return std::to_string(time.count() / 1000) + " s";
  return std::to_string(time.count()) + " ms";
}

// Waits for `events` until `deadline`; false when the time is up.
bool WaitFor(int fd, short events, std::chrono::steady_clock::time_point deadline) {
  for (;;) {
    auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return false;
    pollfd wait{fd, events, 0};
    int ready = ::poll(&wait, 1, static_cast<int>(left.count()));
    if (ready > 0) return true;
    if (ready < 0 && errno != EINTR) return true; // the next call on the socket says what is wrong
  }
}

} // namespace

std::optional<std::string> SessionBusSignOfLife(const std::optional<std::string>& address,
                                                std::chrono::milliseconds timeout) {
  auto path = SessionBusUnixSocketOf(address);
  if (!path) return std::nullopt;
  sockaddr_un endpoint{};
  endpoint.sun_family = AF_UNIX;
  if (path->empty() || path->size() >= sizeof endpoint.sun_path) return std::nullopt; // sd-bus says why
  std::memcpy(endpoint.sun_path, path->data(), path->size());
  const auto length =
      static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + path->size() + ((*path)[0] ? 1 : 0));

  const auto deadline = std::chrono::steady_clock::now() + timeout;
  const std::string noAnswer = "no answer within " + Seconds(timeout) + " (is the bus daemon stopped?)";
  Socket socket;
  if (socket.fd() < 0) return std::string(std::strerror(errno));
  if (::connect(socket.fd(), reinterpret_cast<const sockaddr*>(&endpoint), length) != 0) {
    // A listener whose backlog is full (one that has stopped accepting) makes a non-blocking
    // connect fail with EAGAIN: that is a bus that does not answer.
    if (errno == EAGAIN) return noAnswer;
    if (errno != EINPROGRESS) return std::string(std::strerror(errno));
    if (!WaitFor(socket.fd(), POLLOUT, deadline)) return noAnswer;
    int error = 0;
    socklen_t size = sizeof error;
    if (::getsockopt(socket.fd(), SOL_SOCKET, SO_ERROR, &error, &size) == 0 && error != 0)
      return std::string(std::strerror(error));
  }
  static constexpr char kEmptyAuth[] = "\0AUTH\r\n";
  if (::send(socket.fd(), kEmptyAuth, sizeof kEmptyAuth - 1, MSG_NOSIGNAL) != sizeof kEmptyAuth - 1)
    return std::string("the bus does not take data: ") + std::strerror(errno);
  for (;;) {
    if (!WaitFor(socket.fd(), POLLIN, deadline)) return noAnswer;
    char reply[128];
    ssize_t n = ::recv(socket.fd(), reply, sizeof reply, 0);
    if (n > 0) return std::nullopt;
    if (n == 0) return std::string("the bus closed the connection without an answer");
    if (errno != EINTR && errno != EAGAIN) return std::string(std::strerror(errno));
  }
}

} // namespace platform
