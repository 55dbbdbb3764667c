// The cryptography of the Secret Service's encrypted session
// "dh-ietf1024-sha256-aes128-cbc-pkcs7": Diffie-Hellman in the 1024-bit MODP
// group of RFC 2409 (generator 2), HKDF-SHA256 without salt or info down to a
// 16-byte AES-128 key, and AES-128-CBC with PKCS#7 padding. The numbers and
// the cipher are OpenSSL's, HMAC-SHA256 is libsodium's. Internal to the OS
// keyring.
#pragma once

#include <openssl/types.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <vector>

#include "zantu/core/error.hpp"
#include "zantu/core/secret.hpp"

namespace zantu::core::detail {

// One side of one session's key agreement, and the session key once agreed.
// OpenSSL runs in a library context of its own, made with this object and
// freed with it, with the default provider loaded into it; the cipher is
// called through that provider's own functions, never through OpenSSL's EVP
// layer, whose every initialisation would set up the process's default
// library context and so read the host's OpenSSL configuration file. So that
// file is neither read nor changed, and nothing outlives the exchange. The
// private exponent lives in an OpenSSL number that is cleared when freed; the
// shared secret, the key derivation's intermediate key and the session key
// live in wiping buffers, and the cipher's state is cleared when freed. Every
// failure is a `CoreErrorKind::KeyringFailure` whose text holds no secret.
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
  struct ProviderUnload {
    void operator()(OSSL_PROVIDER* provider) const noexcept;
  };
  struct NumberClearFree {
    void operator()(BIGNUM* n) const noexcept;
  };

  SessionCrypto(std::unique_ptr<OSSL_LIB_CTX, LibraryContextFree> library,
                std::unique_ptr<OSSL_PROVIDER, ProviderUnload> provider,
                std::unique_ptr<BIGNUM, NumberClearFree> exponent, std::vector<std::uint8_t> public_key) noexcept;

  // AES-128-CBC with PKCS#7 padding under the session key, one way or the
  // other, from `in` into `out` (at least one block longer); the number of
  // bytes written, or nothing when the provider refuses (for a decryption: a
  // bad length or padding).
  [[nodiscard]] std::optional<std::size_t> aes_128_cbc(bool encrypt, std::span<const std::uint8_t> iv,
                                                       std::span<const std::uint8_t> in,
                                                       std::span<std::uint8_t> out) const;

  // The library context goes last, after everything that lives in it.
  std::unique_ptr<OSSL_LIB_CTX, LibraryContextFree> library_;
  std::unique_ptr<OSSL_PROVIDER, ProviderUnload> provider_;
  std::unique_ptr<BIGNUM, NumberClearFree> exponent_;
  std::vector<std::uint8_t> public_key_;
  SecretBuffer session_key_;
};

}  // namespace zantu::core::detail
