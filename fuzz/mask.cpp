// Output masking against a plain reference: mark every byte any occurrence of
// any value covers, then one "***" per run of marked bytes. Input layout: a
// count byte, then per value a length byte and the value, then the text.
#include <cstdint>
#include <cstdlib>
#include <span>
#include <string_view>
#include <vector>

#include "zantu/wrapper/sanitize.hpp"

namespace {

std::vector<std::uint8_t> reference(std::span<const std::uint8_t> text, std::span<const std::span<const std::uint8_t>> values) {
  std::vector<bool> covered(text.size(), false);
  for (const auto v : values) {
    if (v.empty() || v.size() > text.size()) continue;
    for (std::size_t i = 0; i + v.size() <= text.size(); ++i) {
      bool eq = true;
      for (std::size_t j = 0; j < v.size() && eq; ++j) eq = text[i + j] == v[j];
      if (eq) {
        for (std::size_t j = 0; j < v.size(); ++j) covered[i + j] = true;
      }
    }
  }
  std::vector<std::uint8_t> out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (!covered[i]) {
      out.push_back(text[i]);
    } else if (i == 0 || !covered[i - 1]) {
      out.insert(out.end(), {'*', '*', '*'});
    }
  }
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::span<const std::uint8_t> in(data, size);
  if (in.empty()) return 0;
  const std::size_t num_values = in[0] % 8;
  in = in.subspan(1);
  std::vector<std::span<const std::uint8_t>> values;
  for (std::size_t i = 0; i < num_values && !in.empty(); ++i) {
    const std::size_t len = std::min<std::size_t>(in[0] % 16, in.size() - 1);
    values.push_back(in.subspan(1, len));
    in = in.subspan(1 + len);
  }
  const auto got = zantu::wrapper::sanitize::mask_secrets(in, values);
  const auto want = reference(in, values);
  if (got.size() != want.size() || !std::equal(want.begin(), want.end(), got.data())) std::abort();
  return 0;
}
