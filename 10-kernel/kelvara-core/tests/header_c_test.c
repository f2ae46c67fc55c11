/* The public header seen from C: it must compile as strict C11 (its layout
 * assertions run here too), and both exports must be callable from C. */
#include "kelvara.h"

#include <string.h>

int kelvara_header_c_check(void);

/* Returns 0 when both exports behave from C as from C++, otherwise the number
 * of the first failed check. */
int kelvara_header_c_check(void) {
  ScalarConstraints scalar = {{1.0f, 0.0f, 0.0f, 0.0f}, {5.0f, 0.0f, 0.0f, 0.0f}};
  ScalarSolution scalar_out;
  Multivar4dBounds bounds = {{0.0f, 0.0f, 0.0f, 0.0f}, {1.0f, 1.0f, 1.0f, 1.0f}};
  Multivar4dConstraints multivar;
  Multivar4dSolution multivar_out;
  const float desired[KELVARA_MULTIVAR4D_AXES] = {2.0f, 0.5f, 0.5f, 0.5f};

  if (kelvara_solve_active_set(7.0f, 0.0f, 10.0f, &scalar, &scalar_out) != 0) return 1;
  if (scalar_out.u != 5.0f || scalar_out.iterations != 1 || scalar_out.status != KELVARA_STATUS_OPTIMAL)
    return 2;
  if (kelvara_solve_active_set(7.0f, 0.0f, 10.0f, NULL, &scalar_out) != -1) return 3;

  memset(&multivar, 0, sizeof multivar);
  multivar.count = 1;
  multivar.a[0][0] = 1.0f;
  multivar.b[0] = 0.5f;
  if (kelvara_solve_multivar_4d(desired, &bounds, &multivar, &multivar_out) != 0) return 4;
  if (multivar_out.u[0] != 0.5f || multivar_out.u[1] != 0.5f || multivar_out.iterations != 6 ||
      multivar_out.status != KELVARA_STATUS_OPTIMAL) {
    return 5;
  }
  if (kelvara_solve_multivar_4d(desired, &bounds, &multivar, NULL) != -1) return 6;
  return 0;
}
