#include "text.hpp"

#include <cstdint>

namespace zantu::wrapper::text {
namespace {

// One decoding step at the start of `s` (not empty): the length of the
// well-formed sequence there, or, when `ok` is false, the number of bytes that
// make up the maximal invalid subsequence (at least 1).
struct Step {
  std::size_t len;
  bool ok;
};

Step step(std::string_view s) noexcept {
  const auto b0 = static_cast<std::uint8_t>(s[0]);
  if (b0 < 0x80) return {1, true};
  std::size_t need;
  std::uint8_t lo = 0x80, hi = 0xBF;  // range of the second byte
  if (b0 >= 0xC2 && b0 <= 0xDF) {
    need = 2;
  } else if (b0 >= 0xE0 && b0 <= 0xEF) {
    need = 3;
    if (b0 == 0xE0) lo = 0xA0;
    if (b0 == 0xED) hi = 0x9F;
  } else if (b0 >= 0xF0 && b0 <= 0xF4) {
    need = 4;
    if (b0 == 0xF0) lo = 0x90;
    if (b0 == 0xF4) hi = 0x8F;
  } else {
    return {1, false};
  }
  for (std::size_t i = 1; i < need; ++i) {
    if (i >= s.size()) return {i, false};
    const auto b = static_cast<std::uint8_t>(s[i]);
    const bool in_range = i == 1 ? (b >= lo && b <= hi) : (b >= 0x80 && b <= 0xBF);
    if (!in_range) return {i, false};
  }
  return {need, true};
}

}  // namespace

bool is_utf8(std::string_view bytes) noexcept {
  while (!bytes.empty()) {
    const Step st = step(bytes);
    if (!st.ok) return false;
    bytes.remove_prefix(st.len);
  }
  return true;
}

std::string utf8_lossy(std::string_view bytes) {
  std::string out;
  out.reserve(bytes.size());
  while (!bytes.empty()) {
    const Step st = step(bytes);
    if (st.ok) {
      out.append(bytes.substr(0, st.len));
    } else {
      out.append("\xEF\xBF\xBD");
    }
    bytes.remove_prefix(st.len);
  }
  return out;
}

}  // namespace zantu::wrapper::text
