// The general envelope as a C caller meets it: every refusal of init and
// project with its code and no byte changed, storage that holds no envelope,
// aliasing, copies, and results identical to the kernel's.
#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <cstring>
#include <limits>
#include <memory>
#include <vector>

#include "kelvara.h"
#include "kelvara/core/envelope.hpp"

namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// Three axes in [-1, 1], cut by x0 + x1 <= 1 and x1 - x2 <= 0.5.
struct Plane {
  std::array<double, 3> min_bound{-1, -1, -1};
  std::array<double, 3> max_bound{1, 1, 1};
  std::array<double, 6> coefficients{1, 1, 0, 0, 1, -1};
  std::array<double, 2> limits{1, 0.5};

  std::int32_t init(KelvaraEnvelope* e, std::size_t axes = 3, std::size_t rows = 2) const {
    return kelvara_envelope_init(e, axes, min_bound.data(), max_bound.data(), rows, coefficients.data(),
                                 limits.data());
  }
};

// Storage on the heap, filled with a pattern that holds no envelope.
std::unique_ptr<KelvaraEnvelope> fresh_storage() {
  auto storage = std::make_unique<KelvaraEnvelope>();
  std::memset(storage.get(), 0xA5, sizeof *storage);
  return storage;
}

bool same_bytes(const KelvaraEnvelope& a, const KelvaraEnvelope& b) {
  return std::memcmp(&a, &b, sizeof a) == 0;
}

TEST(CEnvelope, RefusalsOfInitHaveTheirCodesAndChangeNoByte) {
  const Plane p;
  auto storage = fresh_storage();
  ASSERT_EQ(p.init(storage.get()), KELVARA_OK);
  const auto before = std::make_unique<KelvaraEnvelope>(*storage);

  const double* lo = p.min_bound.data();
  const double* hi = p.max_bound.data();
  const double* a = p.coefficients.data();
  const double* b = p.limits.data();
  EXPECT_EQ(kelvara_envelope_init(nullptr, 3, lo, hi, 2, a, b), KELVARA_ERR_NULL_POINTER);
  EXPECT_EQ(kelvara_envelope_init(storage.get(), 3, nullptr, hi, 2, a, b), KELVARA_ERR_NULL_POINTER);
  EXPECT_EQ(kelvara_envelope_init(storage.get(), 3, lo, nullptr, 2, a, b), KELVARA_ERR_NULL_POINTER);
  EXPECT_EQ(kelvara_envelope_init(storage.get(), 3, lo, hi, 2, nullptr, b), KELVARA_ERR_NULL_POINTER);
  EXPECT_EQ(kelvara_envelope_init(storage.get(), 3, lo, hi, 2, a, nullptr), KELVARA_ERR_NULL_POINTER);
  EXPECT_TRUE(same_bytes(*storage, *before));

  // Each a valid plane with one thing wrong.
  struct Case {
    const char* what;
    std::size_t axes = 3;
    std::size_t rows = 2;
    void (*spoil)(Plane&) = [](Plane&) {};
  };
  const Case cases[] = {
      {"no axes", 0},
      {"33 axes", 33},
      {"33 rows", 3, 33},
      {"NaN lower bound", 3, 2, [](Plane& q) { q.min_bound[1] = kNaN; }},
      {"NaN upper bound", 3, 2, [](Plane& q) { q.max_bound[2] = kNaN; }},
      {"reversed bounds", 3, 2, [](Plane& q) { q.min_bound[0] = 1.5; }},
      {"lower bound +inf", 3, 2, [](Plane& q) { q.min_bound[0] = q.max_bound[0] = kInf; }},
      {"upper bound -inf", 3, 2, [](Plane& q) { q.min_bound[0] = q.max_bound[0] = -kInf; }},
      {"NaN coefficient", 3, 2, [](Plane& q) { q.coefficients[4] = kNaN; }},
      {"infinite coefficient", 3, 2, [](Plane& q) { q.coefficients[0] = -kInf; }},
      {"NaN limit", 3, 2, [](Plane& q) { q.limits[1] = kNaN; }},
  };
  for (const Case& c : cases) {
    Plane q;
    c.spoil(q);
    // 33 rows read past the plane's arrays: give them room.
    std::vector<double> coefficients(33 * 33, 0.0), limits(33, 1.0);
    std::copy(q.coefficients.begin(), q.coefficients.end(), coefficients.begin());
    std::copy(q.limits.begin(), q.limits.end(), limits.begin());
    std::vector<double> lo_many(33, -1.0), hi_many(33, 1.0);
    std::copy(q.min_bound.begin(), q.min_bound.end(), lo_many.begin());
    std::copy(q.max_bound.begin(), q.max_bound.end(), hi_many.begin());
    EXPECT_EQ(kelvara_envelope_init(storage.get(), c.axes, lo_many.data(), hi_many.data(), c.rows,
                                    coefficients.data(), limits.data()),
              KELVARA_ERR_INVALID_ENVELOPE)
        << c.what;
    EXPECT_TRUE(same_bytes(*storage, *before)) << c.what;
  }
  EXPECT_STREQ(kelvara_error_code(KELVARA_ERR_INVALID_ENVELOPE), "invalid_envelope");
  EXPECT_STREQ(kelvara_error_message(KELVARA_ERR_INVALID_ENVELOPE), "envelope sizes or values are invalid");

  // Rows may be absent altogether.
  EXPECT_EQ(kelvara_envelope_init(storage.get(), 3, lo, hi, 0, nullptr, nullptr), KELVARA_OK);
}

TEST(CEnvelope, StorageWithoutAnEnvelopeIsRefusedAndNothingIsWritten) {
  const Plane p;
  const double desired[3] = {0.9, 0.9, 0.0};
  double projected[3] = {7, 7, 7};
  KelvaraProjection info{99, 99};
  auto check_untouched = [&] {
    EXPECT_EQ(projected[0], 7.0);
    EXPECT_EQ(info.status, 99u);
  };

  auto storage = fresh_storage();  // never initialised
  EXPECT_EQ(kelvara_envelope_project(storage.get(), desired, projected, &info), KELVARA_ERR_INVALID_POINTER);
  std::memset(storage.get(), 0, sizeof *storage);  // zeroed
  EXPECT_EQ(kelvara_envelope_project(storage.get(), desired, projected, &info), KELVARA_ERR_INVALID_POINTER);
  check_untouched();

  ASSERT_EQ(p.init(storage.get()), KELVARA_OK);
  EXPECT_EQ(kelvara_envelope_project(nullptr, desired, projected, &info), KELVARA_ERR_NULL_POINTER);
  EXPECT_EQ(kelvara_envelope_project(storage.get(), nullptr, projected, &info), KELVARA_ERR_NULL_POINTER);
  EXPECT_EQ(kelvara_envelope_project(storage.get(), desired, nullptr, &info), KELVARA_ERR_NULL_POINTER);
  EXPECT_EQ(kelvara_envelope_project(storage.get(), desired, projected, nullptr), KELVARA_ERR_NULL_POINTER);
  check_untouched();

  // Misaligned storage: an envelope's bytes one past an aligned address.
  auto bytes = std::make_unique<unsigned char[]>(sizeof(KelvaraEnvelope) + 8);
  auto* shifted = reinterpret_cast<KelvaraEnvelope*>(bytes.get() + 1);
  std::memcpy(shifted, storage.get(), sizeof(KelvaraEnvelope));
  EXPECT_EQ(kelvara_envelope_project(shifted, desired, projected, &info), KELVARA_ERR_INVALID_POINTER);
  EXPECT_EQ(p.init(shifted), KELVARA_ERR_INVALID_POINTER);
  check_untouched();
  EXPECT_EQ(kelvara_envelope_size(), sizeof(KelvaraEnvelope));
}

// Many commands, the envelope as the kernel makes it: the C face gives its
// bits, in place or not, from the original or a copy, and touches nothing past
// the envelope's axes.
TEST(CEnvelope, ProjectionsAreTheKernelsInPlaceAndFromACopy) {
  const Plane p;
  auto storage = fresh_storage();
  ASSERT_EQ(p.init(storage.get()), KELVARA_OK);
  const auto copy = std::make_unique<KelvaraEnvelope>(*storage);
  const auto kernel = kelvara::core::Envelope::make(3, p.min_bound.data(), p.max_bound.data(), 2,
                                                    p.coefficients.data(), p.limits.data());
  ASSERT_TRUE(kernel.has_value());

  const double values[] = {-3.0, -1.0, -0.25, 0.0, 0.4, 0.9, 1.0, 2.5, kInf, kNaN};
  for (double x : values) {
    for (double y : values) {
      const double desired[4] = {x, y, 0.5 * x - 0.2, 1234.5};
      double expected[3];
      const kelvara::core::EnvelopeProjection want = kernel->project(desired, expected);

      double projected[4] = {0, 0, 0, -8.0};
      KelvaraProjection info;
      ASSERT_EQ(kelvara_envelope_project(storage.get(), desired, projected, &info), KELVARA_OK);
      double in_place[4];
      std::memcpy(in_place, desired, sizeof in_place);
      KelvaraProjection in_place_info;
      ASSERT_EQ(kelvara_envelope_project(copy.get(), in_place, in_place, &in_place_info), KELVARA_OK);

      EXPECT_EQ(std::memcmp(projected, expected, sizeof expected), 0) << x << ", " << y;
      EXPECT_EQ(std::memcmp(in_place, expected, sizeof expected), 0) << x << ", " << y;
      EXPECT_EQ(projected[3], -8.0);
      EXPECT_EQ(in_place[3], 1234.5);
      EXPECT_EQ(info.status, want.status);
      EXPECT_EQ(info.iterations, want.iterations);
      EXPECT_EQ(in_place_info.status, want.status);
      EXPECT_EQ(in_place_info.iterations, want.iterations);
    }
  }
}

}  // namespace
