// Proves that an injected run leaves no copy of a vault value in memory handed
// back to the allocator: this binary replaces the global operator delete and
// scans every freed block for the value, while the run resolves it, passes it
// to a child that prints it over and over on both streams, masks the output,
// and after the result is dropped.
#include <gtest/gtest.h>
#include <malloc.h>

#include <array>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <new>
#include <string>

#include "zantu/core/crypto.hpp"
#include "zantu/core/store.hpp"
#include "zantu/wrapper/wrapper.hpp"

namespace {

// Static storage: the pattern itself never passes through the allocator.
constexpr char kSecret[] = "Vq3!mZ8#wK2@pL7&xN5^";
constexpr std::size_t kSecretLen = sizeof kSecret - 1;

bool g_armed = false;
int g_hits = 0;

void scan(const void* p, std::size_t n) {
  if (!g_armed || p == nullptr) return;
  if (memmem(p, n, kSecret, kSecretLen) != nullptr) ++g_hits;
}

}  // namespace

void* operator new(std::size_t n) {
  if (void* p = std::malloc(n == 0 ? 1 : n)) return p;
  throw std::bad_alloc();
}
void operator delete(void* p) noexcept {
  scan(p, p ? malloc_usable_size(p) : 0);
  std::free(p);
}
void operator delete(void* p, std::size_t n) noexcept {
  scan(p, n);
  std::free(p);
}

namespace zantu::wrapper {
namespace {

namespace fs = std::filesystem;

class NoEnv final : public core::EnvSource {
 public:
  std::optional<std::string> get(std::string_view) const override { return std::nullopt; }
};
class NoAudit final : public core::AuditSink {
 public:
  core::Status record(const core::AuditEvent&) const override { return {}; }
};
class FixedClock final : public core::Clock {
 public:
  std::uint64_t unix_secs() const override { return 0; }
};
class NoProvider final : public core::SecretProvider {
 public:
  core::Result<core::SecretValue> materialize(std::string_view) const override {
    return std::unexpected(core::CoreError::provider("none"));
  }
  std::string_view scheme() const noexcept override { return "*"; }
};
class Answer final : public core::Confirmer {
 public:
  core::ConfirmOutcome outcome = core::ConfirmOutcome::Approved;
  core::ConfirmOutcome confirm(const core::ConfirmRequest&, std::chrono::nanoseconds) const override {
    return outcome;
  }
};

core::MasterKey key() {
  std::array<std::uint8_t, core::MasterKey::kLen> b;
  b.fill(0x42);
  return core::MasterKey(b);
}

class RunWipe : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string tmpl = (fs::temp_directory_path() / "zantu-run-wipe-XXXXXX").string();
    ASSERT_NE(::mkdtemp(tmpl.data()), nullptr);
    root_ = tmpl;
    registry_.emplace(core::Registry::open(root_).value());
    for (const auto& [coordinate, s] : {std::pair{"secret:dev/app/db", core::Sensitivity::Medium},
                                        std::pair{"secret:dev/app/high", core::Sensitivity::High}}) {
      const auto c = core::Coordinate::from_str(coordinate).value();
      const core::RecordMeta meta{s, false, "dev", c.component, c.key, std::nullopt, "2026-01-01T00:00:00Z",
                                  "2026-01-01T00:00:00Z"};
      auto sealed = core::crypto::seal(
          core::SecretRecord::Literal{core::SecretValue::from(std::string_view(kSecret, kSecretLen)), meta}, key());
      ASSERT_TRUE(sealed.has_value());
      ASSERT_TRUE(core::store::write_record(registry_->global_dir(), c, *sealed).has_value());
    }
    allowlist_.allow("/bin/sh");
    g_hits = 0;
  }
  void TearDown() override {
    g_armed = false;
    fs::remove_all(root_);
  }

  // Runs `refs` with a child that prints the value 20000 times on stdout
  // (the captured buffer grows many times over) and once on stderr, with the
  // scan armed from before the run until after its result is dropped.
  void run_scanned(std::string_view refs_text, bool expect_success) {
    const auto refs = core::EnvRefs::parse(refs_text).value();
    const core::MockKeyring keyring(key());
    const Wrapper w{.registry = *registry_,
                    .keyring = keyring,
                    .env_source = env_,
                    .provider = provider_,
                    .confirmer = answer_,
                    .audit = audit_,
                    .clock = clock_,
                    .allowlist = allowlist_,
                    .runner = runner_,
                    .confirm_timeout = std::chrono::seconds(1),
                    .requesting_process = std::nullopt};
    const std::vector<std::string> args = {
        "-c", "i=0; while [ $i -lt 20000 ]; do printf '%s\\n' \"$V\"; i=$((i+1)); done; printf '%s' \"$V\" >&2"};
    g_armed = true;
    {
      auto got = w.run(refs, "dev", std::nullopt, "/bin/sh", args, core::Origin::Agent);
      ASSERT_EQ(got.has_value(), expect_success) << (got ? "ran" : got.error().to_string());
      if (got) {
        EXPECT_EQ(got->stdout_bytes.size(), 20000u * 4);  // "***\n" each
        EXPECT_EQ(std::string(got->stderr_bytes.view()), "***");
      }
    }
    g_armed = false;
  }

  fs::path root_;
  std::optional<core::Registry> registry_;
  NoEnv env_;
  NoProvider provider_;
  Answer answer_;
  NoAudit audit_;
  FixedClock clock_;
  Allowlist allowlist_;
  SystemRunner runner_;
};

TEST_F(RunWipe, TheScanSeesAnUnwipedCopy) {
  g_armed = true;
  { std::string copy(kSecret, kSecretLen); }
  g_armed = false;
  EXPECT_EQ(g_hits, 1);
}

TEST_F(RunWipe, MaskedRunLeavesNoCopy) {
  run_scanned("V=secret:dev/app/db\n", true);
  EXPECT_EQ(g_hits, 0);
}

TEST_F(RunWipe, ApprovedHighRunLeavesNoCopy) {
  run_scanned("V=secret:dev/app/high\n", true);
  EXPECT_EQ(g_hits, 0);
}

TEST_F(RunWipe, RefusedRunsLeaveNoCopy) {
  answer_.outcome = core::ConfirmOutcome::Denied;
  run_scanned("V=secret:dev/app/high\n", false);
  allowlist_ = Allowlist();
  run_scanned("A=secret:dev/app/db\nV=secret:dev/app/high\n", false);
  EXPECT_EQ(g_hits, 0);
}

}  // namespace
}  // namespace zantu::wrapper
