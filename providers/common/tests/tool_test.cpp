// The shared helpers on their own.
#include "core/tests/support.hpp"
#include "zantu/providers/common/tool.hpp"

#include <gtest/gtest.h>

#include <array>
#include <string>
#include <string_view>
#include <vector>

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

// The patterns are searched in the tool's error output as it wrote it, and a
// match that lies wholly inside one of the reference's names, where the name
// stands alone, is passed over: a name never chooses the hint, nor takes away
// the hint of a pattern that holds it.
TEST(Tool, ChooseHintLooksPastTheNames) {
  static constexpr std::array kFirst = {std::string_view("credential"), std::string_view("a--b"),
                                        std::string_view("unable to locate credentials")};
  static constexpr std::array kSecond = {std::string_view("not found")};
  static constexpr std::array<HintGroup, 2> kGroups = {{{kFirst, "first"}, {kSecond, "second"}}};
  struct Case {
    std::string_view err;
    std::vector<std::string_view> names;
    std::string_view hint, why;
  };
  const Case cases[] = {
      {"secret db-credential was not found", {"kv1", "db-credential"}, "second", "a name holding a pattern"},
      {"secret DB-Credential was not found", {"kv1", "db-credential"}, "second", "without regard to case"},
      {"secret db-credential was not found", {"KV1", "DB-CREDENTIAL"}, "second", "the names' case neither"},
      {"secret db-credential was not found", {}, "first", "no names, as before"},
      {"at db-credential, db-credential: not found", {"db-credential"}, "second", "every occurrence"},
      {"secret db-credential was not found", {"db", "db-credential"}, "second",
       "the longer name first, though it comes later"},
      {"secret db-credential was not found", {"credential", "db-credential"}, "second",
       "a shorter name inside the longer"},
      {"a-kv-b", {"kv"}, "fallback", "the text is searched as written: no pattern forms where a name stood"},
      {"credentialx failed", {"credential"}, "first", "inside a word of the tool's own it is not the name"},
      {"xcredential failed", {"credential"}, "first", "nor at a word's end"},
      {"'credential': bad credential", {"credential"}, "fallback",
       "standing alone, the tool's own word cannot be told from the name"},
      {"Unable to locate credentials. You can configure credentials by running \"aws configure\".",
       {"eu-west-1", "credentials"}, "first", "a name that is one of the tool's words leaves a pattern holding it"},
      {"Unable to locate credentials.", {"unable", "locate"}, "first", "nor do several such names"},
      {"Secret not found", {"kv1", "not"}, "second", "a pattern that begins with the name"},
      {"Secret not found", {"found"}, "second", "a pattern that ends with the name"},
      {"vault kv1-not found", {"kv1-not"}, "second", "a match that reaches past the name"},
      {"db-credential, db-credential: bad credential", {"db-credential"}, "first",
       "a later match outside the name, after matches inside it"},
      {"not found", {""}, "second", "an empty name takes nothing out"},
      {"db-credential and db-credential-old", {"db-credential-old", "db-credential"}, "fallback",
       "matches inside names of which one begins inside the other"},
      {"db-credential-old, then bad credential", {"db-credential-old", "db-credential"}, "first",
       "a match after places that ended before it"},
      {"\xff" "credential" "\xfe", {"kv"}, "first", "bytes that are not UTF-8 around a pattern"},
      {"not found, then bad credential", {}, "first", "an earlier group wins though its match comes later"},
      {"db-credential: not found; bad credential", {"db-credential"}, "first",
       "a later group's match does not end the search for an earlier group's"},
      {"bad a--b, db-credential", {"db-credential"}, "first",
       "a match before a place that a match of an earlier pattern reached"},
      {"credential-unable to locate credentials", {"credential-unable to locate", "locate credentials"}, "first",
       "a match across two overlapping places, inside neither"},
      {"db-credential-old-credential-new: not found", {"db-credential-old-credential-new", "credential-old"},
       "second", "a place that reaches past a later, shorter one"},
      {"db-credential-old, credential-old, db-credential-old, credential-old: not found",
       {"credential-old", "db-credential-old"}, "second", "names of different lengths, interleaved"},
      {"Unable to locate credentials for db-credential: not found",
       {"unable to locate credentials for db-credential"}, "second", "a name longer than every pattern"},
      {"a--b-a--b", {"a--b-a"}, "first", "a match that begins inside a place and ends past it"},
      {"vault kv1-not found", {"kv1-not found"}, "fallback", "a name that holds only a later group's pattern"},
      {"db-credential: not found", {"", "db-credential"}, "second", "an empty name beside another"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(choose_hint(bytes_of(c.err), c.names, kGroups, "fallback"), c.hint) << c.why;
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
