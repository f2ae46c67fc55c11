// Writes the official command frame test vectors (docs/test-vectors/frames.json)
// from the real signing path: a CommandSigner per key id, stream and axis
// count, on fixed clocks. Every negative case is checked against a real
// CommandGate in the state it describes before it is written, so the file
// never claims a refusal the gate does not make. With --check FILE it
// compares instead of writing, so a test can prove the checked-in vectors are
// what the code signs and refuses today.
#include <bit>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <limits>
#include <map>
#include <memory>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <string>
#include <tuple>
#include <vector>

#include "kelvara/core/envelope.hpp"
#include "kelvara/edge/command_gate.hpp"
#include "kelvara/edge/command_signer.hpp"
#include "kelvara/security/byte_codec.hpp"
#include "kelvara/security/command_frame.hpp"

namespace {

using namespace kelvara;
using Bytes = std::vector<std::uint8_t>;
using Values = std::vector<double>;

constexpr double kMax = std::numeric_limits<double>::max();
constexpr double kTiny = std::numeric_limits<double>::denorm_min();
constexpr double kMin = std::numeric_limits<double>::min();
const double kLargestSubnormal = std::bit_cast<double>(std::uint64_t{0x000fffffffffffff});
constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr std::uint64_t kEpoch = 1'765'000'000'000'000'000u;  // the fixed clocks start here
constexpr std::uint64_t kSecond = 1'000'000'000u;

// The fixed sources: every frame is signed at the time the generator sets.
struct FixedClock {
  static inline std::uint64_t now = 0;
  static std::expected<std::uint64_t, std::string> wall() noexcept { return now; }
  static std::expected<std::uint64_t, std::string> monotonic() noexcept { return now - kEpoch; }
  static std::expected<void, std::string> no_nonce(security::Nonce&) noexcept {
    return std::unexpected(std::string("frames carry no nonce"));
  }
};
const edge::PlatformSources kFixed{FixedClock::wall, FixedClock::no_nonce, FixedClock::monotonic};

// Three keys; key id 255 holds the same key as id 0 (one key under two ids).
security::Key key_of(std::uint8_t key_id) {
  security::Key key{};
  for (std::size_t i = 0; i < key.size(); ++i) {
    switch (key_id) {
      case 0:
      case 255: key[i] = static_cast<std::uint8_t>(i); break;  // 00 01 .. 1f
      case 1: key[i] = 0xff; break;
      default: key[i] = static_cast<std::uint8_t>(0x5a ^ (i * 37 + 11)); break;
    }
  }
  return key;
}

struct Case {
  std::uint8_t key_id;
  std::uint32_t stream_id;
  Values positions;
  Values velocities;
};

Values ramp(std::size_t n, double start, double step) {
  Values v(n);
  for (std::size_t i = 0; i < n; ++i) v[i] = start + step * static_cast<double>(i);
  return v;
}

Values pattern32() {
  const double items[] = {-0.0, kTiny, -kLargestSubnormal, kMax, -kMax, kMin, 0.0, 1e-300};
  Values v(32);
  for (std::size_t i = 0; i < v.size(); ++i) v[i] = items[i % 8];
  return v;
}

const std::vector<Case> kCases = {
    {0, 1, {0.0}, {0.0}},
    {1, 1, {-0.0}, {-0.0}},
    {200, 0xffffffffu, {kMax}, {-kMax}},
    {0, 7, {0.1, 0.2, -0.3, 0.4}, {1.0, -1.0, 0.5, -0.5}},
    {255, 7, {kTiny, -kTiny, kLargestSubnormal, kMin}, {-kLargestSubnormal, kTiny, -0.0, 0.0}},
    {1, 0, {-kMax, kMax, -0.0, 0.0}, {0.0, 0.0, 0.0, 0.0}},
    {0, 7, {0.0, -0.5, 1.2, 0.0, 0.3, -1.57, 0.0}, {0.1, 0.0, -0.2, 0.0, 0.0, 0.05, 0.0}},
    {0, 7, {0.0001, -0.5, 1.1998, 0.0, 0.3, -1.56995, 0.0}, {0.1, 0.0, -0.2, 0.0, 0.0, 0.05, 0.0}},
    {200, 8, {-0.0, kTiny, 2.5, -2.5, 1e-310, 3.14159, -0.0}, {0.0, -0.0, 1.0, -1.0, kTiny, 0.0, 0.5}},
    {255, 1, {1e300, -1e300, kMax, -kMax, 1e-300, 0.5, 7.0}, {kMax, -kMax, 1.0, 2.0, 3.0, 4.0, 5.0}},
    {0, 1, ramp(32, -0.16, 0.01), ramp(32, 0.5, -0.03125)},
    {1, 2, pattern32(), ramp(32, -1.0, 0.0625)},
    {200, 0xffffffffu, ramp(32, 1e-3, 1e-3), pattern32()},
};

std::string hex(std::span<const std::uint8_t> bytes) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string out;
  for (std::uint8_t b : bytes) {
    out += kDigits[b >> 4];
    out += kDigits[b & 15];
  }
  return out;
}

std::string bits_list(const Values& values) {
  std::string out = "[";
  for (std::size_t i = 0; i < values.size(); ++i) {
    char text[21];
    std::snprintf(text, sizeof text, "\"%016llx\"",
                  static_cast<unsigned long long>(std::bit_cast<std::uint64_t>(values[i])));
    out += (i ? ", " : "") + std::string(text);
  }
  return out + "]";
}

// Signs every positive case with a signer per key id, stream and axis count,
// the clock a millisecond and a bit further on for each.
std::vector<Bytes> sign_cases() {
  std::map<std::tuple<std::uint8_t, std::uint32_t, std::size_t>, std::unique_ptr<edge::CommandSigner>>
      signers;
  std::vector<Bytes> frames;
  for (std::size_t i = 0; i < kCases.size(); ++i) {
    const Case& c = kCases[i];
    auto& signer = signers[{c.key_id, c.stream_id, c.positions.size()}];
    if (!signer) {
      edge::SignerConfig config{.key = key_of(c.key_id),
                                .key_id = c.key_id,
                                .stream_id = c.stream_id,
                                .axes = c.positions.size(),
                                .max_velocity_rad_s = {},
                                .rate_limit = edge::kMaxSignerRateLimit};
      config.max_velocity_rad_s.fill(kInf);
      signer = std::make_unique<edge::CommandSigner>(config, kFixed);
    }
    FixedClock::now = kEpoch + 1'000'003u * (i + 1);
    Bytes frame(security::kFrameMaxSize);
    const auto size = signer->sign(c.positions, c.velocities, frame);
    if (!size) throw std::runtime_error("the signer refused case " + std::to_string(i));
    frame.resize(*size);
    frames.push_back(std::move(frame));
  }
  return frames;
}

// A frame written directly, for values no signer signs (not finite) and
// counters no clock of ours gives.
Bytes write_frame(std::uint8_t key_id, std::uint32_t stream_id, std::uint64_t counter,
                  const Values& positions, const Values& velocities) {
  Bytes frame(security::kFrameMaxSize);
  const security::FrameHeader header{.key_id = key_id,
                                     .stream_id = stream_id,
                                     .counter = counter,
                                     .axes = static_cast<std::uint16_t>(positions.size())};
  const auto size = security::write_frame(security::HmacKeyContext::from_key(key_of(key_id)), header,
                                          positions, velocities, frame);
  if (!size) throw std::runtime_error("a frame could not be written");
  frame.resize(*size);
  return frame;
}

struct EnvelopeSpec {
  Values min_bound, max_bound;
  std::vector<Values> rows;
  Values limits;
};

// The state a negative case is checked against: the gate's configuration,
// its clock, and the frames it admitted before (in order).
struct GateState {
  std::size_t axes = 7;
  std::vector<std::uint8_t> key_ids{0};
  std::vector<std::uint32_t> streams{7};
  std::uint64_t max_age_nanos = 0;  // 0: freshness off
  std::uint64_t now_nanos = 0;      // the gate's wall clock, when freshness is on
  std::optional<EnvelopeSpec> envelope;
  std::optional<Values> max_step;
  std::vector<Bytes> admitted_before;
};

struct Negative {
  const char* refusal;
  std::string what;
  GateState gate;
  Bytes frame;
};

std::string refusal_of(const GateState& state, const Bytes& frame) {
  FixedClock::now = state.now_nanos;
  edge::CommandGate gate(state.axes, state.max_age_nanos, kFixed);
  for (std::uint8_t id : state.key_ids) (void)gate.add_key(id, key_of(id));
  for (std::uint32_t stream : state.streams) (void)gate.allow_stream(stream);
  if (state.envelope) {
    const EnvelopeSpec& e = *state.envelope;
    Values coefficients;
    for (const Values& row : e.rows) coefficients.insert(coefficients.end(), row.begin(), row.end());
    const auto made = core::Envelope::make(state.axes, e.min_bound.data(), e.max_bound.data(), e.rows.size(),
                                           coefficients.data(), e.limits.data());
    if (!made || !gate.set_envelope(*made)) throw std::runtime_error("a vector's envelope is invalid");
  }
  if (state.max_step && !gate.set_max_step(*state.max_step)) throw std::runtime_error("bad step limits");
  edge::Command command;
  for (const Bytes& before : state.admitted_before) {
    if (auto admitted = gate.admit(before, command); !admitted) {
      throw std::runtime_error("a frame admitted before was refused: " +
                               std::string(admitted.error().code()));
    }
  }
  const auto outcome = gate.admit(frame, command);
  return outcome ? "admitted" : std::string(outcome.error().code());
}

Bytes with_byte(Bytes frame, std::size_t at, std::uint8_t mask) {
  frame.at(at) ^= mask;
  return frame;
}

std::vector<Negative> negatives(const std::vector<Bytes>& frames) {
  const Bytes& tick = frames[6];  // 7 axes, key id 0, stream 7
  const Bytes& next = frames[7];  // its next tick, 1 ms later
  const std::uint64_t tick_counter = security::load_le64(tick.data() + security::kFrameCounterOffset);
  const Values tick_positions = kCases[6].positions;
  const Values zeros(7, 0.0);
  // Shoulder and elbow (axes 1 and 2) together at most 1.2, inside a box of +-2.
  const EnvelopeSpec coupled{Values(7, -2.0), Values(7, 2.0), {{0, 1, 1, 0, 0, 0, 0}}, {1.2}};
  GateState plain;
  GateState after_tick = plain;
  after_tick.admitted_before = {tick};
  GateState fresh = plain;
  fresh.max_age_nanos = kSecond;
  fresh.now_nanos = tick_counter;
  GateState enveloped = plain;
  enveloped.envelope = coupled;
  GateState stepped = after_tick;
  stepped.max_step = Values(7, 2.0);  // rad/s: 2 mrad in the 1 ms between ticks

  Values wide = tick_positions;
  wide[3] = 2.5;  // beyond the box
  Values coupled_out = tick_positions;
  coupled_out[1] = 0.2;  // 0.2 + 1.2 = 1.4 > 1.2
  Values jump = kCases[7].positions;
  jump[5] += 0.01;  // 10 mrad in 1 ms

  Bytes extended = tick;
  extended.push_back(0);
  GateState other_axes = plain;
  other_axes.axes = 4;
  GateState rekeyed = plain;  // the gate holds key id 0 with key id 1's key
  GateState other_streams = plain;
  other_streams.streams = {1, 8};
  Bytes under_other_key = write_frame(1, 7, tick_counter, tick_positions, kCases[6].velocities);
  under_other_key[security::kFrameKeyIdOffset] = 0;  // claims key id 0: the tag no longer matches

  return {
      {"invalid_frame", "the 7-axis frame of case 6 without its last byte", plain,
       Bytes(tick.begin(), tick.end() - 1)},
      {"invalid_frame", "the frame of case 6 with one byte appended", plain, extended},
      {"invalid_frame", "the frame of case 6 with its magic 'KF' changed to 'KG'", plain,
       with_byte(tick, 1, 0x01)},
      {"invalid_frame", "the frame of case 6 with version 3", plain, with_byte(tick, 2, 0x02)},
      {"invalid_frame", "the frame of case 6 with flags 1", plain,
       with_byte(tick, security::kFrameFlagsOffset, 1)},
      {"invalid_frame", "the 7-axis frame of case 6 at a 4-axis gate", other_axes, tick},
      {"unknown_key", "the frame of case 8 (key id 200) at a gate holding only key id 0",
       GateState{.axes = 7, .key_ids = {0}, .streams = {8}}, frames[8]},
      {"unknown_stream", "the frame of case 6 (stream 7) at a gate allowing streams 1 and 8", other_streams,
       tick},
      {"authentication_failure", "the frame of case 6 with the last bit of its tag flipped", plain,
       with_byte(tick, tick.size() - 1, 0x80)},
      {"authentication_failure", "the frame of case 6 with one bit of axis 2's position flipped", plain,
       with_byte(tick, security::kFrameHeaderSize + 2 * security::kFrameAxisSize, 0x01)},
      {"authentication_failure", "the frame of case 6 with its stream changed from 7 to 8",
       GateState{.axes = 7, .key_ids = {0}, .streams = {7, 8}},
       with_byte(tick, security::kFrameStreamOffset, 0x0f)},
      {"authentication_failure", "signed under key id 1's key but claiming key id 0", rekeyed,
       under_other_key},
      {"replay_counter", "the frame of case 6 again, after it was admitted", after_tick, tick},
      {"replay_counter", "the frame of case 6 after its successor, case 7 (reordered)",
       GateState{.axes = 7, .key_ids = {0}, .streams = {7}, .admitted_before = {next}}, tick},
      {"stale_frame", "a genuine frame counted 2 s behind the gate's clock (max_age 1 s)", fresh,
       write_frame(0, 7, tick_counter - 2 * kSecond, tick_positions, zeros)},
      {"stale_frame", "a genuine frame counted 1 s and 1 ns ahead of the gate's clock (max_age 1 s)", fresh,
       write_frame(0, 7, tick_counter + kSecond + 1, tick_positions, zeros)},
      {"non_finite_value", "a genuine frame with a NaN position on axis 4", plain,
       write_frame(0, 7, tick_counter, {0, 0, 0, 0, std::numeric_limits<double>::quiet_NaN(), 0, 0}, zeros)},
      {"non_finite_value", "a genuine frame with an infinite velocity on axis 6", plain,
       write_frame(0, 7, tick_counter, tick_positions, {0, 0, 0, 0, 0, 0, -kInf})},
      {"outside_envelope", "axis 3 at 2.5, beyond the box of +-2", enveloped,
       write_frame(0, 7, tick_counter, wide, zeros)},
      {"outside_envelope", "axes 1 and 2 at 0.2 and 1.2, beyond the row x1 + x2 <= 1.2", enveloped,
       write_frame(0, 7, tick_counter, coupled_out, zeros)},
      {"step_exceeded", "axis 5 moved 10 mrad in the 1 ms after case 6, limit 2 rad/s", stepped,
       write_frame(0, 7, security::load_le64(next.data() + security::kFrameCounterOffset), jump,
                   kCases[7].velocities)},
  };
}

std::string keys_json(const std::vector<std::uint8_t>& ids) {
  std::string out = "{";
  for (std::size_t i = 0; i < ids.size(); ++i) {
    out += (i ? ", \"" : "\"") + std::to_string(ids[i]) + "\": \"" + hex(key_of(ids[i])) + "\"";
  }
  return out + "}";
}

std::string gate_json(const GateState& g) {
  std::ostringstream out;
  out << "{\"axes\": " << g.axes << ", \"keys\": " << keys_json(g.key_ids) << ", \"streams\": [";
  for (std::size_t i = 0; i < g.streams.size(); ++i) out << (i ? ", " : "") << g.streams[i];
  out << "], \"max_age_nanos\": " << g.max_age_nanos << ", \"now_nanos\": " << g.now_nanos
      << ", \"envelope\": ";
  if (g.envelope) {
    out << "{\"min_bound_bits\": " << bits_list(g.envelope->min_bound)
        << ", \"max_bound_bits\": " << bits_list(g.envelope->max_bound) << ", \"rows_bits\": [";
    for (std::size_t r = 0; r < g.envelope->rows.size(); ++r)
      out << (r ? ", " : "") << bits_list(g.envelope->rows[r]);
    out << "], \"limits_bits\": " << bits_list(g.envelope->limits) << "}";
  } else {
    out << "null";
  }
  out << ", \"max_step_rad_s_bits\": " << (g.max_step ? bits_list(*g.max_step) : "null")
      << ", \"admitted_before\": [";
  for (std::size_t i = 0; i < g.admitted_before.size(); ++i) {
    out << (i ? ", " : "") << "\"" << hex(g.admitted_before[i]) << "\"";
  }
  out << "]}";
  return out.str();
}

std::string render() {
  const std::vector<Bytes> frames = sign_cases();
  std::ostringstream out;
  out << "{\n  \"format\": \"kelvara command frame test vectors 1\",\n";
  out << "  \"note\": \"Each positive case is admitted by a gate of its axis count that holds every key id "
         "listed, allows every stream and has freshness off, after the earlier cases of that axis count, in "
         "order. Each negative case is refused with its code by a gate in the state given: its axes, keys, "
         "streams, freshness (max_age_nanos, 0 for off, against a wall clock reading now_nanos), envelope "
         "and step limits, after admitting the frames of admitted_before in order. Doubles are given as "
         "their IEEE 754 bits, most significant first.\",\n";
  out << "  \"cases\": [\n";
  for (std::size_t i = 0; i < kCases.size(); ++i) {
    const Case& c = kCases[i];
    const Bytes& frame = frames[i];
    out << "    {\"case\": " << i << ", \"key\": \"" << hex(key_of(c.key_id))
        << "\", \"key_id\": " << +c.key_id << ", \"stream_id\": " << c.stream_id
        << ", \"counter\": " << security::load_le64(frame.data() + security::kFrameCounterOffset)
        << ", \"axes\": " << c.positions.size() << ", \"positions_bits\": " << bits_list(c.positions)
        << ", \"velocities_bits\": " << bits_list(c.velocities) << ", \"frame\": \"" << hex(frame) << "\"}"
        << (i + 1 < kCases.size() ? ",\n" : "\n");
  }
  out << "  ],\n  \"negative_cases\": [\n";
  const std::vector<Negative> cases = negatives(frames);
  for (std::size_t i = 0; i < cases.size(); ++i) {
    const Negative& n = cases[i];
    if (const std::string got = refusal_of(n.gate, n.frame); got != n.refusal) {
      throw std::runtime_error("negative case " + std::to_string(i) + " (" + n.what + ") is " + got +
                               ", not " + n.refusal);
    }
    out << "    {\"refusal\": \"" << n.refusal << "\", \"what\": \"" << n.what
        << "\", \"gate\": " << gate_json(n.gate) << ", \"frame\": \"" << hex(n.frame) << "\"}"
        << (i + 1 < cases.size() ? ",\n" : "\n");
  }
  out << "  ]\n}\n";
  return out.str();
}

}  // namespace

int main(int argc, char** argv) {
  std::string text;
  try {
    text = render();
  } catch (const std::exception& fault) {
    std::cerr << "frame vectors: " << fault.what() << "\n";
    return 2;
  }
  if (argc == 3 && std::string(argv[1]) == "--check") {
    std::ifstream file(argv[2]);
    std::stringstream stored;
    stored << file.rdbuf();
    if (stored.str() == text) return 0;
    std::cerr << argv[2] << " differs from what the code signs today; regenerate it with\n"
              << "  kelvara_frame_vectors > " << argv[2] << "\n";
    return 1;
  }
  std::cout << text;
  return 0;
}
