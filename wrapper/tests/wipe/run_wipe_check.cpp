// Proves that an injected run leaves no copy of a vault value in memory handed
// back to the allocator: this binary replaces the global operator delete and
// scans every freed block for the value, while the run resolves it, passes it
// to a child that prints it over and over on both streams, masks the output,
// and after the result is dropped.
#include <gtest/gtest.h>

#include <string>

#include "../support.hpp"
#include "core/tests/wipe/freed_scan.hpp"
#include "zantu/core/crypto.hpp"
#include "zantu/core/store.hpp"
#include "zantu/wrapper/wrapper.hpp"

namespace zantu::wrapper {
namespace {

namespace freed = core::testing::freed_scan;

// Static storage: the pattern itself never passes through the allocator.
constexpr char kSecret[] = "Vq3!mZ8#wK2@pL7&xN5^";
constexpr std::size_t kSecretLen = sizeof kSecret - 1;

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

class RunWipe : public ::testing::Test {
 protected:
  void SetUp() override {
    freed::patterns = {std::string_view(kSecret, kSecretLen)};
    registry_.emplace(core::Registry::open(tmp_.path()).value());
    for (const auto& [coordinate, s] : {std::pair{"secret:dev/app/db", core::Sensitivity::Medium},
                                        std::pair{"secret:dev/app/high", core::Sensitivity::High}}) {
      const auto c = testing::coord(coordinate);
      ASSERT_NO_FATAL_FAILURE(testing::put_record(
          registry_->global_dir(), c,
          core::SecretRecord::Literal{core::SecretValue::from(std::string_view(kSecret, kSecretLen)),
                                      testing::record_meta(c, s)},
          testing::test_key()));
    }
    allowlist_.allow("/bin/sh");
    freed::hits = 0;
  }
  void TearDown() override { freed::armed = false; }

  // Runs `refs` with a child that prints the value 20000 times on stdout
  // (the captured buffer grows many times over) and once on stderr, with the
  // scan armed from before the run until after its result is dropped.
  void run_scanned(std::string_view refs_text, bool expect_success) {
    const auto refs = core::EnvRefs::parse(refs_text).value();
    const core::MockKeyring keyring(testing::test_key());
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
    freed::armed = true;
    {
      auto got = w.run(refs, "dev", std::nullopt, "/bin/sh", args, core::Origin::Agent);
      ASSERT_EQ(got.has_value(), expect_success) << (got ? "ran" : got.error().to_string());
      if (got) {
        EXPECT_EQ(got->stdout_bytes.size(), 20000u * 4);  // "***\n" each
        EXPECT_EQ(std::string(got->stderr_bytes.view()), "***");
      }
    }
    freed::armed = false;
  }

  testing::TempDir tmp_;
  std::optional<core::Registry> registry_;
  testing::MapEnv env_;  // no variables
  NoProvider provider_;
  Answer answer_;
  testing::NoAudit audit_;
  testing::FixedClock clock_{0};
  Allowlist allowlist_;
  SystemRunner runner_;
};

TEST_F(RunWipe, TheScanSeesAnUnwipedCopy) {
  freed::armed = true;
  { std::string copy(kSecret, kSecretLen); }
  freed::armed = false;
  EXPECT_EQ(freed::hits, 1);
}

TEST_F(RunWipe, MaskedRunLeavesNoCopy) {
  run_scanned("V=secret:dev/app/db\n", true);
  EXPECT_EQ(freed::hits, 0);
}

TEST_F(RunWipe, ApprovedHighRunLeavesNoCopy) {
  run_scanned("V=secret:dev/app/high\n", true);
  EXPECT_EQ(freed::hits, 0);
}

TEST_F(RunWipe, RefusedRunsLeaveNoCopy) {
  answer_.outcome = core::ConfirmOutcome::Denied;
  run_scanned("V=secret:dev/app/high\n", false);
  allowlist_ = Allowlist();
  run_scanned("A=secret:dev/app/db\nV=secret:dev/app/high\n", false);
  EXPECT_EQ(freed::hits, 0);
}

}  // namespace
}  // namespace zantu::wrapper
