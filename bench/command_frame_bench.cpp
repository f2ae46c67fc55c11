// The command frame's C paths beside the per-axis receipt's, measured in the
// same run: admitting one seven-axis frame (kelvara_command_gate_admit) against
// admitting one receipt (kelvara_gate_admit), and signing one seven-axis frame
// against authorizing seven receipts. Both gates check freshness and are
// warmed up first (the receipt gate's nonce memory full). The two sides are
// timed in alternating batches; each figure is the median over batches of the
// time per call. Every allocation of the process is counted while signing and
// admitting (this program replaces the allocator's entry points), and must
// stay at zero. With --json FILE it writes the rows for report.py.
#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <vector>

#include "kelvara.h"

extern "C" {
void* __libc_malloc(std::size_t size);
void* __libc_calloc(std::size_t count, std::size_t size);
void* __libc_realloc(void* block, std::size_t size);
void* __libc_memalign(std::size_t alignment, std::size_t size);
void __libc_free(void* block);
}

namespace {
std::atomic<long> g_blocks{0};
}  // namespace

extern "C" void* malloc(std::size_t size) {
  g_blocks.fetch_add(1, std::memory_order_relaxed);
  return __libc_malloc(size);
}
extern "C" void* calloc(std::size_t count, std::size_t size) {
  g_blocks.fetch_add(1, std::memory_order_relaxed);
  return __libc_calloc(count, size);
}
extern "C" void* realloc(void* block, std::size_t size) {
  g_blocks.fetch_add(1, std::memory_order_relaxed);
  return __libc_realloc(block, size);
}
extern "C" int posix_memalign(void** out, std::size_t alignment, std::size_t size) {
  g_blocks.fetch_add(1, std::memory_order_relaxed);
  *out = __libc_memalign(alignment, size);
  return *out == nullptr ? 12 : 0;
}
extern "C" void* aligned_alloc(std::size_t alignment, std::size_t size) {
  g_blocks.fetch_add(1, std::memory_order_relaxed);
  return __libc_memalign(alignment, size);
}
extern "C" void free(void* block) { __libc_free(block); }

namespace {

constexpr std::size_t kAxes = 7;
constexpr std::size_t kBatch = 256;
constexpr std::size_t kBatches = 48;
constexpr std::size_t kCalls = kBatch * kBatches;
constexpr std::uint64_t kMaxAge = 5'000'000'000;  // the run must not outlast it
const std::array<std::uint8_t, KELVARA_KEY_SIZE> kKey = {3, 1, 4, 1, 5, 9, 2, 6, 5, 3, 5, 8, 9, 7, 9, 3,
                                                         2, 3, 8, 4, 6, 2, 6, 4, 3, 3, 8, 3, 2, 7, 9, 5};

using Clock = std::chrono::steady_clock;
double nanos_since(Clock::time_point start) {
  return std::chrono::duration<double, std::nano>(Clock::now() - start).count();
}

double median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values[values.size() / 2];
}

void fail(const char* what) {
  std::fprintf(stderr, "command_frame_bench: %s\n", what);
  std::exit(1);
}

struct Figures {
  double frame_admit, receipt_admit, frame_sign, receipts_sign;
  double blocks_per_sign, blocks_per_admit;
};

Figures measure() {
  const double limits[kAxes] = {4, 4, 4, 4, 4, 4, 4};
  KelvaraSigner* signer = kelvara_signer_new(kKey.data(), 1, 7, kAxes, limits, KELVARA_SIGNER_MAX_RATE_LIMIT);
  KelvaraBoundary* boundary = kelvara_boundary_new(UINT64_MAX, 4.0, kKey.data());
  auto* frame_gate = new KelvaraCommandGate;
  auto* receipt_gate = new KelvaraGate;
  if (signer == nullptr || boundary == nullptr) fail("could not make the senders");
  if (kelvara_command_gate_init(frame_gate, kAxes, kMaxAge) != KELVARA_OK ||
      kelvara_command_gate_add_key(frame_gate, 1, kKey.data()) != KELVARA_OK ||
      kelvara_command_gate_allow_stream(frame_gate, 7) != KELVARA_OK ||
      kelvara_gate_init(receipt_gate, kKey.data()) != KELVARA_OK ||
      kelvara_gate_set_max_age(receipt_gate, kMaxAge) != KELVARA_OK) {
    fail("could not make the gates");
  }

  // Every frame and receipt the timed loops admit, signed ahead; the sign
  // timings are taken here, batch by batch, alternating.
  const std::size_t frame_size = KELVARA_FRAME_SIZE(kAxes);
  std::vector<std::uint8_t> frames(kCalls * frame_size);
  std::vector<std::array<std::uint8_t, KELVARA_RECEIPT_SIZE>> receipts(kCalls + 1100);
  double positions[kAxes] = {0.1, 0.2, 0.3, 0.4, 0.5, 0.6, 0.7},
         velocities[kAxes] = {1, -1, 0.5, -0.5, 0, 2, -2};
  std::vector<double> frame_sign, receipts_sign;  // reserved: the counts below are the library's alone
  frame_sign.reserve(kBatches);
  receipts_sign.reserve(kBatches);
  long sign_blocks = 0;
  for (std::size_t i = 0; i < 1100; ++i) {  // the receipts that fill the gate's nonce memory
    if (kelvara_boundary_authorize(boundary, 3, 0.5, 1.0, receipts[i].data()) != KELVARA_OK)
      fail("authorize");
  }
  for (std::size_t batch = 0; batch < kBatches; ++batch) {
    const long blocks = g_blocks.load();
    auto start = Clock::now();
    for (std::size_t i = batch * kBatch; i < (batch + 1) * kBatch; ++i) {
      positions[i % kAxes] += 1e-6;
      std::size_t written = 0;
      if (kelvara_signer_sign(signer, positions, velocities, &frames[i * frame_size], frame_size, &written) !=
          KELVARA_OK) {
        fail("sign");
      }
    }
    frame_sign.push_back(nanos_since(start) / kBatch);
    sign_blocks += g_blocks.load() - blocks;
    start = Clock::now();
    for (std::size_t i = batch * kBatch; i < (batch + 1) * kBatch; ++i) {
      // Seven receipts per frame's worth; only every seventh is kept for admission.
      std::array<std::uint8_t, KELVARA_RECEIPT_SIZE> spare;
      for (std::size_t axis = 0; axis + 1 < kAxes; ++axis) {
        if (kelvara_boundary_authorize(boundary, 3, 0.5, 1.0, spare.data()) != KELVARA_OK) fail("authorize");
      }
      if (kelvara_boundary_authorize(boundary, 3, 0.5, 1.0, receipts[1100 + i].data()) != KELVARA_OK) {
        fail("authorize");
      }
    }
    receipts_sign.push_back(nanos_since(start) / kBatch);
  }

  KelvaraCommand command;
  for (std::size_t i = 0; i < 1100; ++i) {
    if (kelvara_gate_admit(receipt_gate, receipts[i].data(), 3, 0.5, 1.0) != KELVARA_OK)
      fail("warm-up admit");
  }
  std::vector<double> frame_admit, receipt_admit;
  frame_admit.reserve(kBatches);
  receipt_admit.reserve(kBatches);
  long admit_blocks = 0;
  for (std::size_t batch = 0; batch < kBatches; ++batch) {
    const long blocks = g_blocks.load();
    auto start = Clock::now();
    for (std::size_t i = batch * kBatch; i < (batch + 1) * kBatch; ++i) {
      if (kelvara_command_gate_admit(frame_gate, &frames[i * frame_size], frame_size, &command) !=
          KELVARA_OK) {
        fail("frame admit");
      }
    }
    frame_admit.push_back(nanos_since(start) / kBatch);
    admit_blocks += g_blocks.load() - blocks;
    start = Clock::now();
    for (std::size_t i = batch * kBatch; i < (batch + 1) * kBatch; ++i) {
      if (kelvara_gate_admit(receipt_gate, receipts[1100 + i].data(), 3, 0.5, 1.0) != KELVARA_OK) {
        fail("receipt admit");
      }
    }
    receipt_admit.push_back(nanos_since(start) / kBatch);
  }

  kelvara_command_gate_clear(frame_gate);
  kelvara_gate_clear(receipt_gate);
  delete frame_gate;
  delete receipt_gate;
  kelvara_signer_free(signer);
  kelvara_boundary_free(boundary);
  return {median(frame_admit),
          median(receipt_admit),
          median(frame_sign),
          median(receipts_sign),
          static_cast<double>(sign_blocks) / kCalls,
          static_cast<double>(admit_blocks) / kCalls};
}

void write_json(const char* path, const Figures& f) {
  std::FILE* out = std::fopen(path, "w");
  if (out == nullptr) fail("cannot write the JSON file");
  std::fprintf(
      out,
      "[\n"
      "{\"path\": \"C kelvara_command_gate_admit, 7 axes\", \"figure\": %.1f, \"unit\": \"ns\", "
      "\"baseline_name\": \"C kelvara_gate_admit, one receipt\", \"baseline\": %.1f, \"max_ratio\": 1.5},\n"
      "{\"path\": \"C kelvara_signer_sign, 7 axes\", \"figure\": %.1f, \"unit\": \"ns\", "
      "\"baseline_name\": \"7 x C kelvara_boundary_authorize\", \"baseline\": %.1f},\n"
      "{\"path\": \"C malloc calls per sign\", \"figure\": %.4g, \"unit\": \"calls\", "
      "\"baseline_name\": \"none allowed\", \"baseline\": 1, \"max_ratio\": 0},\n"
      "{\"path\": \"C malloc calls per admit\", \"figure\": %.4g, \"unit\": \"calls\", "
      "\"baseline_name\": \"none allowed\", \"baseline\": 1, \"max_ratio\": 0}\n"
      "]\n",
      f.frame_admit, f.receipt_admit, f.frame_sign, f.receipts_sign, f.blocks_per_sign, f.blocks_per_admit);
  std::fclose(out);
}

}  // namespace

int main(int argc, char** argv) {
  const char* json = nullptr;
  for (int i = 1; i < argc; ++i) {
    if (!std::strcmp(argv[i], "--json") && i + 1 < argc) {
      json = argv[++i];
    } else {
      std::fprintf(stderr, "usage: %s [--json FILE]\n", argv[0]);
      return 2;
    }
  }
  const Figures f = measure();
  std::printf("%zu calls in batches of %zu, median of the batches' time per call\n", kCalls, kBatch);
  std::printf("%-40s %10.1f ns\n", "kelvara_command_gate_admit, 7 axes", f.frame_admit);
  std::printf("%-40s %10.1f ns   ratio %.3f\n", "kelvara_gate_admit, one receipt", f.receipt_admit,
              f.frame_admit / f.receipt_admit);
  std::printf("%-40s %10.1f ns\n", "kelvara_signer_sign, 7 axes", f.frame_sign);
  std::printf("%-40s %10.1f ns   ratio %.3f\n", "7 x kelvara_boundary_authorize", f.receipts_sign,
              f.frame_sign / f.receipts_sign);
  std::printf("%-40s %10.4g\n%-40s %10.4g\n", "malloc calls per sign", f.blocks_per_sign,
              "malloc calls per admit", f.blocks_per_admit);
  if (json != nullptr) write_json(json, f);
  return 0;
}
