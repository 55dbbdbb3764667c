// UTF-8 well-formedness, shared by the JSON module and the debug quoting.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace zantu::core::utf8 {

// The length (1 to 4) of the well-formed UTF-8 sequence that starts at
// `text[i]`, or 0 when the bytes there are not one: a stray continuation byte,
// an overlong form, a surrogate, a value above U+10FFFF or a cut sequence.
// `*code_point` receives the decoded value when the result is not 0.
[[nodiscard]] inline std::size_t sequence_len(std::string_view text, std::size_t i, char32_t* code_point) noexcept {
  auto byte = [&](std::size_t k) { return static_cast<std::uint8_t>(text[k]); };
  const std::uint8_t b0 = byte(i);
  if (b0 < 0x80) {
    *code_point = b0;
    return 1;
  }
  std::size_t len = 0;
  std::uint8_t lo = 0x80, hi = 0xBF;  // the allowed range of the second byte
  char32_t cp = 0;
  if (b0 >= 0xC2 && b0 <= 0xDF) {
    len = 2;
    cp = b0 & 0x1F;
  } else if (b0 >= 0xE0 && b0 <= 0xEF) {
    len = 3;
    cp = b0 & 0x0F;
    if (b0 == 0xE0) lo = 0xA0;  // overlong
    if (b0 == 0xED) hi = 0x9F;  // surrogates
  } else if (b0 >= 0xF0 && b0 <= 0xF4) {
    len = 4;
    cp = b0 & 0x07;
    if (b0 == 0xF0) lo = 0x90;  // overlong
    if (b0 == 0xF4) hi = 0x8F;  // above U+10FFFF
  } else {
    return 0;
  }
  if (text.size() - i < len) return 0;
  for (std::size_t k = 1; k < len; ++k) {
    const std::uint8_t b = byte(i + k);
    if (k == 1 ? (b < lo || b > hi) : (b < 0x80 || b > 0xBF)) return 0;
    cp = (cp << 6) | (b & 0x3F);
  }
  *code_point = cp;
  return len;
}

// Appends the UTF-8 form of a scalar value (not a surrogate, at most U+10FFFF).
template <class Put>
void encode(char32_t cp, Put&& put) {
  if (cp < 0x80) {
    put(static_cast<char>(cp));
  } else if (cp < 0x800) {
    put(static_cast<char>(0xC0 | (cp >> 6)));
    put(static_cast<char>(0x80 | (cp & 0x3F)));
  } else if (cp < 0x10000) {
    put(static_cast<char>(0xE0 | (cp >> 12)));
    put(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    put(static_cast<char>(0x80 | (cp & 0x3F)));
  } else {
    put(static_cast<char>(0xF0 | (cp >> 18)));
    put(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
    put(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    put(static_cast<char>(0x80 | (cp & 0x3F)));
  }
}

}  // namespace zantu::core::utf8
