// The C interface as a C caller meets it: a result code for every refusal
// path, null pointers, caller-owned gate storage, receipts crossing between the
// C faces and the edge library, and no exception ever leaving a call.
#include "kelvara.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <limits>
#include <memory>
#include <random>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "kelvara/edge/actuator_gate.hpp"
#include "kelvara/edge/edge_authorizer.hpp"
#include "kelvara/edge/signed_command.hpp"
#include "kelvara/edge/test_support.hpp"
#include "kelvara/security/message_hasher.hpp"
#include "kelvara/security/outcome.hpp"
#include "result_code.hpp"
#include "with_sources.hpp"

namespace {

using kelvara::edge::Outcome;
using kelvara::edge::PlatformSources;
using kelvara::edge::Refusal;
using kelvara::security::KelError;
using kelvara::security::Nonce;
using kelvara::security::OutcomeRow;
using Receipt = std::array<std::uint8_t, KELVARA_RECEIPT_SIZE>;

constexpr std::array<std::uint8_t, KELVARA_KEY_SIZE> kKey = {7, 1, 4, 1, 5, 9, 2, 6, 5, 3, 5, 8, 9, 7, 9, 3,
                                                             2, 3, 8, 4, 6, 2, 6, 4, 3, 3, 8, 3, 2, 7, 9, 5};

using Fakes = kelvara::edge::testing::FakeSources;
using kelvara::edge::testing::kFakeSources;
using kelvara::edge::testing::SourceMode;

struct BoundaryFree {
  void operator()(KelvaraBoundary* boundary) const { kelvara_boundary_free(boundary); }
};
using Boundary = std::unique_ptr<KelvaraBoundary, BoundaryFree>;

Boundary fake_boundary(std::uint64_t rate_limit, double max_velocity) {
  return Boundary(kelvara::capi::new_boundary(rate_limit, max_velocity, kKey.data(), kFakeSources));
}

std::string code_text(std::int32_t result) { return kelvara_error_code(result); }

bool all_zero(const KelvaraGate& gate) {
  return std::all_of(gate.opaque.bytes, gate.opaque.bytes + sizeof gate, [](auto b) { return b == 0; });
}

std::uint64_t sequence_id_of(const Receipt& receipt) {
  std::uint64_t id = 0;
  for (int i = 7; i >= 0; --i) id = id << 8 | receipt[KELVARA_RECEIPT_SEQUENCE_OFFSET + i];
  return id;
}

// A receipt signed by hand, for nonces and stamps a boundary would never choose.
Receipt sign(const Nonce& nonce, std::uint64_t timestamp, std::uint64_t sequence_id, std::int32_t axis) {
  const auto receipt = kelvara::security::authorize(
      kelvara::security::HmacKeyContext::from_key(kKey), nonce, timestamp, sequence_id,
      kelvara::edge::AxisActionId(axis).bytes(), kelvara::edge::command_payload(0.5, 1.0));
  return kelvara::security::write_receipt_bytes(*receipt);
}

class CInterface : public ::testing::Test {
 protected:
  void SetUp() override { Fakes::reset(50'000'000'000); }
};

// Each refusal of the boundary has its code, leaves receipt_out untouched and
// spends nothing a later success would notice; a fault poisons the boundary.
TEST_F(CInterface, BoundaryRefusalsHaveTheirCodesAndWriteNoReceipt) {
  const Boundary boundary = fake_boundary(2, 1.0);
  ASSERT_NE(boundary, nullptr);
  const Receipt untouched = [] {
    Receipt r;
    r.fill(0xA5);
    return r;
  }();
  Receipt receipt = untouched;
  const double nan = std::numeric_limits<double>::quiet_NaN();
  // Every outcome is counted at its result, and only there.
  KelvaraOutcomeCounts expected{}, counts{};
  auto authorize = [&](double velocity) {
    const std::int32_t result = kelvara_boundary_authorize(boundary.get(), 3, 0.25, velocity, receipt.data());
    expected.count[result] += 1;
    EXPECT_EQ(kelvara_boundary_stats(boundary.get(), &counts), KELVARA_OK);
    EXPECT_EQ(std::memcmp(&counts, &expected, sizeof counts), 0) << code_text(result);
    return result;
  };
  EXPECT_EQ(kelvara_boundary_stats(nullptr, &counts), KELVARA_ERR_NULL_POINTER);
  EXPECT_EQ(kelvara_boundary_stats(boundary.get(), nullptr), KELVARA_ERR_NULL_POINTER);

  EXPECT_EQ(authorize(1.5), KELVARA_ERR_VELOCITY_EXCEEDED);
  EXPECT_EQ(authorize(nan), KELVARA_ERR_VELOCITY_EXCEEDED);
  EXPECT_EQ(kelvara_boundary_authorize(nullptr, 3, 0.25, 0.5, receipt.data()), KELVARA_ERR_NULL_POINTER);
  EXPECT_EQ(kelvara_boundary_authorize(boundary.get(), 3, 0.25, 0.5, nullptr), KELVARA_ERR_NULL_POINTER);
  EXPECT_EQ(receipt, untouched);

  ASSERT_EQ(authorize(-1.0), KELVARA_OK);
  EXPECT_EQ(sequence_id_of(receipt), 1u);
  ASSERT_EQ(authorize(0.5), KELVARA_OK);
  EXPECT_EQ(sequence_id_of(receipt), 2u);
  const Receipt second = receipt;
  EXPECT_EQ(authorize(0.5), KELVARA_ERR_RATE_LIMITED);

  Fakes::now += 1'000'000'000;  // a new rate window
  Fakes::random = SourceMode::Fails;
  EXPECT_EQ(authorize(0.5), KELVARA_ERR_NONCE_FAILURE);  // spends sequence id 3
  Fakes::random = SourceMode::Works;
  EXPECT_EQ(receipt, second);
  ASSERT_EQ(authorize(0.5), KELVARA_OK);
  EXPECT_EQ(sequence_id_of(receipt), 4u);

  // A source that throws is a fault the boundary reports, and it stays poisoned.
  Fakes::now += 1'000'000'000;
  Fakes::random = SourceMode::Throws;
  EXPECT_EQ(authorize(0.5), KELVARA_ERR_INTERNAL_FAULT);
  Fakes::random = SourceMode::Works;
  EXPECT_EQ(authorize(0.5), KELVARA_ERR_POISONED_STATE);
  EXPECT_EQ(counts.count[KELVARA_OK], 3u);
  EXPECT_EQ(counts.count[KELVARA_ERR_VELOCITY_EXCEEDED], 2u);
}

TEST_F(CInterface, BoundaryIsMadeOnlyWithAKeyAndAClock) {
  EXPECT_EQ(kelvara_boundary_new(10, 1.0, nullptr), nullptr);
  Fakes::clock = SourceMode::Fails;
  EXPECT_EQ(fake_boundary(10, 1.0), nullptr);
  Fakes::clock = SourceMode::Throws;
  EXPECT_EQ(fake_boundary(10, 1.0), nullptr);
  Fakes::clock = SourceMode::Works;
  kelvara_boundary_free(nullptr);

  // A clock lost after construction is a fault under the lock: poisoned.
  const Boundary boundary = fake_boundary(10, 1.0);
  Receipt receipt{};
  Fakes::clock = SourceMode::Fails;
  EXPECT_EQ(kelvara_boundary_authorize(boundary.get(), 0, 0, 0, receipt.data()), KELVARA_ERR_INTERNAL_FAULT);
  Fakes::clock = SourceMode::Works;
  EXPECT_EQ(kelvara_boundary_authorize(boundary.get(), 0, 0, 0, receipt.data()), KELVARA_ERR_POISONED_STATE);
}

// The bytes at which two gates' storage differs lie within one aligned
// 8-byte word: one counter, and nothing else, changed.
bool differ_in_one_word(const KelvaraGate& a, const KelvaraGate& b) {
  const auto* x = reinterpret_cast<const unsigned char*>(&a);
  const auto* y = reinterpret_cast<const unsigned char*>(&b);
  std::size_t words = 0;
  for (std::size_t at = 0; at < sizeof(KelvaraGate); at += 8) words += std::memcmp(x + at, y + at, 8) != 0;
  return words == 1;
}

std::array<std::uint64_t, KELVARA_OUTCOME_SLOTS> gate_counts(const KelvaraGate& gate) {
  KelvaraOutcomeCounts counts{};
  EXPECT_EQ(kelvara_gate_stats(&gate, &counts), KELVARA_OK);
  return std::to_array(counts.count);
}

// Each refusal of the gate has its code, is counted at it, and leaves every
// other byte of the storage as it was; the genuine receipt is admitted afterwards.
TEST_F(CInterface, GateRefusalsHaveTheirCodesAndChangeNothingButTheirCount) {
  KelvaraGate gate;
  ASSERT_EQ(kelvara::capi::init_gate(&gate, kKey.data(), kFakeSources), KELVARA_OK);
  ASSERT_EQ(kelvara_gate_admit(&gate, sign(Nonce{1}, 0, 5, 2).data(), 2, 0.5, 1.0), KELVARA_OK);
  ASSERT_EQ(kelvara_gate_set_max_age(&gate, 1'000'000'000), KELVARA_OK);
  EXPECT_EQ(kelvara_gate_last_sequence_id(&gate), 5u);

  const Receipt genuine = sign(Nonce{2}, Fakes::now, 6, 2);
  KelvaraGate before = gate;  // bytes to compare with, never used as a gate
  auto admit = [&](const Receipt& receipt, std::int32_t axis = 2, double velocity = 1.0) {
    auto expected = gate_counts(gate);
    const std::int32_t result = kelvara_gate_admit(&gate, receipt.data(), axis, 0.5, velocity);
    expected[static_cast<std::size_t>(result)] += 1;
    EXPECT_EQ(gate_counts(gate), expected) << code_text(result);
    EXPECT_TRUE(differ_in_one_word(gate, before)) << code_text(result);
    std::memcpy(&before, &gate, sizeof gate);
    return result;
  };
  Receipt forged = genuine;
  forged[KELVARA_RECEIPT_TAG_OFFSET + 31] ^= 0x80;
  EXPECT_EQ(admit(forged), KELVARA_ERR_AUTHENTICATION_FAILURE);
  EXPECT_EQ(admit(genuine, 3), KELVARA_ERR_AUTHENTICATION_FAILURE);
  EXPECT_EQ(admit(genuine, 2, -1.0), KELVARA_ERR_AUTHENTICATION_FAILURE);
  EXPECT_EQ(admit(sign(Nonce{3}, Fakes::now, 5, 2)), KELVARA_ERR_REPLAY_COUNTER);
  EXPECT_EQ(admit(sign(Nonce{1}, Fakes::now, 9, 2)), KELVARA_ERR_REPLAY_NONCE);
  EXPECT_EQ(admit(sign(Nonce{3}, Fakes::now - 1'000'000'001, 9, 2)), KELVARA_ERR_STALE_RECEIPT);
  EXPECT_EQ(admit(sign(Nonce{3}, Fakes::now + 1'000'000'001, 9, 2)), KELVARA_ERR_STALE_RECEIPT);
  Fakes::clock = SourceMode::Fails;
  EXPECT_EQ(admit(genuine), KELVARA_ERR_CLOCK_FAILURE);
  Fakes::clock = SourceMode::Throws;
  EXPECT_EQ(admit(genuine), KELVARA_ERR_CLOCK_FAILURE);
  Fakes::clock = SourceMode::Works;
  EXPECT_EQ(kelvara_gate_admit(&gate, nullptr, 2, 0.5, 1.0), KELVARA_ERR_NULL_POINTER);
  EXPECT_EQ(kelvara_gate_admit(nullptr, genuine.data(), 2, 0.5, 1.0), KELVARA_ERR_NULL_POINTER);

  // A forked child holds a copy of the gate: it must not admit what the parent will.
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    _exit(kelvara_gate_admit(&gate, genuine.data(), 2, 0.5, 1.0) == KELVARA_ERR_OTHER_PROCESS ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);

  EXPECT_EQ(kelvara_gate_admit(&gate, genuine.data(), 2, 0.5, 1.0), KELVARA_OK);
  EXPECT_EQ(kelvara_gate_last_sequence_id(&gate), 6u);
  EXPECT_EQ(kelvara_gate_set_max_age(&gate, 0), KELVARA_OK);  // off: any stamp passes
  EXPECT_EQ(kelvara_gate_admit(&gate, sign(Nonce{4}, 0, 7, 2).data(), 2, 0.5, 1.0), KELVARA_OK);

  // Three admissions and nine refusals; NULL arguments are not counted.
  const auto counts = gate_counts(gate);
  EXPECT_EQ(counts[KELVARA_OK], 3u);
  EXPECT_EQ(counts[KELVARA_ERR_AUTHENTICATION_FAILURE], 3u);
  EXPECT_EQ(counts[KELVARA_ERR_STALE_RECEIPT], 2u);
  EXPECT_EQ(counts[KELVARA_ERR_CLOCK_FAILURE], 2u);
  std::uint64_t total = 0;
  for (const std::uint64_t count : counts) total += count;
  EXPECT_EQ(total, 12u);
  KelvaraOutcomeCounts untouched;
  std::memset(&untouched, 0xA5, sizeof untouched);
  KelvaraOutcomeCounts out = untouched;
  EXPECT_EQ(kelvara_gate_stats(&gate, nullptr), KELVARA_ERR_NULL_POINTER);
  kelvara_gate_clear(&gate);
  EXPECT_EQ(kelvara_gate_stats(&gate, &out), KELVARA_ERR_INVALID_POINTER);
  EXPECT_EQ(std::memcmp(&out, &untouched, sizeof out), 0);
}

// The storage holds a gate only where it was initialised: never initialised,
// misaligned, copied or cleared storage is refused, never used.
TEST_F(CInterface, GateStorageIsUsableOnlyWhereItWasInitialised) {
  EXPECT_EQ(kelvara_gate_size(), sizeof(KelvaraGate));
  EXPECT_EQ(sizeof(KelvaraGate), std::size_t{KELVARA_GATE_SIZE});
  const Receipt first = sign(Nonce{1}, 0, 1, 0);

  KelvaraGate gate{};  // zeroed, as static storage would be
  EXPECT_EQ(kelvara_gate_admit(&gate, first.data(), 0, 0.5, 1.0), KELVARA_ERR_INVALID_POINTER);
  EXPECT_EQ(kelvara_gate_set_max_age(&gate, 1), KELVARA_ERR_INVALID_POINTER);
  EXPECT_EQ(kelvara_gate_set_max_age(nullptr, 1), KELVARA_ERR_NULL_POINTER);
  EXPECT_EQ(kelvara_gate_last_sequence_id(&gate), 0u);
  EXPECT_EQ(kelvara_gate_last_sequence_id(nullptr), 0u);
  EXPECT_EQ(kelvara_gate_init(nullptr, kKey.data()), KELVARA_ERR_NULL_POINTER);
  EXPECT_EQ(kelvara_gate_init(&gate, nullptr), KELVARA_ERR_NULL_POINTER);

  // Storage from an FFI caller, one byte off alignment.
  auto bytes = std::make_unique<std::uint64_t[]>(kelvara_gate_size() / 8 + 1);
  auto* misaligned = reinterpret_cast<KelvaraGate*>(reinterpret_cast<unsigned char*>(bytes.get()) + 1);
  EXPECT_EQ(kelvara_gate_init(misaligned, kKey.data()), KELVARA_ERR_INVALID_POINTER);
  EXPECT_EQ(kelvara_gate_admit(misaligned, first.data(), 0, 0.5, 1.0), KELVARA_ERR_INVALID_POINTER);
  kelvara_gate_clear(misaligned);

  ASSERT_EQ(kelvara_gate_init(&gate, kKey.data()), KELVARA_OK);
  KelvaraGate copy = gate;  // would admit the receipt a second time
  ASSERT_EQ(kelvara_gate_admit(&gate, first.data(), 0, 0.5, 1.0), KELVARA_OK);
  EXPECT_EQ(kelvara_gate_admit(&copy, first.data(), 0, 0.5, 1.0), KELVARA_ERR_INVALID_POINTER);
  kelvara_gate_clear(&copy);  // a copy holds the key too: wiped all the same
  EXPECT_TRUE(all_zero(copy));

  // Initialising again starts afresh with the new key; clearing wipes every byte.
  ASSERT_EQ(kelvara_gate_init(&gate, kKey.data()), KELVARA_OK);
  EXPECT_EQ(kelvara_gate_last_sequence_id(&gate), 0u);
  EXPECT_EQ(kelvara_gate_admit(&gate, first.data(), 0, 0.5, 1.0), KELVARA_OK);
  kelvara_gate_clear(&gate);
  EXPECT_TRUE(all_zero(gate));
  EXPECT_EQ(kelvara_gate_admit(&gate, first.data(), 0, 0.5, 1.0), KELVARA_ERR_INVALID_POINTER);
  kelvara_gate_clear(nullptr);
}

// Every refusal reaches C as its outcome's number, whose texts are the
// refusal's own code and summary; every other number is unknown.
TEST(CResultCodes, EveryRefusalReachesCAsItsOutcome) {
  std::vector<Refusal> refusals = {
      Refusal::velocity_exceeded(5, 4), Refusal::rate_limited(),           Refusal::stale_receipt(1, 2, 0),
      Refusal::poisoned("X"),           Refusal::nonce_failure("n"),       Refusal::other_process("X"),
      Refusal::clock_failure("c"),      Refusal::internal_fault("X", "f"), Refusal::stale_frame(1, 2, 0),
      Refusal::non_finite_value(0),     Refusal::step_exceeded(0, 1, 0),   Refusal::invalid_argument("x"),
  };
  for (const Outcome outcome : {Outcome::InvalidFrame, Outcome::UnknownKey, Outcome::UnknownStream,
                                Outcome::OutsideEnvelope, Outcome::FrameBufferTooSmall, Outcome::DuplicateKey,
                                Outcome::StreamTableFull, Outcome::RestoredStorage}) {
    refusals.push_back(Refusal::of(outcome));
  }
  for (std::uint8_t n = 1; n <= kelvara::security::kKelErrorKinds; ++n) {
    refusals.push_back(Refusal::security(static_cast<KelError>(n)));
  }
  std::set<std::int32_t> seen;
  for (const Refusal& refusal : refusals) {
    const std::int32_t result = kelvara::capi::result_code(refusal);
    const OutcomeRow* row = kelvara::security::find_outcome(result);
    ASSERT_NE(row, nullptr) << refusal.code();
    EXPECT_TRUE(seen.insert(result).second) << result;
    EXPECT_EQ(kelvara_error_code(result), refusal.code());
    EXPECT_EQ(kelvara_error_message(result), row->message);
    // Python shows a refusal as KelViolation and a fault as RuntimeError by the same column.
    EXPECT_EQ(refusal.is_violation(), row->kind == kelvara::security::OutcomeKind::Refusal) << result;
  }
  // Every row but invalid_envelope, the C interface's own refusal of an envelope.
  std::set<std::int32_t> edge_rows;
  for (const OutcomeRow& row : kelvara::security::kOutcomeRows) {
    if (row.number != KELVARA_ERR_INVALID_ENVELOPE) edge_rows.insert(row.number);
  }
  EXPECT_EQ(seen, edge_rows);
  EXPECT_EQ(KELVARA_ERR_REPLAY_NONCE, 8);
  EXPECT_EQ(KELVARA_ERR_INTERNAL_FAULT, 17);
  EXPECT_EQ(code_text(KELVARA_ERR_VELOCITY_EXCEEDED), "velocity_exceeded");
  EXPECT_STREQ(kelvara_error_message(KELVARA_ERR_RATE_LIMITED), Refusal::rate_limited().message().c_str());
  EXPECT_STREQ(kelvara_error_message(KELVARA_ERR_INVALID_POINTER), "null or misaligned pointer");
  EXPECT_EQ(code_text(KELVARA_OK), "ok");
  EXPECT_EQ(code_text(KELVARA_ERR_NULL_POINTER), "null_pointer");
  using Limits = std::numeric_limits<std::int32_t>;
  std::vector<std::int32_t> unknowns = {Limits::min(), Limits::max(), -2};
  for (std::int32_t n = 1; n <= 64; ++n) {
    if (kelvara::security::find_outcome(n) == nullptr) unknowns.push_back(n);
  }
  for (std::int32_t unknown : unknowns) {
    EXPECT_EQ(code_text(unknown), "unknown_error") << unknown;
    EXPECT_STREQ(kelvara_error_message(unknown), "unknown result code");
  }
}

// Receipts cross freely between the C faces and the edge library: a random
// stream from either sender, delivered genuine, replayed, forged or sent with
// another command, is judged alike by a C gate and an edge gate.
TEST(CInterop, EitherSendersStreamIsJudgedAlikeByTheCAndEdgeGates) {
  std::mt19937_64 random(20240611);
  kelvara::edge::AuthorizerConfig config{.rate_limit = 1'000'000, .max_velocity_rad_s = 4.0, .key = kKey};
  kelvara::edge::EdgeAuthorizer edge_sender(config, *kelvara::edge::wall_clock_nanos());
  const Boundary c_sender(kelvara_boundary_new(1'000'000, 4.0, kKey.data()));
  ASSERT_NE(c_sender, nullptr);

  for (const bool from_c : {true, false}) {
    KelvaraGate c_gate;
    ASSERT_EQ(kelvara_gate_init(&c_gate, kKey.data()), KELVARA_OK);
    kelvara::edge::ActuatorGate edge_gate(kKey);
    struct Sent {
      Receipt receipt;
      std::int32_t axis;
      double velocity;
    };
    std::vector<Sent> sent;
    std::array<int, 18> outcomes{};
    for (int step = 0; step < 400; ++step) {
      Sent command{{}, static_cast<std::int32_t>(random() % 9) - 4, static_cast<double>(random() % 7) - 3.0};
      if (from_c) {
        ASSERT_EQ(kelvara_boundary_authorize(c_sender.get(), command.axis, 0.5, command.velocity,
                                             command.receipt.data()),
                  KELVARA_OK);
      } else {
        const auto record = edge_sender.authorize(command.axis, 0.5, command.velocity);
        ASSERT_TRUE(record.has_value());
        command.receipt = record->receipt_hash;
      }
      sent.push_back(command);
      Sent delivered = command;
      switch (random() % 5) {
        case 0: delivered = sent[random() % sent.size()]; break;  // replayed (or genuine, if the newest)
        case 1: delivered.receipt[random() % KELVARA_RECEIPT_SIZE] ^= std::uint8_t(1u << random() % 8); break;
        case 2: delivered.axis += 1; break;
        default: break;  // genuine
      }
      const std::int32_t c_result =
          kelvara_gate_admit(&c_gate, delivered.receipt.data(), delivered.axis, 0.5, delivered.velocity);
      const auto edge_result = edge_gate.admit(delivered.receipt, delivered.axis, 0.5, delivered.velocity);
      ASSERT_EQ(code_text(c_result), edge_result ? "ok" : edge_result.error().code()) << step;
      ASSERT_GE(c_result, 0);
      outcomes[c_result] += 1;
      EXPECT_EQ(kelvara_gate_last_sequence_id(&c_gate), edge_gate.last_sequence_id());
    }
    EXPECT_GT(outcomes[KELVARA_OK], 100) << from_c;
    EXPECT_GT(outcomes[KELVARA_ERR_AUTHENTICATION_FAILURE], 50) << from_c;
    EXPECT_GT(outcomes[KELVARA_ERR_REPLAY_COUNTER], 10) << from_c;
    kelvara_gate_clear(&c_gate);
  }
}

TEST(CVersion, LibraryAndHeaderAgree) {
  EXPECT_STREQ(kelvara_version(), KELVARA_VERSION_STRING);
  EXPECT_EQ(std::to_string(KELVARA_VERSION_MAJOR) + "." + std::to_string(KELVARA_VERSION_MINOR) + "." +
                std::to_string(KELVARA_VERSION_PATCH),
            KELVARA_VERSION_STRING);
}

}  // namespace
