// Erasing secrets: keys, key blocks and the hash states prepared from a key
// (as good as the key for forging tags). A plain memset before an object's end
// is a dead store the optimiser may drop; explicit_bzero is kept by contract.
#pragma once

#include <string.h>  // explicit_bzero (glibc)

#include <cstddef>
#include <type_traits>

namespace kelvara::security {

inline void secure_wipe(void* bytes, std::size_t size) noexcept { ::explicit_bzero(bytes, size); }

template <typename T>
  requires std::is_trivially_copyable_v<T>
inline void secure_wipe(T& secret) noexcept {
  secure_wipe(&secret, sizeof secret);
}

// Erases a secret held for one scope (a key copied out of a caller's buffer)
// however the scope is left.
template <typename T>
class WipedOnExit {
 public:
  explicit WipedOnExit(T& secret) noexcept : secret_(secret) {}
  WipedOnExit(const WipedOnExit&) = delete;
  WipedOnExit& operator=(const WipedOnExit&) = delete;
  ~WipedOnExit() { secure_wipe(secret_); }

 private:
  T& secret_;
};

}  // namespace kelvara::security
