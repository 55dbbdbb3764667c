// BLAKE3 digests as lower-case hex: storage ids and short value fingerprints.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

namespace zantu::core::fingerprint {

// All 64 hex digits of the BLAKE3 digest of `bytes`.
[[nodiscard]] std::string blake3_hex(std::span<const std::uint8_t> bytes);
[[nodiscard]] std::string blake3_hex(std::string_view text);

// The first 8 hex digits of the BLAKE3 digest of `bytes`.
[[nodiscard]] std::string fingerprint(std::span<const std::uint8_t> bytes);

}  // namespace zantu::core::fingerprint
