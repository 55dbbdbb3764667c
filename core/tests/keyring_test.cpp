#include "zantu/core/keyring.hpp"

#include <gtest/gtest.h>
#include <pthread.h>
#include <stdlib.h>

#include <array>
#include <optional>
#include <atomic>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "support.hpp"
#include "worker_thread.hpp"

namespace zantu::core {
namespace {

using testing::test_key;

std::vector<std::uint8_t> bytes_of(std::string_view s) { return {s.begin(), s.end()}; }

std::string hex(std::span<const std::uint8_t> bytes) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string out;
  for (auto b : bytes) {
    out += kDigits[b >> 4];
    out += kDigits[b & 15];
  }
  return out;
}

Result<MasterKey> derive(std::string passphrase, std::string_view salt) {
  auto keyring = Argon2Keyring::create(std::move(passphrase), bytes_of(salt));
  if (!keyring) return std::unexpected(keyring.error());
  return keyring->get_master_key();
}

TEST(Argon2Keyring, KnownAnswer) {
  auto key = derive("password", "somesalt");
  ASSERT_TRUE(key.has_value()) << key.error().to_string();
  EXPECT_EQ(hex(key->bytes()), "3cbd356a63f2794bb11bb1f4bc8af95fea87919bd69c79860465c562f87ccf61");
}

TEST(Argon2Keyring, SaltLengthBoundary) {
  struct Case {
    std::size_t salt_len;
    bool accepted;
  };
  for (const Case c : {Case{0, false}, Case{7, false}, Case{8, true}, Case{16, true}}) {
    auto keyring = Argon2Keyring::create(std::string("pw"), std::vector<std::uint8_t>(c.salt_len, 0x5a));
    ASSERT_EQ(keyring.has_value(), c.accepted) << c.salt_len;
    if (!c.accepted) {
      EXPECT_EQ(keyring.error().kind(), CoreErrorKind::KeyringFailure);
      EXPECT_EQ(keyring.error().to_string(), "keyring operation failed: salt must be at least 8 bytes");
    }
  }
}

TEST(Argon2Keyring, CallersPassphraseIsWipedWhetherAcceptedOrRefused) {
  for (std::size_t salt_len : {7u, 8u}) {
    std::string passphrase(100, 'p');  // long enough to live on the heap
    const char* buffer = passphrase.data();
    const std::size_t capacity = passphrase.capacity();
    auto keyring = Argon2Keyring::create(std::move(passphrase), std::vector<std::uint8_t>(salt_len, 1));
    EXPECT_EQ(keyring.has_value(), salt_len == 8);
    // The string still owns its buffer, now emptied and zeroed.
    ASSERT_EQ(passphrase.data(), buffer);
    EXPECT_TRUE(passphrase.empty());
    for (std::size_t i = 0; i < capacity; ++i) ASSERT_EQ(buffer[i], '\0') << "byte " << i;
  }
}

TEST(Argon2Keyring, DerivationIsStableAndSensitiveToEveryInput) {
  auto base = derive("correct horse", "saltsalt");
  ASSERT_TRUE(base.has_value());
  auto again = derive("correct horse", "saltsalt");
  ASSERT_TRUE(again.has_value());
  EXPECT_EQ(hex(base->bytes()), hex(again->bytes()));

  for (auto [passphrase, salt] : {std::pair{"correct horsf", "saltsalt"}, std::pair{"correct horse", "saltsalu"},
                                  std::pair{"", "saltsalt"}}) {
    auto other = derive(passphrase, salt);
    ASSERT_TRUE(other.has_value()) << passphrase;  // an empty passphrase is fine too
    EXPECT_NE(hex(other->bytes()), hex(base->bytes())) << passphrase << " / " << salt;
  }
}

TEST(Argon2Keyring, RefusesToStoreAndStillDerives) {
  auto keyring = Argon2Keyring::create(std::string("password"), bytes_of("somesalt"));
  ASSERT_TRUE(keyring.has_value());
  auto stored = keyring->set_master_key(test_key(7));
  ASSERT_FALSE(stored.has_value());
  EXPECT_EQ(stored.error().to_string(),
            "keyring operation failed: passphrase-derived key cannot be stored; it is recomputed from the passphrase");
  auto key = keyring->get_master_key();
  ASSERT_TRUE(key.has_value());
  EXPECT_EQ(hex(key->bytes()), "3cbd356a63f2794bb11bb1f4bc8af95fea87919bd69c79860465c562f87ccf61");
}

TEST(Argon2Keyring, ConcurrentCallsOnOneKeyringAgree) {
  auto keyring = Argon2Keyring::create(std::string("password"), bytes_of("somesalt"));
  ASSERT_TRUE(keyring.has_value());
  std::array<std::string, 3> got;
  std::vector<std::thread> threads;
  for (auto& g : got) {
    threads.emplace_back([&keyring, &g] {
      auto key = keyring->get_master_key();
      g = key ? hex(key->bytes()) : key.error().to_string();
    });
  }
  for (auto& t : threads) t.join();
  for (const auto& g : got) EXPECT_EQ(g, "3cbd356a63f2794bb11bb1f4bc8af95fea87919bd69c79860465c562f87ccf61");
}

TEST(WorkerThread, RunsOnItsOwnThreadWithTheRequestedStack) {
  std::size_t stack_len = 0;
  pthread_t worker{};
  auto body = [&] {
    worker = pthread_self();
    pthread_attr_t attr;
    ASSERT_EQ(pthread_getattr_np(pthread_self(), &attr), 0);
    ASSERT_EQ(pthread_attr_getstacksize(&attr, &stack_len), 0);
    pthread_attr_destroy(&attr);
  };
  auto outcome = detail::run_on_worker(Argon2Keyring::kWorkerStackLen, body);
  EXPECT_EQ(outcome.kind, detail::WorkerOutcome::Kind::Finished);
  EXPECT_FALSE(pthread_equal(worker, pthread_self()));
  EXPECT_GE(stack_len, Argon2Keyring::kWorkerStackLen);
  EXPECT_LT(stack_len, 2 * Argon2Keyring::kWorkerStackLen);
}

TEST(WorkerThread, AnEscapingExceptionIsReportedNotFatal) {
  std::atomic<bool> ran{false};
  auto body = [&] {
    ran = true;
    throw std::runtime_error("boom");
  };
  auto outcome = detail::run_on_worker(Argon2Keyring::kWorkerStackLen, body);
  EXPECT_TRUE(ran);
  EXPECT_EQ(outcome.kind, detail::WorkerOutcome::Kind::Panicked);
}

TEST(WorkerThread, ImpossibleStackIsNotStarted) {
  bool ran = false;
  auto body = [&] { ran = true; };
  // Below PTHREAD_STACK_MIN: refused before any thread exists.
  auto outcome = detail::run_on_worker(1, body);
  EXPECT_EQ(outcome.kind, detail::WorkerOutcome::Kind::NotStarted);
  EXPECT_NE(outcome.errnum, 0);
  EXPECT_FALSE(ran);
}

TEST(MockKeyring, EmptyThenSetThenReplaced) {
  MockKeyring keyring;
  auto empty = keyring.get_master_key();
  ASSERT_FALSE(empty.has_value());
  EXPECT_EQ(empty.error().to_string(), "keyring operation failed: no master key set");

  ASSERT_TRUE(keyring.set_master_key(test_key(1)).has_value());
  for (int i = 0; i < 2; ++i) {  // reading leaves the key in place
    auto key = keyring.get_master_key();
    ASSERT_TRUE(key.has_value());
    EXPECT_EQ(hex(key->bytes()), hex(test_key(1).bytes()));
  }
  ASSERT_TRUE(keyring.set_master_key(test_key(2)).has_value());
  auto replaced = keyring.get_master_key();
  ASSERT_TRUE(replaced.has_value());
  EXPECT_EQ(hex(replaced->bytes()), hex(test_key(2).bytes()));
}

TEST(MockKeyring, HoldsItsOwnCopyOfTheGivenKey) {
  std::optional<MasterKey> original(test_key(9));
  MockKeyring keyring(*original);
  original.reset();  // the caller's copy is gone (and wiped)
  auto key = keyring.get_master_key();
  ASSERT_TRUE(key.has_value());
  EXPECT_EQ(hex(key->bytes()), hex(test_key(9).bytes()));
}

TEST(OsKeyring, FixedServiceAndAccount) {
  OsKeyring keyring;
  EXPECT_EQ(keyring.service(), "zantu");
  EXPECT_EQ(keyring.account(), "master-key");
}

// A session bus that cannot be reached is an ordinary failure that says so,
// not an abort of the process; the address is read afresh on every call.
TEST(OsKeyring, UnreachableBusIsAKeyringFailure) {
  struct Case {
    const char* address;
    const char* runtime_dir;
    const char* detail;
  };
  const Case cases[] = {
      {"unix:path=/nonexistent/zantu-test-bus", nullptr,
       "cannot connect to the D-Bus session bus: Failed to connect to socket /nonexistent/zantu-test-bus: No such "
       "file or directory"},
      {"nonsense", nullptr, "cannot connect to the D-Bus session bus: Address does not contain a colon"},
      // No address, and no bus socket where the per-user bus would be: no
      // bus is looked for or started anywhere else.
      {nullptr, "/nonexistent", 
       "no D-Bus session bus: DBUS_SESSION_BUS_ADDRESS is not set and XDG_RUNTIME_DIR holds no bus socket"},
      {"", nullptr,
       "no D-Bus session bus: DBUS_SESSION_BUS_ADDRESS is not set and XDG_RUNTIME_DIR holds no bus socket"},
  };
  for (const auto& c : cases) {
    const testing::ScopedEnv address("DBUS_SESSION_BUS_ADDRESS", c.address);  // nullptr unsets
    const testing::ScopedEnv runtime_dir("XDG_RUNTIME_DIR", c.runtime_dir);
    OsKeyring keyring;
    auto key = keyring.get_master_key();
    auto stored = keyring.set_master_key(test_key(3));
    ASSERT_FALSE(key.has_value()) << c.detail;
    EXPECT_EQ(key.error().kind(), CoreErrorKind::KeyringFailure);
    EXPECT_EQ(key.error().to_string(), std::string("keyring operation failed: ") + c.detail);
    ASSERT_FALSE(stored.has_value());
    EXPECT_EQ(stored.error().to_string(), key.error().to_string());
  }
}

}  // namespace
}  // namespace zantu::core
