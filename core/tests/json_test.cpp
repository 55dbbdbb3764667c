#include "zantu/core/json.hpp"

#include <gtest/gtest.h>

#include <string>

namespace zantu::core::json {
namespace {

// Checks the whole value under a fresh reader, then the end of the text.
Status check(std::string_view text) {
  Reader r(text);
  if (auto s = r.skip_value(); !s) return s;
  return r.finish();
}

std::string nested(std::size_t levels, char open, char close) {
  return std::string(levels, open) + std::string(levels, close);
}

TEST(JsonReader, SyntaxRefusalsCarryTheirPosition) {
  struct Case {
    std::string text;
    const char* message;
  };
  const Case cases[] = {
      {"", "EOF while parsing a value at line 1 column 0"},
      {"   ", "EOF while parsing a value at line 1 column 3"},
      {"{", "EOF while parsing an object at line 1 column 1"},
      {"[1", "EOF while parsing a list at line 1 column 2"},
      {"[1,", "EOF while parsing a value at line 1 column 3"},
      {"\"abc", "EOF while parsing a string at line 1 column 4"},
      {"x", "expected value at line 1 column 1"},
      {"[1,]", "trailing comma at line 1 column 4"},
      {"{\"a\":1,}", "trailing comma at line 1 column 8"},
      {"[1 2]", "expected `,` or `]` at line 1 column 4"},
      {"{\"a\":1 \"b\":2}", "expected `,` or `}` at line 1 column 8"},
      {"{\"a\" 1}", "expected `:` at line 1 column 6"},
      {"{1:2}", "key must be a string at line 1 column 2"},
      {"tru", "EOF while parsing a value at line 1 column 3"},
      {"nul1", "expected ident at line 1 column 4"},
      {"\"\\x\"", "invalid escape at line 1 column 3"},
      {"\"\\u12g4\"", "invalid escape at line 1 column 6"},
      {"\"a\tb\"", "control character (\\u0000-\\u001F) found while parsing a string at line 1 column 3"},
      {"\"\xff\"", "invalid unicode code point at line 1 column 2"},
      {"\"\xc0\xaf\"", "invalid unicode code point at line 1 column 2"},        // overlong "/"
      {"\"\xed\xa0\x80\"", "invalid unicode code point at line 1 column 2"},    // UTF-8 surrogate
      {"\"\\ud800\"", "lone leading surrogate in hex escape at line 1 column 7"},
      {"\"\\ud800\\u0041\"", "invalid unicode code point at line 1 column 13"},
      {"\"\\udc00\"", "invalid unicode code point at line 1 column 7"},
      {"01", "invalid number at line 1 column 2"},
      {"-x", "invalid number at line 1 column 2"},
      {"1.", "EOF while parsing a value at line 1 column 2"},
      {"1.e5", "invalid number at line 1 column 3"},
      {"1e+", "EOF while parsing a value at line 1 column 3"},
      {"1e400", "number out of range at line 1 column 5"},
      {"[1] x", "trailing characters at line 1 column 5"},
      {"{\n  \"a\": [\n    1,\n    ?\n  ]\n}", "expected value at line 4 column 5"},
  };
  for (const auto& c : cases) {
    auto s = check(c.text);
    ASSERT_FALSE(s.has_value()) << c.text;
    EXPECT_EQ(s.error().kind(), CoreErrorKind::Serialization);
    EXPECT_EQ(s.error().detail(), c.message) << c.text;
  }
}

TEST(JsonReader, DepthLimitCountsTheOutermostLevel) {
  for (auto [open, close] : {std::pair{'[', ']'}, std::pair{'{', '}'}}) {
    std::string ok, too_deep;
    if (open == '[') {
      ok = nested(127, '[', ']');
      too_deep = nested(128, '[', ']');
    } else {
      // {"a":{"a":...{}...}}
      for (int i = 0; i < 126; ++i) ok += "{\"a\":";
      ok += "{}" + std::string(126, '}');
      too_deep = "[" + ok + "]";
    }
    EXPECT_TRUE(check(ok).has_value()) << open;
    auto s = check(too_deep);
    ASSERT_FALSE(s.has_value()) << open;
    EXPECT_TRUE(s.error().detail().starts_with("recursion limit exceeded at line 1 column ")) << s.error().detail();
  }
  EXPECT_EQ(check(nested(128, '[', ']')).error().detail(), "recursion limit exceeded at line 1 column 128");
}

TEST(JsonReader, NumbersKeepIntegersApartFromFractions) {
  struct Case {
    const char* text;
    Number::Type type;
    const char* described;
  };
  const Case cases[] = {
      {"0", Number::Type::Unsigned, "integer `0`"},
      {"255", Number::Type::Unsigned, "integer `255`"},
      {"18446744073709551615", Number::Type::Unsigned, "integer `18446744073709551615`"},
      {"18446744073709551616", Number::Type::Float, "floating point `18446744073709551616.0`"},
      {"-1", Number::Type::Signed, "integer `-1`"},
      {"-9223372036854775808", Number::Type::Signed, "integer `-9223372036854775808`"},
      {"-9223372036854775809", Number::Type::Float, "floating point `-9223372036854775808.0`"},
      {"-0", Number::Type::Float, "floating point `-0.0`"},
      {"6.0", Number::Type::Float, "floating point `6.0`"},
      {"6e0", Number::Type::Float, "floating point `6.0`"},
      {"6.5", Number::Type::Float, "floating point `6.5`"},
      {"1E2", Number::Type::Float, "floating point `100.0`"},
      {"1e20", Number::Type::Float, "floating point `100000000000000000000.0`"},
      {"0.1", Number::Type::Float, "floating point `0.1`"},
      {"1e-400", Number::Type::Float, "floating point `0.0`"},
      {"-0.0000e-9999", Number::Type::Float, "floating point `-0.0`"},
  };
  for (const auto& c : cases) {
    Reader r(std::string_view(c.text));
    auto n = r.read_number();
    ASSERT_TRUE(n.has_value()) << c.text << ": " << n.error().detail();
    EXPECT_EQ(n->type, c.type) << c.text;
    EXPECT_EQ(describe(*n), c.described) << c.text;
    EXPECT_TRUE(r.finish().has_value()) << c.text;
  }
}

TEST(JsonReader, StringsAreUnescapedToUtf8) {
  struct Case {
    const char* text;
    std::string want;
  };
  const Case cases[] = {
      {R"("plain")", "plain"},
      {R"("\"\\\/\b\f\n\r\t")", "\"\\/\b\f\n\r\t"},
      {R"("\u0000\u001f\u00e9\u20ac")", std::string("\0\x1f\xc3\xa9\xe2\x82\xac", 7)},
      {R"("\ud83d\ude00")", "\xf0\x9f\x98\x80"},
      {"\"caf\xc3\xa9 \xf0\x9f\x98\x80\"", "caf\xc3\xa9 \xf0\x9f\x98\x80"},
      {R"("")", ""},
  };
  for (const auto& c : cases) {
    Reader r(std::string_view(c.text));
    auto s = r.read_string();
    ASSERT_TRUE(s.has_value()) << c.text << ": " << s.error().detail();
    EXPECT_EQ(*s, c.want) << c.text;
  }
}

// Decoding into a SecretBuffer gives what decoding into a std::string gives:
// the same bytes, the same error and the same reader position afterwards.
// A buffer that held something is replaced on success and left wiped on
// failure, even when the failure comes after part of the text was decoded.
TEST(JsonReader, StringsDecodeIntoASecretBufferAsIntoAString) {
  const char* const texts[] = {
      R"("plain")",
      R"("\"\\\/\b\f\n\r\t")",
      R"("\u0000\u001f\u00e9\u20ac")",
      R"("\ud83d\ude00\uD83D\uDE00")",
      "\"caf\xc3\xa9 \xf0\x9f\x98\x80\"",
      R"("")",
      R"(  "v"  , 1)",
      "\"hunter2\\n\xc3\xa9\\r\\n\" ",
      // Each refused after some of the text has gone into the buffer.
      R"("hunter2)",
      "\"hunter2\x01\"",
      "\"hunter2\xff\"",
      "\"hunter2\xe2\x82\"",
      R"("hunter2\ud800")",
      R"("hunter2\ud800\u0041")",
      R"("hunter2\udc00")",
      R"("hunter2\x")",
      R"("hunter2\u12)",
      R"("hunter2\)",
      // Not a string at all.
      "",
      "null",
      "[\"hunter2\"]",
      "hunter2",
  };
  for (const char* text : texts) {
    Reader plain{std::string_view(text)};
    auto want = plain.read_string();
    Reader secret{std::string_view(text)};
    SecretBuffer out(std::string_view("stale contents"));
    auto got = secret.read_string(out);
    ASSERT_EQ(got.has_value(), want.has_value()) << text;
    EXPECT_EQ(secret.offset(), plain.offset()) << text;
    if (want) {
      EXPECT_EQ(out.view(), *want) << text;
      continue;
    }
    EXPECT_EQ(got.error(), want.error()) << text;
    EXPECT_EQ(got.error().detail().find("hunter2"), std::string::npos) << text;
    EXPECT_TRUE(out.empty()) << text;
    for (std::size_t i = 0; i < out.capacity(); ++i) ASSERT_EQ(out.data()[i], 0) << text << " at " << i;
  }
}

TEST(JsonReader, ContainersAndKeys) {
  Reader r(std::string_view(R"( { "a" : [ 1 , true , null ] , "b\u0063" : {} } )"));
  ASSERT_TRUE(r.begin_object().has_value());
  std::string key;
  ASSERT_TRUE(r.next_key(key).value());
  EXPECT_EQ(key, "a");
  ASSERT_TRUE(r.begin_array().has_value());
  ASSERT_TRUE(r.next_element().value());
  EXPECT_EQ(r.read_number()->u, 1u);
  ASSERT_TRUE(r.next_element().value());
  EXPECT_TRUE(r.read_bool().value());
  ASSERT_TRUE(r.next_element().value());
  EXPECT_TRUE(r.read_null().has_value());
  EXPECT_FALSE(r.next_element().value());
  ASSERT_TRUE(r.next_key(key).value());
  EXPECT_EQ(key, "bc");
  EXPECT_TRUE(r.skip_value().has_value());
  EXPECT_FALSE(r.next_key(key).value());
  EXPECT_TRUE(r.finish().has_value());
}

TEST(JsonReader, ByteArraysAndTheirRefusals) {
  SecretBuffer hi;
  Reader ok(std::string_view(" [104, 105] "));
  ASSERT_TRUE(expect_bytes(ok, hi).has_value());
  EXPECT_EQ(hi.view(), "hi");

  struct Case {
    const char* text;
    const char* message;  // from the SecretBuffer form
  };
  const Case cases[] = {
      {"[256]", "invalid value: integer `256`, expected u8 at line 1 column 4"},
      {"[-1]", "invalid value: integer `-1`, expected u8 at line 1 column 3"},
      {"[1.5]", "invalid type: floating point `1.5`, expected u8 at line 1 column 4"},
      {"[{}]", "invalid type: map, expected u8 at line 1 column 1"},
      {"[[]]", "invalid type: sequence, expected u8 at line 1 column 1"},
      {"{}", "invalid type: map, expected a sequence at line 1 column 0"},
      {"null", "invalid type: null, expected a sequence at line 1 column 4"},
      // A misplaced secret never reaches the message.
      {"\"hunter2\"", "invalid type: string, expected a sequence at line 1 column 9"},
      {"[1,\"hunter2\"]", "invalid type: string, expected u8 at line 1 column 12"},
  };
  for (const auto& c : cases) {
    SecretBuffer out;
    Reader r{std::string_view(c.text)};
    auto s = expect_bytes(r, out);
    ASSERT_FALSE(s.has_value()) << c.text;
    EXPECT_EQ(s.error().detail(), c.message) << c.text;
  }
  // Plain byte vectors name the string found.
  std::vector<std::uint8_t> plain;
  Reader r(std::string_view("[\"x\"]"));
  EXPECT_EQ(expect_bytes(r, plain).error().detail(), "invalid type: string \"x\", expected u8 at line 1 column 4");
}

TEST(JsonReader, TypeErrorsWithoutPositions) {
  struct Case {
    const char* text;
    const char* message;
  };
  const Case cases[] = {
      {"true", "invalid type: boolean `true`, expected a string"},
      {"\"a\\\"b\\n\"", "invalid type: string \"a\\\"b\\n\", expected a boolean"},
      {"5", "invalid type: integer `5`, expected a string"},
      {"[]", "invalid type: sequence, expected a string"},
  };
  for (const auto& c : cases) {
    Reader r(std::string_view(c.text), false);
    auto k = r.peek();
    ASSERT_TRUE(k.has_value());
    CoreError e = *k == Kind::String ? expect_bool(r).error() : expect_string(r).error();
    EXPECT_EQ(e.detail(), c.message) << c.text;
  }
}

TEST(JsonWriter, EscapesAsSpecified) {
  struct Case {
    std::string in;
    const char* out;
  };
  const Case cases[] = {
      {"plain / text \x7f", "\"plain / text \x7f\""},
      {"\"\\", R"("\"\\")"},
      {"\b\t\n\f\r", R"("\b\t\n\f\r")"},
      {std::string("\0\x01\x0b\x1f", 4), R"("\u0000\u0001\u000b\u001f")"},
      {"caf\xc3\xa9 \xf0\x9f\x98\x80", "\"caf\xc3\xa9 \xf0\x9f\x98\x80\""},
      {"a\xffz", "\"a\xef\xbf\xbdz\""},  // not UTF-8: replaced, so the output always reads back
  };
  for (const auto& c : cases) {
    std::string out;
    Writer(out).string(c.in);
    EXPECT_EQ(out, c.out);
  }
}

TEST(JsonWriter, CompactStructureWithoutWhiteSpace) {
  auto build = [](Writer& w) {
    w.begin_object()
        .key("s").string("x")
        .key("u").uint(18446744073709551615ULL)
        .key("i").int_(-5)
        .key("t").boolean(true)
        .key("f").boolean(false)
        .key("n").null()
        .key("b").bytes(std::vector<std::uint8_t>{0, 9, 10, 99, 100, 255})
        .key("e").bytes({})
        .key("a").begin_array().uint(1).begin_object().end_object().begin_array().end_array().string("z").end_array()
        .key("o").begin_object().key("k").null().end_object()
        .end_object();
  };
  std::string text;
  Writer tw(text);
  build(tw);
  EXPECT_EQ(text,
            R"({"s":"x","u":18446744073709551615,"i":-5,"t":true,"f":false,"n":null,)"
            R"("b":[0,9,10,99,100,255],"e":[],"a":[1,{},[],"z"],"o":{"k":null}})");
  SecretBuffer secret;
  Writer sw(secret);
  build(sw);
  EXPECT_EQ(secret.view(), text);
  EXPECT_TRUE(check(text).has_value());
}

TEST(JsonWriter, EveryAsciiAndSomeUnicodeReadBack) {
  std::string all;
  for (int c = 0; c < 0x80; ++c) all.push_back(static_cast<char>(c));
  all += "\xc3\xa9\xe2\x82\xac\xf0\x9f\x98\x80";
  std::string text;
  Writer(text).string(all);
  Reader r(text);
  EXPECT_EQ(r.read_string().value(), all);
  EXPECT_TRUE(r.finish().has_value());
}

}  // namespace
}  // namespace zantu::core::json
