// Time sources: Unix seconds and RFC 3339 timestamps in UTC.
#pragma once

#include <cstdint>
#include <string>

namespace zantu::core {

// A time source. Replaceable wherever a clock is passed in.
class Clock {
 public:
  virtual ~Clock() = default;
  // Whole seconds since 1970-01-01T00:00:00Z.
  [[nodiscard]] virtual std::uint64_t unix_secs() const = 0;
  // `clock::format_rfc3339_utc(unix_secs())` unless overridden.
  [[nodiscard]] virtual std::string now_rfc3339() const;
};

// The operating system's real-time clock; 0 while it stands before the epoch.
class SystemClock final : public Clock {
 public:
  [[nodiscard]] std::uint64_t unix_secs() const override;
};

namespace clock {

// "YYYY-MM-DDTHH:MM:SSZ" in the proleptic Gregorian calendar, UTC, whole
// seconds; the year has at least four digits (more from 10000 on).
[[nodiscard]] std::string format_rfc3339_utc(std::uint64_t secs);

}  // namespace clock
}  // namespace zantu::core
