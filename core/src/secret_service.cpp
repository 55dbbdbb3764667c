#include "secret_service.hpp"

#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <functional>
#include <new>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace zantu::core::detail {

namespace {

constexpr const char* kServiceName = "org.freedesktop.secrets";
constexpr const char* kServicePath = "/org/freedesktop/secrets";
constexpr const char* kServiceInterface = "org.freedesktop.Secret.Service";
constexpr const char* kCollectionInterface = "org.freedesktop.Secret.Collection";
constexpr const char* kItemInterface = "org.freedesktop.Secret.Item";
constexpr const char* kSessionInterface = "org.freedesktop.Secret.Session";
constexpr const char* kPromptInterface = "org.freedesktop.Secret.Prompt";
constexpr const char* kAlgorithm = "dh-ietf1024-sha256-aes128-cbc-pkcs7";
constexpr const char* kContentType = "application/octet-stream";
constexpr const char* kDefaultAlias = "default";
// The object path that stands for "none": no prompt needed, no collection.
constexpr std::string_view kNoObject = "/";
// A prompt is waited for in rounds of at most this long.
constexpr std::chrono::milliseconds kPromptRound{1000};
// Signals held back while a reply is awaited; a flood beyond is dropped.
constexpr std::size_t kMaxHeld = 64;

std::string duration_text(std::chrono::milliseconds d) {
  if (d.count() % 1000 == 0) return std::to_string(d.count() / 1000) + " s";
  return std::to_string(d.count()) + " ms";
}

// A DBusError freed on every path.
struct ErrorSlot {
  DBusError e;
  ErrorSlot() { dbus_error_init(&e); }
  ErrorSlot(const ErrorSlot&) = delete;
  ErrorSlot& operator=(const ErrorSlot&) = delete;
  ~ErrorSlot() { dbus_error_free(&e); }
  [[nodiscard]] std::string_view name() const { return e.name != nullptr ? e.name : ""; }
  [[nodiscard]] std::string_view message() const { return e.message != nullptr ? e.message : ""; }
};

struct AddressEntriesFree {
  void operator()(DBusAddressEntry** entries) const noexcept { dbus_address_entries_free(entries); }
};

// `value` escaped for a D-Bus address, or nothing when libdbus runs out of
// memory.
std::optional<std::string> escaped(const char* value) {
  char* e = dbus_address_escape_value(value);
  if (e == nullptr) return std::nullopt;
  std::string out(e);
  dbus_free(e);
  return out;
}

// DBUS_SESSION_BUS_ADDRESS's usable entries, else the per-user bus socket in
// XDG_RUNTIME_DIR when it is a socket of this user's. Read afresh on every
// call; there is no fallback that starts a bus.
Result<std::vector<std::string>> session_bus_addresses() {
  if (const char* env = std::getenv("DBUS_SESSION_BUS_ADDRESS"); env != nullptr && *env != '\0') {
    return usable_bus_addresses(env);
  }
  if (const char* dir = std::getenv("XDG_RUNTIME_DIR"); dir != nullptr && *dir == '/') {
    const std::string path = std::string(dir) + "/bus";
    struct stat st {};
    if (::stat(path.c_str(), &st) == 0 && S_ISSOCK(st.st_mode) && st.st_uid == ::getuid()) {
      auto value = escaped(path.c_str());
      if (!value) return std::unexpected(CoreError::keyring("no memory for the session bus address"));
      return std::vector<std::string>{"unix:path=" + *value};
    }
  }
  return std::unexpected(CoreError::keyring(
      "no D-Bus session bus: DBUS_SESSION_BUS_ADDRESS is not set and XDG_RUNTIME_DIR holds no bus socket"));
}

// --- Building messages. Each returns false when libdbus runs out of memory.

bool append_string(DBusMessageIter& it, const char* s) {
  return dbus_message_iter_append_basic(&it, DBUS_TYPE_STRING, &s) != 0;
}

bool append_path(DBusMessageIter& it, const char* path) {
  return dbus_message_iter_append_basic(&it, DBUS_TYPE_OBJECT_PATH, &path) != 0;
}

bool append_bool(DBusMessageIter& it, bool value) {
  const dbus_bool_t b = value ? TRUE : FALSE;
  return dbus_message_iter_append_basic(&it, DBUS_TYPE_BOOLEAN, &b) != 0;
}

// Opens a container, fills it and closes it; abandons it on failure.
bool append_container(DBusMessageIter& it, int type, const char* signature,
                      const std::function<bool(DBusMessageIter&)>& fill) {
  DBusMessageIter sub;
  if (dbus_message_iter_open_container(&it, type, signature, &sub) == 0) return false;
  if (!fill(sub)) {
    dbus_message_iter_abandon_container_if_open(&it, &sub);
    return false;
  }
  return dbus_message_iter_close_container(&it, &sub) != 0;
}

bool append_bytes(DBusMessageIter& it, std::span<const std::uint8_t> bytes) {
  return append_container(it, DBUS_TYPE_ARRAY, DBUS_TYPE_BYTE_AS_STRING, [&](DBusMessageIter& array) {
    const std::uint8_t* data = bytes.data();
    return dbus_message_iter_append_fixed_array(&array, DBUS_TYPE_BYTE, &data, static_cast<int>(bytes.size())) != 0;
  });
}

bool append_paths(DBusMessageIter& it, const std::vector<std::string>& paths) {
  return append_container(it, DBUS_TYPE_ARRAY, DBUS_TYPE_OBJECT_PATH_AS_STRING, [&](DBusMessageIter& array) {
    return std::all_of(paths.begin(), paths.end(), [&](const std::string& p) { return append_path(array, p.c_str()); });
  });
}

// a{ss}
bool append_attributes(DBusMessageIter& it, const SecretServiceAttributes& a) {
  const std::string pairs[3][2] = {{"service", std::string(a.service)},
                                   {"username", std::string(a.username)},
                                   {"target", std::string(a.target)}};
  return append_container(it, DBUS_TYPE_ARRAY, "{ss}", [&](DBusMessageIter& dict) {
    for (const auto& pair : pairs) {
      const bool ok = append_container(dict, DBUS_TYPE_DICT_ENTRY, nullptr, [&](DBusMessageIter& entry) {
        return append_string(entry, pair[0].c_str()) && append_string(entry, pair[1].c_str());
      });
      if (!ok) return false;
    }
    return true;
  });
}

// --- Reading replies. The caller checks the reply's whole signature first,
// so each step here only walks what is known to be there.

std::span<const std::uint8_t> read_bytes(DBusMessageIter& it) {
  DBusMessageIter array;
  dbus_message_iter_recurse(&it, &array);
  const std::uint8_t* data = nullptr;
  int len = 0;
  if (dbus_message_iter_get_arg_type(&array) == DBUS_TYPE_BYTE) {
    dbus_message_iter_get_fixed_array(&array, &data, &len);
  }
  return {data, static_cast<std::size_t>(len)};
}

std::string read_string(DBusMessageIter& it) {
  const char* s = nullptr;
  dbus_message_iter_get_basic(&it, &s);
  return s != nullptr ? s : "";
}

std::vector<std::string> read_paths(DBusMessageIter& it) {
  std::vector<std::string> out;
  DBusMessageIter array;
  dbus_message_iter_recurse(&it, &array);
  while (dbus_message_iter_get_arg_type(&array) == DBUS_TYPE_OBJECT_PATH) {
    out.push_back(read_string(array));
    dbus_message_iter_next(&array);
  }
  return out;
}

std::string attribute_summary(const SecretServiceAttributes& a) {
  return "service \"" + std::string(a.service) + "\", username \"" + std::string(a.username) + "\", target \"" +
         std::string(a.target) + '"';
}

CoreError unexpected_reply(std::string_view what) {
  return CoreError::keyring("unexpected reply to " + std::string(what));
}

CoreError error_reply(DBusMessage* reply, const std::string& step) {
  ErrorSlot err;
  dbus_set_error_from_message(&err.e, reply);
  if (err.name() == DBUS_ERROR_SERVICE_UNKNOWN || err.name() == DBUS_ERROR_NAME_HAS_NO_OWNER) {
    return CoreError::keyring("no Secret Service on the session bus (nothing owns " + std::string(kServiceName) + ")");
  }
  return CoreError::keyring(step + " failed: " + std::string(err.name()) + ": " + std::string(err.message()));
}

}  // namespace

Result<std::vector<std::string>> usable_bus_addresses(std::string_view address) {
  const std::string text(address);
  DBusAddressEntry** entries = nullptr;
  int num_entries = 0;
  ErrorSlot err;
  if (dbus_parse_address(text.c_str(), &entries, &num_entries, &err.e) == 0) {
    return std::unexpected(CoreError::keyring("cannot connect to the D-Bus session bus: " + std::string(err.message())));
  }
  const std::unique_ptr<DBusAddressEntry*, AddressEntriesFree> owned(entries);
  std::vector<std::string> usable;
  for (int i = 0; i < num_entries; ++i) {
    const char* method = dbus_address_entry_get_method(entries[i]);
    if (method == nullptr || std::string_view(method) != "unix") continue;
    const char* path = dbus_address_entry_get_value(entries[i], "path");
    const char* abstract = dbus_address_entry_get_value(entries[i], "abstract");
    // Exactly one of the two, naming something: other unix entries (tmpdir=,
    // dir=, runtime=) are for listening only.
    if ((path == nullptr) == (abstract == nullptr)) continue;
    auto value = escaped(path != nullptr ? path : abstract);
    if (!value) return std::unexpected(CoreError::keyring("no memory for the session bus address"));
    std::string one = (path != nullptr ? "unix:path=" : "unix:abstract=") + *value;
    if (const char* guid = dbus_address_entry_get_value(entries[i], "guid"); guid != nullptr) {
      auto guid_value = escaped(guid);
      if (!guid_value) return std::unexpected(CoreError::keyring("no memory for the session bus address"));
      one += ",guid=" + *guid_value;
    }
    usable.push_back(std::move(one));
  }
  if (usable.empty()) {
    return std::unexpected(CoreError::keyring("session bus address has no unix:path= or unix:abstract= entry"));
  }
  return usable;
}

void SecretServiceSession::ConnectionClose::operator()(DBusConnection* c) const noexcept {
  // A private connection must be closed before its last reference goes.
  dbus_connection_close(c);
  dbus_connection_unref(c);
}

void SecretServiceSession::MessageUnref::operator()(DBusMessage* m) const noexcept { dbus_message_unref(m); }

SecretServiceSession::SecretServiceSession(Connection connection, int socket, SecretServiceLimits limits,
                                           SessionCrypto crypto) noexcept
    : connection_(std::move(connection)), socket_(socket), limits_(limits), crypto_(std::move(crypto)) {}

bool SecretServiceSession::track_watches() noexcept {
  watches_ = std::unique_ptr<Watches>(new (std::nothrow) Watches);
  if (!watches_) return false;
  const auto add = [](DBusWatch* watch, void* data) noexcept -> dbus_bool_t {
    auto& list = static_cast<Watches*>(data)->list;
    try {
      list.push_back(watch);
    } catch (...) {
      return FALSE;
    }
    return TRUE;
  };
  const auto remove = [](DBusWatch* watch, void* data) noexcept {
    auto& list = static_cast<Watches*>(data)->list;
    list.erase(std::remove(list.begin(), list.end(), watch), list.end());
  };
  // Whether a watch is enabled is read at each wait.
  const auto toggled = [](DBusWatch*, void*) noexcept {};
  return dbus_connection_set_watch_functions(connection_.get(), add, remove, toggled, watches_.get(), nullptr) != 0;
}

SecretServiceSession::~SecretServiceSession() {
  if (!connection_) return;  // moved from
  if (!session_path_.empty() && responsive_ && dbus_connection_get_is_connected(connection_.get()) != 0) {
    // Closing the connection ends the session too; closing it first is
    // the polite order. Its outcome changes nothing.
    [[maybe_unused]] auto closed =
        call_service(session_path_.c_str(), kSessionInterface, "Close", [](DBusMessageIter&) { return true; });
  }
  connection_.reset();
}

Result<SecretServiceSession> SecretServiceSession::open(SecretServiceLimits limits) {
  auto addresses = session_bus_addresses();
  if (!addresses) return std::unexpected(addresses.error());
  auto crypto = SessionCrypto::generate();
  if (!crypto) return std::unexpected(crypto.error());

  Connection connection;
  std::string refused;
  for (const std::string& address : *addresses) {
    ErrorSlot err;
    // Only opens the socket: libdbus's connect() is the one wait here, and it
    // blocks only while the listening socket's queue is full.
    connection.reset(dbus_connection_open_private(address.c_str(), &err.e));
    if (connection) break;
    refused = err.message();
  }
  if (!connection) return std::unexpected(CoreError::keyring("cannot connect to the D-Bus session bus: " + refused));
  // A bus that goes away must be an ordinary failure of this call, never an
  // exit of the host.
  dbus_connection_set_exit_on_disconnect(connection.get(), FALSE);
  int socket = -1;
  if (dbus_connection_get_socket(connection.get(), &socket) == 0 || socket < 0) {
    return std::unexpected(CoreError::keyring("the D-Bus session bus connection has no socket"));
  }
  SecretServiceSession session(std::move(connection), socket, limits, std::move(*crypto));
  if (!session.track_watches()) return std::unexpected(CoreError::keyring("no memory for the D-Bus connection"));
  if (auto in = session.login(); !in) return std::unexpected(in.error());

  // Registration by hand: dbus_bus_register waits on its own.
  Message hello(dbus_message_new_method_call(DBUS_SERVICE_DBUS, DBUS_PATH_DBUS, DBUS_INTERFACE_DBUS, "Hello"));
  if (!hello) return std::unexpected(CoreError::keyring("no memory for a D-Bus message"));
  auto registered = session.call(std::move(hello), "the session bus's Hello");
  if (!registered) return std::unexpected(registered.error());

  if (auto opened = session.open_encrypted_session(); !opened) return std::unexpected(opened.error());
  return session;
}

void SecretServiceSession::pump() noexcept {
  // A zero timeout: libdbus polls without waiting, so no signal can restart
  // a wait of its own.
  dbus_connection_read_write(connection_.get(), 0);
}

bool SecretServiceSession::wait(Clock::time_point until) const noexcept {
  for (;;) {
    const auto now = Clock::now();
    if (now >= until) return false;
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(until - now);
    // What libdbus waits for: to read the bus's next bytes, and to write only
    // while it holds bytes to send, so the wait neither spins nor misses its
    // own next step. With no watch enabled, a hang-up still ends it.
    std::array<pollfd, 4> fds{};
    nfds_t num_fds = 0;
    for (DBusWatch* watch : watches_->list) {
      if (num_fds == fds.size()) break;
      if (dbus_watch_get_enabled(watch) == 0) continue;
      const unsigned flags = dbus_watch_get_flags(watch);
      const auto events = static_cast<short>(((flags & DBUS_WATCH_READABLE) != 0 ? POLLIN : 0) |
                                             ((flags & DBUS_WATCH_WRITABLE) != 0 ? POLLOUT : 0));
      fds[num_fds++] = pollfd{dbus_watch_get_unix_fd(watch), events, 0};
    }
    if (num_fds == 0) fds[num_fds++] = pollfd{socket_, 0, 0};
    const int ready = ::poll(fds.data(), num_fds, static_cast<int>(std::min<long long>(left.count(), INT_MAX)));
    if (ready > 0) return true;
    // An interrupted poll goes on with the time left; any other failure is
    // for libdbus's next step to find.
    if (ready < 0 && errno != EINTR) return true;
  }
}

SecretServiceSession::Message SecretServiceSession::next_message() noexcept {
  if (!held_.empty()) {
    Message m = std::move(held_.front());
    held_.erase(held_.begin());
    return m;
  }
  return Message(dbus_connection_pop_message(connection_.get()));
}

Status SecretServiceSession::login() {
  DBusConnection* c = connection_.get();
  const auto deadline = Clock::now() + limits_.reply;
  for (;;) {
    pump();
    if (dbus_connection_get_is_authenticated(c) != 0) return {};
    if (dbus_connection_get_is_connected(c) == 0) {
      return std::unexpected(CoreError::keyring("the D-Bus session bus closed the connection during the login"));
    }
    if (!wait(deadline)) {
      return std::unexpected(
          CoreError::keyring("the D-Bus session bus login did not complete within " + duration_text(limits_.reply)));
    }
  }
}

Result<SecretServiceSession::Message> SecretServiceSession::call(Message request, std::string_view what) {
  DBusConnection* c = connection_.get();
  const std::string step(what);
  const auto deadline = Clock::now() + limits_.reply;
  dbus_uint32_t serial = 0;
  // Queues the message and writes what the socket takes at once.
  if (dbus_connection_send(c, request.get(), &serial) == 0) {
    return std::unexpected(CoreError::keyring("no memory for a D-Bus message"));
  }
  for (;;) {
    pump();
    while (Message m{dbus_connection_pop_message(c)}) {
      const int type = dbus_message_get_type(m.get());
      if ((type == DBUS_MESSAGE_TYPE_METHOD_RETURN || type == DBUS_MESSAGE_TYPE_ERROR) &&
          dbus_message_get_reply_serial(m.get()) == serial) {
        if (type == DBUS_MESSAGE_TYPE_METHOD_RETURN) return m;
        const auto is = [&](const char* name) { return dbus_message_is_error(m.get(), name) != 0; };
        const bool no_answer = is(DBUS_ERROR_NO_REPLY) || is(DBUS_ERROR_TIMEOUT) || is(DBUS_ERROR_TIMED_OUT);
        // Nothing will answer on this connection: closing it waits no more.
        if (no_answer || is(DBUS_ERROR_SERVICE_UNKNOWN) || is(DBUS_ERROR_NAME_HAS_NO_OWNER)) responsive_ = false;
        if (no_answer) {
          return std::unexpected(CoreError::keyring(step + " got no answer within " + duration_text(limits_.reply)));
        }
        return std::unexpected(error_reply(m.get(), step));
      }
      // A prompt's answer may come before the reply that shows the prompt.
      if (type == DBUS_MESSAGE_TYPE_SIGNAL && held_.size() < kMaxHeld) held_.push_back(std::move(m));
      // Anything else (calls from other clients, late replies to calls given
      // up on) is dropped unanswered.
    }
    if (dbus_connection_get_is_connected(c) == 0) {
      responsive_ = false;
      return std::unexpected(CoreError::keyring("the D-Bus session bus connection closed during " + step));
    }
    if (!wait(deadline)) {
      responsive_ = false;
      return std::unexpected(CoreError::keyring(step + " got no answer within " + duration_text(limits_.reply)));
    }
  }
}

Result<SecretServiceSession::Message> SecretServiceSession::call_service(
    const char* path, const char* interface, const char* method,
    const std::function<bool(DBusMessageIter&)>& append_args) {
  Message request(dbus_message_new_method_call(kServiceName, path, interface, method));
  if (!request) return std::unexpected(CoreError::keyring("no memory for a D-Bus message"));
  DBusMessageIter it;
  dbus_message_iter_init_append(request.get(), &it);
  if (!append_args(it)) return std::unexpected(CoreError::keyring("no memory for a D-Bus message"));
  return call(std::move(request), "the Secret Service's " + std::string(method));
}

Status SecretServiceSession::open_encrypted_session() {
  auto reply = call_service(kServicePath, kServiceInterface, "OpenSession", [this](DBusMessageIter& it) {
    return append_string(it, kAlgorithm) && append_container(it, DBUS_TYPE_VARIANT, "ay", [this](DBusMessageIter& v) {
             return append_bytes(v, crypto_.public_key());
           });
  });
  if (!reply) return std::unexpected(reply.error());
  if (dbus_message_has_signature(reply->get(), "vo") == 0) return std::unexpected(unexpected_reply("OpenSession"));
  DBusMessageIter it;
  dbus_message_iter_init(reply->get(), &it);
  DBusMessageIter variant;
  dbus_message_iter_recurse(&it, &variant);
  const char* inner = dbus_message_iter_get_signature(&variant);
  const bool is_bytes = inner != nullptr && std::string_view(inner) == "ay";
  dbus_free(const_cast<char*>(inner));
  if (!is_bytes) return std::unexpected(unexpected_reply("OpenSession"));
  const std::span<const std::uint8_t> service_public_key = read_bytes(variant);
  dbus_message_iter_next(&it);
  const std::string path = read_string(it);
  const char* sender = dbus_message_get_sender(reply->get());
  if (path == kNoObject || sender == nullptr) return std::unexpected(unexpected_reply("OpenSession"));
  service_name_ = sender;
  // Known before the key agreement, so the session is closed whatever follows.
  session_path_ = path;
  return crypto_.agree(service_public_key);
}

Status SecretServiceSession::add_match(const std::string& rule) {
  Message request(dbus_message_new_method_call(DBUS_SERVICE_DBUS, DBUS_PATH_DBUS, DBUS_INTERFACE_DBUS, "AddMatch"));
  DBusMessageIter it;
  if (request) dbus_message_iter_init_append(request.get(), &it);
  if (!request || !append_string(it, rule.c_str())) return std::unexpected(CoreError::keyring("no memory for a D-Bus message"));
  auto reply = call(std::move(request), "the session bus's AddMatch");
  if (!reply) return std::unexpected(reply.error());
  return {};
}

Result<std::vector<std::string>> SecretServiceSession::await_prompt(const std::string& prompt,
                                                                  std::string_view what) {
  const std::string step(what);
  // The rules go in before the prompt is shown, so its answer cannot slip
  // past; only the service's own name may answer.
  if (auto m = add_match("type='signal',sender='" + service_name_ + "',path='" + prompt + "',interface='" +
                         kPromptInterface + "',member='Completed'");
      !m) {
    return std::unexpected(m.error());
  }
  if (auto m = add_match(std::string("type='signal',sender='") + DBUS_SERVICE_DBUS + "',path='" + DBUS_PATH_DBUS +
                         "',interface='" + DBUS_INTERFACE_DBUS + "',member='NameOwnerChanged',arg0='" + kServiceName +
                         "'");
      !m) {
    return std::unexpected(m.error());
  }
  // Only what comes once the prompt is shown can answer it.
  held_.clear();
  auto shown = call_service(prompt.c_str(), kPromptInterface, "Prompt",
                            [](DBusMessageIter& it) { return append_string(it, ""); });
  if (!shown) return std::unexpected(shown.error());

  const auto deadline = Clock::now() + limits_.prompt;
  for (;;) {
    while (Message m = next_message()) {
      const char* sender = dbus_message_get_sender(m.get());
      const char* path = dbus_message_get_path(m.get());
      if (dbus_message_is_signal(m.get(), kPromptInterface, "Completed") != 0 && sender != nullptr &&
          sender == service_name_ && path != nullptr && path == prompt) {
        if (dbus_message_has_signature(m.get(), "bv") == 0) return std::unexpected(unexpected_reply("a prompt"));
        DBusMessageIter it;
        dbus_message_iter_init(m.get(), &it);
        dbus_bool_t dismissed = FALSE;
        dbus_message_iter_get_basic(&it, &dismissed);
        if (dismissed != 0) return std::unexpected(CoreError::keyring(step + " was dismissed"));
        dbus_message_iter_next(&it);
        DBusMessageIter result;
        dbus_message_iter_recurse(&it, &result);
        // An unlock answers with the unlocked objects, a creation with the
        // new item.
        std::vector<std::string> objects;
        if (dbus_message_iter_get_arg_type(&result) == DBUS_TYPE_OBJECT_PATH) {
          objects.push_back(read_string(result));
        } else if (dbus_message_iter_get_arg_type(&result) == DBUS_TYPE_ARRAY &&
                   dbus_message_iter_get_element_type(&result) == DBUS_TYPE_OBJECT_PATH) {
          objects = read_paths(result);
        }
        return objects;
      }
      if (dbus_message_is_signal(m.get(), DBUS_INTERFACE_DBUS, "NameOwnerChanged") != 0 && sender != nullptr &&
          std::string_view(sender) == DBUS_SERVICE_DBUS && dbus_message_has_signature(m.get(), "sss") != 0) {
        DBusMessageIter it;
        dbus_message_iter_init(m.get(), &it);
        const std::string name = read_string(it);
        dbus_message_iter_next(&it);
        const std::string old_owner = read_string(it);
        if (name == kServiceName && old_owner == service_name_) {
          responsive_ = false;
          return std::unexpected(
              CoreError::keyring("the Secret Service left the session bus during the prompt for " + step));
        }
      }
      // Anything else (the bus's NameAcquired, calls from other clients) is
      // dropped unanswered.
    }
    if (dbus_connection_get_is_connected(connection_.get()) == 0) {
      responsive_ = false;
      return std::unexpected(
          CoreError::keyring("the D-Bus session bus connection closed during the prompt for " + step));
    }
    const auto now = Clock::now();
    if (now >= deadline) {
      // Take the prompt down; whatever the service answers, this call is over.
      [[maybe_unused]] auto dismissed =
          call_service(prompt.c_str(), kPromptInterface, "Dismiss", [](DBusMessageIter&) { return true; });
      return std::unexpected(
          CoreError::keyring("no answer to the prompt for " + step + " within " + duration_text(limits_.prompt)));
    }
    [[maybe_unused]] const bool ready = wait(std::min(deadline, now + kPromptRound));
    pump();
  }
}

Status SecretServiceSession::unlock(const std::string& object, std::string_view what) {
  auto reply = call_service(kServicePath, kServiceInterface, "Unlock",
                            [&](DBusMessageIter& it) { return append_paths(it, {object}); });
  if (!reply) return std::unexpected(reply.error());
  if (dbus_message_has_signature(reply->get(), "aoo") == 0) return std::unexpected(unexpected_reply("Unlock"));
  DBusMessageIter it;
  dbus_message_iter_init(reply->get(), &it);
  const std::vector<std::string> unlocked = read_paths(it);
  dbus_message_iter_next(&it);
  const std::string prompt = read_string(it);
  if (std::find(unlocked.begin(), unlocked.end(), object) != unlocked.end()) return {};
  const CoreError still_locked = CoreError::keyring(std::string(what) + " left it locked");
  if (prompt == kNoObject) return std::unexpected(still_locked);
  auto answered = await_prompt(prompt, what);
  if (!answered) return std::unexpected(answered.error());
  if (std::find(answered->begin(), answered->end(), object) == answered->end()) return std::unexpected(still_locked);
  return {};
}

Result<SecretBuffer> SecretServiceSession::read_secret(const SecretServiceAttributes& attributes) {
  auto found = call_service(kServicePath, kServiceInterface, "SearchItems",
                            [&](DBusMessageIter& it) { return append_attributes(it, attributes); });
  if (!found) return std::unexpected(found.error());
  if (dbus_message_has_signature(found->get(), "aoao") == 0) return std::unexpected(unexpected_reply("SearchItems"));
  DBusMessageIter it;
  dbus_message_iter_init(found->get(), &it);
  const std::vector<std::string> unlocked = read_paths(it);
  dbus_message_iter_next(&it);
  const std::vector<std::string> locked = read_paths(it);
  const std::size_t num_items = unlocked.size() + locked.size();
  if (num_items == 0) {
    return std::unexpected(CoreError::keyring("no Secret Service item found for " + attribute_summary(attributes)));
  }
  if (num_items > 1) {
    return std::unexpected(CoreError::keyring(std::to_string(num_items) + " Secret Service items found for " +
                                              attribute_summary(attributes) + "; expected exactly one"));
  }
  const std::string item = unlocked.empty() ? locked.front() : unlocked.front();
  if (!locked.empty()) {
    if (auto opened = unlock(item, "unlocking the Secret Service item"); !opened) return std::unexpected(opened.error());
  }

  auto secret = call_service(item.c_str(), kItemInterface, "GetSecret",
                             [this](DBusMessageIter& it) { return append_path(it, session_path_.c_str()); });
  if (!secret) return std::unexpected(secret.error());
  if (dbus_message_has_signature(secret->get(), "(oayays)") == 0) {
    return std::unexpected(unexpected_reply("GetSecret"));
  }
  DBusMessageIter reply_it;
  dbus_message_iter_init(secret->get(), &reply_it);
  DBusMessageIter fields;
  dbus_message_iter_recurse(&reply_it, &fields);
  dbus_message_iter_next(&fields);  // the session
  const std::span<const std::uint8_t> iv = read_bytes(fields);
  dbus_message_iter_next(&fields);
  const std::span<const std::uint8_t> ciphertext = read_bytes(fields);
  // The encrypted bytes stay in libdbus's reply, released with it.
  return crypto_.decrypt(iv, ciphertext);
}

Status SecretServiceSession::store_secret(const SecretServiceAttributes& attributes, std::string_view label,
                                          std::span<const std::uint8_t> secret) {
  auto alias = call_service(kServicePath, kServiceInterface, "ReadAlias",
                            [](DBusMessageIter& it) { return append_string(it, kDefaultAlias); });
  if (!alias) return std::unexpected(alias.error());
  if (dbus_message_has_signature(alias->get(), "o") == 0) return std::unexpected(unexpected_reply("ReadAlias"));
  DBusMessageIter alias_it;
  dbus_message_iter_init(alias->get(), &alias_it);
  const std::string collection = read_string(alias_it);
  if (collection == kNoObject) {
    return std::unexpected(CoreError::keyring("the Secret Service has no collection with the alias \"default\""));
  }
  if (auto opened = unlock(collection, "unlocking the Secret Service collection"); !opened) return opened;

  auto encrypted = crypto_.encrypt(secret);
  if (!encrypted) return std::unexpected(encrypted.error());
  const std::string label_text(label);
  auto created = call_service(collection.c_str(), kCollectionInterface, "CreateItem", [&](DBusMessageIter& it) {
    const bool properties = append_container(it, DBUS_TYPE_ARRAY, "{sv}", [&](DBusMessageIter& dict) {
      return append_container(dict, DBUS_TYPE_DICT_ENTRY, nullptr,
                              [&](DBusMessageIter& entry) {
                                return append_string(entry, "org.freedesktop.Secret.Item.Label") &&
                                       append_container(entry, DBUS_TYPE_VARIANT, "s", [&](DBusMessageIter& v) {
                                         return append_string(v, label_text.c_str());
                                       });
                              }) &&
             append_container(dict, DBUS_TYPE_DICT_ENTRY, nullptr, [&](DBusMessageIter& entry) {
               return append_string(entry, "org.freedesktop.Secret.Item.Attributes") &&
                      append_container(entry, DBUS_TYPE_VARIANT, "a{ss}",
                                       [&](DBusMessageIter& v) { return append_attributes(v, attributes); });
             });
    });
    const bool value = append_container(it, DBUS_TYPE_STRUCT, nullptr, [&](DBusMessageIter& s) {
      return append_path(s, session_path_.c_str()) && append_bytes(s, encrypted->iv) &&
             append_bytes(s, encrypted->ciphertext) && append_string(s, kContentType);
    });
    return properties && value && append_bool(it, true);
  });
  if (!created) return std::unexpected(created.error());
  if (dbus_message_has_signature(created->get(), "oo") == 0) return std::unexpected(unexpected_reply("CreateItem"));
  DBusMessageIter created_it;
  dbus_message_iter_init(created->get(), &created_it);
  dbus_message_iter_next(&created_it);
  const std::string prompt = read_string(created_it);
  if (prompt == kNoObject) return {};
  auto answered = await_prompt(prompt, "creating the Secret Service item");
  if (!answered) return std::unexpected(answered.error());
  return {};
}

}  // namespace zantu::core::detail
