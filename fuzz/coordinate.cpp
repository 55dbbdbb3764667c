// Coordinate grammar: any input either parses, and then its text form parses
// back to an equal coordinate, or fails with an invalid-coordinate error.
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "zantu/core/coordinate.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string_view text(reinterpret_cast<const char*>(data), size);
  auto c = zantu::core::Coordinate::from_str(text);
  if (!c) {
    if (c.error().kind() != zantu::core::CoreErrorKind::InvalidCoordinate) std::abort();
    return 0;
  }
  if (c->to_string() != text) std::abort();
  auto again = zantu::core::Coordinate::from_str(c->to_string());
  if (!again || !(*again == *c)) std::abort();
  auto id = c->storage_id();
  if (id.has_value() == c->env.is_placeholder()) std::abort();
  return 0;
}
