// A stand-in for the Secret Service that misbehaves in the ways a real one
// cannot be made to on demand: it never answers, its prompt stays pending,
// it leaves mid-prompt, it takes the bus down mid-call, or it answers with
// nonsense. It owns "org.freedesktop.secrets" on the session bus it is
// started on, prints "ready" once it does, appends the name of every method
// called on it to the log file, and serves until the bus goes away. Modes:
// "silent", "pending-prompt", "dismiss-prompt", "leave-at-prompt",
// "forged-completion", "drop-bus", "weak-key", "wrong-types", "absent";
// "silent-secret" and "late-secret" find an unlocked item and then never
// answer GetSecret, or answer it only after 2.5 s; "slow" answers every call
// after 1.9 s and never answers its prompt.
//
//     zantu_fake_secret_service MODE LOG
#include <dbus/dbus.h>
#include <signal.h>
#include <sys/types.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <thread>

namespace {

constexpr const char* kItem = "/org/freedesktop/secrets/collection/fake/1";
constexpr const char* kPrompt = "/org/freedesktop/secrets/prompt/p1";
constexpr const char* kSession = "/org/freedesktop/secrets/session/s1";

std::string g_mode;
FILE* g_log = nullptr;

[[noreturn]] void die(const char* what) {
  std::fprintf(stderr, "fake secret service: %s\n", what);
  std::exit(2);
}

void append_bytes(DBusMessageIter& it, const std::uint8_t* data, int len) {
  DBusMessageIter array;
  dbus_message_iter_open_container(&it, DBUS_TYPE_ARRAY, "y", &array);
  dbus_message_iter_append_fixed_array(&array, DBUS_TYPE_BYTE, &data, len);
  dbus_message_iter_close_container(&it, &array);
}

void append_paths(DBusMessageIter& it, const char* path) {
  DBusMessageIter array;
  dbus_message_iter_open_container(&it, DBUS_TYPE_ARRAY, "o", &array);
  if (path != nullptr) dbus_message_iter_append_basic(&array, DBUS_TYPE_OBJECT_PATH, &path);
  dbus_message_iter_close_container(&it, &array);
}

void append_path(DBusMessageIter& it, const char* path) {
  dbus_message_iter_append_basic(&it, DBUS_TYPE_OBJECT_PATH, &path);
}

void send(DBusConnection* c, DBusMessage* m) {
  dbus_connection_send(c, m, nullptr);
  dbus_connection_flush(c);
  dbus_message_unref(m);
}

void emit_completed(DBusConnection* c, bool dismissed) {
  DBusMessage* signal = dbus_message_new_signal(kPrompt, "org.freedesktop.Secret.Prompt", "Completed");
  DBusMessageIter it;
  dbus_message_iter_init_append(signal, &it);
  const dbus_bool_t d = dismissed ? TRUE : FALSE;
  dbus_message_iter_append_basic(&it, DBUS_TYPE_BOOLEAN, &d);
  DBusMessageIter variant;
  dbus_message_iter_open_container(&it, DBUS_TYPE_VARIANT, "ao", &variant);
  append_paths(variant, dismissed ? nullptr : kItem);
  dbus_message_iter_close_container(&it, &variant);
  send(c, signal);
}

// Sends Completed for the pending prompt, claiming it was answered, from a
// connection that is not the service's.
void forge_completion() {
  DBusError err;
  dbus_error_init(&err);
  DBusConnection* other = dbus_bus_get_private(DBUS_BUS_SESSION, &err);
  if (other == nullptr) die("no second connection");
  dbus_connection_set_exit_on_disconnect(other, FALSE);
  emit_completed(other, false);
  dbus_connection_close(other);
  dbus_connection_unref(other);
}

void kill_the_bus(DBusConnection* c) {
  DBusMessage* call = dbus_message_new_method_call(DBUS_SERVICE_DBUS, DBUS_PATH_DBUS, DBUS_INTERFACE_DBUS,
                                                   "GetConnectionUnixProcessID");
  const char* name = DBUS_SERVICE_DBUS;
  dbus_message_append_args(call, DBUS_TYPE_STRING, &name, DBUS_TYPE_INVALID);
  DBusError err;
  dbus_error_init(&err);
  DBusMessage* reply = dbus_connection_send_with_reply_and_block(c, call, 5000, &err);
  dbus_message_unref(call);
  dbus_uint32_t pid = 0;
  if (reply == nullptr || !dbus_message_get_args(reply, &err, DBUS_TYPE_UINT32, &pid, DBUS_TYPE_INVALID) || pid < 2) {
    die("no bus pid");
  }
  dbus_message_unref(reply);
  ::kill(static_cast<pid_t>(pid), SIGKILL);
}

void handle(DBusConnection* c, DBusMessage* m) {
  if (dbus_message_get_type(m) != DBUS_MESSAGE_TYPE_METHOD_CALL) return;
  const std::string_view member = dbus_message_get_member(m);
  std::fprintf(g_log, "%s\n", std::string(member).c_str());
  std::fflush(g_log);
  if (g_mode == "silent") return;
  if (g_mode == "silent-secret" && member == "GetSecret") return;
  if (g_mode == "late-secret" && member == "GetSecret") {
    std::this_thread::sleep_for(std::chrono::milliseconds(2500));
  }
  if (g_mode == "slow") std::this_thread::sleep_for(std::chrono::milliseconds(1900));

  DBusMessage* reply = dbus_message_new_method_return(m);
  DBusMessageIter it;
  dbus_message_iter_init_append(reply, &it);
  if (member == "OpenSession") {
    if (g_mode == "drop-bus") {
      dbus_message_unref(reply);
      kill_the_bus(c);
      return;
    }
    if (g_mode == "wrong-types") {
      const char* text = "not a session";
      dbus_message_iter_append_basic(&it, DBUS_TYPE_STRING, &text);
    } else {
      // 4 = 2^2 is a fine group element; 1 is one that gives the key away.
      const std::uint8_t key[] = {static_cast<std::uint8_t>(g_mode == "weak-key" ? 1 : 4)};
      DBusMessageIter variant;
      dbus_message_iter_open_container(&it, DBUS_TYPE_VARIANT, "ay", &variant);
      append_bytes(variant, key, 1);
      dbus_message_iter_close_container(&it, &variant);
      append_path(it, kSession);
    }
  } else if (member == "SearchItems") {
    const bool unlocked = g_mode == "silent-secret" || g_mode == "late-secret";
    append_paths(it, unlocked ? kItem : nullptr);
    append_paths(it, unlocked ? nullptr : kItem);
  } else if (member == "GetSecret") {
    // Well formed, but not under the session's key.
    const std::uint8_t block[16] = {};
    DBusMessageIter secret;
    dbus_message_iter_open_container(&it, DBUS_TYPE_STRUCT, nullptr, &secret);
    append_path(secret, kSession);
    append_bytes(secret, block, 16);
    append_bytes(secret, block, 16);
    const char* type = "application/octet-stream";
    dbus_message_iter_append_basic(&secret, DBUS_TYPE_STRING, &type);
    dbus_message_iter_close_container(&it, &secret);
  } else if (member == "Unlock") {
    append_paths(it, nullptr);
    append_path(it, kPrompt);
  } else if (member == "Prompt") {
    send(c, reply);
    if (g_mode == "leave-at-prompt") {
      dbus_connection_close(c);
      std::exit(0);
    }
    if (g_mode == "dismiss-prompt") emit_completed(c, true);
    if (g_mode == "forged-completion") forge_completion();
    return;
  } else if (member != "Dismiss" && member != "Close") {
    dbus_message_unref(reply);
    reply = dbus_message_new_error(m, DBUS_ERROR_NOT_SUPPORTED, "the fake does not do that");
  }
  send(c, reply);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) die("usage: zantu_fake_secret_service MODE LOG");
  g_mode = argv[1];
  g_log = std::fopen(argv[2], "a");
  if (g_log == nullptr) die("cannot open the log");
  DBusError err;
  dbus_error_init(&err);
  DBusConnection* c = dbus_bus_get_private(DBUS_BUS_SESSION, &err);
  if (c == nullptr) die(err.message);
  dbus_connection_set_exit_on_disconnect(c, FALSE);
  // "absent" stays on the bus without the service's name.
  if (g_mode != "absent" &&
      dbus_bus_request_name(c, "org.freedesktop.secrets", DBUS_NAME_FLAG_DO_NOT_QUEUE, &err) !=
          DBUS_REQUEST_NAME_REPLY_PRIMARY_OWNER) {
    die("cannot own org.freedesktop.secrets");
  }
  std::printf("ready %s\n", std::getenv("DBUS_SESSION_BUS_ADDRESS"));
  std::fflush(stdout);
  while (dbus_connection_read_write(c, -1)) {
    while (DBusMessage* m = dbus_connection_pop_message(c)) {
      handle(c, m);
      dbus_message_unref(m);
    }
  }
  dbus_connection_close(c);
  dbus_connection_unref(c);
  return 0;
}
