#include "hot_path.h"

#include <string.h>

static const uint8_t kKey[KELVARA_KEY_SIZE] = {7, 1, 4, 1, 5, 9, 2, 6};

static const double kLow[kHotPathJoints] = {-2.5, -2.5, -2.5, -2.5, -2.5, -2.5, -2.5};
static const double kHigh[kHotPathJoints] = {2.5, 2.5, 2.5, 2.5, 2.5, 2.5, 2.5};
static const double kElbow[kHotPathJoints] = {0, 1, 1, 0, 0, 0, 0};
static const double kElbowLimit = 1.2;
static const double kVelocityLimits[kHotPathJoints] = {4, 4, 4, 4, 4, 4, 4};
static const double kMaxStep[kHotPathJoints] = {1e6, 1e6, 1e6, 1e6, 1e6, 1e6, 1e6};
enum { kKeyId = 3, kStream = 11 };

int hot_path_open(HotPath* path) {
  path->boundary = kelvara_boundary_new(UINT64_MAX, 4.0, kKey);
  path->throttled = kelvara_boundary_new(0, 4.0, kKey);
  path->signer = kelvara_signer_new(kKey, kKeyId, kStream, kHotPathJoints, kVelocityLimits,
                                    KELVARA_SIGNER_MAX_RATE_LIMIT);
  if (path->boundary == NULL || path->throttled == NULL || path->signer == NULL) return -1;
  const int32_t results[] = {
      kelvara_gate_init(&path->gate, kKey),
      kelvara_gate_set_max_age(&path->gate, 1000000000u),
      kelvara_envelope_init(&path->arm, kHotPathJoints, kLow, kHigh, 1, kElbow, &kElbowLimit),
      kelvara_command_gate_init(&path->frame_gate, kHotPathJoints, 1000000000u),
      kelvara_command_gate_add_key(&path->frame_gate, kKeyId, kKey),
      kelvara_command_gate_allow_stream(&path->frame_gate, kStream),
      kelvara_command_gate_set_envelope(&path->frame_gate, &path->arm),
      kelvara_command_gate_set_max_step(&path->frame_gate, kMaxStep),
  };
  for (size_t i = 0; i < sizeof results / sizeof results[0]; ++i) {
    if (results[i] != KELVARA_OK) return -1;
  }
  return 0;
}

/* The whole arm: project, sign one frame, admit it; a tampered copy, a replay
 * and a frame outside the envelope are refused, and so is a runaway velocity. */
static long one_frame(HotPath* path, long round) {
  long wrong = 0;
  double command[kHotPathJoints] = {0.3, 1.4, 0.9, -2.0, 0.0, 0.5, 0.001 * (double)(round % 1000)};
  const double velocities[kHotPathJoints] = {0.1, 0.1, 0.1, 0.1, 0.1, 0.1, 0.1};
  KelvaraProjection info;
  wrong += kelvara_envelope_project(&path->arm, command, command, &info) != KELVARA_OK ||
           info.status != KELVARA_STATUS_OPTIMAL;
  uint8_t frame[KELVARA_FRAME_SIZE(kHotPathJoints)];
  uint8_t outside[KELVARA_FRAME_SIZE(kHotPathJoints)];
  size_t size = 0;
  size_t outside_size = 0;
  wrong += kelvara_signer_sign(path->signer, command, velocities, frame, sizeof frame, &size) != KELVARA_OK;
  const double too_fast[kHotPathJoints] = {9, 0, 0, 0, 0, 0, 0};
  wrong += kelvara_signer_sign(path->signer, command, too_fast, outside, sizeof outside, &outside_size) !=
           KELVARA_ERR_VELOCITY_EXCEEDED;

  KelvaraCommand admitted;
  uint8_t forged[KELVARA_FRAME_SIZE(kHotPathJoints)];
  memcpy(forged, frame, size);
  forged[size - 1 - (size_t)(round % 32)] ^= 0x01; /* somewhere in the tag */
  wrong += kelvara_command_gate_admit(&path->frame_gate, forged, size, &admitted) !=
           KELVARA_ERR_AUTHENTICATION_FAILURE;
  wrong += kelvara_command_gate_admit(&path->frame_gate, frame, size, &admitted) != KELVARA_OK;
  wrong +=
      kelvara_command_gate_admit(&path->frame_gate, frame, size, &admitted) != KELVARA_ERR_REPLAY_COUNTER;
  /* Signed after the admitted one, but bent past the elbow row. */
  const double bent[kHotPathJoints] = {0.0, 1.0, 1.0, 0.0, 0.0, 0.0, 0.0};
  wrong += kelvara_signer_sign(path->signer, bent, velocities, outside, sizeof outside, &outside_size) !=
           KELVARA_OK;
  wrong += kelvara_command_gate_admit(&path->frame_gate, outside, outside_size, &admitted) !=
           KELVARA_ERR_OUTSIDE_ENVELOPE;
  return wrong;
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
  for (long round = 0; round < rounds; ++round) wrong += one_round(path, round) + one_frame(path, round);
  return wrong;
}

void hot_path_close(HotPath* path) {
  kelvara_boundary_free(path->boundary);
  kelvara_boundary_free(path->throttled);
  kelvara_gate_clear(&path->gate);
  kelvara_signer_free(path->signer);
  kelvara_command_gate_clear(&path->frame_gate);
}
