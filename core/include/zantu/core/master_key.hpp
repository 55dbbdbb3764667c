// The vault's master key: the one type every user of the key needs, apart from
// the sources it comes from (keyring.hpp).
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

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

}  // namespace zantu::core
