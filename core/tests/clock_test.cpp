#include "zantu/core/clock.hpp"

#include <gtest/gtest.h>

#include <chrono>

#include <ctime>

#include "support.hpp"

namespace zantu::core {
namespace {

TEST(Clock, FormatVectors) {
  struct Case {
    std::uint64_t secs;
    const char* text;
  };
  const Case cases[] = {
      {0, "1970-01-01T00:00:00Z"},
      {86399, "1970-01-01T23:59:59Z"},
      {946684799, "1999-12-31T23:59:59Z"},
      {951782400, "2000-02-29T00:00:00Z"},
      {951868800, "2000-03-01T00:00:00Z"},
      {1700000000, "2023-11-14T22:13:20Z"},
      {1709164800, "2024-02-29T00:00:00Z"},
      {4102444800, "2100-01-01T00:00:00Z"},  // 2100 is not a leap year
      {253402300799, "9999-12-31T23:59:59Z"},
      {253402300800, "10000-01-01T00:00:00Z"},  // the year outgrows four digits
  };
  for (const auto& c : cases) EXPECT_EQ(clock::format_rfc3339_utc(c.secs), c.text) << c.secs;
}

TEST(Clock, NowUsesTheSharedFormatOfUnixSecs) {
  const testing::FixedClock fixed(1700000000);
  EXPECT_EQ(fixed.now_rfc3339(), "2023-11-14T22:13:20Z");

  SystemClock system;
  // std::time reads a coarse clock that can lag a tick behind; compare with
  // the same real-time clock instead.
  auto wall = [] {
    return static_cast<std::uint64_t>(
        std::chrono::duration_cast<std::chrono::seconds>(std::chrono::system_clock::now().time_since_epoch()).count());
  };
  const auto before = wall();
  const auto secs = system.unix_secs();
  const auto after = wall();
  EXPECT_LE(before, secs);
  EXPECT_LE(secs, after);
  EXPECT_EQ(system.now_rfc3339().size(), 20u);
}

}  // namespace
}  // namespace zantu::core
