// Sealing records with ChaCha20-Poly1305 (RFC 8439) under the master key.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "zantu/core/error.hpp"
#include "zantu/core/master_key.hpp"
#include "zantu/core/record.hpp"

namespace zantu::core {

// A sealed record: only ciphertext, so it is freed plainly.
struct SealedRecord {
  std::vector<std::uint8_t> nonce;       // 12 bytes, fresh for every seal
  std::vector<std::uint8_t> ciphertext;  // the encrypted text followed by the 16-byte tag

  friend bool operator==(const SealedRecord&, const SealedRecord&) = default;
};

namespace crypto {

inline constexpr std::size_t kKeyLen = 32;
inline constexpr std::size_t kNonceLen = 12;
inline constexpr std::size_t kTagLen = 16;

// Writes the record's JSON into a wiping buffer and seals it; the buffer is
// wiped whether sealing succeeds or not.
[[nodiscard]] Result<SealedRecord> seal(const SecretRecord& record, const MasterKey& key);

// Seals `plaintext` with a nonce drawn from the operating system's random
// source and empty associated data. Fails only with `Crypto`.
[[nodiscard]] Result<SealedRecord> seal_bytes(std::span<const std::uint8_t> plaintext, const MasterKey& key);

// Checks the tag, then reads the plaintext as a record. A wrong nonce length,
// a wrong key, altered bytes or a cut tag are all `Crypto`; a plaintext that is
// not a record is `Serialization` with the reader's text. The plaintext is
// wiped on every path.
[[nodiscard]] Result<SecretRecord> open(const SealedRecord& sealed, const MasterKey& key);

}  // namespace crypto
}  // namespace zantu::core
