// Turning a parsed `.env.refs` text into the values a wrapped program receives.
#pragma once

#include <optional>
#include <string>
#include <string_view>

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
  SecretValue value;
  std::optional<Sensitivity> sensitivity;

  // A value with no reference and no sensitivity: literals, environment
  // values, fallbacks and public key texts.
  [[nodiscard]] static ResolvedVar plain(std::string_view name, SecretValue value, std::string environment,
                                         std::optional<std::string> coordinate) {
    return ResolvedVar{std::string(name), std::move(environment), std::move(coordinate), std::nullopt,
                       std::move(value), std::nullopt};
  }
};

}  // namespace zantu::core
