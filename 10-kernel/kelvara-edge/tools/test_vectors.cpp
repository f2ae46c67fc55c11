// Writes the official receipt test vectors (docs/test-vectors/receipts.json)
// from the real signing path: a sender authorizer per key, with a fixed nonce
// and clock for every command, and the exact signed message beside each
// receipt. With --check FILE it compares instead of writing, so a test can
// prove the checked-in vectors are what the code signs today.
#include <bit>
#include <cstdint>
#include <cstdio>
#include <iostream>
#include <limits>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "kelvara/edge/edge_authorizer.hpp"
#include "kelvara/edge/signed_command.hpp"
#include "kelvara/security/message_hasher.hpp"
#include "vector_file.hpp"

namespace {

using namespace kelvara;

// The fixed sources: each command is stamped with what the generator sets here.
struct FixedSources {
  static inline std::uint64_t now = 0;
  static inline security::Nonce nonce{};
  static std::expected<std::uint64_t, std::string> clock() noexcept { return now; }
  static std::expected<void, std::string> random(security::Nonce& out) noexcept {
    out = nonce;
    return {};
  }
};

struct Case {
  std::size_t key;
  std::int32_t axis;
  std::uint64_t position_bits;
  std::uint64_t velocity_bits;
};

std::uint64_t bits(double value) { return std::bit_cast<std::uint64_t>(value); }

security::Key key_of(std::size_t which) {
  security::Key key{};
  for (std::size_t i = 0; i < key.size(); ++i) {
    switch (which) {
      case 0: key[i] = 0; break;                             // the all-zero default key
      case 1: key[i] = static_cast<std::uint8_t>(i); break;  // 00 01 .. 1f
      case 2: key[i] = 0xff; break;
      default: key[i] = static_cast<std::uint8_t>(0x5a ^ (i * 37 + 11)); break;
    }
  }
  return key;
}
constexpr std::size_t kKeys = 4;

const std::vector<Case> kCases = {
    {0, 0, bits(0.0), bits(0.0)},
    {0, 1, bits(-0.0), bits(-0.0)},
    {0, -1, bits(1.5), bits(-2.25)},
    {0, 4, bits(1152921504606846976.0), bits(1e-7)},
    {1, std::numeric_limits<std::int32_t>::max(), bits(std::numeric_limits<double>::infinity()), bits(1.0)},
    {1, std::numeric_limits<std::int32_t>::min(), bits(-std::numeric_limits<double>::infinity()), bits(-1.0)},
    {1, 3, bits(std::numeric_limits<double>::denorm_min()), bits(-std::numeric_limits<double>::denorm_min())},
    {1, 12, bits(std::numeric_limits<double>::min()), bits(4.18)},
    {1, 2, 0x7ff8000000000000u, bits(0.5)},    // the quiet NaN
    {2, 7, 0xfff8000000000001u, bits(0.0)},    // a negative NaN with a payload
    {2, 100, 0x7ff0000000000001u, bits(3.0)},  // a signalling NaN
    {2, -2147483647, bits(std::numeric_limits<double>::max()), bits(std::numeric_limits<double>::infinity())},
    {2, 5, bits(-std::numeric_limits<double>::max()), bits(-std::numeric_limits<double>::infinity())},
    {3, 42, bits(0.1), bits(0.2)},
    {3, -42, bits(1e-300), bits(1e300)},
    {3, 65535, 0x000fffffffffffffu, bits(-4.9406564584124654e-324)},  // the largest subnormal
    {3, 9, bits(123456.789), bits(-0.0)},
};

using vector_file::hex;

std::string hex64(std::uint64_t value) {
  char text[19];
  std::snprintf(text, sizeof text, "%016llx", static_cast<unsigned long long>(value));
  return text;
}

// One negative case: a positive case's receipt or command with one bit flipped.
struct Flip {
  std::size_t of;
  const char* field;  // what is flipped
  std::size_t byte;   // in the receipt; for "payload", in the 16 payload bytes
  int bit;
  const char* refusal;
};
const std::vector<Flip> kFlips = {
    {0, "tag", 28, 0, "authentication_failure"},         {4, "tag", 59, 7, "authentication_failure"},
    {1, "nonce", 0, 0, "authentication_failure"},        {9, "nonce", 11, 7, "authentication_failure"},
    {2, "timestamp", 12, 0, "authentication_failure"},   {13, "timestamp", 19, 7, "authentication_failure"},
    {5, "sequence_id", 20, 0, "authentication_failure"},  // 2 becomes 3: newer, but not signed
    {6, "sequence_id", 20, 0, "replay_counter"},          // 3 becomes 2, already admitted
    {7, "payload", 0, 0, "authentication_failure"},       // requested_position
    {12, "payload", 15, 7, "authentication_failure"},     // commanded_velocity's sign
};

std::string render() {
  std::vector<std::unique_ptr<edge::EdgeAuthorizer>> senders;
  for (std::size_t k = 0; k < kKeys; ++k) {
    edge::AuthorizerConfig config;
    config.rate_limit = std::numeric_limits<std::uint64_t>::max();
    config.max_velocity_rad_s = std::numeric_limits<double>::infinity();
    config.key = key_of(k);
    senders.push_back(std::make_unique<edge::EdgeAuthorizer>(
        config, 0, edge::PlatformSources{FixedSources::clock, FixedSources::random}));
  }

  std::ostringstream out;
  out << "{\n  \"format\": \"kelvara receipt test vectors 1\",\n";
  out << "  \"note\": \"Each positive case is admitted by a gate with its key that has admitted the "
         "earlier cases of that key, in order; each negative case is refused with its code by such "
         "a gate, one that has admitted the cases of its key before the one it alters (and is then "
         "still ready to admit that case unaltered). Doubles are "
         "given as their IEEE 754 bits, most significant first.\",\n";
  out << "  \"cases\": [\n";
  std::vector<security::ReceiptBytes> receipts;
  for (std::size_t i = 0; i < kCases.size(); ++i) {
    const Case& c = kCases[i];
    FixedSources::now = 1'765'000'000'000'000'000u + 1'000'003u * i;
    for (std::size_t b = 0; b < FixedSources::nonce.size(); ++b) {
      FixedSources::nonce[b] = static_cast<std::uint8_t>(0x10 * (i % 16) + b);
    }
    const double position = std::bit_cast<double>(c.position_bits);
    const double velocity = std::bit_cast<double>(c.velocity_bits);
    const auto record = senders[c.key]->authorize(c.axis, position, velocity);
    if (!record) throw std::runtime_error("the sender refused case " + std::to_string(i));
    const auto message =
        security::signed_message(FixedSources::nonce, record->timestamp_nanos, record->sequence_id,
                                 record->action_id.bytes(), edge::command_payload(position, velocity));
    receipts.push_back(record->receipt_hash);
    out << "    {\"case\": " << i << ", \"key\": \"" << hex(key_of(c.key))
        << "\", \"target_axis\": " << c.axis << ", \"requested_position_bits\": \"" << hex64(c.position_bits)
        << "\", \"commanded_velocity_bits\": \"" << hex64(c.velocity_bits) << "\", \"nonce\": \""
        << hex(FixedSources::nonce) << "\", \"timestamp_nanos\": " << record->timestamp_nanos
        << ", \"sequence_id\": " << record->sequence_id << ", \"action_id\": \"" << record->action_id_text()
        << "\", \"signed_message\": \"" << hex(message->view()) << "\", \"receipt\": \""
        << hex(record->receipt_hash) << "\"}" << (i + 1 < kCases.size() ? ",\n" : "\n");
  }
  out << "  ],\n  \"negative_cases\": [\n";
  for (std::size_t i = 0; i < kFlips.size(); ++i) {
    const Flip& f = kFlips[i];
    security::ReceiptBytes receipt = receipts[f.of];
    std::uint64_t position_bits = kCases[f.of].position_bits;
    std::uint64_t velocity_bits = kCases[f.of].velocity_bits;
    const std::uint8_t mask = static_cast<std::uint8_t>(1u << f.bit);
    if (std::string(f.field) == "payload") {
      std::uint64_t& half = f.byte < 8 ? position_bits : velocity_bits;
      half ^= std::uint64_t{mask} << (8 * (f.byte % 8));  // the payload is little-endian
    } else {
      receipt[f.byte] ^= mask;
    }
    out << "    {\"alters_case\": " << f.of << ", \"flipped\": \"" << f.field << "\", \"byte\": " << f.byte
        << ", \"bit\": " << f.bit << ", \"target_axis\": " << kCases[f.of].axis
        << ", \"requested_position_bits\": \"" << hex64(position_bits)
        << "\", \"commanded_velocity_bits\": \"" << hex64(velocity_bits) << "\", \"receipt\": \""
        << hex(receipt) << "\", \"refusal\": \"" << f.refusal << "\"}"
        << (i + 1 < kFlips.size() ? ",\n" : "\n");
  }
  out << "  ]\n}\n";
  return out.str();
}

}  // namespace

int main(int argc, char** argv) {
  const std::string text = render();
  return vector_file::print_or_check(argc, argv, text, "kelvara_test_vectors");
}
