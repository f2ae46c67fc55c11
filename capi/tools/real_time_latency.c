/*
 * How long the hot path's calls take after the warm-up, in the calling
 * thread: each call timed alone with the monotonic clock, over many rounds,
 * reported as median, 99th and 99.9th percentiles and the worst case. Run by
 * `make timing`; the figures in docs/operating.md come from it.
 *
 * Usage: real_time_latency [ROUNDS]   (default 200000)
 * With the privileges for it, the process locks its memory and runs under
 * SCHED_FIFO; it says which it got.
 */
#define _GNU_SOURCE
#include <kelvara.h>
#include <sched.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <time.h>

enum { kCalls = 5 };
static const char* const kNames[kCalls] = {"kelvara_solve_active_set", "kelvara_solve_multivar_4d",
                                           "kelvara_boundary_authorize", "kelvara_gate_admit",
                                           "one tick: project, sign, admit"};

static long long now_ns(void) {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return (long long)ts.tv_sec * 1000000000LL + ts.tv_nsec;
}

static int by_value(const void* a, const void* b) {
  const long long x = *(const long long*)a, y = *(const long long*)b;
  return (x > y) - (x < y);
}

int main(int argc, char** argv) {
  const long rounds = argc > 1 ? atol(argv[1]) : 200000;
  if (rounds < 1000) {
    fprintf(stderr, "at least 1000 rounds\n");
    return 2;
  }
  long long* samples[kCalls];
  for (int c = 0; c < kCalls; ++c) {
    samples[c] = calloc((size_t)rounds, sizeof(long long)); /* touched now: no page faults later */
    if (samples[c] == NULL) return 1;
  }
  const int locked = mlockall(MCL_CURRENT | MCL_FUTURE) == 0;
  struct sched_param priority = {.sched_priority = 80};
  const int realtime = sched_setscheduler(0, SCHED_FIFO, &priority) == 0;

  static const uint8_t key[KELVARA_KEY_SIZE] = {9, 8, 7, 6, 5, 4, 3, 2, 1};
  static KelvaraGate gate;
  KelvaraBoundary* boundary = kelvara_boundary_new(UINT64_MAX, 4.0, key); /* prepares this thread */
  if (boundary == NULL || kelvara_gate_init(&gate, key) != KELVARA_OK ||
      kelvara_gate_set_max_age(&gate, 1000000000u) != KELVARA_OK) {
    fprintf(stderr, "set-up failed\n");
    return 1;
  }
  const ScalarConstraints scalar = {{1.0f, 0.0f, 0.0f, 0.0f}, {0.5f, 0.0f, 0.0f, 0.0f}};
  const Multivar4dBounds bounds = {{-1.5f, -1.5f, -1.5f, -1.5f}, {1.5f, 1.5f, 1.5f, 1.5f}};
  const Multivar4dConstraints rows = {2, {{0.0f, 1.0f, 1.0f, 0.0f}, {1.0f, 0.0f, 0.0f, 1.0f}}, {1.2f, 0.4f}};
  ScalarSolution scalar_out;
  Multivar4dSolution solution;
  uint8_t receipt[KELVARA_RECEIPT_SIZE];
  long failures = 0;

  for (long r = 0; r < rounds; ++r) {
    const float desired[4] = {0.3f + 1e-6f * (float)(r % 1000), 1.4f, 0.9f, -2.0f};
    const int32_t axis = (int32_t)(r % 4);
    long long t0 = now_ns();
    failures += kelvara_solve_active_set(desired[0], -1.0f, 1.0f, &scalar, &scalar_out) != 0;
    long long t1 = now_ns();
    failures += kelvara_solve_multivar_4d(desired, &bounds, &rows, &solution) != 0;
    long long t2 = now_ns();
    failures += kelvara_boundary_authorize(boundary, axis, solution.u[axis], 0.5, receipt) != KELVARA_OK;
    long long t3 = now_ns();
    failures += kelvara_gate_admit(&gate, receipt, axis, solution.u[axis], 0.5) != KELVARA_OK;
    long long t4 = now_ns();
    samples[0][r] = t1 - t0;
    samples[1][r] = t2 - t1;
    samples[2][r] = t3 - t2;
    samples[3][r] = t4 - t3;
    samples[4][r] = t4 - t0;
  }
  kelvara_gate_clear(&gate);
  kelvara_boundary_free(boundary);

  printf("%ld rounds after the warm-up; memory %slocked, %s\n", rounds, locked ? "" : "not ",
         realtime ? "SCHED_FIFO 80" : "normal scheduling (no privilege for SCHED_FIFO)");
  printf("%-32s %10s %10s %10s %10s\n", "call (ns)", "median", "p99", "p99.9", "worst");
  for (int c = 0; c < kCalls; ++c) {
    qsort(samples[c], (size_t)rounds, sizeof(long long), by_value);
    printf("%-32s %10lld %10lld %10lld %10lld\n", kNames[c], samples[c][rounds / 2],
           samples[c][rounds * 99 / 100], samples[c][rounds * 999 / 1000], samples[c][rounds - 1]);
    free(samples[c]);
  }
  if (failures != 0) fprintf(stderr, "%ld calls did not succeed\n", failures);
  return failures == 0 ? 0 : 1;
}
