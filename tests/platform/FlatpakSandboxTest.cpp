#include "platform/FlatpakSandbox.hpp"

#include "support/LogCapture.hpp"
#include "support/TempDir.hpp"

#include <gtest/gtest.h>

namespace {

// Inside Flatpak (an info file), a missing or filtered session bus gives one "display" line
// with the override for the sandbox's app; outside Flatpak, or with the whole bus, nothing.
TEST(FlatpakSandboxTest, MissingOrFilteredBusNamesTheOverride) {
  auto& log = testsupport::TestLog();
  testsupport::TempDir folder;
  const std::string filtered =
      "[Application]\nname=me.amankhanna.opendeck\n\n[Context]\nsockets=x11;wayland;\n";
  const std::string whole =
      "[Application]\nname=org.example.Host\n[Context]\nshared=network;\nsockets=session-bus;x11\n";
  const std::string unnamed = "[Context]\nsockets=pulseaudio;\n";
  const struct {
    const char* file; // nullptr: no info file
    bool available;
    const char* expected; // nullptr: no line
  } cases[] = {
      {nullptr, false, nullptr},
      {filtered.c_str(), true,
       "Distributed notifications cannot work inside the Flatpak sandbox of me.amankhanna.opendeck: its "
       "session "
       "bus is filtered, so the engine's commands never arrive. To let the plug-in and the Zorbel engine "
       "reach each "
       "other, run `flatpak override --user --socket=session-bus me.amankhanna.opendeck` and restart it"},
      {whole.c_str(), true, nullptr},
      {whole.c_str(), false,
       "Flatpak sandbox of org.example.Host: the sandbox gives it no session bus. To let"},
      {unnamed.c_str(), true, "`flatpak override --user --socket=session-bus me.amankhanna.opendeck`"},
  };
  int index = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(index);
    const std::string path = folder.file("info" + std::to_string(index++));
    if (c.file) {
      ASSERT_TRUE(testsupport::WriteFile(path, c.file));
    }
    auto mark = log.mark();
    EXPECT_EQ(platform::FlatpakReportSessionBus(c.available, path), c.expected != nullptr);
    EXPECT_EQ(log.count("Distributed notifications cannot work inside the Flatpak sandbox", mark),
              c.expected ? 1 : 0);
    if (c.expected) {
      EXPECT_EQ(log.count(c.expected, mark), 1) << log.since(mark);
    }
  }
}

} // namespace
