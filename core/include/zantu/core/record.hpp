// The record a vault stores for one secret, in one of four modes, and its JSON.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <variant>

#include "zantu/core/error.hpp"
#include "zantu/core/keypair.hpp"
#include "zantu/core/secret.hpp"
#include "zantu/core/sensitivity.hpp"
#include "zantu/core/totp.hpp"

namespace zantu::core {

// The eight fields every mode carries after its own, in their written order.
struct RecordMeta {
  Sensitivity sensitivity = Sensitivity::Low;
  bool revealable = false;
  std::string environment;
  std::string component;
  std::string key;
  std::optional<std::string> description;
  std::string created;  // RFC 3339 text, kept as given
  std::string updated;

  friend bool operator==(const RecordMeta&, const RecordMeta&) = default;
};

// One stored secret. Move-only: its secret bytes (`value`, `seed`,
// `private_key`) are SecretValues, wiped when the record is dropped.
struct SecretRecord {
  struct Literal {
    SecretValue value;
    RecordMeta meta;
  };
  struct Reference {
    std::string ref;  // the provider reference URI, unchecked
    RecordMeta meta;
  };
  struct Keypair {
    KeyAlgorithm algorithm = KeyAlgorithm::Ed25519;
    std::optional<SecretValue> private_key;  // absent when only the public half is held
    std::string public_key;
    RecordMeta meta;
  };
  struct Totp {
    SecretValue seed;
    TotpAlgorithm algorithm = TotpAlgorithm::Sha1;
    std::uint8_t digits = 0;
    std::uint8_t period = 0;
    RecordMeta meta;
  };

  std::variant<Literal, Reference, Keypair, Totp> mode;

  SecretRecord(Literal r) : mode(std::move(r)) {}
  SecretRecord(Reference r) : mode(std::move(r)) {}
  SecretRecord(Keypair r) : mode(std::move(r)) {}
  SecretRecord(Totp r) : mode(std::move(r)) {}

  // "literal", "reference", "keypair" or "totp".
  [[nodiscard]] std::string_view mode_word() const noexcept;

  // The common fields, whichever the mode.
  [[nodiscard]] RecordMeta& meta() noexcept;
  [[nodiscard]] const RecordMeta& meta() const noexcept;

  // Appends the record's compact JSON to `out`: "mode" first, then the mode's
  // fields and the common ones in declared order; absent optionals left out.
  void serialize(SecretBuffer& out) const;

  // Reads one whole JSON text: the object form (keys in any order) or the
  // array form. A refusal is `CoreError::Serialization` with the reader's text;
  // secret bytes read before it are wiped.
  [[nodiscard]] static Result<SecretRecord> deserialize(std::span<const std::uint8_t> text);
  [[nodiscard]] static Result<SecretRecord> deserialize(std::string_view text);

  friend bool operator==(const SecretRecord&, const SecretRecord&);
};

// Secret bytes compare in constant time for equal lengths.
bool operator==(const SecretRecord::Literal&, const SecretRecord::Literal&);
bool operator==(const SecretRecord::Reference&, const SecretRecord::Reference&);
bool operator==(const SecretRecord::Keypair&, const SecretRecord::Keypair&);
bool operator==(const SecretRecord::Totp&, const SecretRecord::Totp&);

}  // namespace zantu::core
