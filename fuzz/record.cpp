// Record reader: any input is either refused with a serialization error, or
// read into a record whose written text reads back to an equal record and
// writes back to the same text.
#include <cstdint>
#include <cstdlib>
#include <span>

#include "zantu/core/record.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using zantu::core::SecretBuffer;
  using zantu::core::SecretRecord;
  auto record = SecretRecord::deserialize(std::span(data, size));
  if (!record) {
    if (record.error().kind() != zantu::core::CoreErrorKind::Serialization) std::abort();
    return 0;
  }
  SecretBuffer text;
  record->serialize(text);
  auto again = SecretRecord::deserialize(text.as_bytes());
  if (!again || !(*again == *record)) std::abort();
  SecretBuffer text2;
  again->serialize(text2);
  if (text2.view() != text.view()) std::abort();
  return 0;
}
