// One CommandGate against a model of its state (keys by id, allowed streams,
// each stream's last admitted counter and positions, freshness, envelope and
// step limits), driven by a stream of operations: genuine frames on known and
// unknown streams and keys, replays, frames held back and delivered late,
// flipped bits, truncated and extended frames, raw bytes, values that are
// not finite or far out, keys added and removed, streams allowed, a clock
// that moves, fails or throws, and gate restarts. Every verdict must be the
// model's, a refusal must leave every stream's record and key as it was, an
// admission must hand back exactly the signed values, and the counts per
// outcome must be the model's.
#include <array>
#include <bit>
#include <cmath>
#include <cstring>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "fuzz_input.hpp"
#include "kelvara/edge/command_gate.hpp"
#include "kelvara/edge/test_support.hpp"
#include "kelvara/security/byte_codec.hpp"
#include "kelvara/security/command_frame.hpp"

namespace {

using namespace kelvara::edge;
using namespace kelvara::security;
using kelvara::core::Envelope;

using FakeClock = kelvara::edge::testing::FakeSources;
using kelvara::edge::testing::SourceMode;
using Bytes = std::vector<std::uint8_t>;

constexpr std::size_t kAxes = 3;

Key key_from(std::uint8_t seed) {
  Key key;
  for (std::size_t i = 0; i < key.size(); ++i) key[i] = static_cast<std::uint8_t>(seed * 13 + 7 * i);
  return key;
}

// A box of +-4 cut by x0 + x1 <= 1.2.
const Envelope kEnvelope = [] {
  const double lo[kAxes] = {-4, -4, -4}, hi[kAxes] = {4, 4, 4}, row[kAxes] = {1, 1, 0}, limit = 1.2;
  return *Envelope::make(kAxes, lo, hi, 1, row, &limit);
}();

struct Model {
  std::map<std::uint8_t, Key> keys;
  std::set<std::uint32_t> streams;
  struct Last {
    std::uint64_t counter;
    std::array<double, kAxes> positions;
  };
  std::map<std::uint32_t, Last> last;
  std::uint64_t max_age = 0;
  bool envelope = false;
  std::optional<std::array<double, kAxes>> max_step;
  std::map<std::string, std::uint64_t> counts;

  // Reads the frame by hand and checks the nine rules in their order.
  std::string verdict(const Bytes& b) const {
    if (b.size() < 20) return "invalid_frame";
    const std::uint16_t axes = static_cast<std::uint16_t>(b[16] | b[17] << 8);
    if (b[0] != 0x4B || b[1] != 0x46 || b[2] != 1 || b[18] != 0 || b[19] != 0 || axes != kAxes ||
        b.size() != 52 + 16 * kAxes) {
      return "invalid_frame";
    }
    const std::uint32_t stream = load<std::endian::little, std::uint32_t>(&b[4]);
    const std::uint64_t counter = load_le64(&b[8]);
    const auto key = keys.find(b[3]);
    if (key == keys.end()) return "unknown_key";
    if (!streams.contains(stream)) return "unknown_stream";
    Bytes resigned = b;
    const std::uint16_t n = kAxes;
    std::array<double, kAxes> p, v;
    for (std::size_t a = 0; a < kAxes; ++a) {
      p[a] = load_le_double(&b[20 + 16 * a]);
      v[a] = load_le_double(&b[28 + 16 * a]);
    }
    write_frame(HmacKeyContext::from_key(key->second), {b[3], stream, counter, n}, p, v, resigned);
    if (resigned != b) return "authentication_failure";
    const auto previous = last.find(stream);
    if (previous != last.end() && counter <= previous->second.counter) return "replay_counter";
    if (max_age != 0) {
      if (FakeClock::clock != SourceMode::Works) return "clock_failure";
      const std::uint64_t now = FakeClock::now;
      if ((now >= counter ? now - counter : counter - now) > max_age) return "stale_frame";
    }
    for (std::size_t a = 0; a < kAxes; ++a) {
      if (!std::isfinite(p[a]) || !std::isfinite(v[a])) return "non_finite_value";
    }
    if (envelope && !kEnvelope.contains(p.data())) return "outside_envelope";
    if (max_step && previous != last.end()) {
      const double seconds = static_cast<double>(counter - previous->second.counter) / 1e9;
      for (std::size_t a = 0; a < kAxes; ++a) {
        if (!(std::fabs(p[a] - previous->second.positions[a]) <= (*max_step)[a] * seconds))
          return "step_exceeded";
      }
    }
    return "admitted";
  }
};

class Driver {
 public:
  explicit Driver(FuzzedDataProvider& in) : in_(in) {
    FakeClock::now = 1'700'000'000'000'000'000ull + in_.ConsumeIntegral<std::uint32_t>();
    FakeClock::clock = SourceMode::Works;
    model_.max_age = in_.ConsumeBool() ? 0 : 1 + in_.ConsumeIntegral<std::uint32_t>();
    model_.envelope = in_.ConsumeBool();
    if (in_.ConsumeBool()) {
      std::array<double, kAxes> steps;
      for (double& s : steps) s = in_.ConsumeBool() ? INFINITY : in_.ConsumeIntegral<std::uint8_t>() / 8.0;
      model_.max_step = steps;
    }
    model_.keys = {{0, key_from(0)}, {5, key_from(5)}};
    model_.streams = {1, 2};
    restart();
  }

  std::size_t deliveries() const { return deliveries_; }

  void step() {
    switch (in_.ConsumeIntegralInRange<int>(0, 11)) {
      case 0:
      case 1: deliver(genuine()); break;
      case 2: held_.push_back(genuine()); break;
      case 3:
        if (!held_.empty()) {
          deliver(held_.back());
          held_.pop_back();
        }
        break;
      case 4:
        if (!sent_.empty()) deliver(sent_[pick(sent_.size())]);
        break;
      case 5: deliver(mangled()); break;
      case 6: deliver(in_.ConsumeBytes<std::uint8_t>(in_.ConsumeIntegralInRange<std::size_t>(0, 600))); break;
      case 7: change_key(); break;
      case 8: {
        const std::uint32_t stream = in_.ConsumeIntegralInRange<std::uint32_t>(0, 40);
        const auto allowed = gate_->allow_stream(stream);
        FUZZ_CHECK(allowed.has_value() == (model_.streams.contains(stream) || model_.streams.size() < 32));
        if (allowed) model_.streams.insert(stream);
        break;
      }
      case 9: move_clock(); break;
      case 10: restart(); break;
      default: deliver(genuine(/*odd_values=*/true)); break;
    }
  }

 private:
  std::size_t pick(std::size_t n) { return in_.ConsumeIntegralInRange<std::size_t>(0, n - 1); }

  double pick_double(bool odd) {
    if (odd && in_.ConsumeBool()) return std::bit_cast<double>(in_.ConsumeIntegral<std::uint64_t>());
    return static_cast<double>(in_.ConsumeIntegral<std::int8_t>()) / 64.0;
  }

  // A frame signed by a sender of one of a few streams and key ids (some
  // unknown to the gate), its counter fresh, at the clock, or anywhere.
  Bytes genuine(bool odd_values = false) {
    const std::uint8_t key_id = static_cast<std::uint8_t>(in_.ConsumeIntegralInRange<int>(0, 7));
    const std::uint32_t stream = in_.ConsumeIntegralInRange<std::uint32_t>(0, 3);
    std::uint64_t& last = sender_counters_[stream];
    std::uint64_t counter;
    switch (in_.ConsumeIntegralInRange<int>(0, 3)) {
      case 0: counter = last = std::max(FakeClock::now, last + 1); break;
      case 1: counter = last + in_.ConsumeIntegral<std::uint16_t>() * 1'000'000ull; break;
      case 2: counter = FakeClock::now - in_.ConsumeIntegral<std::uint32_t>() * 1000ull; break;
      default: counter = in_.ConsumeIntegral<std::uint64_t>(); break;
    }
    std::array<double, kAxes> p, v;
    for (std::size_t a = 0; a < kAxes; ++a) {
      p[a] = pick_double(odd_values);
      v[a] = pick_double(odd_values);
    }
    const std::uint16_t axes = in_.ConsumeIntegralInRange<int>(0, 15) == 0 ? 2 : kAxes;
    Bytes bytes(frame_size(kAxes));
    const auto size =
        write_frame(HmacKeyContext::from_key(key_from(key_id)), {key_id, stream, counter, axes}, p, v, bytes);
    bytes.resize(*size);
    return bytes;
  }

  Bytes mangled() {
    Bytes bytes = sent_.empty() ? genuine() : sent_[pick(sent_.size())];
    switch (in_.ConsumeIntegralInRange<int>(0, 2)) {
      case 0: {
        const std::size_t bit = pick(8 * bytes.size());
        bytes[bit / 8] ^= static_cast<std::uint8_t>(1u << (bit % 8));
        break;
      }
      case 1: bytes.resize(pick(bytes.size())); break;
      default: bytes.push_back(in_.ConsumeIntegral<std::uint8_t>()); break;
    }
    return bytes;
  }

  void change_key() {
    const std::uint8_t id = static_cast<std::uint8_t>(in_.ConsumeIntegralInRange<int>(0, 7));
    if (in_.ConsumeBool()) {
      const auto added = gate_->add_key(id, key_from(id));
      FUZZ_CHECK(added.has_value() == !model_.keys.contains(id));
      model_.keys.emplace(id, key_from(id));
    } else {
      const auto removed = gate_->remove_key(id);
      FUZZ_CHECK(removed.has_value() == model_.keys.contains(id));
      model_.keys.erase(id);
    }
  }

  void move_clock() {
    switch (in_.ConsumeIntegralInRange<int>(0, 2)) {
      case 0: FakeClock::now += static_cast<std::uint64_t>(in_.ConsumeIntegral<std::int32_t>()) * 1000; break;
      case 1: FakeClock::now += in_.ConsumeIntegral<std::uint16_t>() * 1'000'000ull; break;
      default: FakeClock::clock = static_cast<SourceMode>(in_.ConsumeIntegralInRange<int>(0, 2)); break;
    }
  }

  // A new gate with the same configuration and no memory.
  void restart() {
    gate_.emplace(kAxes, model_.max_age, kelvara::edge::testing::kFakeClock);
    for (const auto& [id, key] : model_.keys) FUZZ_CHECK(gate_->add_key(id, key).has_value());
    for (const std::uint32_t stream : model_.streams) FUZZ_CHECK(gate_->allow_stream(stream).has_value());
    if (model_.envelope) FUZZ_CHECK(gate_->set_envelope(kEnvelope).has_value());
    if (model_.max_step) FUZZ_CHECK(gate_->set_max_step(*model_.max_step).has_value());
    model_.last.clear();
    model_.counts.clear();
  }

  void deliver(const Bytes& bytes) {
    ++deliveries_;
    const std::string expected = model_.verdict(bytes);
    std::map<std::uint32_t, std::optional<std::uint64_t>> before;
    for (const std::uint32_t stream : model_.streams) before[stream] = gate_->last_counter(stream);
    Command command;
    command.counter = 0xdead;
    const auto outcome = gate_->admit(bytes, command);
    const std::string got = outcome ? "admitted" : std::string(outcome.error().code());
    if (got != expected) {
      std::fprintf(stderr, "gate said %s, the model %s\n", got.c_str(), expected.c_str());
      FUZZ_CHECK(got == expected);
    }
    model_.counts[got] += 1;
    FUZZ_CHECK(gate_->stats().of(outcome ? 0 : outcome.error().number()) == model_.counts[got]);
    if (!outcome) {
      FUZZ_CHECK(command.counter == 0xdead);
      for (const auto& [stream, counter] : before) FUZZ_CHECK(gate_->last_counter(stream) == counter);
    } else {
      const std::uint32_t stream = load<std::endian::little, std::uint32_t>(&bytes[4]);
      FUZZ_CHECK(command.stream_id == stream && command.key_id == bytes[3] && command.axes == kAxes);
      FUZZ_CHECK(command.counter == load_le64(&bytes[8]));
      Model::Last record{command.counter, {}};
      for (std::size_t a = 0; a < kAxes; ++a) {
        FUZZ_CHECK(std::memcmp(&command.positions[a], &bytes[20 + 16 * a], 8) == 0);
        FUZZ_CHECK(std::memcmp(&command.velocities[a], &bytes[28 + 16 * a], 8) == 0);
        record.positions[a] = command.positions[a];
      }
      model_.last[stream] = record;
      FUZZ_CHECK(gate_->last_counter(stream) == command.counter);
      if (sent_.size() < 1024) sent_.push_back(bytes);
    }
  }

  FuzzedDataProvider& in_;
  Model model_;
  std::optional<CommandGate> gate_;
  std::map<std::uint32_t, std::uint64_t> sender_counters_;
  std::size_t deliveries_ = 0;
  std::vector<Bytes> held_;
  std::vector<Bytes> sent_;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider in(data, size);
  Driver driver(in);
  while (in.remaining_bytes() > 0 && driver.deliveries() < 2000) driver.step();
  return 0;
}
