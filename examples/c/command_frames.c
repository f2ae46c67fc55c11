/*
 * One signed frame per control tick for every joint at once: a command signer
 * on the controller's side, a command gate on the drive's side that admits
 * the whole vector or none of it. The gate holds its own copy of the arm's
 * coupled limit (shoulder + elbow <= 1.2 rad), so no mix of old and new axes
 * can break it. In a robot the two ends run on different machines and share
 * only the key; the frame is the only thing that travels.
 *
 * Build: cc command_frames.c $(pkg-config --cflags --libs kelvara)
 * Exits with 0 when every outcome is the expected one.
 */
#include <kelvara.h>

#include <math.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <threads.h>

#define AXES 4

static int failures = 0;

static void report(const char* what, int32_t result, int32_t expected) {
  printf("  %-34s %-22s %s\n", what, kelvara_error_code(result), kelvara_error_message(result));
  if (result != expected) {
    printf("    expected %s\n", kelvara_error_code(expected));
    failures += 1;
  }
}

int main(void) {
  uint8_t key[KELVARA_KEY_SIZE];
  const double max_velocity[AXES] = {2.0, 2.0, 3.0, 3.0}; /* rad/s */
  const double max_step[AXES] = {2.5, 2.5, 4.0, 4.0};     /* rad/s of the sender's clock */
  const double lo[AXES] = {-2.5, -2.0, -2.8, -3.1}, hi[AXES] = {2.5, 2.0, 2.8, 3.1};
  const double shoulder_plus_elbow[AXES] = {1.0, 1.0, 0.0, 0.0}, limit = 1.2;
  const double velocities[AXES] = {0.1, 0.1, 0.0, 0.0};
  double positions[AXES] = {0.30, 0.40, 0.0, 0.0};
  uint8_t frame[KELVARA_FRAME_SIZE(AXES)], replayed[KELVARA_FRAME_SIZE(AXES)];
  size_t size = 0;
  KelvaraCommand command;
  KelvaraOutcomeCounts counts;
  KelvaraSigner* signer;
  KelvaraEnvelope* envelope = malloc(sizeof *envelope); /* caller-owned storage, here */
  KelvaraCommandGate* gate = malloc(sizeof *gate);      /* from the heap (64 KiB) */
  size_t i;

  for (i = 0; i < sizeof key; ++i) key[i] = (uint8_t)(0x70 + i); /* share a real secret instead */
  if (envelope == NULL || gate == NULL) return 1;

  /* The controller: key id 1, stream 10, at most 1000 frames a second. */
  signer = kelvara_signer_new(key, 1, 10, AXES, max_velocity, 1000);
  if (signer == NULL) {
    fprintf(stderr, "the signer could not be made\n");
    return 1;
  }
  /* The drive: the same key under the same id, stream 10 only, frames older
   * than 1 s are stale, its own envelope and step limits. */
  printf("drive\n");
  report("command gate init", kelvara_command_gate_init(gate, AXES, 1000000000u), KELVARA_OK);
  report("add key 1", kelvara_command_gate_add_key(gate, 1, key), KELVARA_OK);
  report("allow stream 10", kelvara_command_gate_allow_stream(gate, 10), KELVARA_OK);
  report("envelope", kelvara_envelope_init(envelope, AXES, lo, hi, 1, shoulder_plus_elbow, &limit),
         KELVARA_OK);
  report("set envelope", kelvara_command_gate_set_envelope(gate, envelope), KELVARA_OK);
  report("set max step", kelvara_command_gate_set_max_step(gate, max_step), KELVARA_OK);

  printf("ticks, 1 ms apart\n");
  for (i = 0; i < 3; ++i) {
    const struct timespec tick = {0, 1000000};
    thrd_sleep(&tick, NULL); /* the step limit is per second of the sender's clock */
    positions[0] += 0.001;
    report("sign", kelvara_signer_sign(signer, positions, velocities, frame, sizeof frame, &size),
           KELVARA_OK);
    report("admit", kelvara_command_gate_admit(gate, frame, size, &command), KELVARA_OK);
  }
  printf("  applied counter %llu: shoulder %.3f elbow %.3f\n", (unsigned long long)command.counter,
         command.positions[0], command.positions[1]);
  memcpy(replayed, frame, sizeof frame);

  printf("refused\n");
  report("admit the same frame again", kelvara_command_gate_admit(gate, replayed, size, &command),
         KELVARA_ERR_REPLAY_COUNTER);
  frame[KELVARA_FRAME_HEADER_SIZE] ^= 1; /* a flipped bit in shoulder's position */
  report("admit a corrupted frame", kelvara_command_gate_admit(gate, frame, size, &command),
         KELVARA_ERR_AUTHENTICATION_FAILURE);
  positions[0] = 0.9; /* shoulder + elbow = 1.3 */
  report("sign past the coupled limit",
         kelvara_signer_sign(signer, positions, velocities, frame, sizeof frame, &size), KELVARA_OK);
  report("admit past the coupled limit", kelvara_command_gate_admit(gate, frame, size, &command),
         KELVARA_ERR_OUTSIDE_ENVELOPE);
  positions[0] = 0.30;
  positions[3] = HUGE_VAL; /* not finite */
  report("sign a non-finite position",
         kelvara_signer_sign(signer, positions, velocities, frame, sizeof frame, &size),
         KELVARA_ERR_NON_FINITE_VALUE);

  report("stats", kelvara_command_gate_stats(gate, &counts), KELVARA_OK);
  printf("  admitted %llu, replay_counter %llu, authentication_failure %llu, outside_envelope %llu\n",
         (unsigned long long)counts.count[0], (unsigned long long)counts.count[KELVARA_ERR_REPLAY_COUNTER],
         (unsigned long long)counts.count[KELVARA_ERR_AUTHENTICATION_FAILURE],
         (unsigned long long)counts.count[KELVARA_ERR_OUTSIDE_ENVELOPE]);
  if (counts.count[0] != 3) failures += 1;

  kelvara_command_gate_clear(gate); /* wipes the keys */
  kelvara_signer_free(signer);
  free(gate);
  free(envelope);
  if (failures == 0) {
    printf("every outcome as expected\n");
  } else {
    printf("%d unexpected outcomes\n", failures);
  }
  return failures == 0 ? 0 : 1;
}
