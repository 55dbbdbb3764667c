// The sources of the vault's master key.
#pragma once

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "zantu/core/error.hpp"
#include "zantu/core/master_key.hpp"
#include "zantu/core/secret.hpp"

namespace zantu::core {

// A source of the master key. Callers use it through this interface. Every
// failure is `CoreErrorKind::KeyringFailure`.
class Keyring {
 public:
  virtual ~Keyring() = default;
  [[nodiscard]] virtual Result<MasterKey> get_master_key() const = 0;
  [[nodiscard]] virtual Status set_master_key(const MasterKey& key) const = 0;
};

// The key held by the freedesktop Secret Service on the D-Bus session bus, as
// the 32 raw bytes of the one item whose attributes are service = "zantu",
// username = "master-key" and target = "default" (other attributes, such as
// another client's schema name, do not matter). Each call opens a private
// connection of libdbus-1 to the session bus (the unix:path= and
// unix:abstract= entries of DBUS_SESSION_BUS_ADDRESS, else
// XDG_RUNTIME_DIR/bus; no other transport, so no program is ever started),
// talks to the service through an encrypted
// ("dh-ietf1024-sha256-aes128-cbc-pkcs7") session, then closes both before it
// returns: no thread is started, nothing is cached, and nothing process-wide
// is changed. The login to the bus and each D-Bus call, from its sending to
// its reply, take at most `Limits::reply`, an unlock prompt at most
// `Limits::prompt`, on the monotonic clock and whatever signals interrupt the
// waits; only the connect() to a bus socket whose listen queue is full is not
// bounded.
class OsKeyring final : public Keyring {
 public:
  static constexpr std::string_view kTarget = "default";

  struct Limits {
    std::chrono::milliseconds reply{2000};
    std::chrono::milliseconds prompt{120000};
  };

  // Touches nothing outside the process and cannot fail.
  OsKeyring();
  // With shorter waits, for tests; a limit above the default is the default.
  explicit OsKeyring(Limits limits);

  [[nodiscard]] const std::string& service() const noexcept { return service_; }
  [[nodiscard]] const std::string& account() const noexcept { return account_; }
  [[nodiscard]] const Limits& limits() const noexcept { return limits_; }

  // Exactly one matching item, unlocked (through the service's prompt when it
  // is locked), with a 32-byte secret; otherwise a failure that says which:
  // no bus, no service, no answer in time, none or more than one item, a
  // dismissed or unanswered prompt, or "stored key has wrong length".
  [[nodiscard]] Result<MasterKey> get_master_key() const override;
  // Stores the 32 bytes in the collection with alias "default" (unlocked
  // first when locked), replacing the secret of an item with exactly the
  // three attributes.
  [[nodiscard]] Status set_master_key(const MasterKey& key) const override;

 private:
  std::string service_;
  std::string account_;
  Limits limits_;
};

// Derives the key with Argon2id (version 0x13, 19456 KiB, 2 passes, 1 lane,
// 32 bytes) from a passphrase and a salt, afresh on every call, on one worker
// thread with an 8 MiB stack that is always joined. Cannot store a key. The
// passphrase lives in a wiping buffer; the salt is not secret.
class Argon2Keyring final : public Keyring {
 public:
  static constexpr std::size_t kMinSaltLen = 8;
  static constexpr std::uint32_t kMemoryCostKib = 19456;
  static constexpr std::uint32_t kTimeCost = 2;
  static constexpr std::uint32_t kParallelism = 1;
  static constexpr std::size_t kWorkerStackLen = 8u * 1024u * 1024u;

  // Takes both; refuses a salt shorter than 8 bytes with "salt must be at
  // least 8 bytes" (the passphrase is wiped then too). No derivation happens
  // here, and the passphrase is not examined: an empty one is accepted.
  [[nodiscard]] static Result<Argon2Keyring> create(SecretBuffer&& passphrase, std::vector<std::uint8_t> salt);
  // The same for a passphrase in a std::string, which is wiped and emptied
  // whatever the outcome.
  [[nodiscard]] static Result<Argon2Keyring> create(std::string&& passphrase, std::vector<std::uint8_t> salt);

  Argon2Keyring(Argon2Keyring&&) noexcept = default;
  Argon2Keyring& operator=(Argon2Keyring&&) noexcept = default;

  [[nodiscard]] std::span<const std::uint8_t> salt() const noexcept { return salt_; }

  // The derived key, or "spawning Argon2 worker: <os error>", the derivation
  // library's error text, or "Argon2 worker panicked".
  [[nodiscard]] Result<MasterKey> get_master_key() const override;
  // Always "passphrase-derived key cannot be stored; it is recomputed from the
  // passphrase".
  [[nodiscard]] Status set_master_key(const MasterKey& key) const override;

 private:
  Argon2Keyring(SecretBuffer&& passphrase, std::vector<std::uint8_t> salt) noexcept
      : passphrase_(std::move(passphrase)), salt_(std::move(salt)) {}

  SecretBuffer passphrase_;
  std::vector<std::uint8_t> salt_;
};

// A key held in memory under a lock; the held copy is wiped when replaced and
// when the keyring is dropped.
class MockKeyring final : public Keyring {
 public:
  // Empty: `get_master_key` answers "no master key set".
  MockKeyring() = default;
  // Holding a copy of `key`.
  explicit MockKeyring(const MasterKey& key) : key_(key) {}

  [[nodiscard]] Result<MasterKey> get_master_key() const override;
  // Never fails.
  [[nodiscard]] Status set_master_key(const MasterKey& key) const override;

 private:
  mutable std::mutex mu_;
  mutable std::optional<MasterKey> key_;
};

}  // namespace zantu::core
