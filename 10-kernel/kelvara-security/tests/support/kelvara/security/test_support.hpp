// Test support of the security layer, for its tests and the hasher's fuzz
// target: the independent HMAC-SHA-256 every tag is checked against.
#pragma once

#include <openssl/evp.h>
#include <openssl/hmac.h>

#include <cstdlib>
#include <span>

#include "kelvara/security/types.hpp"

namespace kelvara::security::testing {

// OpenSSL's one-shot HMAC-SHA-256 of `message` under `key`. It cannot fail for
// these sizes; if it ever did, no verdict drawn from it would mean anything.
inline Tag reference_hmac(const Key& key, std::span<const std::uint8_t> message) {
  Tag tag{};
  unsigned int length = 0;
  if (HMAC(EVP_sha256(), key.data(), static_cast<int>(key.size()), message.data(), message.size(), tag.data(),
           &length) == nullptr ||
      length != tag.size()) {
    std::abort();
  }
  return tag;
}

}  // namespace kelvara::security::testing
