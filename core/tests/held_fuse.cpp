// A file system that holds every open of its files unanswered: what a hung
// FUSE or NFS mount gives an exec. An exec of one of its files sleeps in the
// kernel where no signal reaches it (state D) until the server answers.
//
//   zantu_held_fuse MOUNTPOINT NAME...
//
// Mounts at MOUNTPOINT a directory of executable files named NAME..., then
// prints "ready" on standard output. Each open of a file is read and left
// unanswered, and "held PID" is printed for it (PID: the process that asked).
// A line "release" on standard input, or its end, answers every held open and
// every later one with EIO; the end of standard input also unmounts and
// exits. Killing the server ends the connection, which answers every request
// too, and leaves a dead mount that the starter must detach.
#define FUSE_USE_VERSION 31
#include <fuse_lowlevel.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

namespace {

struct Files {
  std::vector<std::string> names;  // inode i + 2 is names[i]
  std::vector<fuse_req_t> held;
  bool released = false;
};

Files& files_of(fuse_req_t req) { return *static_cast<Files*>(fuse_req_userdata(req)); }

struct stat attributes_of(const Files& files, fuse_ino_t ino, bool& found) {
  struct stat st {};
  found = true;
  st.st_ino = ino;
  st.st_nlink = 1;
  if (ino == FUSE_ROOT_ID) {
    st.st_mode = S_IFDIR | 0755;
    st.st_nlink = 2;
  } else if (ino >= 2 && ino - 2 < files.names.size()) {
    st.st_mode = S_IFREG | 0755;
    st.st_size = 4096;
  } else {
    found = false;
  }
  return st;
}

void on_lookup(fuse_req_t req, fuse_ino_t parent, const char* name) {
  const Files& files = files_of(req);
  for (std::size_t i = 0; parent == FUSE_ROOT_ID && i < files.names.size(); ++i) {
    if (files.names[i] != name) continue;
    fuse_entry_param entry{};
    bool found = false;
    entry.ino = i + 2;
    entry.attr = attributes_of(files, entry.ino, found);
    entry.attr_timeout = 60;
    entry.entry_timeout = 60;
    fuse_reply_entry(req, &entry);
    return;
  }
  fuse_reply_err(req, ENOENT);
}

void on_getattr(fuse_req_t req, fuse_ino_t ino, fuse_file_info*) {
  bool found = false;
  const struct stat st = attributes_of(files_of(req), ino, found);
  if (!found) {
    fuse_reply_err(req, ENOENT);
    return;
  }
  fuse_reply_attr(req, &st, 60);
}

void on_open(fuse_req_t req, fuse_ino_t, fuse_file_info*) {
  Files& files = files_of(req);
  if (files.released) {
    fuse_reply_err(req, EIO);
    return;
  }
  files.held.push_back(req);
  std::printf("held %d\n", static_cast<int>(fuse_req_ctx(req)->pid));
  std::fflush(stdout);
}

void release(Files& files) {
  files.released = true;
  for (fuse_req_t req : files.held) fuse_reply_err(req, EIO);
  files.held.clear();
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: %s MOUNTPOINT NAME...\n", argv[0]);
    return 2;
  }
  Files files;
  for (int i = 2; i < argc; ++i) files.names.emplace_back(argv[i]);

  fuse_lowlevel_ops ops{};
  ops.lookup = on_lookup;
  ops.getattr = on_getattr;
  ops.open = on_open;
  char* fuse_argv[] = {argv[0], nullptr};
  fuse_args args = FUSE_ARGS_INIT(1, fuse_argv);
  fuse_session* se = fuse_session_new(&args, &ops, sizeof ops, &files);
  if (se == nullptr) return 1;
  if (fuse_session_mount(se, argv[1]) != 0) {
    fuse_session_destroy(se);
    return 1;
  }
  std::printf("ready\n");
  std::fflush(stdout);

  fuse_buf buf{};
  std::string input;
  bool input_open = true;
  while (input_open && !fuse_session_exited(se)) {
    pollfd fds[2] = {{fuse_session_fd(se), POLLIN, 0}, {STDIN_FILENO, POLLIN, 0}};
    if (::poll(fds, 2, -1) < 0) {
      if (errno == EINTR) continue;
      break;
    }
    if (fds[1].revents != 0) {
      char chunk[256];
      const ssize_t n = ::read(STDIN_FILENO, chunk, sizeof chunk);
      if (n <= 0) {
        input_open = false;
      } else {
        input.append(chunk, static_cast<std::size_t>(n));
      }
      if (!input_open || input.find("release\n") != std::string::npos) release(files);
    }
    if (fds[0].revents != 0) {
      const int n = fuse_session_receive_buf(se, &buf);
      if (n == -EINTR || n == -EAGAIN) continue;
      if (n <= 0) break;
      fuse_session_process_buf(se, &buf);
    }
  }
  release(files);
  std::free(buf.mem);
  fuse_session_unmount(se);
  fuse_session_destroy(se);
  return 0;
}
