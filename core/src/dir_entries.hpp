// Listing one directory of the vault: the loop that the store and the
// registry share. Internal to the core.
#pragma once

#include <dirent.h>

#include <filesystem>
#include <functional>

#include "zantu/core/error.hpp"

namespace zantu::core {

// Calls `visit` with the directory's descriptor and each entry but "." and
// "..", in the directory's own order. A directory that does not exist (the
// path or a component of it is missing) lists nothing; any other failure is
// `CoreError::Io` with the step "read_dir" (opening) or "dir entry"
// (reading). A failure `visit` returns stops the listing and is returned.
[[nodiscard]] Status for_each_dir_entry(const std::filesystem::path& dir,
                                        const std::function<Status(int dir_fd, const dirent& entry)>& visit);

}  // namespace zantu::core
