// Record files: "<vault dir>/<storage id>.sec", holding "ZANT", the frame
// version 1 (32-bit little-endian) and the sealed envelope as compact JSON.
#pragma once

#include <chrono>
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
#include "zantu/core/master_key.hpp"
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

// The longest literal value the session stores, in bytes: `set`'s value and
// `generate`'s text alike.
inline constexpr std::size_t kMaxValueLen = 1048576;

// Room in a record's JSON for everything but the value array: field names,
// coordinate, description, reference, timestamps.
inline constexpr std::size_t kMetadataAllowanceLen = 1048576;

// The longest record file whose sealed plaintext is `plaintext_len` bytes:
// the 8-byte header, then {"nonce":[...],"ciphertext":[...]} with every byte
// of the 12-byte nonce and of the ciphertext (plaintext plus 16-byte tag) at
// its widest, three digits and a comma: 8 + 10 + (4 * 12 - 1) + 16 +
// (4 * (plaintext_len + 16) - 1) + 2 = 4 * plaintext_len + 146.
[[nodiscard]] constexpr std::size_t max_frame_len(std::size_t plaintext_len) noexcept {
  return 8 + 10 + (4 * crypto::kNonceLen - 1) + 16 + (4 * (plaintext_len + crypto::kTagLen) - 1) + 2;
}

// The longest literal plaintext for a value of `value_len` bytes: the value
// array at its widest ("[" 255,255,...,255 "]", 4 * value_len + 1) plus the
// metadata allowance.
[[nodiscard]] constexpr std::size_t max_literal_plaintext_len(std::size_t value_len) noexcept {
  return 4 * value_len + 1 + kMetadataAllowanceLen;
}

// The largest record file that is read or written. Past it a read fails
// without reading the rest (so a huge or sparse file planted in a vault costs
// nothing), and a write is refused before any file is touched (so nothing the
// store writes is unreadable to it). The largest value gives at most
// 4 * (4 MiB + 1 + 1 MiB) + 146 bytes, about 20 MiB: 32 MiB keeps more than
// 8 MiB to spare.
inline constexpr std::size_t kMaxRecordFileLen = 32 * 1024 * 1024;
static_assert(max_frame_len(max_literal_plaintext_len(kMaxValueLen)) + 8 * 1024 * 1024 <= kMaxRecordFileLen);

// Creates a missing directory with its missing parents, then sets the
// directory itself to 0700. Anything that already exists at the path, of any
// type, is left as it is.
[[nodiscard]] Status ensure_dir(const std::filesystem::path& dir);

// Sets the permission bits of `path` to `mode`; fails with "chmod <octal>: ...".
[[nodiscard]] Status restrict(const std::filesystem::path& path, std::uint32_t mode);

// "<dir>/<storage id>.sec"; `NotStorable` while the "${ENV}" placeholder is unfilled.
[[nodiscard]] Result<std::filesystem::path> record_path(const std::filesystem::path& dir, const Coordinate& c);

// Temporary files. Each write puts the new contents into a file of its own,
// "<id>.sec.<32 lower-case hex digits>.tmp" (16 random bytes, created
// exclusively, never through a link), and renames only that file over
// "<id>.sec"; the backup is replaced the same way, through a second name of
// the current file under another such name. A writer never removes a file
// it did not create, and removes its own when its write fails. A writer that
// is killed or stopped between creating its file and renaming it leaves the
// file behind; `load_all`, which reads every entry of the directory anyway,
// removes an entry whose name has exactly that form (or the
// "<id>.sec.tmp" of older versions) when it is a regular file (the name is
// never followed) not modified for more than kStaleTemporaryAge. A write
// therefore costs no scan of the directory, and the rule holds no process id,
// so hosts in different pid namespaces can share a vault. A write stopped for
// longer than that may find its file swept by a listing meanwhile; it then
// fails ("rename into place: No such file or directory") and its value never
// goes live. Removal failures are ignored and never change a listing.
inline constexpr std::chrono::seconds kStaleTemporaryAge{60 * 60};

// Writes the record file through a temporary file of its own (flushed to
// disk, mode 0600), keeping the previous version as "<id>.sec.bak". Once it
// has been written, "<id>.sec" is a whole record file at every moment, with
// any number of writers and whenever one of them is killed; the last rename
// wins and every writer that reaches its rename succeeds. A write that fails
// never makes its value live. A frame longer than kMaxRecordFileLen is refused
// (`Serialization`) before any file is touched.
[[nodiscard]] Status write_record(const std::filesystem::path& dir, const Coordinate& c, const SealedRecord& sealed);

// The record, or nullopt when no file exists for the coordinate. Any other
// failure to read is an error, never "absent"; a file longer than
// kMaxRecordFileLen is one ("read record: file is larger than ... bytes").
[[nodiscard]] Result<std::optional<SecretRecord>> read_record(const std::filesystem::path& dir, const Coordinate& c,
                                                              const MasterKey& key);

// Removes "<id>.sec" (its ".bak" stays); an absent file is success.
[[nodiscard]] Status delete_record(const std::filesystem::path& dir, const Coordinate& c);

// Every "*.sec" entry of the directory, opened or quarantined (a file longer
// than kMaxRecordFileLen among them); a missing directory gives an empty
// outcome. Stale temporary files met on the way are removed (see above).
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
