#include "kelvara/security/sha256_compress.hpp"

#include <openssl/sha.h>

#include <algorithm>

#include "kelvara/security/secure_wipe.hpp"

namespace kelvara::security {

// The low-level block function is deprecated in favour of the one-shot digest
// interfaces, which cannot start from an arbitrary chaining value; it is the
// only entry point that compresses exactly one block into a given state.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"

void sha256_compress(Sha256State& state, std::span<const std::uint8_t, kSha256BlockSize> block) noexcept {
  static_assert(sizeof(SHA_LONG) == sizeof(std::uint32_t));
  // Only the chaining words are read or written by the block function; the
  // byte counters and buffer of the context are left unused.
  SHA256_CTX context{};
  std::copy(state.begin(), state.end(), context.h);
  SHA256_Transform(&context, block.data());
  std::copy(context.h, context.h + state.size(), state.begin());
  secure_wipe(context.h);  // after a key block, the chaining value signs like the key
}

#pragma GCC diagnostic pop

}  // namespace kelvara::security
