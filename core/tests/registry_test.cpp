#include "zantu/core/registry.hpp"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <string>

#include "support.hpp"
#include "zantu/core/store.hpp"

namespace zantu::core {
namespace {

namespace fs = std::filesystem;
using testing::coord;
using testing::put_record;
using testing::record_meta;
using testing::ScopedEnv;
using testing::TempDir;
using testing::test_key;

unsigned mode_of(const fs::path& p) {
  struct stat st {};
  EXPECT_EQ(::lstat(p.c_str(), &st), 0) << p;
  return st.st_mode & 07777;
}

TEST(Registry, DefaultRootFollowsHome) {
  struct Case {
    const char* home;  // nullptr: unset
    const char* root;  // nullptr: refused
  };
  const Case cases[] = {
      {"/home/u", "/home/u/.vaults"},
      {"/home/u/", "/home/u/.vaults"},
      {"", ".vaults"},
      {"/home/\xff\xfe", "/home/\xff\xfe/.vaults"},  // raw bytes, not required to be UTF-8
      {nullptr, nullptr},
  };
  for (const auto& c : cases) {
    ScopedEnv home("HOME", c.home);
    auto root = Registry::default_root();
    if (c.root == nullptr) {
      ASSERT_FALSE(root.has_value());
      EXPECT_EQ(root.error().to_string(), "vault I/O failed: no home directory ($HOME) set");
    } else {
      ASSERT_TRUE(root.has_value()) << c.home;
      EXPECT_EQ(root->native(), c.root);
    }
  }
}

TEST(Registry, OpenCreatesTheTwoVaultDirectoriesPrivateOnce) {
  TempDir tmp;
  const fs::path root = tmp.path() / "a" / "root";
  auto registry = Registry::open(root);
  ASSERT_TRUE(registry.has_value()) << registry.error().to_string();
  EXPECT_EQ(registry->root(), root);
  EXPECT_EQ(registry->global_dir(), root / "global");
  EXPECT_EQ(registry->projects_root(), root / "projects");
  EXPECT_EQ(registry->project_dir("web"), root / "projects" / "web");
  EXPECT_EQ(mode_of(root / "global"), 0700u);
  EXPECT_EQ(mode_of(root / "projects"), 0700u);
  // The root itself keeps its creation mode (the umask decides); only the two
  // vault directories are restricted.
  const mode_t umask_now = ::umask(0);
  ::umask(umask_now);
  EXPECT_EQ(mode_of(root), 0777u & ~umask_now);

  // An existing directory is never changed.
  ASSERT_EQ(::chmod((root / "global").c_str(), 0755), 0);
  ASSERT_EQ(::chmod((root / "projects").c_str(), 0750), 0);
  ASSERT_TRUE(Registry::open(root).has_value());
  EXPECT_EQ(mode_of(root / "global"), 0755u);
  EXPECT_EQ(mode_of(root / "projects"), 0750u);
}

TEST(Registry, OpenUnderAFileFailsWithTheCreateStep) {
  TempDir tmp;
  const fs::path file = tmp.path() / "file";
  std::ofstream(file) << "x";
  auto registry = Registry::open(file);
  ASSERT_FALSE(registry.has_value());
  EXPECT_EQ(registry.error().to_string(),
            "vault I/O failed: create \"" + (file / "global").string() + "\": Not a directory (os error 20)");
}

TEST(Registry, ProjectNameIsAppendedAsText) {
  TempDir tmp;
  auto registry = Registry::open(tmp.path());
  ASSERT_TRUE(registry.has_value());
  // An absolute name stays under the projects directory.
  EXPECT_EQ(registry->project_dir("/etc").native(), (tmp.path() / "projects").native() + "//etc");
}

TEST(Registry, ListProjectsKeepsOnlyDirectoriesInByteOrder) {
  TempDir tmp;
  auto registry = Registry::open(tmp.path());
  ASSERT_TRUE(registry.has_value());
  const fs::path projects = registry->projects_root();
  EXPECT_EQ(registry->list_projects().value(), std::vector<std::string>{});

  for (const char* name : {"beta", "Alpha", "alpha", "ab", "B", "\xff\xfe"}) fs::create_directory(projects / name);
  std::ofstream(projects / "gamma") << "not a vault";
  fs::create_directory(tmp.path() / "elsewhere");
  fs::create_directory_symlink(tmp.path() / "elsewhere", projects / "delta");
  auto names = registry->list_projects();
  ASSERT_TRUE(names.has_value()) << names.error().to_string();
  EXPECT_EQ(*names, (std::vector<std::string>{"Alpha", "B", "ab", "alpha", "beta"}));
}

TEST(Registry, ListProjectsTellsAbsentFromUnreadable) {
  struct Case {
    const char* what;
    void (*arrange)(const fs::path& root);
    const char* error;  // nullptr: an empty list
  };
  const Case cases[] = {
      {"projects missing", [](const fs::path& root) { fs::remove(root / "projects"); }, nullptr},
      {"root replaced by a file",
       [](const fs::path& root) {
         fs::remove_all(root);
         std::ofstream(root) << "x";
       },
       nullptr},
      {"projects is a file",
       [](const fs::path& root) {
         fs::remove(root / "projects");
         std::ofstream(root / "projects") << "x";
       },
       "vault I/O failed: read_dir: Not a directory (os error 20)"},
      {"projects is a symbolic link loop",
       [](const fs::path& root) {
         fs::remove(root / "projects");
         fs::create_symlink(root / "projects", root / "projects");
       },
       "vault I/O failed: read_dir: Too many levels of symbolic links (os error 40)"},
  };
  for (const auto& c : cases) {
    TempDir tmp;
    const fs::path root = tmp.path() / "root";
    auto registry = Registry::open(root);
    ASSERT_TRUE(registry.has_value());
    c.arrange(root);
    auto names = registry->list_projects();
    if (c.error == nullptr) {
      ASSERT_TRUE(names.has_value()) << c.what << ": " << names.error().to_string();
      EXPECT_TRUE(names->empty()) << c.what;
    } else {
      ASSERT_FALSE(names.has_value()) << c.what;
      EXPECT_EQ(names.error().kind(), CoreErrorKind::Io) << c.what;
      EXPECT_EQ(names.error().to_string(), c.error) << c.what;
    }
  }
}

// Writes a literal record holding `value` for `coordinate` into `dir`.
void put(const fs::path& dir, std::string_view coordinate, std::string_view value,
         const MasterKey& key = test_key()) {
  const Coordinate c = coord(coordinate);
  put_record(dir, c, SecretRecord::Literal{SecretValue::from(value), record_meta(c, Sensitivity::Low)}, key);
}

// "global:<value>", "project:<name>:<value>", "none" or the error text.
std::string lookup(const Registry& registry, std::string_view coordinate, std::optional<std::string_view> project) {
  auto found = registry.resolve_with_key(coord(coordinate), project, test_key());
  if (!found) return found.error().to_string();
  if (!*found) return "none";
  const auto& [origin, record] = **found;
  const auto* literal = std::get_if<SecretRecord::Literal>(&record.mode);
  const std::string value = literal ? std::string(literal->value.view()) : "?";
  return origin.is_global() ? "global:" + value : "project:" + std::string(origin.project()) + ":" + value;
}

TEST(Registry, ResolveLooksInTheProjectThenTheGlobalVault) {
  TempDir tmp;
  auto opened = Registry::open(tmp.path());
  ASSERT_TRUE(opened.has_value());
  const Registry& registry = *opened;
  ASSERT_NO_FATAL_FAILURE(put(registry.project_dir("web"), "secret:dev/app/db", "in-web"));
  ASSERT_NO_FATAL_FAILURE(put(registry.global_dir(), "secret:dev/app/db", "in-global"));
  ASSERT_NO_FATAL_FAILURE(put(registry.global_dir(), "secret:dev/app/only-global", "g"));
  ASSERT_NO_FATAL_FAILURE(put(registry.project_dir("web"), "secret:dev/app/only-web", "w"));

  struct Case {
    const char* coordinate;
    std::optional<std::string_view> project;
    const char* want;
  };
  const Case cases[] = {
      {"secret:dev/app/db", "web", "project:web:in-web"},  // the project hides the global record
      {"secret:dev/app/only-global", "web", "global:g"},
      {"secret:dev/app/missing", "web", "none"},
      {"secret://global/dev/app/db", "web", "global:in-global"},  // the selector skips the project
      {"secret://global/dev/app/only-web", "web", "none"},
      {"secret:dev/app/db", std::nullopt, "global:in-global"},  // no project: global alone
      {"secret:dev/app/only-web", std::nullopt, "none"},
      {"secret:dev/app/db", "mobile", "global:in-global"},  // a project without a vault is empty
      {"secret:${ENV}/app/db", "web",
       "coordinate is not storable: coordinate has an unresolved `${ENV}` placeholder"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(lookup(registry, c.coordinate, c.project), c.want)
        << c.coordinate << " / " << c.project.value_or("(none)");
  }
}

TEST(Registry, BadRecordInTheProjectVaultDoesNotFallThrough) {
  struct Case {
    const char* what;
    void (*spoil)(const fs::path& dir, const fs::path& file);
    const char* error;
  };
  const Case cases[] = {
      {"sealed under another key",
       [](const fs::path& dir, const fs::path&) { put(dir, "secret:dev/app/db", "in-web", test_key(0x43)); },
       "crypto operation failed"},
      {"not a record file", [](const fs::path&, const fs::path& file) { std::ofstream(file) << "garbage"; },
       "record serialization failed: not a zantu record frame"},
      {"a directory in its place",
       [](const fs::path&, const fs::path& file) {
         fs::remove(file);
         fs::create_directory(file);
       },
       "vault I/O failed: read record: Is a directory (os error 21)"},
  };
  for (const auto& c : cases) {
    TempDir tmp;
    auto opened = Registry::open(tmp.path());
    ASSERT_TRUE(opened.has_value());
    ASSERT_NO_FATAL_FAILURE(put(opened->global_dir(), "secret:dev/app/db", "in-global"));
    const fs::path web = opened->project_dir("web");
    ASSERT_NO_FATAL_FAILURE(put(web, "secret:dev/app/db", "in-web"));
    c.spoil(web, store::record_path(web, coord("secret:dev/app/db")).value());
    EXPECT_EQ(lookup(*opened, "secret:dev/app/db", "web"), c.error) << c.what;
    EXPECT_EQ(lookup(*opened, "secret:dev/app/db", std::nullopt), "global:in-global") << c.what;
  }
}

}  // namespace
}  // namespace zantu::core
