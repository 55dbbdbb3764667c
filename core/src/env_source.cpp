#include "zantu/core/env_source.hpp"

#include <cstdlib>

#include "zantu/core/utf8.hpp"

namespace zantu::core {

std::optional<std::string> SystemEnvSource::get(std::string_view name) const {
  if (name.starts_with("ZANTU_")) return std::nullopt;
  // getenv would match "A=B" against the entry "A=B=C"; such names, and ones
  // that a C string would cut short, name no variable.
  if (name.empty() || name.find_first_of(std::string_view("=\0", 2)) != std::string_view::npos) return std::nullopt;
  const char* value = std::getenv(std::string(name).c_str());
  if (value == nullptr) return std::nullopt;
  std::string_view text(value);
  if (!utf8::is_valid(text)) return std::nullopt;
  return std::string(text);
}

}  // namespace zantu::core
