// Proves that secret memory is zero at the moment it is handed back to the
// allocator: this binary replaces the global operator delete and inspects the
// watched block (or, while scanning, every block) before freeing it.
#include <gtest/gtest.h>
#include <malloc.h>
#include <stdlib.h>

#include <array>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <new>
#include <string>

#include "../support.hpp"
#include "zantu/core/crypto.hpp"
#include "zantu/core/keyring.hpp"
#include "zantu/core/resolver.hpp"
#include "zantu/core/secret.hpp"
#include "zantu/core/store.hpp"

namespace {

const void* g_watched = nullptr;
bool g_seen = false;
bool g_all_zero = false;
// Bytes that must not be left anywhere in the watched block.
const unsigned char* g_needle = nullptr;
std::size_t g_needle_len = 0;
bool g_needle_found = false;
// While set, every freed block is searched for the needle, watched or not.
bool g_scan_all = false;

bool holds_needle(const unsigned char* bytes, std::size_t n) {
  for (std::size_t i = 0; g_needle_len != 0 && i + g_needle_len <= n; ++i) {
    if (std::memcmp(bytes + i, g_needle, g_needle_len) == 0) return true;
  }
  return false;
}

void inspect(void* p, std::size_t n) {
  if (p == nullptr) return;
  if (g_scan_all) {
    g_needle_found |= holds_needle(static_cast<unsigned char*>(p), n);
    return;
  }
  if (p != g_watched) return;
  g_seen = true;
  g_all_zero = true;
  const auto* bytes = static_cast<unsigned char*>(p);
  for (std::size_t i = 0; i < n; ++i) g_all_zero &= bytes[i] == 0;
  g_needle_found = holds_needle(bytes, n);
}

}  // namespace

void* operator new(std::size_t n) {
  if (void* p = std::malloc(n == 0 ? 1 : n)) return p;
  throw std::bad_alloc();
}
void operator delete(void* p) noexcept {
  if (g_scan_all && p != nullptr) inspect(p, ::malloc_usable_size(p));
  std::free(p);
}
void operator delete(void* p, std::size_t n) noexcept {
  inspect(p, n);
  std::free(p);
}

namespace zantu::core {
namespace {

void watch(const void* p) {
  g_watched = p;
  g_seen = false;
  g_all_zero = false;
}

TEST(Wipe, DroppedSecretValueIsZeroWhenFreed) {
  {
    auto v = SecretValue::from(std::string_view("correct horse battery staple"));
    watch(v.as_bytes().data());
  }
  EXPECT_TRUE(g_seen);
  EXPECT_TRUE(g_all_zero);
}

TEST(Wipe, SpareCapacityIsZeroWhenFreed) {
  {
    SecretBuffer b;
    b.reserve(64);
    b.append(std::string_view("0123456789abcdef0123456789abcdef"));
    b.resize(4);  // the tail now lies in spare capacity
    watch(b.data());
  }
  EXPECT_TRUE(g_seen);
  EXPECT_TRUE(g_all_zero);
}

TEST(Wipe, GrowthZeroesTheOldBlock) {
  SecretBuffer b(std::string_view("abcd"));
  watch(b.data());
  b.reserve(b.capacity() * 4);
  EXPECT_TRUE(g_seen);
  EXPECT_TRUE(g_all_zero);
}

TEST(Wipe, DroppedMockKeyringLeavesNoKeyBytes) {
  std::array<std::uint8_t, MasterKey::kLen> raw;
  for (std::size_t i = 0; i < raw.size(); ++i) raw[i] = static_cast<std::uint8_t>(0xa0 + i);
  {
    auto keyring = std::make_unique<MockKeyring>(MasterKey(raw));
    ASSERT_TRUE(keyring->set_master_key(MasterKey(raw)).has_value());
    g_needle = raw.data();
    g_needle_len = raw.size();
    watch(keyring.get());
  }
  EXPECT_TRUE(g_seen);
  EXPECT_FALSE(g_needle_found);
  g_needle = nullptr;
  g_needle_len = 0;
}

class OneValueProvider final : public SecretProvider {
 public:
  explicit OneValueProvider(std::string_view value) : value_(value) {}
  Result<SecretValue> materialize(std::string_view) const override { return SecretValue::from(value_); }
  std::string_view scheme() const noexcept override { return "*"; }

 private:
  std::string_view value_;
};

// Every freed block, from the resolution to the end of its result, is free of
// the values that a literal record, a key pair and a provider supplied: on
// success once the result is dropped, and on a failure at a later variable.
TEST(Wipe, ResolvedValuesLeaveNothingBehind) {
  const testing::TempDir root;
  const MasterKey key = testing::test_key(0x5a);
  const MockKeyring keyring(key);
  auto registry = Registry::open(root.path());
  ASSERT_TRUE(registry.has_value());

  constexpr std::string_view kLiteral = "literal-value-0123456789";
  constexpr std::string_view kPrivate = "private-key-bytes-0123456789";
  constexpr std::string_view kProvided = "provided-value-0123456789";
  auto put = [&](std::string_view coordinate, const SecretRecord& record) {
    testing::put_record(registry->global_dir(), testing::coord(coordinate), record, key);
  };
  const RecordMeta meta{.sensitivity = Sensitivity::High,
                        .revealable = false,
                        .environment = "dev",
                        .component = "app",
                        .key = "x",
                        .description = std::nullopt,
                        .created = "2026-01-01T00:00:00Z",
                        .updated = "2026-01-01T00:00:00Z"};
  put("secret:dev/app/lit", SecretRecord::Literal{SecretValue::from(kLiteral), meta});
  put("secret:dev/app/ssh", SecretRecord::Keypair{KeyAlgorithm::Ed25519, SecretValue::from(kPrivate), "pub", meta});
  put("secret:dev/app/ref", SecretRecord::Reference{"aws-sm://r/s", meta});
  put("secret:dev/app/ref2", SecretRecord::Reference{"aws-sm://r/s", meta});

  const testing::MapEnv env;  // no variables
  const testing::NoAudit audit;
  const testing::FixedClock clock(0);
  const OneValueProvider provider(kProvided);
  const std::string_view texts[] = {
      "A=secret:dev/app/lit\nB=secret:dev/app/ssh#private\nC=secret:dev/app/ref\nD=secret:dev/app/ref2\n",
      "A=secret:dev/app/lit\nB=secret:dev/app/ssh#private\nC=secret:dev/app/ref\nD=secret:dev/app/none\n",
  };
  for (std::string_view needle : {kLiteral, kPrivate, kProvided}) {
    for (std::string_view text : texts) {
      const EnvRefs refs = EnvRefs::parse(text).value();
      g_needle = reinterpret_cast<const unsigned char*>(needle.data());
      g_needle_len = needle.size();
      g_needle_found = false;
      g_scan_all = true;
      {
        auto got = resolver::resolve(refs, "dev", *registry, keyring, env, provider, audit, clock, Origin::Agent,
                                     std::nullopt);
        EXPECT_EQ(got.has_value(), text == texts[0]) << text;
      }
      g_scan_all = false;
      EXPECT_FALSE(g_needle_found) << needle << " left in freed memory by " << text;
    }
  }
  g_needle = nullptr;
  g_needle_len = 0;
}

}  // namespace
}  // namespace zantu::core
