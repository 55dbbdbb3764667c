// The shared helpers on their own.
#include "zantu/providers/common/tool.hpp"

#include <gtest/gtest.h>

#include <string>
#include <string_view>

namespace zantu::providers::common {
namespace {

std::span<const std::uint8_t> bytes_of(std::string_view s) {
  return {reinterpret_cast<const std::uint8_t*>(s.data()), s.size()};
}

std::string text_of(std::span<const std::uint8_t> b) { return {b.begin(), b.end()}; }

TEST(Tool, TrimOneTrailingNewline) {
  struct Case {
    std::string_view in, out;
  };
  const Case cases[] = {
      {"abc\n", "abc"}, {"abc\r\n", "abc"}, {"abc\n\n", "abc\n"}, {"abc\r", "abc\r"}, {"abc", "abc"},
      {"\n", ""},       {"", ""},           {"a\nb\n", "a\nb"},   {"\r\n", ""},     {"abc\n\r", "abc\n\r"},
  };
  for (const Case& c : cases) {
    auto in = bytes_of(c.in);
    auto out = trim_one_trailing_newline(in);
    EXPECT_EQ(text_of(out), c.out);
    EXPECT_EQ(out.data(), in.data()) << "a prefix, not a copy";
  }
}

}  // namespace
}  // namespace zantu::providers::common
