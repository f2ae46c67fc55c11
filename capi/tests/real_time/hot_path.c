#include "hot_path.h"

#include <string.h>

static const uint8_t kKey[KELVARA_KEY_SIZE] = {7, 1, 4, 1, 5, 9, 2, 6};

int hot_path_open(HotPath* path) {
  path->boundary = kelvara_boundary_new(UINT64_MAX, 4.0, kKey);
  path->throttled = kelvara_boundary_new(0, 4.0, kKey);
  if (path->boundary == NULL || path->throttled == NULL) return -1;
  if (kelvara_gate_init(&path->gate, kKey) != KELVARA_OK) return -1;
  return kelvara_gate_set_max_age(&path->gate, 1000000000u) == KELVARA_OK ? 0 : -1;
}

/* One tick of a four-axis arm, plus the refusals that may come with it. */
static long one_round(HotPath* path, long round) {
  long wrong = 0;
  const int32_t axis = (int32_t)(round % 4);
  const double position = 0.001 * (double)(round % 1000);
  uint8_t receipt[KELVARA_RECEIPT_SIZE];
  uint8_t forged[KELVARA_RECEIPT_SIZE];

  const ScalarConstraints scalar = {{1.0f, 0.0f, 0.0f, 0.0f}, {0.5f, 0.0f, 0.0f, 0.0f}};
  ScalarSolution scalar_out;
  wrong += kelvara_solve_active_set((float)position, -1.0f, 1.0f, &scalar, &scalar_out) != 0;
  const float desired[4] = {0.3f, 1.4f, 0.9f, -2.0f};
  const Multivar4dBounds bounds = {{-1.5f, -1.5f, -1.5f, -1.5f}, {1.5f, 1.5f, 1.5f, 1.5f}};
  const Multivar4dConstraints rows = {1, {{0.0f, 1.0f, 1.0f, 0.0f}}, {1.2f}};
  Multivar4dSolution solution;
  wrong += kelvara_solve_multivar_4d(desired, &bounds, &rows, &solution) != 0 ||
           solution.status != KELVARA_STATUS_OPTIMAL;

  wrong += kelvara_boundary_authorize(path->boundary, axis, position, 0.5, receipt) != KELVARA_OK;
  wrong += kelvara_boundary_authorize(path->boundary, axis, position, 9.0, forged) !=
           KELVARA_ERR_VELOCITY_EXCEEDED;
  wrong +=
      kelvara_boundary_authorize(path->throttled, axis, position, 0.5, forged) != KELVARA_ERR_RATE_LIMITED;

  memcpy(forged, receipt, sizeof forged);
  forged[KELVARA_RECEIPT_TAG_OFFSET + (round % 32)] ^= 0x10;
  wrong += kelvara_gate_admit(&path->gate, forged, axis, position, 0.5) != KELVARA_ERR_AUTHENTICATION_FAILURE;
  wrong += kelvara_gate_admit(&path->gate, receipt, axis, position, 0.5) != KELVARA_OK;
  wrong += kelvara_gate_admit(&path->gate, receipt, axis, position, 0.5) != KELVARA_ERR_REPLAY_COUNTER;
  return wrong;
}

long hot_path_run(HotPath* path, long rounds) {
  long wrong = 0;
  for (long round = 0; round < rounds; ++round) wrong += one_round(path, round);
  return wrong;
}

void hot_path_close(HotPath* path) {
  kelvara_boundary_free(path->boundary);
  kelvara_boundary_free(path->throttled);
  kelvara_gate_clear(&path->gate);
}
