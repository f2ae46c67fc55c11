// The general projection beside DAQP, used the way a control loop uses each:
// DAQP's workspace is set up once per envelope (setup_daqp), and per command
// only its linear term is updated before a cold solve (working set cleared);
// an Envelope is made once per envelope, and project() runs per command.
//
// Four sets of random feasible problems (n = 4 with 1 to 4 rows; n = 7 with 0
// to 7 rows and one locked joint in one problem of five; n = 12 with 0 to 12
// rows; n = 32 with 0 to 32 rows), and for each n a set of empty envelopes.
// Each problem is timed in rounds run back to back, one call of each solver
// per round (the first to go alternates), with the time-stamp counter, as a
// control loop would call them on one envelope; a problem's figure is the
// median of its rounds (15 by default) less the median empty timing. Printed per set: medians, 99th
// percentiles and their ratios, the share each solves, the largest distance
// between the two answers where both solve, and how many empty envelopes each
// reports as infeasible. With --json FILE the figures go to report.py, which
// fails the run on a missed target.
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <vector>

extern "C" {
#include "api.h"
#include "auxiliary.h"
#include "daqp.h"
#include "utils.h"
}

#include "envelope_random.hpp"
#include "kelvara/core/envelope.hpp"

#if defined(__x86_64__) || defined(__i386__)
#include <x86intrin.h>
#endif

namespace {

using envelope_random::Problem;
using kelvara::core::Envelope;

std::uint64_t ticks() noexcept {
#if defined(__x86_64__) || defined(__i386__)
  _mm_lfence();
  const std::uint64_t t = __rdtsc();
  _mm_lfence();
  return t;
#else
  return std::uint64_t(std::chrono::steady_clock::now().time_since_epoch().count());
#endif
}

double ns_per_tick() {
  using clock = std::chrono::steady_clock;
  const auto wall0 = clock::now();
  const std::uint64_t t0 = ticks();
  while (clock::now() - wall0 < std::chrono::milliseconds(200)) {
  }
  const std::uint64_t t1 = ticks();
  const auto wall1 = clock::now();
  return std::chrono::duration<double, std::nano>(wall1 - wall0).count() / double(t1 - t0);
}

double median_of(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  const std::size_t n = v.size();
  return n % 2 ? v[n / 2] : 0.5 * (v[n / 2 - 1] + v[n / 2]);
}

double percentile_of(std::vector<double> v, double q) {  // nearest rank
  std::sort(v.begin(), v.end());
  const std::size_t rank = std::size_t(std::ceil(q * double(v.size())));
  return v[std::clamp<std::size_t>(rank, 1, v.size()) - 1];
}

double daqp_limit(double v) { return std::clamp(v, -DAQP_INF, DAQP_INF); }

// One problem for both solvers. DAQP's problem record points into this
// object's vectors, and its workspace is set up once.
struct Case {
  explicit Case(Problem p)
      : problem(std::move(p)),
        envelope(*Envelope::make(problem.axes, problem.min_bound.data(), problem.max_bound.data(),
                                 problem.rows, problem.coefficients.data(), problem.limits.data())) {
    const std::size_t n = problem.axes, m = problem.rows;
    H.assign(n * n, 0.0);
    for (std::size_t i = 0; i < n; ++i) H[i * n + i] = 1.0;
    f.resize(n);
    upper.resize(n + m);
    lower.resize(n + m);
    sense.assign(n + m, 0);
    for (std::size_t i = 0; i < n; ++i) {
      lower[i] = daqp_limit(problem.min_bound[i]);
      upper[i] = daqp_limit(problem.max_bound[i]);
    }
    for (std::size_t r = 0; r < m; ++r) {
      lower[n + r] = -DAQP_INF;
      upper[n + r] = daqp_limit(problem.limits[r]);
    }
    A = problem.coefficients;
    if (A.empty()) A.push_back(0.0);
    x.resize(n);
    theirs_x.resize(n);
    theirs_lam.resize(n + m);
    qp = DAQPProblem{};
    qp.n = int(n);
    qp.m = int(n + m);
    qp.ms = int(n);
    qp.H = H.data();
    qp.f = f.data();
    qp.A = A.data();
    qp.bupper = upper.data();
    qp.blower = lower.data();
    qp.sense = sense.data();
    for (std::size_t i = 0; i < n; ++i) f[i] = -problem.u[i];
    work = std::make_unique<DAQPWorkspace>();
    work->settings = nullptr;
    double setup_time = 0.0;
    setup_flag = setup_daqp(&qp, work.get(), &setup_time);
  }
  ~Case() {
    if (work) {
      free_daqp_workspace(work.get());
      free_daqp_ldp(work.get());
    }
  }
  Case(Case&&) = delete;

  void solve_ours() { status = envelope.project(problem.u.data(), x.data()).status; }

  void solve_theirs() {
    for (std::size_t i = 0; i < problem.axes; ++i) f[i] = -problem.u[i];
    // Clearing the working set keeps the equalities (locked axes), which the
    // update that follows activates again.
    daqp_deactivate_constraints(work.get());
    daqp_update_ldp(DAQP_UPDATE_v, work.get(), &qp);
    result.x = theirs_x.data();
    result.lam = theirs_lam.data();
    daqp_solve(&result, work.get());
  }

  Problem problem;
  Envelope envelope;
  std::vector<double> H, f, A, upper, lower, x, theirs_x, theirs_lam;
  std::vector<int> sense;
  DAQPProblem qp;
  std::unique_ptr<DAQPWorkspace> work;
  int setup_flag = 0;
  DAQPResult result{};
  std::uint32_t status = 0;
  std::vector<double> ours_ticks, theirs_ticks;
};

struct Set {
  std::string name;
  std::size_t axes, min_rows, max_rows;
  bool lock_one_in_five;
  double median_target, p99_target;  // 0: reported only
};

struct Figures {
  double median_ours, median_theirs, p99_ours, p99_theirs;
  std::size_t problems, ours_ok, theirs_ok, empty, ours_empty, theirs_empty;
  double max_difference;
  unsigned most_iterations;
};

Figures run_set(const Set& set, std::size_t problems, unsigned rounds, std::uint64_t seed, double tick_ns) {
  std::mt19937_64 rng(seed);
  std::vector<std::unique_ptr<Case>> cases;
  for (std::size_t k = 0; k < problems; ++k) {
    envelope_random::Shape shape{};
    shape.lock_one = set.lock_one_in_five && k % 5 == 0;
    const std::size_t span = set.max_rows - set.min_rows + 1;
    const std::size_t rows = set.min_rows + std::size_t(rng() % span);
    cases.push_back(std::make_unique<Case>(envelope_random::feasible(rng, set.axes, rows, shape)));
  }
  for (auto& c : cases) {
    c->solve_ours();
    c->solve_theirs();
  }
  // A control loop projects command after command onto one envelope, so a
  // problem's rounds run back to back (each solver's data stays in cache, as
  // it would in the loop); the solver that goes first alternates.
  std::vector<double> empty;
  for (auto& c : cases) {
    for (unsigned r = 0; r < rounds; ++r) {
      const bool ours_first = r % 2 == 0;
      for (int turn = 0; turn < 2; ++turn) {
        const bool ours = (turn == 0) == ours_first;
        const std::uint64_t t0 = ticks();
        if (ours)
          c->solve_ours();
        else
          c->solve_theirs();
        const std::uint64_t t1 = ticks();
        (ours ? c->ours_ticks : c->theirs_ticks).push_back(double(t1 - t0));
      }
      const std::uint64_t t0 = ticks();
      const std::uint64_t t1 = ticks();
      empty.push_back(double(t1 - t0));
    }
  }
  const double overhead = median_of(empty);
  Figures f{};
  f.problems = problems;
  std::vector<double> ours_ns, theirs_ns;
  std::vector<double> y(set.axes);
  for (auto& c : cases) {
    ours_ns.push_back(std::max(0.0, median_of(c->ours_ticks) - overhead) * tick_ns);
    theirs_ns.push_back(std::max(0.0, median_of(c->theirs_ticks) - overhead) * tick_ns);
    const bool ours_ok = c->status == KELVARA_STATUS_OPTIMAL;
    const bool theirs_ok = c->setup_flag >= 0 && c->result.exitflag > 0;
    f.ours_ok += ours_ok;
    f.theirs_ok += theirs_ok;
    f.most_iterations =
        std::max(f.most_iterations, c->envelope.project(c->problem.u.data(), y.data()).iterations);
    if (ours_ok && theirs_ok) {
      double dx = 0;
      for (std::size_t i = 0; i < set.axes; ++i) dx = std::max(dx, std::fabs(c->x[i] - c->theirs_x[i]));
      f.max_difference = std::max(f.max_difference, dx);
    }
  }
  f.median_ours = median_of(ours_ns);
  f.median_theirs = median_of(theirs_ns);
  f.p99_ours = percentile_of(ours_ns, 0.99);
  f.p99_theirs = percentile_of(theirs_ns, 0.99);

  // Empty envelopes: detection only, not timed.
  f.empty = problems / 5;
  for (std::size_t k = 0; k < f.empty; ++k) {
    const std::size_t rows = std::max<std::size_t>(1, set.min_rows + std::size_t(rng() % (set.max_rows + 1)));
    Case c(envelope_random::empty(rng, set.axes, rows, envelope_random::Shape{}));
    c.solve_ours();
    c.solve_theirs();
    f.ours_empty += c.status == KELVARA_STATUS_INFEASIBLE;
    f.theirs_empty += c.setup_flag < 0 || c.result.exitflag == DAQP_EXIT_INFEASIBLE;
  }
  return f;
}

void json_row(std::FILE* out, bool& first, const std::string& path, double figure, const std::string& base,
              double baseline, const char* unit, double max_ratio) {
  std::fprintf(out, "%s  {\"path\": \"%s\", \"figure\": %.6g, \"unit\": \"%s\"", first ? "" : ",\n",
               path.c_str(), figure, unit);
  if (!base.empty())
    std::fprintf(out, ", \"baseline_name\": \"%s\", \"baseline\": %.6g", base.c_str(), baseline);
  if (max_ratio >= 0) std::fprintf(out, ", \"max_ratio\": %.6g", max_ratio);
  std::fprintf(out, "}");
  first = false;
}

}  // namespace

int main(int argc, char** argv) {
  std::size_t problems = 4000;
  unsigned rounds = 15;
  const char* json = nullptr;
  int only = -1;
  for (int i = 1; i < argc; ++i) {
    if (!std::strcmp(argv[i], "--problems") && i + 1 < argc)
      problems = std::strtoul(argv[++i], nullptr, 10);
    else if (!std::strcmp(argv[i], "--rounds") && i + 1 < argc)
      rounds = unsigned(std::strtoul(argv[++i], nullptr, 10));
    else if (!std::strcmp(argv[i], "--json") && i + 1 < argc)
      json = argv[++i];
    else if (!std::strcmp(argv[i], "--set") && i + 1 < argc)
      only = std::atoi(argv[++i]);
    else {
      std::fprintf(stderr, "usage: %s [--problems N] [--rounds R] [--json FILE] [--set 0-3]\n", argv[0]);
      return 2;
    }
  }
  const std::vector<Set> sets = {
      {"n=4, 1-4 rows", 4, 1, 4, false, 0.5, 1.0},
      {"n=7, 0-7 rows, a locked joint in 1 of 5", 7, 0, 7, true, 0.5, 1.0},
      {"n=12, 0-12 rows", 12, 0, 12, false, 0.7, 1.0},
      {"n=32, 0-32 rows", 32, 0, 32, false, 0.0, 0.0},
  };
  const double tick_ns = ns_per_tick();
  std::FILE* out = nullptr;
  bool first = true;
  if (json != nullptr) {
    out = std::fopen(json, "w");
    if (out == nullptr) {
      std::perror(json);
      return 2;
    }
    std::fprintf(out, "[\n");
  }
  std::printf(
      "Envelope::project beside DAQP (setup once, linear term updated, cold solve), %zu problems per "
      "set, median of %u rounds each\n\n",
      problems, rounds);
  std::printf("%-40s %9s %9s %9s %9s %7s %7s %7s %7s %9s %11s %5s\n", "set", "ours med", "DAQP med", "ratio",
              "ours p99", "DAQP p99", "ratio", "ours ok", "DAQP ok", "max |dx|", "empty found", "iters");
  std::uint64_t seed = 20261209;
  for (const Set& set : sets) {
    if (only >= 0 && &set != &sets[std::size_t(only)]) {
      ++seed;
      continue;
    }
    const Figures f = run_set(set, problems, rounds, seed++, tick_ns);
    std::printf("%-40s %9.1f %9.1f %9.3f %9.1f %7.1f %7.3f %6.2f%% %6.2f%% %9.2g %5zu/%zu %5zu/%zu %5u\n",
                set.name.c_str(), f.median_ours, f.median_theirs, f.median_ours / f.median_theirs, f.p99_ours,
                f.p99_theirs, f.p99_ours / f.p99_theirs, 100.0 * double(f.ours_ok) / double(f.problems),
                100.0 * double(f.theirs_ok) / double(f.problems), f.max_difference, f.ours_empty, f.empty,
                f.theirs_empty, f.empty, f.most_iterations);
    if (out != nullptr) {
      const std::string p = "Envelope::project " + set.name;
      const double median_target = set.median_target > 0 ? set.median_target : -1.0;
      const double p99_target = set.p99_target > 0 ? set.p99_target : -1.0;
      json_row(out, first, p + " median", f.median_ours, "DAQP median", f.median_theirs, "ns", median_target);
      json_row(out, first, p + " p99", f.p99_ours, "DAQP p99", f.p99_theirs, "ns", p99_target);
      json_row(out, first, p + " not optimal", double(f.problems - f.ours_ok), "problems", double(f.problems),
               "", 0.0);
      json_row(out, first, p + " empty sets not found", double(f.empty - f.ours_empty), "empty sets",
               double(f.empty), "", 0.0);
      json_row(out, first, p + " largest |x - x_daqp|", f.max_difference, "", 0.0, "", -1.0);
    }
  }
  std::printf(
      "\n(empty found: empty envelopes reported INFEASIBLE, ours then DAQP's; iters: most working-set "
      "changes of one of our solves)\n");
  if (out != nullptr) {
    std::fprintf(out, "\n]\n");
    std::fclose(out);
  }
  return 0;
}
