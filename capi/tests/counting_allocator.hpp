// A program that links counting_allocator.cpp replaces the C library's
// allocator entry points with ones that count every block asked for and
// forward to it; a steady-state path that allocates nothing leaves the count
// unchanged. Not under the sanitizers, which replace the allocator themselves.
#pragma once

namespace counting_allocator {

// Blocks asked for by the whole process so far (malloc, calloc, realloc,
// posix_memalign, aligned_alloc; operator new goes through malloc).
long blocks() noexcept;

}  // namespace counting_allocator
