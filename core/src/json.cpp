#include "zantu/core/json.hpp"

#include <charconv>
#include <cmath>
#include <limits>
#include <new>
#include <optional>
#include <type_traits>

#include "zantu/core/utf8.hpp"

namespace zantu::core::json {
namespace {

bool is_digit(char c) noexcept { return c >= '0' && c <= '9'; }

int hex_value(char c) noexcept {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

template <class T>
std::string decimal(T n) {
  char buf[24];
  auto res = std::to_chars(buf, buf + sizeof buf, n);
  return std::string(buf, res.ptr);
}

}  // namespace

std::string unknown_variant(std::string_view found, std::initializer_list<std::string_view> expected) {
  std::string msg = "unknown variant `";
  msg += found;
  msg += "`, expected ";
  if (expected.size() > 2) msg += "one of ";
  std::size_t i = 0;
  for (const std::string_view word : expected) {
    if (i > 0) msg += expected.size() == 2 ? " or " : ", ";
    msg += '`';
    msg += word;
    msg += '`';
    ++i;
  }
  return msg;
}

std::string describe(const Number& n) {
  switch (n.type) {
    case Number::Type::Unsigned: return "integer `" + decimal(n.u) + "`";
    case Number::Type::Signed: return "integer `" + decimal(n.i) + "`";
    case Number::Type::Float: break;
  }
  // Shortest text that reads back as the same double, never in exponent form,
  // with ".0" added when it has no decimal point (6e0 is "6.0").
  char buf[400];
  auto res = std::to_chars(buf, buf + sizeof buf, n.f, std::chars_format::fixed);
  std::string text(buf, res.ptr);
  if (std::isfinite(n.f) && text.find('.') == std::string::npos) text += ".0";
  return "floating point `" + text + "`";
}

// ---------------------------------------------------------------- Reader

CoreError Reader::syntax_error(std::size_t index, std::string_view message) const {
  if (index > text_.size()) index = text_.size();
  std::size_t line = 1;
  std::size_t line_start = 0;
  for (std::size_t i = 0; i < index; ++i) {
    if (text_[i] == '\n') {
      ++line;
      line_start = i + 1;
    }
  }
  std::string msg(message);
  msg += " at line ";
  msg += decimal(line);
  msg += " column ";
  msg += decimal(index - line_start);
  return CoreError::serialization(std::move(msg));
}

CoreError Reader::fail_at_position(std::string message) const { return syntax_error(pos_, message); }

CoreError Reader::fail(std::string message) const {
  return conversion_positions_ ? fail_at_position(std::move(message)) : CoreError::serialization(std::move(message));
}

CoreError Reader::invalid_type(std::string_view what, std::string_view expected) const {
  std::string msg = "invalid type: ";
  msg += what;
  msg += ", expected ";
  msg += expected;
  return fail(std::move(msg));
}

void Reader::skip_ws() noexcept {
  while (pos_ < text_.size()) {
    char c = text_[pos_];
    if (c != ' ' && c != '\t' && c != '\n' && c != '\r') return;
    ++pos_;
  }
}

Result<Kind> Reader::peek() {
  skip_ws();
  if (pos_ == text_.size()) return std::unexpected(syntax_error(pos_, "EOF while parsing a value"));
  switch (text_[pos_]) {
    case 'n': return Kind::Null;
    case 't':
    case 'f': return Kind::Bool;
    case '"': return Kind::String;
    case '[': return Kind::Array;
    case '{': return Kind::Object;
    case '-': return Kind::Number;
    default:
      if (is_digit(text_[pos_])) return Kind::Number;
      return std::unexpected(syntax_error(pos_ + 1, "expected value"));
  }
}

Status Reader::enter(char open) {
  auto k = peek();
  if (!k) return std::unexpected(k.error());
  const Kind want = open == '{' ? Kind::Object : Kind::Array;
  if (*k != want) {
    auto what = describe_next();
    if (!what) return std::unexpected(what.error());
    return std::unexpected(invalid_type(*what, want == Kind::Object ? "a map" : "a sequence"));
  }
  ++pos_;
  if (depth_ == kMaxDepth) return std::unexpected(syntax_error(pos_, "recursion limit exceeded"));
  ++depth_;
  first_[depth_] = true;
  return {};
}

Status Reader::begin_object() { return enter('{'); }
Status Reader::begin_array() { return enter('['); }

Result<bool> Reader::next_key(std::string& key) {
  skip_ws();
  if (pos_ == text_.size()) return std::unexpected(syntax_error(pos_, "EOF while parsing an object"));
  if (text_[pos_] == '}') {
    ++pos_;
    --depth_;
    return false;
  }
  if (first_[depth_]) {
    first_[depth_] = false;
  } else {
    if (text_[pos_] != ',') return std::unexpected(syntax_error(pos_ + 1, "expected `,` or `}`"));
    ++pos_;
    skip_ws();
    if (pos_ == text_.size()) return std::unexpected(syntax_error(pos_, "EOF while parsing a value"));
    if (text_[pos_] == '}') return std::unexpected(syntax_error(pos_ + 1, "trailing comma"));
  }
  if (text_[pos_] != '"') return std::unexpected(syntax_error(pos_ + 1, "key must be a string"));
  key.clear();
  if (auto s = scan_string(&key); !s) return std::unexpected(s.error());
  skip_ws();
  if (pos_ == text_.size()) return std::unexpected(syntax_error(pos_, "EOF while parsing an object"));
  if (text_[pos_] != ':') return std::unexpected(syntax_error(pos_ + 1, "expected `:`"));
  ++pos_;
  return true;
}

Result<bool> Reader::next_element() {
  skip_ws();
  if (pos_ == text_.size()) return std::unexpected(syntax_error(pos_, "EOF while parsing a list"));
  if (text_[pos_] == ']') {
    ++pos_;
    --depth_;
    return false;
  }
  if (first_[depth_]) {
    first_[depth_] = false;
    return true;
  }
  if (text_[pos_] != ',') return std::unexpected(syntax_error(pos_ + 1, "expected `,` or `]`"));
  ++pos_;
  skip_ws();
  if (pos_ < text_.size() && text_[pos_] == ']') return std::unexpected(syntax_error(pos_ + 1, "trailing comma"));
  return true;
}

template <class Out>
void Reader::read_plain_bytes(Out& out) {
  const char* const begin = text_.data();
  const char* const end = begin + text_.size();
  const char* p = begin + pos_;
  bool first = first_[depth_];
  auto is_ws = [](char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; };
  auto digit = [](char c) { return static_cast<unsigned>(c - '0'); };
  out.reserve(out.size() + static_cast<std::size_t>(end - p) / 2);
  while (true) {
    const char* q = p;
    while (q != end && is_ws(*q)) ++q;
    if (!first) {
      if (q == end || *q != ',') break;
      ++q;
      while (q != end && is_ws(*q)) ++q;
    }
    if (q == end || digit(*q) > 9) break;
    unsigned value = digit(*q++);
    if (value != 0) {
      if (q != end && digit(*q) <= 9) {
        value = value * 10 + digit(*q++);
        if (q != end && digit(*q) <= 9) value = value * 10 + digit(*q++);
      }
    }
    if (q != end && (digit(*q) <= 9 || *q == '.' || *q == 'e' || *q == 'E')) break;
    if (value > 255) break;
    out.push_back(static_cast<std::uint8_t>(value));
    first = false;
    p = q;
  }
  first_[depth_] = first;
  pos_ = static_cast<std::size_t>(p - begin);
}

namespace {

void put_byte(std::string& out, char c) { out.push_back(c); }
void put_byte(SecretBuffer& out, char c) { out.push_back(static_cast<std::uint8_t>(c)); }

// Where the scanner holds the string's bytes outside `out`: the byte at hand,
// an escape's letter and the byte it stands for, a \u escape's hex digit and
// code units, and the decoding of a raw UTF-8 sequence. They are the secret's
// bytes whenever the string is a secret, so they are wiped when the scan
// ends, on every path.
struct ScanScratch {
  unsigned char byte = 0;
  char escape = 0;
  char plain = 0;
  int digit = 0;
  char32_t code = 0;  // the first unit, then the whole code point
  char32_t low = 0;
  std::optional<utf8::Decoded> raw;
  ScanScratch() = default;
  ScanScratch(const ScanScratch&) = delete;
  ScanScratch& operator=(const ScanScratch&) = delete;
  ~ScanScratch() { wipe_bytes(this, sizeof *this); }
};

}  // namespace

// Reads the string at pos_ (its opening quote) and appends its unescaped text
// to `out`, or only checks it when `out` is null. Text goes straight from the
// input into `out`, a run of plain bytes at a time.
template <class Out>
Status Reader::scan_string(Out* out) {
  ScanScratch s;
  ++pos_;
  const std::size_t n = text_.size();
  while (true) {
    if (pos_ == n) return std::unexpected(syntax_error(n, "EOF while parsing a string"));
    s.byte = static_cast<unsigned char>(text_[pos_]);
    if (s.byte == '"') {
      ++pos_;
      return {};
    }
    if (s.byte < 0x20) {
      return std::unexpected(
          syntax_error(pos_ + 1, "control character (\\u0000-\\u001F) found while parsing a string"));
    }
    if (s.byte == '\\') {
      ++pos_;
      if (pos_ == n) return std::unexpected(syntax_error(n, "EOF while parsing a string"));
      s.escape = text_[pos_++];
      switch (s.escape) {
        case '"': s.plain = '"'; break;
        case '\\': s.plain = '\\'; break;
        case '/': s.plain = '/'; break;
        case 'b': s.plain = '\b'; break;
        case 'f': s.plain = '\f'; break;
        case 'n': s.plain = '\n'; break;
        case 'r': s.plain = '\r'; break;
        case 't': s.plain = '\t'; break;
        case 'u': break;
        default: return std::unexpected(syntax_error(pos_, "invalid escape"));
      }
      if (s.escape != 'u') {
        if (out) put_byte(*out, s.plain);
        continue;
      }
      auto hex4 = [&](char32_t& v) -> Status {
        if (n - pos_ < 4) return std::unexpected(syntax_error(n, "EOF while parsing a string"));
        v = 0;
        for (int k = 0; k < 4; ++k) {
          s.digit = hex_value(text_[pos_]);
          ++pos_;
          if (s.digit < 0) return std::unexpected(syntax_error(pos_, "invalid escape"));
          v = (v << 4) | static_cast<char32_t>(s.digit);
        }
        return {};
      };
      if (auto st = hex4(s.code); !st) return st;
      if (s.code >= 0xD800 && s.code <= 0xDBFF) {
        if (n - pos_ < 2 || text_[pos_] != '\\' || text_[pos_ + 1] != 'u') {
          return std::unexpected(syntax_error(pos_, "lone leading surrogate in hex escape"));
        }
        pos_ += 2;
        if (auto st = hex4(s.low); !st) return st;
        if (s.low < 0xDC00 || s.low > 0xDFFF) {
          return std::unexpected(syntax_error(pos_, "invalid unicode code point"));
        }
        s.code = 0x10000 + ((s.code - 0xD800) << 10) + (s.low - 0xDC00);
      } else if (s.code >= 0xDC00 && s.code <= 0xDFFF) {
        return std::unexpected(syntax_error(pos_, "invalid unicode code point"));
      }
      if (out) utf8::encode(s.code, [&](char b) { put_byte(*out, b); });
      continue;
    }
    if (s.byte < 0x80) {
      // A run of plain ASCII is copied in one step.
      std::size_t end = pos_ + 1;
      while (end < n) {
        s.byte = static_cast<unsigned char>(text_[end]);
        if (s.byte < 0x20 || s.byte >= 0x80 || s.byte == '"' || s.byte == '\\') break;
        ++end;
      }
      if (out) out->append(text_.substr(pos_, end - pos_));
      pos_ = end;
      continue;
    }
    // Decoded straight into the scratch (the call's result is constructed in
    // place): assigned from a temporary, it would leave a copy of the code
    // point on the stack.
    static_assert(std::is_trivially_destructible_v<decltype(s.raw)>);
    new (&s.raw) std::optional<utf8::Decoded>(utf8::decode_at(text_, pos_));
    if (!s.raw) return std::unexpected(syntax_error(pos_ + 1, "invalid unicode code point"));
    if (out) out->append(text_.substr(pos_, s.raw->len));
    pos_ += s.raw->len;
  }
}

Status Reader::scan_literal(std::string_view word) {
  for (char w : word) {
    if (pos_ == text_.size()) return std::unexpected(syntax_error(pos_, "EOF while parsing a value"));
    if (text_[pos_] != w) return std::unexpected(syntax_error(pos_ + 1, "expected ident"));
    ++pos_;
  }
  return {};
}

Result<Number> Reader::scan_number() {
  const std::size_t n = text_.size();
  const std::size_t start = pos_;
  bool negative = false;
  if (text_[pos_] == '-') {
    negative = true;
    ++pos_;
  }
  auto need_digit = [&]() -> Status {
    if (pos_ == n) return std::unexpected(syntax_error(n, "EOF while parsing a value"));
    if (!is_digit(text_[pos_])) return std::unexpected(syntax_error(pos_ + 1, "invalid number"));
    return {};
  };
  if (auto s = need_digit(); !s) return std::unexpected(s.error());

  std::uint64_t mantissa = 0;
  bool overflow = false;
  std::size_t int_significant = 0;  // integer digits after leading zeros
  if (text_[pos_] == '0') {
    ++pos_;
    if (pos_ < n && is_digit(text_[pos_])) return std::unexpected(syntax_error(pos_ + 1, "invalid number"));
  } else {
    while (pos_ < n && is_digit(text_[pos_])) {
      const auto d = static_cast<std::uint64_t>(text_[pos_] - '0');
      if (mantissa > (std::numeric_limits<std::uint64_t>::max() - d) / 10) overflow = true;
      if (!overflow) mantissa = mantissa * 10 + d;
      ++int_significant;
      ++pos_;
    }
  }
  bool is_float = false;
  std::size_t fraction_zeros = 0;  // zeros before the first non-zero fraction digit
  bool fraction_nonzero = false;
  if (pos_ < n && text_[pos_] == '.') {
    is_float = true;
    ++pos_;
    if (auto s = need_digit(); !s) return std::unexpected(s.error());
    while (pos_ < n && is_digit(text_[pos_])) {
      if (!fraction_nonzero) {
        if (text_[pos_] == '0') {
          ++fraction_zeros;
        } else {
          fraction_nonzero = true;
        }
      }
      ++pos_;
    }
  }
  long long exponent = 0;
  if (pos_ < n && (text_[pos_] == 'e' || text_[pos_] == 'E')) {
    is_float = true;
    ++pos_;
    bool exp_negative = false;
    if (pos_ < n && (text_[pos_] == '+' || text_[pos_] == '-')) {
      exp_negative = text_[pos_] == '-';
      ++pos_;
    }
    if (auto s = need_digit(); !s) return std::unexpected(s.error());
    while (pos_ < n && is_digit(text_[pos_])) {
      if (exponent < 1'000'000'000) exponent = exponent * 10 + (text_[pos_] - '0');
      ++pos_;
    }
    if (exp_negative) exponent = -exponent;
  }

  Number num;
  if (!is_float && !overflow) {
    if (!negative) {
      num.type = Number::Type::Unsigned;
      num.u = mantissa;
      return num;
    }
    // "-0" and integers below the 64-bit range are doubles.
    if (mantissa != 0 && mantissa <= static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max()) + 1) {
      num.type = Number::Type::Signed;
      num.i = static_cast<std::int64_t>(0 - mantissa);
      return num;
    }
  }
  num.type = Number::Type::Float;
  auto res = std::from_chars(text_.data() + start, text_.data() + pos_, num.f);
  if (res.ec == std::errc::result_out_of_range) {
    // Too small rounds to zero; too large is refused.
    long long magnitude = int_significant > 0 ? static_cast<long long>(int_significant) - 1 + exponent
                                              : exponent - static_cast<long long>(fraction_zeros) - 1;
    if (magnitude >= 0) return std::unexpected(syntax_error(pos_, "number out of range"));
    num.f = negative ? -0.0 : 0.0;
  } else if (res.ec != std::errc() || res.ptr != text_.data() + pos_) {
    return std::unexpected(syntax_error(pos_, "invalid number"));
  }
  return num;
}

Status Reader::at_string() {
  auto k = peek();
  if (!k) return std::unexpected(k.error());
  if (*k != Kind::String) return std::unexpected(syntax_error(pos_ + 1, "expected `\"`"));
  return {};
}

Result<std::string> Reader::read_string() {
  if (auto s = at_string(); !s) return std::unexpected(s.error());
  std::string out;
  if (auto s = scan_string(&out); !s) return std::unexpected(s.error());
  return out;
}

Status Reader::read_string(SecretBuffer& out) {
  out.clear();
  if (auto s = at_string(); !s) return s;
  if (auto s = scan_string(&out); !s) {
    out.wipe();
    return s;
  }
  return {};
}

Result<Number> Reader::read_number() {
  auto k = peek();
  if (!k) return std::unexpected(k.error());
  if (*k != Kind::Number) return std::unexpected(syntax_error(pos_ + 1, "invalid number"));
  return scan_number();
}

Result<bool> Reader::read_bool() {
  auto k = peek();
  if (!k) return std::unexpected(k.error());
  if (*k != Kind::Bool) return std::unexpected(syntax_error(pos_ + 1, "expected ident"));
  const bool value = text_[pos_] == 't';
  if (auto s = scan_literal(value ? "true" : "false"); !s) return std::unexpected(s.error());
  return value;
}

Status Reader::read_null() {
  auto k = peek();
  if (!k) return std::unexpected(k.error());
  if (*k != Kind::Null) return std::unexpected(syntax_error(pos_ + 1, "expected ident"));
  return scan_literal("null");
}

Status Reader::skip_value() {
  auto k = peek();
  if (!k) return std::unexpected(k.error());
  switch (*k) {
    case Kind::Null: return read_null();
    case Kind::Bool: {
      auto b = read_bool();
      if (!b) return std::unexpected(b.error());
      return {};
    }
    case Kind::Number: {
      auto num = scan_number();
      if (!num) return std::unexpected(num.error());
      return {};
    }
    case Kind::String: return scan_string<std::string>(nullptr);
    case Kind::Array: {
      if (auto s = begin_array(); !s) return s;
      // Plain byte numbers are checked by the fast scan and dropped.
      struct Discard {
        void reserve(std::size_t) noexcept {}
        void push_back(std::uint8_t) noexcept {}
        [[nodiscard]] std::size_t size() const noexcept { return 0; }
      } discard;
      while (true) {
        read_plain_bytes(discard);
        auto more = next_element();
        if (!more) return std::unexpected(more.error());
        if (!*more) return {};
        if (auto s = skip_value(); !s) return s;
      }
    }
    case Kind::Object:
      return for_each_member([this](std::string&) { return skip_value(); });
  }
  return {};
}

Status Reader::for_each_member(const std::function<Status(std::string& key)>& member) {
  if (auto s = begin_object(); !s) return s;
  std::string key;
  for (;;) {
    auto more = next_key(key);
    if (!more) return std::unexpected(more.error());
    if (!*more) return {};
    if (auto s = member(key); !s) return s;
  }
}

Result<std::string> Reader::describe_next(bool withhold_text) {
  auto k = peek();
  if (!k) return std::unexpected(k.error());
  switch (*k) {
    case Kind::Null: {
      if (auto s = read_null(); !s) return std::unexpected(s.error());
      return std::string("null");
    }
    case Kind::Bool: {
      auto b = read_bool();
      if (!b) return std::unexpected(b.error());
      return std::string(*b ? "boolean `true`" : "boolean `false`");
    }
    case Kind::Number: {
      auto num = scan_number();
      if (!num) return std::unexpected(num.error());
      return describe(*num);
    }
    case Kind::String: {
      if (withhold_text) {
        if (auto s = scan_string<std::string>(nullptr); !s) return std::unexpected(s.error());
        return std::string("string");
      }
      std::string text;
      if (auto s = scan_string(&text); !s) return std::unexpected(s.error());
      return "string " + debug_quoted(text);
    }
    case Kind::Array: return std::string("sequence");
    case Kind::Object: return std::string("map");
  }
  return std::string("value");
}

Status Reader::finish() {
  skip_ws();
  if (pos_ != text_.size()) return std::unexpected(syntax_error(pos_ + 1, "trailing characters"));
  return {};
}

// ---------------------------------------------------------------- typed reads

Result<std::string> expect_string(Reader& r) {
  auto k = r.peek();
  if (!k) return std::unexpected(k.error());
  if (*k == Kind::String) return r.read_string();
  auto what = r.describe_next();
  if (!what) return std::unexpected(what.error());
  return std::unexpected(r.invalid_type(*what, "a string"));
}

Result<bool> expect_bool(Reader& r) {
  auto k = r.peek();
  if (!k) return std::unexpected(k.error());
  if (*k == Kind::Bool) return r.read_bool();
  auto what = r.describe_next();
  if (!what) return std::unexpected(what.error());
  return std::unexpected(r.invalid_type(*what, "a boolean"));
}

namespace {

Result<std::uint8_t> u8_of(Reader& r, bool withhold_text) {
  auto k = r.peek();
  if (!k) return std::unexpected(k.error());
  if (*k != Kind::Number) {
    auto what = r.describe_next(withhold_text);
    if (!what) return std::unexpected(what.error());
    return std::unexpected(r.invalid_type(*what, "u8"));
  }
  auto num = r.read_number();
  if (!num) return std::unexpected(num.error());
  switch (num->type) {
    case Number::Type::Unsigned:
      if (num->u <= 255) return static_cast<std::uint8_t>(num->u);
      [[fallthrough]];
    case Number::Type::Signed: return std::unexpected(r.fail("invalid value: " + describe(*num) + ", expected u8"));
    case Number::Type::Float: break;
  }
  return std::unexpected(r.invalid_type(describe(*num), "u8"));
}

template <class Out>
Status bytes_of(Reader& r, Out& out, bool withhold_text) {
  auto k = r.peek();
  if (!k) return std::unexpected(k.error());
  if (*k != Kind::Array) {
    auto what = r.describe_next(withhold_text);
    if (!what) return std::unexpected(what.error());
    return std::unexpected(r.invalid_type(*what, "a sequence"));
  }
  if (auto s = r.begin_array(); !s) return s;
  while (true) {
    // Byte arrays are long (every record and envelope holds them): the plain
    // elements go through the fast scan, anything else through the general one.
    r.read_plain_bytes(out);
    auto more = r.next_element();
    if (!more) return std::unexpected(more.error());
    if (!*more) return {};
    auto b = u8_of(r, withhold_text);
    if (!b) return std::unexpected(b.error());
    out.push_back(*b);
  }
}

}  // namespace

Result<std::uint8_t> expect_u8(Reader& r) { return u8_of(r, false); }
Status expect_bytes(Reader& r, SecretBuffer& out) { return bytes_of(r, out, true); }
Status expect_bytes(Reader& r, std::vector<std::uint8_t>& out) { return bytes_of(r, out, false); }

// ---------------------------------------------------------------- Writer

void Writer::put(char c) {
  if (text_) {
    text_->push_back(c);
  } else {
    secret_->push_back(static_cast<std::uint8_t>(c));
  }
}

void Writer::put(std::string_view s) {
  if (text_) {
    text_->append(s);
  } else {
    secret_->append(s);
  }
}

void Writer::separate() {
  if (after_key_) {
    after_key_ = false;
    return;
  }
  if (!first_) put(',');
  first_ = false;
}

void Writer::put_escaped(std::string_view s) {
  static constexpr char kHex[] = "0123456789abcdef";
  put('"');
  std::size_t run = 0;  // start of the bytes not yet written
  std::size_t i = 0;
  auto flush = [&]() {
    if (i > run) put(s.substr(run, i - run));
  };
  while (i < s.size()) {
    const auto c = static_cast<unsigned char>(s[i]);
    if (c >= 0x20 && c != '"' && c != '\\' && c < 0x80) {
      ++i;
      continue;
    }
    if (c >= 0x80) {
      char32_t ignored = 0;
      if (std::size_t len = utf8::sequence_len(s, i, &ignored); len != 0) {
        i += len;
        continue;
      }
      flush();
      put("\xEF\xBF\xBD");
      run = ++i;
      continue;
    }
    flush();
    switch (c) {
      case '"': put("\\\""); break;
      case '\\': put("\\\\"); break;
      case '\b': put("\\b"); break;
      case '\t': put("\\t"); break;
      case '\n': put("\\n"); break;
      case '\f': put("\\f"); break;
      case '\r': put("\\r"); break;
      default:
        put("\\u00");
        put(kHex[c >> 4]);
        put(kHex[c & 0xF]);
    }
    run = ++i;
  }
  flush();
  put('"');
}

Writer& Writer::begin_object() {
  separate();
  put('{');
  first_ = true;
  return *this;
}

Writer& Writer::end_object() {
  put('}');
  first_ = false;
  return *this;
}

Writer& Writer::begin_array() {
  separate();
  put('[');
  first_ = true;
  return *this;
}

Writer& Writer::end_array() {
  put(']');
  first_ = false;
  return *this;
}

Writer& Writer::key(std::string_view k) {
  separate();
  put_escaped(k);
  put(':');
  after_key_ = true;
  return *this;
}

Writer& Writer::string(std::string_view s) {
  separate();
  put_escaped(s);
  return *this;
}

Writer& Writer::uint(std::uint64_t n) {
  separate();
  char buf[24];
  auto res = std::to_chars(buf, buf + sizeof buf, n);
  put(std::string_view(buf, static_cast<std::size_t>(res.ptr - buf)));
  return *this;
}

Writer& Writer::int_(std::int64_t n) {
  separate();
  char buf[24];
  auto res = std::to_chars(buf, buf + sizeof buf, n);
  put(std::string_view(buf, static_cast<std::size_t>(res.ptr - buf)));
  return *this;
}

Writer& Writer::boolean(bool b) {
  separate();
  put(b ? std::string_view("true") : std::string_view("false"));
  return *this;
}

Writer& Writer::null() {
  separate();
  put(std::string_view("null"));
  return *this;
}

Writer& Writer::bytes(std::span<const std::uint8_t> b) {
  separate();
  put('[');
  for (std::size_t i = 0; i < b.size(); ++i) {
    if (i != 0) put(',');
    // Digits go straight to the output: no scratch copy of a secret byte.
    const unsigned v = b[i];
    if (v >= 100) put(static_cast<char>('0' + v / 100));
    if (v >= 10) put(static_cast<char>('0' + (v / 10) % 10));
    put(static_cast<char>('0' + v % 10));
  }
  put(']');
  return *this;
}

}  // namespace zantu::core::json
