// Google Benchmark timings of the security layer and the edge library: the
// hasher, the tag check, the nonce ring's scan, and whole authorizations and
// admissions with the replay memory full, as the Python classes run them.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <deque>
#include <vector>

#include "kelvara/edge/actuator_gate.hpp"
#include "kelvara/edge/edge_authorizer.hpp"
#include "kelvara/edge/signed_command.hpp"
#include "kelvara/security/message_hasher.hpp"
#include "kelvara/security/nonce_ring.hpp"
#include "kelvara/security/sha256_compress.hpp"
#include "kelvara/security/tag_check.hpp"

namespace {

using namespace kelvara;

const security::Key kKey = {1,  2,  3,  4,  5,  6,  7,  8,  9,  10, 11, 12, 13, 14, 15, 16,
                            17, 18, 19, 20, 21, 22, 23, 24, 25, 26, 27, 28, 29, 30, 31, 32};
const edge::AxisActionId kAxis(3);
const security::Payload kPayload = edge::command_payload(0.5, 1.0);

security::Nonce nonce_of(std::uint64_t i) {
  security::Nonce nonce{};
  for (int b = 0; b < 8; ++b) nonce[b] = static_cast<std::uint8_t>(i >> (8 * b));
  nonce[11] = 0x5a;
  return nonce;
}

void BM_Compress(benchmark::State& state) {
  security::Sha256State chaining = security::kSha256InitialState;
  std::array<std::uint8_t, security::kSha256BlockSize> block{};
  for (auto _ : state) {
    security::sha256_compress(chaining, block);
    benchmark::DoNotOptimize(chaining);
  }
}
BENCHMARK(BM_Compress);

void BM_PrepareKey(benchmark::State& state) {
  for (auto _ : state) benchmark::DoNotOptimize(security::HmacKeyContext::from_key(kKey));
}
BENCHMARK(BM_PrepareKey);

void BM_Sign(benchmark::State& state) {
  const auto context = security::HmacKeyContext::from_key(kKey);
  std::uint64_t sequence = 0;
  for (auto _ : state) {
    ++sequence;
    benchmark::DoNotOptimize(
        security::authorize(context, nonce_of(sequence), 7, sequence, kAxis.bytes(), kPayload));
  }
}
BENCHMARK(BM_Sign);

void BM_CheckTag(benchmark::State& state) {
  const auto context = security::HmacKeyContext::from_key(kKey);
  const auto receipt = *security::authorize(context, nonce_of(1), 7, 1, kAxis.bytes(), kPayload);
  for (auto _ : state)
    benchmark::DoNotOptimize(security::check_tag(context, receipt, kAxis.bytes(), kPayload));
}
BENCHMARK(BM_CheckTag);

// The whole scan: a full ring that does not hold the nonce.
void BM_NonceRingMiss(benchmark::State& state) {
  security::NonceRing ring;
  for (std::uint64_t i = 0; i < 1500; ++i) ring.record(nonce_of(i));
  const security::Nonce fresh = nonce_of(1'000'000);
  for (auto _ : state) benchmark::DoNotOptimize(ring.contains(fresh));
}
BENCHMARK(BM_NonceRingMiss);

void BM_Authorize(benchmark::State& state) {
  edge::AuthorizerConfig config;
  config.rate_limit = UINT64_MAX;
  config.key = kKey;
  const auto now = edge::wall_clock_nanos();
  edge::EdgeAuthorizer authorizer(config, *now);
  for (int i = 0; i < 1100; ++i) authorizer.authorize(3, 0.5, 1.0);  // the nonce memory full
  for (auto _ : state) benchmark::DoNotOptimize(authorizer.authorize(3, 0.5, 1.0));
}
BENCHMARK(BM_Authorize);

void BM_Admit(benchmark::State& state) {
  edge::AuthorizerConfig config;
  config.rate_limit = UINT64_MAX;
  config.key = kKey;
  edge::EdgeAuthorizer sender(config, *edge::wall_clock_nanos());
  std::deque<security::ReceiptBytes> stream;
  const auto refill = [&] {
    for (int i = 0; i < 4096; ++i) stream.push_back(sender.authorize(3, 0.5, 1.0)->receipt_hash);
  };
  edge::ActuatorGate gate(kKey);
  refill();
  for (int i = 0; i < 1100; ++i, stream.pop_front()) gate.admit(stream.front(), 3, 0.5, 1.0);
  for (auto _ : state) {
    if (stream.empty()) {
      state.PauseTiming();
      refill();
      state.ResumeTiming();
    }
    benchmark::DoNotOptimize(gate.admit(stream.front(), 3, 0.5, 1.0));
    stream.pop_front();
  }
}
BENCHMARK(BM_Admit);

}  // namespace

BENCHMARK_MAIN();
