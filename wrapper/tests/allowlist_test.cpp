#include "zantu/wrapper/allowlist.hpp"

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>

#include "support.hpp"

namespace zantu::wrapper {
namespace {

using testing::TempDir;
namespace fs = std::filesystem;

std::vector<std::string> sorted(std::vector<std::string> v) {
  std::sort(v.begin(), v.end());
  return v;
}

std::string canonical(const std::string& p) { return fs::canonical(p).string(); }

TEST(AllowlistPaths, ComponentsAreSplitAsDefined) {
  using V = std::vector<std::string_view>;
  struct Case {
    std::string_view path;
    V want;
  };
  const Case cases[] = {
      {"/usr/bin/tool", {"/", "usr", "bin", "tool"}},
      {"/usr//bin/tool/", {"/", "usr", "bin", "tool"}},
      {"/usr/./bin/tool", {"/", "usr", "bin", "tool"}},
      {"/usr/bin/../bin/tool", {"/", "usr", "bin", "..", "bin", "tool"}},
      {"//usr", {"/", "usr"}},
      {"/", {"/"}},
      {"/.", {"/"}},
      {"tool", {"tool"}},
      {"tool/", {"tool"}},
      {"./tool", {".", "tool"}},
      {"././tool", {".", "tool"}},
      {".//tool", {".", "tool"}},
      {"a/./b/.", {"a", "b"}},
      {".", {"."}},
      {"..", {".."}},
      {".hidden/x", {".hidden", "x"}},
      {"", {}},
  };
  for (const auto& c : cases) EXPECT_EQ(allowlist::components(c.path), c.want) << c.path;
}

TEST(Allowlist, EntriesCompareByComponents) {
  // Paths that do not exist stay as written, so only the comparison decides.
  Allowlist list;
  list.allow("/nonexistent-zt/usr/bin/tool");
  list.allow("/nonexistent-zt/usr//bin/tool/");
  list.allow("/nonexistent-zt/usr/./bin/tool");
  EXPECT_EQ(list.size(), 1u);
  EXPECT_TRUE(list.allows("/nonexistent-zt/usr/bin/tool/"));
  EXPECT_FALSE(list.allows("/nonexistent-zt/usr/bin/../bin/tool"));
  EXPECT_FALSE(list.allows("/nonexistent-zt/usr/bin/Tool"));
  EXPECT_FALSE(list.allows("/nonexistent-zt/usr/bin"));

  Allowlist bare;
  bare.allow("zt-unresolvable-tool");
  EXPECT_EQ(bare.entries(), std::vector<std::string>{"zt-unresolvable-tool"});
  EXPECT_TRUE(bare.allows("zt-unresolvable-tool"));
  EXPECT_TRUE(bare.allows("zt-unresolvable-tool/"));
  EXPECT_FALSE(bare.allows("./zt-unresolvable-tool"));
}

TEST(Allowlist, EmptyAllowsNothing) {
  const Allowlist list;
  for (const char* p : {"/usr/bin/env", "", "/", "."}) EXPECT_FALSE(list.allows(p)) << p;
}

TEST(Allowlist, SymlinkedEntryIsStoredResolvedAndMatchesBothPaths) {
  TempDir dir;
  fs::create_directories(dir / "opt/tool/bin");
  fs::create_directories(dir / "local/bin");
  const std::string target = dir / "opt/tool/bin/tool", link = dir / "local/bin/tool";
  testing::write_file(target, "#!/bin/sh\n", fs::perms::owner_all);
  fs::create_symlink(target, link);

  Allowlist list;
  list.allow(link);
  EXPECT_EQ(list.entries(), std::vector<std::string>{canonical(target)});
  EXPECT_TRUE(list.allows(link));
  EXPECT_TRUE(list.allows(target));
  EXPECT_TRUE(list.allows(dir / "local/bin/../../opt/tool/bin/tool"));
  list.allow(target);
  EXPECT_EQ(list.size(), 1u);
  // A NUL byte must not cut the path short and resolve to the entry.
  EXPECT_FALSE(list.allows(target + std::string("\0/extra", 7)));
}

TEST(Allowlist, RelativeEntryResolvesAgainstTheCurrentDirectory) {
  TempDir dir;
  testing::write_file(dir / "tool", "", fs::perms::owner_all);
  const auto old = fs::current_path();
  fs::current_path(dir.path());
  Allowlist list;
  list.allow("./tool");
  const bool by_name = list.allows("tool"), by_abs = list.allows(dir / "tool");
  fs::current_path(old);
  EXPECT_EQ(list.entries(), std::vector<std::string>{canonical(dir / "tool")});
  EXPECT_TRUE(by_name);
  EXPECT_TRUE(by_abs);
}

TEST(AllowlistFile, LinesAreTrimmedAndCommentsSkipped) {
  using V = std::vector<std::string_view>;
  struct Case {
    std::string_view text;
    V want;
  };
  const Case cases[] = {
      {"# tools\n\n  /usr/bin/env  \n/opt/tool\r", {"/usr/bin/env", "/opt/tool"}},
      {"/a\r\n/b\n", {"/a", "/b"}},
      {"/a\n\n\n", {"/a"}},
      {"", {}},
      {"\t# indented comment\n#\n", {}},
      {"/usr/bin/tool # x", {"/usr/bin/tool # x"}},
      {"\xC2\x85/nel\xC2\xA0\n\xE3\x80\x80/ideo\xE2\x80\xA9", {"/nel", "/ideo"}},
      {"\v\f/ctl \xE2\x80\x8A", {"/ctl"}},
      // Not white space: U+200B and the information separators.
      {"\xE2\x80\x8B/zw\n\x1C/sep", {"\xE2\x80\x8B/zw", "\x1C/sep"}},
      {"~/bin/tool\n$HOME/x\n/opt/*", {"~/bin/tool", "$HOME/x", "/opt/*"}},
  };
  for (const auto& c : cases) {
    const auto lines = allowlist::parse_lines(c.text);
    ASSERT_TRUE(lines.has_value()) << c.text;
    EXPECT_EQ(*lines, c.want) << c.text;
  }
  for (std::string_view bad : {"/a\n/b\xff\n", "\xC0\xAF", "/x\xED\xA0\x80"}) {
    EXPECT_FALSE(allowlist::parse_lines(bad).has_value()) << bad;
  }
}

TEST(AllowlistFile, ReadsEntriesInCanonicalForm) {
  TempDir dir;
  fs::create_directories(dir / "real");
  testing::write_file(dir / "real/tool", "", fs::perms::owner_all);
  fs::create_symlink(dir / "real/tool", dir / "linked-tool");
  const std::string file = dir / "allowlist";
  testing::write_file(file,
                      "# tools\n\n  /usr/bin/env  \n" + (dir / "linked-tool") + "\r\n/nonexistent-zt/tool\r\n" +
                          "/usr//bin/env/\n",
                      fs::perms::owner_read | fs::perms::owner_write);
  const Allowlist list = Allowlist::read_file(file);
  EXPECT_EQ(sorted(list.entries()),
            sorted({canonical("/usr/bin/env"), canonical(dir / "real/tool"), "/nonexistent-zt/tool"}));
  EXPECT_TRUE(list.allows(dir / "linked-tool"));
  EXPECT_TRUE(list.allows(dir / "real/tool"));
}

TEST(AllowlistFile, UnreadableFilesGiveAnEmptyList) {
  TempDir dir;
  testing::write_file(dir / "latin1", "/usr/bin/env\n/opt/caf\xe9\n", fs::perms::owner_read);
  struct Case {
    std::string path;
    const char* why;
  };
  const Case cases[] = {
      {dir / "missing", "absent"},
      {dir.path().string(), "a directory"},
      {dir / "latin1", "not UTF-8 (the valid first line is not kept either)"},
      {"/proc/self/mem", "reading fails"},
  };
  for (const auto& c : cases) EXPECT_TRUE(Allowlist::read_file(c.path).empty()) << c.why;

  // Without read permission; root reads it anyway, so only checked otherwise.
  testing::write_file(dir / "locked", "/usr/bin/env\n", fs::perms::none);
  if (::geteuid() != 0) {
    EXPECT_TRUE(Allowlist::read_file(dir / "locked").empty());
  }
}

// A planted file of any size costs a run nothing: past the bound it is no
// list at all, refused by its size before anything is read or resolved.
TEST(AllowlistFile, AFileLargerThanTheBoundGivesAnEmptyList) {
  TempDir dir;
  const std::string entry = "/usr/bin/env\n";
  // Comment lines fill the file up to `len` bytes after the entry.
  auto padded = [&](std::size_t len) {
    std::string text = entry;
    while (text.size() < len) {
      const std::size_t line = std::min<std::size_t>(len - text.size(), 80);
      text += line == 1 ? std::string("\n") : "#" + std::string(line - 2, 'x') + "\n";
    }
    return text;
  };
  struct Case {
    const char* why;
    std::uintmax_t len;
    bool sparse;
    bool read;
  };
  const Case cases[] = {
      {"the bound", Allowlist::kMaxFileLen, false, true},
      {"one byte past the bound", Allowlist::kMaxFileLen + 1, false, false},
      {"a sparse file far past the bound", 3ull << 30, true, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.why);
    const std::string file = dir / "allowlist";
    if (c.sparse) {
      testing::write_file(file, entry, fs::perms::owner_read | fs::perms::owner_write);
      fs::resize_file(file, c.len);
    } else {
      testing::write_file(file, padded(static_cast<std::size_t>(c.len)), fs::perms::owner_read | fs::perms::owner_write);
      ASSERT_EQ(fs::file_size(file), c.len);
    }
    const Allowlist list = Allowlist::read_file(file);
    EXPECT_EQ(list.allows("/usr/bin/env"), c.read);
    EXPECT_EQ(list.size(), c.read ? 1u : 0u);
  }
}

}  // namespace
}  // namespace zantu::wrapper
