/*
 * The general envelope on a seven-joint arm.
 *
 * Every joint moves within [-2.5, 2.5] rad except joint 3, which is locked
 * at 0.4 rad (equal bounds), and joints 1 and 2 together may bend at most
 * 1.2 rad: x1 + x2 <= 1.2. The controller asks for
 * (0.3, 1.4, 0.9, -2.0, 0.0, 0.5, 0.1). The nearest safe command locks joint
 * 3 and takes 0.55 off each of joints 1 and 2:
 * (0.3, 0.85, 0.35, 0.4, 0.0, 0.5, 0.1).
 *
 * The envelope is made once, when the arm is configured; each control tick
 * then projects one command, here in place.
 *
 * Build: cc envelope.c $(pkg-config --cflags --libs kelvara)
 * Exits with 0 when the result is the expected one.
 */
#include <kelvara.h>

#include <stdio.h>

#define JOINTS 7

static KelvaraEnvelope arm; /* about 32 KiB: static storage, made once */

int main(void) {
  const double min_bound[JOINTS] = {-2.5, -2.5, -2.5, 0.4, -2.5, -2.5, -2.5};
  const double max_bound[JOINTS] = {2.5, 2.5, 2.5, 0.4, 2.5, 2.5, 2.5};
  const double elbow[JOINTS] = {0, 1, 1, 0, 0, 0, 0};
  const double elbow_limit = 1.2;
  double command[JOINTS] = {0.3, 1.4, 0.9, -2.0, 0.0, 0.5, 0.1};
  const double expected[JOINTS] = {0.3, 0.85, 0.35, 0.4, 0.0, 0.5, 0.1};
  KelvaraProjection info;
  int32_t result;
  int i;

  result = kelvara_envelope_init(&arm, JOINTS, min_bound, max_bound, 1, elbow, &elbow_limit);
  if (result != KELVARA_OK) {
    printf("envelope refused: %s: %s\n", kelvara_error_code(result), kelvara_error_message(result));
    return 1;
  }

  if (kelvara_envelope_project(&arm, command, command, &info) != KELVARA_OK) return 1;
  if (info.status != KELVARA_STATUS_OPTIMAL) {
    printf("not optimal (status %u): hold the last command\n", (unsigned)info.status);
    return 1;
  }
  printf("safe command:");
  for (i = 0; i < JOINTS; ++i) printf(" %g", command[i]);
  printf("  (%u working-set changes)\n", (unsigned)info.iterations);

  for (i = 0; i < JOINTS; ++i) {
    const double difference = command[i] - expected[i];
    if (difference > 1e-9 || difference < -1e-9) return 1;
  }
  return 0;
}
