// One ActuatorGate against a small model of its rules, driven by a stream of
// operations: fresh receipts with gaps in their sequence ids, receipts held
// back and delivered late, replays, flipped bits, changed commands, a wrong
// key, reused nonces inside and beyond the 1024-entry window, and a fake clock
// that moves, fails or throws while freshness is on. Every verdict and code
// must be the model's; a refusal must leave the gate bit for bit as it was; an
// admission must hand back exactly the command and receipt it admitted.
#include <algorithm>
#include <cstring>
#include <deque>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "fuzz_input.hpp"
#include "kelvara/edge/actuator_gate.hpp"
#include "kelvara/edge/signed_command.hpp"
#include "kelvara/edge/test_support.hpp"
#include "kelvara/security/byte_codec.hpp"
#include "kelvara/security/message_hasher.hpp"

namespace {

using namespace kelvara::edge;
using namespace kelvara::security;
using kelvara::fuzz::pick_bytes;

using FakeClock = kelvara::edge::testing::FakeSources;
using kelvara::edge::testing::SourceMode;

Key key_from(std::uint8_t seed) {
  Key key;
  for (std::size_t i = 0; i < key.size(); ++i) key[i] = static_cast<std::uint8_t>(seed + 7 * i);
  return key;
}
const Key kGateKey = key_from(0x11);
const Key kWrongKey = key_from(0x12);
const HmacKeyContext kGateContext = HmacKeyContext::from_key(kGateKey);
const HmacKeyContext kWrongContext = HmacKeyContext::from_key(kWrongKey);

struct Command {
  std::int32_t axis = 0;
  double position = 0.0;
  double velocity = 0.0;
};

// A receipt on the wire with the command beside it, and what was signed:
// authentic exactly when signed under the gate's key and neither the bytes
// nor the signed identifier and payload have changed since (a second change
// may undo the first).
struct Delivery {
  ReceiptBytes bytes{};
  Command command;
  ReceiptBytes signed_bytes{};
  Command signed_command;
  bool gate_key = false;

  bool authentic() const {
    return gate_key && bytes == signed_bytes &&
           AxisActionId(command.axis).text() == AxisActionId(signed_command.axis).text() &&
           command_payload(command.position, command.velocity) ==
               command_payload(signed_command.position, signed_command.velocity);
  }
};

Delivery signed_delivery(const ReceiptBytes& bytes, const Command& command, bool gate_key) {
  return Delivery{bytes, command, bytes, command, gate_key};
}

// The gate's rules, kept independently: the last admitted sequence id, the
// nonces of the last 1024 admissions, the freshness limit and the clock.
struct Model {
  std::uint64_t last_sequence_id = 0;
  std::deque<Nonce> window;         // oldest first
  std::multiset<Nonce> remembered;  // the same nonces, for lookup
  std::uint64_t max_age_nanos = 0;

  std::string verdict(const Delivery& d) const {
    const Receipt r = read_receipt_bytes(d.bytes);
    if (r.sequence_id <= last_sequence_id) return "replay_counter";
    if (remembered.contains(r.nonce)) return "replay_nonce";
    if (!d.authentic()) return "authentication_failure";
    if (max_age_nanos != 0) {
      if (FakeClock::clock != SourceMode::Works) return "clock_failure";
      const std::uint64_t now = FakeClock::now;
      const std::uint64_t distance =
          now >= r.timestamp_nanos ? now - r.timestamp_nanos : r.timestamp_nanos - now;
      if (distance > max_age_nanos) return "stale_receipt";
    }
    return "admitted";
  }

  void admit(const Delivery& d) {
    const Receipt r = read_receipt_bytes(d.bytes);
    last_sequence_id = r.sequence_id;
    window.push_back(r.nonce);
    remembered.insert(r.nonce);
    if (window.size() > kNonceWindow) {
      remembered.erase(remembered.find(window.front()));
      window.pop_front();
    }
  }
};

class Driver {
 public:
  explicit Driver(FuzzedDataProvider& in) : in_(in) {
    FakeClock::now = in_.ConsumeIntegral<std::uint64_t>();
    FakeClock::clock = SourceMode::Works;
  }

  std::size_t deliveries() const { return deliveries_; }

  void step() {
    switch (in_.ConsumeIntegralInRange<int>(0, 9)) {
      case 0: deliver(fresh(kGateContext)); break;
      case 1: held_.push_back(fresh(kGateContext)); break;
      case 2: deliver_held(); break;
      case 3:
        if (!sent_.empty()) deliver(sent_[pick(sent_.size())]);
        break;
      case 4: deliver(flipped(pick_delivery())); break;
      case 5: deliver(changed_command(pick_delivery())); break;
      case 6: deliver(fresh(kWrongContext)); break;
      case 7: move_clock(); break;
      case 8: bulk(); break;
      default: deliver(fresh(kGateContext, /*reuse_nonce=*/true)); break;
    }
  }

 private:
  std::size_t pick(std::size_t n) { return in_.ConsumeIntegralInRange<std::size_t>(0, n - 1); }

  double pick_double() {
    return in_.ConsumeBool() ? std::bit_cast<double>(in_.ConsumeIntegral<std::uint64_t>())
                             : static_cast<double>(in_.ConsumeIntegral<std::int8_t>()) / 4.0;
  }

  Command pick_command() {
    const std::int32_t axis = in_.ConsumeBool() ? in_.ConsumeIntegral<std::int32_t>()
                                                : in_.ConsumeIntegralInRange<std::int32_t>(0, 3);
    const double position = pick_double();
    return Command{axis, position, pick_double()};
  }

  Nonce next_nonce(bool reuse) {
    if (reuse && !admitted_nonces_.empty()) return admitted_nonces_[pick(admitted_nonces_.size())];
    if (in_.ConsumeBool()) return pick_bytes<kNonceSize>(in_);
    Nonce nonce{};  // distinct counter nonces, to walk through the window quickly
    store_le64(nonce.data(), ++nonce_counter_);
    nonce[11] = 0xC5;
    return nonce;
  }

  std::uint64_t next_sequence_id() {
    const std::uint8_t gap = in_.ConsumeIntegral<std::uint8_t>();
    if (gap == 0xFF)
      issued_sequence_id_ = in_.ConsumeIntegral<std::uint64_t>();  // jump anywhere
    else
      issued_sequence_id_ += 1 + gap % 3;
    return issued_sequence_id_;
  }

  Delivery fresh(const HmacKeyContext& context, bool reuse_nonce = false) {
    const Nonce nonce = next_nonce(reuse_nonce);
    const std::uint64_t timestamp =
        in_.ConsumeBool()
            ? FakeClock::now + static_cast<std::uint64_t>(in_.ConsumeIntegral<std::int16_t>()) * 1000
            : in_.ConsumeIntegral<std::uint64_t>();
    const Command command = pick_command();
    const auto receipt =
        authorize(context, nonce, timestamp, next_sequence_id(), AxisActionId(command.axis).bytes(),
                  command_payload(command.position, command.velocity));
    FUZZ_CHECK(receipt.has_value());
    return signed_delivery(write_receipt_bytes(*receipt), command, &context == &kGateContext);
  }

  Delivery pick_delivery() {
    if (!sent_.empty() && in_.ConsumeBool()) return sent_[pick(sent_.size())];
    return fresh(kGateContext);
  }

  Delivery flipped(Delivery d) {
    const std::size_t bit = in_.ConsumeIntegralInRange<std::size_t>(0, 8 * kReceiptSize - 1);
    d.bytes[bit / 8] ^= static_cast<std::uint8_t>(1u << (bit % 8));
    return d;
  }

  Delivery changed_command(Delivery d) {
    switch (in_.ConsumeIntegralInRange<int>(0, 2)) {
      case 0: d.command.axis = in_.ConsumeIntegral<std::int32_t>(); break;
      case 1: d.command.position = pick_double(); break;
      default: d.command.velocity = pick_double(); break;
    }
    return d;
  }

  void deliver_held() {
    if (held_.empty()) return;
    const std::size_t i = pick(held_.size());
    const Delivery d = held_[i];
    held_.erase(held_.begin() + static_cast<std::ptrdiff_t>(i));
    deliver(d);
  }

  void move_clock() {
    switch (in_.ConsumeIntegralInRange<int>(0, 3)) {
      case 0: FakeClock::now += static_cast<std::uint64_t>(in_.ConsumeIntegral<std::int32_t>()) * 1000; break;
      case 1: FakeClock::clock = static_cast<SourceMode>(in_.ConsumeIntegralInRange<int>(0, 2)); break;
      case 2: model_.max_age_nanos = 0; break;
      default: model_.max_age_nanos = in_.ConsumeIntegral<std::uint32_t>(); break;
    }
    gate_.set_max_age_nanos(model_.max_age_nanos);
  }

  // Many fresh, authentic receipts with distinct nonces: walks the nonce ring
  // past its 1024 entries within one input.
  void bulk() {
    const int count = in_.ConsumeIntegralInRange<int>(1, 300);
    for (int i = 0; i < count; ++i) {
      Nonce nonce{};
      store_le64(nonce.data(), ++nonce_counter_);
      nonce[11] = 0xC5;
      const Command command{i % 4, 0.25 * i, 0.5};
      issued_sequence_id_ += 1;
      const auto receipt =
          authorize(kGateContext, nonce, FakeClock::now, issued_sequence_id_,
                    AxisActionId(command.axis).bytes(), command_payload(command.position, command.velocity));
      deliver(signed_delivery(write_receipt_bytes(*receipt), command, true));
    }
  }

  void deliver(const Delivery& d) {
    ++deliveries_;
    const std::string expected = model_.verdict(d);
    const ActuatorGate before = gate_;
    const auto outcome = gate_.admit(d.bytes, d.command.axis, d.command.position, d.command.velocity);
    const std::string got = outcome ? "admitted" : std::string(outcome.error().code());
    if (got != expected) {
      std::fprintf(stderr, "gate said %s, the model %s\n", got.c_str(), expected.c_str());
      FUZZ_CHECK(got == expected);
    }
    // Every outcome is counted at its number, and nothing else is counted.
    const std::int32_t number = outcome ? 0 : outcome.error().number();
    for (std::int32_t n = 0; n < static_cast<std::int32_t>(kOutcomeSlots); ++n) {
      FUZZ_CHECK(gate_.stats().of(n) == before.stats().of(n) + (n == number ? 1 : 0));
    }
    if (!outcome) {
      // A refusal changes nothing but its count.
      FUZZ_CHECK(std::memcmp(&before.memory(), &gate_.memory(), sizeof gate_.memory()) == 0);
      FUZZ_CHECK(before.max_age_nanos() == gate_.max_age_nanos());
    } else {
      const ReceiptRecord& r = *outcome;
      const Receipt receipt = read_receipt_bytes(d.bytes);
      FUZZ_CHECK(r.is_authorized && r.receipt_hash == d.bytes);
      FUZZ_CHECK(r.sequence_id == receipt.sequence_id && r.timestamp_nanos == receipt.timestamp_nanos);
      FUZZ_CHECK(r.action_id_text() == AxisActionId(d.command.axis).text());
      FUZZ_CHECK(command_payload(r.requested_position, r.commanded_velocity) ==
                 command_payload(d.command.position, d.command.velocity));
      model_.admit(d);
      if (admitted_nonces_.size() < 4096) admitted_nonces_.push_back(receipt.nonce);
    }
    FUZZ_CHECK(gate_.last_sequence_id() == model_.last_sequence_id);
    FUZZ_CHECK(gate_.memory().nonce_count() == model_.window.size());
    if (sent_.size() < 4096) sent_.push_back(d);
  }

  FuzzedDataProvider& in_;
  ActuatorGate gate_{kGateKey, kelvara::edge::testing::kFakeClock};
  Model model_;
  std::uint64_t issued_sequence_id_ = 0;
  std::uint64_t nonce_counter_ = 0;
  std::size_t deliveries_ = 0;
  std::vector<Delivery> held_;
  std::vector<Delivery> sent_;
  std::vector<Nonce> admitted_nonces_;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider in(data, size);
  Driver driver(in);
  // Enough deliveries to wrap the nonce ring twice, few enough to keep inputs quick.
  while (in.remaining_bytes() > 0 && driver.deliveries() < 3 * kNonceWindow) driver.step();
  return 0;
}
