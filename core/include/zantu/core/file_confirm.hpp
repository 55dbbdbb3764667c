// Confirmation through files in "<root>/pending": the request is written as
// "<id>.json", and the answering side writes "<id>.decision", whose trimmed
// text "approved" approves and anything else denies.
//
// Request ids read "<unix seconds>-<process id>-<sequence>". A request file
// never replaces another: when the name is taken, the request takes the next
// sequence number and is written again under the new id.
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <span>
#include <string>
#include <string_view>

#include "zantu/core/confirm.hpp"
#include "zantu/core/error.hpp"

namespace zantu::core {

// The content of a request file.
struct PendingRequest {
  std::string id;
  std::uint64_t created_unix = 0;  // wall-clock seconds when the file was made
  ConfirmRequest request;

  // One compact JSON object, keys in field order, an absent optional field
  // written as null; no trailing line break.
  [[nodiscard]] std::string to_json() const;
};

class FileConfirmer final : public Confirmer {
 public:
  // Time between two reads of the decision file.
  static constexpr std::chrono::milliseconds kPollInterval{250};
  // A decision file longer than this is a denial, whatever it holds.
  static constexpr std::size_t kMaxDecisionLen = 4096;

  explicit FileConfirmer(std::filesystem::path dir) : dir_(std::move(dir)) {}
  FileConfirmer(const FileConfirmer&) = delete;
  FileConfirmer& operator=(const FileConfirmer&) = delete;

  // A confirmer for "<root>/pending". Touches no file.
  [[nodiscard]] static FileConfirmer under_root(const std::filesystem::path& root) {
    return FileConfirmer(root / "pending");
  }

  [[nodiscard]] const std::filesystem::path& dir() const noexcept { return dir_; }
  [[nodiscard]] std::chrono::milliseconds poll_interval() const noexcept { return kPollInterval; }

  // Writes the request file (creating the directory, mode 0700, when
  // missing), then reads the decision file at once and every poll interval
  // until it answers or the timeout, counted from the moment the request file
  // is in place, has passed. Whatever stands at the decision name before the
  // request file appears is removed first: ids can be foreseen, and only a
  // decision written for the request can answer it. A decision file that
  // cannot be opened or read, or is not UTF-8, is no answer yet. Both files
  // of the request are removed before it returns an answer or TimedOut.
  // Failing to write the request, or to clear its decision name (a directory
  // there), is Denied at once.
  [[nodiscard]] ConfirmOutcome confirm(const ConfirmRequest& request,
                                       std::chrono::nanoseconds timeout) const override;

  // Removes "<id>.json", then "<id>.decision"; failures are ignored.
  void cleanup(std::string_view id) const;

 private:
  std::filesystem::path dir_;
  mutable std::atomic<std::uint64_t> next_seq_{0};
};

namespace file_confirm {

// Writes `bytes` to `target` through the file named like it with the
// extension "tmp" (created exclusively, then set to mode 0600), and links
// that into place without replacing anything. Fails with `Io` "write pending:
// ...", "chmod 600: ..." or "rename pending: ..." (an existing target or
// temporary file: "rename pending: File exists (os error 17)"); a failed step
// leaves the temporary file behind.
[[nodiscard]] Status atomic_write(const std::filesystem::path& target, std::span<const std::uint8_t> bytes);

}  // namespace file_confirm
}  // namespace zantu::core
