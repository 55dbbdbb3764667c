// UTF-8 decoding for the core's own text handling (not part of the public API).
#pragma once

#include <cstddef>
#include <optional>
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

// True when the whole text is well-formed UTF-8 (the empty text is).
[[nodiscard]] bool is_valid(std::string_view text) noexcept;

}  // namespace zantu::core::utf8
