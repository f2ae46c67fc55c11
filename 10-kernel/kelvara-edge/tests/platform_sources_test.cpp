#include "kelvara/edge/platform_sources.hpp"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <set>
#include <thread>
#include <vector>

namespace {

using kelvara::edge::fill_random;
using kelvara::edge::prepare_thread;
using kelvara::security::Nonce;

std::vector<Nonce> draw(std::size_t count) {
  std::vector<Nonce> nonces(count);
  for (Nonce& nonce : nonces) EXPECT_TRUE(fill_random(nonce));
  return nonces;
}

// Several refills of each thread's stream: no nonce twice, within a thread or
// between threads, and none of them the zero bytes a failed draw would leave.
TEST(NonceStream, NoNonceRepeatsAcrossRefillsAndThreads) {
  ASSERT_TRUE(prepare_thread());
  std::vector<Nonce> mine = draw(1600);
  std::vector<Nonce> theirs;
  std::thread other([&] { theirs = draw(1600); });
  other.join();
  std::set<Nonce> distinct(mine.begin(), mine.end());
  distinct.insert(theirs.begin(), theirs.end());
  EXPECT_EQ(distinct.size(), mine.size() + theirs.size());
  EXPECT_FALSE(distinct.contains(Nonce{}));
}

// A forked child holds a copy of its parent's stream; handing out the same
// next nonce in both would let one receipt's nonce be another's.
TEST(NonceStream, ForkedChildDrawsItsOwnNonces) {
  ASSERT_TRUE(prepare_thread());
  int pipe_ends[2];
  ASSERT_EQ(pipe(pipe_ends), 0);
  const pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    Nonce child{};
    const bool drawn = fill_random(child).has_value();
    _exit(drawn && write(pipe_ends[1], child.data(), child.size()) == static_cast<ssize_t>(child.size()) ? 0
                                                                                                         : 1);
  }
  Nonce parent{};
  ASSERT_TRUE(fill_random(parent));
  Nonce child{};
  const ssize_t got = read(pipe_ends[0], child.data(), child.size());
  int status = 0;
  waitpid(pid, &status, 0);
  close(pipe_ends[0]);
  close(pipe_ends[1]);
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  ASSERT_EQ(got, static_cast<ssize_t>(child.size()));
  EXPECT_NE(parent, child);
}

}  // namespace
