// The four-axis solve beside DAQP's daqp_quadprog on the same random feasible
// problems with one to four coupling rows, each problem timed on its own.
//
// DAQP solves min 0.5 x'Ix - u'x, i.e. min |x - u|^2, subject to the box and
// A x <= b (an infinite bound or limit becomes DAQP's 1e30), in double
// precision, with its default settings.
//
// Each round visits every problem in order and times one call of each solver
// with the time-stamp counter; the solver that goes first alternates from round
// to round. A problem's figure is the median of its rounds less the median cost
// of an empty timing, so that a disturbance in one round does not count. The
// program prints medians and 99th percentiles over the problems, the share each
// solver solves, the largest difference between the two solutions where both
// succeed, and the slowest problems with the sweeps and iterations the four-axis
// solve spent on them. With --json FILE it writes the figures for report.py,
// with --csv FILE one line per problem.
#include <algorithm>
#include <array>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <numeric>
#include <random>
#include <string>
#include <vector>

extern "C" {
#include "api.h"
}

#include "kelvara.h"
#include "multivar_4d.hpp"
#include "multivar_4d_random.hpp"
#include "tick_timing.hpp"

namespace {

using namespace tick_timing;

constexpr std::uint32_t kSeed = 20260612;
constexpr double kMedianTarget = 1.0 / 3.0;  // ours / DAQP's
constexpr double kP99Target = 1.0;

// ---- The two solvers on one problem ------------------------------------------

double daqp_limit(float v) {
  if (v == multivar_random::kInf) return DAQP_INF;
  if (v == -multivar_random::kInf) return -DAQP_INF;
  return v;
}

struct DaqpProblem {
  std::array<double, 16> H{};
  std::array<double, 4> f{};
  std::array<double, 16> A{};
  std::array<double, 8> upper{};
  std::array<double, 8> lower{};
  std::array<int, 8> sense{};
  DAQPProblem qp{};

  explicit DaqpProblem(const multivar_random::Problem& p) {
    const int rows = int(p.c.count);
    for (int i = 0; i < 4; ++i) {
      H[i * 4 + i] = 1.0;
      f[i] = -double(p.u[i]);
      lower[i] = daqp_limit(p.bounds.min_bound[i]);
      upper[i] = daqp_limit(p.bounds.max_bound[i]);
    }
    for (int j = 0; j < rows; ++j) {
      for (int k = 0; k < 4; ++k) A[j * 4 + k] = p.c.a[j][k];
      upper[4 + j] = daqp_limit(p.c.b[j]);
      lower[4 + j] = -DAQP_INF;
    }
    qp.n = 4;
    qp.m = 4 + rows;
    qp.ms = 4;
  }

  // Points the record at the arrays, once this object has its final place.
  void bind() {
    qp.H = H.data();
    qp.f = f.data();
    qp.A = A.data();
    qp.bupper = upper.data();
    qp.blower = lower.data();
    qp.sense = sense.data();
  }
};

struct Case {
  explicit Case(const multivar_random::Problem& p) : problem(p), daqp(p) {}

  multivar_random::Problem problem;
  DaqpProblem daqp;
  Multivar4dSolution ours{};
  DAQPResult theirs{};
  std::array<double, 4> theirs_x{};
  std::array<double, 8> theirs_lam{};
  unsigned sweeps = 0;
  std::vector<double> ours_ticks, theirs_ticks;
};

void solve_ours(Case& c) {
  // Every pointer is set, so the solve always writes its record.
  if (kelvara_solve_multivar_4d(c.problem.u.data(), &c.problem.bounds, &c.problem.c, &c.ours) != 0)
    std::abort();
}

void solve_theirs(Case& c, DAQPSettings& settings) {
  c.daqp.sense.fill(0);
  c.theirs.x = c.theirs_x.data();
  c.theirs.lam = c.theirs_lam.data();
  daqp_quadprog(&c.theirs, &c.daqp.qp, &settings);
}

bool ours_solved(const Case& c) { return c.ours.status == KELVARA_STATUS_OPTIMAL; }
bool theirs_solved(const Case& c) { return c.theirs.exitflag > 0; }

// ---- Output ------------------------------------------------------------------

struct Figures {
  double median_ours, median_theirs, p99_ours, p99_theirs;
  double solved_ours, solved_theirs, max_difference;
  std::size_t problems;
  unsigned rounds;
};

void write_json(const char* path, const Figures& f) {
  std::FILE* out = std::fopen(path, "w");
  if (out == nullptr) {
    std::perror(path);
    std::exit(2);
  }
  auto row = [&](const char* name, double figure, const char* baseline_name, double baseline,
                 const char* unit, double max_ratio, bool last) {
    std::fprintf(out,
                 "  {\"path\": \"%s\", \"figure\": %.6g, \"baseline_name\": \"%s\", \"baseline\": %.6g, "
                 "\"unit\": \"%s\", \"max_ratio\": %.6g}%s\n",
                 name, figure, baseline_name, baseline, unit, max_ratio, last ? "" : ",");
  };
  std::fprintf(out, "[\n");
  row("kelvara_solve_multivar_4d median", f.median_ours, "daqp_quadprog median", f.median_theirs, "ns",
      kMedianTarget, false);
  row("kelvara_solve_multivar_4d p99", f.p99_ours, "daqp_quadprog p99", f.p99_theirs, "ns", kP99Target,
      false);
  std::fprintf(out,
               "  {\"path\": \"kelvara_solve_multivar_4d solved\", \"figure\": %.6g, \"baseline_name\": "
               "\"daqp_quadprog solved\", \"baseline\": %.6g, \"unit\": \"%%\"},\n",
               100.0 * f.solved_ours, 100.0 * f.solved_theirs);
  std::fprintf(
      out, "  {\"path\": \"largest |x - x_daqp| where both solve\", \"figure\": %.3g, \"unit\": \"\"}\n]\n",
      f.max_difference);
  std::fclose(out);
}

void write_csv(const char* path, const std::vector<Case>& cases, const std::vector<double>& ours_ns,
               const std::vector<double>& theirs_ns) {
  std::FILE* out = std::fopen(path, "w");
  if (out == nullptr) {
    std::perror(path);
    std::exit(2);
  }
  std::fprintf(out, "problem,rows,sweeps,iterations,status,ours_ns,daqp_ns,daqp_exitflag\n");
  for (std::size_t i = 0; i < cases.size(); ++i) {
    const Case& c = cases[i];
    std::fprintf(out, "%zu,%llu,%u,%llu,%u,%.1f,%.1f,%d\n", i, (unsigned long long)c.problem.c.count,
                 c.sweeps, (unsigned long long)c.ours.iterations, c.ours.status, ours_ns[i], theirs_ns[i],
                 c.theirs.exitflag);
  }
  std::fclose(out);
}

// ns = c0 + c1 * sweeps + c2 * iterations over the problems that reach the
// active-set stage and end Optimal (elsewhere the reported iterations are not
// the ones run), by least squares: the cost of one sweep and of one iteration.
std::array<double, 3> fit_cost(const std::vector<Case>& cases, const std::vector<double>& ns) {
  double m[3][4] = {};
  for (std::size_t i = 0; i < cases.size(); ++i) {
    if (cases[i].sweeps == 0 || cases[i].ours.status != KELVARA_STATUS_OPTIMAL) continue;
    const double row[3] = {1.0, double(cases[i].sweeps), double(cases[i].ours.iterations)};
    for (int r = 0; r < 3; ++r) {
      for (int c = 0; c < 3; ++c) m[r][c] += row[r] * row[c];
      m[r][3] += row[r] * ns[i];
    }
  }
  for (int k = 0; k < 3; ++k) {
    for (int r = 0; r < 3; ++r) {
      if (r == k || m[k][k] == 0.0) continue;
      const double f = m[r][k] / m[k][k];
      for (int c = k; c < 4; ++c) m[r][c] -= f * m[k][c];
    }
  }
  return {m[0][3] / m[0][0], m[1][3] / m[1][1], m[2][3] / m[2][2]};
}

}  // namespace

int main(int argc, char** argv) {
  std::size_t problems = 20000;
  unsigned rounds = 15;
  const char* json = nullptr;
  const char* csv = nullptr;
  for (int i = 1; i < argc; ++i) {
    if (!std::strcmp(argv[i], "--problems") && i + 1 < argc)
      problems = std::strtoul(argv[++i], nullptr, 10);
    else if (!std::strcmp(argv[i], "--rounds") && i + 1 < argc)
      rounds = unsigned(std::strtoul(argv[++i], nullptr, 10));
    else if (!std::strcmp(argv[i], "--json") && i + 1 < argc)
      json = argv[++i];
    else if (!std::strcmp(argv[i], "--csv") && i + 1 < argc)
      csv = argv[++i];
    else {
      std::fprintf(stderr, "usage: %s [--problems N] [--rounds R] [--json FILE] [--csv FILE]\n", argv[0]);
      return 2;
    }
  }

  std::mt19937 rng(kSeed);
  std::vector<Case> cases;
  cases.reserve(problems);
  for (std::size_t i = 0; i < problems; ++i) {
    const multivar_random::Problem p = multivar_random::feasible_coupled(rng);
    Case& c = cases.emplace_back(p);
    c.sweeps = kelvara::core::feasibility_sweeps(p.u.data(), p.bounds, p.c);
    c.ours_ticks.reserve(rounds);
    c.theirs_ticks.reserve(rounds);
  }
  for (Case& c : cases) c.daqp.bind();
  DAQPSettings settings;
  daqp_default_settings(&settings);

  // Warm up both, then time.
  for (Case& c : cases) {
    solve_ours(c);
    solve_theirs(c, settings);
  }
  std::vector<double> empty;
  for (unsigned r = 0; r < rounds; ++r) {
    for (Case& c : cases) {
      time_round(
          r % 2 == 0, [&] { solve_ours(c); }, [&] { solve_theirs(c, settings); }, c.ours_ticks,
          c.theirs_ticks, empty);
    }
  }
  const double tick_ns = ns_per_tick();
  const double overhead = median_of(empty);

  std::vector<double> ours_ns, theirs_ns;
  std::size_t ours_ok = 0, theirs_ok = 0;
  double max_difference = 0.0;
  for (const Case& c : cases) {
    ours_ns.push_back(net_ns(c.ours_ticks, overhead, tick_ns));
    theirs_ns.push_back(net_ns(c.theirs_ticks, overhead, tick_ns));
    ours_ok += ours_solved(c);
    theirs_ok += theirs_solved(c);
    if (ours_solved(c) && theirs_solved(c)) {
      for (int k = 0; k < 4; ++k)
        max_difference = std::max(max_difference, std::fabs(c.ours.u[k] - c.theirs_x[k]));
    }
  }
  const Figures f{median_of(ours_ns),
                  median_of(theirs_ns),
                  percentile_of(ours_ns, 0.99),
                  percentile_of(theirs_ns, 0.99),
                  double(ours_ok) / double(problems),
                  double(theirs_ok) / double(problems),
                  max_difference,
                  problems,
                  rounds};

  std::printf("%zu random feasible problems with 1 to 4 coupling rows, median of %u rounds each\n", problems,
              rounds);
  std::printf("(one tick %.4f ns, empty timing %.0f ticks subtracted)\n\n", tick_ns, overhead);
  std::printf("%-28s %10s %10s %8s\n", "", "median ns", "p99 ns", "solved");
  std::printf("%-28s %10.1f %10.1f %7.2f%%\n", "kelvara_solve_multivar_4d", f.median_ours, f.p99_ours,
              100.0 * f.solved_ours);
  std::printf("%-28s %10.1f %10.1f %7.2f%%\n", "daqp_quadprog", f.median_theirs, f.p99_theirs,
              100.0 * f.solved_theirs);
  std::printf("%-28s %10.3f %10.3f\n", "ratio", f.median_ours / f.median_theirs, f.p99_ours / f.p99_theirs);
  std::printf("largest |x - x_daqp| where both solve: %.3g\n\n", f.max_difference);

  // Where the time goes.
  std::array<std::size_t, 5> by_status{};
  std::size_t quick = 0, full_sweeps = 0;
  for (const Case& c : cases) {
    ++by_status[std::min<std::uint32_t>(c.ours.status, 4)];
    quick += c.sweeps == 0;
    full_sweeps += c.sweeps == kelvara::core::MAX_FEASIBILITY_SWEEPS;
  }
  std::printf(
      "four-axis outcomes: optimal %zu (quick accept %zu), iteration limit %zu, infeasible %zu, failure %zu; "
      "%zu ran all %u sweeps\n",
      by_status[1], quick, by_status[2], by_status[3], by_status[4], full_sweeps,
      kelvara::core::MAX_FEASIBILITY_SWEEPS);
  const std::array<double, 3> cost = fit_cost(cases, ours_ns);
  std::printf(
      "fitted cost of Optimal solves past the quick accept: %.1f ns + %.1f ns per sweep + %.1f ns per "
      "active-set iteration\n",
      cost[0], cost[1], cost[2]);

  std::vector<std::size_t> order(problems);
  std::iota(order.begin(), order.end(), 0);
  std::sort(order.begin(), order.end(),
            [&](std::size_t a, std::size_t b) { return ours_ns[a] > ours_ns[b]; });
  const std::size_t tail = std::max<std::size_t>(1, problems / 100);
  std::array<std::size_t, 61> sweep_histogram{};
  double tail_sweeps = 0, tail_iterations = 0;
  for (std::size_t r = 0; r < tail; ++r) {
    const Case& c = cases[order[r]];
    ++sweep_histogram[std::min(c.sweeps, 60u)];
    tail_sweeps += c.sweeps;
    tail_iterations += double(c.ours.iterations);
  }
  std::printf("slowest 1%% (%zu problems): mean %.1f sweeps, %.1f iterations; sweeps:", tail,
              tail_sweeps / double(tail), tail_iterations / double(tail));
  for (unsigned s = 0; s <= 60; ++s) {
    if (sweep_histogram[s]) std::printf(" %ux%zu", s, sweep_histogram[s]);
  }
  std::printf("\n%8s %8s %8s %6s %6s %6s %5s\n", "problem", "ours ns", "DAQP ns", "rows", "sweeps", "iters",
              "status");
  for (std::size_t r = 0; r < std::min<std::size_t>(tail, 12); ++r) {
    const std::size_t i = order[r];
    const Case& c = cases[i];
    std::printf("%8zu %8.0f %8.0f %6llu %6u %6llu %5u\n", i, ours_ns[i], theirs_ns[i],
                (unsigned long long)c.problem.c.count, c.sweeps, (unsigned long long)c.ours.iterations,
                c.ours.status);
  }

  if (json != nullptr) write_json(json, f);
  if (csv != nullptr) write_csv(csv, cases, ours_ns, theirs_ns);
  return 0;
}
