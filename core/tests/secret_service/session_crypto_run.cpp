// Runs one encrypted session's cryptography in a fresh process: "session"
// agrees on a key from both sides, encrypts and decrypts a secret, and exits 0
// when all of it worked; "default-context" only has OpenSSL set up its default
// library context, which reads the configuration file, as OpenSSL's own EVP
// layer would.
//
//     zantu_session_crypto_run session|default-context
#include <openssl/crypto.h>

#include <cstdint>
#include <cstdio>
#include <string_view>
#include <vector>

#include "secret_service_crypto.hpp"

int main(int argc, char** argv) {
  const std::string_view mode = argc == 2 ? argv[1] : "";
  if (mode == "default-context") return OPENSSL_init_crypto(OPENSSL_INIT_LOAD_CONFIG, nullptr) == 1 ? 0 : 1;
  if (mode != "session") {
    std::fprintf(stderr, "usage: zantu_session_crypto_run session|default-context\n");
    return 2;
  }
  using zantu::core::detail::SessionCrypto;
  auto a = SessionCrypto::generate();
  auto b = SessionCrypto::generate();
  if (!a || !b || !a->agree(b->public_key()) || !b->agree(a->public_key())) return 1;
  const std::vector<std::uint8_t> secret(32, 7);
  auto sealed = a->encrypt(secret);
  if (!sealed) return 1;
  auto opened = b->decrypt(sealed->iv, sealed->ciphertext);
  if (!opened || opened->size() != secret.size()) return 1;
  return 0;
}
