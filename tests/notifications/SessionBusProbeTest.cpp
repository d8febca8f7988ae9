#include "notifications/SessionBusProbe.hpp"

#include "support/PrivateSessionBus.hpp"
#include "support/TempDir.hpp"

#include <chrono>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace {

using namespace std::chrono_literals;
using platform::SessionBusSignOfLife;

// A socket that takes connections into its backlog and never answers: a stopped bus daemon.
class SilentSocket {
public:
  explicit SilentSocket(const std::string& path) : _fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    path.copy(address.sun_path, sizeof address.sun_path - 1);
    EXPECT_EQ(::bind(_fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    EXPECT_EQ(::listen(_fd, 8), 0);
  }
  ~SilentSocket() { ::close(_fd); }

private:
  int _fd;
};

// Each kind of bus, and what the probe says of it within its bound.
TEST(SessionBusProbeTest, ABusAnswersOrTheReasonIsGivenInTime) {
  testsupport::TempDir dir;
  testsupport::PrivateSessionBus bus;
  SilentSocket silent(dir.file("silent"));
  const struct {
    std::string address;
    std::optional<std::string> failure;
  } cases[] = {
      {bus.address(), std::nullopt},
      {"unix:path=" + dir.file("silent"), "no answer within 300 ms (is the bus daemon stopped?)"},
      {"unix:path=" + dir.file("missing"), "No such file or directory"},
      {"tcp:host=127.0.0.1,port=1", std::nullopt}, // not a unix socket: left to sd-bus
  };
  for (auto& c : cases) {
    auto started = std::chrono::steady_clock::now();
    EXPECT_EQ(SessionBusSignOfLife(c.address, 300ms), c.failure) << c.address;
    EXPECT_LT(std::chrono::steady_clock::now() - started, 3s) << c.address;
  }
}

} // namespace
