// The encrypted session's cryptography. The expected values were computed
// independently of OpenSSL, with Python's pow() over the RFC 2409 prime and
// RFC 5869 written out over the standard library's HMAC-SHA256.
#include "secret_service_crypto.hpp"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "support.hpp"

extern char** environ;

namespace zantu::core::detail {
namespace {

std::vector<std::uint8_t> unhex(std::string_view hex) {
  std::vector<std::uint8_t> out;
  for (std::size_t i = 0; i + 1 < hex.size(); i += 2) {
    out.push_back(static_cast<std::uint8_t>(std::stoi(std::string(hex.substr(i, 2)), nullptr, 16)));
  }
  return out;
}

std::vector<std::uint8_t> bytes(std::span<const std::uint8_t> s) { return {s.begin(), s.end()}; }

// 0x0102...20, 32 bytes.
std::vector<std::uint8_t> test_exponent() {
  std::vector<std::uint8_t> x;
  for (int i = 1; i <= 32; ++i) x.push_back(static_cast<std::uint8_t>(i));
  return x;
}

SessionCrypto agreed_with(std::span<const std::uint8_t> peer) {
  auto c = SessionCrypto::from_private_exponent(test_exponent());
  EXPECT_TRUE(c.has_value());
  EXPECT_TRUE(c->agree(peer).has_value());
  return std::move(*c);
}

TEST(SessionCrypto, PublicKeyIsTwoToTheExponentModThePrimeIn128Bytes) {
  auto c = SessionCrypto::from_private_exponent(test_exponent());
  ASSERT_TRUE(c.has_value()) << c.error().to_string();
  EXPECT_EQ(bytes(c->public_key()),
            unhex("457120764f3a1e6fd58103e41a4093a6c8bc1d97cb8759de41c21afdd2d3048a5ef3d88ce24aa6ba4fe30bcfb0b0f75abf1a8aeaff"
            "3723f1bf53740c902005e1199fabad7c538e94a7034fd585339a02f3634893f748929d2a7257643e398130541ae64124c17d4507a9"
            "7f1cbebeb7b933642b8df479eb59e36cfeffbf1671dd"));
  EXPECT_FALSE(c->agreed());
}

struct Agreement {
  const char* why;
  std::string_view peer_hex;
  std::string_view key_hex;
};

TEST(SessionCrypto, SessionKeyIsHkdfOfThePaddedSharedSecret) {
  const Agreement cases[] = {
      {"a full-size peer key",
       "c02e8fbdf4720638d4bdf19cbe82a7dd38dd71e231be2f4624c3923a72a6252e8746a3844c29014cb4358c2a67e55a1c1f676096ee6892"
       "794d21f9f67b3656ba546cdb61067924e801e5fedca4a0e2ef2d3185f59238b3c662687d137cf52fe5b41cb689ac48049aa0673439b619"
       "62d94407b4ef3b03cd2b51e05b4e6d170eda",
       "556e78b2c49bb378b3f01d3b5650ff51"},
      {"a short peer key", "04", "0c5235cec4718385389592098fdc362f"},
      // The shared secret begins with a zero byte: the key comes from all 128
      // bytes (without the padding it would be 471049954afcc886c90e6eade32ccba1).
      {"a shared secret with a leading zero", "08000000", "c9cc319526f0e8077e0d5daf664ffa84"},
  };
  for (const auto& c : cases) {
    const auto crypto = agreed_with(unhex(c.peer_hex));
    ASSERT_TRUE(crypto.agreed()) << c.why;
    EXPECT_EQ(bytes(crypto.session_key()), unhex(c.key_hex)) << c.why;
  }
}

TEST(SessionCrypto, PeerKeysThatGiveTheSecretAwayAreRefused) {
  auto c = SessionCrypto::from_private_exponent(test_exponent());
  ASSERT_TRUE(c.has_value());
  const std::vector<std::uint8_t> p = unhex(
      "FFFFFFFFFFFFFFFFC90FDAA22168C234C4C6628B80DC1CD129024E088A67CC74020BBEA63B139B22514A08798E3404DDEF9519B3CD3A43"
      "1B302B0A6DF25F14374FE1356D6D51C245E485B576625E7EC6F44C42E9A637ED6B0BFF5CB6F406B7EDEE386BFB5A899FA5AE9F24117C4B"
      "1FE649286651ECE65381FFFFFFFFFFFFFFFF");
  std::vector<std::uint8_t> p_minus_1 = p;
  p_minus_1.back() -= 1;
  std::vector<std::uint8_t> too_long(129, 0);
  too_long.back() = 4;
  const std::vector<std::vector<std::uint8_t>> refused = {{}, {0}, {1}, {0, 0, 1}, p_minus_1, p, too_long};
  for (const auto& peer : refused) {
    auto agreed = c->agree(peer);
    ASSERT_FALSE(agreed.has_value()) << peer.size();
    EXPECT_EQ(agreed.error().to_string(),
              "keyring operation failed: the Secret Service offered an invalid session public key");
    EXPECT_FALSE(c->agreed());
  }
}

TEST(SessionCrypto, OutOfRangeExponentsAreRefused) {
  EXPECT_FALSE(SessionCrypto::from_private_exponent(std::vector<std::uint8_t>{}).has_value());
  EXPECT_FALSE(SessionCrypto::from_private_exponent(std::vector<std::uint8_t>{1}).has_value());
  EXPECT_FALSE(SessionCrypto::from_private_exponent(std::vector<std::uint8_t>(129, 1)).has_value());
  EXPECT_FALSE(SessionCrypto::from_private_exponent(std::vector<std::uint8_t>(128, 0xff)).has_value());
  EXPECT_TRUE(SessionCrypto::from_private_exponent(std::vector<std::uint8_t>{2}).has_value());
}

TEST(SessionCrypto, GeneratedSessionsAgreeWithEachOther) {
  auto a = SessionCrypto::generate();
  auto b = SessionCrypto::generate();
  ASSERT_TRUE(a.has_value() && b.has_value());
  EXPECT_NE(bytes(a->public_key()), bytes(b->public_key()));
  ASSERT_TRUE(a->agree(b->public_key()).has_value());
  ASSERT_TRUE(b->agree(a->public_key()).has_value());
  EXPECT_EQ(a->session_key().size(), SessionCrypto::kKeyLen);
  EXPECT_EQ(bytes(a->session_key()), bytes(b->session_key()));
}

TEST(SessionCrypto, EncryptsWithPkcs7UnderAFreshIvAndDecryptsBack) {
  auto a = agreed_with(unhex("04"));
  auto b = agreed_with(unhex("04"));
  for (std::size_t len : {0u, 1u, 15u, 16u, 17u, 32u, 100u}) {
    std::vector<std::uint8_t> plain(len);
    for (std::size_t i = 0; i < len; ++i) plain[i] = static_cast<std::uint8_t>(i * 7);
    auto sealed = a.encrypt(plain);
    ASSERT_TRUE(sealed.has_value());
    EXPECT_EQ(sealed->ciphertext.size(), (len / 16 + 1) * 16) << len;
    auto again = a.encrypt(plain);
    ASSERT_TRUE(again.has_value());
    EXPECT_NE(bytes(sealed->iv), bytes(again->iv));
    auto opened = b.decrypt(sealed->iv, sealed->ciphertext);
    ASSERT_TRUE(opened.has_value()) << len;
    EXPECT_EQ(bytes(opened->as_bytes()), plain);
  }
}

TEST(SessionCrypto, WhatDoesNotDecryptIsRefused) {
  auto c = agreed_with(unhex("04"));
  auto other = agreed_with(unhex("08000000"));
  auto sealed = c.encrypt(std::vector<std::uint8_t>(16, 0));
  ASSERT_TRUE(sealed.has_value());
  ASSERT_EQ(sealed->ciphertext.size(), 32u);
  const std::vector<std::uint8_t> first_block(sealed->ciphertext.begin(), sealed->ciphertext.begin() + 16);
  struct Bad {
    const char* why;
    std::vector<std::uint8_t> iv;
    std::vector<std::uint8_t> ciphertext;
  };
  const std::vector<std::uint8_t> iv(sealed->iv.begin(), sealed->iv.end());
  const Bad cases[] = {
      {"short IV", std::vector<std::uint8_t>(iv.begin(), iv.end() - 1), sealed->ciphertext},
      {"long IV", [&] { auto v = iv; v.push_back(0); return v; }(), sealed->ciphertext},
      {"no ciphertext", iv, {}},
      {"not whole blocks", iv, std::vector<std::uint8_t>(sealed->ciphertext.begin(), sealed->ciphertext.end() - 1)},
      // The first block alone ends in a zero byte, which is no padding.
      {"bad padding", iv, first_block},
  };
  for (const auto& bad : cases) {
    auto opened = c.decrypt(bad.iv, bad.ciphertext);
    ASSERT_FALSE(opened.has_value()) << bad.why;
    EXPECT_EQ(opened.error().to_string(),
              "keyring operation failed: the Secret Service sent a secret that does not decrypt")
        << bad.why;
  }
  // Under another session's key the padding check fails (or, rarely, yields
  // other bytes); never the plaintext.
  auto wrong = other.decrypt(sealed->iv, sealed->ciphertext);
  if (wrong.has_value()) {
    EXPECT_NE(bytes(wrong->as_bytes()), std::vector<std::uint8_t>(16, 0));
  }
}

TEST(SessionCrypto, NothingIsEncryptedOrDecryptedBeforeAgreement) {
  auto c = SessionCrypto::from_private_exponent(test_exponent());
  ASSERT_TRUE(c.has_value());
  EXPECT_FALSE(c->encrypt(std::vector<std::uint8_t>(4, 1)).has_value());
  EXPECT_FALSE(c->decrypt(std::vector<std::uint8_t>(16, 0), std::vector<std::uint8_t>(16, 0)).has_value());
}

// Whether a fresh process running the session's cryptography (`mode` of
// zantu_session_crypto_run) opens the OpenSSL configuration file. OPENSSL_CONF
// names a FIFO: a process that opens it for reading waits there until a
// writer comes, and this test's non-blocking open for writing succeeds only
// while such a reader is there.
struct ConfigRead {
  bool opened = false;
  int status = -1;
};

ConfigRead run_watching_openssl_config(const char* mode) {
  ConfigRead out;
  const testing::TempDir dir;
  const std::string fifo = dir / "openssl.cnf";
  if (::mkfifo(fifo.c_str(), 0600) != 0) return out;
  std::vector<std::string> env_text{"OPENSSL_CONF=" + fifo};
  for (char** e = environ; *e != nullptr; ++e) {
    if (!std::string_view(*e).starts_with("OPENSSL_")) env_text.emplace_back(*e);
  }
  std::vector<char*> env;
  for (auto& e : env_text) env.push_back(e.data());
  env.push_back(nullptr);
  const char* argv[] = {ZANTU_SESSION_CRYPTO_RUN, mode, nullptr};
  pid_t pid = -1;
  if (::posix_spawn(&pid, argv[0], nullptr, nullptr, const_cast<char* const*>(argv), env.data()) != 0) return out;
  const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  int status = 0;
  while (::waitpid(pid, &status, WNOHANG) == 0) {
    const int writer = ::open(fifo.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
    if (writer >= 0) {
      // The reader finds an empty file and goes on.
      out.opened = true;
      ::close(writer);
    }
    if (std::chrono::steady_clock::now() > give_up) {
      ::kill(pid, SIGKILL);
      ::waitpid(pid, &status, 0);
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  out.status = status;
  return out;
}

TEST(SessionCrypto, NeverReadsTheHostsOpenSslConfiguration) {
  // The check sees a read: the default library context reads the file.
  const ConfigRead control = run_watching_openssl_config("default-context");
  EXPECT_TRUE(control.opened);
  EXPECT_TRUE(WIFEXITED(control.status) && WEXITSTATUS(control.status) == 0) << control.status;

  const ConfigRead session = run_watching_openssl_config("session");
  EXPECT_TRUE(WIFEXITED(session.status) && WEXITSTATUS(session.status) == 0) << session.status;
  EXPECT_FALSE(session.opened);
}

}  // namespace
}  // namespace zantu::core::detail
