// The vault's master key and the sources it comes from.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

#include "zantu/core/error.hpp"

namespace zantu::core {

// Exactly 32 key bytes; every copy is wiped when dropped. No text form.
class MasterKey {
 public:
  static constexpr std::size_t kLen = 32;

  explicit MasterKey(std::span<const std::uint8_t, kLen> bytes) noexcept;
  MasterKey(const MasterKey& other) noexcept;
  MasterKey& operator=(const MasterKey& other) noexcept;
  ~MasterKey();

  [[nodiscard]] std::span<const std::uint8_t, kLen> bytes() const noexcept { return bytes_; }

 private:
  std::array<std::uint8_t, kLen> bytes_;
};

// A source of the master key. Callers use it through this interface.
class Keyring {
 public:
  virtual ~Keyring() = default;
  [[nodiscard]] virtual Result<MasterKey> get_master_key() const = 0;
  [[nodiscard]] virtual Status set_master_key(const MasterKey& key) const = 0;
};

}  // namespace zantu::core
