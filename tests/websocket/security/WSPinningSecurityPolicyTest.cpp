#include "websocket/security/WSPinningSecurityPolicy.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "websocket/security/WSLogHook.hpp"

namespace {

const WSCertificateData A{0x30, 0x01, 0xAA}, B{0x30, 0x01, 0xBB}, Leaf{0x30, 0x01, 0x01},
    Root{0x30, 0x01, 0xFF};

bool Accepts(std::vector<WSCertificateData> pinned, std::vector<WSCertificateData> chain) {
  return WSPinningSecurityPolicy(std::move(pinned))
      .evaluateServerTrust({std::move(chain)}, "ignored.example");
}

// A pinned intermediate accepts every chain that carries it.
TEST(WSPinningSecurityPolicyTest, AcceptsChainHoldingThePinnedCertificate) {
  EXPECT_TRUE(Accepts({A}, {Leaf, A, Root}));
  EXPECT_TRUE(Accepts({A, B}, {Leaf, B, A}));
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
  EXPECT_TRUE(Accepts({A}, {A, A}));
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
  WSSetLogHook(nullptr, [&](const std::string& line) { lines.push_back(line); });
  Accepts({A, B}, {A, B});
  WSSetLogHook(nullptr, nullptr);
  EXPECT_EQ(lines, std::vector<std::string>{"Pinned cert count: 2"});
}

} // namespace
