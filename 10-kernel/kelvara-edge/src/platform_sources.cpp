#include "kelvara/edge/platform_sources.hpp"

#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/rand.h>

#include <array>
#include <cerrno>
#include <cstring>
#include <ctime>

#include "kelvara/edge/process_guard.hpp"
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

// Each thread draws nonces from its own ChaCha20 keystream, in batches of 512.
// The stream's first key comes from OpenSSL's generator (seeded from the
// operating system); every batch is followed by the next key, so the stream
// rekeys itself from its own output and an old key never exists next to the
// nonces it made. After that first draw a nonce costs neither a system call
// nor an allocation: OpenSSL's own generator checks the process id on every
// call. A stream never outlives a fork: the child keys its own, and never
// hands out a nonce its parent may hand out too. Nonces are public once sent,
// so unused ones are no secret; the key is.
constexpr std::size_t kBatchNonces = 512;
constexpr std::size_t kStreamKeySize = 32;
constexpr std::size_t kStreamIvSize = 16;  // block counter and nonce of the cipher

struct NonceStream {
  NonceStream() = default;
  NonceStream(const NonceStream&) = delete;
  NonceStream& operator=(const NonceStream&) = delete;
  ~NonceStream() {
    EVP_CIPHER_CTX_free(cipher);
    security::secure_wipe(bytes);
  }

  // A batch of nonces, then the key for the next batch.
  std::array<std::uint8_t, kBatchNonces * security::kNonceSize + kStreamKeySize> bytes{};
  std::size_t next = kBatchNonces;  // every nonce used: draw a batch first
  EVP_CIPHER_CTX* cipher = nullptr;
  bool keyed = false;
  ProcessGuard process;
};

thread_local NonceStream t_stream;

// Keys the stream from OpenSSL's generator: once per thread, and again in a
// forked child.
std::expected<void, std::string> key_from_generator(NonceStream& stream) noexcept {
  try {
    stream.keyed = false;
    if (stream.cipher == nullptr && (stream.cipher = EVP_CIPHER_CTX_new()) == nullptr) {
      return std::unexpected(openssl_failure("no memory for the nonce stream"));
    }
    std::array<std::uint8_t, kStreamKeySize + kStreamIvSize> seed{};
    const security::WipedOnExit wiped(seed);
    if (RAND_bytes(seed.data(), static_cast<int>(seed.size())) != 1) {
      return std::unexpected(openssl_failure("the generator could not be seeded"));
    }
    if (EVP_EncryptInit_ex(stream.cipher, EVP_chacha20(), nullptr, seed.data(),
                           seed.data() + kStreamKeySize) != 1) {
      return std::unexpected(openssl_failure("the nonce stream could not be keyed"));
    }
    stream.keyed = true;
    stream.process = ProcessGuard();
    return {};
  } catch (...) {  // a failure text that could not be allocated
    return std::unexpected(std::string());
  }
}

// The next batch and key from the keyed stream, then the stream rekeyed.
std::expected<void, std::string> draw(NonceStream& stream) noexcept {
  try {
    if (!stream.keyed || !stream.process.in_creating_process()) {
      if (auto keyed = key_from_generator(stream); !keyed) return keyed;
    }
    stream.bytes.fill(0);
    int written = 0;
    const auto size = static_cast<int>(stream.bytes.size());
    const std::uint8_t* next_key = stream.bytes.data() + kBatchNonces * security::kNonceSize;
    static constexpr std::array<std::uint8_t, kStreamIvSize> kZeroIv{};
    if (EVP_EncryptUpdate(stream.cipher, stream.bytes.data(), &written, stream.bytes.data(), size) != 1 ||
        written != size ||
        EVP_EncryptInit_ex(stream.cipher, nullptr, nullptr, next_key, kZeroIv.data()) != 1) {
      stream.keyed = false;  // the next draw starts over from the generator
      return std::unexpected(openssl_failure("the nonce stream failed"));
    }
    security::secure_wipe(stream.bytes.data() + kBatchNonces * security::kNonceSize, kStreamKeySize);
    stream.next = 0;
    return {};
  } catch (...) {
    return std::unexpected(std::string());
  }
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
  if (stream.next == kBatchNonces || !stream.process.in_creating_process()) {
    if (auto drawn = draw(stream); !drawn) return drawn;
  }
  std::memcpy(nonce.data(), stream.bytes.data() + stream.next * nonce.size(), nonce.size());
  ++stream.next;
  return {};
}

std::expected<void, std::string> prepare_thread() noexcept {
  NonceStream& stream = t_stream;
  if (stream.keyed && stream.process.in_creating_process()) return {};
  return draw(stream);
}

}  // namespace kelvara::edge
