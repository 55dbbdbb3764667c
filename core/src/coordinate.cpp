#include "zantu/core/coordinate.hpp"

#include <array>

#include "zantu/core/fingerprint.hpp"

namespace zantu::core {
namespace {

constexpr std::string_view kScheme = "secret:";
constexpr std::string_view kPlaceholder = "${ENV}";
constexpr std::string_view kUnresolved = "coordinate has an unresolved `${ENV}` placeholder";

CoreError invalid(std::string detail) { return CoreError::invalid_coordinate(std::move(detail)); }

}  // namespace

std::string EnvSegment::to_string() const {
  return is_placeholder() ? std::string(kPlaceholder) : std::string(name());
}

namespace coordinate {

Result<std::string> parse_plain_segment(std::string_view segment, std::string_view segment_name) {
  if (segment.find("${") != std::string_view::npos) {
    std::string msg = "interpolation is not allowed in the ";
    msg += segment_name;
    msg += " segment";
    return std::unexpected(invalid(std::move(msg)));
  }
  return std::string(segment);
}

}  // namespace coordinate

Result<Coordinate> Coordinate::from_str(std::string_view text) {
  if (!text.starts_with(kScheme)) return std::unexpected(invalid("must start with `secret:`"));
  std::string_view rest = text.substr(kScheme.size());

  Fragment fragment = Fragment::None;
  if (auto hash = rest.find('#'); hash != std::string_view::npos) {
    std::string_view suffix = rest.substr(hash + 1);
    if (suffix == "public") {
      fragment = Fragment::Public;
    } else if (suffix == "private") {
      fragment = Fragment::Private;
    } else {
      std::string msg = "unknown coordinate fragment `#";
      msg += suffix;
      msg += "` (only `#public`/`#private` are valid)";
      return std::unexpected(invalid(std::move(msg)));
    }
    rest = rest.substr(0, hash);
  }

  bool global = false;
  std::string_view path = rest;
  if (rest.starts_with("//")) {
    auto slash = rest.find('/', 2);
    if (slash == std::string_view::npos) {
      return std::unexpected(invalid("scope form requires `//<authority>/<path>`"));
    }
    if (rest.substr(2, slash - 2) != "global") {
      return std::unexpected(invalid("only `//global/` scope selector is supported"));
    }
    global = true;
    path = rest.substr(slash + 1);
  }

  std::array<std::string_view, 3> pieces;
  std::size_t count = 0;
  for (std::size_t start = 0;;) {
    auto slash = path.find('/', start);
    std::string_view piece = path.substr(start, slash == std::string_view::npos ? std::string_view::npos : slash - start);
    if (count < pieces.size()) pieces[count] = piece;
    ++count;
    if (slash == std::string_view::npos) break;
    start = slash + 1;
  }
  if (count != 3) return std::unexpected(invalid("coordinate must have exactly three segments"));
  for (auto p : pieces) {
    if (p.empty()) return std::unexpected(invalid("segments must be non-empty"));
  }

  EnvSegment env = EnvSegment::placeholder();
  if (pieces[0] != kPlaceholder) {
    if (pieces[0].find("${") != std::string_view::npos) {
      return std::unexpected(invalid("only `${ENV}` interpolation is allowed in the environment segment"));
    }
    env = EnvSegment::named(std::string(pieces[0]));
  }
  auto component = coordinate::parse_plain_segment(pieces[1], "component");
  if (!component) return std::unexpected(std::move(component.error()));
  auto key = coordinate::parse_plain_segment(pieces[2], "key");
  if (!key) return std::unexpected(std::move(key.error()));

  return Coordinate{std::move(env), std::move(*component), std::move(*key), global, fragment};
}

std::string Coordinate::to_string() const {
  std::string out = global ? "secret://global/" : "secret:";
  out += env.to_string();
  out += '/';
  out += component;
  out += '/';
  out += key;
  if (fragment == Fragment::Public) out += "#public";
  if (fragment == Fragment::Private) out += "#private";
  return out;
}

Result<std::string> Coordinate::canonical_path() const {
  if (env.is_placeholder()) return std::unexpected(CoreError::not_storable(std::string(kUnresolved)));
  std::string out(env.name());
  out += '/';
  out += component;
  out += '/';
  out += key;
  return out;
}

Result<std::string> Coordinate::storage_id() const {
  auto path = canonical_path();
  if (!path) return std::unexpected(std::move(path.error()));
  return fingerprint::blake3_hex(std::string_view(*path));
}

Coordinate Coordinate::with_env(std::string_view env_name) const {
  Coordinate out = *this;
  if (env.is_placeholder()) out.env = EnvSegment::named(std::string(env_name));
  return out;
}

}  // namespace zantu::core
