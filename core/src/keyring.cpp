#include "zantu/core/keyring.hpp"

#include <argon2.h>

#include <algorithm>
#include <memory>
#include <utility>

#include "secret_service.hpp"
#include "worker_thread.hpp"

namespace zantu::core {

// ---------------------------------------------------------------------------
// OsKeyring

namespace {

constexpr std::string_view kService = "zantu";
constexpr std::string_view kAccount = "master-key";
constexpr std::string_view kItemLabel = "zantu master key";

}  // namespace

OsKeyring::OsKeyring() : OsKeyring(Limits{}) {}

OsKeyring::OsKeyring(Limits limits) : service_(kService), account_(kAccount) {
  const Limits most;
  limits_.reply = std::clamp(limits.reply, std::chrono::milliseconds(1), most.reply);
  limits_.prompt = std::clamp(limits.prompt, std::chrono::milliseconds(0), most.prompt);
}

Result<MasterKey> OsKeyring::get_master_key() const {
  auto session = detail::SecretServiceSession::open({limits_.reply, limits_.prompt});
  if (!session) return std::unexpected(session.error());
  auto secret = session->read_secret({service_, account_, kTarget});
  if (!secret) return std::unexpected(secret.error());
  if (secret->size() != MasterKey::kLen) return std::unexpected(CoreError::keyring("stored key has wrong length"));
  return MasterKey(std::span<const std::uint8_t, MasterKey::kLen>(secret->data(), MasterKey::kLen));
}

Status OsKeyring::set_master_key(const MasterKey& key) const {
  auto session = detail::SecretServiceSession::open({limits_.reply, limits_.prompt});
  if (!session) return std::unexpected(session.error());
  return session->store_secret({service_, account_, kTarget}, kItemLabel, key.bytes());
}

// ---------------------------------------------------------------------------
// Argon2Keyring

static_assert(ARGON2_VERSION_13 == 0x13);
static_assert(Argon2Keyring::kWorkerStackLen == 8388608);

Result<Argon2Keyring> Argon2Keyring::create(SecretBuffer&& passphrase, std::vector<std::uint8_t> salt) {
  // Taken over first, so that a refused passphrase is wiped on return too.
  SecretBuffer owned = std::move(passphrase);
  if (salt.size() < kMinSaltLen) {
    return std::unexpected(CoreError::keyring("salt must be at least " + std::to_string(kMinSaltLen) + " bytes"));
  }
  return Argon2Keyring(std::move(owned), std::move(salt));
}

Result<Argon2Keyring> Argon2Keyring::create(std::string&& passphrase, std::vector<std::uint8_t> salt) {
  SecretBuffer owned(std::string_view{passphrase});
  wipe_string(passphrase);
  return create(std::move(owned), std::move(salt));
}

Result<MasterKey> Argon2Keyring::get_master_key() const {
  std::optional<Result<MasterKey>> result;
  auto derive = [this, &result] {
    struct OutputBlock {
      std::array<std::uint8_t, MasterKey::kLen> bytes{};
      ~OutputBlock() { wipe_bytes(bytes.data(), bytes.size()); }
    } out;
    const int rc = argon2_hash(kTimeCost, kMemoryCostKib, kParallelism, passphrase_.data(), passphrase_.size(),
                               salt_.data(), salt_.size(), out.bytes.data(), out.bytes.size(), nullptr, 0,
                               Argon2_id, ARGON2_VERSION_13);
    if (rc == ARGON2_OK) {
      result.emplace(MasterKey(out.bytes));
    } else {
      result.emplace(std::unexpected(CoreError::keyring(argon2_error_message(rc))));
    }
  };
  const auto outcome = detail::run_on_worker(kWorkerStackLen, derive);
  switch (outcome.kind) {
    case detail::WorkerOutcome::Kind::NotStarted:
      return std::unexpected(CoreError::keyring("spawning Argon2 worker: " + os_error_text(outcome.errnum)));
    case detail::WorkerOutcome::Kind::Panicked:
      return std::unexpected(CoreError::keyring("Argon2 worker panicked"));
    case detail::WorkerOutcome::Kind::Finished:
      break;
  }
  if (!result) return std::unexpected(CoreError::keyring("Argon2 worker panicked"));
  return std::move(*result);
}

Status Argon2Keyring::set_master_key(const MasterKey&) const {
  return std::unexpected(
      CoreError::keyring("passphrase-derived key cannot be stored; it is recomputed from the passphrase"));
}

// ---------------------------------------------------------------------------
// MockKeyring

Result<MasterKey> MockKeyring::get_master_key() const {
  std::lock_guard lock(mu_);
  if (!key_) return std::unexpected(CoreError::keyring("no master key set"));
  return *key_;
}

Status MockKeyring::set_master_key(const MasterKey& key) const {
  std::lock_guard lock(mu_);
  key_.emplace(key);  // the earlier copy, if any, is wiped by its destructor
  return {};
}

}  // namespace zantu::core
