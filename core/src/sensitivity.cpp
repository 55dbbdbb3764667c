#include "zantu/core/sensitivity.hpp"

#include <string>

#include "zantu/core/json.hpp"

namespace zantu::core::sensitivity {

std::string_view wire_name(Sensitivity s) noexcept {
  switch (s) {
    case Sensitivity::Low: return "low";
    case Sensitivity::Medium: return "medium";
    case Sensitivity::High: return "high";
    case Sensitivity::InjectOnly: return "inject-only";
  }
  return "low";
}

std::string_view debug_name(Sensitivity s) noexcept {
  switch (s) {
    case Sensitivity::Low: return "Low";
    case Sensitivity::Medium: return "Medium";
    case Sensitivity::High: return "High";
    case Sensitivity::InjectOnly: return "InjectOnly";
  }
  return "Low";
}

std::optional<Sensitivity> from_wire(std::string_view text) noexcept {
  for (auto s : {Sensitivity::Low, Sensitivity::Medium, Sensitivity::High, Sensitivity::InjectOnly}) {
    if (text == wire_name(s)) return s;
  }
  return std::nullopt;
}

std::string unknown_variant_message(std::string_view text) {
  return json::unknown_variant(text, {"low", "medium", "high", "inject-only"});
}

}  // namespace zantu::core::sensitivity
