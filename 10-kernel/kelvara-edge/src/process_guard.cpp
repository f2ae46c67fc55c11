#include "kelvara/edge/process_guard.hpp"

#include <pthread.h>

#include <atomic>
#include <mutex>

namespace kelvara::edge {
namespace {

// Bumped in every child right after fork(), so a value remembered before the
// fork never matches in the child. Processes that replace themselves with
// exec() (posix_spawn, vfork) run no handlers and need none.
std::atomic<std::uint64_t> g_process_generation{0};

void on_fork_in_child() noexcept { g_process_generation.fetch_add(1, std::memory_order_relaxed); }

std::uint64_t current_generation() noexcept {
  static std::once_flag registered;
  std::call_once(registered, [] { pthread_atfork(nullptr, nullptr, on_fork_in_child); });
  return g_process_generation.load(std::memory_order_relaxed);
}

}  // namespace

ProcessGuard::ProcessGuard() noexcept : generation_(current_generation()) {}

bool ProcessGuard::in_creating_process() const noexcept {
  return g_process_generation.load(std::memory_order_relaxed) == generation_;
}

}  // namespace kelvara::edge
