#include "kelvara/edge/platform_sources.hpp"

#include <openssl/err.h>
#include <openssl/rand.h>

#include <array>
#include <cerrno>
#include <cstring>
#include <ctime>

#include "kelvara/edge/process_guard.hpp"
#include "kelvara/security/message_hasher.hpp"
#include "kelvara/security/secure_wipe.hpp"

namespace kelvara::edge {
namespace {

std::string system_message(int error_number) {
  char buffer[256];
  // The GNU strerror_r returns the text, which may or may not live in `buffer`.
  return strerror_r(error_number, buffer, sizeof buffer);
}

std::string openssl_failure(const char* what) {
  char reason[256] = "";
  if (const unsigned long error = ERR_get_error(); error != 0)
    ERR_error_string_n(error, reason, sizeof reason);
  ERR_clear_error();
  return reason[0] == '\0' ? std::string(what) : std::string(what) + ": " + reason;
}

// Each thread draws nonces from its own stream: output block i under a key is
// HMAC-SHA-256 under that key of ("nonce", i). A block is made when the
// unread output runs short of a nonce, so about three calls in eight pay for
// one block (two SHA-256 compressions) and none waits for a long refill;
// after 512 nonces the key is replaced by the same function of ("rekey", 0),
// so the stream rekeys itself from its own output and an old key never exists
// next to the nonces it made. The first key comes from OpenSSL's generator
// (seeded from the operating system). After that a nonce costs neither a
// system call nor an allocation, which OpenSSL's generator cannot promise: it
// checks the process id on every call. A stream never outlives a fork: the
// child keys its own, and never hands out a nonce its parent may hand out too.
// Nonces are public once sent, so unread output is no secret; the key is.
constexpr std::uint64_t kBlocksPerKey = 512 * security::kNonceSize / security::kTagSize;

struct NonceStream {
  NonceStream() = default;
  NonceStream(const NonceStream&) = delete;
  NonceStream& operator=(const NonceStream&) = delete;
  ~NonceStream() {
    security::secure_wipe(&key, sizeof key);
    security::secure_wipe(unread);
  }

  security::HmacKeyContext key{};
  std::uint64_t blocks_under_key = 0;
  // Output not yet handed out, at the front: less than a nonce, plus a block.
  std::array<std::uint8_t, security::kNonceSize + security::kTagSize> unread{};
  std::size_t unread_size = 0;
  bool keyed = false;
  ProcessGuard process;
};

thread_local NonceStream t_stream;

// The stream's output for one label and block number.
security::Tag stream_block(const security::HmacKeyContext& key, const char (&label)[6],
                           std::uint64_t block) noexcept {
  std::array<std::uint8_t, 5 + 8> message{};
  std::memcpy(message.data(), label, 5);
  for (std::size_t i = 0; i < 8; ++i) message[5 + i] = static_cast<std::uint8_t>(block >> (8 * i));
  return security::hmac(key, message);
}

// Keys the stream from OpenSSL's generator: once per thread, and again in a
// forked child, whose unread output is its parent's and is dropped.
std::expected<void, std::string> key_from_generator(NonceStream& stream) noexcept {
  try {
    stream.keyed = false;
    security::Key seed{};
    const security::WipedOnExit wiped(seed);
    if (RAND_bytes(seed.data(), static_cast<int>(seed.size())) != 1) {
      return std::unexpected(openssl_failure("the generator could not be seeded"));
    }
    stream.key = security::HmacKeyContext::from_key(seed);
    stream.blocks_under_key = 0;
    stream.unread_size = 0;
    stream.keyed = true;
    stream.process = ProcessGuard();
    return {};
  } catch (...) {  // a failure text that could not be allocated
    return std::unexpected(std::string());
  }
}

// Appends the next block to the unread output, rekeying the stream first when
// its key has given its share.
void extend(NonceStream& stream) noexcept {
  if (stream.blocks_under_key == kBlocksPerKey) {
    security::Key next_key = stream_block(stream.key, "rekey", 0);
    stream.key = security::HmacKeyContext::from_key(next_key);
    security::secure_wipe(next_key);
    stream.blocks_under_key = 0;
  }
  const security::Tag out = stream_block(stream.key, "nonce", stream.blocks_under_key++);
  std::memcpy(stream.unread.data() + stream.unread_size, out.data(), out.size());
  stream.unread_size += out.size();
}

// A keyed stream in this process.
std::expected<void, std::string> ready(NonceStream& stream) noexcept {
  if (stream.keyed && stream.process.in_creating_process()) return {};
  return key_from_generator(stream);
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
  NonceStream& stream = t_stream;
  if (auto keyed = ready(stream); !keyed) return keyed;
  if (stream.unread_size < nonce.size()) extend(stream);
  std::memcpy(nonce.data(), stream.unread.data(), nonce.size());
  stream.unread_size -= nonce.size();
  std::memmove(stream.unread.data(), stream.unread.data() + nonce.size(), stream.unread_size);
  return {};
}

std::expected<void, std::string> prepare_thread() noexcept { return ready(t_stream); }

}  // namespace kelvara::edge
