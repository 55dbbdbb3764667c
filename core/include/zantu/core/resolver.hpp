// Turning a parsed `.env.refs` text into the values a wrapped program receives.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "zantu/core/audit.hpp"
#include "zantu/core/clock.hpp"
#include "zantu/core/confirm.hpp"
#include "zantu/core/env_source.hpp"
#include "zantu/core/envrefs.hpp"
#include "zantu/core/error.hpp"
#include "zantu/core/keyring.hpp"
#include "zantu/core/provider.hpp"
#include "zantu/core/registry.hpp"
#include "zantu/core/secret.hpp"
#include "zantu/core/sensitivity.hpp"

namespace zantu::core {

// One resolved variable. A present `coordinate` marks a vault value: only those
// are gated, audited as injected and masked. Move-only; dropping it wipes the
// value, the other fields are plain texts.
struct ResolvedVar {
  std::string name;
  // The environment the value belongs to: the coordinate's own for vault
  // values and their fallbacks, the call's for literals and environment values.
  std::string environment;
  // Canonical path "<env>/<component>/<key>".
  std::optional<std::string> coordinate;
  // The provider reference text of a reference record.
  std::optional<std::string> reference;
  // The vault the record was found in.
  std::optional<VaultOrigin> vault_origin;
  SecretValue value;
  std::optional<Sensitivity> sensitivity;

  // A value with no reference, vault or sensitivity: literals, environment
  // values, fallbacks and public key texts.
  [[nodiscard]] static ResolvedVar plain(std::string_view name, SecretValue value, std::string environment,
                                         std::optional<std::string> coordinate) {
    return ResolvedVar{std::string(name), std::move(environment), std::move(coordinate), std::nullopt,
                       std::nullopt,      std::move(value),       std::nullopt};
  }
};

namespace resolver {

// Resolves every variable of `refs`, in file order, into one ResolvedVar each.
//
// `env` fills a "${ENV}" placeholder and is the environment of literal and
// environment values. The project whose vault is searched before the global
// one is `project`, else the text's `project =` line, else none. The master
// key is taken from `keyring` first, even for a text without coordinates, and
// wiped before returning. Each distinct reference text is materialised by
// `provider` at most once per call, after one "provider-invocation" event
// (stamped by `clock`, by `origin`) has gone to `audit`; the sink's failures
// are ignored.
//
// Fails with the first error met (the keyring's, the coordinate parser's, the
// registry's, the provider's unchanged, or `EnvRefsFailure` naming the
// variable). Then nothing is returned and every value resolved so far is
// wiped; audit events already written stay written.
[[nodiscard]] Result<std::vector<ResolvedVar>> resolve(const EnvRefs& refs, std::string_view env,
                                                       const Registry& registry, const Keyring& keyring,
                                                       const EnvSource& env_source, const SecretProvider& provider,
                                                       const AuditSink& audit, const Clock& clock, Origin origin,
                                                       std::optional<std::string_view> project);

}  // namespace resolver
}  // namespace zantu::core
