#include "zantu/core/file_confirm.hpp"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <optional>
#include <thread>

#include "request_file.hpp"
#include "zantu/core/utf8.hpp"
#include "zantu/core/envrefs.hpp"
#include "zantu/core/file_read.hpp"
#include "zantu/core/json.hpp"
#include "zantu/core/store.hpp"

namespace zantu::core {
namespace {

using std::chrono::steady_clock;

void optional_string(json::Writer& w, std::string_view key, const std::optional<std::string>& v) {
  w.key(key);
  if (v) {
    w.string(*v);
  } else {
    w.null();
  }
}

// The decision as the file reads now; nullopt while it gives no answer (it
// cannot be opened or read, or is not UTF-8). Whatever else stands there and
// is not the word is a denial: an oversized file, a FIFO (never waited for),
// a device.
std::optional<ConfirmOutcome> read_decision(const std::filesystem::path& path) {
  const auto bytes = read_whole_file(path, FileConfirmer::kMaxDecisionLen, FileLinks::Follow);
  if (!bytes) {
    if (bytes.error().kind == FileReadFailureKind::Os) return std::nullopt;
    return ConfirmOutcome::Denied;
  }
  const std::string_view text(reinterpret_cast<const char*>(bytes->data()), bytes->size());
  if (!utf8::is_valid(text)) return std::nullopt;
  return envrefs::trim(text) == "approved" ? ConfirmOutcome::Approved : ConfirmOutcome::Denied;
}

steady_clock::time_point deadline_after(std::chrono::nanoseconds timeout) {
  const auto now = steady_clock::now();
  if (timeout <= std::chrono::nanoseconds::zero()) return now;
  // A deadline past the clock's range waits as long as the clock can count.
  if (timeout >= steady_clock::time_point::max() - now) return steady_clock::time_point::max();
  return now + std::chrono::duration_cast<steady_clock::duration>(timeout);
}

}  // namespace

std::string PendingRequest::to_json() const {
  std::string out;
  json::Writer w(out);
  w.begin_object();
  w.key("id").string(id);
  w.key("created_unix").uint(created_unix);
  w.key("request").begin_object();
  optional_string(w, "resolved_command", request.resolved_command);
  w.key("coordinate").string(request.coordinate);
  w.key("sensitivity").string(sensitivity::wire_name(request.sensitivity));
  w.key("environment").string(request.environment);
  w.key("origin").string(confirm::origin_wire_name(request.origin));
  optional_string(w, "requesting_process", request.requesting_process);
  optional_string(w, "requester_description", request.requester_description);
  optional_string(w, "action", request.action);
  w.key("allow_password").boolean(request.allow_password);
  w.end_object();
  w.end_object();
  return out;
}

ConfirmOutcome FileConfirmer::confirm(const ConfirmRequest& request, std::chrono::nanoseconds timeout) const {
  const std::uint64_t secs = request_file::wall_clock_secs();
  PendingRequest pending{request_file::make_id(secs, request_file::take_seq(next_seq_)),
                         request_file::wall_clock_secs(), request};

  if (!store::ensure_dir(dir_)) return ConfirmOutcome::Denied;
  // A taken name is another request's: move on to the next sequence number
  // under the same seconds. Every taken name is an existing file, so this ends.
  for (;;) {
    const std::filesystem::path decision = dir_ / (pending.id + ".decision");
    const auto placed = request_file::place(dir_ / (pending.id + ".json"), pending.to_json(), "write pending",
                                            "rename pending", &decision);
    if (!placed) return ConfirmOutcome::Denied;
    if (*placed == request_file::Placed::Done) break;
    pending.id = request_file::make_id(secs, request_file::take_seq(next_seq_));
  }

  const auto deadline = deadline_after(timeout);
  const std::filesystem::path decision = dir_ / (pending.id + ".decision");
  for (;;) {
    if (const auto outcome = read_decision(decision)) {
      cleanup(pending.id);
      return *outcome;
    }
    const auto now = steady_clock::now();
    if (now >= deadline) {
      cleanup(pending.id);
      return ConfirmOutcome::TimedOut;
    }
    std::this_thread::sleep_for(std::min<steady_clock::duration>(kPollInterval, deadline - now));
  }
}

void FileConfirmer::cleanup(std::string_view id) const {
  const std::string stem(id);
  ::unlink((dir_ / (stem + ".json")).c_str());
  ::unlink((dir_ / (stem + ".decision")).c_str());
}

namespace file_confirm {

Status atomic_write(const std::filesystem::path& target, std::span<const std::uint8_t> bytes) {
  const std::string_view text(reinterpret_cast<const char*>(bytes.data()), bytes.size());
  auto placed = request_file::place(target, text, "write pending", "rename pending");
  if (!placed) return std::unexpected(placed.error());
  if (*placed == request_file::Placed::NameTaken) return std::unexpected(CoreError::io_errno("rename pending", EEXIST));
  return {};
}

}  // namespace file_confirm
}  // namespace zantu::core
