// Fixed-order integer encodings: every byte layout of the system (signed
// message, receipt form, payload, SHA-256 lengths and digests) is written and
// read through these, never by hand. Whole-word copies compile to single
// (byte-swapping) moves.
#pragma once

#include <bit>
#include <concepts>
#include <cstdint>
#include <cstring>

namespace kelvara::security {

// Writes `value` to the sizeof(T) bytes at `out` in the given order.
template <std::endian Order, std::unsigned_integral T>
inline void store(std::uint8_t* out, T value) noexcept {
  if constexpr (Order != std::endian::native) value = std::byteswap(value);
  std::memcpy(out, &value, sizeof value);
}

// Reads the sizeof(T) bytes at `in`, stored in the given order.
template <std::endian Order, std::unsigned_integral T>
inline T load(const std::uint8_t* in) noexcept {
  T value;
  std::memcpy(&value, in, sizeof value);
  if constexpr (Order != std::endian::native) value = std::byteswap(value);
  return value;
}

inline void store_le64(std::uint8_t* out, std::uint64_t value) noexcept {
  store<std::endian::little>(out, value);
}
inline std::uint64_t load_le64(const std::uint8_t* in) noexcept {
  return load<std::endian::little, std::uint64_t>(in);
}
inline void store_be64(std::uint8_t* out, std::uint64_t value) noexcept {
  store<std::endian::big>(out, value);
}
inline void store_be32(std::uint8_t* out, std::uint32_t value) noexcept {
  store<std::endian::big>(out, value);
}

// An IEEE 754 double as its 8 bytes in little-endian order, and back.
inline void store_le_double(std::uint8_t* out, double value) noexcept {
  store_le64(out, std::bit_cast<std::uint64_t>(value));
}
inline double load_le_double(const std::uint8_t* in) noexcept { return std::bit_cast<double>(load_le64(in)); }

}  // namespace kelvara::security
