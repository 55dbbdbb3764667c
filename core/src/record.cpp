#include "zantu/core/record.hpp"

#include <array>
#include <vector>

#include "zantu/core/json.hpp"

namespace zantu::core {
namespace {

template <class... F>
struct Overloaded : F... {
  using F::operator()...;
};

enum class Mode : std::uint8_t { Literal, Reference, Keypair, Totp };

enum class Field : std::uint8_t {
  Value, Ref, Algorithm, Private, Public, Seed, Digits, Period,
  Sensitivity, Revealable, Environment, Component, Key, Description, Created, Updated,
};

constexpr std::array<std::string_view, 16> kFieldNames = {
    "value",       "ref",        "algorithm",   "private",   "public", "seed",
    "digits",      "period",     "sensitivity", "revealable", "environment", "component",
    "key",         "description", "created",    "updated",
};

std::string_view name_of(Field f) { return kFieldNames[static_cast<std::size_t>(f)]; }

#define ZANTU_COMMON_FIELDS                                                                       \
  Field::Sensitivity, Field::Revealable, Field::Environment, Field::Component, Field::Key, \
      Field::Description, Field::Created, Field::Updated

constexpr Field kLiteralFields[] = {Field::Value, ZANTU_COMMON_FIELDS};
constexpr Field kReferenceFields[] = {Field::Ref, ZANTU_COMMON_FIELDS};
constexpr Field kKeypairFields[] = {Field::Algorithm, Field::Private, Field::Public, ZANTU_COMMON_FIELDS};
constexpr Field kTotpFields[] = {Field::Seed, Field::Algorithm, Field::Digits, Field::Period, ZANTU_COMMON_FIELDS};

#undef ZANTU_COMMON_FIELDS

struct ModeInfo {
  std::string_view word;
  std::string_view short_array;  // the text after "expected" for a short array
  std::span<const Field> fields;
};

constexpr ModeInfo kModes[] = {
    {"literal", "struct variant SecretRecord::Literal with 9 elements", kLiteralFields},
    {"reference", "struct variant SecretRecord::Reference with 9 elements", kReferenceFields},
    {"keypair", "struct variant SecretRecord::Keypair with 11 elements", kKeypairFields},
    {"totp", "struct variant SecretRecord::Totp with 12 elements", kTotpFields},
};

const ModeInfo& info(Mode m) { return kModes[static_cast<std::size_t>(m)]; }

bool is_optional(Mode m, Field f) {
  return f == Field::Revealable || f == Field::Description || f == Field::Private ||
         (m == Mode::Totp && f == Field::Algorithm);
}

// What stage 2 has read so far. The secret fields land straight in
// SecretValues, so a refusal part-way wipes whatever was read.
struct Slots {
  std::uint32_t seen = 0;  // one bit per Field; a null optional counts as seen
  std::optional<SecretValue> value, seed, private_key;
  std::optional<std::string> ref, public_key, environment, component, key, description, created, updated;
  std::optional<KeyAlgorithm> key_algorithm;
  std::optional<TotpAlgorithm> totp_algorithm;
  std::optional<std::uint8_t> digits, period;
  std::optional<Sensitivity> sensitivity;
  std::optional<bool> revealable;

  [[nodiscard]] bool has(Field f) const { return (seen >> static_cast<unsigned>(f)) & 1U; }
  void mark(Field f) { seen |= 1U << static_cast<unsigned>(f); }
};

template <class T>
Status store(Result<T> r, std::optional<T>& slot) {
  if (!r) return std::unexpected(r.error());
  slot = std::move(*r);
  return {};
}

// A wire name, or an object with exactly one key (the wire name) whose value
// is null or {}.
template <class E>
Result<E> read_unit_variant(json::Reader& r, std::optional<E> (*from_wire)(std::string_view) noexcept,
                            std::string (*unknown)(std::string_view)) {
  auto k = r.peek();
  if (!k) return std::unexpected(k.error());
  if (*k == json::Kind::String) {
    auto text = r.read_string();
    if (!text) return std::unexpected(text.error());
    if (auto v = from_wire(*text)) return *v;
    return std::unexpected(r.fail(unknown(*text)));
  }
  if (*k != json::Kind::Object) {
    auto what = r.describe_next();
    if (!what) return std::unexpected(what.error());
    return std::unexpected(r.invalid_type(*what, "string or map"));
  }
  auto not_single = [&] { return std::unexpected(r.fail("invalid value: map, expected map with a single key")); };
  if (auto s = r.begin_object(); !s) return std::unexpected(s.error());
  std::string name;
  auto more = r.next_key(name);
  if (!more) return std::unexpected(more.error());
  if (!*more) return not_single();
  if (auto p = r.peek(); !p) return std::unexpected(p.error());
  const std::size_t value_begin = r.offset();
  if (auto s = r.skip_value(); !s) return std::unexpected(s.error());
  const std::size_t value_end = r.offset();
  std::string other;
  more = r.next_key(other);
  if (!more) return std::unexpected(more.error());
  if (*more) return not_single();

  auto v = from_wire(name);
  if (!v) return std::unexpected(r.fail(unknown(name)));
  json::Reader unit(r.text().substr(value_begin, value_end - value_begin), false);
  auto uk = unit.peek();
  if (!uk) return std::unexpected(uk.error());
  if (*uk == json::Kind::Null) return *v;
  if (*uk == json::Kind::Object) {
    if (auto s = unit.begin_object(); !s) return std::unexpected(s.error());
    auto inner = unit.next_key(other);
    if (!inner) return std::unexpected(inner.error());
    if (!*inner) return *v;
    return std::unexpected(unit.invalid_type("map", "unit"));
  }
  auto what = unit.describe_next();
  if (!what) return std::unexpected(what.error());
  return std::unexpected(unit.invalid_type(*what, "unit"));
}

Result<SecretValue> read_secret(json::Reader& r) {
  SecretBuffer buf;
  if (auto s = json::expect_bytes(r, buf); !s) return std::unexpected(s.error());
  return SecretValue(std::move(buf));
}

// Converts the value under the reader into field `f` of a record of mode `m`.
Status convert(Mode m, Field f, json::Reader& r, Slots& s) {
  s.mark(f);
  switch (f) {
    case Field::Value: return store(read_secret(r), s.value);
    case Field::Seed: return store(read_secret(r), s.seed);
    case Field::Private: {
      auto k = r.peek();
      if (!k) return std::unexpected(k.error());
      if (*k == json::Kind::Null) return r.read_null();
      return store(read_secret(r), s.private_key);
    }
    case Field::Ref: return store(json::expect_string(r), s.ref);
    case Field::Public: return store(json::expect_string(r), s.public_key);
    case Field::Environment: return store(json::expect_string(r), s.environment);
    case Field::Component: return store(json::expect_string(r), s.component);
    case Field::Key: return store(json::expect_string(r), s.key);
    case Field::Created: return store(json::expect_string(r), s.created);
    case Field::Updated: return store(json::expect_string(r), s.updated);
    case Field::Description: {
      auto k = r.peek();
      if (!k) return std::unexpected(k.error());
      if (*k == json::Kind::Null) return r.read_null();
      return store(json::expect_string(r), s.description);
    }
    case Field::Revealable: return store(json::expect_bool(r), s.revealable);
    case Field::Digits: return store(json::expect_u8(r), s.digits);
    case Field::Period: return store(json::expect_u8(r), s.period);
    case Field::Sensitivity:
      return store(read_unit_variant<Sensitivity>(r, sensitivity::from_wire, sensitivity::unknown_variant_message),
                   s.sensitivity);
    case Field::Algorithm:
      if (m == Mode::Keypair) {
        return store(read_unit_variant<KeyAlgorithm>(r, keypair::from_wire, keypair::unknown_variant_message),
                     s.key_algorithm);
      }
      return store(read_unit_variant<TotpAlgorithm>(r, totp::from_wire, totp::unknown_variant_message),
                   s.totp_algorithm);
  }
  return {};
}

RecordMeta take_meta(Slots& s) {
  RecordMeta meta;
  meta.sensitivity = *s.sensitivity;
  meta.revealable = s.revealable.value_or(false);
  meta.environment = std::move(*s.environment);
  meta.component = std::move(*s.component);
  meta.key = std::move(*s.key);
  meta.description = std::move(s.description);
  meta.created = std::move(*s.created);
  meta.updated = std::move(*s.updated);
  return meta;
}

// Every required field is present when this runs.
SecretRecord build(Mode m, Slots& s) {
  switch (m) {
    case Mode::Literal: return SecretRecord::Literal{std::move(*s.value), take_meta(s)};
    case Mode::Reference: return SecretRecord::Reference{std::move(*s.ref), take_meta(s)};
    case Mode::Keypair:
      return SecretRecord::Keypair{*s.key_algorithm, std::move(s.private_key), std::move(*s.public_key),
                                   take_meta(s)};
    case Mode::Totp: break;
  }
  return SecretRecord::Totp{std::move(*s.seed), s.totp_algorithm.value_or(TotpAlgorithm::Sha1), *s.digits,
                            *s.period, take_meta(s)};
}

Result<Mode> read_mode(json::Reader& r) {
  auto k = r.peek();
  if (!k) return std::unexpected(k.error());
  if (*k != json::Kind::String) {
    auto what = r.describe_next();
    if (!what) return std::unexpected(what.error());
    return std::unexpected(r.invalid_type(*what, "variant identifier"));
  }
  auto word = r.read_string();
  if (!word) return std::unexpected(word.error());
  for (std::size_t i = 0; i < std::size(kModes); ++i) {
    if (*word == kModes[i].word) return static_cast<Mode>(i);
  }
  return std::unexpected(r.fail(json::unknown_variant(*word, {"literal", "reference", "keypair", "totp"})));
}

// A value kept by stage 1: its key (empty in the array form) and where its
// text lies. Only positions are kept, never a copy of the value.
struct Kept {
  std::string key;
  std::size_t begin;
  std::size_t end;
};

Status keep_value(json::Reader& r, std::string key, std::vector<Kept>& kept) {
  if (auto k = r.peek(); !k) return std::unexpected(k.error());
  const std::size_t begin = r.offset();
  if (auto s = r.skip_value(); !s) return s;
  kept.push_back({std::move(key), begin, r.offset()});
  return {};
}

std::string decimal(std::size_t n) { return std::to_string(n); }

}  // namespace

std::string_view SecretRecord::mode_word() const noexcept { return kModes[mode.index()].word; }

RecordMeta& SecretRecord::meta() noexcept {
  return std::visit([](auto& m) -> RecordMeta& { return m.meta; }, mode);
}

const RecordMeta& SecretRecord::meta() const noexcept {
  return std::visit([](const auto& m) -> const RecordMeta& { return m.meta; }, mode);
}

void SecretRecord::serialize(SecretBuffer& out) const {
  json::Writer w(out);
  w.begin_object().key("mode").string(mode_word());
  std::visit(Overloaded{
                 [&](const Literal& r) { w.key("value").bytes(r.value.as_bytes()); },
                 [&](const Reference& r) { w.key("ref").string(r.ref); },
                 [&](const Keypair& r) {
                   w.key("algorithm").string(keypair::wire_name(r.algorithm));
                   if (r.private_key) w.key("private").bytes(r.private_key->as_bytes());
                   w.key("public").string(r.public_key);
                 },
                 [&](const Totp& r) {
                   w.key("seed").bytes(r.seed.as_bytes());
                   w.key("algorithm").string(totp::wire_name(r.algorithm));
                   w.key("digits").uint(r.digits);
                   w.key("period").uint(r.period);
                 },
             },
             mode);
  const RecordMeta& m = meta();
  w.key("sensitivity").string(sensitivity::wire_name(m.sensitivity));
  w.key("revealable").boolean(m.revealable);
  w.key("environment").string(m.environment);
  w.key("component").string(m.component);
  w.key("key").string(m.key);
  if (m.description) w.key("description").string(*m.description);
  w.key("created").string(m.created);
  w.key("updated").string(m.updated);
  w.end_object();
}

Result<SecretRecord> SecretRecord::deserialize(std::span<const std::uint8_t> text) {
  return deserialize(std::string_view(reinterpret_cast<const char*>(text.data()), text.size()));
}

Result<SecretRecord> SecretRecord::deserialize(std::string_view text) {
  // Stage 1: the outer value and the mode, which may stand anywhere. The whole
  // outer value is checked here, so syntax errors come before field errors.
  json::Reader r(text);
  auto kind = r.peek();
  if (!kind) return std::unexpected(kind.error());
  const bool object_form = *kind == json::Kind::Object;
  std::optional<Mode> mode;
  std::vector<Kept> kept;
  if (object_form) {
    auto fields = r.for_each_member([&](std::string& key) -> Status {
      if (key != "mode") return keep_value(r, std::move(key), kept);
      if (mode) return std::unexpected(r.fail("duplicate field `mode`"));
      auto m = read_mode(r);
      if (!m) return std::unexpected(m.error());
      mode = *m;
      return {};
    });
    if (!fields) return std::unexpected(fields.error());
    if (!mode) return std::unexpected(r.fail("missing field `mode`"));
  } else if (*kind == json::Kind::Array) {
    if (auto s = r.begin_array(); !s) return std::unexpected(s.error());
    auto more = r.next_element();
    if (!more) return std::unexpected(more.error());
    if (!*more) return std::unexpected(r.fail("missing field `mode`"));
    auto m = read_mode(r);
    if (!m) return std::unexpected(m.error());
    mode = *m;
    while (true) {
      more = r.next_element();
      if (!more) return std::unexpected(more.error());
      if (!*more) break;
      if (auto s = keep_value(r, {}, kept); !s) return std::unexpected(s.error());
    }
  } else {
    auto what = r.describe_next();
    if (!what) return std::unexpected(what.error());
    return std::unexpected(r.invalid_type(*what, "internally tagged enum SecretRecord"));
  }

  // Stage 2: the fields of that mode, without position suffixes.
  const ModeInfo& mi = info(*mode);
  Slots slots;
  auto convert_kept = [&](Field f, const Kept& k) {
    json::Reader value(text.substr(k.begin, k.end - k.begin), false);
    return convert(*mode, f, value, slots);
  };
  if (object_form) {
    for (const Kept& k : kept) {
      const Field* field = nullptr;
      for (const Field& f : mi.fields) {
        if (name_of(f) == k.key) field = &f;
      }
      if (field == nullptr) continue;  // unknown keys are ignored
      if (slots.has(*field)) return std::unexpected(CoreError::serialization("duplicate field `" + k.key + "`"));
      if (auto s = convert_kept(*field, k); !s) return std::unexpected(s.error());
    }
    for (Field f : mi.fields) {
      if (!is_optional(*mode, f) && !slots.has(f)) {
        return std::unexpected(CoreError::serialization("missing field `" + std::string(name_of(f)) + "`"));
      }
    }
  } else {
    std::size_t next = 0;
    for (std::size_t pos = 0; pos < mi.fields.size(); ++pos) {
      const Field f = mi.fields[pos];
      if (next == kept.size()) {
        if (is_optional(*mode, f)) continue;
        return std::unexpected(CoreError::serialization("invalid length " + decimal(pos) + ", expected " +
                                                        std::string(mi.short_array)));
      }
      if (auto s = convert_kept(f, kept[next++]); !s) return std::unexpected(s.error());
    }
    if (kept.size() > mi.fields.size()) {
      return std::unexpected(CoreError::serialization("invalid length " + decimal(kept.size()) + ", expected " +
                                                      decimal(mi.fields.size()) + " elements in sequence"));
    }
  }
  SecretRecord record = build(*mode, slots);
  if (auto s = r.finish(); !s) return std::unexpected(s.error());
  return record;
}

bool operator==(const SecretRecord::Literal& a, const SecretRecord::Literal& b) {
  return a.value.equals(b.value.as_bytes()) && a.meta == b.meta;
}

bool operator==(const SecretRecord::Reference& a, const SecretRecord::Reference& b) {
  return a.ref == b.ref && a.meta == b.meta;
}

bool operator==(const SecretRecord::Keypair& a, const SecretRecord::Keypair& b) {
  if (a.private_key.has_value() != b.private_key.has_value()) return false;
  if (a.private_key && !a.private_key->equals(b.private_key->as_bytes())) return false;
  return a.algorithm == b.algorithm && a.public_key == b.public_key && a.meta == b.meta;
}

bool operator==(const SecretRecord::Totp& a, const SecretRecord::Totp& b) {
  return a.seed.equals(b.seed.as_bytes()) && a.algorithm == b.algorithm && a.digits == b.digits &&
         a.period == b.period && a.meta == b.meta;
}

bool operator==(const SecretRecord& a, const SecretRecord& b) { return a.mode == b.mode; }

}  // namespace zantu::core
