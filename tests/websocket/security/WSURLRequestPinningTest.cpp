#include "websocket/security/WSURLRequestPinning.hpp"

#include <gtest/gtest.h>

#include "websocket/security/WSPinningSecurityPolicy.hpp"

namespace {

// Setting stores a copy; setting nothing removes the property again.
TEST(WSURLRequestPinningTest, SetStoresCopyAndNothingRemoves) {
  WSURLRequest request("wss://example.com/");
  EXPECT_FALSE(WS_SSLPinnedCertificates(request));
  std::vector<WSCertificateData> certificates{{1, 2, 3}};
  setWS_SSLPinnedCertificates(request, certificates);
  certificates[0][0] = 9;
  ASSERT_TRUE(WS_SSLPinnedCertificates(request));
  EXPECT_EQ(WS_SSLPinnedCertificates(request)->at(0), (WSCertificateData{1, 2, 3}));
  setWS_SSLPinnedCertificates(request, std::nullopt);
  EXPECT_FALSE(WS_SSLPinnedCertificates(request));
}

// A request with pinned certificates gets the pinning policy even when untrusted chains are not allowed.
TEST(WSURLRequestPinningTest, PinnedRequestChoosesPinningPolicy) {
  WSURLRequest request("wss://example.com/");
  setWS_SSLPinnedCertificates(request, std::vector<WSCertificateData>{{1}});
  auto policy = WSSecurityPolicyForRequest(request, false);
  EXPECT_NE(dynamic_cast<WSPinningSecurityPolicy*>(policy.get()), nullptr);
  EXPECT_FALSE(policy->certificateChainValidationEnabled());
}

// Without pins, allowing untrusted certificates gives a plain policy with validation off, and vice versa.
TEST(WSURLRequestPinningTest, PlainPolicyFollowsAllowsUntrusted) {
  WSURLRequest request("wss://example.com/");
  auto lax = WSSecurityPolicyForRequest(request, true);
  auto strict = WSSecurityPolicyForRequest(request, false);
  EXPECT_EQ(dynamic_cast<WSPinningSecurityPolicy*>(lax.get()), nullptr);
  EXPECT_FALSE(lax->certificateChainValidationEnabled());
  EXPECT_TRUE(strict->certificateChainValidationEnabled());
}

} // namespace
