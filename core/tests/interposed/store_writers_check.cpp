// Writers of one record at the steps where they can collide. This binary
// replaces rename(3) with one that can stop the calling process just before a
// record file is renamed into place, and libsodium's randombytes_buf with one
// that can hand out zeros, so the name of a writer's next file is known.
#include <dlfcn.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <deque>
#include <functional>
#include <filesystem>
#include <fstream>
#include <string>
#include <string_view>
#include <vector>

#include "../forked_child.hpp"
#include "../support.hpp"
#include "zantu/core/store.hpp"

namespace {
// Set in a forked writer: its next rename onto a record file stops it first.
bool stop_before_renaming_into_place = false;
// The next draws of random bytes, in order: true gives zeros, false real
// random bytes; once they are used up, every draw is real.
std::deque<bool> zero_draws;
}  // namespace

extern "C" int rename(const char* from, const char* to) noexcept {
  if (stop_before_renaming_into_place && std::string_view(to).ends_with(".sec")) {
    stop_before_renaming_into_place = false;
    ::raise(SIGSTOP);
  }
  return ::renameat(AT_FDCWD, from, AT_FDCWD, to);
}

extern "C" void randombytes_buf(void* const buf, const size_t size) {
  const bool zeros = !zero_draws.empty() && zero_draws.front();
  if (!zero_draws.empty()) zero_draws.pop_front();
  if (zeros) {
    std::memset(buf, 0, size);
    return;
  }
  using Draw = void (*)(void*, size_t);
  static const Draw real = reinterpret_cast<Draw>(::dlsym(RTLD_NEXT, "randombytes_buf"));
  real(buf, size);
}

namespace zantu::core {
namespace {

namespace fs = std::filesystem;
using testing::literal;

bool is_lower_hex(std::string_view s) {
  return std::all_of(s.begin(), s.end(), [](char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'); });
}

class StoreWriters : public ::testing::Test {
 protected:
  void SetUp() override { id_ = db_.storage_id().value(); }
  void TearDown() override {
    for (auto& w : writers_) {
      if (w.pid > 0) {
        ::kill(w.pid, SIGKILL);
        (void)forked::join(w);
      }
    }
  }

  // Starts a process that writes `value`; with `stop`, it stops just before
  // renaming its file into place, and the call returns once it has.
  forked::Child& start_writer(const std::string& value, bool stop) {
    writers_.push_back(forked::start([this, value, stop] {
      stop_before_renaming_into_place = stop;
      auto written = store::write_record(root_, db_, crypto::seal(literal(value), key_).value());
      return written ? std::string("<ok>") : written.error().to_string();
    }));
    forked::Child& w = writers_.back();
    EXPECT_GT(w.pid, 0);
    if (stop) {
      EXPECT_TRUE(forked::wait_stopped(w.pid)) << "the writer of " << value << " did not stop";
    }
    return w;
  }

  std::string finish(forked::Child& w) {
    ::kill(w.pid, SIGCONT);
    return forked::join(w);
  }

  std::string value_in(const fs::path& file) { return testing::literal_value_in(file, key_); }

  fs::path file() const { return root_ / (id_ + ".sec"); }

  // The names in the vault that have the form of the store's temporary files.
  std::vector<fs::path> temporaries() const {
    std::vector<fs::path> found;
    for (const auto& e : fs::directory_iterator(root_)) {
      const std::string name = e.path().filename().string();
      const std::string prefix = id_ + ".sec.";
      if (name.size() == prefix.size() + 32 + 4 && name.starts_with(prefix) && name.ends_with(".tmp") &&
          is_lower_hex(std::string_view(name).substr(prefix.size(), 32))) {
        found.push_back(e.path());
      }
    }
    return found;
  }

  // Lists the vault, expecting the one record and nothing quarantined.
  void expect_listed(std::string_view value) {
    auto all = store::load_all(root_, key_);
    ASSERT_TRUE(all.has_value()) << all.error().to_string();
    ASSERT_EQ(all->records.size(), 1u);
    EXPECT_EQ(all->records[0].first, id_);
    EXPECT_EQ(std::get<SecretRecord::Literal>(all->records[0].second.mode).value.view(), value);
    EXPECT_TRUE(all->quarantined.empty());
  }

  static void age(const fs::path& p, std::time_t seconds) {
    const timespec times[2] = {{std::time(nullptr) - seconds, 0}, {std::time(nullptr) - seconds, 0}};
    ASSERT_EQ(::utimensat(AT_FDCWD, p.c_str(), times, AT_SYMLINK_NOFOLLOW), 0) << p;
  }

  testing::TempDir tmp_;
  const fs::path& root_ = tmp_.path();
  MasterKey key_ = testing::test_key(3);
  Coordinate db_ = Coordinate::from_str("secret:dev/app/db").value();
  std::string id_;
  std::deque<forked::Child> writers_;  // a deque: references to its elements stay valid
};

// A writer stops with its new file written, another writer stops the same
// way, the first goes on and the second is killed: the value of the write
// that succeeded is the record, the killed writer's value never goes live,
// and its file is ignored until it is an hour old, then swept by a listing.
TEST_F(StoreWriters, AKilledWriterNeverGoesLiveAndItsFileIsSweptAfterAnHour) {
  ASSERT_EQ(forked::join(start_writer("v0", false)), "<ok>");
  forked::Child& survivor = start_writer("from the survivor", true);
  forked::Child& killed = start_writer("from the killed writer", true);
  EXPECT_EQ(finish(survivor), "<ok>");
  ASSERT_EQ(::kill(killed.pid, SIGKILL), 0);
  EXPECT_EQ(forked::join(killed), " [signal 9]");

  EXPECT_EQ(value_in(file()), "from the survivor");
  EXPECT_EQ(value_in(file().string() + ".bak"), "v0");
  const auto left = temporaries();
  ASSERT_EQ(left.size(), 1u);
  EXPECT_EQ(value_in(left[0]), "from the killed writer");

  // Young: left alone, and never read as a record.
  expect_listed("from the survivor");
  EXPECT_TRUE(fs::exists(left[0]));
  age(left[0], 59 * 60);
  expect_listed("from the survivor");
  EXPECT_TRUE(fs::exists(left[0]));
  // Older than an hour: removed by the next listing.
  age(left[0], 61 * 60);
  expect_listed("from the survivor");
  EXPECT_FALSE(fs::exists(fs::symlink_status(left[0])));
  EXPECT_EQ(value_in(file()), "from the survivor");
}

// Two writers stop just before their renames and go on one after the
// other: both succeed, and each rename in turn makes its value the record.
TEST_F(StoreWriters, EveryWriteSucceedsAndTheLastRenameWins) {
  ASSERT_EQ(forked::join(start_writer("v0", false)), "<ok>");
  forked::Child& first = start_writer("first", true);
  forked::Child& second = start_writer("second", true);
  EXPECT_EQ(finish(first), "<ok>");
  EXPECT_EQ(value_in(file()), "first");
  EXPECT_EQ(finish(second), "<ok>");
  EXPECT_EQ(value_in(file()), "second");
  EXPECT_EQ(value_in(file().string() + ".bak"), "v0");
  EXPECT_TRUE(temporaries().empty());
  expect_listed("second");
}

// A writer stopped for more than an hour finds its file swept: its write
// fails, its value never goes live, and it leaves nothing behind.
TEST_F(StoreWriters, AWriterStoppedForMoreThanAnHourFailsCleanly) {
  ASSERT_EQ(forked::join(start_writer("v0", false)), "<ok>");
  forked::Child& late = start_writer("late", true);
  const auto left = temporaries();
  ASSERT_EQ(left.size(), 1u);
  age(left[0], 2 * 60 * 60);
  expect_listed("v0");
  EXPECT_FALSE(fs::exists(fs::symlink_status(left[0])));

  EXPECT_EQ(finish(late), "vault I/O failed: rename into place: No such file or directory (os error 2)");
  EXPECT_EQ(value_in(file()), "v0");
  EXPECT_TRUE(temporaries().empty());
  expect_listed("v0");
}

// What stands at the name a writer draws for its file, or for the second name
// of the current file that becomes the backup: the writer draws again, and
// the thing planted there is neither opened, written through nor removed.
TEST_F(StoreWriters, SomethingPlantedAtADrawnName) {
  const fs::path outside = root_ / "outside";
  const fs::path taken = file().string() + "." + std::string(32, '0') + ".tmp";
  struct Case {
    const char* what;
    std::function<void(const fs::path&)> make;
  };
  const Case cases[] = {
      {"hard link to a file outside", [&](const fs::path& p) { fs::create_hard_link(outside, p); }},
      {"hard link to the live record", [&](const fs::path& p) { fs::create_hard_link(file(), p); }},
      {"symlink to a file outside", [&](const fs::path& p) { fs::create_symlink(outside, p); }},
      {"dangling symlink", [&](const fs::path& p) { fs::create_symlink(root_ / "none", p); }},
      {"FIFO", [](const fs::path& p) { ASSERT_EQ(::mkfifo(p.c_str(), 0600), 0); }},
      {"directory", [](const fs::path& p) { fs::create_directory(p); }},
  };
  // Which draw meets the planted name: the new file's, the backup link's.
  const std::deque<bool> draws[] = {{true}, {false, true}};
  for (const auto& c : cases) {
    for (const auto& d : draws) {
      SCOPED_TRACE(std::string(c.what) + (d.front() ? ", the new file's name" : ", the backup's name"));
      { std::ofstream(outside, std::ios::binary) << "a file of the user's"; }
      ASSERT_EQ(forked::join(start_writer("v1", false)), "<ok>");
      c.make(taken);
      const auto planted = fs::symlink_status(taken).type();
      auto sealed = crypto::seal(literal("v2"), key_).value();
      zero_draws = d;
      auto written = store::write_record(root_, db_, sealed);
      zero_draws.clear();
      EXPECT_TRUE(written.has_value()) << written.error().to_string();
      EXPECT_EQ(value_in(file()), "v2");
      EXPECT_EQ(value_in(file().string() + ".bak"), "v1");
      EXPECT_EQ(fs::symlink_status(taken).type(), planted);
      EXPECT_EQ(temporaries(), std::vector<fs::path>{taken});
      EXPECT_EQ(testing::read_file(outside), "a file of the user's");
      fs::remove_all(root_);
      fs::create_directory(root_);
    }
  }

  // Every draw meets it: the write fails, changing nothing.
  ASSERT_EQ(forked::join(start_writer("v1", false)), "<ok>");
  fs::create_directory(taken);
  auto sealed = crypto::seal(literal("v2"), key_).value();
  zero_draws.assign(64, true);
  auto written = store::write_record(root_, db_, sealed);
  zero_draws.clear();
  EXPECT_EQ(written ? std::string("<ok>") : written.error().to_string(),
            "vault I/O failed: create tmp: File exists (os error 17)");
  EXPECT_EQ(value_in(file()), "v1");
  EXPECT_EQ(temporaries(), std::vector<fs::path>{taken});
}

}  // namespace
}  // namespace zantu::core
