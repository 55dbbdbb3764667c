// The shared helpers on their own.
#include "core/tests/support.hpp"
#include "zantu/providers/common/tool.hpp"

#include <gtest/gtest.h>

#include <string>
#include <string_view>

namespace zantu::providers::common {
namespace {

using core::testing::bytes_of;

// One JSON value, as both providers ask their tools for: its kind, and for a
// string the decoded text.
TEST(Tool, ReadJsonAnswer) {
  using Kind = JsonAnswer::Kind;
  struct Case {
    std::string_view out;
    Kind kind;
    std::string_view text;
  };
  const Case cases[] = {
      {"\"v\"\n", Kind::String, "v"},
      {"\"a\\r\\nb\\n\"\n", Kind::String, "a\r\nb\n"},
      {"\"\"", Kind::String, ""},
      {" null \n", Kind::Null, ""},
      {"None\n", Kind::Other, ""},
      {"\"v\" x", Kind::Other, ""},
      {"null null", Kind::Other, ""},
      {"\"unterminated", Kind::Other, ""},
      {"[\"v\"]", Kind::Other, ""},
      {"", Kind::Other, ""},
  };
  for (const Case& c : cases) {
    const JsonAnswer got = read_json_answer(bytes_of(c.out));
    EXPECT_EQ(got.kind, c.kind) << c.out;
    EXPECT_EQ(got.text.view(), c.text) << c.out;
  }
}

TEST(Tool, MentionsWithoutRegardToCase) {
  EXPECT_TRUE(mentions(bytes_of("WARNING: Unable to encode the output with cp1252"), "unable to encode the output"));
  EXPECT_TRUE(mentions(bytes_of("UNABLE TO ENCODE THE OUTPUT"), "unable to encode the output"));
  EXPECT_TRUE(mentions(bytes_of("x\xffunable to encode the output"), "unable to encode the output"));
  EXPECT_FALSE(mentions(bytes_of("Unable to encode the outpu"), "unable to encode the output"));
  EXPECT_FALSE(mentions(bytes_of(""), "unable to encode the output"));
}

}  // namespace
}  // namespace zantu::providers::common
