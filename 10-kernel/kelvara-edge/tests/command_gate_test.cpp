#include "kelvara/edge/command_gate.hpp"

#include <gtest/gtest.h>
#include <openssl/hmac.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <map>
#include <random>
#include <set>
#include <string>
#include <vector>

namespace {

using namespace kelvara::edge;
using kelvara::core::Envelope;
using kelvara::security::FrameHeader;
using kelvara::security::HmacKeyContext;
using kelvara::security::Key;

using Bytes = std::vector<std::uint8_t>;
constexpr std::uint64_t kSecond = 1'000'000'000;

struct FakeClock {
  static inline std::uint64_t now = 1'700'000'000 * kSecond;
  static std::expected<std::uint64_t, std::string> read() { return now; }
};
const PlatformSources kFakeClock{FakeClock::read, fill_random, FakeClock::read};

Key key_numbered(int n) {
  Key key;
  for (std::size_t i = 0; i < key.size(); ++i) key[i] = static_cast<std::uint8_t>(n * 31 + i);
  return key;
}

// A frame as any sender could write it, fields the signer never chooses
// included (version, flags and axis count are overwritten before the tag).
Bytes frame(const Key& key, FrameHeader header, const std::vector<double>& positions,
            const std::vector<double>& velocities, std::uint8_t version = 1, std::uint16_t flags = 0) {
  Bytes bytes(kelvara::security::frame_size(header.axes));
  EXPECT_TRUE(
      kelvara::security::write_frame(HmacKeyContext::from_key(key), header, positions, velocities, bytes));
  bytes[2] = version;
  std::memcpy(bytes.data() + 18, &flags, 2);
  const std::size_t covered = bytes.size() - 32;
  unsigned int length = 32;
  HMAC(EVP_sha256(), key.data(), key.size(), bytes.data(), covered, bytes.data() + covered, &length);
  return bytes;
}

// What the gate should say, worked out from the bytes alone: its own parsing,
// OpenSSL's HMAC, and the rules as an operator would read them.
class GateModel {
 public:
  GateModel(std::size_t axes, std::uint64_t max_age) : axes_(axes), max_age_(max_age) {}

  std::map<int, Key> keys;
  std::set<std::uint32_t> streams;
  // A box and one coupled row over axes 0 and 1 (x0 + x1 <= row_limit).
  bool has_envelope = false;
  double box = 0, row_limit = 0;
  std::vector<double> max_step;

  struct Last {
    std::uint64_t counter;
    std::vector<double> positions;
  };
  std::map<std::uint32_t, Last> last;

  std::string judge(const Bytes& b, std::uint64_t now, bool record) {
    auto u16 = [&](std::size_t at) { return static_cast<unsigned>(b[at] | b[at + 1] << 8); };
    if (b.size() < 20 || b[0] != 'K' || b[1] != 'F' || b[2] != 1 || u16(18) != 0 || u16(16) != axes_ ||
        b.size() != 52 + 16 * axes_) {
      return "invalid_frame";
    }
    std::uint32_t stream;
    std::uint64_t counter;
    std::memcpy(&stream, &b[4], 4);
    std::memcpy(&counter, &b[8], 8);
    if (!keys.contains(b[3])) return "unknown_key";
    if (!streams.contains(stream)) return "unknown_stream";
    unsigned char tag[32];
    unsigned int length = 32;
    const Key& key = keys.at(b[3]);
    HMAC(EVP_sha256(), key.data(), key.size(), b.data(), b.size() - 32, tag, &length);
    if (std::memcmp(tag, &b[b.size() - 32], 32) != 0) return "authentication_failure";
    const auto previous = last.find(stream);
    if (previous != last.end() && counter <= previous->second.counter) return "replay_counter";
    if (max_age_ != 0 && (counter > now ? counter - now : now - counter) > max_age_) return "stale_frame";
    std::vector<double> p(axes_), v(axes_);
    for (std::size_t a = 0; a < axes_; ++a) {
      std::memcpy(&p[a], &b[20 + 16 * a], 8);
      std::memcpy(&v[a], &b[28 + 16 * a], 8);
      if (!std::isfinite(p[a]) || !std::isfinite(v[a])) return "non_finite_value";
    }
    if (has_envelope) {
      // The positions used keep well clear of the tolerance band.
      for (double x : p) {
        if (std::fabs(x) > box + 1e-9 * (1 + box)) return "outside_envelope";
      }
      if (p[0] + p[1] > row_limit + 1e-9 * (1 + row_limit)) return "outside_envelope";
    }
    if (!max_step.empty() && previous != last.end()) {
      const double seconds = static_cast<double>(counter - previous->second.counter) / 1e9;
      for (std::size_t a = 0; a < axes_; ++a) {
        if (std::fabs(p[a] - previous->second.positions[a]) > max_step[a] * seconds) return "step_exceeded";
      }
    }
    if (record) last[stream] = {counter, p};
    return "admitted";
  }

 private:
  std::size_t axes_;
  std::uint64_t max_age_;
};

struct Sender {
  int key_number;
  std::uint8_t key_id;
  std::uint32_t stream;
  std::uint64_t last = 0;
};

// Random mixes of genuine, replayed, reordered, truncated, extended,
// bit-flipped, re-keyed, re-streamed and malformed frames, with restarts of
// either side, key rotation and a wandering clock: every outcome, every
// admitted command, every recorded counter and the final counts agree with
// the model, and a refusal leaves the gate's streams as they were.
TEST(CommandGate, AgreesWithAModelOfItsChecksOverRandomTraffic) {
  constexpr std::size_t kAxes = 3;
  std::mt19937_64 random(20261209);
  auto chance = [&](int percent) { return static_cast<int>(random() % 100) < percent; };
  auto pick = [&](std::size_t n) { return static_cast<std::size_t>(random() % n); };

  const double kBox = 2.0, kRow = 1.2;
  const double lo[kAxes] = {-kBox, -kBox, -kBox}, hi[kAxes] = {kBox, kBox, kBox};
  const double row[kAxes] = {1.0, 1.0, 0.0};
  const auto envelope = Envelope::make(kAxes, lo, hi, 1, row, &kRow);
  ASSERT_TRUE(envelope.has_value());
  const std::vector<double> steps = {4.0, 4.0, std::numeric_limits<double>::infinity()};

  GateModel model(kAxes, 2 * kSecond);
  auto make_gate = [&] {
    CommandGate gate(kAxes, 2 * kSecond, kFakeClock);
    for (const auto& [id, key] : model.keys) EXPECT_TRUE(gate.add_key(static_cast<std::uint8_t>(id), key));
    for (std::uint32_t stream : model.streams) EXPECT_TRUE(gate.allow_stream(stream));
    if (model.has_envelope) EXPECT_TRUE(gate.set_envelope(*envelope));
    if (!model.max_step.empty()) EXPECT_TRUE(gate.set_max_step(model.max_step));
    return gate;
  };
  model.keys = {{0, key_numbered(0)}, {7, key_numbered(7)}};
  model.streams = {1, 2, 40000};
  model.has_envelope = true;
  model.box = kBox;
  model.row_limit = kRow;
  model.max_step = steps;
  CommandGate gate = make_gate();

  std::vector<Sender> senders = {{0, 0, 1}, {7, 7, 2}, {7, 7, 40000}, {0, 0, 3}};
  std::vector<Bytes> sent;
  std::map<std::string, std::uint64_t> counts, since_restart;
  int next_key = 8;

  for (int step = 0; step < 6000; ++step) {
    FakeClock::now += random() % (kSecond / 50);
    if (chance(1)) FakeClock::now += 3 * kSecond;  // a stall: recent frames go stale
    Bytes bytes;
    const int kind = static_cast<int>(random() % 100);
    Sender& sender = senders[pick(senders.size())];
    const Key sender_key = key_numbered(sender.key_number);
    // Mostly small moves inside the envelope; sometimes far, or not finite.
    std::vector<double> p(kAxes), v(kAxes);
    for (std::size_t a = 0; a < kAxes; ++a) {
      p[a] = 0.02 * static_cast<double>(static_cast<int>(random() % 41) - 20);
      v[a] = 0.1 * static_cast<double>(static_cast<int>(random() % 11) - 5);
    }
    if (chance(5)) p[pick(kAxes)] = 1.0 + 0.125 * static_cast<double>(random() % 16);  // may break box or row
    if (chance(2)) (chance(50) ? p : v)[pick(kAxes)] = chance(50) ? NAN : -INFINITY;
    auto genuine = [&](std::uint64_t counter) {
      return frame(sender_key, {sender.key_id, sender.stream, counter, kAxes}, p, v);
    };
    const std::uint64_t fresh = std::max(FakeClock::now, sender.last + 1);

    if (kind < 45 || sent.empty()) {
      bytes = genuine(fresh);
      sender.last = fresh;
    } else if (kind < 55) {
      bytes = sent[sent.size() - 1 - pick(std::min<std::size_t>(sent.size(), 20))];  // replayed / reordered
    } else if (kind < 60) {
      bytes = sent[pick(sent.size())];
      if (chance(50)) {
        bytes.resize(pick(bytes.size()));  // truncated
      } else {
        bytes.push_back(static_cast<std::uint8_t>(random()));  // extended
      }
    } else if (kind < 68) {
      bytes = sent.back();
      const std::size_t bit = pick(8 * bytes.size());
      bytes[bit / 8] ^= static_cast<std::uint8_t>(1u << (bit % 8));
    } else if (kind < 72) {  // signed under a key the gate lacks, or a known id with the wrong key
      bytes = frame(key_numbered(99),
                    {static_cast<std::uint8_t>(chance(50) ? 0 : 200), sender.stream, fresh, kAxes}, p, v);
    } else if (kind < 76) {  // a stream never allowed, or another sender's stream with its counter
      const std::uint32_t stream = chance(50) ? 77 : senders[pick(senders.size())].stream;
      bytes = frame(sender_key, {sender.key_id, stream, fresh, kAxes}, p, v);
    } else if (kind < 80) {  // well signed but malformed: version, flags or axis count
      const int which = static_cast<int>(random() % 3);
      const std::uint16_t axes = which == 2 ? (chance(50) ? 2 : 4) : kAxes;
      std::vector<double> wide_p(p), wide_v(v);
      wide_p.resize(4, 0.0);
      wide_v.resize(4, 0.0);
      bytes = frame(sender_key, {sender.key_id, sender.stream, fresh, axes}, wide_p, wide_v,
                    which == 0 ? 2 : 1, which == 1 ? 1 : 0);
    } else if (kind < 84) {  // far from the gate's clock, either way
      bytes = genuine(chance(50) ? FakeClock::now - 5 * kSecond : FakeClock::now + 5 * kSecond);
    } else if (kind < 87) {  // a sender restarts: it forgets its counter, its clock carries on
      sender.last = 0;
      continue;
    } else if (kind < 89) {  // the gate restarts: same configuration, no memory
      gate = make_gate();
      model.last.clear();
      since_restart.clear();
      continue;
    } else if (kind < 92) {  // key rotation: a new id, the senders of the old one move, the old one goes
      const std::uint8_t old_id = sender.key_id;
      const std::uint8_t new_id = static_cast<std::uint8_t>(next_key++ % 256);
      if (model.keys.contains(new_id)) continue;
      ASSERT_TRUE(gate.add_key(new_id, key_numbered(new_id)));
      model.keys[new_id] = key_numbered(new_id);
      for (Sender& s : senders) {
        if (s.key_id == old_id) s = {new_id, new_id, s.stream, s.last};
      }
      ASSERT_TRUE(gate.remove_key(old_id));
      model.keys.erase(old_id);
      continue;
    } else {  // a random byte string of about the right length
      bytes.resize(52 + 16 * kAxes + pick(3) - 1);
      for (auto& byte : bytes) byte = static_cast<std::uint8_t>(random());
      if (chance(50)) {
        bytes[0] = 'K';
        bytes[1] = 'F';
      }
    }

    const std::string expected = model.judge(bytes, FakeClock::now, true);
    std::map<std::uint32_t, std::optional<std::uint64_t>> before;
    for (std::uint32_t stream : model.streams) before[stream] = gate.last_counter(stream);
    Command command;
    command.counter = 12345;  // must survive a refusal
    const auto admitted = gate.admit(bytes, command);
    const std::string got = admitted ? "admitted" : std::string(admitted.error().code());
    ASSERT_EQ(got, expected) << "step " << step << " kind " << kind;
    counts[got] += 1;
    since_restart[got] += 1;
    if (admitted) {
      sent.push_back(bytes);
      std::uint32_t stream;
      std::uint64_t counter;
      std::memcpy(&stream, &bytes[4], 4);
      std::memcpy(&counter, &bytes[8], 8);
      EXPECT_EQ(command.stream_id, stream);
      EXPECT_EQ(command.counter, counter);
      EXPECT_EQ(command.key_id, bytes[3]);
      EXPECT_EQ(command.axes, kAxes);
      for (std::size_t a = 0; a < kAxes; ++a) {
        EXPECT_EQ(std::memcmp(&command.positions[a], &bytes[20 + 16 * a], 8), 0);
        EXPECT_EQ(std::memcmp(&command.velocities[a], &bytes[28 + 16 * a], 8), 0);
      }
      EXPECT_EQ(gate.last_counter(stream), counter);
    } else {
      EXPECT_EQ(command.counter, 12345u);
      for (std::uint32_t stream : model.streams) EXPECT_EQ(gate.last_counter(stream), before[stream]);
    }
  }
  // Every outcome the traffic can produce happened, and the gate counted each
  // since its last restart.
  for (const char* code :
       {"admitted", "invalid_frame", "unknown_key", "unknown_stream", "authentication_failure",
        "replay_counter", "stale_frame", "non_finite_value", "outside_envelope", "step_exceeded"}) {
    EXPECT_GT(counts[code], 0u) << code;
  }
  const OutcomeStats& stats = gate.stats();
  EXPECT_EQ(stats.admitted(), since_restart["admitted"]);
  EXPECT_EQ(stats.of(6), since_restart["authentication_failure"]);
  EXPECT_EQ(stats.of(7), since_restart["replay_counter"]);
  const char* frame_codes[] = {"invalid_frame",    "unknown_key",      "unknown_stream", "stale_frame",
                               "non_finite_value", "outside_envelope", "step_exceeded"};
  for (int number = 19; number <= 25; ++number) {
    EXPECT_EQ(stats.of(number), since_restart[frame_codes[number - 19]]);
  }
}

// A restarted gate has no memory but its clock: a recorded old frame is stale,
// and a restarted sender (whose clock is ahead of what it signed) is admitted
// at once; without freshness the same old frame is admitted, which is what
// switching it off costs.
TEST(CommandGate, RestartsOfEitherSideAndFreshness) {
  FakeClock::now = 1'800'000'000 * kSecond;
  const Key key = key_numbered(1);
  const std::vector<double> p = {0.1, 0.2}, v = {0.0, 0.0};
  const Bytes old = frame(key, {1, 5, FakeClock::now - 3 * kSecond, 2}, p, v);
  for (const std::uint64_t max_age : {kSecond, std::uint64_t{0}}) {
    CommandGate gate(2, max_age, kFakeClock);
    ASSERT_TRUE(gate.add_key(1, key));
    ASSERT_TRUE(gate.allow_stream(5));
    Command command;
    const auto replayed = gate.admit(old, command);
    EXPECT_EQ(replayed ? "admitted" : std::string(replayed.error().code()),
              max_age ? "stale_frame" : "admitted");
    EXPECT_TRUE(gate.admit(frame(key, {1, 5, FakeClock::now, 2}, p, v), command));
  }
}

TEST(CommandGate, ConfigurationRefusalsChangeNothing) {
  CommandGate gate(2, 0);
  const Key key = key_numbered(3);
  ASSERT_TRUE(gate.add_key(9, key));
  EXPECT_EQ(gate.add_key(9, key_numbered(4)).error().code(), "duplicate_key");
  EXPECT_EQ(gate.remove_key(10).error().code(), "unknown_key");
  for (std::uint32_t stream = 0; stream < kCommandGateStreams; ++stream)
    ASSERT_TRUE(gate.allow_stream(stream * 3));
  EXPECT_TRUE(gate.allow_stream(3));  // allowed already: no change, no refusal
  EXPECT_EQ(gate.allow_stream(1).error().code(), "stream_table_full");
  EXPECT_FALSE(gate.allows_stream(1));
  EXPECT_EQ(gate.set_max_step(std::vector<double>{1.0}).error().code(), "invalid_argument");
  EXPECT_EQ(gate.set_max_step(std::vector<double>{1.0, NAN}).error().code(), "invalid_argument");
  EXPECT_EQ(gate.set_max_step(std::vector<double>{-0.5, 1.0}).error().code(), "invalid_argument");
  const double lo[3] = {-1, -1, -1}, hi[3] = {1, 1, 1};
  EXPECT_EQ(gate.set_envelope(*Envelope::make(3, lo, hi, 0, nullptr, nullptr)).error().code(),
            "invalid_argument");

  // The key under id 9 is still the first one; a gate of a bad axis count
  // refuses everything.
  Command command;
  EXPECT_TRUE(gate.admit(frame(key, {9, 0, 1, 2}, {0, 0}, {0, 0}), command));
  for (const std::size_t axes : {std::size_t{0}, std::size_t{33}}) {
    CommandGate bad(axes, 0);
    EXPECT_EQ(bad.admit(frame(key, {9, 0, 1, 2}, {0, 0}, {0, 0}), command).error().code(),
              "invalid_argument");
  }
}

}  // namespace
