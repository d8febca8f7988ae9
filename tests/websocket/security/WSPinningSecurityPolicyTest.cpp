#include "websocket/security/WSPinningSecurityPolicy.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/LineCapture.hpp"
#include "websocket/security/TestServers.hpp"

namespace {

const WSCertificateData A{0x30, 0x01, 0xAA}, B{0x30, 0x01, 0xBB}, Leaf{0x30, 0x01, 0x01},
    Root{0x30, 0x01, 0xFF};

bool Accepts(std::vector<WSCertificateData> pinned, std::vector<WSCertificateData> chain) {
  return WSPinningSecurityPolicy(std::move(pinned))
      .evaluateServerTrust({std::move(chain)}, "ignored.example");
}

// Pinning narrows trust: the chain must verify up to a pinned certificate (root, intermediate
// or the leaf itself), for the connection's host, with every pinned certificate sent. Forged
// leaves in front of a pinned certificate, expired pins and other host names are refused.
TEST(WSPinningSecurityPolicyTest, ChainMustVerifyUpToAPinForTheHost) {
  static const wstest::TestPKI pki;
  const auto der = [](const char* name) { return pki.der(name); };
  const struct {
    const char* what;
    std::vector<WSCertificateData> pinned;
    std::vector<WSCertificateData> chain;
    const char* host;
    bool accepted;
  } cases[] = {
      {"chain to a pinned root", {der("ca")}, {der("server"), der("ca")}, "localhost", true},
      {"chain to a pinned intermediate",
       {der("inter")},
       {der("interleaf"), der("inter"), der("ca")},
       "localhost",
       true},
      {"pinned root and intermediate",
       {der("inter"), der("ca")},
       {der("interleaf"), der("inter"), der("ca")},
       "localhost",
       true},
      {"pinned leaf", {der("server")}, {der("server"), der("ca")}, "localhost", true},
      {"pinned self-signed leaf alone", {der("forged")}, {der("forged")}, "localhost", true},
      {"address host", {der("ca")}, {der("server"), der("ca")}, "127.0.0.1", true},
      {"pin repeated in the chain", {der("server")}, {der("server"), der("server")}, "localhost", true},
      {"forged leaf before a pinned root", {der("ca")}, {der("forged"), der("ca")}, "localhost", false},
      {"forged leaf before a pinned intermediate",
       {der("inter")},
       {der("forged"), der("inter"), der("ca")},
       "localhost",
       false},
      {"impostor leaf naming the pinned root as issuer",
       {der("ca")},
       {der("impostor"), der("ca")},
       "localhost",
       false},
      {"leaf of another CA before a pinned root",
       {der("ca")},
       {der("untrusted"), der("ca")},
       "localhost",
       false},
      {"expired pinned leaf", {der("expired")}, {der("expired"), der("ca")}, "localhost", false},
      {"expired leaf under a pinned root", {der("ca")}, {der("expired"), der("ca")}, "localhost", false},
      {"wrong host name", {der("ca")}, {der("wronghost"), der("ca")}, "localhost", false},
      {"host name of another server", {der("ca")}, {der("server"), der("ca")}, "example.com", false},
      {"no host name", {der("ca")}, {der("server"), der("ca")}, "", false},
      {"partial wildcard never matches", {der("ca")}, {der("server"), der("ca")}, "localhost.", false},
      {"a CA certificate is not a server", {der("ca")}, {der("inter"), der("ca")}, "inter", false},
      {"pinned root not sent", {der("ca")}, {der("server")}, "localhost", false},
      {"one of two pins missing",
       {der("ca"), der("otherca")},
       {der("server"), der("ca")},
       "localhost",
       false},
  };
  for (const auto& c : cases)
    EXPECT_EQ(WSPinningSecurityPolicy(c.pinned).evaluateServerTrust({c.chain}, c.host), c.accepted) << c.what;
}

// Every pinned certificate must be present; a missing one refuses the server.
TEST(WSPinningSecurityPolicyTest, RefusesChainMissingAPinnedCertificate) {
  EXPECT_FALSE(Accepts({A, B}, {Leaf, A}));
  EXPECT_FALSE(Accepts({A}, {Leaf, Root}));
  EXPECT_FALSE(Accepts({A}, {}));
}

// A chain that repeats one pinned certificate does not stand in for another one.
TEST(WSPinningSecurityPolicyTest, RepeatedCertificateDoesNotCountTwice) {
  EXPECT_FALSE(Accepts({A, B}, {A, A}));
}

// Bytes that are not a certificate are refused even when they equal the pin.
TEST(WSPinningSecurityPolicyTest, UnparsableChainIsRefused) {
  EXPECT_FALSE(Accepts({A}, {A}));
  EXPECT_FALSE(Accepts({A}, {A, A}));
}

// Certificates are compared byte for byte: a prefix is not a match.
TEST(WSPinningSecurityPolicyTest, ComparesWholeEncodings) {
  EXPECT_FALSE(Accepts({A}, {WSCertificateData(A.begin(), A.end() - 1)}));
}

// Creating the policy without certificates is refused with the documented message.
TEST(WSPinningSecurityPolicyTest, EmptyCertificateListIsRefused) {
  try {
    WSPinningSecurityPolicy policy({});
    FAIL() << "no exception";
  } catch (const std::invalid_argument& error) {
    EXPECT_STREQ(error.what(), "Creating security policy failed.: Must specify at least one certificate when "
                               "creating a pinning policy.");
  }
}

// The check logs the number of pinned certificates.
TEST(WSPinningSecurityPolicyTest, LogsPinnedCount) {
  std::vector<std::string> lines;
  {
    testsupport::LineCapture capture;
    Accepts({A, B}, {A, B});
    lines = capture.lines();
  }
  ASSERT_FALSE(lines.empty());
  EXPECT_EQ(lines.front(), "Pinned cert count: 2");
}

} // namespace
