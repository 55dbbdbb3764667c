// Request files shared by the confirmation and intake brokers: their ids and
// how a file is put in place without replacing another. Not public API.
#pragma once

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>

#include "zantu/core/error.hpp"

namespace zantu::core::request_file {

// "<unix seconds>-<process id>-<seq>", the process id read now.
[[nodiscard]] std::string make_id(std::uint64_t unix_secs, std::uint64_t seq);

// The wall clock in whole seconds, 0 before the epoch.
[[nodiscard]] std::uint64_t wall_clock_secs() noexcept;

// The counter's value before an increment by 1.
[[nodiscard]] inline std::uint64_t take_seq(std::atomic<std::uint64_t>& counter) noexcept {
  return counter.fetch_add(1, std::memory_order_seq_cst);
}

enum class Placed : std::uint8_t { Done, NameTaken };

// Writes `bytes` to `target` with the extension replaced by "tmp" (created
// exclusively with mode 0600, never through anything already at that name),
// then links it to `target` and removes the temporary name. NameTaken, with
// nothing left behind, when the target or the temporary file already exists.
// With `answer`, whatever stands at that path is removed just before the
// target appears, so that only an answer written after the request can
// count. Errors are `Io` "<write_step>: ...", "chmod 600: ...", "clear
// decision: ..." (the answer could not be removed; nothing left behind) and
// "<rename_step>: ..."; the others leave the temporary file.
[[nodiscard]] Result<Placed> place(const std::filesystem::path& target, std::string_view bytes,
                                   std::string_view write_step, std::string_view rename_step,
                                   const std::filesystem::path* answer = nullptr);

}  // namespace zantu::core::request_file
