// The `.env.refs` text: one `NAME=<source>` line per variable a wrapped program
// receives, and an optional `project = <name>` line.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

#include "zantu/core/error.hpp"

namespace zantu::core {

// Where one variable's value comes from. The texts are plain strings: none of
// them is a secret by itself (a literal becomes a SecretValue when resolved).
struct Source {
  // Any value that is neither of the two forms below; may be empty.
  struct Inline {
    std::string text;
    friend bool operator==(const Inline&, const Inline&) = default;
  };
  // "${env:NAME}" or "${env:NAME|fallback}"; `name` is an identifier. An empty
  // fallback is present and differs from an absent one.
  struct EnvVar {
    std::string name;
    std::optional<std::string> fallback;
    friend bool operator==(const EnvVar&, const EnvVar&) = default;
  };
  // "secret:<coordinate>" or "secret:<coordinate>|<fallback>". `uri` is
  // "secret:" followed by the trimmed coordinate text, not yet parsed.
  struct Secret {
    std::string uri;
    std::optional<std::string> fallback;
    friend bool operator==(const Secret&, const Secret&) = default;
  };

  std::variant<Inline, EnvVar, Secret> form;

  friend bool operator==(const Source&, const Source&) = default;
};

// A parsed `.env.refs` text; owns copies of everything it holds.
struct EnvRefs {
  // In file order; names are unique (byte-exact) identifiers.
  std::vector<std::pair<std::string, Source>> vars;
  std::optional<std::string> project;

  // Parses the whole text. Fails with `EnvRefsFailure` "line <n>: <message>"
  // for the first bad line (n counts every physical line from 1); nothing
  // partial is returned. Reads no environment and parses no coordinate.
  [[nodiscard]] static Result<EnvRefs> parse(std::string_view text);

  friend bool operator==(const EnvRefs&, const EnvRefs&) = default;
};

namespace envrefs {

// True for a non-empty ASCII identifier: a letter or "_", then letters,
// digits or "_".
[[nodiscard]] bool is_identifier(std::string_view text) noexcept;

// Removes Unicode White_Space characters from both ends. The text is decoded
// as UTF-8 to find them; bytes that are not well-formed UTF-8 are not space.
[[nodiscard]] std::string_view trim(std::string_view text) noexcept;

// Splits at the first "|": the trimmed text before it (a view into `text`)
// and the trimmed text after it, which may be empty. Without "|", the whole
// text trimmed and no fallback.
[[nodiscard]] std::pair<std::string_view, std::optional<std::string>> split_fallback(std::string_view text);

// Fails with the cross-variable interpolation message on line `line` when
// "${" occurs anywhere in `text`.
[[nodiscard]] Status reject_interpolation(std::string_view text, std::size_t line);

}  // namespace envrefs
}  // namespace zantu::core
