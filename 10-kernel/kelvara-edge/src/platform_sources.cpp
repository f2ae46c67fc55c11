#include "kelvara/edge/platform_sources.hpp"

#include <openssl/err.h>
#include <openssl/rand.h>

#include <array>
#include <cerrno>
#include <cstring>
#include <ctime>

#include "kelvara/edge/process_guard.hpp"

namespace kelvara::edge {
namespace {

std::string system_message(int error_number) {
  char buffer[256];
  // The GNU strerror_r returns the text, which may or may not live in `buffer`.
  return strerror_r(error_number, buffer, sizeof buffer);
}

// One call into the generator costs about as much as sixty nonces' worth of its
// output, so each thread draws nonces in batches and keeps the unused rest; at
// 512 a batch, the calls that draw one stay out of the slowest percent. A
// batch never outlives a fork: the child draws its own, and never hands out a
// nonce its parent may hand out too. Nonces are public once sent, so unused
// ones are no secret.
constexpr std::size_t kBatchNonces = 512;

struct NonceBatch {
  std::array<std::uint8_t, kBatchNonces * security::kNonceSize> bytes;
  std::size_t next = kBatchNonces;  // every nonce used: draw a batch first
  ProcessGuard process;
};

thread_local NonceBatch t_batch;

std::expected<void, std::string> draw(NonceBatch& batch) noexcept {
  if (RAND_bytes(batch.bytes.data(), static_cast<int>(batch.bytes.size())) != 1) {
    char reason[256] = "the generator could not be seeded";
    if (const unsigned long error = ERR_get_error(); error != 0) {
      ERR_error_string_n(error, reason, sizeof reason);
    }
    ERR_clear_error();
    return std::unexpected(std::string(reason));
  }
  batch.next = 0;
  batch.process = ProcessGuard();
  return {};
}

}  // namespace

std::expected<std::uint64_t, std::string> wall_clock_nanos() noexcept {
  timespec ts{};
  if (::clock_gettime(CLOCK_REALTIME, &ts) != 0) return std::unexpected(system_message(errno));
  if (ts.tv_sec < 0) return 0;
  return static_cast<std::uint64_t>(ts.tv_sec) * 1'000'000'000u + static_cast<std::uint64_t>(ts.tv_nsec);
}

std::expected<std::uint64_t, std::string> monotonic_nanos() noexcept {
  timespec ts{};
  if (::clock_gettime(CLOCK_MONOTONIC, &ts) != 0) return std::unexpected(system_message(errno));
  return static_cast<std::uint64_t>(ts.tv_sec) * 1'000'000'000u + static_cast<std::uint64_t>(ts.tv_nsec);
}

std::expected<void, std::string> fill_random(security::Nonce& nonce) noexcept {
  // OpenSSL's generator is seeded from the operating system (getrandom) and
  // reseeds itself in a forked child, so a nonce costs no system call.
  NonceBatch& batch = t_batch;
  if (batch.next == kBatchNonces || !batch.process.in_creating_process()) {
    if (auto drawn = draw(batch); !drawn) return drawn;
  }
  std::memcpy(nonce.data(), batch.bytes.data() + batch.next * nonce.size(), nonce.size());
  ++batch.next;
  return {};
}

}  // namespace kelvara::edge
