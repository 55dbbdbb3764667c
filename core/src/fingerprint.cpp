#include "zantu/core/fingerprint.hpp"

#include <blake3.h>

#include <array>

#include "zantu/core/secret.hpp"

namespace zantu::core::fingerprint {
namespace {

std::string hex_digest(std::span<const std::uint8_t> bytes, std::size_t num_digits) {
  std::array<std::uint8_t, BLAKE3_OUT_LEN> digest{};
  blake3_hasher hasher;
  blake3_hasher_init(&hasher);
  blake3_hasher_update(&hasher, bytes.data(), bytes.size());
  blake3_hasher_finalize(&hasher, digest.data(), digest.size());
  // The hasher keeps the input's last block; a fingerprint's input is a
  // secret value.
  wipe_bytes(&hasher, sizeof hasher);
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string out;
  out.reserve(num_digits);
  for (std::size_t i = 0; i < num_digits; ++i) {
    std::uint8_t b = digest[i / 2];
    out += kDigits[(i % 2 == 0) ? (b >> 4) : (b & 0x0f)];
  }
  return out;
}

}  // namespace

std::string blake3_hex(std::span<const std::uint8_t> bytes) { return hex_digest(bytes, 2 * BLAKE3_OUT_LEN); }

std::string blake3_hex(std::string_view text) {
  return blake3_hex(std::span(reinterpret_cast<const std::uint8_t*>(text.data()), text.size()));
}

std::string fingerprint(std::span<const std::uint8_t> bytes) { return hex_digest(bytes, 8); }

}  // namespace zantu::core::fingerprint
