#include "zantu/core/crypto.hpp"

#include <gtest/gtest.h>
#include <sodium.h>

#include <array>
#include <cstring>
#include <set>
#include <string_view>

#include "support.hpp"

namespace zantu::core {
namespace {

using testing::counting_key;

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

// RFC 8439, section 2.8.2: key, nonce (constant 07000000 then the IV),
// plaintext, and the ciphertext that precedes the tag.
constexpr std::string_view kRfcPlaintext =
    "Ladies and Gentlemen of the class of '99: If I could offer you only one tip for the future, sunscreen would "
    "be it.";
constexpr std::array<std::uint8_t, 12> kRfcNonce = {0x07, 0x00, 0x00, 0x00, 0x40, 0x41, 0x42, 0x43, 0x44, 0x45, 0x46, 0x47};
constexpr std::array<std::uint8_t, 12> kRfcAad = {0x50, 0x51, 0x52, 0x53, 0xc0, 0xc1, 0xc2, 0xc3, 0xc4, 0xc5, 0xc6, 0xc7};
constexpr std::array<std::uint8_t, 114> kRfcCiphertext = {
    0xd3, 0x1a, 0x8d, 0x34, 0x64, 0x8e, 0x60, 0xdb, 0x7b, 0x86, 0xaf, 0xbc, 0x53, 0xef, 0x7e, 0xc2, 0xa4, 0xad, 0xed,
    0x51, 0x29, 0x6e, 0x08, 0xfe, 0xa9, 0xe2, 0xb5, 0xa7, 0x36, 0xee, 0x62, 0xd6, 0x3d, 0xbe, 0xa4, 0x5e, 0x8c, 0xa9,
    0x67, 0x12, 0x82, 0xfa, 0xfb, 0x69, 0xda, 0x92, 0x72, 0x8b, 0x1a, 0x71, 0xde, 0x0a, 0x9e, 0x06, 0x0b, 0x29, 0x05,
    0xd6, 0xa5, 0xb6, 0x7e, 0xcd, 0x3b, 0x36, 0x92, 0xdd, 0xbd, 0x7f, 0x2d, 0x77, 0x8b, 0x8c, 0x98, 0x03, 0xae, 0xe3,
    0x28, 0x09, 0x1b, 0x58, 0xfa, 0xb3, 0x24, 0xe4, 0xfa, 0xd6, 0x75, 0x94, 0x55, 0x85, 0x80, 0x8b, 0x48, 0x31, 0xd7,
    0xbc, 0x3f, 0xf4, 0xde, 0xf0, 0x8e, 0x4b, 0x7a, 0x9d, 0xe5, 0x76, 0xd2, 0x65, 0x86, 0xce, 0xc6, 0x4b, 0x61, 0x16};
constexpr std::array<std::uint8_t, 16> kRfcTag = {0x1a, 0xe1, 0x0b, 0x59, 0x4f, 0x09, 0xe2, 0x6a,
                                                  0x7e, 0x90, 0x2e, 0xcb, 0xd0, 0x60, 0x06, 0x91};

MasterKey rfc_key() { return counting_key(0x80); }

// The tag of RFC 8439 section 2.8, built from its parts: Poly1305 under the
// first 32 bytes of ChaCha20 block 0, over the padded associated data, the
// padded ciphertext and both lengths.
std::array<std::uint8_t, 16> rfc_tag(std::span<const std::uint8_t> aad, std::span<const std::uint8_t> ciphertext,
                                     const MasterKey& key) {
  std::array<std::uint8_t, 32> one_time_key{};
  crypto_stream_chacha20_ietf(one_time_key.data(), one_time_key.size(), kRfcNonce.data(), key.bytes().data());
  auto padded = [](std::vector<std::uint8_t>& out, std::span<const std::uint8_t> part) {
    const std::size_t at = out.size();
    out.resize(at + (part.size() + 15) / 16 * 16, 0);
    if (!part.empty()) std::memcpy(out.data() + at, part.data(), part.size());
  };
  std::vector<std::uint8_t> mac_data;
  padded(mac_data, aad);
  padded(mac_data, ciphertext);
  for (std::uint64_t len : {std::uint64_t{aad.size()}, std::uint64_t{ciphertext.size()}}) {
    for (int i = 0; i < 8; ++i) mac_data.push_back(static_cast<std::uint8_t>(len >> (8 * i)));
  }
  std::array<std::uint8_t, 16> tag{};
  crypto_onetimeauth_poly1305(tag.data(), mac_data.data(), mac_data.size(), one_time_key.data());
  return tag;
}

// While alive, libsodium's random source hands out the RFC's nonce, so a seal
// can be compared with the RFC's answer. Restores the OS source afterwards.
class RfcNonceSource {
 public:
  RfcNonceSource() { randombytes_set_implementation(&impl_); }
  ~RfcNonceSource() { randombytes_set_implementation(&randombytes_sysrandom_implementation); }
  RfcNonceSource(const RfcNonceSource&) = delete;
  RfcNonceSource& operator=(const RfcNonceSource&) = delete;

 private:
  static const char* name() { return "rfc8439-nonce"; }
  static std::uint32_t random() { return 0; }
  static void buf(void* out, std::size_t len) {
    std::memset(out, 0, len);
    std::memcpy(out, kRfcNonce.data(), std::min(len, kRfcNonce.size()));
  }
  randombytes_implementation impl_{&name, &random, nullptr, nullptr, &buf, nullptr};
};

TEST(Crypto, SealingMatchesTheRfc8439KnownAnswer) {
  const MasterKey key = rfc_key();
  ASSERT_GE(sodium_init(), 0);
  // The tag construction reproduces the RFC's own tag from its associated data.
  EXPECT_EQ(rfc_tag(kRfcAad, kRfcCiphertext, key), kRfcTag);

  const auto plaintext = std::span(reinterpret_cast<const std::uint8_t*>(kRfcPlaintext.data()), kRfcPlaintext.size());
  SealedRecord sealed;
  {
    RfcNonceSource source;
    sealed = crypto::seal_bytes(plaintext, key).value();
  }
  // Records carry no associated data: same ciphertext, the tag over none.
  EXPECT_EQ(sealed.nonce, std::vector<std::uint8_t>(kRfcNonce.begin(), kRfcNonce.end()));
  ASSERT_EQ(sealed.ciphertext.size(), kRfcCiphertext.size() + crypto::kTagLen);
  EXPECT_TRUE(std::equal(kRfcCiphertext.begin(), kRfcCiphertext.end(), sealed.ciphertext.begin()));
  const auto tag = rfc_tag({}, kRfcCiphertext, key);
  EXPECT_TRUE(std::equal(tag.begin(), tag.end(), sealed.ciphertext.begin() + kRfcCiphertext.size()));

  // Opening authenticates the RFC's ciphertext under that tag, and only then
  // finds that the text is no record.
  SealedRecord known{std::vector<std::uint8_t>(kRfcNonce.begin(), kRfcNonce.end()), {}};
  known.ciphertext.resize(kRfcCiphertext.size() + tag.size());
  std::copy(tag.begin(), tag.end(), std::copy(kRfcCiphertext.begin(), kRfcCiphertext.end(), known.ciphertext.begin()));
  EXPECT_EQ(crypto::open(known, key).error().kind(), CoreErrorKind::Serialization);
  known.ciphertext.back() ^= 0x01;
  EXPECT_EQ(crypto::open(known, key).error().kind(), CoreErrorKind::Crypto);
}

TEST(Crypto, SealOpensToTheSameRecordUnderFreshNonces) {
  const MasterKey key = counting_key(1);
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
  const MasterKey key = counting_key(1);
  const SealedRecord sealed = crypto::seal(sample(), key).value();
  auto expect_crypto = [&](const SealedRecord& s, const MasterKey& k, const std::string& what) {
    auto r = crypto::open(s, k);
    ASSERT_FALSE(r.has_value()) << what;
    EXPECT_EQ(r.error().kind(), CoreErrorKind::Crypto) << what;
    EXPECT_EQ(r.error().to_string(), "crypto operation failed") << what;
  };
  expect_crypto(sealed, counting_key(2), "other key");
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
  const MasterKey key = counting_key(7);
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
