/*
 * Kelvara C interface: counts of outcomes, so that an operator can count
 * admissions and refusals by code on every link. Include <kelvara.h> rather
 * than this file.
 */
#ifndef KELVARA_STATS_H
#define KELVARA_STATS_H

#include <stdint.h>

/* One count per result number 0 to KELVARA_OUTCOME_SLOTS - 1. */
#define KELVARA_OUTCOME_SLOTS 36

/* count[0] is the number of admissions; count[n] the number of calls that
 * returned result n (kelvara_error_code(n) names it). 288 bytes. */
typedef struct KelvaraOutcomeCounts {
  uint64_t count[KELVARA_OUTCOME_SLOTS];
} KelvaraOutcomeCounts;

#endif /* KELVARA_STATS_H */
