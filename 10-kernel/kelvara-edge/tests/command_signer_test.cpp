#include "kelvara/edge/command_signer.hpp"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "kelvara/edge/command_gate.hpp"

namespace {

using namespace kelvara::edge;
using kelvara::security::frame_size;
using kelvara::security::parse_frame;

constexpr std::uint64_t kSecond = 1'000'000'000;
constexpr std::uint64_t kMilli = 1'000'000;

struct FakeClocks {
  static inline std::uint64_t wall = 1'750'000'000 * kSecond;
  static inline std::uint64_t monotonic = 5 * kSecond;
  static inline bool monotonic_fails = false;
  static inline bool wall_throws = false;
  static std::expected<std::uint64_t, std::string> read_wall() {
    if (wall_throws) throw std::runtime_error("wall clock exploded");
    return wall;
  }
  static std::expected<std::uint64_t, std::string> read_monotonic() {
    if (monotonic_fails) return std::unexpected(std::string("monotonic clock gone"));
    return monotonic;
  }
};
const PlatformSources kFakeClocks{FakeClocks::read_wall, fill_random, FakeClocks::read_monotonic};

SignerConfig config_of(std::size_t axes, double limit, std::uint32_t rate_limit) {
  SignerConfig config;
  config.key[0] = 42;
  config.key_id = 3;
  config.stream_id = 70000;
  config.axes = axes;
  std::fill_n(config.max_velocity_rad_s.begin(), axes, limit);
  config.rate_limit = rate_limit;
  return config;
}

using Frame = std::array<std::uint8_t, kelvara::security::kFrameMaxSize>;

std::string outcome(CommandSigner& signer, const std::vector<double>& p, const std::vector<double>& v,
                    Frame* out = nullptr) {
  Frame frame{};
  const auto signed_frame =
      signer.sign(p, v, out ? std::span<std::uint8_t>(*out) : std::span<std::uint8_t>(frame));
  if (signed_frame) return "signed";
  return std::string(signed_frame.error().code()) + "@" + std::to_string(signed_frame.error().axis());
}

// Non-finite values first, then velocity, then rate; each refusal names the
// first offending axis, and none of them spends a counter value or a rate
// slot. The window slides: at most rate_limit frames in any one-second span.
TEST(CommandSigner, RefusesInOrderAndARefusalSpendsNothing) {
  CommandSigner signer(config_of(4, 1.0, 3), kFakeClocks);
  const std::vector<double> p = {0.1, 0.2, 0.3, 0.4}, v = {0.5, -0.5, 1.0, -1.0};
  EXPECT_EQ(outcome(signer, {0.1, 0.2, NAN, 0.4}, {0.0, 2.0, 0.0, 0.0}), "non_finite_value@2");
  EXPECT_EQ(outcome(signer, p, {0.0, 2.0, 0.0, -INFINITY}), "non_finite_value@3");
  EXPECT_EQ(outcome(signer, p, {0.0, 1.5, 0.0, -1.5}), "velocity_exceeded@1");
  EXPECT_EQ(outcome(signer, p, {0.0, 0.0, std::nextafter(1.0, 2.0), 0.0}), "velocity_exceeded@2");
  EXPECT_EQ(signer.last_counter(), 0u);

  // Three frames 400 ms apart fill the window; refusals in between cost nothing.
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(outcome(signer, p, v), "signed");
    EXPECT_EQ(outcome(signer, {INFINITY, 0, 0, 0}, v), "non_finite_value@0");
    EXPECT_EQ(outcome(signer, p, {9, 0, 0, 0}), "velocity_exceeded@0");
    FakeClocks::monotonic += 400 * kMilli;
  }
  const std::uint64_t counter = signer.last_counter();
  // t = 1.2 s: the frame of t = 0 has left the window; one frame fits.
  EXPECT_EQ(outcome(signer, p, v), "signed");
  EXPECT_EQ(outcome(signer, p, v), "rate_limited@-1");
  FakeClocks::monotonic += 100 * kMilli;  // 1.3 s: the frame of 0.4 s is still inside
  EXPECT_EQ(outcome(signer, p, v), "rate_limited@-1");
  EXPECT_EQ(signer.last_counter(), counter + 1);  // the wall clock stood still: last + 1
  FakeClocks::monotonic += 100 * kMilli;
  EXPECT_EQ(outcome(signer, p, v), "signed");

  // A failing clock refuses and leaves the window and counter as they were.
  const std::uint64_t before = signer.last_counter();
  FakeClocks::monotonic += 10 * kSecond;
  FakeClocks::monotonic_fails = true;
  EXPECT_EQ(outcome(signer, p, v), "clock_failure@-1");
  FakeClocks::monotonic_fails = false;
  FakeClocks::wall_throws = true;
  EXPECT_EQ(outcome(signer, p, v), "clock_failure@-1");
  FakeClocks::wall_throws = false;
  EXPECT_EQ(signer.last_counter(), before);
  for (int i = 0; i < 3; ++i) EXPECT_EQ(outcome(signer, p, v), "signed") << i;
  EXPECT_EQ(outcome(signer, p, v), "rate_limited@-1");

  // The caller's mistakes: nothing written, nothing spent.
  Frame frame{};
  frame.fill(0xee);
  EXPECT_EQ(signer.sign(p, v, std::span(frame).first(frame_size(4) - 1)).error().code(),
            "frame_buffer_too_small");
  EXPECT_EQ(signer.sign(std::span(p).first(3), v, frame).error().code(), "invalid_argument");
  EXPECT_TRUE(std::all_of(frame.begin(), frame.end(), [](std::uint8_t b) { return b == 0xee; }));
  const auto message = signer.sign(p, std::vector<double>{0, 0, 0, 7.5}, frame).error().message();
  EXPECT_EQ(message, "axis 3: commanded_velocity 7.5 rad/s exceeds max_velocity_rad_s 1 rad/s");
}

// The counter follows the wall clock but never repeats or goes back, and a
// signer made after a restart starts ahead of everything its predecessor
// signed while the clock moved on, so the gate admits it at once.
TEST(CommandSigner, CounterIsTheWallClockMadeStrictlyIncreasing) {
  FakeClocks::wall = 1'760'000'000 * kSecond;
  SignerConfig config = config_of(2, INFINITY, 1'000'000);
  CommandGate gate(2, kSecond, kFakeClocks);
  ASSERT_TRUE(gate.add_key(config.key_id, config.key));
  ASSERT_TRUE(gate.allow_stream(config.stream_id));
  std::uint64_t last = 0;
  auto sign_and_admit = [&](CommandSigner& signer) {
    Frame frame{};
    const auto size = signer.sign(std::vector<double>{0.0, 1.0}, std::vector<double>{1e300, -0.0}, frame);
    ASSERT_TRUE(size.has_value());
    ASSERT_EQ(*size, frame_size(2));
    const auto view = parse_frame(std::span(frame).first(*size));
    ASSERT_TRUE(view.has_value());
    EXPECT_EQ(view->header().key_id, config.key_id);
    EXPECT_EQ(view->header().stream_id, config.stream_id);
    EXPECT_GT(view->header().counter, last);
    last = view->header().counter;
    Command command;
    EXPECT_TRUE(gate.admit(std::span(frame).first(*size), command));
  };
  {
    CommandSigner first(config, kFakeClocks);
    for (int i = 0; i < 3; ++i) sign_and_admit(first);  // a stalled clock: now, now + 1, now + 2
    EXPECT_EQ(last, FakeClocks::wall + 2);
    FakeClocks::wall -= 500 * kMilli;  // set back: the counter carries on
    sign_and_admit(first);
    EXPECT_EQ(last, FakeClocks::wall + 500 * kMilli + 3);
  }
  FakeClocks::wall += 2 * kSecond;
  CommandSigner restarted(config, kFakeClocks);
  sign_and_admit(restarted);
  EXPECT_EQ(last, FakeClocks::wall);

  // A counter at its largest value has no successor: refused, not wrapped to 0.
  const std::uint64_t now = FakeClocks::wall;
  FakeClocks::wall = UINT64_MAX;
  CommandSigner at_the_end(config, kFakeClocks);
  EXPECT_EQ(outcome(at_the_end, {0.0, 1.0}, {0.0, 0.0}), "signed");
  EXPECT_EQ(outcome(at_the_end, {0.0, 1.0}, {0.0, 0.0}), "clock_failure@-1");
  EXPECT_EQ(at_the_end.last_counter(), UINT64_MAX);
  FakeClocks::wall = now;
}

TEST(CommandSigner, ABadConfigurationMakesASignerThatRefusesEverything) {
  std::vector<SignerConfig> bad = {config_of(0, 1.0, 1), config_of(33, 1.0, 1), config_of(2, NAN, 1),
                                   config_of(2, -1.0, 1), config_of(2, 1.0, kMaxSignerRateLimit + 1)};
  bad.push_back(config_of(3, 1.0, 1));
  bad.back().max_velocity_rad_s[1] = NAN;
  for (const SignerConfig& config : bad) {
    EXPECT_FALSE(check_signer_config(config).has_value());
    CommandSigner signer(config, kFakeClocks);
    Frame frame{};
    const std::vector<double> zeros(32, 0.0);
    const auto refused = signer.sign(std::span(zeros).first(config.axes % 33),
                                     std::span(zeros).first(config.axes % 33), frame);
    ASSERT_FALSE(refused.has_value());
    EXPECT_EQ(refused.error().code(), "invalid_argument");
  }
  CommandSigner none(config_of(1, 1.0, 0), kFakeClocks);  // a rate limit of 0 signs nothing
  EXPECT_EQ(outcome(none, {0}, {0}), "rate_limited@-1");
}

// Many threads sign at once: every counter is distinct, nothing is lost, and
// a gate shared by threads (serialised as its contract asks) admits each
// frame exactly once however often it is offered.
TEST(CommandSigner, ThreadsGetDistinctCountersAndEachFrameIsAdmittedOnce) {
  SignerConfig config = config_of(7, 10.0, 1'000'000);
  CommandSigner signer(config);  // the real clocks
  constexpr int kThreads = 4, kFrames = 300;
  std::vector<std::vector<Frame>> frames(kThreads);
  {
    std::vector<std::jthread> threads;
    for (int t = 0; t < kThreads; ++t) {
      threads.emplace_back([&, t] {
        const std::vector<double> p(7, 0.25 * t), v(7, 1.0);
        for (int i = 0; i < kFrames; ++i) {
          Frame frame{};
          if (signer.sign(p, v, frame)) frames[t].push_back(frame);
        }
      });
    }
  }
  std::vector<std::pair<std::uint64_t, Frame>> all;
  for (const auto& list : frames) {
    ASSERT_EQ(list.size(), static_cast<std::size_t>(kFrames));
    for (const Frame& frame : list)
      all.emplace_back(parse_frame(std::span(frame).first(frame_size(7)))->header().counter, frame);
  }
  std::sort(all.begin(), all.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
  EXPECT_EQ(std::adjacent_find(all.begin(), all.end(),
                               [](const auto& a, const auto& b) { return a.first == b.first; }),
            all.end());

  CommandGate gate(7, 0);
  ASSERT_TRUE(gate.add_key(config.key_id, config.key));
  ASSERT_TRUE(gate.allow_stream(config.stream_id));
  std::mutex serialise;
  std::atomic<int> admitted{0};
  {
    std::vector<std::jthread> threads;
    for (int t = 0; t < kThreads; ++t) {
      threads.emplace_back([&] {
        for (const auto& [counter, frame] : all) {
          const std::lock_guard lock(serialise);
          Command command;
          if (gate.admit(std::span(frame).first(frame_size(7)), command)) admitted.fetch_add(1);
        }
      });
    }
  }
  EXPECT_EQ(admitted.load(), kThreads * kFrames);
  EXPECT_EQ(gate.stats().admitted(), static_cast<std::uint64_t>(kThreads * kFrames));
  EXPECT_EQ(gate.stats().of(7), static_cast<std::uint64_t>((kThreads - 1) * kThreads * kFrames));
}

// After fork() the child's copies refuse: two senders would sign the same
// counters, two gates admit the same frame.
TEST(CommandSigner, SignerAndGateRefuseInAForkedChild) {
  SignerConfig config = config_of(1, 1.0, 100);
  CommandSigner signer(config);
  CommandGate gate(1, 0);
  ASSERT_TRUE(gate.add_key(config.key_id, config.key));
  ASSERT_TRUE(gate.allow_stream(config.stream_id));
  Frame frame{};
  ASSERT_TRUE(signer.sign(std::vector<double>{0}, std::vector<double>{0}, frame));
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    Frame other{};
    Command command;
    const auto signed_frame = signer.sign(std::vector<double>{0}, std::vector<double>{0}, other);
    const auto admitted = gate.admit(std::span(frame).first(frame_size(1)), command);
    const bool both_refused = !signed_frame && signed_frame.error().code() == "other_process" && !admitted &&
                              admitted.error().code() == "other_process";
    _exit(both_refused ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  Command command;
  EXPECT_TRUE(gate.admit(std::span(frame).first(frame_size(1)), command));  // the parent's work goes on
}

}  // namespace
