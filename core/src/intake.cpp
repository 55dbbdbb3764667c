#include "zantu/core/intake.hpp"

#include "request_file.hpp"
#include "zantu/core/json.hpp"
#include "zantu/core/store.hpp"

namespace zantu::core {

std::string PendingIntake::to_json() const {
  std::string out;
  json::Writer w(out);
  auto optional = [&](std::string_view key, const std::optional<std::string>& v) {
    w.key(key);
    if (v) {
      w.string(*v);
    } else {
      w.null();
    }
  };
  w.begin_object();
  w.key("id").string(id);
  w.key("created_unix").uint(created_unix);
  w.key("coordinate").string(coordinate);
  w.key("sensitivity").string(sensitivity::wire_name(sensitivity));
  w.key("environment").string(environment);
  w.key("origin").string(confirm::origin_wire_name(origin));
  optional("requesting_process", requesting_process);
  optional("description", description);
  optional("project", project);
  w.end_object();
  return out;
}

Result<PendingIntake> IntakeBroker::create(PendingIntake intake) const {
  const std::uint64_t secs = request_file::wall_clock_secs();
  intake.id = request_file::make_id(secs, request_file::take_seq(next_seq_));
  intake.created_unix = request_file::wall_clock_secs();

  if (auto st = store::ensure_dir(dir_); !st) return std::unexpected(st.error());
  // A taken name is another request's: move on to the next sequence number
  // under the same seconds. Every taken name is an existing file, so this ends.
  for (;;) {
    auto placed = request_file::place(dir_ / (intake.id + ".json"), intake.to_json(), "write intake", "rename intake");
    if (!placed) return std::unexpected(placed.error());
    if (*placed == request_file::Placed::Done) return intake;
    intake.id = request_file::make_id(secs, request_file::take_seq(next_seq_));
  }
}

}  // namespace zantu::core
