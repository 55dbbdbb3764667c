// Secret addresses: "secret:[//global/]<env>/<component>/<key>[#public|#private]".
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <variant>

#include "zantu/core/error.hpp"

namespace zantu::core {

enum class Fragment : std::uint8_t { None = 0, Public = 1, Private = 2 };

// The environment segment: the "${ENV}" placeholder, filled in later, or a name.
class EnvSegment {
 public:
  struct Placeholder {
    friend bool operator==(Placeholder, Placeholder) = default;
  };

  static EnvSegment placeholder() { return EnvSegment(Placeholder{}); }
  static EnvSegment named(std::string name) { return EnvSegment(std::move(name)); }

  [[nodiscard]] bool is_placeholder() const noexcept { return std::holds_alternative<Placeholder>(v_); }
  // The name; empty for the placeholder.
  [[nodiscard]] std::string_view name() const noexcept {
    const auto* s = std::get_if<std::string>(&v_);
    return s ? std::string_view(*s) : std::string_view{};
  }
  // "${ENV}" for the placeholder, the name otherwise.
  [[nodiscard]] std::string to_string() const;

  friend bool operator==(const EnvSegment&, const EnvSegment&) = default;

 private:
  explicit EnvSegment(std::variant<Placeholder, std::string> v) : v_(std::move(v)) {}
  std::variant<Placeholder, std::string> v_;
};

struct Coordinate {
  EnvSegment env = EnvSegment::placeholder();
  std::string component;
  std::string key;
  bool global = false;
  Fragment fragment = Fragment::None;

  // Parses the grammar; the error is `InvalidCoordinate` with the first failed check.
  [[nodiscard]] static Result<Coordinate> from_str(std::string_view text);

  // The text form, which parses back to an equal coordinate.
  [[nodiscard]] std::string to_string() const;

  // "<env>/<component>/<key>", or `NotStorable` while the placeholder is unfilled.
  [[nodiscard]] Result<std::string> canonical_path() const;
  // 64 lower-case hex digits of BLAKE3(canonical path); `NotStorable` as above.
  [[nodiscard]] Result<std::string> storage_id() const;

  // A copy whose placeholder (if any) is replaced by `env_name`, unchecked.
  [[nodiscard]] Coordinate with_env(std::string_view env_name) const;

  friend bool operator==(const Coordinate&, const Coordinate&) = default;
};

namespace coordinate {

// Copies a component or key segment; refuses one that contains "${".
// `segment_name` ("component" or "key") appears in the message.
[[nodiscard]] Result<std::string> parse_plain_segment(std::string_view segment, std::string_view segment_name);

}  // namespace coordinate
}  // namespace zantu::core
