#include "kelvara/edge/platform_sources.hpp"

#include <cerrno>
#include <cstring>
#include <ctime>

#include <fcntl.h>
#include <sys/random.h>
#include <unistd.h>

namespace kelvara::edge {
namespace {

std::string system_message(int error_number) {
  char buffer[256];
  // The GNU strerror_r returns the text, which may or may not live in `buffer`.
  return strerror_r(error_number, buffer, sizeof buffer);
}

// The fallback where getrandom() is unavailable: reads until the buffer is full.
std::expected<void, std::string> read_urandom(std::uint8_t* out, std::size_t size) {
  int fd;
  do {
    fd = ::open("/dev/urandom", O_RDONLY | O_CLOEXEC);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return std::unexpected(system_message(errno));
  std::size_t filled = 0;
  while (filled < size) {
    const ssize_t got = ::read(fd, out + filled, size - filled);
    if (got > 0) {
      filled += static_cast<std::size_t>(got);
    } else if (got < 0 && errno == EINTR) {
      continue;
    } else {
      const int error_number = errno;
      ::close(fd);
      if (got == 0) return std::unexpected(std::string("unexpected end of /dev/urandom"));
      return std::unexpected(system_message(error_number));
    }
  }
  ::close(fd);
  return {};
}

}  // namespace

std::expected<std::uint64_t, std::string> wall_clock_nanos() noexcept {
  timespec ts{};
  if (::clock_gettime(CLOCK_REALTIME, &ts) != 0) return std::unexpected(system_message(errno));
  if (ts.tv_sec < 0) return 0;
  return static_cast<std::uint64_t>(ts.tv_sec) * 1'000'000'000u + static_cast<std::uint64_t>(ts.tv_nsec);
}

std::expected<void, std::string> fill_random(security::Nonce& nonce) noexcept {
  std::size_t filled = 0;
  while (filled < nonce.size()) {
    const ssize_t got = ::getrandom(nonce.data() + filled, nonce.size() - filled, 0);
    if (got >= 0) {
      filled += static_cast<std::size_t>(got);
      continue;
    }
    if (errno == EINTR) continue;
    if (errno == ENOSYS || errno == EPERM) return read_urandom(nonce.data() + filled, nonce.size() - filled);
    return std::unexpected(system_message(errno));
  }
  return {};
}

}  // namespace kelvara::edge
