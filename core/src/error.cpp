#include "zantu/core/error.hpp"

#include <cstring>

#include "zantu/core/utf8.hpp"

namespace zantu::core {

std::string_view core_error_prefix(CoreErrorKind kind) noexcept {
  switch (kind) {
    case CoreErrorKind::InvalidCoordinate: return "invalid coordinate URI: ";
    case CoreErrorKind::Crypto: return "crypto operation failed";
    case CoreErrorKind::Serialization: return "record serialization failed: ";
    case CoreErrorKind::Io: return "vault I/O failed: ";
    case CoreErrorKind::KeyringFailure: return "keyring operation failed: ";
    case CoreErrorKind::MetadataIndex: return "metadata index failed: ";
    case CoreErrorKind::NotStorable: return "coordinate is not storable: ";
    case CoreErrorKind::Policy: return "policy error: ";
    case CoreErrorKind::Audit: return "audit error: ";
    case CoreErrorKind::EnvRefsFailure: return "env-refs error: ";
    case CoreErrorKind::KeypairFailure: return "keypair operation failed: ";
    case CoreErrorKind::TotpFailure: return "totp operation failed: ";
    case CoreErrorKind::Provider: return "provider error: ";
    case CoreErrorKind::Package: return "package error: ";
    case CoreErrorKind::Format: return "format error: ";
  }
  return "unknown error: ";
}

std::string CoreError::to_string() const {
  std::string out(core_error_prefix(kind_));
  if (kind_ != CoreErrorKind::Crypto) out += detail_;
  return out;
}

std::string os_error_text(int errnum) {
  // strerror_r (GNU form) may return a static string rather than fill buf.
  char buf[256];
  const char* text = strerror_r(errnum, buf, sizeof buf);
  std::string out(text);
  out += " (os error ";
  out += std::to_string(errnum);
  out += ')';
  return out;
}

CoreError CoreError::io_errno(std::string_view step, int errnum) {
  std::string d(step);
  d += ": ";
  d += os_error_text(errnum);
  return io(std::move(d));
}

std::string debug_quoted(std::string_view text, bool escape_single_quote) {
  static constexpr char kHex[] = "0123456789abcdef";
  static constexpr char kHexUpper[] = "0123456789ABCDEF";
  std::string out;
  out.reserve(text.size() + 2);
  out += '"';
  for (std::size_t i = 0; i < text.size();) {
    char32_t cp = 0;
    const std::size_t len = utf8::sequence_len(text, i, &cp);
    if (len == 0) {
      const auto b = static_cast<std::uint8_t>(text[i]);
      out += "\\x";
      out += kHexUpper[b >> 4];
      out += kHexUpper[b & 0xF];
      ++i;
      continue;
    }
    switch (cp) {
      case U'\0': out += "\\0"; break;
      case U'\t': out += "\\t"; break;
      case U'\n': out += "\\n"; break;
      case U'\r': out += "\\r"; break;
      case U'"': out += "\\\""; break;
      case U'\\': out += "\\\\"; break;
      case U'\'':
        if (escape_single_quote) out += '\\';
        out += '\'';
        break;
      default:
        if (cp < 0x20 || (cp >= 0x7F && cp <= 0x9F)) {
          out += "\\u{";
          if (cp >= 0x10) out += kHex[cp >> 4];
          out += kHex[cp & 0xF];
          out += '}';
        } else {
          out.append(text.substr(i, len));
        }
    }
    i += len;
  }
  out += '"';
  return out;
}

std::string quote_path(std::string_view path) { return debug_quoted(path, true); }

}  // namespace zantu::core
