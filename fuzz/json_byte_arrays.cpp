// Byte arrays: the fast scan of plain elements must give exactly what reading
// the array one element at a time gives (bytes, error text, final offset),
// when read and when skipped.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "zantu/core/json.hpp"

namespace {

using zantu::core::Status;
using namespace zantu::core::json;

struct Outcome {
  bool ok = false;
  std::vector<std::uint8_t> bytes;
  std::string error;
  std::size_t offset = 0;
  bool operator==(const Outcome&) const = default;
};

Outcome finish(Reader& r, const Status& s, std::vector<std::uint8_t> bytes) {
  Outcome o;
  o.ok = s.has_value();
  if (o.ok) o.bytes = std::move(bytes);
  if (!o.ok) o.error = s.error().detail();
  o.offset = r.offset();
  return o;
}

Status element_by_element(Reader& r, std::vector<std::uint8_t>& out) {
  auto k = r.peek();
  if (!k) return std::unexpected(k.error());
  if (*k != Kind::Array) {
    auto what = r.describe_next();
    if (!what) return std::unexpected(what.error());
    return std::unexpected(r.invalid_type(*what, "a sequence"));
  }
  if (auto s = r.begin_array(); !s) return s;
  while (true) {
    auto more = r.next_element();
    if (!more) return std::unexpected(more.error());
    if (!*more) return {};
    auto b = expect_u8(r);
    if (!b) return std::unexpected(b.error());
    out.push_back(*b);
  }
}

Status skip_element_by_element(Reader& r) {
  auto k = r.peek();
  if (!k) return std::unexpected(k.error());
  if (*k != Kind::Array) return r.skip_value();
  if (auto s = r.begin_array(); !s) return s;
  while (true) {
    auto more = r.next_element();
    if (!more) return std::unexpected(more.error());
    if (!*more) return {};
    auto e = r.peek();
    if (!e) return std::unexpected(e.error());
    if (*e == Kind::Number) {
      auto n = r.read_number();
      if (!n) return std::unexpected(n.error());
    } else if (auto s = skip_element_by_element(r); !s) {
      return s;
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  {
    Reader fast(text), slow(text);
    std::vector<std::uint8_t> a, b;
    const Status sa = expect_bytes(fast, a);
    const Status sb = element_by_element(slow, b);
    if (!(finish(fast, sa, std::move(a)) == finish(slow, sb, std::move(b)))) std::abort();
  }
  {
    Reader fast(text), slow(text);
    const Status sa = fast.skip_value();
    const Status sb = skip_element_by_element(slow);
    if (!(finish(fast, sa, {}) == finish(slow, sb, {}))) std::abort();
  }
  return 0;
}
