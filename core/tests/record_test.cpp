#include "zantu/core/record.hpp"

#include <gtest/gtest.h>

#include <string>

namespace zantu::core {
namespace {

constexpr const char* kT1 = "2026-01-02T03:04:05Z";
constexpr const char* kT2 = "2026-01-05T10:00:00Z";

RecordMeta meta(Sensitivity s, std::optional<std::string> description = std::nullopt) {
  return RecordMeta{s, false, "dev", "app", "db", std::move(description), kT1, kT2};
}

std::string write(const SecretRecord& r) {
  SecretBuffer out;
  r.serialize(out);
  return std::string(out.view());
}

SecretRecord read_ok(std::string_view text) {
  auto r = SecretRecord::deserialize(text);
  EXPECT_TRUE(r.has_value()) << text << "\n  -> " << (r ? "" : r.error().detail());
  if (!r) return SecretRecord::Reference{};
  return std::move(*r);
}

std::string refusal(std::string_view text) {
  auto r = SecretRecord::deserialize(text);
  if (r) return "<accepted>";
  EXPECT_EQ(r.error().kind(), CoreErrorKind::Serialization);
  return r.error().detail();
}

// A literal record's text with `fields` spliced in after "mode".
std::string literal_with(std::string_view fields) {
  return std::string(R"({"mode":"literal",)") + std::string(fields) + "}";
}

constexpr const char* kLiteralCommon =
    R"("sensitivity":"low","environment":"dev","component":"app","key":"db","created":"t","updated":"t")";

std::string totp_with(std::string_view fields) {
  return std::string(R"({"mode":"totp","seed":[1],"period":30,)") + kLiteralCommon + "," + std::string(fields) +
         "}";
}

TEST(RecordWriter, ExactTextOfEveryMode) {
  struct Case {
    SecretRecord record;
    const char* text;
  };
  Case cases[] = {
      {SecretRecord::Literal{SecretValue::from(std::string_view("hi")), meta(Sensitivity::Medium)},
       R"({"mode":"literal","value":[104,105],"sensitivity":"medium","revealable":false,"environment":"dev",)"
       R"("component":"app","key":"db","created":"2026-01-02T03:04:05Z","updated":"2026-01-05T10:00:00Z"})"},
      {SecretRecord::Literal{SecretValue::from(std::string_view("\xff\x00", 2)), meta(Sensitivity::Low, "")},
       R"({"mode":"literal","value":[255,0],"sensitivity":"low","revealable":false,"environment":"dev",)"
       R"("component":"app","key":"db","description":"","created":"2026-01-02T03:04:05Z","updated":"2026-01-05T10:00:00Z"})"},
      {SecretRecord::Reference{"aws-sm://eu-west-1/app-db",
                               RecordMeta{Sensitivity::High, false, "prod", "app", "db", "main database", kT1, kT2}},
       R"({"mode":"reference","ref":"aws-sm://eu-west-1/app-db","sensitivity":"high","revealable":false,)"
       R"("environment":"prod","component":"app","key":"db","description":"main database",)"
       R"("created":"2026-01-02T03:04:05Z","updated":"2026-01-05T10:00:00Z"})"},
      {SecretRecord::Keypair{KeyAlgorithm::Ed25519, std::nullopt, "ssh-ed25519 AAAA", meta(Sensitivity::High)},
       R"({"mode":"keypair","algorithm":"ed25519","public":"ssh-ed25519 AAAA","sensitivity":"high",)"
       R"("revealable":false,"environment":"dev","component":"app","key":"db",)"
       R"("created":"2026-01-02T03:04:05Z","updated":"2026-01-05T10:00:00Z"})"},
      {SecretRecord::Keypair{KeyAlgorithm::Rsa, SecretValue{}, "pub", meta(Sensitivity::InjectOnly)},
       R"({"mode":"keypair","algorithm":"rsa","private":[],"public":"pub","sensitivity":"inject-only",)"
       R"("revealable":false,"environment":"dev","component":"app","key":"db",)"
       R"("created":"2026-01-02T03:04:05Z","updated":"2026-01-05T10:00:00Z"})"},
      {SecretRecord::Totp{SecretValue::from(std::string_view("k")), TotpAlgorithm::Sha512, 255, 0,
                          RecordMeta{Sensitivity::Low, true, "dev", "a\"b", "c\\d\n", "\x01", kT1, kT2}},
       R"({"mode":"totp","seed":[107],"algorithm":"sha512","digits":255,"period":0,"sensitivity":"low",)"
       R"("revealable":true,"environment":"dev","component":"a\"b","key":"c\\d\n","description":"\u0001",)"
       R"("created":"2026-01-02T03:04:05Z","updated":"2026-01-05T10:00:00Z"})"},
  };
  for (auto& c : cases) {
    const std::string text = write(c.record);
    EXPECT_EQ(text, c.text);
    // Every written record reads back equal and writes back the same text.
    SecretRecord back = read_ok(text);
    EXPECT_TRUE(back == c.record) << text;
    EXPECT_EQ(write(back), text);
  }
}

TEST(RecordReader, LenientFormsWriteBackCanonical) {
  struct Case {
    const char* in;
    const char* out;
  };
  const Case cases[] = {
      // "mode" last, white space, unknown keys (and another mode's keys) ignored.
      {" {\n \"value\" : [ 1 ] ,\"seed\":[9], \"extra\":{\"x\":[null]}, \"updated\":\"u\",\"created\":\"c\",\n"
       " \"key\":\"k\",\"component\":\"c\",\"environment\":\"e\",\"sensitivity\":\"high\",\"mode\":\"literal\"}\r\n",
       R"({"mode":"literal","value":[1],"sensitivity":"high","revealable":false,"environment":"e","component":"c",)"
       R"("key":"k","created":"c","updated":"u"})"},
      // A null description is absent; an escaped key is matched after unescaping.
      {R"({"mode":"reference","ref":"r","description":null,"sens\u0069tivity":{"high":null},"revealable":true,)"
       R"("environment":"e","component":"c","key":"k","created":"c","updated":"u"})",
       R"({"mode":"reference","ref":"r","sensitivity":"high","revealable":true,"environment":"e","component":"c",)"
       R"("key":"k","created":"c","updated":"u"})"},
      // TOTP without "algorithm" is sha1; a null private key is absent.
      {R"({"mode":"totp","seed":[],"digits":6,"period":30,"sensitivity":{"medium":{}},"environment":"e",)"
       R"("component":"c","key":"k","created":"c","updated":"u"})",
       R"({"mode":"totp","seed":[],"algorithm":"sha1","digits":6,"period":30,"sensitivity":"medium",)"
       R"("revealable":false,"environment":"e","component":"c","key":"k","created":"c","updated":"u"})"},
      {R"({"mode":"keypair","algorithm":{"rsa":null},"private":null,"public":"p","sensitivity":"low",)"
       R"("environment":"e","component":"c","key":"k","created":"c","updated":"u"})",
       R"({"mode":"keypair","algorithm":"rsa","public":"p","sensitivity":"low","revealable":false,)"
       R"("environment":"e","component":"c","key":"k","created":"c","updated":"u"})"},
      // The array form, null standing for an absent description.
      {R"(["literal",[],"medium",false,"dev","app","db",null,"2026-01-02T03:04:05Z","2026-01-02T03:04:05Z"])",
       R"({"mode":"literal","value":[],"sensitivity":"medium","revealable":false,"environment":"dev",)"
       R"("component":"app","key":"db","created":"2026-01-02T03:04:05Z","updated":"2026-01-02T03:04:05Z"})"},
      {R"(["totp",[7],"sha256",8,60,"high",true,"e","c","k","d","c","u"])",
       R"({"mode":"totp","seed":[7],"algorithm":"sha256","digits":8,"period":60,"sensitivity":"high",)"
       R"("revealable":true,"environment":"e","component":"c","key":"k","description":"d","created":"c","updated":"u"})"},
      {R"(["keypair","ed25519",[1,2],"p","low",false,"e","c","k",null,"c","u"])",
       R"({"mode":"keypair","algorithm":"ed25519","private":[1,2],"public":"p","sensitivity":"low",)"
       R"("revealable":false,"environment":"e","component":"c","key":"k","created":"c","updated":"u"})"},
  };
  for (const auto& c : cases) EXPECT_EQ(write(read_ok(c.in)), c.out) << c.in;
}

TEST(RecordReader, StageOneRefusalsCarryPositions) {
  struct Case {
    std::string in;
    const char* message;
  };
  const Case cases[] = {
      {"null", "invalid type: null, expected internally tagged enum SecretRecord at line 1 column 4"},
      {"true", "invalid type: boolean `true`, expected internally tagged enum SecretRecord at line 1 column 4"},
      {" 5", "invalid type: integer `5`, expected internally tagged enum SecretRecord at line 1 column 2"},
      {"\"literal\"", "invalid type: string \"literal\", expected internally tagged enum SecretRecord at line 1 column 9"},
      {R"({"mode":"Literal"})",
       "unknown variant `Literal`, expected one of `literal`, `reference`, `keypair`, `totp` at line 1 column 17"},
      {R"({"mode":"literal "})",
       "unknown variant `literal `, expected one of `literal`, `reference`, `keypair`, `totp` at line 1 column 18"},
      {R"({"x":1,"mode":"totp2"})",
       "unknown variant `totp2`, expected one of `literal`, `reference`, `keypair`, `totp` at line 1 column 21"},
      {R"({"mode":1})", "invalid type: integer `1`, expected variant identifier at line 1 column 9"},
      {R"({"mode":"literal","mode":"literal"})", "duplicate field `mode` at line 1 column 25"},
      {R"({"value":[]})", "missing field `mode` at line 1 column 12"},
      {"[]", "missing field `mode` at line 1 column 2"},
      {"[null]", "invalid type: null, expected variant identifier at line 1 column 5"},
      // Syntax anywhere in the outer value comes before any field error.
      {R"({"mode":"literal","value":"x","sensitivity":"low",})", "trailing comma at line 1 column 51"},
      {R"({"mode":"literal","value":[256],"a":[1 2]})", "expected `,` or `]` at line 1 column 40"},
      {R"({"value":[256],"mode":"Literal"})",
       "unknown variant `Literal`, expected one of `literal`, `reference`, `keypair`, `totp` at line 1 column 31"},
      {R"(["literal",)" + std::string(127, '[') + std::string(128, ']'), "recursion limit exceeded at line 1 column 138"},
      {R"({"mode":"literal","a":)" + std::string(127, '[') + std::string(127, ']') + "}",
       "recursion limit exceeded at line 1 column 149"},
  };
  for (const auto& c : cases) EXPECT_EQ(refusal(c.in), c.message) << c.in;

  // 127 levels, the outer object counting as the first, are accepted.
  std::string deep = literal_with(std::string(kLiteralCommon) + R"(,"value":[],"a":)" + std::string(126, '[') +
                                  std::string(126, ']'));
  EXPECT_TRUE(SecretRecord::deserialize(deep).has_value());
}

TEST(RecordReader, StageTwoRefusalsHaveNoPosition) {
  struct Case {
    std::string in;
    const char* message;
  };
  const std::string common = kLiteralCommon;
  const Case cases[] = {
      {literal_with(R"("value":[],"sensitivity":"low","sensitivity":"low")"), "duplicate field `sensitivity`"},
      {literal_with(R"("value":[],"description":null,"description":"x")"), "duplicate field `description`"},
      {literal_with(R"("value":[],"sensitivity":"low","environment":"e","component":"c","key":"k")"),
       "missing field `created`"},
      {literal_with(R"("environment":"e")"), "missing field `value`"},
      {totp_with(R"("seed2":1)"), "missing field `digits`"},
      {R"({"mode":"keypair","public":"p",)" + common + "}", "missing field `algorithm`"},
      {R"({"mode":"keypair","algorithm":"rsa",)" + common + "}", "missing field `public`"},
      {totp_with(R"("digits":256)"), "invalid value: integer `256`, expected u8"},
      {totp_with(R"("digits":-1)"), "invalid value: integer `-1`, expected u8"},
      {totp_with(R"("digits":6.0)"), "invalid type: floating point `6.0`, expected u8"},
      {totp_with(R"("digits":6e0)"), "invalid type: floating point `6.0`, expected u8"},
      {totp_with(R"("digits":"6")"), "invalid type: string \"6\", expected u8"},
      {totp_with(R"("digits":null)"), "invalid type: null, expected u8"},
      {totp_with(R"("digits":6,"algorithm":"sha-256")"),
       "unknown variant `sha-256`, expected one of `sha1`, `sha256`, `sha512`"},
      {totp_with(R"("digits":6,"algorithm":null)"), "invalid type: null, expected string or map"},
      {R"({"mode":"keypair","algorithm":"RSA","public":"p",)" + common + "}",
       "unknown variant `RSA`, expected `ed25519` or `rsa`"},
      {literal_with(R"("value":[],"revealable":null)"), "invalid type: null, expected a boolean"},
      {literal_with(R"("value":[],"revealable":"true")"), "invalid type: string \"true\", expected a boolean"},
      {literal_with(R"("value":[],"created":null)"), "invalid type: null, expected a string"},
      {literal_with(R"("value":[],"description":5)"), "invalid type: integer `5`, expected a string"},
      {literal_with(R"("value":[],"sensitivity":{})"), "invalid value: map, expected map with a single key"},
      {literal_with(R"("value":[],"sensitivity":{"low":null,"high":null})"),
       "invalid value: map, expected map with a single key"},
      {literal_with(R"("value":[],"sensitivity":{"top":null})"),
       "unknown variant `top`, expected one of `low`, `medium`, `high`, `inject-only`"},
      {literal_with(R"("value":[],"sensitivity":{"high":1})"), "invalid type: integer `1`, expected unit"},
      {literal_with(R"("value":[],"sensitivity":{"high":{"a":1}})"), "invalid type: map, expected unit"},
      {literal_with(R"("value":[],"sensitivity":2)"), "invalid type: integer `2`, expected string or map"},
      {literal_with(R"("value":[],"sensitivity":[])"), "invalid type: sequence, expected string or map"},
      {literal_with(R"("value":[],"sensitivity":"Inject-Only")"),
       "unknown variant `Inject-Only`, expected one of `low`, `medium`, `high`, `inject-only`"},
      {literal_with(R"("value":[104,256])"), "invalid value: integer `256`, expected u8"},
      {literal_with(R"("value":{})"), "invalid type: map, expected a sequence"},
      // A secret written as a string is not echoed into the message.
      {literal_with(R"("value":"hunter2")"), "invalid type: string, expected a sequence"},
      {literal_with(R"("value":[1,"hunter2"])"), "invalid type: string, expected u8"},
      // Array form.
      {R"(["literal",[],"medium"])", "invalid length 3, expected struct variant SecretRecord::Literal with 9 elements"},
      {R"(["totp",[]])", "invalid length 2, expected struct variant SecretRecord::Totp with 12 elements"},
      {R"(["keypair","ed25519"])", "invalid length 2, expected struct variant SecretRecord::Keypair with 11 elements"},
      {R"(["reference"])", "invalid length 0, expected struct variant SecretRecord::Reference with 9 elements"},
      {R"(["literal",[],"low",false,"e","c","k",null,"c","u",1,2])", "invalid length 11, expected 9 elements in sequence"},
      {R"(["literal",[],"low",null,"e","c","k",null,"c","u"])", "invalid type: null, expected a boolean"},
      // A field error comes before the trailing-characters check.
      {literal_with(R"("value":[],"digits":1,"sensitivity":5)") + "x",
       "invalid type: integer `5`, expected string or map"},
  };
  for (const auto& c : cases) EXPECT_EQ(refusal(c.in), c.message) << c.in;
}

TEST(RecordReader, TrailingTextIsRefusedLast) {
  const std::string ok = literal_with(std::string(R"("value":[],)") + kLiteralCommon);
  EXPECT_TRUE(SecretRecord::deserialize(ok + " \n\t\r").has_value());
  EXPECT_EQ(refusal(ok + "x"), "trailing characters at line 1 column 127");
  EXPECT_EQ(refusal(ok + " {}"), "trailing characters at line 1 column 128");
}

TEST(RecordReader, DigitsAndPeriodTakeEveryByteValue) {
  for (int n : {0, 1, 6, 255}) {
    auto text = totp_with(R"("digits":)" + std::to_string(n));
    auto r = read_ok(text);
    auto* t = std::get_if<SecretRecord::Totp>(&r.mode);
    ASSERT_NE(t, nullptr);
    EXPECT_EQ(t->digits, n);
    EXPECT_EQ(t->period, 30);
  }
}

TEST(RecordReader, ValueBytesAndMetaAreRead) {
  auto r = read_ok(literal_with(R"("value":[104,105],"revealable":true,"description":"d\u00e9",)" +
                                std::string(kLiteralCommon)));
  auto* lit = std::get_if<SecretRecord::Literal>(&r.mode);
  ASSERT_NE(lit, nullptr);
  EXPECT_EQ(lit->value.view(), "hi");
  EXPECT_EQ(r.mode_word(), "literal");
  EXPECT_TRUE(r.meta().revealable);
  EXPECT_EQ(r.meta().description, std::optional<std::string>("d\xc3\xa9"));
  EXPECT_EQ(r.meta().sensitivity, Sensitivity::Low);
}

}  // namespace
}  // namespace zantu::core
