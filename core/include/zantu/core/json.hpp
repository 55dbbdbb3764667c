// A small, strict JSON reader and a compact JSON writer.
//
// The reader is a pull parser over one borrowed text. It copies nothing it is
// not asked for: a caller reads each value straight into its destination (a
// byte array of secret bytes straight into a SecretBuffer), or skips it after
// checking its syntax. Every failure is `CoreError::Serialization` whose detail
// is the message; syntax errors end with " at line L column C".
//
// The writer appends compact JSON (no white space) straight into the caller's
// buffer: a SecretBuffer for text that holds secrets, a std::string otherwise.
#pragma once

#include <bitset>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <initializer_list>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "zantu/core/error.hpp"
#include "zantu/core/secret.hpp"

namespace zantu::core::json {

// Arrays and objects may nest this deep counting the outermost; one level more
// is refused with "recursion limit exceeded".
inline constexpr std::size_t kMaxDepth = 127;

enum class Kind : std::uint8_t { Null, Bool, Number, String, Array, Object };

// A number as written: an integer without fraction or exponent that fits 64
// bits stays an integer; anything else (and "-0") is a double.
struct Number {
  enum class Type : std::uint8_t { Unsigned, Signed, Float };
  Type type = Type::Unsigned;
  std::uint64_t u = 0;  // Unsigned
  std::int64_t i = 0;   // Signed (always negative)
  double f = 0;         // Float
};

// "integer `5`", "integer `-1`", "floating point `6.0`": how a type error names
// a number.
[[nodiscard]] std::string describe(const Number& n);

// "unknown variant `{found}`, expected ..." for a word that names none of the
// `expected` ones: "expected `a`", "expected `a` or `b`", or "expected one of
// `a`, `b`, `c`".
[[nodiscard]] std::string unknown_variant(std::string_view found, std::initializer_list<std::string_view> expected);

class Reader {
 public:
  // `conversion_positions`: whether type errors (`fail`) carry the position
  // suffix too; syntax errors always do.
  explicit Reader(std::string_view text, bool conversion_positions = true) noexcept
      : text_(text), conversion_positions_(conversion_positions) {}
  explicit Reader(std::span<const std::uint8_t> text, bool conversion_positions = true) noexcept
      : Reader(std::string_view(reinterpret_cast<const char*>(text.data()), text.size()), conversion_positions) {}

  // Skips white space and tells the kind of the next value from its first
  // byte; fails at the end of the text or on a byte that starts no value.
  [[nodiscard]] Result<Kind> peek();

  // Containers. `begin_*` consume the opening bracket (the next value must be
  // of that kind). `next_key` returns false after consuming "}", else reads the
  // next key (unescaped) and its ":"; `next_element` returns false after
  // consuming "]", else leaves the reader before the next element.
  [[nodiscard]] Status begin_object();
  [[nodiscard]] Status begin_array();
  [[nodiscard]] Result<bool> next_key(std::string& key);
  [[nodiscard]] Result<bool> next_element();
  // A whole object: consumes "{", then for each member in order reads its key
  // and calls `member(key)` with the reader before the member's value, which
  // `member` must read or skip (it may move the key away); consumes "}". The
  // first failure, the reader's or one `member` returns, ends the walk.
  [[nodiscard]] Status for_each_member(const std::function<Status(std::string& key)>& member);

  // Scalars; the next value must be of the kind read.
  [[nodiscard]] Result<std::string> read_string();
  // The same into a secret: the unescaped text replaces what `out` held and
  // is written nowhere else on the way (no scratch string, each decoded
  // escape wiped). On failure `out` is left wiped and empty; the error never
  // holds any of the text.
  [[nodiscard]] Status read_string(SecretBuffer& out);
  [[nodiscard]] Result<Number> read_number();
  [[nodiscard]] Result<bool> read_bool();
  [[nodiscard]] Status read_null();

  // Checks the syntax of the next value, nested ones included, and moves past it.
  [[nodiscard]] Status skip_value();

  // Names the next value the way a type error does: "null", "boolean `true`",
  // a number as `describe`, "string \"text\"", "sequence", "map". A scalar is
  // consumed; an array or object is not. With `withhold_text` a string is named
  // "string" alone, so that a misplaced secret never reaches a message.
  [[nodiscard]] Result<std::string> describe_next(bool withhold_text = false);

  // Inside an array, where `next_element` would be called next: reads the
  // elements that are written as plain integers from 0 to 255 (digits only,
  // no leading zero) and appends their values to `out`, up to the first
  // element written any other way or the end of the array. The reader is left
  // as if those elements had gone through `next_element` and `read_number`, so
  // everything else (and every error) is the general path's.
  template <class Out>
  void read_plain_bytes(Out& out);

  // Succeeds when only white space is left; else "trailing characters".
  [[nodiscard]] Status finish();

  // A type error: "invalid type: <what>, expected <expected>".
  [[nodiscard]] CoreError invalid_type(std::string_view what, std::string_view expected) const;
  // A refusal by the caller at the current position (suffix as configured).
  [[nodiscard]] CoreError fail(std::string message) const;
  // A refusal with the position suffix of the current position.
  [[nodiscard]] CoreError fail_at_position(std::string message) const;

  // Byte offset of the reader (after white space only once `peek` ran).
  [[nodiscard]] std::size_t offset() const noexcept { return pos_; }
  [[nodiscard]] std::string_view text() const noexcept { return text_; }

 private:
  [[nodiscard]] CoreError syntax_error(std::size_t index, std::string_view message) const;
  void skip_ws() noexcept;
  [[nodiscard]] Status enter(char open);
  [[nodiscard]] Status at_string();
  template <class Out>
  [[nodiscard]] Status scan_string(Out* out);
  [[nodiscard]] Status scan_literal(std::string_view word);
  [[nodiscard]] Result<Number> scan_number();

  std::string_view text_;
  std::size_t pos_ = 0;
  std::size_t depth_ = 0;
  std::bitset<kMaxDepth + 1> first_;  // per open container: no member read yet
  bool conversion_positions_;
};

// Typed reads with the usual refusals ("invalid type: <what>, expected ...").
[[nodiscard]] Result<std::string> expect_string(Reader& r);  // "a string"
[[nodiscard]] Result<bool> expect_bool(Reader& r);           // "a boolean"
[[nodiscard]] Result<std::uint8_t> expect_u8(Reader& r);     // "u8"
// An array of integers 0 to 255 ("a sequence"), appended to `out` as bytes.
// The SecretBuffer form withholds a misplaced string's text from messages.
[[nodiscard]] Status expect_bytes(Reader& r, SecretBuffer& out);
[[nodiscard]] Status expect_bytes(Reader& r, std::vector<std::uint8_t>& out);

// Appends compact JSON. Commas and colons are placed by the writer: call
// `key` before each value of an object, nothing between array elements.
// Strings are escaped as: \" \\ \b \t \n \f \r, other bytes below 0x20 as
// \u00xx, the rest as it is; bytes that are not UTF-8 are written as U+FFFD.
// Writing into memory does not fail.
class Writer {
 public:
  explicit Writer(std::string& out) noexcept : text_(&out) {}
  explicit Writer(SecretBuffer& out) noexcept : secret_(&out) {}

  Writer& begin_object();
  Writer& end_object();
  Writer& begin_array();
  Writer& end_array();
  Writer& key(std::string_view k);
  Writer& string(std::string_view s);
  Writer& uint(std::uint64_t n);
  Writer& int_(std::int64_t n);
  Writer& boolean(bool b);
  Writer& null();
  // "[1,2,255]": each byte as a decimal number.
  Writer& bytes(std::span<const std::uint8_t> b);

 private:
  void separate();
  void put(char c);
  void put(std::string_view s);
  void put_escaped(std::string_view s);

  std::string* text_ = nullptr;
  SecretBuffer* secret_ = nullptr;
  bool first_ = true;      // nothing written yet in the open container
  bool after_key_ = false;  // the next value belongs to the key just written
};

}  // namespace zantu::core::json
