// The core library's error values. Every fallible core operation returns
// `Result<T>`; nothing in the core throws across its API.
#pragma once

#include <cstdint>
#include <expected>
#include <string>
#include <string_view>

namespace zantu::core {

// The 15 kinds, in their fixed order (the numbers are part of the contract).
enum class CoreErrorKind : std::uint8_t {
  InvalidCoordinate = 0,
  Crypto = 1,
  Serialization = 2,
  Io = 3,
  KeyringFailure = 4,
  MetadataIndex = 5,
  NotStorable = 6,
  Policy = 7,
  Audit = 8,
  EnvRefsFailure = 9,
  KeypairFailure = 10,
  TotpFailure = 11,
  Provider = 12,
  Package = 13,
  Format = 14,
};

// One failure of the core: a kind and, for every kind but `Crypto`, a detail.
// The detail never holds secret bytes.
class CoreError {
 public:
  CoreError(CoreErrorKind kind, std::string detail) : kind_(kind), detail_(std::move(detail)) {}

  static CoreError invalid_coordinate(std::string d) { return {CoreErrorKind::InvalidCoordinate, std::move(d)}; }
  static CoreError crypto() { return {CoreErrorKind::Crypto, {}}; }
  static CoreError serialization(std::string d) { return {CoreErrorKind::Serialization, std::move(d)}; }
  static CoreError io(std::string d) { return {CoreErrorKind::Io, std::move(d)}; }
  // `Io` whose detail is "<step>: <os error text>" for the error number `errnum`.
  static CoreError io_errno(std::string_view step, int errnum);
  static CoreError keyring(std::string d) { return {CoreErrorKind::KeyringFailure, std::move(d)}; }
  static CoreError not_storable(std::string d) { return {CoreErrorKind::NotStorable, std::move(d)}; }
  static CoreError audit(std::string d) { return {CoreErrorKind::Audit, std::move(d)}; }
  static CoreError env_refs(std::string d) { return {CoreErrorKind::EnvRefsFailure, std::move(d)}; }
  static CoreError provider(std::string d) { return {CoreErrorKind::Provider, std::move(d)}; }

  [[nodiscard]] CoreErrorKind kind() const noexcept { return kind_; }
  [[nodiscard]] const std::string& detail() const noexcept { return detail_; }

  // The text form: the kind's fixed prefix, then the detail ("crypto operation
  // failed" alone for `Crypto`).
  [[nodiscard]] std::string to_string() const;

  friend bool operator==(const CoreError&, const CoreError&) = default;

 private:
  CoreErrorKind kind_;
  std::string detail_;
};

// The fixed prefix of a kind, e.g. "vault I/O failed: " (no colon for Crypto).
[[nodiscard]] std::string_view core_error_prefix(CoreErrorKind kind) noexcept;

// An operating-system error's text: "<description> (os error <n>)".
[[nodiscard]] std::string os_error_text(int errnum);

// `text` between double quotes with the escapes of a debug form: \" \\ \n \r
// \t \0, other control characters (C0, DEL, C1) as \u{hex}, bytes that are
// not UTF-8 as \xHH; everything else as it is. Paths in messages use this form
// with `escape_single_quote` set (a quote is then written \').
[[nodiscard]] std::string debug_quoted(std::string_view text, bool escape_single_quote = false);

// A file-system path in a message: debug_quoted(path, true).
[[nodiscard]] std::string quote_path(std::string_view path);

template <class T>
using Result = std::expected<T, CoreError>;

using Status = std::expected<void, CoreError>;

}  // namespace zantu::core
