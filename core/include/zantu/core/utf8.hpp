// Strict UTF-8: validation, decoding, encoding and lossy conversion, for every
// component's text handling (JSON, the .env.refs trimming, quoting of paths,
// file names, the allowlist, injected values and messages).
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace zantu::core::utf8 {

struct Decoded {
  char32_t code_point;
  std::size_t len;  // bytes the sequence occupies, 1 to 4
};

// Decodes the sequence that starts at `text[pos]`. None when it is ill-formed:
// a stray continuation byte, a truncated sequence, an overlong form, a
// surrogate or a value above U+10FFFF.
[[nodiscard]] std::optional<Decoded> decode_at(std::string_view text, std::size_t pos) noexcept;

// Decodes the well-formed sequence that ends exactly at the end of `text`;
// none when the text is empty or its last bytes are not one.
[[nodiscard]] std::optional<Decoded> decode_last(std::string_view text) noexcept;

// True when the whole text is well-formed UTF-8 (the empty text is; a NUL
// byte is well-formed).
[[nodiscard]] bool is_valid(std::string_view text) noexcept;

// `text` with each maximal ill-formed subsequence replaced by U+FFFD, the
// Unicode Standard's practice: "\xE2\x82" is one replacement, "\xFF\xFF" two.
[[nodiscard]] std::string to_lossy(std::string_view text);

// `c` with an ASCII capital lowered and every other byte unchanged: the bytes
// of a multi-byte sequence lie above ASCII, so UTF-8 text stays well-formed.
[[nodiscard]] constexpr char ascii_lower(char c) noexcept {
  return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

// The length (1 to 4) of the well-formed sequence at `text[i]`, or 0 when it
// is ill-formed; `*code_point` receives the value when the result is not 0.
[[nodiscard]] inline std::size_t sequence_len(std::string_view text, std::size_t i, char32_t* code_point) noexcept {
  auto d = decode_at(text, i);
  if (!d) return 0;
  *code_point = d->code_point;
  return d->len;
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
