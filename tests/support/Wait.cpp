#include "support/Wait.hpp"

#include <thread>

namespace testsupport {

bool WaitUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout) {
  auto deadline = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    if (done()) return true;
    if (std::chrono::steady_clock::now() >= deadline) return done();
    std::this_thread::sleep_for(1ms); // a polling step, not a guess at how long the work takes
  }
}

} // namespace testsupport
