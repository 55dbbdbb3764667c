#include "zantu/wrapper/wrapper.hpp"

#include <algorithm>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "zantu/core/resolver.hpp"
#include "zantu/core/utf8.hpp"
#include "zantu/wrapper/sanitize.hpp"

namespace zantu::wrapper {
namespace {

using core::AuditAction;
using core::ConfirmOutcome;
using core::Sensitivity;
using core::utf8::ascii_lower;

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
// value, or write that value out or send it elsewhere: the start-up and
// code-loading variables of the programs most often allowlisted, of the
// libraries inside them, of build tools, package installers and version
// managers, the variables that choose the configuration files of the tools
// most often given production values, debugging output that writes
// credentials, and the daemon a tool sends its values to.
// Names are case-sensitive, as those programs read them, but for npm's, which
// npm reads in any case. A variable that only places temporary files (TMPDIR)
// or is read only by an interactive shell (ENV) is left to the text, and so
// is ordinary configuration (regions, hosts, CA bundles): the table lists
// names, never patterns such as a `_CONFIG_FILE` suffix.
enum class Match : std::uint8_t {
  Exact,          // the name itself
  Prefix,         // every name that begins with it
  PrefixAnyCase,  // every name that begins with it in any ASCII case
};

struct SteeringVariable {
  std::string_view name;
  Match match;
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
constexpr std::string_view kModule =
    "makes a library inside the program load a module or start a program the text chooses";
constexpr std::string_view kToolConfig =
    "chooses a start-up or configuration file that tells the tool what to run, load or send";
constexpr std::string_view kToolProgram = "names a program or code that the tool runs";
constexpr std::string_view kNpm = "sets npm's configuration, which chooses the shell and the programs npm runs";
constexpr std::string_view kBuild =
    "gives a build tool makefiles, options or an installation that run code the text chooses";
constexpr std::string_view kPip =
    "sets pip's configuration, which chooses where pip finds the packages whose build code it runs";
constexpr std::string_view kTerraform = "adds arguments to terraform's commands, which choose the plugins it runs";
constexpr std::string_view kShim =
    "steers a version manager's shim, a shell script that sources hooks and chooses the program it runs";
constexpr std::string_view kTrace =
    "turns on debugging output that writes the program's credentials or TLS keys beyond the reach of masking";
constexpr std::string_view kDaemon = "chooses the daemon to which the tool sends everything it is given";

using enum Match;

constexpr SteeringVariable kSteeringVariables[] = {
    // The dynamic loader reads them before the program runs (LD_PRELOAD, LD_LIBRARY_PATH, LD_AUDIT, ...).
    {"LD_", Prefix, kLoader},
    // The C library ignores them in secure mode: they load modules or read
    // files of the setter's choosing. TMPDIR, also on that list, only places
    // temporary files.
    {"GCONV_PATH", Exact, kLibc},
    {"GETCONF_DIR", Exact, kLibc},
    {"GLIBC_TUNABLES", Exact, kLibc},
    {"HOSTALIASES", Exact, kLibc},
    {"LOCALDOMAIN", Exact, kLibc},
    {"LOCPATH", Exact, kLibc},
    {"MALLOC_TRACE", Exact, kLibc},
    {"NIS_PATH", Exact, kLibc},
    {"NLSPATH", Exact, kLibc},
    {"RESOLV_HOST_CONF", Exact, kLibc},
    {"RES_OPTIONS", Exact, kLibc},
    {"TZDIR", Exact, kLibc},
    // sh, bash and zsh: a file sourced before a script, options (xtrace with a
    // PS4 that substitutes a command runs it), exported functions that
    // replace commands, the directories `cd` searches, zsh's start-up files
    // and function path. sh and bash reset IFS at start-up and bash ignores
    // an inherited GLOBIGNORE, so neither is here.
    {"BASH_ENV", Exact, kShell},
    {"SHELLOPTS", Exact, kShell},
    {"BASHOPTS", Exact, kShell},
    {"PS4", Exact, kShell},
    {"BASH_FUNC_", Prefix, kShell},
    {"CDPATH", Exact, kShell},
    {"ZDOTDIR", Exact, kShell},
    {"FPATH", Exact, kShell},
    // Module paths, start-up files and hooks; a warning category names a
    // module that is imported at start-up; the platform library directory
    // moves the whole standard library; a bytecode cache prefix lets planted
    // bytecode stand in for any module.
    {"PYTHONPATH", Exact, kPython},
    {"PYTHONHOME", Exact, kPython},
    {"PYTHONPLATLIBDIR", Exact, kPython},
    {"PYTHONSTARTUP", Exact, kPython},
    {"PYTHONINSPECT", Exact, kPython},
    {"PYTHONUSERBASE", Exact, kPython},
    {"PYTHONWARNINGS", Exact, kPython},
    {"PYTHONBREAKPOINT", Exact, kPython},
    {"PYTHONPYCACHEPREFIX", Exact, kPython},
    {"PERL5LIB", Exact, kPerl},
    {"PERLLIB", Exact, kPerl},
    {"PERL5OPT", Exact, kPerl},
    {"PERL5DB", Exact, kPerl},
    {"RUBYLIB", Exact, kRuby},
    {"RUBYOPT", Exact, kRuby},
    {"NODE_OPTIONS", Exact, kNode},
    {"NODE_PATH", Exact, kNode},
    {"JAVA_TOOL_OPTIONS", Exact, kJava},
    {"_JAVA_OPTIONS", Exact, kJava},
    {"JDK_JAVA_OPTIONS", Exact, kJava},
    {"CLASSPATH", Exact, kJava},
    // Configuration given in the environment (GIT_CONFIG_PARAMETERS,
    // GIT_CONFIG_COUNT/KEY_n/VALUE_n, GIT_CONFIG_GLOBAL, ...) or read from a
    // repository, common directory or template the text names: core.fsmonitor,
    // aliases and hooks run commands. The others name programs git runs, or
    // (GIT_ALLOW_PROTOCOL) let an `ext::` remote run one.
    {"GIT_CONFIG", Exact, kGit},
    {"GIT_CONFIG_", Prefix, kGit},
    {"GIT_DIR", Exact, kGit},
    {"GIT_COMMON_DIR", Exact, kGit},
    {"GIT_TEMPLATE_DIR", Exact, kGit},
    {"GIT_EXEC_PATH", Exact, kGit},
    {"GIT_SSH", Exact, kGit},
    {"GIT_SSH_COMMAND", Exact, kGit},
    {"GIT_ASKPASS", Exact, kGit},
    {"GIT_PROXY_COMMAND", Exact, kGit},
    {"GIT_EXTERNAL_DIFF", Exact, kGit},
    {"GIT_EDITOR", Exact, kGit},
    {"GIT_SEQUENCE_EDITOR", Exact, kGit},
    {"GIT_PAGER", Exact, kGit},
    {"GIT_ALLOW_PROTOCOL", Exact, kGit},
    // ssh runs it for a passphrase; git falls back to it as well.
    {"SSH_ASKPASS", Exact, kSsh},
    // Commands other programs run: git falls back to the editor and pager,
    // and command-line logins and Python's webbrowser start the browser;
    // psql has its own names for them, and kubectl for its editor and the
    // diff program `kubectl diff` runs.
    {"EDITOR", Exact, kCommand},
    {"VISUAL", Exact, kCommand},
    {"PAGER", Exact, kCommand},
    {"BROWSER", Exact, kCommand},
    {"PSQL_EDITOR", Exact, kCommand},
    {"PSQL_PAGER", Exact, kCommand},
    {"PSQL_WATCH_PAGER", Exact, kCommand},
    {"KUBE_EDITOR", Exact, kCommand},
    {"KUBECTL_EXTERNAL_DIFF", Exact, kCommand},
    // Libraries inside the programs that load modules, or start programs,
    // named by a variable. OpenSSL: a configuration that loads a provider or
    // engine (libcrypto reads it as it initialises, for `import ssl` and any
    // TLS client), the directories `-provider` and `-engine` load from by
    // name, and the directory a configuration's relative includes come from.
    {"OPENSSL_CONF", Exact, kModule},
    {"OPENSSL_CONF_INCLUDE", Exact, kModule},
    {"OPENSSL_MODULES", Exact, kModule},
    {"OPENSSL_ENGINES", Exact, kModule},
    // libdbus runs the program of a `unixexec:` address.
    {"DBUS_SESSION_BUS_ADDRESS", Exact, kModule},
    {"DBUS_SYSTEM_BUS_ADDRESS", Exact, kModule},
    {"DBUS_STARTER_ADDRESS", Exact, kModule},
    // GIO loads every library of its module directories and launches
    // applications through a helper it may be told of; GTK loads the modules
    // its *_MODULES variables list, searching GTK_PATH too.
    {"GIO_EXTRA_MODULES", Exact, kModule},
    {"GIO_MODULE_DIR", Exact, kModule},
    {"GIO_LAUNCH_DESKTOP", Exact, kModule},
    {"GTK_MODULES", Exact, kModule},
    {"GTK2_MODULES", Exact, kModule},
    {"GTK3_MODULES", Exact, kModule},
    {"GTK_PATH", Exact, kModule},
    // Cyrus SASL's plugin directory; Kerberos plugin modules named in its
    // configuration, and the GSS-API mechanism libraries named in its list
    // (curl, libpq and ssh load them for Negotiate and GSS logins); ssh's
    // security-key middleware.
    {"SASL_PATH", Exact, kModule},
    {"KRB5_CONFIG", Exact, kModule},
    {"GSS_MECH_CONFIG", Exact, kModule},
    {"SSH_SK_PROVIDER", Exact, kModule},
    // Per-tool start-up and configuration files that name commands, code or
    // destinations: psql runs `\!` lines of a psqlrc (its own, or the one in
    // the system directory) and takes connections from a service file; wget's
    // use_askpass, curl's .curlrc, gpg's agent-program; the cloud and deploy
    // tools run credential processes and exec plugins (aws, kubectl), load
    // extensions (az), plugins (docker's cli-plugins, terraform's provider
    // overrides) or settings (gcloud) from these; cargo's config.toml names
    // wrappers and runners.
    {"PSQLRC", Exact, kToolConfig},
    {"PGSYSCONFDIR", Exact, kToolConfig},
    {"PGSERVICEFILE", Exact, kToolConfig},
    {"WGETRC", Exact, kToolConfig},
    {"SYSTEM_WGETRC", Exact, kToolConfig},
    {"CURL_HOME", Exact, kToolConfig},
    {"GNUPGHOME", Exact, kToolConfig},
    {"AWS_CONFIG_FILE", Exact, kToolConfig},
    {"AWS_SHARED_CREDENTIALS_FILE", Exact, kToolConfig},
    {"KUBECONFIG", Exact, kToolConfig},
    {"AZURE_CONFIG_DIR", Exact, kToolConfig},
    {"CLOUDSDK_CONFIG", Exact, kToolConfig},
    {"TF_CLI_CONFIG_FILE", Exact, kToolConfig},
    {"TERRAFORM_CONFIG", Exact, kToolConfig},
    {"DOCKER_CONFIG", Exact, kToolConfig},
    {"CARGO_HOME", Exact, kToolConfig},
    // The code or programs a tool runs, named directly: az's extensions, the
    // Python gcloud, gsutil and bq run on and its options (`-c` runs code);
    // cargo's compiler, wrappers, documentation tool and compiler and rustdoc
    // flags (`-Clinker=` names the linker), also as cargo configuration keys
    // (CARGO_BUILD_...); every target's linker, runner and flags, and the
    // target directory, whose planted artifacts `cargo run` starts as fresh;
    // and rustup's settings, of which RUSTUP_TOOLCHAIN may be a path whose
    // rustc runs, and RUSTUP_HOME holds the toolchains.
    {"AZURE_EXTENSION_DIR", Exact, kToolProgram},
    {"CLOUDSDK_PYTHON", Exact, kToolProgram},
    {"CLOUDSDK_PYTHON_ARGS", Exact, kToolProgram},
    {"CLOUDSDK_GSUTIL_PYTHON", Exact, kToolProgram},
    {"CLOUDSDK_BQ_PYTHON", Exact, kToolProgram},
    {"RUSTC", Exact, kToolProgram},
    {"RUSTC_WRAPPER", Exact, kToolProgram},
    {"RUSTC_WORKSPACE_WRAPPER", Exact, kToolProgram},
    {"RUSTDOC", Exact, kToolProgram},
    {"RUSTFLAGS", Exact, kToolProgram},
    {"CARGO_BUILD_RUSTC", Exact, kToolProgram},
    {"CARGO_BUILD_RUSTC_WRAPPER", Exact, kToolProgram},
    {"CARGO_BUILD_RUSTC_WORKSPACE_WRAPPER", Exact, kToolProgram},
    {"CARGO_BUILD_RUSTDOC", Exact, kToolProgram},
    {"CARGO_BUILD_RUSTFLAGS", Exact, kToolProgram},
    {"CARGO_ENCODED_RUSTFLAGS", Exact, kToolProgram},
    {"RUSTDOCFLAGS", Exact, kToolProgram},
    {"CARGO_BUILD_RUSTDOCFLAGS", Exact, kToolProgram},
    {"CARGO_ENCODED_RUSTDOCFLAGS", Exact, kToolProgram},
    {"CARGO_TARGET_", Prefix, kToolProgram},
    {"RUSTUP_", Prefix, kToolProgram},
    // npm takes every setting from a variable with this prefix, read in any
    // case: script-shell, node-options, userconfig, ...
    {"npm_config_", PrefixAnyCase, kNpm},
    // make reads the makefiles MAKEFILES lists before the project's own, and
    // takes options (`--eval=` a `$(shell ...)`, `-f`, `-I`) from MAKEFLAGS
    // and GNUMAKEFLAGS. Maven and Gradle hand their *_OPTS to the JVM
    // (`-agentpath:` loads a native agent); Maven's start script takes
    // options from MAVEN_ARGS and MAVEN_CONFIG and from the `.mvn/` files
    // (jvm.config, ...) of MAVEN_BASEDIR, and runs the installation M2_HOME
    // or MAVEN_HOME names; Gradle's user home holds the init scripts and
    // gradle.properties that every build takes.
    {"MAKEFILES", Exact, kBuild},
    {"MAKEFLAGS", Exact, kBuild},
    {"GNUMAKEFLAGS", Exact, kBuild},
    {"MAVEN_OPTS", Exact, kBuild},
    {"MAVEN_DEBUG_OPTS", Exact, kBuild},
    {"MAVEN_BASEDIR", Exact, kBuild},
    {"MAVEN_CONFIG", Exact, kBuild},
    {"MAVEN_ARGS", Exact, kBuild},
    {"M2_HOME", Exact, kBuild},
    {"MAVEN_HOME", Exact, kBuild},
    {"GRADLE_OPTS", Exact, kBuild},
    {"GRADLE_USER_HOME", Exact, kBuild},
    // pip takes every option from a variable with this prefix, in upper case
    // only: an index, extra index or find-links of the text's choosing
    // serves a planted source package whose build backend pip runs, and
    // PIP_CONFIG_FILE names a configuration that does the same.
    {"PIP_", Prefix, kPip},
    // TF_CLI_ARGS and TF_CLI_ARGS_<command> are added to the command line:
    // `-plugin-dir=` with `-upgrade` makes `init` take planted providers and
    // rewrite the lock file for them, and every later command runs them.
    {"TF_CLI_ARGS", Prefix, kTerraform},
    // pyenv's, rbenv's, nodenv's and asdf's shims are shell scripts that
    // source hook scripts from the directories these name (PYENV_HOOK_PATH,
    // ...) and pick the version, and so the program, they run.
    {"PYENV_", Prefix, kShim},
    {"RBENV_", Prefix, kShim},
    {"NODENV_", Prefix, kShim},
    {"ASDF_", Prefix, kShim},
    // git's traces (GIT_TRACE_CURL, GIT_TRACE_REDACT=0 keeping the
    // credentials in them) and its other trace settings write the
    // Authorization header, base64 that masking cannot see, to stderr or a
    // file; curl and Python's ssl write the TLS session keys, which decrypt
    // the traffic, to SSLKEYLOGFILE.
    {"GIT_TRACE", Prefix, kTrace},
    {"GIT_CURL_VERBOSE", Exact, kTrace},
    {"GIT_REDACT_COOKIES", Exact, kTrace},
    {"SSLKEYLOGFILE", Exact, kTrace},
    // docker sends the daemon every value it is asked to pass (`-e NAME`).
    {"DOCKER_HOST", Exact, kDaemon},
    // ~/.gitconfig, Python's user site with its .pth files, ~/.bashrc, ...
    {"HOME", Exact, kHome},
    {"XDG_CONFIG_HOME", Exact, kHome},
    // The program, and every script it runs, looks up its own commands on it.
    {"PATH", Exact, kLookup},
};

struct SteeringHit {
  std::string_view name;
  std::string_view reason;
};

constexpr bool matches(const SteeringVariable& s, std::string_view name) noexcept {
  switch (s.match) {
    case Exact:
      return name == s.name;
    case Prefix:
      return name.starts_with(s.name);
    case PrefixAnyCase:
      return name.size() >= s.name.size() &&
             std::ranges::equal(name.substr(0, s.name.size()), s.name, {}, ascii_lower, ascii_lower);
  }
  return false;
}

// The first variable of the text that could steer the program, or nullopt
// when there is none.
std::optional<SteeringHit> first_steering_variable(const std::vector<core::ResolvedVar>& vars) {
  for (const auto& v : vars) {
    for (const auto& s : kSteeringVariables) {
      if (matches(s, v.name)) return SteeringHit{v.name, s.reason};
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
    if (v.coordinate) masked_names.push_back(v.name);
    command.env.push_back(EnvPair{std::move(v.name), std::move(v.value)});
  }

  // What exec cannot carry would fail only at the launch: refused here, by
  // the system runner's own check on the very command it is given, so such a
  // run is never audited as injected nor put to a human.
  if (auto refusal = refuse_unpassable(command)) return std::unexpected(WrapperError::spawn(std::move(*refusal)));

  if (!high.empty()) {
    const core::ConfirmRequest request = confirmation_request(*this, high, shown_command(program, args), origin);
    const ConfirmOutcome outcome = confirmer.confirm(request, confirm_timeout);
    for (const auto& g : high) {
      audit_event(*this, answer_action(outcome), answer_result(outcome), g.coordinate, g.environment, origin);
    }
    if (outcome == ConfirmOutcome::Denied) return std::unexpected(WrapperError::confirmation_denied());
    if (outcome == ConfirmOutcome::TimedOut) return std::unexpected(WrapperError::confirmation_timed_out());
  }

  for (const auto& v : vars) {
    if (v.coordinate) audit_event(*this, AuditAction::Inject, "injected", *v.coordinate, v.environment, origin);
  }

  auto output = runner.run(command);
  if (!output) return std::unexpected(std::move(output.error()));

  if (mask_output && !inherit_stdio) {
    std::vector<std::span<const std::uint8_t>> secrets;
    for (const auto& pair : command.env) {
      if (std::ranges::find(masked_names, pair.name) != masked_names.end()) secrets.push_back(pair.value.as_bytes());
    }
    // Assigning wipes the captured bytes before the masked copy takes their place.
    output->stdout_bytes = sanitize::mask_secrets(output->stdout_bytes.as_bytes(), secrets);
    output->stderr_bytes = sanitize::mask_secrets(output->stderr_bytes.as_bytes(), secrets);
  }
  return std::move(*output);
}

}  // namespace zantu::wrapper
