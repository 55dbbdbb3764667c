#include "zantu/core/master_key.hpp"

#include <algorithm>

#include "zantu/core/secret.hpp"

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

}  // namespace zantu::core
