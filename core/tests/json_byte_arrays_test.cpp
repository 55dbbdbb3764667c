// Byte arrays take a fast scan for their plain elements; whatever the text,
// the result must be the one the element-by-element reader gives.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "zantu/core/json.hpp"

namespace zantu::core::json {
namespace {

struct Outcome {
  bool ok = false;
  std::vector<std::uint8_t> bytes;
  std::string error;
  std::size_t offset = 0;

  friend bool operator==(const Outcome&, const Outcome&) = default;
};

std::ostream& operator<<(std::ostream& os, const Outcome& o) {
  os << (o.ok ? "ok" : "error '" + o.error + "'") << " at " << o.offset << " [";
  for (auto b : o.bytes) os << int(b) << ' ';
  return os << ']';
}

Outcome fast_bytes(std::string_view text) {
  Reader r(text);
  Outcome o;
  auto s = expect_bytes(r, o.bytes);
  o.ok = s.has_value();
  if (!o.ok) o.error = s.error().detail();
  o.offset = r.offset();
  if (!o.ok) o.bytes.clear();
  return o;
}

// One element at a time through the general calls.
Outcome reference_bytes(std::string_view text) {
  Reader r(text);
  Outcome o;
  auto fail = [&](const CoreError& e) {
    o.error = e.detail();
    o.offset = r.offset();
    o.bytes.clear();
    return o;
  };
  auto k = r.peek();
  if (!k) return fail(k.error());
  if (*k != Kind::Array) {
    auto what = r.describe_next();
    if (!what) return fail(what.error());
    return fail(r.invalid_type(*what, "a sequence"));
  }
  if (auto s = r.begin_array(); !s) return fail(s.error());
  while (true) {
    auto more = r.next_element();
    if (!more) return fail(more.error());
    if (!*more) break;
    auto b = expect_u8(r);
    if (!b) return fail(b.error());
    o.bytes.push_back(*b);
  }
  o.ok = true;
  o.offset = r.offset();
  return o;
}

Outcome fast_skip(std::string_view text) {
  Reader r(text);
  Outcome o;
  auto s = r.skip_value();
  o.ok = s.has_value();
  if (!o.ok) o.error = s.error().detail();
  o.offset = r.offset();
  return o;
}

Status reference_skip_array(Reader& r) {
  if (auto s = r.begin_array(); !s) return s;
  while (true) {
    auto more = r.next_element();
    if (!more) return std::unexpected(more.error());
    if (!*more) return {};
    auto k = r.peek();
    if (!k) return std::unexpected(k.error());
    if (*k == Kind::Array) {
      if (auto s = reference_skip_array(r); !s) return s;
    } else if (*k == Kind::Number) {
      auto n = r.read_number();
      if (!n) return std::unexpected(n.error());
    } else if (auto s = r.skip_value(); !s) {
      return s;
    }
  }
}

Outcome reference_skip(std::string_view text) {
  Reader r(text);
  Outcome o;
  auto k = r.peek();
  Status s = k ? (*k == Kind::Array ? reference_skip_array(r) : r.skip_value()) : Status(std::unexpected(k.error()));
  o.ok = s.has_value();
  if (!o.ok) o.error = s.error().detail();
  o.offset = r.offset();
  return o;
}

TEST(JsonByteArrays, HandPickedTextsReadAsElementByElement) {
  const char* texts[] = {
      "[]", "[ ]", "[0]", "[255]", "[0,1,9,10,99,100,199,255]", " [ 1 ,\t2\n,\r3 ] ", "[1,2,3",
      "[1,2,", "[1,2,]", "[1 2]", "[1,,2]", "[,1]", "[256]", "[1000]", "[01]", "[00]", "[0.5]", "[1e2]",
      "[1E2]", "[10.0]", "[-0]", "[-1]", "[1,\"a\"]", "[1,[2]]", "[1,{}]", "[1,null]", "[1,true]", "[12",
      "[123", "[1234]", "[7]x", "[1,2]]", "[ 5", "[5 ", "[5 ,", "[255,256]", "[2,55,0255]", "[1,2e]",
      "[1,2.]", "[9,99,999]",
  };
  for (const char* t : texts) {
    EXPECT_EQ(fast_bytes(t), reference_bytes(t)) << t;
    EXPECT_EQ(fast_skip(t), reference_skip(t)) << t;
  }
}

TEST(JsonByteArrays, RandomTextsReadAsElementByElement) {
  const char* tokens[] = {"0", "7", "42", "255", "256", "999", "1000", "01", "1.5", "2e1", "-1", "-0", "\"s\"",
                          "[]", "[1,2]", "{}", "null", " ", "\n", "\t", ",", ",", ",", "]", "x"};
  std::mt19937 rng(20261210);
  for (int i = 0; i < 20000; ++i) {
    std::string text = "[";
    const int n = static_cast<int>(rng() % 12);
    for (int j = 0; j < n; ++j) {
      // Mostly well-formed elements, with every kind of fault mixed in.
      if (rng() % 3 != 0) {
        text += std::to_string(rng() % 256);
        text += ',';
      } else {
        text += tokens[rng() % std::size(tokens)];
      }
    }
    if (rng() % 4 != 0) text += ']';
    if (rng() % 3 == 0) text.resize(rng() % (text.size() + 1));
    ASSERT_EQ(fast_bytes(text), reference_bytes(text)) << text;
    ASSERT_EQ(fast_skip(text), reference_skip(text)) << text;
  }
}

}  // namespace
}  // namespace zantu::core::json
