// The general envelope in C, in storage the caller owns: a kernel Envelope
// placed in the KelvaraEnvelope's bytes after a mark that says the storage
// holds one. The envelope is immutable and trivially copyable, so unlike the
// gate's mark this one does not depend on the address: a copy is an equal
// envelope. Storage without the mark (never initialised, zeroed) is refused.
#include <cstdint>
#include <cstring>
#include <new>

#include "envelope_storage.hpp"
#include "kelvara.h"
#include "kelvara/core/envelope.hpp"

namespace kelvara::capi {
namespace {

// Any value that zeroed or uninitialised storage is unlikely to hold.
constexpr std::uint64_t kEnvelopeMark = 0x6b656c76456e7631u;

struct EnvelopeSlot {
  std::uint64_t mark;  // kEnvelopeMark while the slot holds an envelope
  core::Envelope envelope;
};

static_assert(sizeof(EnvelopeSlot) <= sizeof(KelvaraEnvelope), "raise KELVARA_ENVELOPE_SIZE (an ABI change)");
static_assert(alignof(EnvelopeSlot) <= alignof(KelvaraEnvelope));
static_assert(KELVARA_ENVELOPE_MAX_AXES == core::kEnvelopeMaxAxes &&
              KELVARA_ENVELOPE_MAX_ROWS == core::kEnvelopeMaxRows);

// The storage as bytes: never a member access, which a misaligned pointer
// would make undefined.
unsigned char* storage_of(const KelvaraEnvelope* envelope) noexcept {
  return reinterpret_cast<unsigned char*>(const_cast<KelvaraEnvelope*>(envelope));
}

bool is_aligned(const unsigned char* storage) noexcept {
  return reinterpret_cast<std::uintptr_t>(storage) % alignof(EnvelopeSlot) == 0;
}

}  // namespace

// The sizes are checked as well, so that stray bytes which happen to carry the
// mark never steer a projection outside the record.
const core::Envelope* envelope_in(const KelvaraEnvelope* envelope) noexcept {
  const unsigned char* storage = storage_of(envelope);
  if (!is_aligned(storage)) return nullptr;
  std::uint64_t mark;
  std::memcpy(&mark, storage, sizeof mark);
  if (mark != kEnvelopeMark) return nullptr;
  const core::Envelope* e = &std::launder(reinterpret_cast<const EnvelopeSlot*>(storage))->envelope;
  if (e->axes() == 0 || e->axes() > core::kEnvelopeMaxAxes || e->rows() > core::kEnvelopeMaxRows)
    return nullptr;
  return e;
}

}  // namespace kelvara::capi

extern "C" size_t kelvara_envelope_size(void) noexcept { return sizeof(KelvaraEnvelope); }

extern "C" int32_t kelvara_envelope_init(KelvaraEnvelope* envelope, size_t axes, const double* min_bound,
                                         const double* max_bound, size_t rows, const double* coefficients,
                                         const double* limits) noexcept {
  using namespace kelvara::capi;
  if (envelope == nullptr || min_bound == nullptr || max_bound == nullptr ||
      (rows > 0 && (coefficients == nullptr || limits == nullptr))) {
    return KELVARA_ERR_NULL_POINTER;
  }
  unsigned char* storage = storage_of(envelope);
  if (!is_aligned(storage)) return KELVARA_ERR_INVALID_POINTER;
  // Validated before the storage is touched: a refusal leaves it as it was.
  const auto made = kelvara::core::Envelope::make(axes, min_bound, max_bound, rows, coefficients, limits);
  if (!made) return KELVARA_ERR_INVALID_ENVELOPE;
  new (storage) EnvelopeSlot{kEnvelopeMark, *made};
  return KELVARA_OK;
}

extern "C" int32_t kelvara_envelope_project(const KelvaraEnvelope* envelope, const double* desired,
                                            double* projected, KelvaraProjection* info) noexcept {
  if (envelope == nullptr || desired == nullptr || projected == nullptr || info == nullptr) {
    return KELVARA_ERR_NULL_POINTER;
  }
  const kelvara::core::Envelope* e = kelvara::capi::envelope_in(envelope);
  if (e == nullptr) return KELVARA_ERR_INVALID_POINTER;
  const kelvara::core::EnvelopeProjection outcome = e->project(desired, projected);
  *info = KelvaraProjection{outcome.status, outcome.iterations};
  return KELVARA_OK;
}
