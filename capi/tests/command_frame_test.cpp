// The command signer and command gate through the C interface: results,
// what is written when, caller-owned storage and its snapshots.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <memory>
#include <string>

#include "kelvara.h"
#include "with_sources.hpp"

namespace {

constexpr std::uint64_t kSecond = 1'000'000'000;
constexpr std::array<std::uint8_t, KELVARA_KEY_SIZE> kKey = {9, 8, 7, 6, 5, 4, 3, 2, 1, 0, 1, 2, 3, 4, 5, 6,
                                                             7, 8, 9, 8, 7, 6, 5, 4, 3, 2, 1, 0, 1, 2, 3, 4};

struct Clocks {
  static inline std::uint64_t wall = 1'780'000'000 * kSecond;
  static inline std::uint64_t monotonic = kSecond;
  static std::expected<std::uint64_t, std::string> read_wall() { return wall; }
  static std::expected<std::uint64_t, std::string> read_monotonic() { return monotonic; }
};
constexpr kelvara::edge::PlatformSources kClocks{Clocks::read_wall, kelvara::edge::fill_random,
                                                 Clocks::read_monotonic};

struct SignerFree {
  void operator()(KelvaraSigner* signer) const { kelvara_signer_free(signer); }
};
using Signer = std::unique_ptr<KelvaraSigner, SignerFree>;
using Frame = std::array<std::uint8_t, KELVARA_FRAME_MAX_SIZE>;

// Heap storage for gates: each is 64 KiB.
struct GateStorage {
  std::unique_ptr<KelvaraCommandGate> gate = std::make_unique<KelvaraCommandGate>();
  KelvaraCommandGate* operator->() const { return gate.get(); }
  KelvaraCommandGate* get() const { return gate.get(); }
};

std::string code(std::int32_t result) { return kelvara_error_code(result); }

// A gate for 3 axes that knows kKey as id 4 and stream 11.
GateStorage ready_gate(std::uint64_t max_age = kSecond) {
  GateStorage storage;
  EXPECT_EQ(kelvara::capi::init_command_gate(storage.get(), 3, max_age, kClocks), KELVARA_OK);
  EXPECT_EQ(kelvara_command_gate_add_key(storage.get(), 4, kKey.data()), KELVARA_OK);
  EXPECT_EQ(kelvara_command_gate_allow_stream(storage.get(), 11), KELVARA_OK);
  return storage;
}

TEST(CCommandFrames, SignerAndGateResultsAndWhatTheyWrite) {
  const double limits[3] = {1.0, 2.0, INFINITY};
  Signer signer(kelvara::capi::new_signer(kKey.data(), 4, 11, 3, limits, 2, kClocks));
  ASSERT_NE(signer, nullptr);
  const double p[3] = {0.25, -0.5, 1e-310}, v[3] = {1.0, -2.0, 1e300};
  Frame frame;
  frame.fill(0xcc);
  std::size_t written = 999;
  auto sign = [&](const double* positions, const double* velocities,
                  std::size_t capacity = KELVARA_FRAME_MAX_SIZE) {
    return code(kelvara_signer_sign(signer.get(), positions, velocities, frame.data(), capacity, &written));
  };
  const double nan_p[3] = {0.0, NAN, 0.0}, fast_v[3] = {0.0, 2.5, 0.0};
  EXPECT_EQ(sign(nan_p, fast_v), "non_finite_value");
  EXPECT_EQ(sign(p, fast_v), "velocity_exceeded");
  EXPECT_EQ(sign(p, v, KELVARA_FRAME_SIZE(3) - 1), "frame_buffer_too_small");
  EXPECT_EQ(kelvara_signer_sign(signer.get(), p, v, frame.data(), frame.size(), nullptr),
            KELVARA_ERR_NULL_POINTER);
  EXPECT_EQ(kelvara_signer_sign(nullptr, p, v, frame.data(), frame.size(), &written),
            KELVARA_ERR_NULL_POINTER);
  EXPECT_EQ(written, 999u);
  EXPECT_TRUE(std::all_of(frame.begin(), frame.end(), [](std::uint8_t b) { return b == 0xcc; }));

  ASSERT_EQ(sign(p, v), "ok");
  EXPECT_EQ(written, std::size_t{KELVARA_FRAME_SIZE(3)});
  const Frame first = frame;
  Clocks::wall += 1;
  ASSERT_EQ(sign(p, v), "ok");
  EXPECT_EQ(sign(p, v), "rate_limited");  // two a second

  GateStorage gate = ready_gate();
  KelvaraCommand command;
  std::memset(&command, 0x5a, sizeof command);
  const KelvaraCommand untouched = command;
  auto admit = [&](const std::uint8_t* bytes, std::size_t size) {
    return code(kelvara_command_gate_admit(gate.get(), bytes, size, &command));
  };
  EXPECT_EQ(admit(first.data(), written - 1), "invalid_frame");
  Frame forged = first;
  forged[KELVARA_FRAME_HEADER_SIZE] ^= 1;
  EXPECT_EQ(admit(forged.data(), written), "authentication_failure");
  EXPECT_EQ(kelvara_command_gate_admit(gate.get(), nullptr, written, &command), KELVARA_ERR_NULL_POINTER);
  EXPECT_EQ(std::memcmp(&command, &untouched, sizeof command), 0);

  ASSERT_EQ(admit(first.data(), written), "ok");
  EXPECT_EQ(command.counter, Clocks::wall - 1);
  EXPECT_EQ(command.stream_id, 11u);
  EXPECT_EQ(command.key_id, 4);
  EXPECT_EQ(command.axes, 3);
  EXPECT_EQ(command.reserved, 0);
  EXPECT_EQ(std::memcmp(command.positions, p, sizeof p), 0);
  EXPECT_EQ(std::memcmp(command.velocities, v, sizeof v), 0);
  EXPECT_TRUE(std::all_of(command.positions + 3, command.positions + KELVARA_FRAME_MAX_AXES,
                          [](double x) { return x == 0.0; }));
  EXPECT_EQ(admit(first.data(), written), "replay_counter");
  EXPECT_EQ(admit(frame.data(), written), "ok");

  const double bad_steps[3] = {0.0, -1.0, 0.0};
  EXPECT_EQ(kelvara_command_gate_set_max_step(gate.get(), bad_steps), KELVARA_ERR_INVALID_ARGUMENT);
  EXPECT_EQ(kelvara_command_gate_set_max_step(gate.get(), nullptr), KELVARA_ERR_NULL_POINTER);

  KelvaraOutcomeCounts counts;
  ASSERT_EQ(kelvara_command_gate_stats(gate.get(), &counts), KELVARA_OK);
  EXPECT_EQ(counts.count[0], 2u);
  EXPECT_EQ(counts.count[KELVARA_ERR_INVALID_FRAME], 1u);
  EXPECT_EQ(counts.count[KELVARA_ERR_AUTHENTICATION_FAILURE], 1u);
  EXPECT_EQ(counts.count[KELVARA_ERR_REPLAY_COUNTER], 1u);
  EXPECT_EQ(kelvara_command_gate_stats(gate.get(), nullptr), KELVARA_ERR_NULL_POINTER);
  kelvara_command_gate_clear(gate.get());
}

// The coupled limit a lost packet used to break: shoulder + elbow <= 1.2,
// checked on the whole vector at the drive.
TEST(CCommandFrames, GateHoldsItsOwnCopyOfTheEnvelope) {
  const double lo[3] = {-2, -2, -2}, hi[3] = {2, 2, 2}, row[3] = {1, 1, 0}, limit = 1.2;
  const auto envelope = std::make_unique<KelvaraEnvelope>();
  ASSERT_EQ(kelvara_envelope_init(envelope.get(), 3, lo, hi, 1, row, &limit), KELVARA_OK);
  GateStorage gate = ready_gate(0);
  const auto two_axes = std::make_unique<KelvaraEnvelope>();
  ASSERT_EQ(kelvara_envelope_init(two_axes.get(), 2, lo, hi, 0, nullptr, nullptr), KELVARA_OK);
  EXPECT_EQ(kelvara_command_gate_set_envelope(gate.get(), two_axes.get()), KELVARA_ERR_INVALID_ARGUMENT);
  EXPECT_EQ(kelvara_command_gate_set_envelope(gate.get(), nullptr), KELVARA_ERR_NULL_POINTER);
  ASSERT_EQ(kelvara_command_gate_set_envelope(gate.get(), envelope.get()), KELVARA_OK);
  std::memset(envelope.get(), 0, sizeof(KelvaraEnvelope));  // the gate kept its own copy
  EXPECT_EQ(kelvara_command_gate_set_envelope(gate.get(), envelope.get()), KELVARA_ERR_INVALID_POINTER);

  const double limits[3] = {INFINITY, INFINITY, INFINITY}, v[3] = {};
  Signer signer(kelvara::capi::new_signer(kKey.data(), 4, 11, 3, limits, 1000, kClocks));
  Frame frame;
  std::size_t size = 0;
  KelvaraCommand command;
  const double inside[3] = {0.7, 0.5, -2.0}, coupled[3] = {1.0, 0.5, 0.0}, boxed[3] = {0.0, 0.0, 2.5};
  for (const auto& [p, expected] :
       {std::pair{inside, "ok"}, {coupled, "outside_envelope"}, {boxed, "outside_envelope"}}) {
    Clocks::wall += 1;
    ASSERT_EQ(kelvara_signer_sign(signer.get(), p, v, frame.data(), frame.size(), &size), KELVARA_OK);
    EXPECT_EQ(code(kelvara_command_gate_admit(gate.get(), frame.data(), size, &command)), expected);
  }
  kelvara_command_gate_clear(gate.get());
}

TEST(CCommandFrames, SignerIsMadeOnlyFromSoundArguments) {
  const double limits[33] = {1.0, 1.0};
  const double nan_limit[2] = {1.0, NAN}, negative[2] = {-1.0, 1.0};
  EXPECT_EQ(kelvara_signer_new(nullptr, 0, 0, 2, limits, 10), nullptr);
  EXPECT_EQ(kelvara_signer_new(kKey.data(), 0, 0, 2, nullptr, 10), nullptr);
  EXPECT_EQ(kelvara_signer_new(kKey.data(), 0, 0, 0, limits, 10), nullptr);
  EXPECT_EQ(kelvara_signer_new(kKey.data(), 0, 0, 33, limits, 10), nullptr);
  EXPECT_EQ(kelvara_signer_new(kKey.data(), 0, 0, 2, nan_limit, 10), nullptr);
  EXPECT_EQ(kelvara_signer_new(kKey.data(), 0, 0, 2, negative, 10), nullptr);
  EXPECT_EQ(kelvara_signer_new(kKey.data(), 0, 0, 2, limits, KELVARA_SIGNER_MAX_RATE_LIMIT + 1), nullptr);
  Signer signer(kelvara_signer_new(kKey.data(), 0, 0, 2, limits, KELVARA_SIGNER_MAX_RATE_LIMIT));
  EXPECT_NE(signer, nullptr);
  kelvara_signer_free(nullptr);
}

// The storage holds a gate only where it was initialised, and only as its
// latest state: a copy elsewhere is refused, and so is a saved copy put back
// at the same address once the gate has admitted since, for both gates. A
// gate that was never restored is never refused, however many live at once.
TEST(CCommandFrames, StorageRestoredFromASavedCopyIsRefused) {
  const double limits[3] = {INFINITY, INFINITY, INFINITY}, zeros[3] = {};
  Signer signer(kelvara::capi::new_signer(kKey.data(), 4, 11, 3, limits, 1000, kClocks));
  Frame frames[3];
  std::size_t size = 0;
  for (Frame& frame : frames) {
    Clocks::wall += 1;
    Clocks::monotonic += kSecond;
    ASSERT_EQ(kelvara_signer_sign(signer.get(), zeros, zeros, frame.data(), frame.size(), &size), KELVARA_OK);
  }
  KelvaraCommand command;
  std::array<GateStorage, 8> others;  // legitimate neighbours, admitting all along
  for (GateStorage& other : others) other = ready_gate();

  GateStorage gate = ready_gate();
  auto saved = std::make_unique<KelvaraCommandGate>(*gate.get());  // a snapshot
  ASSERT_EQ(kelvara_command_gate_admit(gate.get(), frames[0].data(), size, &command), KELVARA_OK);
  auto copy = std::make_unique<KelvaraCommandGate>(*gate.get());
  EXPECT_EQ(kelvara_command_gate_admit(copy.get(), frames[1].data(), size, &command),
            KELVARA_ERR_INVALID_POINTER);
  *gate.get() = *saved;  // restored at its own address: would admit frames[0] again
  EXPECT_EQ(kelvara_command_gate_admit(gate.get(), frames[0].data(), size, &command),
            KELVARA_ERR_RESTORED_STORAGE);
  EXPECT_EQ(kelvara_command_gate_admit(gate.get(), frames[1].data(), size, &command),
            KELVARA_ERR_RESTORED_STORAGE);
  KelvaraOutcomeCounts counts;
  ASSERT_EQ(kelvara_command_gate_stats(gate.get(), &counts), KELVARA_OK);
  EXPECT_EQ(counts.count[KELVARA_ERR_RESTORED_STORAGE], 2u);
  // Cleared and restored again: still refused, and the neighbours never noticed.
  kelvara_command_gate_clear(gate.get());
  *gate.get() = *saved;
  EXPECT_EQ(kelvara_command_gate_admit(gate.get(), frames[2].data(), size, &command),
            KELVARA_ERR_RESTORED_STORAGE);
  for (GateStorage& other : others) {
    for (const Frame& frame : frames) {
      EXPECT_EQ(kelvara_command_gate_admit(other.get(), frame.data(), size, &command), KELVARA_OK);
    }
    kelvara_command_gate_clear(other.get());
  }
  // A new gate in the same storage starts clean.
  ASSERT_EQ(kelvara_command_gate_init(gate.get(), 3, 0), KELVARA_OK);
  ASSERT_EQ(kelvara_command_gate_add_key(gate.get(), 4, kKey.data()), KELVARA_OK);
  ASSERT_EQ(kelvara_command_gate_allow_stream(gate.get(), 11), KELVARA_OK);
  EXPECT_EQ(kelvara_command_gate_admit(gate.get(), frames[0].data(), size, &command), KELVARA_OK);
  kelvara_command_gate_clear(gate.get());

  // The per-axis gate, likewise.
  const auto receipt_gate = std::make_unique<KelvaraGate>();
  ASSERT_EQ(kelvara_gate_init(receipt_gate.get(), kKey.data()), KELVARA_OK);
  KelvaraBoundary* boundary = kelvara_boundary_new(100, 1.0, kKey.data());
  ASSERT_NE(boundary, nullptr);
  std::uint8_t receipt[KELVARA_RECEIPT_SIZE];
  ASSERT_EQ(kelvara_boundary_authorize(boundary, 1, 0.5, 0.5, receipt), KELVARA_OK);
  kelvara_boundary_free(boundary);
  const auto saved_gate = std::make_unique<KelvaraGate>(*receipt_gate);
  EXPECT_EQ(kelvara_gate_admit(receipt_gate.get(), receipt, 1, 0.5, 0.5), KELVARA_OK);
  *receipt_gate = *saved_gate;
  EXPECT_EQ(kelvara_gate_admit(receipt_gate.get(), receipt, 1, 0.5, 0.5), KELVARA_ERR_RESTORED_STORAGE);
  kelvara_gate_clear(receipt_gate.get());
}

TEST(CCommandFrames, GateStorageAndConfigurationResults) {
  EXPECT_EQ(kelvara_command_gate_size(), sizeof(KelvaraCommandGate));
  GateStorage gate;
  std::memset(gate.get(), 0x77, sizeof(KelvaraCommandGate));
  EXPECT_EQ(kelvara_command_gate_init(nullptr, 3, 0), KELVARA_ERR_NULL_POINTER);
  EXPECT_EQ(kelvara_command_gate_init(gate.get(), 0, 0), KELVARA_ERR_INVALID_ARGUMENT);
  EXPECT_EQ(kelvara_command_gate_init(gate.get(), 33, 0), KELVARA_ERR_INVALID_ARGUMENT);
  EXPECT_EQ(kelvara_command_gate_allow_stream(gate.get(), 1), KELVARA_ERR_INVALID_POINTER);  // holds no gate
  auto bytes = std::make_unique<std::uint64_t[]>(kelvara_command_gate_size() / 8 + 1);
  auto* misaligned = reinterpret_cast<KelvaraCommandGate*>(reinterpret_cast<unsigned char*>(bytes.get()) + 4);
  EXPECT_EQ(kelvara_command_gate_init(misaligned, 3, 0), KELVARA_ERR_INVALID_POINTER);
  kelvara_command_gate_clear(misaligned);

  ASSERT_EQ(kelvara_command_gate_init(gate.get(), 3, 0), KELVARA_OK);
  EXPECT_EQ(kelvara_command_gate_add_key(gate.get(), 1, nullptr), KELVARA_ERR_NULL_POINTER);
  EXPECT_EQ(kelvara_command_gate_add_key(gate.get(), 1, kKey.data()), KELVARA_OK);
  EXPECT_EQ(kelvara_command_gate_add_key(gate.get(), 1, kKey.data()), KELVARA_ERR_DUPLICATE_KEY);
  kelvara_command_gate_clear(gate.get());
  EXPECT_TRUE(std::all_of(gate->opaque.bytes, gate->opaque.bytes + sizeof(KelvaraCommandGate),
                          [](unsigned char b) { return b == 0; }));
  kelvara_command_gate_clear(nullptr);
}

}  // namespace
