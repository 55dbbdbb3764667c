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

// The code point of a well-formed sequence.
char32_t decode(std::string_view s, std::size_t len) noexcept {
  const auto b0 = static_cast<std::uint8_t>(s[0]);
  if (len == 1) return b0;
  char32_t cp = b0 & (0x7F >> len);
  for (std::size_t i = 1; i < len; ++i) cp = (cp << 6) | (static_cast<std::uint8_t>(s[i]) & 0x3F);
  return cp;
}

bool is_white_space(char32_t c) noexcept {
  return (c >= 0x09 && c <= 0x0D) || c == 0x20 || c == 0x85 || c == 0xA0 || c == 0x1680 ||
         (c >= 0x2000 && c <= 0x200A) || c == 0x2028 || c == 0x2029 || c == 0x202F || c == 0x205F ||
         c == 0x3000;
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

std::string_view trim_white_space(std::string_view s) noexcept {
  // Leading: decode forwards.
  while (!s.empty()) {
    const Step st = step(s);
    if (!st.ok || !is_white_space(decode(s, st.len))) break;
    s.remove_prefix(st.len);
  }
  // Trailing: find the start of the last sequence (skip continuation bytes).
  while (!s.empty()) {
    std::size_t start = s.size() - 1;
    while (start > 0 && s.size() - start < 4 && (static_cast<std::uint8_t>(s[start]) & 0xC0) == 0x80) --start;
    const std::string_view last = s.substr(start);
    const Step st = step(last);
    if (!st.ok || st.len != last.size() || !is_white_space(decode(last, st.len))) break;
    s.remove_suffix(last.size());
  }
  return s;
}

}  // namespace zantu::wrapper::text
