#include "zantu/core/file_read.hpp"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <functional>
#include <optional>
#include <string>

#include "support.hpp"

namespace zantu::core {
namespace {

namespace fs = std::filesystem;
using testing::TempDir;
using testing::write_file;

constexpr std::size_t kBound = 1024;

std::string text_of(const std::vector<std::uint8_t>& bytes) { return {bytes.begin(), bytes.end()}; }

// Whatever a planted file is, the read ends at once with its content, whole,
// or with a failure; it never blocks and never reads past the bound.
TEST(ReadWholeFile, WhatStandsAtThePath) {
  TempDir dir;
  write_file(dir / "target", "linked");
  struct Case {
    const char* why;
    std::function<void(const fs::path&)> plant;
    FileLinks links;
    std::optional<std::string> content;  // none: a failure of `kind`
    FileReadFailureKind kind = FileReadFailureKind::Os;
    int errnum = 0;
  };
  const Case cases[] = {
      {"a regular file", [](const fs::path& p) { write_file(p, "abc\n"); }, FileLinks::Refuse, "abc\n"},
      {"an empty file", [](const fs::path& p) { write_file(p, ""); }, FileLinks::Refuse, ""},
      {"exactly the bound", [](const fs::path& p) { write_file(p, std::string(kBound, 'x')); }, FileLinks::Refuse,
       std::string(kBound, 'x')},
      {"one byte past the bound", [](const fs::path& p) { write_file(p, std::string(kBound + 1, 'x')); },
       FileLinks::Refuse, std::nullopt, FileReadFailureKind::TooLarge},
      {"a sparse file far past the bound", [](const fs::path& p) { testing::make_sparse(p, 3ull << 30); },
       FileLinks::Refuse, std::nullopt, FileReadFailureKind::TooLarge},
      {"nothing", [](const fs::path&) {}, FileLinks::Refuse, std::nullopt, FileReadFailureKind::Os, ENOENT},
      {"a directory", [](const fs::path& p) { fs::create_directory(p); }, FileLinks::Refuse, std::nullopt,
       FileReadFailureKind::Os, EISDIR},
      {"a FIFO", [](const fs::path& p) { ASSERT_EQ(::mkfifo(p.c_str(), 0600), 0); }, FileLinks::Refuse,
       std::nullopt, FileReadFailureKind::NotRegular},
      {"a socket",
       [](const fs::path& p) {
         const int s = ::socket(AF_UNIX, SOCK_STREAM, 0);
         sockaddr_un addr{};
         addr.sun_family = AF_UNIX;
         std::strncpy(addr.sun_path, p.c_str(), sizeof addr.sun_path - 1);
         ASSERT_EQ(::bind(s, reinterpret_cast<const sockaddr*>(&addr), sizeof addr), 0);
         ::close(s);
       },
       FileLinks::Follow, std::nullopt, FileReadFailureKind::NotRegular},
      {"a link to an endless device", [](const fs::path& p) { fs::create_symlink("/dev/zero", p); },
       FileLinks::Follow, std::nullopt, FileReadFailureKind::NotRegular},
      {"a link, followed", [&](const fs::path& p) { fs::create_symlink(dir / "target", p); }, FileLinks::Follow,
       "linked"},
      {"a link, refused", [&](const fs::path& p) { fs::create_symlink(dir / "target", p); }, FileLinks::Refuse,
       std::nullopt, FileReadFailureKind::Os, ELOOP},
  };
  int n = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.why);
    const fs::path path = dir / ("f" + std::to_string(n++));
    c.plant(path);
    const auto got = read_whole_file(path, kBound, c.links);
    if (c.content) {
      ASSERT_TRUE(got) << got.error().to_string();
      EXPECT_EQ(text_of(*got), *c.content);
      continue;
    }
    ASSERT_FALSE(got);
    EXPECT_EQ(got.error().kind, c.kind);
    if (c.kind == FileReadFailureKind::Os) {
      EXPECT_EQ(got.error().errnum, c.errnum);
    }
    EXPECT_EQ(got.error().absent(), c.errnum == ENOENT);
  }
}

// A file whose size says nothing of what it yields (the kernel's own files
// say 0) is read only to one byte past the bound, however much it has.
TEST(ReadWholeFile, AFileLongerThanItsSizeStopsAtTheBound) {
  struct stat st {};
  ASSERT_EQ(::stat("/proc/self/maps", &st), 0);
  ASSERT_EQ(st.st_size, 0);
  const auto whole = read_whole_file("/proc/self/maps", 1 << 20, FileLinks::Follow);
  ASSERT_TRUE(whole) << whole.error().to_string();
  ASSERT_GT(whole->size(), 16u);
  const auto bounded = read_whole_file("/proc/self/maps", 16, FileLinks::Follow);
  ASSERT_FALSE(bounded);
  EXPECT_EQ(bounded.error().kind, FileReadFailureKind::TooLarge);
}

TEST(ReadWholeFile, RelativeToADirectoryAndNeverPastANul) {
  TempDir dir;
  write_file(dir / "a", "in the directory");
  const int dir_fd = ::open(dir.path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  ASSERT_GE(dir_fd, 0);
  const auto got = read_whole_file(dir_fd, "a", kBound, FileLinks::Refuse);
  ::close(dir_fd);
  ASSERT_TRUE(got);
  EXPECT_EQ(text_of(*got), "in the directory");

  // Cut at the NUL, the path would name the file "a".
  const auto cut =
      read_whole_file(fs::path((dir.path() / "a").native() + std::string("\0b", 2)), kBound, FileLinks::Follow);
  ASSERT_FALSE(cut);
  EXPECT_EQ(cut.error().errnum, EINVAL);
}

TEST(ReadWholeFile, FailureTexts) {
  EXPECT_EQ((FileReadFailure{FileReadFailureKind::NotRegular}).to_string(), "not a regular file");
  EXPECT_EQ((FileReadFailure{FileReadFailureKind::TooLarge, 0, 4096}).to_string(),
            "file is larger than 4096 bytes");
  EXPECT_EQ((FileReadFailure{FileReadFailureKind::Os, ENOENT}).to_string(), "No such file or directory (os error 2)");
}

}  // namespace
}  // namespace zantu::core
