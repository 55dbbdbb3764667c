#include "zantu/wrapper/sanitize.hpp"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "support.hpp"

namespace zantu::wrapper {
namespace {

using namespace std::literals;

std::string mask(std::string_view text, const std::vector<std::string_view>& secrets) {
  std::vector<std::span<const std::uint8_t>> views;
  for (auto s : secrets) views.push_back(testing::bytes_of(s));
  return std::string(sanitize::mask_secrets(testing::bytes_of(text), views).view());
}

// What masking must give, spelled out plainly: mark every byte that any
// occurrence covers, then write one "***" per run of marked bytes.
std::string reference_mask(std::string_view text, const std::vector<std::string_view>& secrets) {
  std::vector<bool> covered(text.size(), false);
  for (auto s : secrets) {
    if (s.empty()) continue;
    for (std::size_t i = 0; i + s.size() <= text.size(); ++i) {
      if (text.substr(i, s.size()) == s) {
        for (std::size_t j = i; j < i + s.size(); ++j) covered[j] = true;
      }
    }
  }
  std::string out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (!covered[i]) {
      out += text[i];
    } else if (i == 0 || !covered[i - 1]) {
      out += "***";
    }
  }
  return out;
}

TEST(MaskSecrets, Cases) {
  struct Case {
    std::string_view text;
    std::vector<std::string_view> secrets;
    std::string_view want;
    const char* why;
  };
  const Case cases[] = {
      {"abcd", {}, "abcd", "no secrets: a copy"},
      {"abcd", {"bc"}, "a***d", "one occurrence"},
      {"aXa", {"a"}, "***X***", "two separate occurrences"},
      {"abc abc", {"abc"}, "*** ***", "separated occurrences stay apart"},
      {"abcabc", {"abc"}, "***", "touching occurrences form one run"},
      {"aaaaa", {"aa"}, "***", "overlapping occurrences of one value leave nothing"},
      {"abc", {"", "x"}, "abc", "empty and absent values"},
      {"ab", {"abcdef"}, "ab", "a value longer than the text"},
      {"", {"a"}, "", "empty text"},
      {"secret", {"secret"}, "***", "the whole text"},
      {"abc", {"ab", "abc"}, "***", "a value inside a longer one (short first)"},
      {"abc", {"abc", "ab"}, "***", "a value inside a longer one (long first)"},
      {"ab", {"b", "a***"}, "a***", "values are searched in the original text, not in masked output"},
      {"login admin123!", {"admin", "admin123!"}, "login ***", "prefix value first leaves no tail"},
      {"login admin123!", {"admin123!", "admin"}, "login ***", "order does not matter"},
      {"xpassword123y", {"password", "word123"}, "x***y", "two values overlapping"},
      {"abcde", {"abc", "cde"}, "***", "overlap of one byte"},
      {"abcdef", {"abc", "def"}, "***", "two values touching"},
      {"ab***cd", {"***"}, "ab***cd", "a value equal to the mask"},
      {"\x00\xff\x00"sv, {"\xff"}, "\x00***\x00"sv, "binary bytes, no decoding"},
      {"Token TOKEN token", {"token"}, "Token TOKEN ***", "case-sensitive"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(mask(c.text, c.secrets), c.want) << c.why;
    EXPECT_EQ(reference_mask(c.text, c.secrets), c.want) << "reference: " << c.why;
  }
}

// Random texts over a tiny alphabet, so values occur often, overlap and touch,
// and lengths cross the 64-byte words of the coverage map.
TEST(MaskSecrets, AgreesWithReferenceOnRandomInputs) {
  std::mt19937 rng(20240611);
  const std::string alphabet = "ab*\n";
  auto random_string = [&](std::size_t max_len, std::size_t letters) {
    std::string s(std::uniform_int_distribution<std::size_t>(0, max_len)(rng), 'a');
    for (auto& ch : s) ch = alphabet[std::uniform_int_distribution<std::size_t>(0, letters - 1)(rng)];
    return s;
  };
  for (int iter = 0; iter < 3000; ++iter) {
    const std::string text = random_string(300, iter % 2 == 0 ? 2 : alphabet.size());
    std::vector<std::string> owned;
    const auto num_secrets = std::uniform_int_distribution<int>(0, 4)(rng);
    for (int i = 0; i < num_secrets; ++i) owned.push_back(random_string(6, 3));
    // Sometimes a value taken from the text itself, so long ones occur too.
    if (iter % 3 == 0 && text.size() > 10) owned.push_back(text.substr(iter % 7, 5 + iter % 40));
    const std::vector<std::string_view> secrets(owned.begin(), owned.end());
    ASSERT_EQ(mask(text, secrets), reference_mask(text, secrets)) << "text: " << text;
  }
}

TEST(MaskSecrets, LongRunsAcrossWordBoundaries) {
  std::string text(1000, 'a');
  text[500] = 'b';
  EXPECT_EQ(mask(text, {"a"}), "***b***");
  EXPECT_EQ(mask(text, {"aaa"}), "***b***");
  EXPECT_EQ(mask(text, {"ab", "ba"}), std::string(499, 'a') + "***" + std::string(498, 'a'));
  EXPECT_EQ(mask(text, {std::string_view(text).substr(1, 998)}), "a***a");
}

}  // namespace
}  // namespace zantu::wrapper
