#include "kelvara/security/kel_error.hpp"

#include <gtest/gtest.h>

#include <set>
#include <string>

using kelvara::security::code;
using kelvara::security::KelError;
using kelvara::security::message;

TEST(KelError, NumbersRunOneToNine) {
  EXPECT_EQ(kelvara::security::number(KelError::InvalidPointer), 1);
  EXPECT_EQ(kelvara::security::number(KelError::AuthenticationFailure), 6);
  EXPECT_EQ(kelvara::security::number(KelError::HardwareShaUnavailable), 9);
}

TEST(KelError, TextsAreExact) {
  EXPECT_EQ(code(KelError::ReplayCounter), "replay_counter");
  EXPECT_EQ(message(KelError::ReplayCounter), "monotonic counter violation (replay)");
  EXPECT_EQ(code(KelError::AuthenticationFailure), "authentication_failure");
  EXPECT_EQ(message(KelError::AuthenticationFailure), "HMAC verification failed");
  EXPECT_EQ(code(KelError::ActionIdOverflow), "action_id_overflow");
  EXPECT_EQ(message(KelError::ActionIdOverflow), "action id exceeds maximum size");
  EXPECT_EQ(code(KelError::ReplayNonce), "replay_nonce");
  EXPECT_EQ(message(KelError::ReplayNonce), "nonce reuse detected");
  EXPECT_EQ(code(KelError::HardwareShaUnavailable), "hardware_sha_unavailable");
  EXPECT_EQ(message(KelError::InvalidPointer), "null or misaligned pointer");
}

TEST(KelError, EveryKindHasDistinctSnakeCaseCodeAndMessage) {
  std::set<std::string> codes;
  for (int n = 1; n <= 9; ++n) {
    const auto kind = static_cast<KelError>(n);
    const auto c = code(kind);
    EXPECT_GE(c.size(), 12u);
    EXPECT_LE(c.size(), 24u);
    for (char ch : c) EXPECT_TRUE(ch == '_' || (ch >= 'a' && ch <= 'z')) << c;
    EXPECT_FALSE(message(kind).empty());
    codes.emplace(c);
  }
  EXPECT_EQ(codes.size(), 9u);
}
