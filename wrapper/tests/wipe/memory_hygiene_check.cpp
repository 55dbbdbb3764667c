// After the work of a whole agent session is done and dropped (a key derived
// from a passphrase, records sealed, stored, read back and listed, values
// resolved, one of them through the AWS tool, and injected into a real child
// whose output is masked) no copy of the passphrase, the key or any value is
// left anywhere in this process, nor the JSON reader's scratch copies of the
// escapes and raw UTF-8 in the tool's answer: the heap, every anonymous mapping (arenas,
// cached thread stacks, the sanitizer's heap) and the main stack are read
// through /proc/self/mem and searched. Control copies, one live and one freed
// without wiping, show that the search sees such memory. The same holds when
// the key comes from the Secret Service through the OS keyring.
#include <fcntl.h>
#include <sodium.h>
#include <sys/mman.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <memory>
#include <new>
#include <optional>
#include <sstream>
#include <string>
#include <string_view>
#include <tuple>
#include <vector>

#include "../support.hpp"
#include "zantu/core/audit.hpp"
#include "zantu/core/clock.hpp"
#include "zantu/core/crypto.hpp"
#include "zantu/core/env_source.hpp"
#include "zantu/core/fd.hpp"
#include "zantu/core/fingerprint.hpp"
#include "zantu/core/json.hpp"
#include "zantu/core/keyring.hpp"
#include "zantu/core/provider.hpp"
#include "zantu/core/registry.hpp"
#include "zantu/core/store.hpp"
#include "zantu/providers/aws/aws.hpp"
#include "zantu/wrapper/wrapper.hpp"

namespace zantu::wrapper {
namespace {

namespace fs = std::filesystem;

constexpr std::size_t kTextLen = 24;
constexpr std::size_t kNumValues = 4;  // literal, high project literal, private key, provider value
constexpr std::size_t kChunkLen = 1 << 20;
// Mappings this large are the sanitizer's shadow reservations, which hold no data.
constexpr std::uintptr_t kMaxMappingLen = std::uintptr_t{1} << 30;

// Everything the search looks for, and its read buffer, in one mapping of
// their own that the search leaves out: these are the only copies allowed.
struct Needles {
  char passphrase[kTextLen];
  std::uint8_t key[core::MasterKey::kLen];
  char values[kNumValues][kTextLen];
  // Each value as the record JSON writes it: "90,113,...".
  char decimal[kNumValues][kTextLen * 4];
  std::size_t decimal_len[kNumValues];
  char live_control[kTextLen];
  char freed_control[kTextLen];
  // The tool's answer for the provider value: one JSON string with escapes.
  char answer[kTextLen * 6];
  std::size_t answer_len;
  // What the JSON reader's scratch holds after the provider value's last
  // surrogate-pair escape (its code point, then its low unit, as 32-bit
  // words) and after its last raw UTF-8 character (its code point).
  std::uint8_t pair_units[8];
  std::uint8_t raw_code_point[4];
  std::uint8_t buf[kChunkLen + 256];
};

Needles* g_needles = nullptr;

Needles& needles() {
  if (g_needles == nullptr) {
    void* p = ::mmap(nullptr, sizeof(Needles), PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (p == MAP_FAILED) std::abort();
    g_needles = new (p) Needles{};
  }
  return *g_needles;
}

// Random letters and digits: text a child can receive, and that nothing else
// in the process holds by chance.
void random_text(char (&out)[kTextLen]) {
  static constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
  std::uint8_t raw[kTextLen];
  randombytes_buf(raw, sizeof raw);
  for (std::size_t i = 0; i < kTextLen; ++i) out[i] = kAlphabet[raw[i] % 62];
}

std::string_view text(const char (&t)[kTextLen]) { return {t, kTextLen}; }

// A random code point above U+FFFF: its UTF-8 form has four bytes and its
// escape is a surrogate pair.
char32_t random_astral() { return 0x10000 + randombytes_uniform(0x100000); }

void put_le32(std::uint8_t* out, char32_t v) {
  for (int i = 0; i < 4; ++i) out[i] = static_cast<std::uint8_t>(v >> (8 * i));
}

// The provider value: random letters and digits around a line break, "é", a
// raw "日", a random character written as a surrogate pair and a random one
// written raw, each kind last in its place so that the reader's scratch
// ends on a random one. Its answer writes the first three as escapes
// ("\n", "\u00e9", "\uD8xx\uDCxx") and the others as raw UTF-8.
void escaped_value(char (&value)[kTextLen]) {
  Needles& n = needles();
  random_text(value);
  const char32_t pair = random_astral();
  const char32_t raw = random_astral();
  std::size_t v = 0;  // bytes of the value written
  std::size_t a = 0;  // bytes of the answer written
  auto to_answer = [&](std::string_view json) {
    std::memcpy(n.answer + a, json.data(), json.size());
    a += json.size();
  };
  // `bytes` in the value, written `json` in the answer.
  auto put = [&](std::string_view bytes, std::string_view json) {
    std::memcpy(value + v, bytes.data(), bytes.size());
    v += bytes.size();
    to_answer(json);
  };
  auto keep = [&](std::size_t len) {
    to_answer({value + v, len});
    v += len;
  };
  auto utf8_of = [](char32_t cp, char (&out)[4]) {
    out[0] = static_cast<char>(0xF0 | (cp >> 18));
    out[1] = static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    out[2] = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out[3] = static_cast<char>(0x80 | (cp & 0x3F));
  };
  auto escape_of = [](char32_t unit, char* out) {
    static constexpr char kHex[] = "0123456789ABCDEF";
    out[0] = '\\';
    out[1] = 'u';
    for (int i = 0; i < 4; ++i) out[2 + i] = kHex[(unit >> (12 - 4 * i)) & 0xF];
  };
  char pair_bytes[4], raw_bytes[4], escape[12];
  utf8_of(pair, pair_bytes);
  utf8_of(raw, raw_bytes);
  const char32_t low = 0xDC00 + ((pair - 0x10000) & 0x3FF);
  escape_of(0xD800 + ((pair - 0x10000) >> 10), escape);
  escape_of(low, escape + 6);
  to_answer("\"");
  keep(2);
  put("\n", "\\n");
  keep(2);
  put("\xc3\xa9", "\\u00e9");
  keep(2);
  put("\xe6\x97\xa5", "\xe6\x97\xa5");
  keep(2);
  put({pair_bytes, 4}, {escape, 12});
  keep(2);
  put({raw_bytes, 4}, {raw_bytes, 4});
  to_answer("\"\n");
  if (v != kTextLen) std::abort();
  n.answer_len = a;
  put_le32(n.pair_units, pair);
  put_le32(n.pair_units + 4, low);
  put_le32(n.raw_code_point, raw);
  sodium_memzero(pair_bytes, sizeof pair_bytes);
  sodium_memzero(raw_bytes, sizeof raw_bytes);
  sodium_memzero(escape, sizeof escape);
}

// How much stack the search's own calls may use, and more.
constexpr std::size_t kSearchStackLen = 128 * 1024;

// Zeroes the stack below the caller's frame, where the set-up's own copies of
// the code points above may have been spilled.
[[gnu::noinline]] void clear_stack() {
  volatile std::uint8_t below[2 * kSearchStackLen];
  for (auto& b : below) b = 0;
}

// Runs `fn` below the stack that the search's own calls overwrite.
[[gnu::noinline]] void below_the_search(const std::function<void()>& fn) {
  volatile std::uint8_t pad[kSearchStackLen];
  for (auto& b : pad) b = 0;
  fn();
  asm volatile("" : : "g"(pad) : "memory");
}

struct Mapping {
  std::uintptr_t begin, end;
};

enum class Mappings { All, Stack };

// The private, writable mappings that hold no file's contents: the heap, the
// anonymous ones and the main stack; or the main stack alone.
std::vector<Mapping> searched_mappings(Mappings which = Mappings::All) {
  std::vector<Mapping> out;
  std::ifstream maps("/proc/self/maps");
  std::string line;
  while (std::getline(maps, line)) {
    std::istringstream in(line);
    std::string range, perms, offset, dev, inode, name;
    in >> range >> perms >> offset >> dev >> inode;
    std::getline(in >> std::ws, name);
    if (perms.size() < 4 || perms[0] != 'r' || perms[1] != 'w' || perms[3] != 'p') continue;
    if (!(name.empty() || name == "[heap]" || name == "[stack]" || name.starts_with("[anon:"))) continue;
    if (which == Mappings::Stack && name != "[stack]") continue;
    const auto dash = range.find('-');
    const Mapping m{std::stoull(range.substr(0, dash), nullptr, 16), std::stoull(range.substr(dash + 1), nullptr, 16)};
    if (m.end - m.begin >= kMaxMappingLen) continue;
    out.push_back(m);
  }
  return out;
}

struct Pattern {
  std::string name;
  const void* bytes;
  std::size_t len;
};

// The names of the patterns found in `mappings`.
std::vector<std::string> search(const std::vector<Pattern>& patterns, const std::vector<Mapping>& mappings) {
  Needles& n = needles();
  const auto own_begin = reinterpret_cast<std::uintptr_t>(&n);
  const auto own_end = own_begin + sizeof(Needles);
  std::size_t overlap = 0;
  for (const auto& p : patterns) overlap = std::max(overlap, p.len - 1);
  std::vector<bool> hit(patterns.size(), false);

  core::UniqueFd mem(::open("/proc/self/mem", O_RDONLY | O_CLOEXEC));
  EXPECT_TRUE(mem.valid());
  auto search_range = [&](std::uintptr_t begin, std::uintptr_t end) {
    std::size_t carried = 0;
    for (std::uintptr_t at = begin; at < end;) {
      const std::size_t want = std::min<std::uintptr_t>(kChunkLen, end - at);
      const ssize_t got = ::pread(mem.get(), n.buf + carried, want, static_cast<off_t>(at));
      if (got <= 0) return;  // a guard page or a range gone meanwhile
      const std::size_t len = carried + static_cast<std::size_t>(got);
      for (std::size_t i = 0; i < patterns.size(); ++i) {
        if (memmem(n.buf, len, patterns[i].bytes, patterns[i].len) != nullptr) hit[i] = true;
      }
      carried = std::min(overlap, len);
      std::memmove(n.buf, n.buf + len - carried, carried);
      at += static_cast<std::uintptr_t>(got);
    }
  };
  for (const Mapping& m : mappings) {
    // Everything but the needles' own mapping.
    if (m.begin < own_begin) search_range(m.begin, std::min(m.end, own_begin));
    if (m.end > own_end) search_range(std::max(m.begin, own_end), m.end);
  }
  std::vector<std::string> found;
  for (std::size_t i = 0; i < patterns.size(); ++i) {
    if (hit[i]) found.push_back(patterns[i].name);
  }
  return found;
}

// Keeps the compiler from proving a buffer dead and dropping its stores.
void escape(void* p) { asm volatile("" : : "g"(p) : "memory"); }

class ApproveAll final : public core::Confirmer {
 public:
  core::ConfirmOutcome confirm(const core::ConfirmRequest&, std::chrono::nanoseconds) const override {
    return core::ConfirmOutcome::Approved;
  }
};

core::RecordMeta meta(std::string_view env, std::string_view key, core::Sensitivity s) {
  return core::RecordMeta{s, false, std::string(env), "app", std::string(key), std::nullopt, "2026-01-01T00:00:00Z",
                          "2026-01-01T00:00:00Z"};
}

core::SecretValue value(std::size_t i) { return core::SecretValue::from(text(needles().values[i])); }

bool holds(const core::SecretValue& v, std::size_t i) {
  return v.equals({reinterpret_cast<const std::uint8_t*>(needles().values[i]), kTextLen});
}

enum class KeySource { Passphrase, SecretService };

// The master key from the Secret Service of scripts/with-secret-service: a
// random one is planted there by another client (secret-tool, reading it from
// the needles), read through the OS keyring, stored back through it and read
// again, so both directions of its encrypted session have carried it.
void key_from_the_secret_service(const fs::path& scratch, std::optional<core::MasterKey>& key) {
  Needles& n = needles();
  randombytes_buf(n.key, sizeof n.key);
  const std::string file = (scratch / "planted").string();
  {
    core::UniqueFd fd(::open(file.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600));
    ASSERT_TRUE(fd.valid());
    ASSERT_EQ(core::write_all(fd.get(), n.key, sizeof n.key), 0);
  }
  const std::string store =
      "secret-tool store --label=planted service zantu username master-key target default < '" + file + "'";
  ASSERT_EQ(std::system(store.c_str()), 0);
  ASSERT_EQ(::unlink(file.c_str()), 0);

  const core::OsKeyring keyring;
  auto got = keyring.get_master_key();
  ASSERT_TRUE(got.has_value()) << got.error().to_string();
  ASSERT_EQ(std::memcmp(got->bytes().data(), n.key, sizeof n.key), 0);
  ASSERT_TRUE(keyring.set_master_key(*got).has_value());
  auto again = keyring.get_master_key();
  ASSERT_TRUE(again.has_value()) << again.error().to_string();
  ASSERT_EQ(std::memcmp(again->bytes().data(), n.key, sizeof n.key), 0);
  key.emplace(*again);
}

// The session's work, everything dropped at the end.
void run_session(const fs::path& root, KeySource source = KeySource::Passphrase) {
  Needles& n = needles();
  std::optional<core::MasterKey> key;
  if (source == KeySource::SecretService) {
    key_from_the_secret_service(root.parent_path(), key);
    if (::testing::Test::HasFatalFailure()) return;
  } else {
    // The passphrase arrives in a wiping buffer, as the binding converts it.
    core::SecretBuffer passphrase(text(n.passphrase));
    const std::vector<std::uint8_t> salt = {'h', 'y', 'g', 'i', 'e', 'n', 'e', '-', 's', 'a', 'l', 't'};
    auto keyring = core::Argon2Keyring::create(std::move(passphrase), salt);
    ASSERT_TRUE(keyring.has_value());
    auto derived = keyring->get_master_key();
    ASSERT_TRUE(derived.has_value());
    key.emplace(*derived);
    std::memcpy(n.key, key->bytes().data(), core::MasterKey::kLen);
  }

  auto registry = core::Registry::open(root);
  ASSERT_TRUE(registry.has_value());
  auto put = [&](const fs::path& dir, std::string_view coordinate, const core::SecretRecord& record) {
    testing::put_record(dir, testing::coord(coordinate), record, *key);
  };
  const auto medium = core::Sensitivity::Medium, high = core::Sensitivity::High;
  // Written twice, so the first version goes through the backup rotation.
  for (int i = 0; i < 2; ++i) {
    put(registry->global_dir(), "secret:dev/app/db", core::SecretRecord::Literal{value(0), meta("dev", "db", medium)});
  }
  put(registry->project_dir("shop"), "secret:prod/app/token",
      core::SecretRecord::Literal{value(1), meta("prod", "token", high)});
  put(registry->global_dir(), "secret:dev/app/ssh",
      core::SecretRecord::Keypair{core::KeyAlgorithm::Ed25519, value(2), "ssh-ed25519 AAAA", meta("dev", "ssh", medium)});
  put(registry->global_dir(), "secret:dev/app/cloud",
      core::SecretRecord::Reference{"aws-sm://eu-west-1/cloud", meta("dev", "cloud", medium)});

  // Reads, lookups and listings, each value's fingerprint taken as a view does.
  {
    auto db = core::store::read_record(registry->global_dir(), core::Coordinate::from_str("secret:dev/app/db").value(),
                                       *key);
    ASSERT_TRUE(db.has_value() && db->has_value());
    EXPECT_TRUE(holds(std::get<core::SecretRecord::Literal>((**db).mode).value, 0));
    auto token = registry->resolve_with_key(core::Coordinate::from_str("secret:prod/app/token").value(), "shop", *key);
    ASSERT_TRUE(token.has_value() && token->has_value());
    EXPECT_TRUE(holds(std::get<core::SecretRecord::Literal>((**token).second.mode).value, 1));
    for (const fs::path& dir : {registry->global_dir(), registry->project_dir("shop")}) {
      auto all = core::store::load_all(dir, *key);
      ASSERT_TRUE(all.has_value());
      EXPECT_TRUE(all->quarantined.empty());
      for (const auto& [id, record] : all->records) {
        if (const auto* literal = std::get_if<core::SecretRecord::Literal>(&record.mode)) {
          EXPECT_EQ(core::fingerprint::fingerprint(literal->value.as_bytes()).size(), 8u);
        }
      }
    }
  }

  // Injected runs: one that succeeds with every kind of vault value, one that
  // fails at a later variable after the earlier ones were resolved.
  const core::MockKeyring keyring(*key);
  const core::SystemEnvSource env_source;
  const core::SchemeRouter router = core::SchemeRouter().with(std::make_unique<providers::aws::AwsProvider>());
  const ApproveAll confirmer;
  const core::FileAuditSink audit = core::FileAuditSink::under_root(root);
  const core::SystemClock clock;
  Allowlist allowlist;
  allowlist.allow("/bin/sh");
  const SystemRunner runner;
  const Wrapper w{.registry = *registry,
                  .keyring = keyring,
                  .env_source = env_source,
                  .provider = router,
                  .confirmer = confirmer,
                  .audit = audit,
                  .clock = clock,
                  .allowlist = allowlist,
                  .runner = runner,
                  .confirm_timeout = std::chrono::seconds(1),
                  .requesting_process = std::nullopt};
  const std::vector<std::string> args = {"-c", R"(printf '%s|%s|%s|%s' "$A" "$B" "$C" "$D"; printf '%s' "$A" >&2)"};
  {
    auto refs = core::EnvRefs::parse(
        "A=secret:dev/app/db\nB=secret:prod/app/token\nC=secret:dev/app/ssh#private\nD=secret:dev/app/cloud\n");
    ASSERT_TRUE(refs.has_value());
    auto out = w.run(*refs, "dev", "shop", "/bin/sh", args, core::Origin::Agent);
    ASSERT_TRUE(out.has_value()) << out.error().to_string();
    EXPECT_EQ(out->stdout_bytes.view(), "***|***|***|***");
    EXPECT_EQ(out->stderr_bytes.view(), "***");
  }
  {
    auto refs = core::EnvRefs::parse("A=secret:dev/app/db\nD=secret:dev/app/cloud\nZ=secret:dev/app/none\n");
    ASSERT_TRUE(refs.has_value());
    EXPECT_FALSE(w.run(*refs, "dev", "shop", "/bin/sh", args, core::Origin::Agent).has_value());
  }
}

class MemoryHygiene : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_GE(sodium_init(), 0);
    Needles& n = needles();
    random_text(n.passphrase);
    for (auto& v : n.values) random_text(v);
    escaped_value(n.values[3]);
    random_text(n.live_control);
    random_text(n.freed_control);
    for (std::size_t i = 0; i < kNumValues; ++i) {
      std::size_t len = 0;
      for (std::size_t j = 0; j < kTextLen; ++j) {
        len += static_cast<std::size_t>(std::snprintf(n.decimal[i] + len, sizeof n.decimal[i] - len, j ? ",%u" : "%u",
                                                      static_cast<unsigned char>(n.values[i][j])));
      }
      n.decimal_len[i] = len;
    }
    // The `aws` tool answers with the fourth value as a JSON string with
    // escapes and a line break, as the real one prints a secret string, and
    // quotes the value on its standard error, as the real one quotes the
    // characters it cannot encode. Both go to their files straight from the
    // needles, so that this test makes no copy of its own.
    const std::string answer = tmp_ / "answer", quoted = tmp_ / "quoted";
    for (const auto& [file, bytes, len] : {std::tuple{answer, n.answer, n.answer_len},
                                           std::tuple{quoted, n.values[3], kTextLen}}) {
      core::UniqueFd fd(::open(file.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600));
      ASSERT_TRUE(fd.valid());
      ASSERT_EQ(core::write_all(fd.get(), bytes, len), 0);
    }
    // The quote comes after a long warning, far from the allocator's own
    // bookkeeping, in a block as large as no allocation of the search's.
    testing::write_file(tmp_ / "aws",
                        "#!/bin/sh\ncat '" + answer + "'\nprintf 'warning: %0967d ' 0 >&2\ncat '" + quoted + "' >&2\n",
                        fs::perms::owner_all);
    path_.emplace("PATH", testing::path_searching_first(tmp_.path()));
    clear_stack();
  }

  std::vector<Pattern> patterns() const {
    Needles& n = needles();
    std::vector<Pattern> out = {{"passphrase", n.passphrase, kTextLen}, {"key", n.key, core::MasterKey::kLen}};
    for (std::size_t i = 0; i < kNumValues; ++i) {
      out.push_back({"value " + std::to_string(i), n.values[i], kTextLen});
      out.push_back({"value " + std::to_string(i) + " as JSON", n.decimal[i], n.decimal_len[i]});
    }
    out.push_back({"value 3 as the tool printed it", n.answer, n.answer_len});
    return out;
  }

  testing::TempDir tmp_;
  std::optional<testing::ScopedEnv> path_;
};

TEST_F(MemoryHygiene, TheSearchSeesLiveAndFreedHeapMemory) {
  Needles& n = needles();
  const std::vector<Pattern> patterns = {{"live", n.live_control, kTextLen},
                                         {"freed", n.freed_control, kTextLen},
                                         {"passphrase", n.passphrase, kTextLen}};
  const std::vector<Mapping> mappings = searched_mappings();
  auto live = std::make_unique<std::string>(text(n.live_control));
  // Away from the allocator's own bookkeeping at the start of a freed block,
  // in a block no allocation of the search can reuse.
  char* freed = static_cast<char*>(std::malloc(1000));
  ASSERT_NE(freed, nullptr);
  std::memcpy(freed + 500, n.freed_control, kTextLen);
  escape(freed);
  std::free(freed);
  escape(live.get());
  EXPECT_EQ(search(patterns, mappings), (std::vector<std::string>{"live", "freed"}));
}

TEST_F(MemoryHygiene, NothingSecretOutlivesTheSession) {
  run_session(tmp_ / "vault");
  if (HasFatalFailure()) return;
  EXPECT_EQ(search(patterns(), searched_mappings()), std::vector<std::string>{});
}

// The JSON reader's scratch copies of the escapes and raw UTF-8 of the
// tool's answer are wiped when the reading ends. It reads deep in the stack,
// below what the search's own calls overwrite, so that what it leaves there
// stays to be found; the value it read is dropped above.
TEST_F(MemoryHygiene, TheJsonReaderLeavesNoScratchOfAnEscapedAnswer) {
  Needles& n = needles();
  {
    core::SecretBuffer value;
    below_the_search([&] {
      core::json::Reader reader(std::span<const std::uint8_t>(reinterpret_cast<std::uint8_t*>(n.answer), n.answer_len));
      EXPECT_TRUE(reader.read_string(value).has_value());
    });
    EXPECT_TRUE(value.view() == text(n.values[3]));
  }
  // Only the stack holds the scratch, and there a 32-bit word of the value's
  // cannot turn up by chance.
  const std::vector<Pattern> scratch = {{"surrogate pair escape, decoded", n.pair_units, sizeof n.pair_units},
                                        {"raw UTF-8 character, decoded", n.raw_code_point, sizeof n.raw_code_point}};
  EXPECT_EQ(search(scratch, searched_mappings(Mappings::Stack)), std::vector<std::string>{});
  const std::vector<Pattern> whole = {{"value", n.values[3], kTextLen}, {"answer", n.answer, n.answer_len}};
  EXPECT_EQ(search(whole, searched_mappings()), std::vector<std::string>{});
}

// The same with the key held by a real Secret Service; ctest runs it inside
// scripts/with-secret-service.
TEST_F(MemoryHygiene, NothingSecretOutlivesASessionKeyedByTheSecretService) {
  if (std::getenv("SECRET_SERVICE_FIXTURE_DIR") == nullptr) {
    GTEST_SKIP() << "needs scripts/with-secret-service";
  }
  run_session(tmp_ / "vault", KeySource::SecretService);
  if (HasFatalFailure()) return;
  EXPECT_EQ(search(patterns(), searched_mappings()), std::vector<std::string>{});
}

}  // namespace
}  // namespace zantu::wrapper
