#include "kelvara/edge/state_lock.hpp"

#include <gtest/gtest.h>

#include <thread>
#include <vector>

namespace {

using kelvara::edge::StateLock;

// Contended from several threads the lock still serialises every update (on
// Linux the contended path goes through the kernel's priority-inheriting
// futex), and an unfinished guard still poisons it.
TEST(StateLock, InheritsPrioritySerialisesAndPoisons) {
  StateLock<long> counter(0);
#if defined(__linux__)
  EXPECT_TRUE(counter.inherits_priority());
#endif
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < 20000; ++i) {
        auto guard = counter.lock();
        *guard += 1;
        guard.complete();
      }
    });
  }
  for (auto& thread : threads) thread.join();
  {
    auto guard = counter.lock();
    EXPECT_FALSE(counter.poisoned());
    EXPECT_EQ(*guard, 80000);
  }  // not completed
  auto guard = counter.lock();
  EXPECT_TRUE(counter.poisoned());
}

}  // namespace
