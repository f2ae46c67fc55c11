// A value behind a plain (non-recursive) mutex that carries a poisoned flag. The
// mutex inherits priority where the platform offers it (inheriting_mutex.hpp).
//
// A guard that ends without being marked complete poisons the lock: an early
// return the code did not design for, or an exception unwinding through the
// locked steps, leaves the state suspect, and every later locker is refused.
#pragma once

#include <mutex>
#include <utility>

#include "kelvara/edge/inheriting_mutex.hpp"

namespace kelvara::edge {

template <typename T>
class StateLock {
 public:
  template <typename... Args>
  explicit StateLock(Args&&... args) : value_(std::forward<Args>(args)...) {}

  class Guard {
   public:
    explicit Guard(StateLock& owner) : owner_(owner), lock_(owner.mutex_) {}
    Guard(const Guard&) = delete;
    Guard& operator=(const Guard&) = delete;
    ~Guard() {
      if (!complete_) owner_.poisoned_ = true;
    }

    T& operator*() const { return owner_.value_; }
    T* operator->() const { return &owner_.value_; }

    // The locked steps ended by a designed outcome (success or refusal): the
    // state is consistent and the lock stays usable.
    void complete() { complete_ = true; }

   private:
    StateLock& owner_;
    std::unique_lock<InheritingMutex> lock_;
    bool complete_ = false;
  };

  // Blocks until the lock is free. The caller must check poisoned() on the
  // guard's owner before touching the value.
  Guard lock() { return Guard(*this); }
  bool poisoned() const { return poisoned_; }  // read only while holding the lock

  bool inherits_priority() const noexcept { return mutex_.inherits_priority(); }

  // For inspection while no guard is held (tests, single-threaded set-up).
  const T& unguarded() const { return value_; }

 private:
  InheritingMutex mutex_;
  bool poisoned_ = false;
  T value_;
};

}  // namespace kelvara::edge
