/*
 * Both ends of the link in one program: a sender's boundary signs actuator
 * commands, an actuator's gate admits them, and a tampered and a replayed
 * receipt are refused. In a robot the two ends run on different machines and
 * share only the key; the command and its 60-byte receipt travel together.
 *
 * Build: cc sign_and_admit.c $(pkg-config --cflags --libs kelvara)
 * Exits with 0 when every outcome is the expected one.
 */
#include <kelvara.h>

#include <stdio.h>

struct command {
  int32_t axis;
  double position; /* rad */
  double velocity; /* rad/s */
  uint8_t receipt[KELVARA_RECEIPT_SIZE];
};

static int failures = 0;

/* Prints one outcome as its code and message and counts the unexpected. */
static void report(const char* what, int32_t result, int32_t expected) {
  printf("  %-36s %-24s %s\n", what, kelvara_error_code(result), kelvara_error_message(result));
  if (result != expected) {
    printf("    expected %s\n", kelvara_error_code(expected));
    failures += 1;
  }
}

int main(void) {
  uint8_t key[KELVARA_KEY_SIZE];
  struct command sent[3] = {{0, 0.10, 0.5, {0}}, {1, -0.25, -1.0, {0}}, {2, 1.50, 2.0, {0}}};
  struct command tampered;
  KelvaraBoundary* boundary;
  static KelvaraGate gate; /* storage the caller owns, here static */
  size_t i;

  for (i = 0; i < sizeof key; ++i) key[i] = (uint8_t)(0x40 + i); /* share a real secret instead */
  printf("kelvara %s (header %s)\n", kelvara_version(), KELVARA_VERSION_STRING);

  /* The sender: 100 commands per second at most, |velocity| <= 3 rad/s. */
  boundary = kelvara_boundary_new(100, 3.0, key);
  if (boundary == NULL) {
    fprintf(stderr, "the boundary could not be made\n");
    return 1;
  }
  /* The actuator: the same key; receipts older than 1 s are stale. */
  report("gate init", kelvara_gate_init(&gate, key), KELVARA_OK);
  report("gate max age 1 s", kelvara_gate_set_max_age(&gate, 1000000000u), KELVARA_OK);

  printf("sender\n");
  for (i = 0; i < 3; ++i) {
    report("authorize",
           kelvara_boundary_authorize(boundary, sent[i].axis, sent[i].position, sent[i].velocity,
                                      sent[i].receipt),
           KELVARA_OK);
  }
  {
    uint8_t unused[KELVARA_RECEIPT_SIZE];
    report("authorize 5 rad/s", kelvara_boundary_authorize(boundary, 3, 0.0, 5.0, unused),
           KELVARA_ERR_VELOCITY_EXCEEDED);
  }

  printf("actuator\n");
  /* A flipped bit in the tag of the first command, before the genuine one. */
  tampered = sent[0];
  tampered.receipt[KELVARA_RECEIPT_TAG_OFFSET] ^= 0x01;
  report("admit tampered receipt",
         kelvara_gate_admit(&gate, tampered.receipt, tampered.axis, tampered.position, tampered.velocity),
         KELVARA_ERR_AUTHENTICATION_FAILURE);
  /* The right receipt with a changed command is just as forged. */
  report("admit changed velocity",
         kelvara_gate_admit(&gate, sent[0].receipt, sent[0].axis, sent[0].position, 2.5),
         KELVARA_ERR_AUTHENTICATION_FAILURE);
  for (i = 0; i < 3; ++i) {
    report("admit",
           kelvara_gate_admit(&gate, sent[i].receipt, sent[i].axis, sent[i].position, sent[i].velocity),
           KELVARA_OK);
  }
  report("admit replayed receipt",
         kelvara_gate_admit(&gate, sent[1].receipt, sent[1].axis, sent[1].position, sent[1].velocity),
         KELVARA_ERR_REPLAY_COUNTER);
  printf("  last admitted sequence id: %llu\n", (unsigned long long)kelvara_gate_last_sequence_id(&gate));
  if (kelvara_gate_last_sequence_id(&gate) != 3) failures += 1;

  kelvara_gate_clear(&gate); /* wipes the key */
  kelvara_boundary_free(boundary);
  printf("%s\n", failures == 0 ? "every outcome as expected" : "UNEXPECTED OUTCOMES");
  return failures == 0 ? 0 : 1;
}
