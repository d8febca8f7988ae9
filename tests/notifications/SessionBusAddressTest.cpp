#include "notifications/SessionBusAddress.hpp"

#include "support/ScopedEnv.hpp"

#include <gtest/gtest.h>

namespace {

using namespace std::string_literals;
using platform::SessionBusAddressValue;
using platform::SessionBusUnixSocketOf;

// Values decode their %XX escapes (either case); a cut or non-hex escape is malformed.
TEST(SessionBusAddressTest, ValuesDecodeTheirEscapes) {
  const struct {
    const char* text;
    std::optional<std::string> value;
  } cases[] = {
      {"/run/user/1000/bus", "/run/user/1000/bus"},
      {"/tmp/a%20b%2c%2C", "/tmp/a b,,"},
      {"", ""},
      {"%4", std::nullopt},
      {"%zz", std::nullopt},
      {"x%", std::nullopt},
  };
  for (const auto& c : cases) EXPECT_EQ(SessionBusAddressValue(c.text), c.value) << c.text;
}

// Only one plain unix address names a socket (a path, or an abstract name after a NUL byte);
// several addresses, other transports, unknown keys and empty or malformed values name none.
TEST(SessionBusAddressTest, OnePlainUnixAddressNamesItsSocket) {
  const struct {
    const char* address;
    std::optional<std::string> socket;
  } cases[] = {
      {"unix:path=/run/user/1000/bus", "/run/user/1000/bus"},
      {"unix:path=/tmp/b%20us,guid=0123abcd", "/tmp/b us"},
      {"unix:abstract=zb-bus", "\0zb-bus"s},
      {"unix:path=/a;unix:path=/b", std::nullopt},
      {"tcp:host=localhost,port=1", std::nullopt},
      {"unix:path=", std::nullopt},
      {"unix:path=/a%zz", std::nullopt},
      {"unix:tmpdir=/tmp", std::nullopt},
      {"unix:path", std::nullopt},
      {"unix:guid=0123", std::nullopt},
  };
  for (const auto& c : cases)
    EXPECT_EQ(SessionBusUnixSocketOf(std::string(c.address)), c.socket) << c.address;
}

// Without an address the session bus lookup decides: DBUS_SESSION_BUS_ADDRESS, then the runtime
// folder's "bus", else nothing.
TEST(SessionBusAddressTest, WithoutAnAddressTheEnvironmentDecides) {
  {
    testsupport::ScopedEnv address("DBUS_SESSION_BUS_ADDRESS", "unix:path=/from/env");
    testsupport::ScopedEnv runtime("XDG_RUNTIME_DIR", "/run/user/7");
    EXPECT_EQ(SessionBusUnixSocketOf(std::nullopt), "/from/env");
  }
  {
    testsupport::ScopedEnv address("DBUS_SESSION_BUS_ADDRESS", std::nullopt);
    testsupport::ScopedEnv runtime("XDG_RUNTIME_DIR", "/run/user/7");
    EXPECT_EQ(SessionBusUnixSocketOf(std::nullopt), "/run/user/7/bus");
  }
  {
    testsupport::ScopedEnv address("DBUS_SESSION_BUS_ADDRESS", std::nullopt);
    testsupport::ScopedEnv runtime("XDG_RUNTIME_DIR", std::nullopt);
    EXPECT_EQ(SessionBusUnixSocketOf(std::nullopt), std::nullopt);
  }
}

// Messages name the address a connection tries: the one given, else the environment's, else
// the runtime folder's bus, else a note that neither is set (empty values count as unset).
TEST(SessionBusAddressTest, MessagesNameTheAddressTried) {
  const struct {
    std::optional<std::string> given, environment, runtime;
    std::string named;
  } cases[] = {
      {"unix:path=/given", "unix:path=/env", "/run/user/7", "unix:path=/given"},
      {std::nullopt, "unix:path=/env", "/run/user/7", "unix:path=/env"},
      {std::nullopt, std::nullopt, "/run/user/7", "unix:path=/run/user/7/bus"},
      {std::nullopt, "", "/run/user/7", "unix:path=/run/user/7/bus"},
      {std::nullopt, std::nullopt, std::nullopt,
       "(none: neither DBUS_SESSION_BUS_ADDRESS nor XDG_RUNTIME_DIR is set)"},
      {std::nullopt, "", "", "(none: neither DBUS_SESSION_BUS_ADDRESS nor XDG_RUNTIME_DIR is set)"},
  };
  for (const auto& c : cases) {
    testsupport::ScopedEnv address("DBUS_SESSION_BUS_ADDRESS", c.environment);
    testsupport::ScopedEnv runtime("XDG_RUNTIME_DIR", c.runtime);
    EXPECT_EQ(platform::SessionBusAddressForMessages(c.given), c.named);
    EXPECT_EQ(platform::SessionBusUnreachableSentence(c.given),
              "cannot reach the D-Bus session bus at " + c.named);
  }
}

} // namespace
