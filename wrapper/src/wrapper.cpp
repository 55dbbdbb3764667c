#include "zantu/wrapper/wrapper.hpp"

#include <algorithm>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "zantu/core/resolver.hpp"
#include "zantu/wrapper/sanitize.hpp"

namespace zantu::wrapper {
namespace {

using core::AuditAction;
using core::ConfirmOutcome;
using core::Sensitivity;

// An answer's audit action is the outcome's position plus 3.
constexpr AuditAction answer_action(ConfirmOutcome o) noexcept {
  return static_cast<AuditAction>(static_cast<std::uint8_t>(o) + 3);
}
static_assert(answer_action(ConfirmOutcome::Approved) == AuditAction::Approve);
static_assert(answer_action(ConfirmOutcome::Denied) == AuditAction::Deny);
static_assert(answer_action(ConfirmOutcome::TimedOut) == AuditAction::Timeout);

constexpr std::string_view answer_result(ConfirmOutcome o) noexcept {
  switch (o) {
    case ConfirmOutcome::Approved:
      return "approved";
    case ConfirmOutcome::Denied:
      return "denied";
    case ConfirmOutcome::TimedOut:
      break;
  }
  return "timeout";
}

constexpr bool is_prod(std::string_view environment) noexcept { return environment == "prod"; }

// A variable through which whoever writes the text could make an allowlisted
// program run code, or a command, of their choosing while it holds a gated
// value: the start-up and code-loading variables of the programs most often
// allowlisted. Names are case-sensitive, as those programs read them. A
// variable that only places temporary files (TMPDIR) or is read only by an
// interactive shell (ENV) is left to the text.
struct SteeringVariable {
  std::string_view name;
  bool is_prefix;  // true: every name that begins with `name`
  std::string_view reason;  // completes "variable `NAME` ..."
};

constexpr std::string_view kLoader = "changes how the program is loaded";
constexpr std::string_view kLibc = "steers the C library inside the program";
constexpr std::string_view kShell = "makes a shell run code or changes what its scripts do";
constexpr std::string_view kPython = "changes which code Python loads or runs";
constexpr std::string_view kPerl = "changes which code Perl loads or runs";
constexpr std::string_view kRuby = "changes which code Ruby loads or runs";
constexpr std::string_view kNode = "changes which code Node.js loads or runs";
constexpr std::string_view kJava = "changes which code Java loads or runs";
constexpr std::string_view kGit = "makes git run a command or read a configuration the text chooses";
constexpr std::string_view kSsh = "makes ssh run a program the text chooses";
constexpr std::string_view kCommand = "names a command that programs run for their user";
constexpr std::string_view kHome = "chooses the per-user start-up files that programs read";
constexpr std::string_view kLookup = "changes where the program finds its own commands";

constexpr SteeringVariable kSteeringVariables[] = {
    // The dynamic loader reads them before the program runs (LD_PRELOAD, LD_LIBRARY_PATH, LD_AUDIT, ...).
    {"LD_", true, kLoader},
    // The C library ignores them in secure mode: they load modules or read
    // files of the setter's choosing. TMPDIR, also on that list, only places
    // temporary files.
    {"GCONV_PATH", false, kLibc},
    {"GETCONF_DIR", false, kLibc},
    {"GLIBC_TUNABLES", false, kLibc},
    {"HOSTALIASES", false, kLibc},
    {"LOCALDOMAIN", false, kLibc},
    {"LOCPATH", false, kLibc},
    {"MALLOC_TRACE", false, kLibc},
    {"NIS_PATH", false, kLibc},
    {"NLSPATH", false, kLibc},
    {"RESOLV_HOST_CONF", false, kLibc},
    {"RES_OPTIONS", false, kLibc},
    {"TZDIR", false, kLibc},
    // sh, bash and zsh: a file sourced before a script, options (xtrace with a
    // PS4 that substitutes a command runs it), exported functions that
    // replace commands, the directories `cd` searches, zsh's start-up files
    // and function path. sh and bash reset IFS at start-up and bash ignores
    // an inherited GLOBIGNORE, so neither is here.
    {"BASH_ENV", false, kShell},
    {"SHELLOPTS", false, kShell},
    {"BASHOPTS", false, kShell},
    {"PS4", false, kShell},
    {"BASH_FUNC_", true, kShell},
    {"CDPATH", false, kShell},
    {"ZDOTDIR", false, kShell},
    {"FPATH", false, kShell},
    // Module paths, start-up files and hooks; a warning category names a
    // module that is imported at start-up; the platform library directory
    // moves the whole standard library; a bytecode cache prefix lets planted
    // bytecode stand in for any module.
    {"PYTHONPATH", false, kPython},
    {"PYTHONHOME", false, kPython},
    {"PYTHONPLATLIBDIR", false, kPython},
    {"PYTHONSTARTUP", false, kPython},
    {"PYTHONINSPECT", false, kPython},
    {"PYTHONUSERBASE", false, kPython},
    {"PYTHONWARNINGS", false, kPython},
    {"PYTHONBREAKPOINT", false, kPython},
    {"PYTHONPYCACHEPREFIX", false, kPython},
    {"PERL5LIB", false, kPerl},
    {"PERLLIB", false, kPerl},
    {"PERL5OPT", false, kPerl},
    {"PERL5DB", false, kPerl},
    {"RUBYLIB", false, kRuby},
    {"RUBYOPT", false, kRuby},
    {"NODE_OPTIONS", false, kNode},
    {"NODE_PATH", false, kNode},
    {"JAVA_TOOL_OPTIONS", false, kJava},
    {"_JAVA_OPTIONS", false, kJava},
    {"JDK_JAVA_OPTIONS", false, kJava},
    {"CLASSPATH", false, kJava},
    // Configuration given in the environment (GIT_CONFIG_PARAMETERS,
    // GIT_CONFIG_COUNT/KEY_n/VALUE_n, GIT_CONFIG_GLOBAL, ...) or read from a
    // repository, common directory or template the text names: core.fsmonitor,
    // aliases and hooks run commands. The others name programs git runs.
    {"GIT_CONFIG", false, kGit},
    {"GIT_CONFIG_", true, kGit},
    {"GIT_DIR", false, kGit},
    {"GIT_COMMON_DIR", false, kGit},
    {"GIT_TEMPLATE_DIR", false, kGit},
    {"GIT_EXEC_PATH", false, kGit},
    {"GIT_SSH", false, kGit},
    {"GIT_SSH_COMMAND", false, kGit},
    {"GIT_ASKPASS", false, kGit},
    {"GIT_PROXY_COMMAND", false, kGit},
    {"GIT_EXTERNAL_DIFF", false, kGit},
    {"GIT_EDITOR", false, kGit},
    {"GIT_SEQUENCE_EDITOR", false, kGit},
    {"GIT_PAGER", false, kGit},
    // ssh runs it for a passphrase; git falls back to it as well.
    {"SSH_ASKPASS", false, kSsh},
    // Commands other programs run: git falls back to the editor and pager,
    // and command-line logins and Python's webbrowser start the browser.
    {"EDITOR", false, kCommand},
    {"VISUAL", false, kCommand},
    {"PAGER", false, kCommand},
    {"BROWSER", false, kCommand},
    // ~/.gitconfig, Python's user site with its .pth files, ~/.bashrc, ...
    {"HOME", false, kHome},
    {"XDG_CONFIG_HOME", false, kHome},
    // The program, and every script it runs, looks up its own commands on it.
    {"PATH", false, kLookup},
};

struct SteeringHit {
  std::string_view name;
  std::string_view reason;
};

// The first variable of the text that could steer the program, or nullopt
// when there is none.
std::optional<SteeringHit> first_steering_variable(const std::vector<core::ResolvedVar>& vars) {
  for (const auto& v : vars) {
    for (const auto& s : kSteeringVariables) {
      if (s.is_prefix ? v.name.starts_with(s.name) : v.name == s.name) return SteeringHit{v.name, s.reason};
    }
  }
  return std::nullopt;
}

// Records one event stamped now; a failed write changes nothing.
void audit_event(const Wrapper& w, AuditAction action, std::string_view result, std::string_view coordinate,
                 std::string_view environment, core::Origin origin) {
  static_cast<void>(w.audit.record(
      core::AuditEvent(w.clock.now_rfc3339(), action, std::string(result)).at(coordinate, environment).by(origin)));
}

// One "deny" event per gated value, in order.
void deny_each(const Wrapper& w, const std::vector<GatedVar>& gated, std::string_view result, core::Origin origin) {
  for (const auto& g : gated) audit_event(w, AuditAction::Deny, result, g.coordinate, g.environment, origin);
}

// The program and its arguments joined by single spaces, unquoted: what a
// human is asked to allow.
std::string shown_command(std::string_view program, std::span<const std::string> args) {
  std::string shown(program);
  for (const auto& a : args) {
    shown.push_back(' ');
    shown.append(a);
  }
  return shown;
}

core::ConfirmRequest confirmation_request(const Wrapper& w, const std::vector<GatedVar>& high, std::string shown,
                                          core::Origin origin) {
  std::string coordinates;
  for (const auto& g : high) {
    if (!coordinates.empty()) coordinates.append(", ");
    coordinates.append(g.coordinate);
  }
  const auto prod = std::ranges::find_if(high, [](const GatedVar& g) { return is_prod(g.environment); });
  const GatedVar& shown_env = prod != high.end() ? *prod : high.front();
  core::ConfirmRequest request(coordinates, Sensitivity::High, shown_env.environment, origin);
  request.resolved_command = std::move(shown);
  request.allow_password = false;
  if (w.requesting_process) request.with_requesting_process(*w.requesting_process);
  return request;
}

}  // namespace

Result<Output> Wrapper::run(const core::EnvRefs& refs, std::string_view env, std::optional<std::string_view> project,
                            std::string_view program, std::span<const std::string> args, core::Origin origin) const {
  auto resolved =
      core::resolver::resolve(refs, env, registry, keyring, env_source, provider, audit, clock, origin, project);
  if (!resolved) return std::unexpected(WrapperError::core(std::move(resolved.error())));
  std::vector<core::ResolvedVar>& vars = *resolved;

  std::vector<GatedVar> gated, high;
  for (const auto& v : vars) {
    if (!v.coordinate) continue;
    const Sensitivity s = v.sensitivity.value_or(Sensitivity::Low);
    // Only exactly high needs a human; inject-only outside "prod" needs neither gate.
    const bool is_high = s == Sensitivity::High;
    if (is_high || is_prod(v.environment)) gated.push_back(GatedVar{*v.coordinate, v.environment, s});
    if (is_high) high.push_back(GatedVar{*v.coordinate, v.environment, s});
  }

  // A gated value goes only to the file the allowlist vouches for, so the
  // child is started from the very path that was checked.
  const std::string path = gated.empty() ? std::string(program) : allowlist::canonical_or_owned(program);
  if (!gated.empty() && !allowlist.allows(path)) {
    deny_each(*this, gated, "denied:not-allowlisted", origin);
    return std::unexpected(WrapperError::not_allowlisted(std::string(program)));
  }

  // Denied after the allowlist, so a program off it is denied as ever, and
  // before anyone is asked to approve a run that could not go ahead.
  if (!gated.empty()) {
    if (const auto hit = first_steering_variable(vars)) {
      deny_each(*this, gated, "denied:steering-variable", origin);
      return std::unexpected(WrapperError::steering_variable(std::string(hit->name), std::string(hit->reason)));
    }
  }

  if (!high.empty()) {
    const core::ConfirmRequest request = confirmation_request(*this, high, shown_command(program, args), origin);
    const ConfirmOutcome outcome = confirmer.confirm(request, confirm_timeout);
    for (const auto& g : high) {
      audit_event(*this, answer_action(outcome), answer_result(outcome), g.coordinate, g.environment, origin);
    }
    if (outcome == ConfirmOutcome::Denied) return std::unexpected(WrapperError::confirmation_denied());
    if (outcome == ConfirmOutcome::TimedOut) return std::unexpected(WrapperError::confirmation_timed_out());
  }

  Command command;
  // argv[0] is the program path too: for a gated run the canonical path
  // that was checked, so a link of the caller's naming cannot choose the
  // personality of a program that dispatches on its own name.
  command.program = path;
  command.args.assign(args.begin(), args.end());
  command.inherit_stdio = inherit_stdio;
  // A bare allowlisted name is looked up where the caller would find it,
  // never on a PATH of the text's making.
  command.path_search = gated.empty() ? PathSearch::Child : PathSearch::Caller;
  command.env.reserve(vars.size());
  std::vector<std::string> masked_names;
  for (auto& v : vars) {
    if (v.coordinate) {
      audit_event(*this, AuditAction::Inject, "injected", *v.coordinate, v.environment, origin);
      masked_names.push_back(v.name);
    }
    command.env.push_back(EnvPair{std::move(v.name), std::move(v.value)});
  }

  auto output = runner.run(command);
  if (!output) return std::unexpected(std::move(output.error()));

  if (mask_output && !inherit_stdio) {
    std::vector<std::span<const std::uint8_t>> secrets;
    for (const auto& pair : command.env) {
      if (std::ranges::find(masked_names, pair.name) != masked_names.end()) secrets.push_back(pair.value.as_bytes());
    }
    // Assigning wipes the captured bytes before the masked copy takes their place.
    output->stdout = sanitize::mask_secrets(output->stdout.as_bytes(), secrets);
    output->stderr = sanitize::mask_secrets(output->stderr.as_bytes(), secrets);
  }
  return std::move(*output);
}

}  // namespace zantu::wrapper
