#include "secret_service_crypto.hpp"

#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/kdf.h>
#include <openssl/params.h>
#include <sodium.h>

#include <climits>
#include <utility>

namespace zantu::core::detail {

namespace {

struct NumberFree {
  void operator()(BIGNUM* n) const noexcept { BN_free(n); }
};
using Number = std::unique_ptr<BIGNUM, NumberFree>;
struct NumberContextFree {
  void operator()(BN_CTX* c) const noexcept { BN_CTX_free(c); }
};
struct CipherFree {
  void operator()(EVP_CIPHER* c) const noexcept { EVP_CIPHER_free(c); }
};
struct CipherContextFree {
  void operator()(EVP_CIPHER_CTX* c) const noexcept { EVP_CIPHER_CTX_free(c); }
};
struct KdfFree {
  void operator()(EVP_KDF* k) const noexcept { EVP_KDF_free(k); }
};
struct KdfContextFree {
  void operator()(EVP_KDF_CTX* k) const noexcept { EVP_KDF_CTX_free(k); }
};

CoreError failure(const char* what) {
  return CoreError::keyring(std::string("Secret Service session cryptography failed: ") + what);
}

// 2^exponent mod p, or g^exponent for a given base. Secure numbers and
// contexts are cleared when freed; OpenSSL falls back to the ordinary heap
// when no secure heap was set up, and still clears them.
Result<std::vector<std::uint8_t>> power_of_two_mod_p(OSSL_LIB_CTX* library, const BIGNUM* exponent) {
  std::unique_ptr<BN_CTX, NumberContextFree> ctx(BN_CTX_secure_new_ex(library));
  Number p(BN_get_rfc2409_prime_1024(nullptr));
  Number g(BN_new());
  Number y(BN_new());
  if (!ctx || !p || !g || !y || BN_set_word(g.get(), 2) != 1) return std::unexpected(failure("no memory"));
  if (BN_mod_exp(y.get(), g.get(), exponent, p.get(), ctx.get()) != 1) {
    return std::unexpected(failure("modular exponentiation"));
  }
  std::vector<std::uint8_t> out(SessionCrypto::kGroupLen);
  if (BN_bn2binpad(y.get(), out.data(), static_cast<int>(out.size())) != static_cast<int>(out.size())) {
    return std::unexpected(failure("public key encoding"));
  }
  return out;
}

// The private exponent from big-endian bytes: at least 2 and below p - 1.
Result<std::unique_ptr<BIGNUM, void (*)(BIGNUM*)>> exponent_from(std::span<const std::uint8_t> bytes) {
  std::unique_ptr<BIGNUM, void (*)(BIGNUM*)> x(BN_secure_new(), BN_clear_free);
  Number p(BN_get_rfc2409_prime_1024(nullptr));
  Number bound(BN_new());
  if (!x || !p || !bound || BN_sub(bound.get(), p.get(), BN_value_one()) != 1) {
    return std::unexpected(failure("no memory"));
  }
  if (bytes.size() > SessionCrypto::kGroupLen ||
      BN_bin2bn(bytes.data(), static_cast<int>(bytes.size()), x.get()) == nullptr) {
    return std::unexpected(failure("private exponent"));
  }
  if (BN_cmp(x.get(), BN_value_one()) <= 0 || BN_cmp(x.get(), bound.get()) >= 0) {
    return std::unexpected(failure("private exponent out of range"));
  }
  // Exponentiations with it take the constant-time path.
  BN_set_flags(x.get(), BN_FLG_CONSTTIME);
  return x;
}

}  // namespace

void SessionCrypto::LibraryContextFree::operator()(OSSL_LIB_CTX* ctx) const noexcept { OSSL_LIB_CTX_free(ctx); }
void SessionCrypto::NumberClearFree::operator()(BIGNUM* n) const noexcept { BN_clear_free(n); }

SessionCrypto::SessionCrypto(std::unique_ptr<OSSL_LIB_CTX, LibraryContextFree> library,
                             std::unique_ptr<BIGNUM, NumberClearFree> exponent,
                             std::vector<std::uint8_t> public_key) noexcept
    : library_(std::move(library)), exponent_(std::move(exponent)), public_key_(std::move(public_key)) {}

SessionCrypto::SessionCrypto(SessionCrypto&&) noexcept = default;
SessionCrypto& SessionCrypto::operator=(SessionCrypto&&) noexcept = default;
// Members go in reverse order: the key is wiped, the exponent cleared, and the
// library context, which they do not use, freed last.
SessionCrypto::~SessionCrypto() = default;

Result<SessionCrypto> SessionCrypto::generate() {
  if (sodium_init() < 0) return std::unexpected(failure("no random source"));
  SecretBuffer raw;
  raw.resize(kGroupLen);
  randombytes_buf(raw.data(), raw.size());
  // Below 2^1023, so below p - 1 whatever the rest.
  raw.data()[0] &= 0x7f;
  return from_private_exponent(raw.as_bytes());
}

Result<SessionCrypto> SessionCrypto::from_private_exponent(std::span<const std::uint8_t> exponent) {
  std::unique_ptr<OSSL_LIB_CTX, LibraryContextFree> library(OSSL_LIB_CTX_new());
  if (!library) return std::unexpected(failure("no library context"));
  auto x = exponent_from(exponent);
  if (!x) return std::unexpected(x.error());
  std::unique_ptr<BIGNUM, NumberClearFree> owned(x->release());
  auto y = power_of_two_mod_p(library.get(), owned.get());
  if (!y) return std::unexpected(y.error());
  return SessionCrypto(std::move(library), std::move(owned), std::move(*y));
}

Status SessionCrypto::agree(std::span<const std::uint8_t> peer_public_key) {
  session_key_.wipe();
  std::unique_ptr<BN_CTX, NumberContextFree> ctx(BN_CTX_secure_new_ex(library_.get()));
  Number p(BN_get_rfc2409_prime_1024(nullptr));
  Number bound(BN_new());
  Number y(BN_new());
  std::unique_ptr<BIGNUM, NumberClearFree> shared(BN_secure_new());
  if (!ctx || !p || !bound || !y || !shared || BN_sub(bound.get(), p.get(), BN_value_one()) != 1) {
    return std::unexpected(failure("no memory"));
  }
  // 0, 1 and p - 1 would make the shared secret known to anyone; larger
  // values are not group elements.
  if (peer_public_key.size() > kGroupLen ||
      BN_bin2bn(peer_public_key.data(), static_cast<int>(peer_public_key.size()), y.get()) == nullptr ||
      BN_cmp(y.get(), BN_value_one()) <= 0 || BN_cmp(y.get(), bound.get()) >= 0) {
    return std::unexpected(CoreError::keyring("the Secret Service offered an invalid session public key"));
  }
  if (BN_mod_exp(shared.get(), y.get(), exponent_.get(), p.get(), ctx.get()) != 1) {
    return std::unexpected(failure("modular exponentiation"));
  }
  SecretBuffer secret;
  secret.resize(kGroupLen);
  if (BN_bn2binpad(shared.get(), secret.data(), static_cast<int>(secret.size())) != static_cast<int>(kGroupLen)) {
    return std::unexpected(failure("shared secret encoding"));
  }
  shared.reset();

  // RFC 5869 with no salt (a zero key of the hash's length) and empty info.
  std::unique_ptr<EVP_KDF, KdfFree> kdf(EVP_KDF_fetch(library_.get(), "HKDF", nullptr));
  if (!kdf) return std::unexpected(failure("HKDF unavailable"));
  std::unique_ptr<EVP_KDF_CTX, KdfContextFree> kctx(EVP_KDF_CTX_new(kdf.get()));
  if (!kctx) return std::unexpected(failure("no memory"));
  char digest[] = "SHA256";
  const OSSL_PARAM params[] = {
      OSSL_PARAM_construct_utf8_string(OSSL_KDF_PARAM_DIGEST, digest, 0),
      OSSL_PARAM_construct_octet_string(OSSL_KDF_PARAM_KEY, secret.data(), secret.size()),
      OSSL_PARAM_construct_end(),
  };
  SecretBuffer key;
  key.resize(kKeyLen);
  if (EVP_KDF_derive(kctx.get(), key.data(), key.size(), params) != 1) return std::unexpected(failure("HKDF"));
  session_key_ = std::move(key);
  return {};
}

Result<SecretBuffer> SessionCrypto::decrypt(std::span<const std::uint8_t> iv,
                                            std::span<const std::uint8_t> ciphertext) const {
  const CoreError undecryptable = CoreError::keyring("the Secret Service sent a secret that does not decrypt");
  if (!agreed()) return std::unexpected(failure("no session key"));
  if (iv.size() != kIvLen || ciphertext.empty() || ciphertext.size() % kBlockLen != 0 ||
      ciphertext.size() > static_cast<std::size_t>(INT_MAX) - kBlockLen) {
    return std::unexpected(undecryptable);
  }
  std::unique_ptr<EVP_CIPHER, CipherFree> cipher(EVP_CIPHER_fetch(library_.get(), "AES-128-CBC", nullptr));
  std::unique_ptr<EVP_CIPHER_CTX, CipherContextFree> ctx(EVP_CIPHER_CTX_new());
  if (!cipher || !ctx) return std::unexpected(failure("AES-128-CBC unavailable"));
  SecretBuffer out;
  out.resize(ciphertext.size() + kBlockLen);
  int head = 0;
  int tail = 0;
  if (EVP_DecryptInit_ex2(ctx.get(), cipher.get(), session_key_.data(), iv.data(), nullptr) != 1 ||
      EVP_DecryptUpdate(ctx.get(), out.data(), &head, ciphertext.data(), static_cast<int>(ciphertext.size())) != 1 ||
      EVP_DecryptFinal_ex(ctx.get(), out.data() + head, &tail) != 1) {
    return std::unexpected(undecryptable);
  }
  out.resize(static_cast<std::size_t>(head) + static_cast<std::size_t>(tail));
  return out;
}

Result<SessionCrypto::Encrypted> SessionCrypto::encrypt(std::span<const std::uint8_t> plaintext) const {
  if (!agreed()) return std::unexpected(failure("no session key"));
  if (sodium_init() < 0) return std::unexpected(failure("no random source"));
  if (plaintext.size() > static_cast<std::size_t>(INT_MAX) - kBlockLen) return std::unexpected(failure("too long"));
  std::unique_ptr<EVP_CIPHER, CipherFree> cipher(EVP_CIPHER_fetch(library_.get(), "AES-128-CBC", nullptr));
  std::unique_ptr<EVP_CIPHER_CTX, CipherContextFree> ctx(EVP_CIPHER_CTX_new());
  if (!cipher || !ctx) return std::unexpected(failure("AES-128-CBC unavailable"));
  Encrypted out;
  randombytes_buf(out.iv.data(), out.iv.size());
  out.ciphertext.resize(plaintext.size() + kBlockLen);
  int head = 0;
  int tail = 0;
  if (EVP_EncryptInit_ex2(ctx.get(), cipher.get(), session_key_.data(), out.iv.data(), nullptr) != 1 ||
      EVP_EncryptUpdate(ctx.get(), out.ciphertext.data(), &head, plaintext.data(), static_cast<int>(plaintext.size())) !=
          1 ||
      EVP_EncryptFinal_ex(ctx.get(), out.ciphertext.data() + head, &tail) != 1) {
    return std::unexpected(failure("AES-128-CBC encryption"));
  }
  out.ciphertext.resize(static_cast<std::size_t>(head) + static_cast<std::size_t>(tail));
  return out;
}

}  // namespace zantu::core::detail
