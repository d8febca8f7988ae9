#include "notifications/FlatpakSandbox.hpp"

#include "support/LogCapture.hpp"
#include "support/TempDir.hpp"

#include <gtest/gtest.h>

namespace {

// Inside Flatpak (an info file), a missing or filtered session bus gives one "display" line
// with the override for the sandbox's app (OpenDeck's when the file names none); outside
// Flatpak, or with the whole bus, nothing.
TEST(FlatpakSandboxTest, MissingOrFilteredBusNamesTheOverride) {
  auto& log = testsupport::TestLog();
  testsupport::TempDir folder;
  const char* kWhole = "[Application]\nname=org.example.Host\n[Context]\nsockets=x11;session-bus;\n";
  const struct {
    const char* file; // nullptr: not inside Flatpak
    bool available;
    const char* expected; // nullptr: no line
  } cases[] = {
      {nullptr, false, nullptr},
      {kWhole, true, nullptr},
      {kWhole, false, "sandbox of org.example.Host: the sandbox gives it no session bus. To let"},
      {"[Context]\nsockets=x11;wayland;\n", true,
       "Distributed notifications cannot work inside the Flatpak sandbox of me.amankhanna.opendeck: its "
       "session "
       "bus is filtered, so the engine's commands never arrive. To let the plug-in and the Zorbel engine "
       "reach each "
       "other, run `flatpak override --user --socket=session-bus me.amankhanna.opendeck` and restart it"},
  };
  for (const auto& c : cases) {
    const std::string path = folder.file(std::to_string(&c - cases));
    if (c.file) testsupport::WriteFile(path, c.file);
    auto mark = log.mark();
    EXPECT_EQ(platform::FlatpakReportSessionBus(c.available, path), c.expected != nullptr) << path;
    EXPECT_EQ(log.count("Flatpak sandbox", mark), c.expected ? 1 : 0) << path;
    EXPECT_EQ(log.count(c.expected ? c.expected : "Flatpak sandbox", mark), c.expected ? 1 : 0) << path;
  }
}

} // namespace
