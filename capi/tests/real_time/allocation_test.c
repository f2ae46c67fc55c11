/*
 * After the documented warm-up, the hot path allocates nothing: this program
 * replaces the C allocator for the whole process (libkelvara, libcrypto and the
 * C++ runtime all call these) and counts every call made while a hot path runs.
 *
 * Three threads run in turn: the one that made the boundaries (prepared by
 * kelvara_boundary_new), one that calls kelvara_thread_prepare first, and one
 * that does not, which must be seen to allocate, or the counter would prove
 * nothing. Each signs enough to refill its nonce stream several times.
 */
#include <pthread.h>
#include <stdatomic.h>
#include <stdio.h>
#include <stdlib.h>

#include "hot_path.h"

void* __libc_malloc(size_t size);
void* __libc_calloc(size_t count, size_t size);
void* __libc_realloc(void* pointer, size_t size);
void* __libc_memalign(size_t alignment, size_t size);
void __libc_free(void* pointer);

static atomic_int counting;
static atomic_long allocations;

static void count(void) {
  if (atomic_load_explicit(&counting, memory_order_relaxed)) atomic_fetch_add(&allocations, 1);
}

void* malloc(size_t size) {
  count();
  return __libc_malloc(size);
}
void* calloc(size_t count_, size_t size) {
  count();
  return __libc_calloc(count_, size);
}
void* realloc(void* pointer, size_t size) {
  count();
  return __libc_realloc(pointer, size);
}
void* aligned_alloc(size_t alignment, size_t size) {
  count();
  return __libc_memalign(alignment, size);
}
void* memalign(size_t alignment, size_t size) {
  count();
  return __libc_memalign(alignment, size);
}
int posix_memalign(void** out, size_t alignment, size_t size) {
  count();
  void* pointer = __libc_memalign(alignment, size);
  if (pointer == NULL) return 12; /* ENOMEM */
  *out = pointer;
  return 0;
}
void free(void* pointer) {
  count();
  __libc_free(pointer);
}

enum { kRounds = 2000 }; /* about four refills of a thread's nonce stream */

typedef struct Run {
  HotPath* path;
  int prepare;
  long wrong;
  long allocations;
  long warm_up_allocations; /* those of kelvara_thread_prepare, for the record */
} Run;

static void start_counting(void) {
  atomic_store(&allocations, 0);
  atomic_store(&counting, 1);
}

static long stop_counting(void) {
  atomic_store(&counting, 0);
  return atomic_load(&allocations);
}

static void* run_counted(void* argument) {
  Run* run = argument;
  if (run->prepare) {
    start_counting();
    const int32_t prepared = kelvara_thread_prepare();
    run->warm_up_allocations = stop_counting();
    if (prepared != KELVARA_OK) {
      run->wrong = -1;
      return NULL;
    }
  }
  atomic_store(&allocations, 0);
  atomic_store(&counting, 1);
  run->wrong = hot_path_run(run->path, kRounds);
  atomic_store(&counting, 0);
  run->allocations = atomic_load(&allocations);
  return NULL;
}

static int in_thread(Run* run) {
  pthread_t thread;
  return pthread_create(&thread, NULL, run_counted, run) == 0 && pthread_join(thread, NULL) == 0;
}

int main(void) {
  static HotPath path;
  start_counting();
  const int opened = hot_path_open(&path);
  const long set_up_allocations = stop_counting();
  if (opened != 0) {
    fprintf(stderr, "set-up failed\n");
    return 1;
  }
  Run creator = {&path, 0, 0, 0, 0};
  Run prepared = {&path, 1, 0, 0, 0};
  Run unprepared = {&path, 0, 0, 0, 0};
  run_counted(&creator);
  if (!in_thread(&prepared) || !in_thread(&unprepared)) {
    fprintf(stderr, "could not start a thread\n");
    return 1;
  }
  hot_path_close(&path);

  printf("warm-up allocations: first set-up in the process %ld, kelvara_thread_prepare in a new thread %ld\n",
         set_up_allocations, prepared.warm_up_allocations);
  printf("allocations in %d rounds: creating thread %ld, prepared thread %ld, unprepared thread %ld\n",
         kRounds, creator.allocations, prepared.allocations, unprepared.allocations);
  int failed = 0;
  if (creator.wrong != 0 || prepared.wrong != 0 || unprepared.wrong != 0) {
    fprintf(stderr, "unexpected results: %ld, %ld, %ld\n", creator.wrong, prepared.wrong, unprepared.wrong);
    failed = 1;
  }
  if (creator.allocations != 0 || prepared.allocations != 0) {
    fprintf(stderr, "the hot path allocated after the warm-up\n");
    failed = 1;
  }
  if (unprepared.allocations == 0) {
    fprintf(stderr, "an unprepared thread allocated nothing: the counter sees nothing\n");
    failed = 1;
  }
  return failed;
}
