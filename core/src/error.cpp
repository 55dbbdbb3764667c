#include "zantu/core/error.hpp"

#include <cstring>

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

}  // namespace zantu::core
