#include "kelvara/security/command_frame.hpp"

#include <gtest/gtest.h>
#include <openssl/hmac.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <limits>
#include <vector>

namespace {

using namespace kelvara::security;

using Bytes = std::vector<std::uint8_t>;

// The frame written out by hand from its table, independently of the library,
// tag by OpenSSL.
Bytes frame_by_hand(const Key& key, std::uint8_t key_id, std::uint32_t stream, std::uint64_t counter,
                    const std::vector<double>& p, const std::vector<double>& v) {
  Bytes out = {'K', 'F', 1, key_id};
  auto le = [&out](std::uint64_t value, int bytes) {
    for (int i = 0; i < bytes; ++i) out.push_back(static_cast<std::uint8_t>(value >> (8 * i)));
  };
  le(stream, 4);
  le(counter, 8);
  le(p.size(), 2);
  le(0, 2);
  for (std::size_t a = 0; a < p.size(); ++a) {
    le(std::bit_cast<std::uint64_t>(p[a]), 8);
    le(std::bit_cast<std::uint64_t>(v[a]), 8);
  }
  unsigned char tag[32];
  unsigned int length = 0;
  HMAC(EVP_sha256(), key.data(), static_cast<int>(key.size()), out.data(), out.size(), tag, &length);
  out.insert(out.end(), tag, tag + 32);
  return out;
}

// Every axis count's frame is the layout written by hand, byte for byte
// (odd doubles kept bit for bit), and reads back as it was written; its tag
// is OpenSSL's HMAC, and a change to any byte fails it.
TEST(CommandFrame, WritesTheLayoutAndReadsItBack) {
  Key key;
  for (std::size_t i = 0; i < key.size(); ++i) key[i] = static_cast<std::uint8_t>(3 * i + 1);
  const HmacKeyContext context = HmacKeyContext::from_key(key);
  const double odd[] = {
      -0.0, std::numeric_limits<double>::denorm_min(),       std::numeric_limits<double>::max(),
      -1.5, std::bit_cast<double>(0x7ff8'0000'0000'0001ull), INFINITY};
  for (std::size_t axes = 1; axes <= kFrameMaxAxes; ++axes) {
    std::vector<double> p(axes), v(axes);
    for (std::size_t a = 0; a < axes; ++a) {
      p[a] = odd[a % 6];
      v[a] = odd[(a + 3) % 6] * 0.5;
    }
    const FrameHeader header{.key_id = 200,
                             .stream_id = 0xfeedbeef,
                             .counter = 0x0102030405060708ull,
                             .axes = static_cast<std::uint16_t>(axes)};
    Bytes written(kFrameMaxSize + 1, 0xaa);
    const auto size = write_frame(context, header, p, v, written);
    ASSERT_EQ(size, frame_size(axes));
    EXPECT_EQ(written[*size], 0xaa);  // nothing past the frame
    written.resize(*size);
    ASSERT_EQ(written, frame_by_hand(key, 200, 0xfeedbeef, 0x0102030405060708ull, p, v)) << axes;

    const auto view = parse_frame(written);
    ASSERT_TRUE(view.has_value());
    EXPECT_EQ(view->header().counter, header.counter);
    EXPECT_EQ(view->header().stream_id, header.stream_id);
    EXPECT_EQ(view->header().key_id, 200);
    for (std::size_t a = 0; a < axes; ++a) {
      EXPECT_EQ(std::bit_cast<std::uint64_t>(view->position(a)), std::bit_cast<std::uint64_t>(p[a]));
      EXPECT_EQ(std::bit_cast<std::uint64_t>(view->velocity(a)), std::bit_cast<std::uint64_t>(v[a]));
    }
    EXPECT_TRUE(frame_tag_matches(context, *view));
    for (std::size_t byte = 0; byte < written.size(); byte += 7) {
      Bytes changed = written;
      changed[byte] ^= 0x10;
      const auto parsed = parse_frame(changed);
      // A changed header byte may break the structure; otherwise the tag fails.
      if (parsed) {
        EXPECT_FALSE(frame_tag_matches(context, *parsed)) << byte;
      }
    }
  }
}

TEST(CommandFrame, StructureIsCheckedBeforeAnythingElse) {
  const HmacKeyContext context = HmacKeyContext::from_key(Key{});
  Bytes good(frame_size(2));
  ASSERT_TRUE(write_frame(context, {.key_id = 0, .stream_id = 1, .counter = 2, .axes = 2},
                          std::vector<double>{0, 0}, std::vector<double>{0, 0}, good));
  ASSERT_TRUE(parse_frame(good));
  for (std::size_t size = 0; size <= kFrameMaxSize + 16; ++size) {
    Bytes resized = good;
    resized.resize(size);
    EXPECT_EQ(parse_frame(resized).has_value(), size == good.size()) << size;
  }
  // Magic, version, flags, and axis counts 0 and 33 (with a matching length).
  for (const auto& [offset, value] : std::vector<std::pair<std::size_t, std::uint8_t>>{
           {0, 'k'}, {1, 'G'}, {2, 0}, {2, 2}, {18, 1}, {19, 0x80}}) {
    Bytes changed = good;
    changed[offset] = value;
    EXPECT_FALSE(parse_frame(changed)) << offset;
  }
  for (const std::uint16_t axes : {0, 33, 0xffff}) {
    Bytes changed(std::min<std::size_t>(frame_size(axes), 2 * kFrameMaxSize), 0);
    std::copy_n(good.begin(), kFrameHeaderSize, changed.begin());
    std::memcpy(changed.data() + kFrameAxesOffset, &axes, 2);
    EXPECT_FALSE(parse_frame(changed)) << axes;
  }

  // Writing refuses what it cannot frame and then writes nothing.
  Bytes out(kFrameMaxSize, 0x55);
  const std::vector<double> two = {1, 2};
  EXPECT_FALSE(write_frame(context, {.axes = 0}, two, two, out));
  EXPECT_FALSE(write_frame(context, {.axes = 33}, std::vector<double>(33), std::vector<double>(33), out));
  EXPECT_FALSE(write_frame(context, {.axes = 3}, two, std::vector<double>(3), out));
  EXPECT_FALSE(write_frame(context, {.axes = 2}, two, two, std::span(out).first(frame_size(2) - 1)));
  EXPECT_TRUE(std::all_of(out.begin(), out.end(), [](std::uint8_t b) { return b == 0x55; }));
}

}  // namespace
