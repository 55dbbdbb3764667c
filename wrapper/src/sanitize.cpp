#include "zantu/wrapper/sanitize.hpp"

#include <algorithm>
#include <bit>
#include <cstring>
#include <optional>
#include <string_view>
#include <vector>

namespace zantu::wrapper::sanitize {
namespace {

constexpr std::string_view kMask = "***";

// One bit per byte of the text: set where some occurrence covers the byte.
// It holds positions only, never text.
class Coverage {
 public:
  explicit Coverage(std::size_t len) : len_(len), words_((len + 63) / 64, 0) {}

  // Sets the bits of [begin, end).
  void cover(std::size_t begin, std::size_t end) {
    while (begin < end) {
      const std::size_t w = begin / 64, bit = begin % 64;
      const std::size_t n = std::min<std::size_t>(64 - bit, end - begin);
      const std::uint64_t mask = n == 64 ? ~std::uint64_t{0} : ((std::uint64_t{1} << n) - 1) << bit;
      words_[w] |= mask;
      begin += n;
    }
  }

  // The first position >= pos whose bit equals `set`, or the text's length.
  [[nodiscard]] std::size_t find(std::size_t pos, bool set) const {
    while (pos < len_) {
      const std::size_t w = pos / 64;
      std::uint64_t word = set ? words_[w] : ~words_[w];
      word &= ~std::uint64_t{0} << (pos % 64);
      if (word != 0) return std::min(len_, w * 64 + static_cast<std::size_t>(std::countr_zero(word)));
      pos = (w + 1) * 64;
    }
    return len_;
  }

 private:
  std::size_t len_;
  std::vector<std::uint64_t> words_;
};

// Marks every occurrence of `secret` in `text`. Occurrences that overlap or
// touch are joined into one run before they are marked, so each byte is set
// at most once per secret.
void cover_occurrences(std::string_view text, std::string_view secret, std::optional<Coverage>& coverage) {
  const char* const base = text.data();
  const char* const end = base + text.size();
  std::size_t run_begin = 0, run_end = 0;
  bool in_run = false;
  const char* from = base;
  while (static_cast<std::size_t>(end - from) >= secret.size()) {
    const void* hit = ::memmem(from, static_cast<std::size_t>(end - from), secret.data(), secret.size());
    if (hit == nullptr) break;
    const auto at = static_cast<std::size_t>(static_cast<const char*>(hit) - base);
    if (!coverage) coverage.emplace(text.size());
    if (in_run && at <= run_end) {
      run_end = at + secret.size();
    } else {
      if (in_run) coverage->cover(run_begin, run_end);
      run_begin = at;
      run_end = at + secret.size();
      in_run = true;
    }
    // The next occurrence may start inside this one.
    from = base + at + 1;
  }
  if (in_run) coverage->cover(run_begin, run_end);
}

}  // namespace

core::SecretBuffer mask_secrets(std::span<const std::uint8_t> text,
                                std::span<const std::span<const std::uint8_t>> secrets) {
  const std::string_view haystack(reinterpret_cast<const char*>(text.data()), text.size());
  std::optional<Coverage> coverage;  // made on the first occurrence only
  for (const auto& s : secrets) {
    if (s.empty() || s.size() > text.size()) continue;
    cover_occurrences(haystack, std::string_view(reinterpret_cast<const char*>(s.data()), s.size()), coverage);
  }

  core::SecretBuffer out;
  if (!coverage) {
    out.reserve(text.size());
    out.append(text);
    return out;
  }
  // Size the output exactly first, so it is never reallocated while it grows.
  std::size_t out_len = 0;
  for (std::size_t pos = 0; pos < text.size();) {
    const std::size_t run = coverage->find(pos, true);
    out_len += run - pos;
    if (run == text.size()) break;
    out_len += kMask.size();
    pos = coverage->find(run, false);
  }
  out.reserve(out_len);
  for (std::size_t pos = 0; pos < text.size();) {
    const std::size_t run = coverage->find(pos, true);
    out.append(text.subspan(pos, run - pos));
    if (run == text.size()) break;
    out.append(kMask);
    pos = coverage->find(run, false);
  }
  return out;
}

}  // namespace zantu::wrapper::sanitize
