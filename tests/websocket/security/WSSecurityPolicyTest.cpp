#include "websocket/security/WSSecurityPolicy.hpp"

#include <gtest/gtest.h>

#include "websocket/security/WSPinningSecurityPolicy.hpp"

namespace {

// defaultPolicy and the plain constructor validate the chain.
TEST(WSSecurityPolicyTest, DefaultAndPlainConstructorValidateTheChain) {
  EXPECT_TRUE(WSSecurityPolicy::defaultPolicy()->certificateChainValidationEnabled());
  EXPECT_TRUE(WSSecurityPolicy().certificateChainValidationEnabled());
  EXPECT_FALSE(WSSecurityPolicy(false).certificateChainValidationEnabled());
}

// The stream options require TLS 1.2 and carry the validation flag; the peer name is left as set.
TEST(WSSecurityPolicyTest, StreamOptionsRequireTLS12AndCarryValidationFlag) {
  WSStreamSecurityOptions options;
  options.peerName = "target.example";
  options.minimumVersion = WSTLSMinimumVersion::TLSv1_3;
  WSSecurityPolicy(false).updateSecurityOptionsInStream(options);
  EXPECT_TRUE(options.secure);
  EXPECT_EQ(options.minimumVersion, WSTLSMinimumVersion::TLSv1_2);
  EXPECT_FALSE(options.validatesCertificateChain);
  EXPECT_EQ(options.peerName, "target.example");

  WSSecurityPolicy().updateSecurityOptionsInStream(options);
  EXPECT_TRUE(options.validatesCertificateChain);
}

// The plain policy accepts every server trust, whatever the domain, even an empty chain.
TEST(WSSecurityPolicyTest, PlainPolicyAcceptsEveryServer) {
  EXPECT_TRUE(WSSecurityPolicy().evaluateServerTrust({}, "any.example"));
  EXPECT_TRUE(WSSecurityPolicy(false).evaluateServerTrust({{{1, 2, 3}}}, ""));
}

// The class operation makes a pinning policy, with validation off and the certificates copied.
TEST(WSSecurityPolicyTest, PinningFactoryMakesAPinningPolicy) {
  std::vector<WSCertificateData> certificates{{1, 2}, {3}};
  auto policy = WSSecurityPolicy::pinnningPolicyWithCertificates(certificates);
  certificates.clear();
  ASSERT_NE(policy, nullptr);
  EXPECT_FALSE(policy->certificateChainValidationEnabled());
  EXPECT_EQ(policy->pinnedCertificates().size(), 2u);
  EXPECT_THROW(WSSecurityPolicy::pinnningPolicyWithCertificates({}), std::invalid_argument);
}

} // namespace
