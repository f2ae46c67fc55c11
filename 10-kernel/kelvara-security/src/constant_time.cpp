#include "kelvara/security/constant_time.hpp"

namespace kelvara::security {

bool constant_time_equal(const Nonce& a, const Nonce& b) noexcept {
  return no_difference(nonce_difference(a.data(), b.data()));
}

bool constant_time_equal(const Tag& a, const Tag& b) noexcept {
  std::uint64_t difference = 0;
  for (std::size_t offset = 0; offset < kTagSize; offset += 8) {
    difference |= value_barrier(load_word(a.data() + offset) ^ load_word(b.data() + offset));
  }
  return no_difference(difference);
}

}  // namespace kelvara::security
