#include "zantu/core/utf8.hpp"

#include <gtest/gtest.h>

#include <string>

namespace zantu::core {
namespace {

TEST(Utf8, ValidityAndLossyForm) {
  const std::string fffd = "\xEF\xBF\xBD";
  struct Case {
    std::string text;
    bool valid;
    std::string lossy;
    const char* why;
  };
  const Case cases[] = {
      {"", true, "", "empty"},
      {std::string("a\0b", 3), true, std::string("a\0b", 3), "a NUL byte is well-formed"},
      {"caf\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x98\x80", true, "caf\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x98\x80",
       "two, three and four bytes"},
      {"\xF4\x8F\xBF\xBF", true, "\xF4\x8F\xBF\xBF", "U+10FFFF"},
      {"\xC0\xAF", false, fffd + fffd, "overlong two bytes: no valid lead, one each"},
      {"\xE0\x80\xAF", false, fffd + fffd + fffd, "overlong three bytes: the second byte is out of range"},
      {"\xED\xA0\x80", false, fffd + fffd + fffd, "a surrogate"},
      {"\xF4\x90\x80\x80", false, fffd + fffd + fffd + fffd, "above U+10FFFF"},
      {"\xE2\x82" "A", false, fffd + "A", "a truncated sequence is one replacement"},
      {"x\xF0\x9F\x98", false, "x" + fffd, "truncated at the end"},
      {"\xFF\xFF", false, fffd + fffd, "two invalid bytes"},
      {"\x80", false, fffd, "a stray continuation byte"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(utf8::is_valid(c.text), c.valid) << c.why;
    EXPECT_EQ(utf8::to_lossy(c.text), c.lossy) << c.why;
  }
}

}  // namespace
}  // namespace zantu::core
