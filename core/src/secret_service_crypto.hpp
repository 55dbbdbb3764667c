// The cryptography of the Secret Service's encrypted session
// "dh-ietf1024-sha256-aes128-cbc-pkcs7": Diffie-Hellman in the 1024-bit MODP
// group of RFC 2409 (generator 2), HKDF-SHA256 without salt or info down to a
// 16-byte AES-128 key, and AES-128-CBC with PKCS#7 padding. Internal to the
// OS keyring.
#pragma once

#include <openssl/types.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "zantu/core/error.hpp"
#include "zantu/core/secret.hpp"

namespace zantu::core::detail {

// One side of one session's key agreement, and the session key once agreed.
// Everything runs in an OpenSSL library context of its own, made with this
// object and freed with it, so the host's OpenSSL configuration is neither
// read nor changed and nothing outlives the exchange. The private exponent
// lives in an OpenSSL number that is cleared when freed; the shared secret and
// the session key live in wiping buffers. Every failure is a
// `CoreErrorKind::KeyringFailure` whose text holds no secret.
class SessionCrypto {
 public:
  // Bytes of a group element (the prime's size), of the AES key and of an IV.
  static constexpr std::size_t kGroupLen = 128;
  static constexpr std::size_t kKeyLen = 16;
  static constexpr std::size_t kIvLen = 16;
  static constexpr std::size_t kBlockLen = 16;

  // A fresh private exponent of 1023 random bits.
  [[nodiscard]] static Result<SessionCrypto> generate();
  // The given private exponent (big-endian, at most kGroupLen bytes, at least
  // 2): for known-answer tests.
  [[nodiscard]] static Result<SessionCrypto> from_private_exponent(std::span<const std::uint8_t> exponent);

  SessionCrypto(SessionCrypto&&) noexcept;
  SessionCrypto& operator=(SessionCrypto&&) noexcept;
  ~SessionCrypto();

  // 2^x mod p, big-endian, kGroupLen bytes (left-padded with zeros).
  [[nodiscard]] std::span<const std::uint8_t> public_key() const noexcept { return public_key_; }

  // Takes the service's public key (big-endian, any length up to kGroupLen
  // bytes, strictly between 1 and p - 1) and derives the session key from the
  // shared secret written as kGroupLen big-endian bytes.
  [[nodiscard]] Status agree(std::span<const std::uint8_t> peer_public_key);
  [[nodiscard]] bool agreed() const noexcept { return session_key_.size() == kKeyLen; }
  // The derived key: for tests.
  [[nodiscard]] std::span<const std::uint8_t> session_key() const noexcept { return session_key_.as_bytes(); }

  // The plaintext of one secret, or a failure when the IV is not 16 bytes,
  // the ciphertext is empty or not whole blocks, or the padding is wrong.
  [[nodiscard]] Result<SecretBuffer> decrypt(std::span<const std::uint8_t> iv,
                                             std::span<const std::uint8_t> ciphertext) const;

  struct Encrypted {
    std::array<std::uint8_t, kIvLen> iv{};
    std::vector<std::uint8_t> ciphertext;
  };
  // `plaintext` under a fresh random IV.
  [[nodiscard]] Result<Encrypted> encrypt(std::span<const std::uint8_t> plaintext) const;

 private:
  struct LibraryContextFree {
    void operator()(OSSL_LIB_CTX* ctx) const noexcept;
  };
  struct NumberClearFree {
    void operator()(BIGNUM* n) const noexcept;
  };

  SessionCrypto(std::unique_ptr<OSSL_LIB_CTX, LibraryContextFree> library,
                std::unique_ptr<BIGNUM, NumberClearFree> exponent, std::vector<std::uint8_t> public_key) noexcept;

  std::unique_ptr<OSSL_LIB_CTX, LibraryContextFree> library_;
  std::unique_ptr<BIGNUM, NumberClearFree> exponent_;
  std::vector<std::uint8_t> public_key_;
  SecretBuffer session_key_;
};

}  // namespace zantu::core::detail
