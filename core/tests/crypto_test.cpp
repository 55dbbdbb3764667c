#include "zantu/core/crypto.hpp"

#include <gtest/gtest.h>

#include <array>
#include <set>

namespace zantu::core {
namespace {

MasterKey key_of(std::uint8_t fill) {
  std::array<std::uint8_t, MasterKey::kLen> bytes;
  for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<std::uint8_t>(fill + i);
  return MasterKey(bytes);
}

SecretRecord sample() {
  return SecretRecord::Literal{SecretValue::from(std::string_view("postgres://u:p@db/app")),
                               RecordMeta{Sensitivity::Medium, true, "dev", "app", "db", "main database",
                                          "2026-01-02T03:04:05Z", "2026-01-02T03:04:05Z"}};
}

std::string json_of(const SecretRecord& r) {
  SecretBuffer b;
  r.serialize(b);
  return std::string(b.view());
}

TEST(Crypto, SealOpensToTheSameRecordUnderFreshNonces) {
  const MasterKey key = key_of(1);
  const SecretRecord record = sample();
  auto a = crypto::seal(record, key);
  auto b = crypto::seal(record, key);
  ASSERT_TRUE(a && b);
  EXPECT_EQ(a->nonce.size(), crypto::kNonceLen);
  EXPECT_NE(a->nonce, b->nonce);
  EXPECT_NE(a->ciphertext, b->ciphertext);
  EXPECT_EQ(a->ciphertext.size(), json_of(record).size() + crypto::kTagLen);
  for (const auto* s : {&*a, &*b}) {
    auto opened = crypto::open(*s, key);
    ASSERT_TRUE(opened.has_value()) << opened.error().to_string();
    EXPECT_TRUE(*opened == record);
  }
  // Many seals never repeat a nonce.
  std::set<std::vector<std::uint8_t>> nonces;
  for (int i = 0; i < 200; ++i) nonces.insert(crypto::seal_bytes({}, key)->nonce);
  EXPECT_EQ(nonces.size(), 200u);
}

TEST(Crypto, EveryAlterationFailsAlike) {
  const MasterKey key = key_of(1);
  const SealedRecord sealed = crypto::seal(sample(), key).value();
  auto expect_crypto = [&](const SealedRecord& s, const MasterKey& k, const std::string& what) {
    auto r = crypto::open(s, k);
    ASSERT_FALSE(r.has_value()) << what;
    EXPECT_EQ(r.error().kind(), CoreErrorKind::Crypto) << what;
    EXPECT_EQ(r.error().to_string(), "crypto operation failed") << what;
  };
  expect_crypto(sealed, key_of(2), "other key");
  for (std::size_t i = 0; i < sealed.ciphertext.size(); ++i) {
    SealedRecord s = sealed;
    s.ciphertext[i] ^= 0x01;
    expect_crypto(s, key, "flipped ciphertext byte " + std::to_string(i));
  }
  for (std::size_t i = 0; i < sealed.nonce.size(); ++i) {
    SealedRecord s = sealed;
    s.nonce[i] ^= 0x80;
    expect_crypto(s, key, "flipped nonce byte " + std::to_string(i));
  }
  for (std::size_t len = 0; len < sealed.ciphertext.size(); ++len) {
    SealedRecord s = sealed;
    s.ciphertext.resize(len);
    expect_crypto(s, key, "ciphertext cut to " + std::to_string(len));
  }
  for (std::size_t len : {0u, 11u, 13u}) {
    SealedRecord s = sealed;
    s.nonce.resize(len);
    expect_crypto(s, key, "nonce of " + std::to_string(len));
  }
}

TEST(Crypto, PlaintextThatIsNoRecordIsASerializationError) {
  const MasterKey key = key_of(7);
  auto sealed = crypto::seal_bytes(std::span(reinterpret_cast<const std::uint8_t*>("null"), 4), key);
  ASSERT_TRUE(sealed.has_value());
  auto r = crypto::open(*sealed, key);
  ASSERT_FALSE(r.has_value());
  EXPECT_EQ(r.error().to_string(),
            "record serialization failed: invalid type: null, expected internally tagged enum SecretRecord at line 1 "
            "column 4");
  // An empty plaintext seals to the tag alone and opens to a JSON error.
  auto empty = crypto::seal_bytes({}, key);
  EXPECT_EQ(empty->ciphertext.size(), crypto::kTagLen);
  EXPECT_EQ(crypto::open(*empty, key).error().detail(), "EOF while parsing a value at line 1 column 0");
}

}  // namespace
}  // namespace zantu::core
