// Which process an object belongs to. After fork() a child holds a copy of
// every sender and gate of its parent: the same key, the same sequence ids,
// the same rate window. Used from both processes, two senders would sign the
// same sequence ids and the rate limit would double, so an object refuses to
// work anywhere but in the process that created it.
#pragma once

#include <cstdint>

namespace kelvara::edge {

class ProcessGuard {
 public:
  // Remembers the calling process.
  ProcessGuard() noexcept;

  // Whether the caller runs in the process that created this guard. One
  // atomic load and a compare: a fork handler, not a system call, tells.
  bool in_creating_process() const noexcept;

 private:
  std::uint64_t generation_;
};

}  // namespace kelvara::edge
