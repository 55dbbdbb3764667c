// OsKeyring against a real gnome-keyring daemon. Each test runs inside the
// private session bus of scripts/with-secret-service (ctest starts one per
// test) and refuses to run anywhere else, since it deletes the items it uses.
// Items are planted, counted, read back and locked by other clients of the
// service (secret-tool and gdbus), never through OsKeyring itself.
#include <fcntl.h>
#include <signal.h>
#include <sodium.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "../support.hpp"
#include "zantu/core/crypto.hpp"
#include "zantu/core/fd.hpp"
#include "zantu/core/keyring.hpp"

namespace zantu::core {
namespace {

namespace fs = std::filesystem;
using testing::counting_key;

constexpr const char* kAttributes = "service zantu username master-key target default";
constexpr const char* kLoginCollection = "/org/freedesktop/secrets/collection/login";

std::string fixture_dir() {
  const char* dir = std::getenv("SECRET_SERVICE_FIXTURE_DIR");
  return dir != nullptr ? dir : "";
}

void require_fixture() {
  const std::string fixture = fixture_dir();
  const char* home = std::getenv("HOME");
  if (fixture.empty() || home == nullptr || std::string_view(home).rfind(fixture, 0) != 0) {
    GTEST_FAIL() << "run this binary through scripts/with-secret-service; it deletes master-key items";
  }
}

struct Ran {
  int status = -1;
  std::string out;
};

// Runs `command` under /bin/sh with its standard output captured; `input`,
// when given, is its standard input (through a file in the fixture).
Ran run(const std::string& command, const std::string_view* input = nullptr) {
  std::string full = command;
  if (input != nullptr) {
    const std::string path = fixture_dir() + "/stdin";
    UniqueFd fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600));
    EXPECT_TRUE(fd.valid());
    EXPECT_EQ(write_all(fd.get(), input->data(), input->size()), 0);
    full += " < '" + path + "'";
  }
  Ran ran;
  FILE* pipe = ::popen(full.c_str(), "r");
  if (pipe == nullptr) return ran;
  char buf[4096];
  std::size_t n = 0;
  while ((n = std::fread(buf, 1, sizeof buf, pipe)) > 0) ran.out.append(buf, n);
  ran.status = ::pclose(pipe);
  return ran;
}

// Stores `secret` as an item with the three master-key attributes, plus
// `extra` attributes that keep two items apart.
void plant(std::string_view secret, const std::string& extra = "") {
  const Ran ran = run(std::string("secret-tool store --label=planted ") + kAttributes + " " + extra, &secret);
  ASSERT_EQ(ran.status, 0) << ran.out;
}

// How many items of the service carry the three attributes.
int num_items() {
  const Ran ran = run(
      "gdbus call --session -d org.freedesktop.secrets -o /org/freedesktop/secrets "
      "-m org.freedesktop.Secret.Service.SearchItems "
      "\"{'service': 'zantu', 'username': 'master-key', 'target': 'default'}\"");
  EXPECT_EQ(ran.status, 0) << ran.out;
  // gdbus writes each array as "[objectpath '/a', '/b']".
  int n = 0;
  for (std::size_t at = 0; (at = ran.out.find("'/org/freedesktop/secrets/collection/", at)) != std::string::npos; ++at) {
    ++n;
  }
  return n;
}

// The secret of the one item, read by secret-tool.
std::string looked_up() {
  const Ran ran = run(std::string("secret-tool lookup ") + kAttributes);
  EXPECT_EQ(ran.status, 0);
  return ran.out;
}

void lock_login_collection() {
  const Ran ran = run(std::string("gdbus call --session -d org.freedesktop.secrets -o /org/freedesktop/secrets "
                                  "-m org.freedesktop.Secret.Service.Lock \"['") +
                      kLoginCollection + "']\"");
  ASSERT_EQ(ran.status, 0) << ran.out;
  ASSERT_NE(ran.out.find(kLoginCollection), std::string::npos) << ran.out;
}

bool login_collection_locked() {
  const Ran ran = run(std::string("gdbus call --session -d org.freedesktop.secrets -o ") + kLoginCollection +
                      " -m org.freedesktop.DBus.Properties.Get org.freedesktop.Secret.Collection Locked");
  EXPECT_EQ(ran.status, 0) << ran.out;
  return ran.out.find("true") != std::string::npos;
}

std::string as_string(const MasterKey& k) { return {reinterpret_cast<const char*>(k.bytes().data()), k.bytes().size()}; }

// What the process holds that a keyring call must leave as it found it.
struct ProcessState {
  std::vector<std::string> threads;
  std::map<std::string, std::string> fds;
  std::string signals;  // the signal masks and dispositions of /proc/self/status

  static ProcessState now() {
    ProcessState s;
    for (const auto& e : fs::directory_iterator("/proc/self/task")) s.threads.push_back(e.path().filename());
    std::sort(s.threads.begin(), s.threads.end());
    for (const auto& e : fs::directory_iterator("/proc/self/fd")) {
      std::error_code ec;
      const auto target = fs::read_symlink(e.path(), ec);
      // The directory's own descriptor is gone once the listing ends.
      if (!ec && !target.string().starts_with("/proc/")) s.fds[e.path().filename()] = target.string();
    }
    std::ifstream status("/proc/self/status");
    for (std::string line; std::getline(status, line);) {
      if (line.starts_with("SigBlk") || line.starts_with("SigIgn") || line.starts_with("SigCgt")) s.signals += line + "\n";
    }
    return s;
  }
  friend bool operator==(const ProcessState&, const ProcessState&) = default;
};

std::ostream& operator<<(std::ostream& os, const ProcessState& s) {
  os << s.threads.size() << " threads, fds:";
  for (const auto& [fd, target] : s.fds) os << " " << fd << "=" << target;
  return os << "\n" << s.signals;
}

class OsKeyringDaemon : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_NO_FATAL_FAILURE(require_fixture());
    ASSERT_GE(sodium_init(), 0);
    ASSERT_FALSE(login_collection_locked())
        << "the default collection is locked: a test that locks it needs a daemon of its own "
           "(ctest starts one per test)";
    // Start from an empty store even when several tests share one daemon;
    // secret-tool exits 1 when there was nothing to clear.
    run(std::string("secret-tool clear ") + kAttributes);
    ASSERT_EQ(num_items(), 0);
  }
};

TEST_F(OsKeyringDaemon, RoundTripStoresRawBytesAndReplaces) {
  OsKeyring keyring;
  auto none = keyring.get_master_key();
  ASSERT_FALSE(none.has_value());
  EXPECT_EQ(none.error().to_string(),
            "keyring operation failed: no Secret Service item found for service \"zantu\", username \"master-key\", "
            "target \"default\"");

  // Bytes that text handling would mangle: NUL, line breaks, high bytes.
  const MasterKey first = counting_key(0xf0);
  ASSERT_TRUE(keyring.set_master_key(first).has_value());
  auto got = keyring.get_master_key();
  ASSERT_TRUE(got.has_value()) << got.error().to_string();
  EXPECT_EQ(as_string(*got), as_string(first));
  // The item holds the 32 bytes themselves, as another client reads them.
  EXPECT_EQ(num_items(), 1);
  EXPECT_EQ(looked_up(), as_string(first));

  const MasterKey second = counting_key(100);
  ASSERT_TRUE(keyring.set_master_key(second).has_value());
  auto replaced = keyring.get_master_key();
  ASSERT_TRUE(replaced.has_value()) << replaced.error().to_string();
  EXPECT_EQ(as_string(*replaced), as_string(second));
  EXPECT_EQ(num_items(), 1);
  EXPECT_EQ(looked_up(), as_string(second));
}

TEST_F(OsKeyringDaemon, KeyStoredByAnotherClientSealsWhatAnIndependentCipherOpens) {
  std::array<std::uint8_t, MasterKey::kLen> raw;
  randombytes_buf(raw.data(), raw.size());
  raw[0] = 0;
  raw[1] = '\n';
  raw[2] = 0xff;
  const std::string_view planted(reinterpret_cast<const char*>(raw.data()), raw.size());
  ASSERT_NO_FATAL_FAILURE(plant(planted, "xdg:schema org.example.OtherClient note extra-attributes-are-fine"));

  auto got = OsKeyring().get_master_key();
  ASSERT_TRUE(got.has_value()) << got.error().to_string();
  EXPECT_EQ(as_string(*got), planted);

  // Sealed under the key as read, opened by libsodium under the bytes as
  // planted.
  const std::string_view text = "sealed under the Secret Service's key";
  auto sealed = crypto::seal_bytes({reinterpret_cast<const std::uint8_t*>(text.data()), text.size()}, *got);
  ASSERT_TRUE(sealed.has_value());
  ASSERT_EQ(sealed->nonce.size(), crypto_aead_chacha20poly1305_IETF_NPUBBYTES);
  std::vector<std::uint8_t> opened(sealed->ciphertext.size());
  unsigned long long opened_len = 0;
  ASSERT_EQ(crypto_aead_chacha20poly1305_ietf_decrypt(opened.data(), &opened_len, nullptr, sealed->ciphertext.data(),
                                                      sealed->ciphertext.size(), nullptr, 0, sealed->nonce.data(),
                                                      raw.data()),
            0);
  EXPECT_EQ(std::string_view(reinterpret_cast<const char*>(opened.data()), opened_len), text);
}

TEST_F(OsKeyringDaemon, SecretOfAnyOtherLengthIsRefused) {
  for (std::size_t len : {0u, 1u, 31u, 33u, 64u, 4096u}) {
    // Same attributes each time, so each store replaces the last.
    const std::string secret(len, 'k');
    ASSERT_NO_FATAL_FAILURE(plant(secret));
    ASSERT_EQ(num_items(), 1);
    auto got = OsKeyring().get_master_key();
    ASSERT_FALSE(got.has_value()) << len;
    EXPECT_EQ(got.error().to_string(), "keyring operation failed: stored key has wrong length") << len;
  }
}

TEST_F(OsKeyringDaemon, TwoMatchingItemsAreAmbiguous) {
  ASSERT_NO_FATAL_FAILURE(plant(as_string(counting_key(1)), "note first"));
  ASSERT_NO_FATAL_FAILURE(plant(as_string(counting_key(2)), "note second"));
  ASSERT_EQ(num_items(), 2);
  auto got = OsKeyring().get_master_key();
  ASSERT_FALSE(got.has_value());
  EXPECT_EQ(got.error().to_string(),
            "keyring operation failed: 2 Secret Service items found for service \"zantu\", username \"master-key\", "
            "target \"default\"; expected exactly one");
}

// No thread, descriptor or signal disposition is left behind by a call that
// succeeds or fails.
TEST_F(OsKeyringDaemon, CallsLeaveTheProcessAsTheyFoundIt) {
  ASSERT_NO_FATAL_FAILURE(plant(as_string(counting_key(5))));
  OsKeyring keyring;
  const ProcessState before = ProcessState::now();
  ASSERT_TRUE(keyring.get_master_key().has_value());
  EXPECT_EQ(ProcessState::now(), before);
  ASSERT_TRUE(keyring.set_master_key(counting_key(6)).has_value());
  EXPECT_EQ(ProcessState::now(), before);
  ASSERT_NO_FATAL_FAILURE(plant(as_string(counting_key(7)), "note other"));
  const ProcessState with_two = ProcessState::now();
  ASSERT_FALSE(keyring.get_master_key().has_value());
  EXPECT_EQ(ProcessState::now(), with_two);
  EXPECT_EQ(with_two.threads.size(), 1u);
}

// Leaves the collection locked, so it runs in a daemon of its own (ctest
// starts one per test); defined last so that a run of the whole binary in one
// daemon still passes.
TEST_F(OsKeyringDaemon, LockedCollectionFailsAtOnceWhenItsPromptCannotBeShown) {
  ASSERT_NO_FATAL_FAILURE(plant(as_string(counting_key(3))));
  ASSERT_NO_FATAL_FAILURE(lock_login_collection());
  ASSERT_TRUE(login_collection_locked());
  OsKeyring keyring;
  const ProcessState before = ProcessState::now();

  // The fixture's bus has no prompter, so the daemon dismisses the unlock
  // prompt itself; the answer comes long before the prompt's limit.
  const auto start = std::chrono::steady_clock::now();
  auto got = keyring.get_master_key();
  auto stored = keyring.set_master_key(counting_key(4));
  const auto took = std::chrono::steady_clock::now() - start;
  ASSERT_FALSE(got.has_value());
  EXPECT_EQ(got.error().to_string(), "keyring operation failed: unlocking the Secret Service item was dismissed");
  ASSERT_FALSE(stored.has_value());
  EXPECT_EQ(stored.error().to_string(),
            "keyring operation failed: unlocking the Secret Service collection was dismissed");
  EXPECT_LT(took, std::chrono::seconds(30));
  EXPECT_TRUE(login_collection_locked());
  EXPECT_EQ(ProcessState::now(), before);
}

}  // namespace
}  // namespace zantu::core
