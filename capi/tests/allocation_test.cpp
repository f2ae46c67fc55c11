// Signing and admitting a command frame allocate nothing in the steady state:
// every malloc of the process is counted while they run (this program replaces
// the C library's allocator entry points with counting ones that forward to
// it), and the count must stay at zero.
#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <cstddef>

#include "kelvara.h"

extern "C" {
void* __libc_malloc(std::size_t size);
void* __libc_calloc(std::size_t count, std::size_t size);
void* __libc_realloc(void* block, std::size_t size);
void* __libc_memalign(std::size_t alignment, std::size_t size);
void __libc_free(void* block);
}

namespace {

std::atomic<long> g_blocks{0};

}  // namespace

// Every allocation in the process goes through these; operator new calls malloc.
extern "C" void* malloc(std::size_t size) {
  g_blocks.fetch_add(1, std::memory_order_relaxed);
  return __libc_malloc(size);
}
extern "C" void* calloc(std::size_t count, std::size_t size) {
  g_blocks.fetch_add(1, std::memory_order_relaxed);
  return __libc_calloc(count, size);
}
extern "C" void* realloc(void* block, std::size_t size) {
  g_blocks.fetch_add(1, std::memory_order_relaxed);
  return __libc_realloc(block, size);
}
extern "C" int posix_memalign(void** out, std::size_t alignment, std::size_t size) {
  g_blocks.fetch_add(1, std::memory_order_relaxed);
  *out = __libc_memalign(alignment, size);
  return *out == nullptr ? 12 /* ENOMEM */ : 0;
}
extern "C" void* aligned_alloc(std::size_t alignment, std::size_t size) {
  g_blocks.fetch_add(1, std::memory_order_relaxed);
  return __libc_memalign(alignment, size);
}
extern "C" void free(void* block) { __libc_free(block); }

namespace {

constexpr std::size_t kAxes = 7;
constexpr int kFrames = 2000;

TEST(SteadyState, SignAndAdmitAllocateNothing) {
  const std::array<std::uint8_t, KELVARA_KEY_SIZE> key = {1, 2, 3};
  const double limits[kAxes] = {2, 2, 2, 2, 2, 2, 2};
  KelvaraSigner* signer = kelvara_signer_new(key.data(), 1, 9, kAxes, limits, KELVARA_SIGNER_MAX_RATE_LIMIT);
  ASSERT_NE(signer, nullptr);
  auto* gate = new KelvaraCommandGate;
  ASSERT_EQ(kelvara_command_gate_init(gate, kAxes, 1'000'000'000), KELVARA_OK);
  ASSERT_EQ(kelvara_command_gate_add_key(gate, 1, key.data()), KELVARA_OK);
  ASSERT_EQ(kelvara_command_gate_allow_stream(gate, 9), KELVARA_OK);
  const double steps[kAxes] = {1e9, 1e9, 1e9, 1e9, 1e9, 1e9, 1e9};
  ASSERT_EQ(kelvara_command_gate_set_max_step(gate, steps), KELVARA_OK);

  std::array<std::uint8_t, KELVARA_FRAME_MAX_SIZE> frame{};
  double positions[kAxes] = {}, velocities[kAxes] = {0.5, -0.5, 1, -1, 0, 0.25, 1.5};
  KelvaraCommand command;
  std::size_t size = 0;
  long sign_blocks = 0, admit_blocks = 0, refusal_blocks = 0;
  for (int i = 0; i < kFrames + 10; ++i) {
    positions[i % kAxes] += 1e-3;
    const long before_sign = g_blocks.load();
    ASSERT_EQ(kelvara_signer_sign(signer, positions, velocities, frame.data(), frame.size(), &size),
              KELVARA_OK);
    const long before_admit = g_blocks.load();
    ASSERT_EQ(kelvara_command_gate_admit(gate, frame.data(), size, &command), KELVARA_OK);
    const long before_refusal = g_blocks.load();
    ASSERT_EQ(kelvara_command_gate_admit(gate, frame.data(), size, &command), KELVARA_ERR_REPLAY_COUNTER);
    if (i < 10) continue;  // warm-up: first use of the clocks and the process guard
    sign_blocks += before_admit - before_sign;
    admit_blocks += before_refusal - before_admit;
    refusal_blocks += g_blocks.load() - before_refusal;
  }
  EXPECT_EQ(sign_blocks, 0) << "blocks per " << kFrames << " signs";
  EXPECT_EQ(admit_blocks, 0) << "blocks per " << kFrames << " admissions";
  EXPECT_EQ(refusal_blocks, 0) << "blocks per " << kFrames << " refusals";
  RecordProperty("blocks_per_sign", static_cast<int>(sign_blocks / kFrames));
  RecordProperty("blocks_per_admit", static_cast<int>(admit_blocks / kFrames));

  // The counter itself works: making a signer allocates its rate window.
  const long before_new = g_blocks.load();
  KelvaraSigner* another = kelvara_signer_new(key.data(), 1, 9, kAxes, limits, 10);
  EXPECT_GT(g_blocks.load(), before_new);
  kelvara_signer_free(another);
  kelvara_command_gate_clear(gate);
  delete gate;
  kelvara_signer_free(signer);
}

}  // namespace
