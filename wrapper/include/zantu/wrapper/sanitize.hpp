// Output masking: hides injected values in a child's captured output.
#pragma once

#include <cstdint>
#include <span>

#include "zantu/core/secret.hpp"

namespace zantu::wrapper::sanitize {

// A copy of `text` in which every byte covered by an occurrence of a non-empty
// secret is hidden: all occurrences of every secret are found in the original
// text (overlapping ones included, whatever the list's order), and each
// maximal run of covered bytes becomes the three bytes "***". Empty secrets
// are ignored. Byte comparison only. Never fails; the inputs are unchanged.
// The result lives in a wiping buffer; no other copy of the text is made.
[[nodiscard]] core::SecretBuffer mask_secrets(std::span<const std::uint8_t> text,
                                              std::span<const std::span<const std::uint8_t>> secrets);

}  // namespace zantu::wrapper::sanitize
