// One injected program run: resolution, the allowlist and confirmation gates,
// the audit trail, the child and the masking of its output.
#pragma once

#include <chrono>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "zantu/core/audit.hpp"
#include "zantu/core/clock.hpp"
#include "zantu/core/confirm.hpp"
#include "zantu/core/env_source.hpp"
#include "zantu/core/envrefs.hpp"
#include "zantu/core/keyring.hpp"
#include "zantu/core/provider.hpp"
#include "zantu/core/registry.hpp"
#include "zantu/core/sensitivity.hpp"
#include "zantu/wrapper/allowlist.hpp"
#include "zantu/wrapper/error.hpp"
#include "zantu/wrapper/runner.hpp"

namespace zantu::wrapper {

// One value the gate covers: a resolved vault value that is high or from
// "prod". Holds no value bytes.
struct GatedVar {
  std::string coordinate;   // canonical path "<env>/<component>/<key>"
  std::string environment;  // the value's own environment
  core::Sensitivity sensitivity;
};

// The configuration of a run: borrowed collaborators, which must outlive
// every call of `run`, and four settings. `run` changes none of them.
struct Wrapper {
  const core::Registry& registry;
  const core::Keyring& keyring;
  const core::EnvSource& env_source;
  const core::SecretProvider& provider;
  const core::Confirmer& confirmer;
  const core::AuditSink& audit;
  const core::Clock& clock;
  const Allowlist& allowlist;
  const ProcessRunner& runner;
  // How long one confirmation waits for its answer.
  std::chrono::nanoseconds confirm_timeout;
  // Shown to the human as the requesting process of a confirmation.
  std::optional<std::string> requesting_process;
  // true: the injected vault values are replaced by "***" in the output.
  bool mask_output = true;
  // true: the child shares the caller's stdio; nothing is captured or masked.
  bool inherit_stdio = false;

  // Resolves `refs` (`env` fills "${ENV}"; `project`, else the text's own
  // line, names the vault searched before the global one), then:
  //  - when a vault value is high or from "prod", `program` must be on the
  //    allowlist, else every such value is audited "deny" and the run fails
  //    with `NotAllowlisted` (the caller's program text);
  //  - with such a value, a text variable that could steer the program (the
  //    loader's LD_ variables, those the C library ignores in secure mode,
  //    the start-up and code-loading variables of shells, interpreters and
  //    git, commands programs run, HOME, PATH; the variables through which
  //    libraries inside the program load modules or start programs: OpenSSL,
  //    libdbus, GIO and GTK, SASL, Kerberos and GSS-API, ssh's security-key
  //    provider; those that choose the start-up and configuration files, or
  //    name the programs, of psql, wget, curl, gpg, kubectl, the cloud and
  //    deploy tools, cargo and rustup; npm's npm_config_ settings in any
  //    case; the makefiles, options and homes of make, Maven and Gradle;
  //    pip's PIP_ settings; terraform's TF_CLI_ARGS; the version managers'
  //    shims; git's traces and SSLKEYLOGFILE; DOCKER_HOST) denies the run:
  //    every such value is audited "deny" and the run fails with
  //    `SteeringVariable` naming it, before anyone is asked and before any
  //    "inject" line;
  //  - a command that exec cannot carry (`refuse_unpassable`: a value with a
  //    NUL byte, one that makes "NAME=value" longer than `kMaxEnvStringLen`,
  //    one that is not UTF-8, an argument or an inherited variable longer
  //    than that, or everything together past what the kernel takes) fails
  //    the run with `Spawn` naming the variable or the argument, before
  //    anyone is asked and before any "inject" line;
  //  - when a vault value is high, one confirmation covers all of them, its
  //    answer is audited per value, and a denial or time-out fails the run;
  //  - every vault value is audited "inject" before the child starts;
  //  - the child runs with every resolved value in its environment. With a
  //    gated value it is started from, and called by (argv[0]), the
  //    program's canonical path (a bare name that does not resolve is
  //    searched on this process's PATH); without one, by `program` as given;
  //  - the vault values are masked in both captured outputs.
  // A resolution failure is `Core` with the core error unchanged; a launch
  // failure (a program that is not there or cannot be executed, say) the
  // runner's `Spawn`, after the "inject" lines. Every resolved value is
  // wiped when the call ends, on every path. Audit write failures are ignored.
  [[nodiscard]] Result<Output> run(const core::EnvRefs& refs, std::string_view env,
                                   std::optional<std::string_view> project, std::string_view program,
                                   std::span<const std::string> args, core::Origin origin) const;
};

}  // namespace zantu::wrapper
