// Per-kernel timings (Google Benchmark): the scalar projection, the four-axis
// solve on groups of problems that stop in different stages, the normal
// equations by size, and the latency of dependent single-precision add,
// multiply and divide on this processor, which bounds how fast a sweep of the
// feasibility stage can run.
#include <benchmark/benchmark.h>

#include <random>
#include <vector>

#include "kelvara.h"
#include "kelvara/core/scalar_projection.hpp"
#include "multivar_4d.hpp"
#include "multivar_4d_random.hpp"

namespace {

using multivar_random::Problem;

void BM_ScalarProjection(benchmark::State& state) {
  std::mt19937 rng(1);
  std::vector<float> u(1024);
  for (float& x : u) x = multivar_random::between(rng, -2.0f, 2.0f);
  const ScalarConstraints c{{0.5f, 0, 0, 0}, {0.25f, 0, 0, 0}};
  std::size_t i = 0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(kelvara::core::solve_active_set(c, u[i], -1.0f, 1.0f));
    i = (i + 1) & 1023;
  }
}
BENCHMARK(BM_ScalarProjection);

// Random feasible coupled problems, grouped by how far the solve goes.
enum class Group { All, QuickAccept, FewSweeps, AllSweeps };

std::vector<Problem> problems_of(Group group) {
  std::mt19937 rng(20260612);
  std::vector<Problem> chosen;
  for (int n = 0; n < 200000 && chosen.size() < 1024; ++n) {
    const Problem p = multivar_random::feasible_coupled(rng);
    const unsigned sweeps = kelvara::core::feasibility_sweeps(p.u.data(), p.bounds, p.c);
    const bool take = group == Group::All || (group == Group::QuickAccept && sweeps == 0) ||
                      (group == Group::FewSweeps && sweeps > 0 && sweeps <= 3) ||
                      (group == Group::AllSweeps && sweeps == kelvara::core::MAX_FEASIBILITY_SWEEPS);
    if (take) chosen.push_back(p);
  }
  return chosen;
}

void BM_Multivar4d(benchmark::State& state, Group group) {
  const std::vector<Problem> problems = problems_of(group);
  std::size_t i = 0;
  Multivar4dSolution out;
  for (auto _ : state) {
    const Problem& p = problems[i];
    benchmark::DoNotOptimize(kelvara_solve_multivar_4d(p.u.data(), &p.bounds, &p.c, &out));
    benchmark::ClobberMemory();
    i = i + 1 == problems.size() ? 0 : i + 1;
  }
  state.counters["problems"] = double(problems.size());
}
BENCHMARK_CAPTURE(BM_Multivar4d, all, Group::All);
BENCHMARK_CAPTURE(BM_Multivar4d, quick_accept, Group::QuickAccept);
BENCHMARK_CAPTURE(BM_Multivar4d, one_to_three_sweeps, Group::FewSweeps);
BENCHMARK_CAPTURE(BM_Multivar4d, sixty_sweeps, Group::AllSweeps);

// n independent-looking random rows (n > 4 are dependent but rounded pivots
// may still pass).
void BM_NormalEquations(benchmark::State& state) {
  const std::size_t n = std::size_t(state.range(0));
  std::mt19937 rng(3);
  std::vector<std::pair<kelvara::core::NormalRows, kelvara::core::NormalVector>> systems(64);
  for (auto& [rows, rhs] : systems) {
    for (std::size_t e = 0; e < kelvara::core::WORKING_SET_CAPACITY; ++e) {
      for (float& x : rows[e]) x = multivar_random::between(rng, -1.0f, 1.0f);
      rhs[e] = multivar_random::between(rng, -1.0f, 1.0f);
    }
  }
  kelvara::core::NormalVector out;
  std::size_t i = 0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(
        kelvara::core::solve_normal_equations(n, systems[i].first, systems[i].second, out));
    benchmark::ClobberMemory();
    i = (i + 1) & 63;
  }
}
BENCHMARK(BM_NormalEquations)->DenseRange(1, 5);

// One dependent operation per step; time per iteration / 64 is its latency.
template <class Op>
void dependent_chain(benchmark::State& state, Op op) {
  float x = 1.0f;
  float k = 1.0000001f;
  benchmark::DoNotOptimize(k);
  for (auto _ : state) {
    for (int s = 0; s < 64; ++s) {
      x = op(x, k);
      asm volatile("" : "+x"(x));
    }
  }
  benchmark::DoNotOptimize(x);
  state.counters["ns_per_op"] = benchmark::Counter(64.0 * double(state.iterations()),
                                                   benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}
void BM_ChainAdd(benchmark::State& state) {
  dependent_chain(state, [](float x, float k) { return x + k; });
}
void BM_ChainMul(benchmark::State& state) {
  dependent_chain(state, [](float x, float k) { return x * k; });
}
void BM_ChainDiv(benchmark::State& state) {
  dependent_chain(state, [](float x, float k) { return x / k; });
}
BENCHMARK(BM_ChainAdd);
BENCHMARK(BM_ChainMul);
BENCHMARK(BM_ChainDiv);

}  // namespace

BENCHMARK_MAIN();
