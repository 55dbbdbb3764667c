#include "zantu/wrapper/error.hpp"

#include <gtest/gtest.h>

namespace zantu::wrapper {
namespace {

TEST(WrapperError, TextForms) {
  const core::CoreError parse = core::CoreError::env_refs("line 2: duplicate variable name");
  struct Case {
    WrapperError error;
    WrapperErrorKind kind;
    const char* text;
  };
  const Case cases[] = {
      {WrapperError::core(parse), WrapperErrorKind::Core, "env-refs error: line 2: duplicate variable name"},
      {WrapperError::not_allowlisted("psql"), WrapperErrorKind::NotAllowlisted,
       "`psql` is not on the executor allowlist; high/prod injection refused (I15)"},
      {WrapperError::confirmation_denied(), WrapperErrorKind::ConfirmationDenied,
       "confirmation denied; high/prod injection refused"},
      {WrapperError::confirmation_timed_out(), WrapperErrorKind::ConfirmationTimedOut,
       "confirmation timed out; high/prod injection refused"},
      {WrapperError::spawn("launch /opt/tool: No such file or directory (os error 2)"), WrapperErrorKind::Spawn,
       "failed to launch child process: launch /opt/tool: No such file or directory (os error 2)"},
      {WrapperError::steering_variable("HOME", "chooses the per-user start-up files that programs read"),
       WrapperErrorKind::SteeringVariable,
       "variable `HOME` chooses the per-user start-up files that programs read; high/prod injection refused"},
      {WrapperError::helper_ended("/usr/bin/psql"), WrapperErrorKind::HelperEnded,
       "the run's helper process was ended by another process before `/usr/bin/psql` exited; the program was "
       "ended with it and its status is unknown"},
      {WrapperError::helper_ended("/usr/bin/sudo", false), WrapperErrorKind::HelperEnded,
       "the run's helper process was ended by another process before `/usr/bin/sudo` exited; the program could "
       "not be ended and may still be running; its status is unknown"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(c.error.kind(), c.kind);
    EXPECT_EQ(c.error.to_string(), c.text);
    EXPECT_EQ(c.error.core_error() != nullptr, c.kind == WrapperErrorKind::Core);
    EXPECT_EQ(c.error.reason().empty(), c.kind != WrapperErrorKind::SteeringVariable);
  }
  // The core error is carried unchanged, kind and detail.
  ASSERT_NE(cases[0].error.core_error(), nullptr);
  EXPECT_EQ(*cases[0].error.core_error(), parse);
}

}  // namespace
}  // namespace zantu::wrapper
