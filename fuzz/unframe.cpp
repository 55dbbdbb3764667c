// Record frames and envelopes: what unframes (or reads as an envelope) frames
// (or writes) back into bytes that read back equal.
#include <cstdint>
#include <cstdlib>
#include <span>
#include <string>

#include "zantu/core/store.hpp"

namespace {

void check_envelope(std::span<const std::uint8_t> bytes) {
  auto sealed = zantu::core::store::read_envelope(bytes);
  if (!sealed) {
    if (sealed.error().kind() != zantu::core::CoreErrorKind::Serialization) std::abort();
    return;
  }
  std::string text;
  zantu::core::store::write_envelope(*sealed, text);
  auto again = zantu::core::store::read_envelope(std::span(reinterpret_cast<const std::uint8_t*>(text.data()), text.size()));
  if (!again || !(*again == *sealed)) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::span<const std::uint8_t> bytes(data, size);
  auto sealed = zantu::core::store::unframe(bytes);
  if (sealed) {
    auto framed = zantu::core::store::frame(*sealed);
    auto again = zantu::core::store::unframe(framed);
    if (!again || !(*again == *sealed)) std::abort();
  } else if (sealed.error().kind() != zantu::core::CoreErrorKind::Serialization) {
    std::abort();
  }
  // The same bytes as a bare envelope, so the JSON is reached without a header.
  check_envelope(bytes);
  return 0;
}
