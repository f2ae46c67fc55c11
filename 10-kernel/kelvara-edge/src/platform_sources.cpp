#include "kelvara/edge/platform_sources.hpp"

#include <openssl/err.h>
#include <openssl/rand.h>

#include <cerrno>
#include <cstring>
#include <ctime>

namespace kelvara::edge {
namespace {

std::string system_message(int error_number) {
  char buffer[256];
  // The GNU strerror_r returns the text, which may or may not live in `buffer`.
  return strerror_r(error_number, buffer, sizeof buffer);
}

}  // namespace

std::expected<std::uint64_t, std::string> wall_clock_nanos() noexcept {
  timespec ts{};
  if (::clock_gettime(CLOCK_REALTIME, &ts) != 0) return std::unexpected(system_message(errno));
  if (ts.tv_sec < 0) return 0;
  return static_cast<std::uint64_t>(ts.tv_sec) * 1'000'000'000u + static_cast<std::uint64_t>(ts.tv_nsec);
}

std::expected<void, std::string> fill_random(security::Nonce& nonce) noexcept {
  // OpenSSL's generator is seeded from the operating system (getrandom) and
  // reseeds itself in a forked child, so a nonce costs no system call and a
  // child never repeats its parent's nonces.
  if (RAND_bytes(nonce.data(), static_cast<int>(nonce.size())) == 1) return {};
  char reason[256] = "the generator could not be seeded";
  if (const unsigned long error = ERR_get_error(); error != 0) {
    ERR_error_string_n(error, reason, sizeof reason);
  }
  ERR_clear_error();
  return std::unexpected(std::string(reason));
}

}  // namespace kelvara::edge
