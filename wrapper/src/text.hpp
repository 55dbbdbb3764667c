// UTF-8 checks for the wrapper's messages and refusals (internal).
#pragma once

#include <string>
#include <string_view>

namespace zantu::wrapper::text {

// True when `bytes` is well-formed UTF-8 (no overlong forms, surrogates or
// code points above U+10FFFF). A NUL byte is well-formed.
[[nodiscard]] bool is_utf8(std::string_view bytes) noexcept;

// `bytes` as UTF-8 with each maximal invalid subsequence replaced by U+FFFD.
[[nodiscard]] std::string utf8_lossy(std::string_view bytes);

}  // namespace zantu::wrapper::text
