// Keys do not outlive their holders: a sender, a gate and a hasher leave zeros
// where they kept the prepared key states (which sign as well as the key), so
// freed memory gives no key away.
#include <gtest/gtest.h>

#include <algorithm>
#include <new>
#include <utility>

#include "kelvara/edge/actuator_gate.hpp"
#include "kelvara/edge/command_gate.hpp"
#include "kelvara/edge/command_signer.hpp"
#include "kelvara/edge/edge_authorizer.hpp"
#include "kelvara/security/message_hasher.hpp"

namespace {

using namespace kelvara::edge;
using namespace kelvara::security;

constexpr Key kKey = {1,  2,  3,  4,  5,  6,  7,  8,  9,  10, 11, 12, 13, 14, 15, 16,
                      17, 18, 19, 20, 21, 22, 23, 24, 25, 26, 27, 28, 29, 30, 31, 32};

// Holds a T in a buffer of its own, so that its bytes can be read after it ends.
template <typename T>
struct Placed {
  alignas(T) unsigned char bytes[sizeof(T)];

  template <typename... Args>
  T& make(Args&&... args) {
    return *new (bytes) T(std::forward<Args>(args)...);
  }
  void end() { std::launder(reinterpret_cast<T*>(bytes))->~T(); }
  // Whether the `size` bytes at `at` (an address inside the object) are all zero.
  bool zero_at(const void* at, std::size_t size) const {
    const auto* first = bytes + (static_cast<const unsigned char*>(at) - bytes);
    return std::all_of(first, first + size, [](unsigned char b) { return b == 0; });
  }
};

TEST(SecretErasure, SendersGatesAndHashersEraseTheKeyStatesWhenTheyEnd) {
  // The interceptor keeps its prepared key first.
  static_assert(std::is_standard_layout_v<BoundaryInterceptor>);
  constexpr std::size_t kContext = sizeof(HmacKeyContext);

  Placed<ActuatorGate> gate;
  const void* gate_key = &gate.make(kKey).memory();
  ASSERT_FALSE(gate.zero_at(gate_key, kContext));
  gate.end();
  EXPECT_TRUE(gate.zero_at(gate_key, kContext));

  Placed<EdgeAuthorizer> sender;
  const void* sender_key = &sender.make(AuthorizerConfig{.key = kKey}, 0).state().interceptor;
  ASSERT_FALSE(sender.zero_at(sender_key, kContext));
  sender.end();
  EXPECT_TRUE(sender.zero_at(sender_key, kContext));

  const auto begun =
      MessageHasher::begin(HmacKeyContext::from_key(kKey), Nonce{}, 1, 1, action_id_bytes("axis_0"));
  ASSERT_TRUE(begun.has_value());
  Placed<MessageHasher> hasher;
  hasher.make(*begun);
  ASSERT_FALSE(hasher.zero_at(hasher.bytes, kContext));  // inner and outer states come first
  hasher.end();
  EXPECT_TRUE(hasher.zero_at(hasher.bytes, kContext));
}

// Where a holder keeps its key states is its own business: look for them
// anywhere in its bytes, before and after it ends, and for a removed key too.
// The buffers start zeroed, since bytes a holder never writes (an empty
// optional envelope) would keep whatever the stack held.
template <typename T>
bool holds_key(const Placed<T>& placed, const Key& key) {
  const HmacKeyContext context = HmacKeyContext::from_key(key);
  const auto* pattern = reinterpret_cast<const unsigned char*>(&context.inner);
  return std::search(placed.bytes, placed.bytes + sizeof placed.bytes, pattern,
                     pattern + sizeof context.inner) != placed.bytes + sizeof placed.bytes;
}

TEST(SecretErasure, CommandSignersAndGatesEraseEveryKeyState) {
  Key other = kKey;
  other[0] ^= 0xff;
  Placed<CommandSigner> signer{};
  SignerConfig config{.key = kKey, .key_id = 1, .stream_id = 2, .axes = 1, .max_velocity_rad_s = {1.0}};
  signer.make(config);
  ASSERT_TRUE(holds_key(signer, kKey));
  signer.end();
  EXPECT_FALSE(holds_key(signer, kKey));

  Placed<CommandGate> gate{};
  CommandGate& made = gate.make(std::size_t{2}, std::uint64_t{0});
  ASSERT_TRUE(made.add_key(3, kKey) && made.add_key(200, other));
  ASSERT_TRUE(holds_key(gate, kKey) && holds_key(gate, other));
  ASSERT_TRUE(made.remove_key(200));
  EXPECT_FALSE(holds_key(gate, other));
  gate.end();
  EXPECT_FALSE(holds_key(gate, kKey));
}

}  // namespace
