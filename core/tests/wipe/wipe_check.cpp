// Proves that secret memory is zero at the moment it is handed back to the
// allocator: this binary replaces the global operator delete and inspects the
// watched block before freeing it.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <new>

#include "zantu/core/keyring.hpp"
#include "zantu/core/secret.hpp"

namespace {

const void* g_watched = nullptr;
bool g_seen = false;
bool g_all_zero = false;
// Bytes that must not be left anywhere in the watched block.
const unsigned char* g_needle = nullptr;
std::size_t g_needle_len = 0;
bool g_needle_found = false;

void inspect(void* p, std::size_t n) {
  if (p == nullptr || p != g_watched) return;
  g_seen = true;
  g_all_zero = true;
  const auto* bytes = static_cast<unsigned char*>(p);
  for (std::size_t i = 0; i < n; ++i) g_all_zero &= bytes[i] == 0;
  g_needle_found = false;
  for (std::size_t i = 0; g_needle_len != 0 && i + g_needle_len <= n; ++i) {
    g_needle_found |= std::memcmp(bytes + i, g_needle, g_needle_len) == 0;
  }
}

}  // namespace

void* operator new(std::size_t n) {
  if (void* p = std::malloc(n == 0 ? 1 : n)) return p;
  throw std::bad_alloc();
}
void operator delete(void* p) noexcept { std::free(p); }
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

}  // namespace
}  // namespace zantu::core
