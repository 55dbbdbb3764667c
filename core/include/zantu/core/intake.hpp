// Intake requests: "please supply a value for this coordinate", filed as
// "<root>/intake/<id>.json" and answered out of band. This system only writes
// them.
#pragma once

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "zantu/core/confirm.hpp"
#include "zantu/core/error.hpp"
#include "zantu/core/sensitivity.hpp"

namespace zantu::core {

// The content of an intake file. Built field by field by its filer, with an
// empty `id` and `created_unix` 0; `IntakeBroker::create` sets both.
struct PendingIntake {
  std::string id;
  std::uint64_t created_unix = 0;
  std::string coordinate;  // as the filer gives it
  Sensitivity sensitivity = Sensitivity::Low;
  std::string environment;
  Origin origin = Origin::Agent;
  std::optional<std::string> requesting_process;  // the caller's trusted identity
  std::optional<std::string> description;
  std::optional<std::string> project;  // never an empty string

  // Set the field to a copy, replacing an earlier value.
  PendingIntake& with_description(std::string_view d) & {
    description = std::string(d);
    return *this;
  }
  PendingIntake&& with_description(std::string_view d) && { return std::move(with_description(d)); }
  PendingIntake& with_requesting_process(std::string_view p) & {
    requesting_process = std::string(p);
    return *this;
  }
  PendingIntake&& with_requesting_process(std::string_view p) && { return std::move(with_requesting_process(p)); }
  // An empty name (length 0; white space is not empty) becomes absent.
  PendingIntake& with_project(std::optional<std::string> p) & {
    project = (p && p->empty()) ? std::nullopt : std::move(p);
    return *this;
  }
  PendingIntake&& with_project(std::optional<std::string> p) && { return std::move(with_project(std::move(p))); }

  // One compact JSON object, keys in field order, an absent optional field
  // written as null; no trailing line break.
  [[nodiscard]] std::string to_json() const;
};

class IntakeBroker {
 public:
  explicit IntakeBroker(std::filesystem::path dir) : dir_(std::move(dir)) {}
  IntakeBroker(const IntakeBroker&) = delete;
  IntakeBroker& operator=(const IntakeBroker&) = delete;

  // A broker for "<root>/intake". Touches no file.
  [[nodiscard]] static IntakeBroker under_root(const std::filesystem::path& root) {
    return IntakeBroker(root / "intake");
  }

  [[nodiscard]] const std::filesystem::path& dir() const noexcept { return dir_; }

  // Files `intake` as "<dir>/<id>.json" (mode 0600; the directory is created,
  // mode 0700, when missing) and returns it with `id` and `created_unix` set.
  // The file never replaces another: a taken name moves the request on to the
  // next sequence number, so the returned id is the one in the file. Errors:
  // those of creating the directory and of setting the mode, unchanged, and
  // `Io` "write intake: ..." or "rename intake: ...".
  [[nodiscard]] Result<PendingIntake> create(PendingIntake intake) const;

 private:
  std::filesystem::path dir_;
  mutable std::atomic<std::uint64_t> next_seq_{0};
};

}  // namespace zantu::core
