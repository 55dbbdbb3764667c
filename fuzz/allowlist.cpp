// Allowlist text and path comparison: every entry line is trimmed, not a
// comment, and lies within the text; a path's components written back out
// and split again give the same components; and a list built from the text
// allows each of its own lines.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "zantu/wrapper/allowlist.hpp"

namespace {

bool is_ascii_space(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

std::string join(const std::vector<std::string_view>& parts) {
  std::string out;
  for (const auto p : parts) {
    if (p == "/") {
      out = "/";
      continue;
    }
    if (!out.empty() && out.back() != '/') out += '/';
    out += p;
  }
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const auto lines = zantu::wrapper::allowlist::parse_lines(text);
  if (!lines) return 0;
  for (const auto line : *lines) {
    if (line.empty() || line.front() == '#') std::abort();
    if (is_ascii_space(line.front()) || is_ascii_space(line.back())) std::abort();
    if (line.find('\n') != std::string_view::npos) std::abort();
    if (line.data() < text.data() || line.data() + line.size() > text.data() + text.size()) std::abort();

    const auto parts = zantu::wrapper::allowlist::components(line);
    if (zantu::wrapper::allowlist::components(join(parts)) != parts) std::abort();
    if (zantu::wrapper::allowlist::components(std::string(line) + "/") != parts) std::abort();
  }
  const auto list = zantu::wrapper::Allowlist::from_text(text);
  if (list.size() > lines->size()) std::abort();
  for (const auto line : *lines) {
    if (!list.allows(line)) std::abort();
  }
  return 0;
}
