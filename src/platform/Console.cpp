#include "platform/Console.hpp"

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <unistd.h>

namespace platform {

std::string ConsolePrefix() {
  using namespace std::chrono;
  auto now = system_clock::now();
  auto millis = duration_cast<milliseconds>(now.time_since_epoch()).count() % 1000;
  std::time_t seconds = system_clock::to_time_t(now);
  std::tm local{};
  localtime_r(&seconds, &local);
  char stamp[64];
  std::size_t n = std::strftime(stamp, sizeof stamp, "%F %T", &local);
  char prefix[256];
  int length =
      std::snprintf(prefix, sizeof prefix, "%.*s.%03d %s[%d] ", static_cast<int>(n), stamp,
                    static_cast<int>(millis), program_invocation_short_name, static_cast<int>(getpid()));
  if (length < 0) return {};
  return std::string(prefix, std::min<std::size_t>(static_cast<std::size_t>(length), sizeof prefix - 1));
}

void ConsoleLog(std::string_view message) {
  std::string line = ConsolePrefix();
  line.append(message);
  line += '\n';
  const char* data = line.data();
  std::size_t left = line.size();
  while (left > 0) {
    ssize_t written = ::write(STDERR_FILENO, data, left);
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) return;
    data += written;
    left -= static_cast<std::size_t>(written);
  }
}

} // namespace platform
