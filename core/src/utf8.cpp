#include "utf8.hpp"

#include <cstdint>

namespace zantu::core::utf8 {
namespace {

bool is_continuation(std::uint8_t b) noexcept { return (b & 0xC0) == 0x80; }

}  // namespace

std::optional<Decoded> decode_at(std::string_view text, std::size_t pos) noexcept {
  if (pos >= text.size()) return std::nullopt;
  const auto byte = [&](std::size_t i) { return static_cast<std::uint8_t>(text[pos + i]); };
  const std::uint8_t lead = byte(0);
  if (lead < 0x80) return Decoded{lead, 1};

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
    return std::nullopt;
  }
  if (text.size() - pos < len) return std::nullopt;
  if (byte(1) < lo || byte(1) > hi) return std::nullopt;
  for (std::size_t i = 1; i < len; ++i) {
    if (!is_continuation(byte(i))) return std::nullopt;
    cp = (cp << 6) | (byte(i) & 0x3F);
  }
  return Decoded{cp, len};
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
    auto d = decode_at(text, pos);
    if (!d) return false;
    pos += d->len;
  }
  return true;
}

}  // namespace zantu::core::utf8
