#include "kelvara/edge/inheriting_mutex.hpp"

#include <unistd.h>
#include <system_error>

namespace kelvara::edge {

InheritingMutex::InheritingMutex() noexcept {
#if defined(_POSIX_THREAD_PRIO_INHERIT) && _POSIX_THREAD_PRIO_INHERIT > 0
  pthread_mutexattr_t attributes;
  if (pthread_mutexattr_init(&attributes) == 0) {
    inherits_priority_ = pthread_mutexattr_setprotocol(&attributes, PTHREAD_PRIO_INHERIT) == 0 &&
                         pthread_mutex_init(&mutex_, &attributes) == 0;
    pthread_mutexattr_destroy(&attributes);
    if (inherits_priority_) return;
  }
#endif
  // Without inheritance (or a kernel that refuses it): an ordinary mutex,
  // whose initialisation with default attributes cannot fail on glibc.
  pthread_mutex_init(&mutex_, nullptr);
}

InheritingMutex::~InheritingMutex() { pthread_mutex_destroy(&mutex_); }

void InheritingMutex::lock() {
  if (const int error = pthread_mutex_lock(&mutex_); error != 0) {
    throw std::system_error(error, std::generic_category(), "locking the state");
  }
}

void InheritingMutex::unlock() noexcept { pthread_mutex_unlock(&mutex_); }

}  // namespace kelvara::edge
