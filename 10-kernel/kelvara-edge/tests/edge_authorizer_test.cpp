#include "kelvara/edge/edge_authorizer.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <string>

#include "kelvara/edge/test_support.hpp"

namespace {

using kelvara::edge::AuthorizerConfig;
using kelvara::edge::EdgeAuthorizer;
using kelvara::edge::PlatformSources;
using kelvara::edge::Refusal;
using kelvara::security::Nonce;
using kelvara::security::Outcome;

using Fakes = kelvara::edge::testing::FakeSources;
using kelvara::edge::testing::kFakeSources;
using kelvara::edge::testing::SourceMode;

class EdgeAuthorizerTest : public ::testing::Test {
 protected:
  void SetUp() override { Fakes::reset(5'000'000'000); }

  static EdgeAuthorizer make(std::uint64_t rate_limit = 1000, double max_velocity = 4.18) {
    AuthorizerConfig config;
    config.rate_limit = rate_limit;
    config.max_velocity_rad_s = max_velocity;
    return EdgeAuthorizer(config, Fakes::now, kFakeSources);
  }
};

Outcome refusal_of(const std::expected<kelvara::edge::ReceiptRecord, Refusal>& outcome) {
  EXPECT_FALSE(outcome.has_value());
  return outcome.error().outcome();
}

TEST_F(EdgeAuthorizerTest, AuthorizedActionCarriesItsFields) {
  EdgeAuthorizer boundary = make();
  const auto record = boundary.authorize(-7, 0.25, -1.5);
  ASSERT_TRUE(record.has_value());
  EXPECT_EQ(record->action_id_text(), "axis_-7");
  EXPECT_EQ(record->sequence_id, 1u);
  EXPECT_EQ(record->timestamp_nanos, Fakes::now);
  EXPECT_TRUE(record->is_authorized);
  EXPECT_EQ(record->receipt_hash[20], 1);
  EXPECT_EQ(boundary.state().interceptor.last_sequence_id(), 1u);
  EXPECT_EQ(boundary.state().interceptor.nonce_count(), 1u);
}

TEST_F(EdgeAuthorizerTest, LongestActionIdFits) {
  EdgeAuthorizer boundary = make();
  const auto record = boundary.authorize(std::numeric_limits<std::int32_t>::min(), 0, 0);
  ASSERT_TRUE(record.has_value());
  EXPECT_EQ(record->action_id_text(), "axis_-2147483648");
}

TEST_F(EdgeAuthorizerTest, VelocityCheckFailsClosed) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  EdgeAuthorizer boundary = make();
  EXPECT_TRUE(boundary.authorize(0, 0, 4.18).has_value());
  EXPECT_TRUE(boundary.authorize(0, 0, -4.18).has_value());
  const auto refused = boundary.authorize(0, 0, 4.19);
  ASSERT_EQ(refusal_of(refused), Outcome::VelocityExceeded);
  EXPECT_EQ(refused.error().message(), "commanded_velocity 4.19 rad/s exceeds max_velocity_rad_s 4.18 rad/s");
  EXPECT_EQ(boundary.authorize(0, 0, -nan).error().message(),
            "commanded_velocity NaN rad/s exceeds max_velocity_rad_s 4.18 rad/s");

  EdgeAuthorizer nan_limit = make(1000, nan);
  EXPECT_EQ(refusal_of(nan_limit.authorize(0, 0, 0.0)), Outcome::VelocityExceeded);
  EdgeAuthorizer negative_limit = make(1000, -1.0);
  EXPECT_EQ(refusal_of(negative_limit.authorize(0, 0, 0.0)), Outcome::VelocityExceeded);

  // Velocity refusals spend nothing.
  EXPECT_EQ(boundary.last_sequence_id(), 2u);
  EXPECT_EQ(boundary.state().window_count, 2u);
}

TEST_F(EdgeAuthorizerTest, RateWindowAdmitsAtMostTheLimitPerSecond) {
  EdgeAuthorizer boundary = make(2);
  EXPECT_EQ(boundary.authorize(0, 0, 0)->sequence_id, 1u);
  Fakes::now += 999'999'999;  // still inside the window opened at construction
  EXPECT_EQ(boundary.authorize(0, 0, 0)->sequence_id, 2u);
  EXPECT_EQ(refusal_of(boundary.authorize(0, 0, 0)), Outcome::RateLimited);
  EXPECT_EQ(boundary.state().window_count, 3u);  // the refused action still counts
  Fakes::now += 1;                               // a full second after the window's start
  const auto next = boundary.authorize(0, 0, 0);
  ASSERT_TRUE(next.has_value());
  EXPECT_EQ(next->sequence_id, 3u);  // the refusal spent no sequence id
  EXPECT_EQ(boundary.state().window_start_nanos, Fakes::now);
  EXPECT_EQ(boundary.state().window_count, 1u);
}

TEST_F(EdgeAuthorizerTest, ZeroRateLimitAdmitsNothing) {
  EdgeAuthorizer boundary = make(0);
  EXPECT_EQ(refusal_of(boundary.authorize(0, 0, 0)), Outcome::RateLimited);
  Fakes::now += 5'000'000'000;  // a new window still respects the limit
  EXPECT_EQ(refusal_of(boundary.authorize(0, 0, 0)), Outcome::RateLimited);
  EXPECT_EQ(boundary.state().window_start_nanos, Fakes::now);
  EXPECT_EQ(boundary.state().window_count, 1u);
  EXPECT_EQ(refusal_of(boundary.authorize(0, 0, 0)), Outcome::RateLimited);
  EXPECT_EQ(boundary.last_sequence_id(), 0u);
}

TEST_F(EdgeAuthorizerTest, ClockSetBackOpensANewWindow) {
  EdgeAuthorizer boundary = make(1);
  ASSERT_TRUE(boundary.authorize(0, 0, 0).has_value());
  EXPECT_EQ(refusal_of(boundary.authorize(0, 0, 0)), Outcome::RateLimited);
  Fakes::now -= 1;  // the difference wraps
  EXPECT_TRUE(boundary.authorize(0, 0, 0).has_value());
  EXPECT_EQ(boundary.state().window_start_nanos, Fakes::now);
}

TEST_F(EdgeAuthorizerTest, NonceFailureSpendsTheSequenceIdOnly) {
  EdgeAuthorizer boundary = make();
  Fakes::random = SourceMode::Fails;
  const auto failed = boundary.authorize(0, 0, 0);
  ASSERT_EQ(refusal_of(failed), Outcome::NonceFailure);
  EXPECT_EQ(failed.error().message(), "failed to generate nonce: no entropy");
  EXPECT_EQ(boundary.state().interceptor.nonce_count(), 0u);
  Fakes::random = SourceMode::Works;
  EXPECT_EQ(boundary.authorize(0, 0, 0)->sequence_id, 2u);  // not poisoned, id 1 spent
}

TEST_F(EdgeAuthorizerTest, RepeatedNonceIsRefusedByTheInterceptor) {
  EdgeAuthorizer boundary = make();
  Fakes::repeat_nonce = true;
  ASSERT_TRUE(boundary.authorize(0, 0, 0).has_value());
  const auto replay = boundary.authorize(0, 0, 0);
  ASSERT_EQ(refusal_of(replay), Outcome::ReplayNonce);
  EXPECT_EQ(boundary.state().interceptor.last_sequence_id(), 1u);
  Fakes::repeat_nonce = false;
  EXPECT_EQ(boundary.authorize(0, 0, 0)->sequence_id, 3u);
}

TEST_F(EdgeAuthorizerTest, ClockFailureUnderTheLockPoisonsTheState) {
  EdgeAuthorizer boundary = make();
  Fakes::clock = SourceMode::Fails;
  const auto fault = boundary.authorize(1, 0, 0);
  ASSERT_EQ(refusal_of(fault), Outcome::InternalFault);
  EXPECT_NE(fault.error().message().find("clock gone"), std::string::npos);
  Fakes::clock = SourceMode::Works;
  EXPECT_EQ(refusal_of(boundary.authorize(1, 0, 0)), Outcome::PoisonedState);
  EXPECT_EQ(refusal_of(boundary.authorize(1, 0, 0)), Outcome::PoisonedState);
  // The velocity check runs before the lock and still reports its own refusal.
  EXPECT_EQ(refusal_of(boundary.authorize(1, 0, 99.0)), Outcome::VelocityExceeded);
  EXPECT_EQ(boundary.last_sequence_id(), 0u);
}

TEST_F(EdgeAuthorizerTest, ExceptionUnderTheLockPoisonsTheStateAndIsReported) {
  AuthorizerConfig config;
  EdgeAuthorizer boundary(config, Fakes::now, kFakeSources);
  ASSERT_TRUE(boundary.authorize(0, 0, 0).has_value());
  Fakes::clock = SourceMode::Throws;
  const auto fault = boundary.authorize(0, 0, 0);
  ASSERT_EQ(refusal_of(fault), Outcome::InternalFault);
  EXPECT_EQ(fault.error().message(), "KelBoundary internal fault: clock exploded; the state is now poisoned");
  Fakes::clock = SourceMode::Works;
  EXPECT_EQ(refusal_of(boundary.authorize(0, 0, 0)), Outcome::PoisonedState);
}

// The replay memory is a fixed 1024 nonces whatever the configuration.
TEST_F(EdgeAuthorizerTest, ReplayWindowIsFixedAt1024Nonces) {
  const auto counting_random = [](Nonce& nonce) noexcept -> std::expected<void, std::string> {
    static std::uint64_t drawn = 0;
    ++drawn;
    std::memcpy(nonce.data(), &drawn, sizeof drawn);
    return {};
  };
  AuthorizerConfig config;
  config.rate_limit = 1'000'000;
  EdgeAuthorizer boundary(config, Fakes::now, PlatformSources{Fakes::read_clock, counting_random});
  for (int i = 0; i < 1100; ++i) ASSERT_TRUE(boundary.authorize(0, 0, 0).has_value()) << i;
  EXPECT_EQ(boundary.state().interceptor.nonce_count(), 1024u);
}

}  // namespace
