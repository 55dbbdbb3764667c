#include "zantu/core/resolver.hpp"

#include <string>
#include <type_traits>
#include <unordered_map>
#include <utility>
#include <variant>

#include "zantu/core/coordinate.hpp"
#include "zantu/core/record.hpp"

namespace zantu::core {
namespace {

// What one call shares between its variables. The cache maps a reference text
// to the provider's bytes; its buffers wipe themselves when the call ends.
struct Call {
  std::string_view env;
  const Registry& registry;
  const MasterKey& key;
  const EnvSource& env_source;
  const SecretProvider& provider;
  const AuditSink& audit;
  const Clock& clock;
  Origin origin;
  std::optional<std::string_view> project;
  std::unordered_map<std::string, SecretBuffer> cache;
};

// An `EnvRefsFailure` whose text starts with the variable's name.
CoreError var_error(std::string_view name, std::string_view message) {
  std::string text = "`";
  text += name;
  text += "`: ";
  text += message;
  return CoreError::env_refs(std::move(text));
}

Result<ResolvedVar> resolve_env_var(std::string_view name, const Source::EnvVar& source, const Call& call) {
  std::optional<std::string> found = call.env_source.get(source.name);
  SecretValue value;
  if (found) {
    value = SecretValue::from(std::move(*found));
  } else if (source.fallback) {
    value = SecretValue::from(std::string_view(*source.fallback));
  } else {
    return std::unexpected(var_error(name, "env var `" + source.name + "` is unset and has no fallback"));
  }
  return ResolvedVar::plain(name, std::move(value), std::string(call.env), std::nullopt);
}

// The value behind reference text `reference`, from the cache or else from the
// provider after one audit event for (`path`, `env`).
Result<SecretValue> materialize_reference(const std::string& reference, const std::string& path, const std::string& env,
                                          Call& call) {
  if (auto hit = call.cache.find(reference); hit != call.cache.end()) {
    return SecretValue::from(hit->second.as_bytes());
  }
  const auto sep = reference.find("://");
  const std::string_view scheme =
      sep == std::string::npos ? std::string_view("unknown") : std::string_view(reference).substr(0, sep);
  AuditEvent event(call.clock.now_rfc3339(), AuditAction::ProviderInvocation, "scheme:" + std::string(scheme));
  event.at(path, env).by(call.origin);
  // The line goes out before the provider runs, and a sink that cannot write
  // it does not stop the resolution.
  (void)call.audit.record(event);

  auto materialized = call.provider.materialize(reference);
  if (!materialized) return std::unexpected(std::move(materialized.error()));
  // `materialized` wipes the provider's own buffer when it goes out of scope.
  auto slot = call.cache.try_emplace(reference, SecretBuffer(materialized->as_bytes())).first;
  return SecretValue::from(slot->second.as_bytes());
}

Result<ResolvedVar> resolve_secret(std::string_view name, const Source::Secret& source, Call& call) {
  auto parsed = Coordinate::from_str(source.uri);
  if (!parsed) return std::unexpected(std::move(parsed.error()));
  const Coordinate coordinate = parsed->with_env(call.env);
  const std::string env(coordinate.env.name());

  if (env.empty()) return std::unexpected(var_error(name, "a `${ENV}` coordinate needs a non-empty --env"));
  // Decided before any lookup, so whether a prod record exists never shows.
  if (env == "prod" && source.fallback) {
    return std::unexpected(var_error(name, "a `| fallback` is forbidden for prod (I4c)"));
  }
  auto canonical = coordinate.canonical_path();
  if (!canonical) return std::unexpected(std::move(canonical.error()));
  std::string path = std::move(*canonical);

  auto found = call.registry.resolve_with_key(coordinate, call.project, call.key);
  if (!found) return std::unexpected(std::move(found.error()));
  if (!*found) {
    if (source.fallback) {
      return ResolvedVar::plain(name, SecretValue::from(std::string_view(*source.fallback)), env, std::move(path));
    }
    return std::unexpected(
        var_error(name, "coordinate `" + coordinate.to_string() + "` did not resolve and has no fallback"));
  }

  auto& [origin, record] = **found;
  const Sensitivity sensitivity = record.meta().sensitivity;
  // A vault value: everything the wrapper needs to gate, audit and mask it.
  auto vault_value = [&](SecretValue value, std::optional<std::string> reference) {
    return ResolvedVar{.name = std::string(name),
                       .environment = env,
                       .coordinate = std::move(path),
                       .reference = std::move(reference),
                       .vault_origin = std::move(origin),
                       .value = std::move(value),
                       .sensitivity = sensitivity};
  };

  if (auto* literal = std::get_if<SecretRecord::Literal>(&record.mode)) {
    return vault_value(std::move(literal->value), std::nullopt);
  }
  if (auto* reference = std::get_if<SecretRecord::Reference>(&record.mode)) {
    auto value = materialize_reference(reference->ref, path, env, call);
    if (!value) return std::unexpected(std::move(value.error()));
    return vault_value(std::move(*value), reference->ref);
  }
  if (auto* keypair = std::get_if<SecretRecord::Keypair>(&record.mode)) {
    if (coordinate.fragment != Fragment::Private) {
      // The public half is no secret: it is neither gated, audited nor masked.
      return ResolvedVar::plain(name, SecretValue::from(std::string_view(keypair->public_key)), env, std::nullopt);
    }
    if (!keypair->private_key) {
      return std::unexpected(var_error(name, "coordinate selects `#private` but this is a public-only keypair"));
    }
    return vault_value(std::move(*keypair->private_key), std::nullopt);
  }
  return std::unexpected(var_error(
      name, "coordinate `" + path +
                "` is a TOTP enrollment \u2014 its code is time-varying and single-use, so it cannot be injected "
                "via `.env.refs`; produce one on demand with `zantu code`"));
}

}  // namespace

namespace resolver {

Result<std::vector<ResolvedVar>> resolve(const EnvRefs& refs, std::string_view env, const Registry& registry,
                                         const Keyring& keyring, const EnvSource& env_source,
                                         const SecretProvider& provider, const AuditSink& audit, const Clock& clock,
                                         Origin origin, std::optional<std::string_view> project) {
  if (!project && refs.project) project = *refs.project;

  // Taken before any variable is looked at, so a keyring that fails fails
  // every text, an empty one included.
  auto key = keyring.get_master_key();
  if (!key) return std::unexpected(std::move(key.error()));

  Call call{env, registry, *key, env_source, provider, audit, clock, origin, project, {}};
  std::vector<ResolvedVar> out;
  out.reserve(refs.vars.size());
  for (const auto& [name, source] : refs.vars) {
    Result<ResolvedVar> var = std::visit(
        [&](const auto& form) -> Result<ResolvedVar> {
          using Form = std::decay_t<decltype(form)>;
          if constexpr (std::is_same_v<Form, Source::Inline>) {
            return ResolvedVar::plain(name, SecretValue::from(std::string_view(form.text)), std::string(env),
                                      std::nullopt);
          } else if constexpr (std::is_same_v<Form, Source::EnvVar>) {
            return resolve_env_var(name, form, call);
          } else {
            return resolve_secret(name, form, call);
          }
        },
        source.form);
    // Returning only the error drops `out` and the cache, which wipes every
    // value resolved so far, and the key with them.
    if (!var) return std::unexpected(std::move(var.error()));
    out.push_back(std::move(*var));
  }
  return out;
}

}  // namespace resolver
}  // namespace zantu::core
