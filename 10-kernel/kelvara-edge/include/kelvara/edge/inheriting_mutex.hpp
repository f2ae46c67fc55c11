// A plain (non-recursive) mutex whose holder inherits the priority of the
// highest-priority thread waiting for it, where the platform offers priority
// inheritance: a low-priority thread holding a boundary's lock then cannot
// stall the control thread behind threads of middle priority. Elsewhere it is
// an ordinary mutex. Uncontended, locking and unlocking stay in user space.
#pragma once

#include <pthread.h>

namespace kelvara::edge {

class InheritingMutex {
 public:
  InheritingMutex() noexcept;
  InheritingMutex(const InheritingMutex&) = delete;
  InheritingMutex& operator=(const InheritingMutex&) = delete;
  ~InheritingMutex();

  // As std::mutex: blocks until the mutex is held; throws std::system_error
  // when the system refuses to take it.
  void lock();
  void unlock() noexcept;

  // Whether the holder inherits the priority of its waiters.
  bool inherits_priority() const noexcept { return inherits_priority_; }

 private:
  pthread_mutex_t mutex_;
  bool inherits_priority_ = false;
};

}  // namespace kelvara::edge
