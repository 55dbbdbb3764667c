#include "secret_service_crypto.hpp"

#include <openssl/bn.h>
#include <openssl/core_dispatch.h>
#include <openssl/provider.h>
#include <sodium.h>

#include <algorithm>
#include <array>
#include <climits>
#include <string_view>
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

static_assert(crypto_auth_hmacsha256_BYTES == 32 && crypto_auth_hmacsha256_KEYBYTES == 32);

// RFC 5869 HKDF with HMAC-SHA256, no salt (a zero key of the hash's length)
// and empty info, for one block (at most 32 bytes) of output. The
// intermediate key and block are wiped.
void hkdf_sha256(std::span<const std::uint8_t> input_key, std::span<std::uint8_t> out) {
  const std::array<std::uint8_t, crypto_auth_hmacsha256_KEYBYTES> no_salt{};
  SecretBuffer pseudorandom_key;
  pseudorandom_key.resize(crypto_auth_hmacsha256_BYTES);
  crypto_auth_hmacsha256(pseudorandom_key.data(), input_key.data(), input_key.size(), no_salt.data());
  // T(1) = HMAC(PRK, info || 0x01), info being empty.
  const std::uint8_t counter = 1;
  SecretBuffer block;
  block.resize(crypto_auth_hmacsha256_BYTES);
  crypto_auth_hmacsha256(block.data(), &counter, 1, pseudorandom_key.data());
  std::copy_n(block.data(), std::min(out.size(), block.size()), out.data());
}

// The functions of the provider's "AES-128-CBC" implementation.
struct CipherFunctions {
  OSSL_FUNC_cipher_newctx_fn* newctx = nullptr;
  OSSL_FUNC_cipher_encrypt_init_fn* encrypt_init = nullptr;
  OSSL_FUNC_cipher_decrypt_init_fn* decrypt_init = nullptr;
  OSSL_FUNC_cipher_update_fn* update = nullptr;
  OSSL_FUNC_cipher_final_fn* final = nullptr;
  OSSL_FUNC_cipher_freectx_fn* freectx = nullptr;

  [[nodiscard]] bool complete() const noexcept {
    return newctx != nullptr && encrypt_init != nullptr && decrypt_init != nullptr && update != nullptr &&
           final != nullptr && freectx != nullptr;
  }
};

// Whether `names` (a provider's ":"-separated list) holds `name`.
bool names_hold(std::string_view names, std::string_view name) {
  while (!names.empty()) {
    const auto end = names.find(':');
    if (names.substr(0, end) == name) return true;
    if (end == std::string_view::npos) break;
    names.remove_prefix(end + 1);
  }
  return false;
}

CipherFunctions aes_128_cbc_functions(const OSSL_ALGORITHM* algorithms) {
  CipherFunctions f;
  for (const OSSL_ALGORITHM* a = algorithms; a != nullptr && a->algorithm_names != nullptr; ++a) {
    if (!names_hold(a->algorithm_names, "AES-128-CBC")) continue;
    for (const OSSL_DISPATCH* d = a->implementation; d != nullptr && d->function_id != 0; ++d) {
      switch (d->function_id) {
        case OSSL_FUNC_CIPHER_NEWCTX: f.newctx = OSSL_FUNC_cipher_newctx(d); break;
        case OSSL_FUNC_CIPHER_ENCRYPT_INIT: f.encrypt_init = OSSL_FUNC_cipher_encrypt_init(d); break;
        case OSSL_FUNC_CIPHER_DECRYPT_INIT: f.decrypt_init = OSSL_FUNC_cipher_decrypt_init(d); break;
        case OSSL_FUNC_CIPHER_UPDATE: f.update = OSSL_FUNC_cipher_update(d); break;
        case OSSL_FUNC_CIPHER_FINAL: f.final = OSSL_FUNC_cipher_final(d); break;
        case OSSL_FUNC_CIPHER_FREECTX: f.freectx = OSSL_FUNC_cipher_freectx(d); break;
        default: break;
      }
    }
    break;
  }
  return f;
}

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
void SessionCrypto::ProviderUnload::operator()(OSSL_PROVIDER* provider) const noexcept {
  OSSL_PROVIDER_unload(provider);
}
void SessionCrypto::NumberClearFree::operator()(BIGNUM* n) const noexcept { BN_clear_free(n); }

SessionCrypto::SessionCrypto(std::unique_ptr<OSSL_LIB_CTX, LibraryContextFree> library,
                             std::unique_ptr<OSSL_PROVIDER, ProviderUnload> provider,
                             std::unique_ptr<BIGNUM, NumberClearFree> exponent,
                             std::vector<std::uint8_t> public_key) noexcept
    : library_(std::move(library)),
      provider_(std::move(provider)),
      exponent_(std::move(exponent)),
      public_key_(std::move(public_key)) {}

SessionCrypto::SessionCrypto(SessionCrypto&&) noexcept = default;
SessionCrypto& SessionCrypto::operator=(SessionCrypto&&) noexcept = default;
// Members go in reverse order: the key is wiped, the exponent cleared, the
// provider unloaded, and the library context freed last.
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
  std::unique_ptr<OSSL_PROVIDER, ProviderUnload> provider(OSSL_PROVIDER_load(library.get(), "default"));
  if (!provider) return std::unexpected(failure("no default provider"));
  auto x = exponent_from(exponent);
  if (!x) return std::unexpected(x.error());
  std::unique_ptr<BIGNUM, NumberClearFree> owned(x->release());
  auto y = power_of_two_mod_p(library.get(), owned.get());
  if (!y) return std::unexpected(y.error());
  return SessionCrypto(std::move(library), std::move(provider), std::move(owned), std::move(*y));
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

  SecretBuffer key;
  key.resize(kKeyLen);
  hkdf_sha256(secret.as_bytes(), std::span(key.data(), key.size()));
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
  SecretBuffer out;
  out.resize(ciphertext.size() + kBlockLen);
  const auto len = aes_128_cbc(false, iv, ciphertext, std::span(out.data(), out.size()));
  if (!len) return std::unexpected(undecryptable);
  out.resize(*len);
  return out;
}

Result<SessionCrypto::Encrypted> SessionCrypto::encrypt(std::span<const std::uint8_t> plaintext) const {
  if (!agreed()) return std::unexpected(failure("no session key"));
  if (sodium_init() < 0) return std::unexpected(failure("no random source"));
  if (plaintext.size() > static_cast<std::size_t>(INT_MAX) - kBlockLen) return std::unexpected(failure("too long"));
  Encrypted out;
  randombytes_buf(out.iv.data(), out.iv.size());
  out.ciphertext.resize(plaintext.size() + kBlockLen);
  const auto len = aes_128_cbc(true, out.iv, plaintext, out.ciphertext);
  if (!len) return std::unexpected(failure("AES-128-CBC encryption"));
  out.ciphertext.resize(*len);
  return out;
}

std::optional<std::size_t> SessionCrypto::aes_128_cbc(bool encrypt, std::span<const std::uint8_t> iv,
                                                      std::span<const std::uint8_t> in,
                                                      std::span<std::uint8_t> out) const {
  int no_cache = 0;
  const OSSL_ALGORITHM* algorithms = OSSL_PROVIDER_query_operation(provider_.get(), OSSL_OP_CIPHER, &no_cache);
  const CipherFunctions f = aes_128_cbc_functions(algorithms);
  if (algorithms != nullptr) OSSL_PROVIDER_unquery_operation(provider_.get(), OSSL_OP_CIPHER, algorithms);
  if (!f.complete()) return std::nullopt;
  // The provider's context holds the key schedule and is cleared when freed.
  const auto free_ctx = [&f](void* ctx) { f.freectx(ctx); };
  std::unique_ptr<void, decltype(free_ctx)> ctx(f.newctx(OSSL_PROVIDER_get0_provider_ctx(provider_.get())), free_ctx);
  if (!ctx) return std::nullopt;
  const auto init = encrypt ? f.encrypt_init : f.decrypt_init;
  std::size_t head = 0;
  std::size_t tail = 0;
  if (init(ctx.get(), session_key_.data(), session_key_.size(), iv.data(), iv.size(), nullptr) != 1 ||
      f.update(ctx.get(), out.data(), &head, out.size(), in.data(), in.size()) != 1 ||
      f.final(ctx.get(), out.data() + head, &tail, out.size() - head) != 1) {
    return std::nullopt;
  }
  return head + tail;
}

}  // namespace zantu::core::detail
