#include "zantu/core/secret.hpp"

#include <sodium.h>

namespace zantu::core {

void wipe_bytes(void* p, std::size_t len) noexcept {
  if (p != nullptr && len != 0) sodium_memzero(p, len);
}

void wipe_string(std::string& s) noexcept {
  // data() covers capacity() bytes plus the terminator; short strings live in
  // the object itself and are covered the same way.
  wipe_bytes(s.data(), s.capacity());
  s.clear();
}

SecretBuffer& SecretBuffer::operator=(SecretBuffer&& other) noexcept {
  if (this != &other) {
    wipe();
    bytes_ = std::move(other.bytes_);
  }
  return *this;
}

void SecretBuffer::clear() noexcept {
  wipe_bytes(bytes_.data(), bytes_.size());
  bytes_.clear();
}

void SecretBuffer::wipe() noexcept {
  wipe_bytes(bytes_.data(), bytes_.size());
  bytes_.clear();
  wipe_bytes(bytes_.data(), bytes_.capacity());
}

SecretValue SecretValue::from(std::string&& text) {
  SecretValue v = from(std::string_view(text));
  wipe_string(text);
  return v;
}

bool SecretValue::equals(std::span<const std::uint8_t> other) const noexcept {
  auto mine = as_bytes();
  if (mine.size() != other.size()) return false;
  if (mine.empty()) return true;
  return sodium_memcmp(mine.data(), other.data(), mine.size()) == 0;
}

}  // namespace zantu::core
