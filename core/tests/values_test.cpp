#include <gtest/gtest.h>

#include <string>

#include "zantu/core/error.hpp"
#include "zantu/core/fingerprint.hpp"
#include "zantu/core/secret.hpp"
#include "zantu/core/sensitivity.hpp"

namespace zantu::core {
namespace {

TEST(Fingerprint, KnownAnswersAndPrefixOfDigest) {
  EXPECT_EQ(fingerprint::blake3_hex(std::string_view("dev/app/db")),
            "6243d45b171ef1a06dea7779b4f089db60d68c0f04af693122c06b30c027adeb");
  // BLAKE3 of the empty input.
  EXPECT_EQ(fingerprint::blake3_hex(std::string_view("")),
            "af1349b9f5f9a1a6a0404dea36dcc9499bcb25c9adc112b7cc9a93cae41f3262");
  for (std::string_view text : {"", "dev/app/db", "hunter2", "\xff\x00\x01"}) {
    auto bytes = std::span(reinterpret_cast<const std::uint8_t*>(text.data()), text.size());
    auto fp = fingerprint::fingerprint(bytes);
    EXPECT_EQ(fp.size(), 8u);
    EXPECT_EQ(fp.find_first_not_of("0123456789abcdef"), std::string::npos);
    EXPECT_EQ(fp, fingerprint::blake3_hex(bytes).substr(0, 8));
  }
}

TEST(Sensitivity, WireNamesAreExact) {
  struct Case {
    const char* text;
    std::optional<Sensitivity> want;
  };
  const Case cases[] = {
      {"low", Sensitivity::Low},       {"medium", Sensitivity::Medium}, {"high", Sensitivity::High},
      {"inject-only", Sensitivity::InjectOnly},
      {"Inject-Only", std::nullopt},  {"injectonly", std::nullopt},    {"inject_only", std::nullopt},
      {" low", std::nullopt},         {"", std::nullopt},
  };
  for (const auto& c : cases) EXPECT_EQ(sensitivity::from_wire(c.text), c.want) << c.text;
  EXPECT_LT(Sensitivity::Low, Sensitivity::Medium);
  EXPECT_LT(Sensitivity::High, Sensitivity::InjectOnly);
  EXPECT_EQ(sensitivity::debug_name(Sensitivity::InjectOnly), "InjectOnly");
  EXPECT_EQ(sensitivity::unknown_variant_message("Low"),
            "unknown variant `Low`, expected one of `low`, `medium`, `high`, `inject-only`");
}

TEST(CoreError, TextForms) {
  struct Case {
    CoreErrorKind kind;
    const char* prefix;
  };
  const Case cases[] = {
      {CoreErrorKind::InvalidCoordinate, "invalid coordinate URI: "},
      {CoreErrorKind::Serialization, "record serialization failed: "},
      {CoreErrorKind::Io, "vault I/O failed: "},
      {CoreErrorKind::KeyringFailure, "keyring operation failed: "},
      {CoreErrorKind::MetadataIndex, "metadata index failed: "},
      {CoreErrorKind::NotStorable, "coordinate is not storable: "},
      {CoreErrorKind::Policy, "policy error: "},
      {CoreErrorKind::Audit, "audit error: "},
      {CoreErrorKind::EnvRefsFailure, "env-refs error: "},
      {CoreErrorKind::KeypairFailure, "keypair operation failed: "},
      {CoreErrorKind::TotpFailure, "totp operation failed: "},
      {CoreErrorKind::Provider, "provider error: "},
      {CoreErrorKind::Package, "package error: "},
      {CoreErrorKind::Format, "format error: "},
  };
  for (const auto& c : cases) EXPECT_EQ(CoreError(c.kind, "x").to_string(), std::string(c.prefix) + "x");
  EXPECT_EQ(CoreError::crypto().to_string(), "crypto operation failed");
  EXPECT_EQ(CoreError::io("read record: x").to_string(), "vault I/O failed: read record: x");
  EXPECT_EQ(CoreError::io_errno("write tmp", 28).to_string(),
            "vault I/O failed: write tmp: No space left on device (os error 28)");
}

TEST(SecretValue, OwnsBytesAndMovesThePointer) {
  auto v = SecretValue::from(std::string_view("hi\0there", 8));
  EXPECT_EQ(v.size(), 8u);
  const std::uint8_t* before = v.as_bytes().data();
  SecretValue moved = std::move(v);
  EXPECT_EQ(moved.as_bytes().data(), before);
  EXPECT_EQ(moved.view(), std::string_view("hi\0there", 8));
  EXPECT_TRUE(moved.equals(moved.clone().as_bytes()));

  std::string owned = "from an owned string";
  auto w = SecretValue::from(std::move(owned));
  EXPECT_EQ(w.view(), "from an owned string");
  EXPECT_TRUE(owned.empty());
}

TEST(SecretBuffer, ClearZeroesUsedBytesAndKeepsCapacity) {
  SecretBuffer b(std::string_view("secret"));
  std::size_t cap = b.capacity();
  const std::uint8_t* p = b.data();
  b.clear();
  EXPECT_EQ(b.size(), 0u);
  EXPECT_EQ(b.capacity(), cap);
  for (std::size_t i = 0; i < 6; ++i) EXPECT_EQ(p[i], 0) << i;
}

}  // namespace
}  // namespace zantu::core
