/*
 * What a control loop calls once it runs, for the real-time tests: projection
 * (the four-axis solves and the general envelope), signing and admission of
 * receipts and of whole-arm frames, each with the refusals a runaway planner
 * or an attacker on the link provokes. Set-up (hot_path_open) may allocate
 * and call the system; hot_path_run must do neither.
 */
#ifndef KELVARA_TESTS_HOT_PATH_H
#define KELVARA_TESTS_HOT_PATH_H

#include <kelvara.h>

enum { kHotPathJoints = 7 };

typedef struct HotPath {
  KelvaraBoundary* boundary;     /* signs everything it is asked to */
  KelvaraBoundary* throttled;    /* admits nothing: every call is rate limited */
  KelvaraGate gate;              /* with a maximum age, so admission reads the clock */
  KelvaraEnvelope arm;           /* seven joints, one coupling row */
  KelvaraSigner* signer;         /* whole seven-joint frames */
  KelvaraCommandGate frame_gate; /* with the arm's envelope and step limits */
} HotPath;

/* Makes the objects; 0 on success. */
int hot_path_open(HotPath* path);

/* `rounds` rounds of every call, in the calling thread (which must be
 * prepared). Returns the number of calls whose result was not the expected one. */
long hot_path_run(HotPath* path, long rounds);

void hot_path_close(HotPath* path);

#endif
