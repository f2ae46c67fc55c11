/*
 * The two solves of the numerical kernel on a worked example.
 *
 * One axis: a joint asks for 7 rad/s, its drive allows [0, 10] and a thermal
 * limit says u <= 5: the safe command is 5.
 *
 * Four axes: a controller asks for joint velocities (0.8, 0.6, -0.2, 0.1)
 * rad/s within [-1, 1] each, while joints 0 and 1 share a supply that allows
 * x0 + x1 <= 1. The nearest safe command takes 0.2 off each of the two:
 * (0.6, 0.4, -0.2, 0.1).
 *
 * Build: cc solve.c $(pkg-config --cflags --libs kelvara)
 * Exits with 0 when both results are the expected ones.
 */
#include <kelvara.h>

#include <stdio.h>

static const char* status_text(SolveStatus status) {
  switch (status) {
    case KELVARA_STATUS_INVALID: return "invalid";
    case KELVARA_STATUS_OPTIMAL: return "optimal";
    case KELVARA_STATUS_ITERATION_LIMIT: return "iteration limit";
    case KELVARA_STATUS_INFEASIBLE: return "infeasible";
    case KELVARA_STATUS_NUMERICAL_FAILURE: return "numerical failure";
    default: return "unknown";
  }
}

static int near(float a, float b) {
  const float difference = a - b;
  const float tolerance = KELVARA_MULTIVAR4D_FEASIBILITY_TOL;
  return difference <= tolerance && -difference <= tolerance;
}

int main(void) {
  const ScalarConstraints thermal = {{1.0f, 0.0f, 0.0f, 0.0f}, {5.0f, 0.0f, 0.0f, 0.0f}};
  ScalarSolution one_axis;
  const float desired[KELVARA_MULTIVAR4D_AXES] = {0.8f, 0.6f, -0.2f, 0.1f};
  const float expected[KELVARA_MULTIVAR4D_AXES] = {0.6f, 0.4f, -0.2f, 0.1f};
  const Multivar4dBounds bounds = {{-1.0f, -1.0f, -1.0f, -1.0f}, {1.0f, 1.0f, 1.0f, 1.0f}};
  const Multivar4dConstraints supply = {1, {{1.0f, 1.0f, 0.0f, 0.0f}}, {1.0f}};
  Multivar4dSolution four_axes;
  int failures = 0;
  int i;

  if (kelvara_solve_active_set(7.0f, 0.0f, 10.0f, &thermal, &one_axis) != 0) return 1;
  printf("one axis:  7 -> %g (%s)\n", (double)one_axis.u, status_text(one_axis.status));
  if (one_axis.u != 5.0f || one_axis.status != KELVARA_STATUS_OPTIMAL) failures += 1;

  if (kelvara_solve_multivar_4d(desired, &bounds, &supply, &four_axes) != 0) return 1;
  printf("four axes: (%g, %g, %g, %g) -> (%g, %g, %g, %g) (%s, %llu iterations)\n", (double)desired[0],
         (double)desired[1], (double)desired[2], (double)desired[3], (double)four_axes.u[0],
         (double)four_axes.u[1], (double)four_axes.u[2], (double)four_axes.u[3],
         status_text(four_axes.status), (unsigned long long)four_axes.iterations);
  if (four_axes.status != KELVARA_STATUS_OPTIMAL) failures += 1;
  for (i = 0; i < KELVARA_MULTIVAR4D_AXES; ++i) {
    if (!near(four_axes.u[i], expected[i])) failures += 1;
  }
  if (four_axes.u[0] + four_axes.u[1] > 1.0f + KELVARA_MULTIVAR4D_FEASIBILITY_TOL) failures += 1;

  printf("%s\n", failures == 0 ? "both results as expected" : "UNEXPECTED RESULTS");
  return failures == 0 ? 0 : 1;
}
