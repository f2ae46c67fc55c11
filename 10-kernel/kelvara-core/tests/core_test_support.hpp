// Test support of the numerical kernel: the digest through which the
// reproducibility tests pin every result bit of a long run to one number.
#pragma once

#include <cstddef>
#include <cstdint>

namespace kelvara::core::testing {

// FNV-1a over the bytes of every value mixed in, in order: one changed bit
// anywhere changes the digest.
class ResultDigest {
 public:
  template <typename T>
  void mix(const T& value) noexcept {
    mix_bytes(&value, sizeof value);
  }
  void mix_bytes(const void* data, std::size_t size) noexcept {
    const auto* bytes = static_cast<const unsigned char*>(data);
    for (std::size_t i = 0; i < size; ++i) value_ = (value_ ^ bytes[i]) * 0x100000001b3u;
  }
  std::uint64_t value() const noexcept { return value_; }

 private:
  std::uint64_t value_ = 0xcbf29ce484222325u;
};

}  // namespace kelvara::core::testing
