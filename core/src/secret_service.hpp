// A client of the freedesktop Secret Service ("org.freedesktop.secrets" at
// "/org/freedesktop/secrets") on a private session-bus connection of
// libdbus-1, for one keyring call. Internal to the OS keyring.
#pragma once

#include <dbus/dbus.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "secret_service_crypto.hpp"
#include "zantu/core/error.hpp"
#include "zantu/core/secret.hpp"

namespace zantu::core::detail {

// How long the client waits, at most, on the monotonic clock.
struct SecretServiceLimits {
  // For the login to the bus, and for each D-Bus method call (the bus's own
  // included) from its sending to its reply.
  std::chrono::milliseconds reply;
  // For a prompt (an unlock or a creation) to be answered.
  std::chrono::milliseconds prompt;
};

// The entries of a D-Bus address (";"-separated) that the client may open:
// "unix:path=" and "unix:abstract=" ones, in their order, each rewritten as an
// address of its own (its guid kept). Entries of every other transport are
// passed over, since some of them start programs ("unixexec:",
// "autolaunch:"). An address that does not parse (libdbus's text), or holds
// no such entry, is a `CoreErrorKind::KeyringFailure` that says so.
[[nodiscard]] Result<std::vector<std::string>> usable_bus_addresses(std::string_view address);

// The attributes an item is found and stored by.
struct SecretServiceAttributes {
  std::string_view service;
  std::string_view username;
  std::string_view target;
};

// One encrypted session with the Secret Service over a connection of its own.
// `open` connects to the session bus named by DBUS_SESSION_BUS_ADDRESS (its
// usable entries in order, see `usable_bus_addresses`; else the socket "bus"
// in XDG_RUNTIME_DIR; no other way, and nothing is started), logs in,
// registers, and opens the "dh-ietf1024-sha256-aes128-cbc-pkcs7" session.
// Destruction closes the service's session object (unless the service has
// stopped answering), then closes and releases the connection. No thread is
// started, no handler or filter is installed, and the connection never ends
// the process when the bus goes away.
//
// Every wait is the client's own poll on the connection's socket against a
// deadline on the monotonic clock, taken up again with the time left after a
// signal; libdbus itself only reads, writes and parses what is ready. The one
// wait that is not bounded is the connect() inside libdbus, which blocks while
// the listening socket's queue is full. Every failure is a
// `CoreErrorKind::KeyringFailure` whose text names the step and holds no
// secret.
class SecretServiceSession {
 public:
  [[nodiscard]] static Result<SecretServiceSession> open(SecretServiceLimits limits);

  SecretServiceSession(SecretServiceSession&&) noexcept = default;
  SecretServiceSession& operator=(SecretServiceSession&&) noexcept = delete;
  SecretServiceSession(const SecretServiceSession&) = delete;
  SecretServiceSession& operator=(const SecretServiceSession&) = delete;
  ~SecretServiceSession();

  // The secret of the one item with `attributes`, in any collection,
  // unlocked through the service's prompt when it is locked. No item, more
  // than one, a dismissed or unanswered prompt and a secret that does not
  // decrypt are failures.
  [[nodiscard]] Result<SecretBuffer> read_secret(const SecretServiceAttributes& attributes);

  // Stores `secret` as the item with `attributes` and `label` in the
  // collection with the alias "default" (unlocked first when locked),
  // replacing the secret of an item with exactly these attributes.
  [[nodiscard]] Status store_secret(const SecretServiceAttributes& attributes, std::string_view label,
                                    std::span<const std::uint8_t> secret);

 private:
  struct ConnectionClose {
    void operator()(DBusConnection* c) const noexcept;
  };
  struct MessageUnref {
    void operator()(DBusMessage* m) const noexcept;
  };
  using Connection = std::unique_ptr<DBusConnection, ConnectionClose>;
  using Message = std::unique_ptr<DBusMessage, MessageUnref>;

  using Clock = std::chrono::steady_clock;

  SecretServiceSession(Connection connection, int socket, SecretServiceLimits limits, SessionCrypto crypto) noexcept;

  // The connection's watches: which readiness of its socket libdbus is
  // waiting for, kept up to date by libdbus through the watch functions.
  struct Watches {
    std::vector<DBusWatch*> list;
  };

  // Has libdbus report its watches; false when it runs out of memory.
  [[nodiscard]] bool track_watches() noexcept;
  // One step of libdbus that never blocks: reads what has come, writes what
  // the socket takes, and queues the messages that are whole.
  void pump() noexcept;
  // Waits until the socket is ready for what an enabled watch asks, or until
  // `until`; false once `until` has passed.
  [[nodiscard]] bool wait(Clock::time_point until) const noexcept;
  // Takes the next incoming message, those held back by `call` first.
  [[nodiscard]] Message next_message() noexcept;
  [[nodiscard]] Status login();
  // Sends `request` and waits for its reply; other messages that come
  // meanwhile are held back for `next_message`.
  [[nodiscard]] Result<Message> call(Message request, std::string_view what);
  [[nodiscard]] Result<Message> call_service(const char* path, const char* interface, const char* method,
                                             const std::function<bool(DBusMessageIter&)>& append_args);
  [[nodiscard]] Status open_encrypted_session();
  [[nodiscard]] Status unlock(const std::string& object, std::string_view what);
  // Shows the prompt and waits for its answer: the objects it names (the
  // unlocked ones, or the created item), or a failure when it is dismissed,
  // not answered in time, or the service or the bus goes away meanwhile.
  [[nodiscard]] Result<std::vector<std::string>> await_prompt(const std::string& prompt, std::string_view what);
  [[nodiscard]] Status add_match(const std::string& rule);

  // Before the connection, which is closed first and removes its watches.
  std::unique_ptr<Watches> watches_;
  Connection connection_;
  // The connection's socket, owned by libdbus.
  int socket_ = -1;
  SecretServiceLimits limits_;
  // Signals that came while a reply was awaited, oldest first, at most
  // kMaxHeld of them.
  std::vector<Message> held_;
  SessionCrypto crypto_;
  // The service's unique bus name, which alone may send its signals.
  std::string service_name_;
  // The object path of the open session; empty until it is open.
  std::string session_path_;
  // Cleared once a call goes unanswered or the connection drops, so that
  // closing does not wait again.
  bool responsive_ = true;
};

}  // namespace zantu::core::detail
