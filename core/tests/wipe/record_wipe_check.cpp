// Proves that reading, writing, sealing and storing records leaves no copy of
// a secret in memory handed back to the allocator: this binary replaces the
// global operator delete and scans every freed block for the secret, both as
// raw bytes and in the decimal form the record JSON gives it.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <string>

#include "../support.hpp"
#include "freed_scan.hpp"
#include "zantu/core/crypto.hpp"
#include "zantu/core/record.hpp"
#include "zantu/core/store.hpp"

namespace zantu::core {
namespace {

namespace fs = std::filesystem;
namespace freed = testing::freed_scan;

// Static storage: the patterns themselves never pass through the allocator.
constexpr char kSecret[] = "Zq8#Lw!vR2@pX7&mN4^tB9*kD5%s";
constexpr std::size_t kSecretLen = sizeof kSecret - 1;
char g_decimal[kSecretLen * 4];  // "90,113,56,...": the secret inside record JSON
std::size_t g_decimal_len = 0;

class RecordWipe : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    std::size_t len = 0;
    for (std::size_t i = 0; i < kSecretLen; ++i) {
      len += static_cast<std::size_t>(std::snprintf(g_decimal + len, sizeof g_decimal - len, i ? ",%u" : "%u",
                                                    static_cast<unsigned char>(kSecret[i])));
    }
    g_decimal_len = len;
    freed::patterns = {std::string_view(kSecret, kSecretLen), std::string_view(g_decimal, g_decimal_len)};
  }
  void SetUp() override { freed::hits = 0; }
  void TearDown() override { freed::armed = false; }

  static SecretValue secret() { return SecretValue::from(std::string_view(kSecret, kSecretLen)); }
  static RecordMeta meta() {
    return RecordMeta{Sensitivity::High, false, "dev", "app", "db", "d", "2026-01-02T03:04:05Z",
                      "2026-01-02T03:04:05Z"};
  }
};

TEST_F(RecordWipe, TheScanSeesAnUnwipedCopy) {
  freed::armed = true;
  { std::string leak(kSecret, kSecretLen); }
  { std::string leak(g_decimal, g_decimal_len); }
  freed::armed = false;
  EXPECT_EQ(freed::hits, 2);
}

TEST_F(RecordWipe, WritingAndReadingEveryMode) {
  freed::armed = true;
  {
    const SecretRecord records[] = {
        SecretRecord::Literal{secret(), meta()},
        SecretRecord::Keypair{KeyAlgorithm::Ed25519, secret(), "pub", meta()},
        SecretRecord::Totp{secret(), TotpAlgorithm::Sha1, 6, 30, meta()},
    };
    for (const auto& r : records) {
      SecretBuffer text;
      r.serialize(text);  // grows from empty: every outgrown block must be wiped
      auto back = SecretRecord::deserialize(text.as_bytes());
      ASSERT_TRUE(back.has_value());
      EXPECT_TRUE(*back == r);
    }
  }
  freed::armed = false;
  EXPECT_EQ(freed::hits, 0);
}

TEST_F(RecordWipe, RefusedAndReorderedTexts) {
  const std::string value = std::string("[") + g_decimal + "]";
  const std::string common =
      R"("sensitivity":"low","environment":"e","component":"c","key":"k","created":"c","updated":"u")";
  // Built before arming: these texts hold the secret on purpose.
  SecretBuffer texts[] = {
      SecretBuffer(R"({"value":)" + value + "," + common + R"(,"mode":"literal"})"),       // mode last
      SecretBuffer(R"({"mode":"literal","value":)" + value + R"(,"revealable":null})"),  // refused after the value
      SecretBuffer(R"({"mode":"literal","value":)" + value + "," + common + "} x"),      // trailing text
      SecretBuffer(R"(["literal",)" + value + R"(,"low",false,"e","c","k",null,"c","u"])"),
      SecretBuffer(R"({"mode":"totp","seed":)" + value + R"(,"digits":1e999})"),  // syntax error after the seed
  };
  freed::armed = true;
  for (const auto& t : texts) {
    auto r = SecretRecord::deserialize(t.as_bytes());
    if (!r) {
      EXPECT_EQ(r.error().to_string().find(g_decimal), std::string::npos);
    }
  }
  freed::armed = false;
  EXPECT_EQ(freed::hits, 0);
}

TEST_F(RecordWipe, SealingOpeningAndRecordFiles) {
  const testing::TempDir tmp;
  const fs::path& dir = tmp.path();
  const MasterKey k = testing::test_key();
  const Coordinate c = Coordinate::from_str("secret:dev/app/db").value();
  freed::armed = true;
  {
    const SecretRecord record = SecretRecord::Literal{secret(), meta()};
    auto sealed = crypto::seal(record, k);
    ASSERT_TRUE(sealed.has_value());
    EXPECT_TRUE(crypto::open(*sealed, k).value() == record);
    ASSERT_TRUE(store::write_record(dir, c, *sealed).has_value());
    ASSERT_TRUE(store::write_record(dir, c, *sealed).has_value());
    EXPECT_TRUE(store::read_record(dir, c, k).value().value() == record);
    auto all = store::load_all(dir, k);
    ASSERT_TRUE(all.has_value());
    EXPECT_EQ(all->records.size(), 1u);
  }
  freed::armed = false;
  EXPECT_EQ(freed::hits, 0);
}

}  // namespace
}  // namespace zantu::core
