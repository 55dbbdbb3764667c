#include "zantu/core/intake.hpp"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <map>
#include <regex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "support.hpp"
#include "zantu/core/clock.hpp"
#include "zantu/core/json.hpp"
#include "zantu/core/store.hpp"

namespace zantu::core {
namespace {

namespace fs = std::filesystem;
using testing::read_file;
using testing::request_id;
using testing::write_file;

// What a filer builds before handing the record over.
PendingIntake bare(std::string coordinate = "dev/app/db") {
  return PendingIntake{.id = "",
                       .created_unix = 0,
                       .coordinate = std::move(coordinate),
                       .sensitivity = Sensitivity::High,
                       .environment = "dev",
                       .origin = Origin::Agent,
                       .requesting_process = std::nullopt,
                       .description = std::nullopt,
                       .project = std::nullopt};
}

// The string fields "id" and "description" of an intake file.
std::pair<std::string, std::optional<std::string>> id_and_description(const std::string& text) {
  json::Reader r(text);
  std::pair<std::string, std::optional<std::string>> out;
  EXPECT_TRUE(r.begin_object().has_value()) << text;
  std::string key;
  while (r.next_key(key).value_or(false)) {
    if (key == "id") {
      out.first = r.read_string().value_or("?");
    } else if (key == "description" && r.peek().value_or(json::Kind::Null) == json::Kind::String) {
      out.second = r.read_string().value_or("?");
    } else {
      EXPECT_TRUE(r.skip_value().has_value()) << text;
    }
  }
  EXPECT_TRUE(r.finish().has_value()) << text;
  return out;
}

class IntakeTest : public ::testing::Test {
 protected:
  fs::path intake() const { return root_ / "intake"; }
  std::vector<std::string> intake_names() const { return testing::names_in(intake()); }

  testing::TempDir tmp_;
  const fs::path& root_ = tmp_.path();
};

TEST_F(IntakeTest, FileHoldsTheExactJsonWithNullForAbsentFields) {
  struct Case {
    const char* why;
    PendingIntake intake;
    std::string tail;  // the text after "created_unix":<n>
  };
  Case cases[] = {
      {"every optional field absent", bare(),
       R"(,"coordinate":"dev/app/db","sensitivity":"high","environment":"dev","origin":"agent",)"
       R"("requesting_process":null,"description":null,"project":null})"},
      {"an empty project is absent", bare().with_project(std::string()),
       R"(,"coordinate":"dev/app/db","sensitivity":"high","environment":"dev","origin":"agent",)"
       R"("requesting_process":null,"description":null,"project":null})"},
      {"every field present, escaped",
       bare("secret:dev/app/\"db\"")
           .with_project(std::string(" "))
           .with_description("line one\nline two\t\x1f \\")
           .with_requesting_process("old")
           .with_requesting_process("mcp client"),
       R"(,"coordinate":"secret:dev/app/\"db\"","sensitivity":"high","environment":"dev","origin":"agent",)"
       R"("requesting_process":"mcp client","description":"line one\nline two\t\u001f \\","project":" "})"},
  };
  const std::regex id_form("([0-9]+)-" + std::to_string(::getpid()) + "-0");
  for (auto& c : cases) {
    SCOPED_TRACE(c.why);
    c.intake.id = "caller's own";
    c.intake.created_unix = 99;
    const std::uint64_t before = SystemClock{}.unix_secs();
    const mode_t old = ::umask(0);
    auto filed = IntakeBroker::under_root(root_).create(std::move(c.intake));
    ::umask(old);
    const std::uint64_t after = SystemClock{}.unix_secs();
    ASSERT_TRUE(filed.has_value()) << filed.error().to_string();

    std::smatch m;
    ASSERT_TRUE(std::regex_match(filed->id, m, id_form)) << filed->id;
    const std::uint64_t secs = std::stoull(m[1]);
    EXPECT_GE(secs, before);
    EXPECT_LE(filed->created_unix, after);
    EXPECT_TRUE(filed->created_unix == secs || filed->created_unix == secs + 1);

    const fs::path file = intake() / (filed->id + ".json");
    EXPECT_EQ(read_file(file), "{\"id\":\"" + filed->id + "\",\"created_unix\":" +
                                   std::to_string(filed->created_unix) + c.tail);
    EXPECT_EQ(filed->to_json(), read_file(file));
    struct stat st {};
    ASSERT_EQ(::stat(file.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0600u);
    ASSERT_EQ(::stat(intake().c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0700u);
    fs::remove(file);
    EXPECT_TRUE(intake_names().empty());  // no temporary file left
  }
}

TEST_F(IntakeTest, TwoRequestsFromFreshBrokersGetTwoFiles) {
  const std::uint64_t before = SystemClock{}.unix_secs();
  auto first = IntakeBroker::under_root(root_).create(bare().with_description("first"));
  auto second = IntakeBroker::under_root(root_).create(bare().with_description("second"));
  const std::uint64_t after = SystemClock{}.unix_secs();
  ASSERT_TRUE(first.has_value());
  ASSERT_TRUE(second.has_value());
  EXPECT_NE(first->id, second->id);
  EXPECT_EQ(first->id.substr(first->id.size() - 2), "-0");
  if (before == after) {
    EXPECT_EQ(second->id, request_id(before, 1));
  }
  EXPECT_EQ(intake_names().size(), 2u);
  for (const auto& [filed, description] : {std::pair{&*first, "first"}, std::pair{&*second, "second"}}) {
    const auto [id, desc] = id_and_description(read_file(intake() / (filed->id + ".json")));
    EXPECT_EQ(id, filed->id);
    EXPECT_EQ(desc, description);
  }
}

// An existing request file, or another writer's temporary file, of the id
// the request would take is left alone; the request takes the next id.
TEST_F(IntakeTest, ATakenNameIsNeverReplaced) {
  for (const char* taken : {".json", ".tmp"}) {
    SCOPED_TRACE(taken);
    ASSERT_TRUE(fs::create_directory(intake()));
    const std::uint64_t t = SystemClock{}.unix_secs();
    for (std::uint64_t s : {t, t + 1}) write_file(intake() / (request_id(s, 0) + taken), "first request");
    auto filed = IntakeBroker::under_root(root_).create(bare());
    ASSERT_TRUE(filed.has_value()) << filed.error().to_string();
    EXPECT_TRUE(filed->id == request_id(t, 1) || filed->id == request_id(t + 1, 1)) << filed->id;
    for (std::uint64_t s : {t, t + 1}) EXPECT_EQ(read_file(intake() / (request_id(s, 0) + taken)), "first request");
    EXPECT_EQ(id_and_description(read_file(intake() / (filed->id + ".json"))).first, filed->id);
    EXPECT_EQ(intake_names().size(), 3u);
    fs::remove_all(intake());
  }
}

// Threads that each build their own broker collide on every id; each
// request still ends in a file of its own, under the id it was given.
TEST_F(IntakeTest, ConcurrentFilersKeepEveryRequest) {
  constexpr int kThreads = 8;
  constexpr int kEach = 15;
  std::vector<std::vector<PendingIntake>> filed(kThreads);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < kEach; ++i) {
        auto r = IntakeBroker::under_root(root_).create(
            bare().with_description("thread " + std::to_string(t) + " request " + std::to_string(i)));
        if (r) filed[t].push_back(std::move(*r));
      }
    });
  }
  for (auto& th : threads) th.join();

  std::map<std::string, std::string> expected;  // id -> description
  for (const auto& list : filed) {
    EXPECT_EQ(list.size(), static_cast<std::size_t>(kEach));
    for (const auto& r : list) EXPECT_TRUE(expected.emplace(r.id, *r.description).second) << r.id;
  }
  ASSERT_EQ(expected.size(), static_cast<std::size_t>(kThreads * kEach));
  EXPECT_EQ(intake_names().size(), expected.size());
  for (const auto& [id, description] : expected) {
    const auto [file_id, file_desc] = id_and_description(read_file(intake() / (id + ".json")));
    EXPECT_EQ(file_id, id);
    EXPECT_EQ(file_desc, description);
  }
}

TEST_F(IntakeTest, Failures) {
  // A regular file where the root should be: the directory cannot be made.
  write_file(root_ / "file-root", "x");
  auto no_dir = IntakeBroker::under_root(root_ / "file-root").create(bare());
  ASSERT_FALSE(no_dir.has_value());
  EXPECT_EQ(no_dir.error(), store::ensure_dir(root_ / "file-root" / "intake").error());

  // A regular file named "intake": the directory step passes, the write cannot.
  write_file(intake(), "x");
  auto no_write = IntakeBroker::under_root(root_).create(bare());
  ASSERT_FALSE(no_write.has_value());
  EXPECT_EQ(no_write.error().to_string(), "vault I/O failed: write intake: Not a directory (os error 20)");
  EXPECT_EQ(read_file(intake()), "x");
}

}  // namespace
}  // namespace zantu::core
