#include "zantu/core/crypto.hpp"

#include <sodium.h>

namespace zantu::core::crypto {

static_assert(kKeyLen == crypto_aead_chacha20poly1305_IETF_KEYBYTES);
static_assert(kNonceLen == crypto_aead_chacha20poly1305_IETF_NPUBBYTES);
static_assert(kTagLen == crypto_aead_chacha20poly1305_IETF_ABYTES);
static_assert(MasterKey::kLen == kKeyLen);

namespace {

// libsodium picks its fastest implementations here; safe to call repeatedly.
bool sodium_ready() noexcept { return sodium_init() >= 0; }

}  // namespace

// The key is handed to libsodium in place: no working copy of it is made, and
// libsodium clears its own key schedule before returning.

Result<SealedRecord> seal(const SecretRecord& record, const MasterKey& key) {
  SecretBuffer plaintext;
  plaintext.reserve(512);
  record.serialize(plaintext);
  return seal_bytes(plaintext.as_bytes(), key);
}

Result<SealedRecord> seal_bytes(std::span<const std::uint8_t> plaintext, const MasterKey& key) {
  if (!sodium_ready() || plaintext.size() > crypto_aead_chacha20poly1305_ietf_MESSAGEBYTES_MAX) {
    return std::unexpected(CoreError::crypto());
  }
  SealedRecord sealed;
  sealed.nonce.resize(kNonceLen);
  // A failing random source aborts inside libsodium: nothing is ever sealed
  // under a nonce that was not drawn.
  randombytes_buf(sealed.nonce.data(), sealed.nonce.size());
  sealed.ciphertext.resize(plaintext.size() + kTagLen);
  unsigned long long ciphertext_len = 0;
  if (crypto_aead_chacha20poly1305_ietf_encrypt(sealed.ciphertext.data(), &ciphertext_len, plaintext.data(),
                                                plaintext.size(), nullptr, 0, nullptr, sealed.nonce.data(),
                                                key.bytes().data()) != 0 ||
      ciphertext_len != sealed.ciphertext.size()) {
    return std::unexpected(CoreError::crypto());
  }
  return sealed;
}

Result<SecretRecord> open(const SealedRecord& sealed, const MasterKey& key) {
  if (sealed.nonce.size() != kNonceLen || sealed.ciphertext.size() < kTagLen || !sodium_ready()) {
    return std::unexpected(CoreError::crypto());
  }
  SecretBuffer plaintext;
  plaintext.resize(sealed.ciphertext.size() - kTagLen);
  unsigned long long plaintext_len = 0;
  if (crypto_aead_chacha20poly1305_ietf_decrypt(plaintext.data(), &plaintext_len, nullptr,
                                                sealed.ciphertext.data(), sealed.ciphertext.size(), nullptr, 0,
                                                sealed.nonce.data(), key.bytes().data()) != 0) {
    return std::unexpected(CoreError::crypto());
  }
  plaintext.resize(static_cast<std::size_t>(plaintext_len));
  return SecretRecord::deserialize(plaintext.as_bytes());
}

}  // namespace zantu::core::crypto
