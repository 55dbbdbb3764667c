#include "zantu/core/envrefs.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace zantu::core {
namespace {

using Vars = std::vector<std::pair<std::string, Source>>;

Source inl(std::string text) { return Source{Source::Inline{std::move(text)}}; }
Source env(std::string name) { return Source{Source::EnvVar{std::move(name), std::nullopt}}; }
Source env(std::string name, std::string fallback) { return Source{Source::EnvVar{std::move(name), std::move(fallback)}}; }
Source sec(std::string uri) { return Source{Source::Secret{std::move(uri), std::nullopt}}; }
Source sec(std::string uri, std::string fallback) { return Source{Source::Secret{std::move(uri), std::move(fallback)}}; }

std::string describe(const Source& s) {
  struct V {
    static std::string opt(const std::optional<std::string>& f) { return f ? "|" + *f : " (no fallback)"; }
    std::string operator()(const Source::Inline& i) const { return "inline[" + i.text + "]"; }
    std::string operator()(const Source::EnvVar& e) const { return "env[" + e.name + opt(e.fallback) + "]"; }
    std::string operator()(const Source::Secret& s) const { return "secret[" + s.uri + opt(s.fallback) + "]"; }
  };
  return std::visit(V{}, s.form);
}

std::string describe(const EnvRefs& r) {
  std::string out = r.project ? "project[" + *r.project + "]" : "no project";
  for (const auto& [name, source] : r.vars) out += "; " + name + "=" + describe(source);
  return out;
}

struct Good {
  std::string input;
  Vars vars;
  std::optional<std::string> project = std::nullopt;
};

void expect_parses(const std::vector<Good>& cases) {
  for (const auto& c : cases) {
    auto r = EnvRefs::parse(c.input);
    ASSERT_TRUE(r.has_value()) << testing::PrintToString(c.input) << ": " << r.error().to_string();
    EnvRefs want{c.vars, c.project};
    EXPECT_EQ(*r, want) << testing::PrintToString(c.input) << "\n got: " << describe(*r)
                        << "\nwant: " << describe(want);
  }
}

TEST(EnvRefsParse, LinesCommentsAndKeys) {
  expect_parses({
      {"", {}},
      {"\n\n", {}},
      {"# only a comment\n\n   # indented comment\n#A=1\n \t \n", {}},
      {"A=1 # note", {{"A", inl("1")}}},
      {"A=x#y", {{"A", inl("x#y")}}},
      {"A=x\t#y", {{"A", inl("x")}}},
      {"A=x\f#y", {{"A", inl("x")}}},
      // A carriage return inside a line opens a comment like a space does.
      {"A=x\r#y\n", {{"A", inl("x")}}},
      // A vertical tab is white space but does not open a comment.
      {"A=x\v#y", {{"A", inl("x\v#y")}}},
      // After a non-ASCII character "#" is ordinary text; a later one still counts.
      {"A=\xc3\xa9#x #y", {{"A", inl("\xc3\xa9#x")}}},
      {"A=", {{"A", inl("")}}},
      {"A=   ", {{"A", inl("")}}},
      {"  A  =  1  ", {{"A", inl("1")}}},
      {"A=b=c", {{"A", inl("b=c")}}},
      {"_a1=x", {{"_a1", inl("x")}}},
      {"A=1\na=2", {{"A", inl("1")}, {"a", inl("2")}}},
      {"B=2\nA=1\nC=3", {{"B", inl("2")}, {"A", inl("1")}, {"C", inl("3")}}},
      {"A=1\r\nB=2\r\n", {{"A", inl("1")}, {"B", inl("2")}}},
      // No line feed: one line, the carriage return stays in the value.
      {"A=1\rB=2", {{"A", inl("1\rB=2")}}},
      {"A=x\r\r\n", {{"A", inl("x")}}},
      {"A=a|b", {{"A", inl("a|b")}}},
      {"A=aws-sm://eu-west-1/db", {{"A", inl("aws-sm://eu-west-1/db")}}},
      {"A=$x{y}", {{"A", inl("$x{y}")}}},
  });
}

TEST(EnvRefsParse, ProjectLine) {
  expect_parses({
      {"project=demo", {}, "demo"},
      {"project = demo", {}, "demo"},
      {"A=1\nproject = demo\nB=2", {{"A", inl("1")}, {"B", inl("2")}}, "demo"},
      // The name is taken as written, whatever it holds.
      {"project = my app=x|${y}", {}, "my app=x|${y}"},
      // Only the exact lower-case word is the project line.
      {"Project=x\nPROJECT=y", {{"Project", inl("x")}, {"PROJECT", inl("y")}}},
  });
}

TEST(EnvRefsParse, SourceForms) {
  expect_parses({
      {"A=secret:dev/app/db", {{"A", sec("secret:dev/app/db")}}},
      {"A=secret:dev/app/db|fallback", {{"A", sec("secret:dev/app/db", "fallback")}}},
      {"A=secret: dev/app/db | fb", {{"A", sec("secret:dev/app/db", "fb")}}},
      {"A=secret:  dev/app/db", {{"A", sec("secret:dev/app/db")}}},
      {"A=secret:dev/app/db|", {{"A", sec("secret:dev/app/db", "")}}},
      {"A=secret:dev/app/db|a|b", {{"A", sec("secret:dev/app/db", "a|b")}}},
      {"A=secret:${ENV}/app/db", {{"A", sec("secret:${ENV}/app/db")}}},
      // Other "${" in the coordinate is left to the coordinate grammar.
      {"A=secret:dev/${x}/db", {{"A", sec("secret:dev/${x}/db")}}},
      {"A=secret:", {{"A", sec("secret:")}}},
      {"A=secret:|x", {{"A", sec("secret:", "x")}}},
      {"A=Secret:dev/app/db", {{"A", inl("Secret:dev/app/db")}}},
      {"A=secret:dev/app/db #private", {{"A", sec("secret:dev/app/db")}}},
      {"A=secret:dev/app/db#private", {{"A", sec("secret:dev/app/db#private")}}},
      {"A=secret://global/dev/app/db#public|x", {{"A", sec("secret://global/dev/app/db#public", "x")}}},
      {"A=${env:HOME}", {{"A", env("HOME")}}},
      {"A=${env: HOME | /tmp }", {{"A", env("HOME", "/tmp")}}},
      {"A=${env:HOME|}", {{"A", env("HOME", "")}}},
      {"A=${env:HOME|a|b}", {{"A", env("HOME", "a|b")}}},
      {"A=${env:HOME|x}}", {{"A", env("HOME", "x}")}}},
      {"A=${env:HOME|x#y}", {{"A", env("HOME", "x#y")}}},
  });
}

// Every Unicode White_Space character, and characters that look like space
// (or are byte-order marks and joiners) but are not White_Space.
constexpr const char* kWhiteSpace[] = {
    "\t", "\n", "\v", "\f", "\r", " ", "\xc2\x85", "\xc2\xa0", "\xe1\x9a\x80",
    "\xe2\x80\x80", "\xe2\x80\x81", "\xe2\x80\x82", "\xe2\x80\x83", "\xe2\x80\x84", "\xe2\x80\x85",
    "\xe2\x80\x86", "\xe2\x80\x87", "\xe2\x80\x88", "\xe2\x80\x89", "\xe2\x80\x8a",
    "\xe2\x80\xa8", "\xe2\x80\xa9", "\xe2\x80\xaf", "\xe2\x81\x9f", "\xe3\x80\x80",
};
constexpr const char* kNotWhiteSpace[] = {
    "\xef\xbb\xbf",  // U+FEFF byte-order mark
    "\xe2\x80\x8b",  // U+200B zero width space
    "\xe1\xa0\x8e",  // U+180E Mongolian vowel separator
    "\xe2\x81\xa0",  // U+2060 word joiner
    "\xe2\x80\x8c",  // U+200C zero width non-joiner
    "\xc2\xad",      // U+00AD soft hyphen
    "\x1c",          // file separator: a control, not White_Space
};

TEST(EnvRefsParse, TrimsExactlyTheWhiteSpaceSet) {
  for (const char* ws : kWhiteSpace) {
    std::string s(ws);
    // A line feed splits the line, so it can only surround the whole line.
    std::string inner = s == "\n" ? " " : s;
    std::string text = s + inner + "A" + inner + "=" + inner + "secret:" + inner + "dev/app/db" + inner + "|" +
                       inner + "fb" + inner + s;
    expect_parses({{text, {{"A", sec("secret:dev/app/db", "fb")}}}});
    expect_parses({{"B=" + inner + "${env:" + inner + "X" + inner + "}" + inner, {{"B", env("X")}}}});
    expect_parses({{"project=" + inner + "p" + inner, {}, "p"}});
  }
  for (const char* c : kNotWhiteSpace) {
    std::string s(c);
    expect_parses({{"A= " + s + "v" + s + " ", {{"A", inl(s + "v" + s)}}}});
    expect_parses({{"A=secret:" + s + "dev/app/db|" + s, {{"A", sec("secret:" + s + "dev/app/db", s)}}}});
  }
}

TEST(EnvRefsParse, BytesThatAreNotUtf8AreKeptAsWritten) {
  expect_parses({
      // Latin-1 no-break space and next line, as lone bytes.
      {"A=\xa0v\xa0", {{"A", inl("\xa0v\xa0")}}},
      {"A=\x85v\x85", {{"A", inl("\x85v\x85")}}},
      // Overlong forms of space and of U+3000.
      {"A=\xc0\xa0v\xe0\x80\xa0", {{"A", inl("\xc0\xa0v\xe0\x80\xa0")}}},
      // A truncated U+2000 at the end, and a lead byte before a real space.
      {"A=\xc2 v \xe2\x80", {{"A", inl("\xc2 v \xe2\x80")}}},
      // A stray byte does not stop the well-formed space after it from going.
      {"A=v\xff\xc2\xa0", {{"A", inl("v\xff")}}},
      {"A=\xc2\xa0\xfe", {{"A", inl("\xfe")}}},
  });
}

struct Bad {
  std::string input;
  std::string detail;
};

constexpr std::string_view kInterp =
    "cross-variable interpolation is not allowed (only `${ENV}` in a URI path and `${env:NAME}` are valid)";
constexpr std::string_view kNoEq = "expected `NAME=<source>` or `project = <name>`";
constexpr std::string_view kBadName = "variable name is not a valid identifier";
constexpr std::string_view kBadEnv = "`${env:\xe2\x80\xa6}` requires a valid variable name";

std::string at(int line, std::string_view msg) { return "line " + std::to_string(line) + ": " + std::string(msg); }

TEST(EnvRefsParse, Refusals) {
  const Bad cases[] = {
      {"A", at(1, kNoEq)},
      {"project", at(1, kNoEq)},
      {"A # = 1", at(1, kNoEq)},
      {"=x", at(1, kBadName)},
      {"1A=x", at(1, kBadName)},
      {"A-B=x", at(1, kBadName)},
      {"A B=x", at(1, kBadName)},
      {"\xc3\x89=x", at(1, kBadName)},
      {"\xef\xbb\xbf" "A=1", at(1, kBadName)},
      {"\xef\xbb\xbf", at(1, kNoEq)},
      {"A\xe2\x80\x8b=1", at(1, kBadName)},
      {"project =", at(1, "`project =` requires a name")},
      {"project = # none", at(1, "`project =` requires a name")},
      {"project=a\nproject=b", at(2, "duplicate `project =` line")},
      {"project=a\nproject=a", at(2, "duplicate `project =` line")},
      // The duplicate is reported before the empty name.
      {"project=a\nproject =", at(2, "duplicate `project =` line")},
      {"A=1\nA=2", at(2, "duplicate variable name")},
      // The name is checked before the source.
      {"A=1\nA=${x}", at(2, "duplicate variable name")},
      {"A=${env:}", at(1, kBadEnv)},
      {"A=${env:1X}", at(1, kBadEnv)},
      {"A=${env:A B}", at(1, kBadEnv)},
      {"A=${env:|x}", at(1, kBadEnv)},
      {"A=${env:\xc3\x89}", at(1, kBadEnv)},
      // The name is checked before the fallback.
      {"A=${env:1X|${y}}", at(1, kBadEnv)},
      {"A=${env:HOME|${x}}", at(1, kInterp)},
      {"A=secret:dev/app/db|${env:X}", at(1, kInterp)},
      {"A=secret:dev/app/db|a${b", at(1, kInterp)},
      {"A=${env:HOME", at(1, kInterp)},
      {"A=${ENV}", at(1, kInterp)},
      {"A=pre${X}post", at(1, kInterp)},
      {"A=a|${b}", at(1, kInterp)},
      // Line numbers count blank, comment and CRLF lines.
      {"# c\n\nA", at(3, kNoEq)},
      {"A=1\r\n\r\n# c\r\nB", at(4, kNoEq)},
      {"A=1\nproject=x\nA=2", at(3, "duplicate variable name")},
  };
  for (const auto& c : cases) {
    auto r = EnvRefs::parse(c.input);
    ASSERT_FALSE(r.has_value()) << testing::PrintToString(c.input) << " parsed as " << describe(*r);
    EXPECT_EQ(r.error().kind(), CoreErrorKind::EnvRefsFailure) << testing::PrintToString(c.input);
    EXPECT_EQ(r.error().detail(), c.detail) << testing::PrintToString(c.input);
  }
}

TEST(EnvRefsParse, ErrorTextForm) {
  auto r = EnvRefs::parse("A=1\n\nB=${X}");
  ASSERT_FALSE(r.has_value());
  EXPECT_EQ(r.error().to_string(), "env-refs error: line 3: " + std::string(kInterp));
}

TEST(EnvRefsHelpers, IsIdentifier) {
  for (const char* yes : {"A", "_", "a_1", "_9", "ABC_def_123"}) EXPECT_TRUE(envrefs::is_identifier(yes)) << yes;
  for (const char* no : {"", "1", "1A", "A-B", "A B", "A.B", "\xc3\xa9", "A\xc3\xa9", "A$"}) {
    EXPECT_FALSE(envrefs::is_identifier(no)) << no;
  }
}

TEST(EnvRefsHelpers, SplitFallback) {
  struct Case {
    std::string_view in;
    std::string_view primary;
    std::optional<std::string> fallback;
  };
  const Case cases[] = {
      {" x ", "x", std::nullopt},
      {"", "", std::nullopt},
      {"|", "", ""},
      {" a | ", "a", ""},
      {"a| b |c ", "a", "b |c"},
      {"\xe3\x80\x80" "a\xe3\x80\x80|\xc2\xa0" "b\xc2\xa0", "a", "b"},
  };
  for (const auto& c : cases) {
    auto [primary, fallback] = envrefs::split_fallback(c.in);
    EXPECT_EQ(primary, c.primary) << c.in;
    EXPECT_EQ(fallback, c.fallback) << c.in;
  }
}

TEST(EnvRefsHelpers, RejectInterpolationNamesTheLine) {
  EXPECT_TRUE(envrefs::reject_interpolation("$ {x} $x {", 7).has_value());
  auto r = envrefs::reject_interpolation("x${", 42);
  ASSERT_FALSE(r.has_value());
  EXPECT_EQ(r.error().kind(), CoreErrorKind::EnvRefsFailure);
  EXPECT_EQ(r.error().detail(), at(42, kInterp));
}

}  // namespace
}  // namespace zantu::core
