/* Signs one command and admits it; exits with 0 when the gate admits it and
 * refuses its replay. */
#include <kelvara.h>

#include <stdio.h>

int main(void) {
  static const uint8_t key[KELVARA_KEY_SIZE] = {3, 1, 4, 1, 5, 9, 2, 6};
  static KelvaraGate gate;
  uint8_t receipt[KELVARA_RECEIPT_SIZE];
  KelvaraBoundary* boundary = kelvara_boundary_new(100, 2.0, key);
  if (boundary == NULL || kelvara_gate_init(&gate, key) != KELVARA_OK) return 1;
  const int32_t signed_ = kelvara_boundary_authorize(boundary, 1, 0.25, 0.5, receipt);
  const int32_t admitted = kelvara_gate_admit(&gate, receipt, 1, 0.25, 0.5);
  const int32_t replayed = kelvara_gate_admit(&gate, receipt, 1, 0.25, 0.5);
  printf("kelvara %s: signed %s, admitted %s, replay %s\n", kelvara_version(), kelvara_error_code(signed_),
         kelvara_error_code(admitted), kelvara_error_code(replayed));
  kelvara_gate_clear(&gate);
  kelvara_boundary_free(boundary);
  return signed_ == KELVARA_OK && admitted == KELVARA_OK && replayed == KELVARA_ERR_REPLAY_COUNTER ? 0 : 1;
}
