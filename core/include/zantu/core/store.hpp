// Record files: "<vault dir>/<storage id>.sec", holding "ZANT", the frame
// version 1 (32-bit little-endian) and the sealed envelope as compact JSON.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "zantu/core/coordinate.hpp"
#include "zantu/core/crypto.hpp"
#include "zantu/core/error.hpp"
#include "zantu/core/keyring.hpp"
#include "zantu/core/record.hpp"

namespace zantu::core {

// A record file that could not be read, unframed or opened. It is only
// reported, never moved or removed.
struct Quarantined {
  std::string id;      // the file's stem; empty when it is not UTF-8
  std::string reason;  // the text form of the error that stopped it
};

struct LoadOutcome {
  std::vector<std::pair<std::string, SecretRecord>> records;  // (storage id, record), directory order
  std::vector<Quarantined> quarantined;                       // directory order
};

namespace store {

// Creates a missing directory with its missing parents, then sets the
// directory itself to 0700. Anything that already exists at the path, of any
// type, is left as it is.
[[nodiscard]] Status ensure_dir(const std::filesystem::path& dir);

// Sets the permission bits of `path` to `mode`; fails with "chmod <octal>: ...".
[[nodiscard]] Status restrict(const std::filesystem::path& path, std::uint32_t mode);

// "<dir>/<storage id>.sec"; `NotStorable` while the "${ENV}" placeholder is unfilled.
[[nodiscard]] Result<std::filesystem::path> record_path(const std::filesystem::path& dir, const Coordinate& c);

// Writes the record file through "<id>.sec.tmp" (flushed to disk, mode 0600),
// keeping the previous version as "<id>.sec.bak"; "<id>.sec" exists at every
// moment once it has been written.
[[nodiscard]] Status write_record(const std::filesystem::path& dir, const Coordinate& c, const SealedRecord& sealed);

// The record, or nullopt when no file exists for the coordinate. Any other
// failure to read is an error, never "absent".
[[nodiscard]] Result<std::optional<SecretRecord>> read_record(const std::filesystem::path& dir, const Coordinate& c,
                                                              const MasterKey& key);

// Removes "<id>.sec" (its ".bak" and ".tmp" stay); an absent file is success.
[[nodiscard]] Status delete_record(const std::filesystem::path& dir, const Coordinate& c);

// Every "*.sec" entry of the directory, opened or quarantined; a missing
// directory gives an empty outcome.
[[nodiscard]] Result<LoadOutcome> load_all(const std::filesystem::path& dir, const MasterKey& key);

// The bytes of a record file for `sealed`, and back.
[[nodiscard]] std::vector<std::uint8_t> frame(const SealedRecord& sealed);
[[nodiscard]] Result<SealedRecord> unframe(std::span<const std::uint8_t> bytes);

// The envelope: {"nonce":[...],"ciphertext":[...]} written compact; read in
// any key order, with white space and unknown keys, or as a two-element array.
void write_envelope(const SealedRecord& sealed, std::string& out);
[[nodiscard]] Result<SealedRecord> read_envelope(std::span<const std::uint8_t> json);

}  // namespace store
}  // namespace zantu::core
