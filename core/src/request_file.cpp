#include "request_file.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "zantu/core/clock.hpp"
#include "zantu/core/fd.hpp"

namespace zantu::core::request_file {

std::string make_id(std::uint64_t unix_secs, std::uint64_t seq) {
  std::string id = std::to_string(unix_secs);
  id += '-';
  id += std::to_string(static_cast<long long>(::getpid()));
  id += '-';
  id += std::to_string(seq);
  return id;
}

std::uint64_t wall_clock_secs() noexcept { return SystemClock{}.unix_secs(); }

Result<Placed> place(const std::filesystem::path& target, std::string_view bytes, std::string_view write_step,
                     std::string_view rename_step, const std::filesystem::path* answer) {
  std::filesystem::path tmp = target;
  tmp.replace_extension("tmp");

  {
    // Exclusive and private from the start: whatever stands at this name
    // (another writer's temporary file of the same id, a leftover, or a link
    // planted to have us write elsewhere) is never opened, written or
    // truncated.
    UniqueFd fd(::open(tmp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY, 0600));
    if (!fd.valid()) {
      if (errno == EEXIST) return Placed::NameTaken;
      return std::unexpected(CoreError::io_errno(write_step, errno));
    }
    if (int err = write_all(fd.get(), bytes.data(), bytes.size()); err != 0) {
      if (err < 0) return std::unexpected(CoreError::io(std::string(write_step) + ": failed to write whole buffer"));
      return std::unexpected(CoreError::io_errno(write_step, err));
    }
    // Through the descriptor, so that nothing put at the name meanwhile is
    // changed instead; it also lifts owner bits a umask took away.
    if (::fchmod(fd.get(), 0600) != 0) return std::unexpected(CoreError::io_errno("chmod 600", errno));
  }

  if (answer != nullptr) {
    // Ids can be foreseen, so the answer name may hold anything put there
    // before the request exists; it must not answer. It is cleared only once
    // the id is ours: holding the temporary name keeps this system's other
    // writers of the id out, and a free target means no request of theirs
    // waits on that answer. What cannot be removed (a directory) refuses the
    // request.
    struct stat st {};
    if (::lstat(target.c_str(), &st) == 0) {
      ::unlink(tmp.c_str());
      return Placed::NameTaken;
    }
    if (::unlink(answer->c_str()) != 0 && errno != ENOENT) {
      const int err = errno;
      ::unlink(tmp.c_str());
      return std::unexpected(CoreError::io_errno("clear decision", err));
    }
  }

  // link(2) fails on an existing target where rename(2) would replace it.
  if (::link(tmp.c_str(), target.c_str()) != 0) {
    const int err = errno;
    if (err != EEXIST) return std::unexpected(CoreError::io_errno(rename_step, err));
    ::unlink(tmp.c_str());
    return Placed::NameTaken;
  }
  ::unlink(tmp.c_str());
  return Placed::Done;
}

}  // namespace zantu::core::request_file
