#include "zantu/core/clock.hpp"

#include <cstdio>
#include <ctime>

namespace zantu::core {

std::string Clock::now_rfc3339() const { return clock::format_rfc3339_utc(unix_secs()); }

std::uint64_t SystemClock::unix_secs() const {
  timespec ts{};
  if (clock_gettime(CLOCK_REALTIME, &ts) != 0 || ts.tv_sec < 0) return 0;
  return static_cast<std::uint64_t>(ts.tv_sec);
}

namespace clock {

std::string format_rfc3339_utc(std::uint64_t secs) {
  const std::uint64_t s = secs % 86400;
  const std::uint64_t hour = s / 3600;
  const std::uint64_t minute = (s % 3600) / 60;
  const std::uint64_t second = s % 60;

  // Days to a civil date with 400-year eras counted from 0000-03-01; every
  // quantity is non-negative, so unsigned division is exact here.
  const std::uint64_t z = secs / 86400 + 719468;
  const std::uint64_t era = z / 146097;
  const std::uint64_t doe = z - era * 146097;
  const std::uint64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const std::uint64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const std::uint64_t mp = (5 * doy + 2) / 153;
  const std::uint64_t day = doy - (153 * mp + 2) / 5 + 1;
  const std::uint64_t month = mp < 10 ? mp + 3 : mp - 9;
  const std::uint64_t year = yoe + 400 * era + (month <= 2 ? 1 : 0);

  char buf[48];
  const int n = std::snprintf(buf, sizeof buf, "%04llu-%02llu-%02lluT%02llu:%02llu:%02lluZ",
                              static_cast<unsigned long long>(year), static_cast<unsigned long long>(month),
                              static_cast<unsigned long long>(day), static_cast<unsigned long long>(hour),
                              static_cast<unsigned long long>(minute), static_cast<unsigned long long>(second));
  return std::string(buf, n > 0 ? static_cast<std::size_t>(n) : 0);
}

}  // namespace clock
}  // namespace zantu::core
