#include "kelvara/edge/actuator_gate.hpp"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "kelvara/edge/edge_authorizer.hpp"
#include "kelvara/edge/signed_command.hpp"
#include "kelvara/edge/test_support.hpp"
#include "kelvara/security/message_hasher.hpp"

namespace {

using namespace kelvara::edge;
using kelvara::security::HmacKeyContext;
using kelvara::security::KelError;
using kelvara::security::Key;
using kelvara::security::Nonce;
using kelvara::security::ReceiptBytes;

const Key kKey = [] {
  Key key;
  for (std::size_t i = 0; i < key.size(); ++i) key[i] = static_cast<std::uint8_t>(0xa0 + i);
  return key;
}();

using kelvara::edge::testing::FakeSources;
using kelvara::edge::testing::kFakeClock;
using kelvara::edge::testing::SourceMode;

struct Command {
  std::int32_t axis;
  double position;
  double velocity;
};

// A receipt signed by hand, for nonces and stamps the sender would never choose.
ReceiptBytes sign(const Key& key, const Nonce& nonce, std::uint64_t timestamp, std::uint64_t sequence_id,
                  const Command& command) {
  const auto receipt = kelvara::security::authorize(HmacKeyContext::from_key(key), nonce, timestamp,
                                                    sequence_id, AxisActionId(command.axis).bytes(),
                                                    command_payload(command.position, command.velocity));
  return kelvara::security::write_receipt_bytes(*receipt);
}

std::string outcome(ActuatorGate& gate, const ReceiptBytes& bytes, const Command& command) {
  const auto admitted = gate.admit(bytes, command.axis, command.position, command.velocity);
  return admitted ? "admitted" : std::string(admitted.error().code());
}

bool same_state(const ActuatorGate& a, const ActuatorGate& b) {
  return std::memcmp(&a.memory(), &b.memory(), sizeof a.memory()) == 0 &&
         a.last_sequence_id() == b.last_sequence_id();
}

// A sender's stream is admitted in order; every replay, reordering, flipped
// bit, changed command and foreign key is refused with its code and leaves the
// gate exactly as it was.
TEST(ActuatorGate, AdmitsTheSendersStreamAndRefusesEveryTampering) {
  AuthorizerConfig config;
  config.rate_limit = 1'000'000;
  config.key = kKey;
  EdgeAuthorizer sender(config, FakeSources::now);
  ActuatorGate gate(kKey);
  EXPECT_EQ(gate.last_sequence_id(), 0u);

  std::vector<std::pair<ReceiptBytes, Command>> sent;
  for (int i = 0; i < 50; ++i) {
    const Command command{i % 7 - 3, 0.01 * i, i % 2 ? -0.5 : 0.5};
    const auto record = sender.authorize(command.axis, command.position, command.velocity);
    ASSERT_TRUE(record.has_value());
    sent.emplace_back(record->receipt_hash, command);
  }
  for (std::size_t i = 0; i + 1 < sent.size(); ++i) {
    const auto& [bytes, command] = sent[i];
    const auto admitted = gate.admit(bytes, command.axis, command.position, command.velocity);
    ASSERT_TRUE(admitted.has_value()) << i;
    EXPECT_EQ(admitted->receipt_hash, bytes);
    EXPECT_EQ(admitted->sequence_id, i + 1);
    EXPECT_EQ(gate.last_sequence_id(), i + 1);
  }

  const auto& [last, command] = sent.back();
  const ActuatorGate before = gate;
  EXPECT_EQ(outcome(gate, sent[10].first, sent[10].second), "replay_counter");  // replayed
  EXPECT_EQ(outcome(gate, sent[48].first, sent[48].second), "replay_counter");  // the newest again
  for (std::size_t bit = 0; bit < 8 * last.size(); ++bit) {
    ReceiptBytes flipped = last;
    flipped[bit / 8] ^= static_cast<std::uint8_t>(1u << (bit % 8));
    const std::string got = outcome(gate, flipped, command);
    // A flip in the high bytes of the sequence id can make it older; any
    // other flip must fail the tag.
    const bool sequence_lowered = bit / 8 >= 20 && bit / 8 < 28 && (last[bit / 8] >> (bit % 8) & 1);
    EXPECT_EQ(got, sequence_lowered ? "replay_counter" : "authentication_failure") << "bit " << bit;
  }
  EXPECT_EQ(outcome(gate, last, {command.axis + 1, command.position, command.velocity}),
            "authentication_failure");
  EXPECT_EQ(outcome(gate, last, {command.axis, command.position + 1e-9, command.velocity}),
            "authentication_failure");
  EXPECT_EQ(outcome(gate, last, {command.axis, command.position, -command.velocity}),
            "authentication_failure");
  ActuatorGate stranger(Key{});
  EXPECT_EQ(outcome(stranger, last, command), "authentication_failure");
  // The nonce of an admitted receipt, re-signed under a newer sequence id.
  Nonce reused;
  std::memcpy(reused.data(), sent[30].first.data(), reused.size());
  EXPECT_EQ(outcome(gate, sign(kKey, reused, 1, 1000, command), command), "replay_nonce");
  EXPECT_TRUE(same_state(gate, before));

  EXPECT_EQ(outcome(gate, last, command), "admitted");  // unharmed by all of the above
  EXPECT_EQ(gate.last_sequence_id(), 50u);
}

TEST(ActuatorGate, FreshnessIsCheckedAfterTheTagAgainstTheGatesClock) {
  FakeSources::reset(10'000'000'000);
  ActuatorGate gate(kKey, kFakeClock);
  const Command command{2, 0.5, 1.0};
  const Nonce nonce{1};
  // Freshness is off until a maximum age is set: any timestamp passes.
  EXPECT_EQ(outcome(gate, sign(kKey, nonce, 0, 1, command), command), "admitted");

  gate.set_max_age_nanos(1'000'000'000);
  const std::uint64_t now = FakeSources::now;
  EXPECT_EQ(outcome(gate, sign(kKey, Nonce{2}, now - 1'000'000'000, 2, command), command), "admitted");
  EXPECT_EQ(outcome(gate, sign(kKey, Nonce{3}, now + 1'000'000'000, 3, command), command), "admitted");
  const ActuatorGate before = gate;
  const auto behind = gate.admit(sign(kKey, Nonce{4}, now - 2'500'000'000, 4, command), 2, 0.5, 1.0);
  ASSERT_FALSE(behind.has_value());
  EXPECT_EQ(behind.error().code(), "stale_receipt");
  EXPECT_EQ(behind.error().message(), "receipt is 2.5 s old, beyond max_age_s 1 s");
  const auto ahead = gate.admit(sign(kKey, Nonce{4}, UINT64_MAX, 4, command), 2, 0.5, 1.0);
  ASSERT_FALSE(ahead.has_value());
  EXPECT_EQ(ahead.error().code(), "stale_receipt");
  EXPECT_NE(ahead.error().message().find("ahead of the gate's clock"), std::string::npos);
  // A forged stale receipt is a forgery first: the clock never sees its bytes.
  ReceiptBytes forged = sign(kKey, Nonce{4}, 0, 4, command);
  forged[59] ^= 1;
  EXPECT_EQ(outcome(gate, forged, command), "authentication_failure");
  // A clock that fails refuses without changing anything.
  FakeSources::clock = SourceMode::Fails;
  EXPECT_EQ(outcome(gate, sign(kKey, Nonce{4}, now, 4, command), command), "clock_failure");
  FakeSources::clock = SourceMode::Throws;
  EXPECT_EQ(outcome(gate, sign(kKey, Nonce{4}, now, 4, command), command), "clock_failure");
  FakeSources::clock = SourceMode::Works;
  EXPECT_TRUE(same_state(gate, before));
  EXPECT_EQ(outcome(gate, sign(kKey, Nonce{4}, now, 4, command), command), "admitted");
}

}  // namespace
