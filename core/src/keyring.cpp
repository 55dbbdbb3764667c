#include "zantu/core/keyring.hpp"

#include <argon2.h>
#include <gio/gio.h>
#include <libsecret/secret.h>

#include <algorithm>
#include <memory>
#include <utility>

#include "worker_thread.hpp"

namespace zantu::core {

MasterKey::MasterKey(std::span<const std::uint8_t, kLen> bytes) noexcept {
  std::copy(bytes.begin(), bytes.end(), bytes_.begin());
}

MasterKey::MasterKey(const MasterKey& other) noexcept : bytes_(other.bytes_) {}

MasterKey& MasterKey::operator=(const MasterKey& other) noexcept {
  bytes_ = other.bytes_;
  return *this;
}

MasterKey::~MasterKey() { wipe_bytes(bytes_.data(), bytes_.size()); }

// ---------------------------------------------------------------------------
// OsKeyring

namespace {

constexpr std::string_view kService = "zantu";
constexpr std::string_view kAccount = "master-key";
constexpr const char* kItemLabel = "zantu master key";
constexpr gint kReplyTimeoutMs = 2000;

struct GObjectUnref {
  void operator()(gpointer p) const noexcept { g_object_unref(p); }
};
template <class T>
using GObjectPtr = std::unique_ptr<T, GObjectUnref>;

struct HashTableUnref {
  void operator()(GHashTable* t) const noexcept { g_hash_table_unref(t); }
};

struct ItemListFree {
  void operator()(GList* l) const noexcept { g_list_free_full(l, g_object_unref); }
};

struct SecretValueUnref {
  void operator()(::SecretValue* v) const noexcept { secret_value_unref(v); }
};
// libsecret's own value type, not ours.
using SecretValuePtr = std::unique_ptr<::SecretValue, SecretValueUnref>;

// The GError out-parameter of one call, freed on every path.
class GErrorSlot {
 public:
  GErrorSlot() = default;
  GErrorSlot(const GErrorSlot&) = delete;
  GErrorSlot& operator=(const GErrorSlot&) = delete;
  ~GErrorSlot() {
    if (err_ != nullptr) g_error_free(err_);
  }

  [[nodiscard]] GError** out() noexcept { return &err_; }
  [[nodiscard]] bool is_set() const noexcept { return err_ != nullptr; }
  // The client's own text for the failure.
  [[nodiscard]] CoreError to_error() const {
    if (err_ != nullptr && err_->message != nullptr) return CoreError::keyring(err_->message);
    return CoreError::keyring("Secret Service call failed");
  }

 private:
  GError* err_ = nullptr;
};

// Search and store by the three attributes; the schema's name is not matched,
// so an item stored by another client under the same attributes is found.
const SecretSchema* master_key_schema() {
  static const SecretSchema schema = [] {
    SecretSchema s{};
    s.name = "zantu";
    s.flags = SECRET_SCHEMA_DONT_MATCH_NAME;
    s.attributes[0] = {"service", SECRET_SCHEMA_ATTRIBUTE_STRING};
    s.attributes[1] = {"username", SECRET_SCHEMA_ATTRIBUTE_STRING};
    s.attributes[2] = {"target", SECRET_SCHEMA_ATTRIBUTE_STRING};
    return s;
  }();
  return &schema;
}

// The attribute table borrows the strings, which outlive it.
std::unique_ptr<GHashTable, HashTableUnref> item_attributes(const std::string& service, const std::string& account) {
  std::unique_ptr<GHashTable, HashTableUnref> attrs(g_hash_table_new(g_str_hash, g_str_equal));
  g_hash_table_insert(attrs.get(), const_cast<char*>("service"), const_cast<char*>(service.c_str()));
  g_hash_table_insert(attrs.get(), const_cast<char*>("username"), const_cast<char*>(account.c_str()));
  g_hash_table_insert(attrs.get(), const_cast<char*>("target"), const_cast<char*>(OsKeyring::kTarget.data()));
  return attrs;
}

// A Secret Service proxy of its own (not libsecret's shared one), so that its
// reply timeout is ours to set. It runs on the process's shared session-bus
// connection, which libsecret always uses.
Result<GObjectPtr<SecretService>> open_service() {
  GErrorSlot err;
  GObjectPtr<SecretService> service(
      secret_service_open_sync(SECRET_TYPE_SERVICE, nullptr, SECRET_SERVICE_NONE, nullptr, err.out()));
  if (!service) return std::unexpected(err.to_error());
  auto* proxy = G_DBUS_PROXY(service.get());
  // GLib ends the whole process when the shared bus connection drops; a bus
  // that goes away must be an ordinary keyring failure for the host instead.
  g_dbus_connection_set_exit_on_close(g_dbus_proxy_get_connection(proxy), FALSE);
  // Every call through this proxy (session, search, secrets, store) waits
  // this long for its reply; a prompt's completion is not bounded.
  g_dbus_proxy_set_default_timeout(proxy, kReplyTimeoutMs);
  return service;
}

std::string attribute_summary() {
  std::string out = "service \"";
  out += kService;
  out += "\", username \"";
  out += kAccount;
  out += "\", target \"";
  out += OsKeyring::kTarget;
  out += '"';
  return out;
}

}  // namespace

OsKeyring::OsKeyring() : service_(kService), account_(kAccount) {}

Result<MasterKey> OsKeyring::get_master_key() const {
  auto service = open_service();
  if (!service) return std::unexpected(service.error());
  auto attrs = item_attributes(service_, account_);

  std::unique_ptr<GList, ItemListFree> items;
  {
    GErrorSlot err;
    const auto flags = static_cast<SecretSearchFlags>(SECRET_SEARCH_ALL | SECRET_SEARCH_UNLOCK |
                                                      SECRET_SEARCH_LOAD_SECRETS);
    items.reset(secret_service_search_sync(service->get(), master_key_schema(), attrs.get(), flags,
                                           nullptr, err.out()));
    if (err.is_set()) return std::unexpected(err.to_error());
  }
  const guint num_items = g_list_length(items.get());
  if (num_items == 0) {
    return std::unexpected(CoreError::keyring("no Secret Service item found for " + attribute_summary()));
  }
  if (num_items > 1) {
    return std::unexpected(CoreError::keyring(std::to_string(num_items) + " Secret Service items found for " +
                                              attribute_summary() + "; expected exactly one"));
  }
  auto* item = SECRET_ITEM(items->data);
  // A locked item comes back without its secret (the unlock prompt failed or
  // was dismissed).
  SecretValuePtr value(secret_item_get_secret(item));
  if (!value) return std::unexpected(CoreError::keyring("the Secret Service item is locked"));

  gsize len = 0;
  const gchar* data = secret_value_get(value.get(), &len);
  // The client's copy is wiped once read, whatever its length; no one else
  // reads it before the item is released below.
  struct WipeClientCopy {
    const gchar* data;
    gsize len;
    ~WipeClientCopy() { wipe_bytes(const_cast<gchar*>(data), len); }
  } wipe_client_copy{data, len};
  if (data == nullptr || len != MasterKey::kLen) {
    return std::unexpected(CoreError::keyring("stored key has wrong length"));
  }
  return MasterKey(std::span<const std::uint8_t, MasterKey::kLen>(reinterpret_cast<const std::uint8_t*>(data),
                                                                  MasterKey::kLen));
}

Status OsKeyring::set_master_key(const MasterKey& key) const {
  auto service = open_service();
  if (!service) return std::unexpected(service.error());
  auto attrs = item_attributes(service_, account_);
  // The client keeps its copy in its own wiping memory.
  SecretValuePtr value(secret_value_new(reinterpret_cast<const gchar*>(key.bytes().data()),
                                        static_cast<gssize>(key.bytes().size()), "application/octet-stream"));
  GErrorSlot err;
  if (!secret_service_store_sync(service->get(), master_key_schema(), attrs.get(), SECRET_COLLECTION_DEFAULT,
                                 kItemLabel, value.get(), nullptr, err.out())) {
    return std::unexpected(err.to_error());
  }
  return {};
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
