#include "zantu/core/utf8.hpp"

#include <cstdint>

namespace zantu::core::utf8 {

namespace {

bool is_continuation(std::uint8_t b) noexcept { return (b & 0xC0) == 0x80; }

// One step at `text[pos]` (pos inside the text): the well-formed sequence
// there, or, when `ok` is false, the length of the maximal ill-formed
// subsequence there (at least 1).
struct Step {
  bool ok;
  std::size_t len;
  char32_t code_point;
};

Step step_at(std::string_view text, std::size_t pos) noexcept {
  const auto byte = [&](std::size_t i) { return static_cast<std::uint8_t>(text[pos + i]); };
  const std::uint8_t lead = byte(0);
  if (lead < 0x80) return {true, 1, lead};

  // The lead byte fixes the length and the range of the second byte, which is
  // where overlong forms, surrogates and values above U+10FFFF are excluded.
  std::size_t len = 0;
  std::uint8_t lo = 0x80;
  std::uint8_t hi = 0xBF;
  char32_t cp = 0;
  if (lead >= 0xC2 && lead <= 0xDF) {
    len = 2;
    cp = lead & 0x1F;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    len = 3;
    cp = lead & 0x0F;
    if (lead == 0xE0) lo = 0xA0;
    if (lead == 0xED) hi = 0x9F;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    len = 4;
    cp = lead & 0x07;
    if (lead == 0xF0) lo = 0x90;
    if (lead == 0xF4) hi = 0x8F;
  } else {
    return {false, 1, 0};
  }
  for (std::size_t i = 1; i < len; ++i) {
    if (pos + i >= text.size()) return {false, i, 0};
    const std::uint8_t b = byte(i);
    const bool in_range = i == 1 ? (b >= lo && b <= hi) : is_continuation(b);
    if (!in_range) return {false, i, 0};
    cp = (cp << 6) | (b & 0x3F);
  }
  return {true, len, cp};
}

}  // namespace

std::optional<Decoded> decode_at(std::string_view text, std::size_t pos) noexcept {
  if (pos >= text.size()) return std::nullopt;
  const Step st = step_at(text, pos);
  if (!st.ok) return std::nullopt;
  return Decoded{st.code_point, st.len};
}

std::optional<Decoded> decode_last(std::string_view text) noexcept {
  if (text.empty()) return std::nullopt;
  // A well-formed sequence starts at the nearest byte that is not a
  // continuation byte, at most three bytes before the last one.
  std::size_t start = text.size() - 1;
  for (int back = 0; back < 3 && start > 0 && is_continuation(static_cast<std::uint8_t>(text[start])); ++back) {
    --start;
  }
  auto d = decode_at(text, start);
  if (!d || start + d->len != text.size()) return std::nullopt;
  return d;
}

bool is_valid(std::string_view text) noexcept {
  for (std::size_t pos = 0; pos < text.size();) {
    const Step st = step_at(text, pos);
    if (!st.ok) return false;
    pos += st.len;
  }
  return true;
}

std::string to_lossy(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t pos = 0; pos < text.size();) {
    const Step st = step_at(text, pos);
    if (st.ok) {
      out.append(text.substr(pos, st.len));
    } else {
      out.append("\xEF\xBF\xBD");
    }
    pos += st.len;
  }
  return out;
}

}  // namespace zantu::core::utf8
