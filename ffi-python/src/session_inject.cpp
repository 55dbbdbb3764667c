// Session::inject_run: the per-call collaborators of an injected run, the
// scope checks before anything is resolved, and the mapping of the wrapper's
// failures.
#include <cstdlib>
#include <memory>
#include <utility>
#include <variant>

#include "session.hpp"
#include "zantu/core/env_source.hpp"
#include "zantu/core/envrefs.hpp"
#include "zantu/core/file_confirm.hpp"
#include "zantu/core/provider.hpp"
#include "zantu/providers/aws/aws.hpp"
#include "zantu/providers/azure/azure.hpp"
#include "zantu/wrapper/allowlist.hpp"
#include "zantu/wrapper/runner.hpp"
#include "zantu/wrapper/wrapper.hpp"

namespace zantu::ffi {

namespace session {

std::chrono::nanoseconds confirm_timeout() {
  const char* text = std::getenv(kConfirmTimeoutTestVar);
  if (text == nullptr || *text == '\0') return kConfirmTimeout;
  std::uint64_t ms = 0;
  for (const char* p = text; *p != '\0'; ++p) {
    if (*p < '0' || *p > '9') return kConfirmTimeout;
    ms = ms * 10 + static_cast<std::uint64_t>(*p - '0');
    if (ms >= static_cast<std::uint64_t>(std::chrono::milliseconds(kConfirmTimeout).count())) return kConfirmTimeout;
  }
  return std::chrono::milliseconds(ms);
}

}  // namespace session

FfiResult<InjectOutput> Session::inject_run(std::string_view refs_text, std::string_view env, std::string_view program,
                                            std::span<const std::string> args,
                                            std::optional<std::string_view> project,
                                            std::optional<std::string_view> client_identity) const {
  const core::FileConfirmer confirmer = core::FileConfirmer::under_root(root_);
  const core::FileAuditSink audit_sink = core::FileAuditSink::under_root(root_);
  // Read on every call, before the scope is looked at.
  const wrapper::Allowlist allowlist = wrapper::Allowlist::read_file((root_ / "allowlist").string());
  const core::SchemeRouter router = core::SchemeRouter()
                                        .with(std::make_unique<providers::azure::AzureProvider>())
                                        .with(std::make_unique<providers::aws::AwsProvider>());

  if (!scope_.permits(core::Operation::Inject)) return std::unexpected(FfiError::not_addressable());

  auto refs = core::EnvRefs::parse(refs_text);
  if (!refs) return std::unexpected(FfiError::core(std::move(refs.error())));

  std::optional<std::string_view> run_project = project;
  if (!run_project && refs->project) run_project = *refs->project;

  // Every coordinate is held against the scope before anything is resolved;
  // fallbacks are plain text and are not looked at.
  for (const auto& [name, source] : refs->vars) {
    const auto* secret = std::get_if<core::Source::Secret>(&source.form);
    if (secret == nullptr) continue;
    auto coordinate = core::Coordinate::from_str(secret->uri);
    if (!coordinate) return std::unexpected(FfiError::other(coordinate.error().to_string()));
    const core::Coordinate concrete = coordinate->env.is_placeholder() ? coordinate->with_env(env) : *coordinate;
    if (!scope_.addresses(concrete, run_project)) return std::unexpected(FfiError::not_addressable());
  }
  // A project name that is no single directory under "projects" never reaches a vault path.
  if (auto checked = session::check_project_name(run_project); !checked) return std::unexpected(checked.error());

  const core::MockKeyring keyring(master_key_);
  const core::SystemEnvSource env_source;
  const wrapper::SystemRunner runner;
  std::optional<std::string> requesting_process;
  if (client_identity) requesting_process.emplace(*client_identity);
  const wrapper::Wrapper w{.registry = registry_,
                           .keyring = keyring,
                           .env_source = env_source,
                           .provider = router,
                           .confirmer = confirmer,
                           .audit = audit_sink,
                           .clock = clock_,
                           .allowlist = allowlist,
                           .runner = runner,
                           .confirm_timeout = session::confirm_timeout(),
                           .requesting_process = std::move(requesting_process),
                           .mask_output = true,
                           .inherit_stdio = false};

  auto output = w.run(*refs, env, run_project, program, args, core::Origin::Agent);
  if (!output) {
    const wrapper::WrapperError& e = output.error();
    switch (e.kind()) {
      case wrapper::WrapperErrorKind::NotAllowlisted:
      case wrapper::WrapperErrorKind::ConfirmationDenied:
      case wrapper::WrapperErrorKind::ConfirmationTimedOut:
      case wrapper::WrapperErrorKind::SteeringVariable:
        return std::unexpected(FfiError::policy_denied(e.to_string()));
      case wrapper::WrapperErrorKind::Core:
      case wrapper::WrapperErrorKind::Spawn:
      case wrapper::WrapperErrorKind::HelperEnded:
        break;
    }
    return std::unexpected(FfiError::other(e.to_string()));
  }
  return InjectOutput{output->status, std::move(output->stdout_bytes), std::move(output->stderr_bytes)};
}

}  // namespace zantu::ffi
