#include "zantu/core/envrefs.hpp"

#include <algorithm>
#include <unordered_set>

#include "zantu/core/utf8.hpp"

namespace zantu::core {
namespace {

constexpr std::string_view kSecretPrefix = "secret:";
constexpr std::string_view kEnvPrefix = "${env:";
constexpr std::string_view kProjectKey = "project";

constexpr std::string_view kNoEquals = "expected `NAME=<source>` or `project = <name>`";
constexpr std::string_view kDuplicateProject = "duplicate `project =` line";
constexpr std::string_view kEmptyProject = "`project =` requires a name";
constexpr std::string_view kBadName = "variable name is not a valid identifier";
constexpr std::string_view kDuplicateName = "duplicate variable name";
constexpr std::string_view kBadEnvName = "`${env:\u2026}` requires a valid variable name";
constexpr std::string_view kInterpolation =
    "cross-variable interpolation is not allowed (only `${ENV}` in a URI path and `${env:NAME}` are valid)";

CoreError line_error(std::size_t line, std::string_view message) {
  std::string detail = "line ";
  detail += std::to_string(line);
  detail += ": ";
  detail += message;
  return CoreError::env_refs(std::move(detail));
}

bool is_white_space(char32_t c) noexcept {
  return (c >= 0x09 && c <= 0x0D) || c == 0x20 || c == 0x85 || c == 0xA0 || c == 0x1680 ||
         (c >= 0x2000 && c <= 0x200A) || c == 0x2028 || c == 0x2029 || c == 0x202F || c == 0x205F ||
         c == 0x3000;
}

bool is_ascii_letter(char c) noexcept { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }

// Bytes after which a "#" opens a comment. A vertical tab is deliberately not
// among them, although it is white space.
bool opens_comment_after(char c) noexcept { return c == '\t' || c == '\n' || c == '\f' || c == '\r' || c == ' '; }

std::string_view cut_comment(std::string_view line) noexcept {
  for (std::size_t i = line.find('#'); i != std::string_view::npos; i = line.find('#', i + 1)) {
    if (i == 0 || opens_comment_after(line[i - 1])) return line.substr(0, i);
  }
  return line;
}

// Classifies a trimmed value into its source form.
Result<Source> classify(std::string_view value, std::size_t line) {
  if (value.starts_with(kSecretPrefix)) {
    auto [primary, fallback] = envrefs::split_fallback(value.substr(kSecretPrefix.size()));
    if (fallback) {
      if (auto ok = envrefs::reject_interpolation(*fallback, line); !ok) return std::unexpected(std::move(ok.error()));
    }
    std::string uri(kSecretPrefix);
    uri += primary;
    return Source{Source::Secret{std::move(uri), std::move(fallback)}};
  }
  if (value.size() > kEnvPrefix.size() && value.starts_with(kEnvPrefix) && value.back() == '}') {
    auto inner = value.substr(kEnvPrefix.size(), value.size() - kEnvPrefix.size() - 1);
    auto [primary, fallback] = envrefs::split_fallback(inner);
    if (!envrefs::is_identifier(primary)) return std::unexpected(line_error(line, kBadEnvName));
    if (fallback) {
      if (auto ok = envrefs::reject_interpolation(*fallback, line); !ok) return std::unexpected(std::move(ok.error()));
    }
    return Source{Source::EnvVar{std::string(primary), std::move(fallback)}};
  }
  if (auto ok = envrefs::reject_interpolation(value, line); !ok) return std::unexpected(std::move(ok.error()));
  return Source{Source::Inline{std::string(value)}};
}

}  // namespace

namespace envrefs {

bool is_identifier(std::string_view text) noexcept {
  if (text.empty() || !(is_ascii_letter(text[0]) || text[0] == '_')) return false;
  return std::all_of(text.begin() + 1, text.end(), [](char c) {
    return is_ascii_letter(c) || (c >= '0' && c <= '9') || c == '_';
  });
}

std::string_view trim(std::string_view text) noexcept {
  while (!text.empty()) {
    auto d = utf8::decode_at(text, 0);
    if (!d || !is_white_space(d->code_point)) break;
    text.remove_prefix(d->len);
  }
  while (!text.empty()) {
    auto d = utf8::decode_last(text);
    if (!d || !is_white_space(d->code_point)) break;
    text.remove_suffix(d->len);
  }
  return text;
}

std::pair<std::string_view, std::optional<std::string>> split_fallback(std::string_view text) {
  auto bar = text.find('|');
  if (bar == std::string_view::npos) return {trim(text), std::nullopt};
  return {trim(text.substr(0, bar)), std::string(trim(text.substr(bar + 1)))};
}

Status reject_interpolation(std::string_view text, std::size_t line) {
  if (text.find("${") != std::string_view::npos) return std::unexpected(line_error(line, kInterpolation));
  return {};
}

}  // namespace envrefs

Result<EnvRefs> EnvRefs::parse(std::string_view text) {
  EnvRefs out;
  // Names seen so far, as views into `text`: a pairwise scan made a text of
  // many variables quadratic to parse.
  std::unordered_set<std::string_view> names;
  std::size_t n = 0;
  while (!text.empty()) {
    std::string_view line;
    if (auto lf = text.find('\n'); lf == std::string_view::npos) {
      line = text;
      text = {};
    } else {
      line = text.substr(0, lf);
      text.remove_prefix(lf + 1);
      if (line.ends_with('\r')) line.remove_suffix(1);
    }
    ++n;

    std::string_view body = envrefs::trim(cut_comment(line));
    if (body.empty()) continue;

    auto eq = body.find('=');
    if (eq == std::string_view::npos) return std::unexpected(line_error(n, kNoEquals));
    std::string_view key = envrefs::trim(body.substr(0, eq));
    std::string_view value = envrefs::trim(body.substr(eq + 1));

    if (key == kProjectKey) {
      if (out.project) return std::unexpected(line_error(n, kDuplicateProject));
      if (value.empty()) return std::unexpected(line_error(n, kEmptyProject));
      out.project.emplace(value);
      continue;
    }
    if (!envrefs::is_identifier(key)) return std::unexpected(line_error(n, kBadName));
    if (!names.insert(key).second) return std::unexpected(line_error(n, kDuplicateName));
    auto source = classify(value, n);
    if (!source) return std::unexpected(std::move(source.error()));
    out.vars.emplace_back(std::string(key), std::move(*source));
  }
  return out;
}

}  // namespace zantu::core
