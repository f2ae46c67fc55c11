#include "counting_allocator.hpp"

#include <atomic>
#include <cstddef>

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

long counting_allocator::blocks() noexcept { return g_blocks.load(); }

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
