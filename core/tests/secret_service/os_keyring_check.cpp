// OsKeyring against a real gnome-keyring daemon. Each test runs inside the
// private session bus of scripts/with-secret-service (ctest starts one per
// test) and refuses to run anywhere else, since it deletes the items it uses.
#include <gtest/gtest.h>
#include <libsecret/secret.h>

#include <array>
#include <signal.h>

#include <cstdlib>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "zantu/core/keyring.hpp"

namespace zantu::core {
namespace {

struct GObjectUnref {
  void operator()(gpointer p) const noexcept { g_object_unref(p); }
};
template <class T>
using GObjectPtr = std::unique_ptr<T, GObjectUnref>;
struct GErrorFree {
  void operator()(GError* e) const noexcept { g_error_free(e); }
};
using GErrorPtr = std::unique_ptr<GError, GErrorFree>;
struct ValueUnref {
  void operator()(::SecretValue* v) const noexcept { secret_value_unref(v); }
};
using ValuePtr = std::unique_ptr<::SecretValue, ValueUnref>;
struct ListFree {
  void operator()(GList* l) const noexcept { g_list_free_full(l, g_object_unref); }
};

// A schema for planting items as other clients would: under its own name,
// with an optional extra attribute that keeps two items apart.
SecretSchema planting_schema(const char* name) {
  SecretSchema s{};
  s.name = name;
  s.flags = SECRET_SCHEMA_DONT_MATCH_NAME;
  s.attributes[0] = {"service", SECRET_SCHEMA_ATTRIBUTE_STRING};
  s.attributes[1] = {"username", SECRET_SCHEMA_ATTRIBUTE_STRING};
  s.attributes[2] = {"target", SECRET_SCHEMA_ATTRIBUTE_STRING};
  s.attributes[3] = {"note", SECRET_SCHEMA_ATTRIBUTE_STRING};
  return s;
}

// Stores `secret` as an item with the three master-key attributes.
void plant(std::string_view secret, const char* schema_name = "zantu", const char* note = nullptr) {
  const SecretSchema schema = planting_schema(schema_name);
  ValuePtr value(secret_value_new(secret.data(), static_cast<gssize>(secret.size()), "application/octet-stream"));
  GError* raw = nullptr;
  gboolean ok = note == nullptr
                    ? secret_password_store_binary_sync(&schema, SECRET_COLLECTION_DEFAULT, "planted", value.get(),
                                                        nullptr, &raw, "service", "zantu", "username", "master-key",
                                                        "target", "default", nullptr)
                    : secret_password_store_binary_sync(&schema, SECRET_COLLECTION_DEFAULT, "planted", value.get(),
                                                        nullptr, &raw, "service", "zantu", "username", "master-key",
                                                        "target", "default", "note", note, nullptr);
  GErrorPtr err(raw);
  ASSERT_TRUE(ok) << (err ? err->message : "store failed");
}

// A fresh proxy each time: a shared one would answer from stale caches.
GObjectPtr<SecretService> service() {
  GError* raw = nullptr;
  GObjectPtr<SecretService> s(
      secret_service_open_sync(SECRET_TYPE_SERVICE, nullptr, SECRET_SERVICE_LOAD_COLLECTIONS, nullptr, &raw));
  GErrorPtr err(raw);
  EXPECT_TRUE(s) << (err ? err->message : "");
  return s;
}

GObjectPtr<SecretCollection> default_collection(SecretService* svc) {
  GError* raw = nullptr;
  GObjectPtr<SecretCollection> c(
      secret_collection_for_alias_sync(svc, SECRET_COLLECTION_DEFAULT, SECRET_COLLECTION_LOAD_ITEMS, nullptr, &raw));
  GErrorPtr err(raw);
  EXPECT_TRUE(c) << (err ? err->message : "no default collection");
  return c;
}

// The secrets of every item in the default collection that has the three
// attributes, read without going through OsKeyring.
std::vector<std::string> stored_secrets() {
  auto svc = service();
  auto coll = default_collection(svc.get());
  std::vector<std::string> out;
  if (!coll) return out;
  std::unique_ptr<GList, ListFree> items(secret_collection_get_items(coll.get()));
  for (GList* l = items.get(); l != nullptr; l = l->next) {
    auto* item = SECRET_ITEM(l->data);
    GHashTable* attrs = secret_item_get_attributes(item);
    auto attr = [attrs](const char* k) {
      const char* v = static_cast<const char*>(g_hash_table_lookup(attrs, k));
      return std::string(v ? v : "");
    };
    const bool ours = attr("service") == "zantu" && attr("username") == "master-key" && attr("target") == "default";
    g_hash_table_unref(attrs);
    if (!ours) continue;
    GError* raw = nullptr;
    EXPECT_TRUE(secret_item_load_secret_sync(item, nullptr, &raw));
    GErrorPtr err(raw);
    ValuePtr value(secret_item_get_secret(item));
    gsize len = 0;
    const gchar* data = value ? secret_value_get(value.get(), &len) : nullptr;
    out.emplace_back(data ? data : "", len);
  }
  return out;
}

MasterKey key_of(std::uint8_t first) {
  std::array<std::uint8_t, MasterKey::kLen> raw;
  for (std::size_t i = 0; i < raw.size(); ++i) raw[i] = static_cast<std::uint8_t>(first + i);
  return MasterKey(raw);
}

std::string as_string(const MasterKey& k) { return {reinterpret_cast<const char*>(k.bytes().data()), k.bytes().size()}; }

void require_fixture() {
  const char* fixture = std::getenv("SECRET_SERVICE_FIXTURE_DIR");
  const char* home = std::getenv("HOME");
  if (fixture == nullptr || home == nullptr || std::string_view(home).rfind(fixture, 0) != 0) {
    GTEST_FAIL() << "run this binary through scripts/with-secret-service; it deletes master-key items";
  }
}

class OsKeyringDaemon : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_NO_FATAL_FAILURE(require_fixture());
    {
      auto svc = service();
      auto coll = default_collection(svc.get());
      ASSERT_TRUE(coll);
      ASSERT_FALSE(secret_collection_get_locked(coll.get()))
          << "the default collection is locked: a test that locks it needs a daemon of its own "
             "(ctest starts one per test)";
    }
    // Start from an empty store even when several tests share one daemon.
    const SecretSchema schema = planting_schema("zantu");
    GError* raw = nullptr;
    secret_password_clear_sync(&schema, nullptr, &raw, "service", "zantu", "username", "master-key", "target",
                               "default", nullptr);
    GErrorPtr err(raw);
    ASSERT_FALSE(err) << err->message;
  }
};

TEST_F(OsKeyringDaemon, RoundTripStoresRawBytesAndReplaces) {
  OsKeyring keyring;
  auto none = keyring.get_master_key();
  ASSERT_FALSE(none.has_value());
  EXPECT_EQ(none.error().to_string(),
            "keyring operation failed: no Secret Service item found for service \"zantu\", username \"master-key\", "
            "target \"default\"");

  const MasterKey first = key_of(0);
  ASSERT_TRUE(keyring.set_master_key(first).has_value());
  auto got = keyring.get_master_key();
  ASSERT_TRUE(got.has_value()) << got.error().to_string();
  EXPECT_EQ(as_string(*got), as_string(first));
  // The item holds the 32 bytes themselves, in the default collection.
  EXPECT_EQ(stored_secrets(), std::vector<std::string>{as_string(first)});

  const MasterKey second = key_of(100);
  ASSERT_TRUE(keyring.set_master_key(second).has_value());
  auto replaced = keyring.get_master_key();
  ASSERT_TRUE(replaced.has_value()) << replaced.error().to_string();
  EXPECT_EQ(as_string(*replaced), as_string(second));
  EXPECT_EQ(stored_secrets(), std::vector<std::string>{as_string(second)});
}

TEST_F(OsKeyringDaemon, FindsAKeyStoredByAnotherClient) {
  const MasterKey key = key_of(7);
  ASSERT_NO_FATAL_FAILURE(plant(as_string(key), "org.example.OtherClient", "extra attributes are fine"));
  auto got = OsKeyring().get_master_key();
  ASSERT_TRUE(got.has_value()) << got.error().to_string();
  EXPECT_EQ(as_string(*got), as_string(key));
}

TEST_F(OsKeyringDaemon, SecretOfAnyOtherLengthIsRefused) {
  for (std::size_t len : {0u, 1u, 31u, 33u, 64u}) {
    // Same schema and attributes each time, so each store replaces the last.
    ASSERT_NO_FATAL_FAILURE(plant(std::string(len, 'k')));
    ASSERT_EQ(stored_secrets().size(), 1u);
    auto got = OsKeyring().get_master_key();
    ASSERT_FALSE(got.has_value()) << len;
    EXPECT_EQ(got.error().to_string(), "keyring operation failed: stored key has wrong length") << len;
  }
}

TEST_F(OsKeyringDaemon, TwoMatchingItemsAreAmbiguous) {
  ASSERT_NO_FATAL_FAILURE(plant(as_string(key_of(1))));
  ASSERT_NO_FATAL_FAILURE(plant(as_string(key_of(2)), "org.example.OtherClient"));
  ASSERT_EQ(stored_secrets().size(), 2u);
  auto got = OsKeyring().get_master_key();
  ASSERT_FALSE(got.has_value());
  EXPECT_EQ(got.error().to_string(),
            "keyring operation failed: 2 Secret Service items found for service \"zantu\", username \"master-key\", "
            "target \"default\"; expected exactly one");
}

// Leaves the collection locked; defined last so that a run of the whole binary
// in one daemon still passes.
TEST_F(OsKeyringDaemon, LockedCollectionIsRefusedWhenTheUnlockPromptFails) {
  OsKeyring keyring;
  ASSERT_TRUE(keyring.set_master_key(key_of(3)).has_value());
  auto svc = service();
  auto coll = default_collection(svc.get());
  ASSERT_TRUE(coll);
  GList objects{coll.get(), nullptr, nullptr};
  GError* raw = nullptr;
  ASSERT_EQ(secret_service_lock_sync(svc.get(), &objects, nullptr, nullptr, &raw), 1);
  GErrorPtr err(raw);

  // The fixture's bus cannot show a prompt, so unlocking fails and the item
  // stays locked.
  auto got = keyring.get_master_key();
  ASSERT_FALSE(got.has_value());
  EXPECT_EQ(got.error().to_string(), "keyring operation failed: the Secret Service item is locked");
}

}  // namespace
}  // namespace zantu::core

namespace zantu::core {
namespace {

// Ends the session bus while this process holds the shared connection to it.
// Leaves no bus behind, so it is defined last.
// No fixture class: the bus connection must be created here, on the main
// context this test iterates, not inside a libsecret call of a SetUp.
TEST(OsKeyringBus, BusThatGoesAwayIsAFailureNotAnExit) {
  ASSERT_NO_FATAL_FAILURE(require_fixture());
  GError* raw = nullptr;
  GObjectPtr<GDBusConnection> bus(g_bus_get_sync(G_BUS_TYPE_SESSION, nullptr, &raw));
  GErrorPtr err(raw);
  ASSERT_TRUE(bus);
  OsKeyring keyring;
  // Any answer will do; the call is what puts the connection in OsKeyring's
  // hands while the bus is up.
  [[maybe_unused]] auto before = keyring.get_master_key();

  GVariant* reply = g_dbus_connection_call_sync(bus.get(), "org.freedesktop.DBus", "/org/freedesktop/DBus",
                                                "org.freedesktop.DBus", "GetConnectionUnixProcessID",
                                                g_variant_new("(s)", "org.freedesktop.DBus"), G_VARIANT_TYPE("(u)"),
                                                G_DBUS_CALL_FLAGS_NONE, 2000, nullptr, &raw);
  err.reset(raw);
  ASSERT_NE(reply, nullptr) << (err ? err->message : "");
  guint32 bus_pid = 0;
  g_variant_get(reply, "(u)", &bus_pid);
  g_variant_unref(reply);
  ASSERT_GT(bus_pid, 1u);
  ASSERT_EQ(kill(static_cast<pid_t>(bus_pid), SIGTERM), 0);
  for (int i = 0; i < 500 && !g_dbus_connection_is_closed(bus.get()); ++i) g_usleep(10000);
  ASSERT_TRUE(g_dbus_connection_is_closed(bus.get()));
  // A host with a GLib main loop dispatches the closure; GLib's default would
  // raise SIGTERM here.
  for (int i = 0; i < 50; ++i) {
    while (g_main_context_iteration(nullptr, FALSE)) {
    }
    g_usleep(2000);
  }

  auto got = keyring.get_master_key();
  ASSERT_FALSE(got.has_value());
  EXPECT_EQ(got.error().kind(), CoreErrorKind::KeyringFailure);
}

}  // namespace
}  // namespace zantu::core
