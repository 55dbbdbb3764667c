// What both request brokers share: how their files are written.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "support.hpp"
#include "zantu/core/clock.hpp"
#include "zantu/core/file_confirm.hpp"
#include "zantu/core/intake.hpp"

namespace zantu::core {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using testing::read_file;
using testing::request_id;

// Files one request of a broker under `root`: "filed" when the request was
// written (a confirmation that then timed out), else the error or outcome.
struct Broker {
  const char* dir;
  std::function<std::string(const fs::path& root)> file;
};

const Broker kBrokers[] = {
    {"intake",
     [](const fs::path& root) {
       PendingIntake intake;
       intake.coordinate = "dev/app/db";
       intake.environment = "dev";
       auto r = IntakeBroker::under_root(root).create(std::move(intake));
       return r ? std::string("filed") : r.error().to_string();
     }},
    {"pending",
     [](const fs::path& root) {
       const ConfirmRequest request("dev/app/db", Sensitivity::High, "dev", Origin::Agent);
       switch (FileConfirmer::under_root(root).confirm(request, 0s)) {
         case ConfirmOutcome::TimedOut: return std::string("filed");
         case ConfirmOutcome::Denied: return std::string("denied");
         case ConfirmOutcome::Approved: break;
       }
       return std::string("approved");
     }},
};

class RequestFileTest : public ::testing::Test {
 protected:
  testing::TempDir tmp_;
  const fs::path& root_ = tmp_.path();
};

// Whatever stands at a temporary name is never opened: a link there, to a
// file or to nowhere, leaves its target as it was, and the request takes the
// next id.
TEST_F(RequestFileTest, ALinkAtTheTemporaryNameIsNeverWrittenThrough) {
  const fs::path outside = root_ / "outside";
  const fs::path nowhere = root_ / "made-through-the-link";
  struct Plant {
    const char* why;
    std::function<void(const fs::path&)> make;
  };
  const Plant plants[] = {
      {"a hard link", [&](const fs::path& p) { fs::create_hard_link(outside, p); }},
      {"a symbolic link", [&](const fs::path& p) { fs::create_symlink(outside, p); }},
      {"a dangling symbolic link", [&](const fs::path& p) { fs::create_symlink(nowhere, p); }},
  };
  for (const auto& broker : kBrokers) {
    for (const auto& plant : plants) {
      SCOPED_TRACE(std::string(broker.dir) + ": " + plant.why);
      const fs::path dir = root_ / "vault" / broker.dir;
      ASSERT_TRUE(fs::create_directories(dir));
      {
        std::ofstream out(outside, std::ios::binary | std::ios::trunc);
        out << "a file of the user's";
      }
      const std::uint64_t t = SystemClock{}.unix_secs();
      for (std::uint64_t s : {t, t + 1}) plant.make(dir / (request_id(s, 0) + ".tmp"));
      EXPECT_EQ(broker.file(root_ / "vault"), "filed");
      EXPECT_EQ(read_file(outside), "a file of the user's");
      EXPECT_EQ(fs::hard_link_count(outside), plant.why == std::string("a hard link") ? 3u : 1u);
      EXPECT_FALSE(fs::exists(nowhere));
      for (std::uint64_t s : {t, t + 1}) EXPECT_TRUE(fs::exists(fs::symlink_status(dir / (request_id(s, 0) + ".tmp"))));
      fs::remove_all(root_ / "vault");
    }
  }
}

// The temporary file is private from its creation: one whose write fails
// halfway (here at a file size limit of 16 bytes), and so is left behind, is
// 0600 even under an empty umask.
TEST_F(RequestFileTest, TheTemporaryFileIsPrivateFromItsCreation) {
  const std::string expected[] = {"vault I/O failed: write intake: File too large (os error 27)", "denied"};
  for (std::size_t i = 0; i < std::size(kBrokers); ++i) {
    const Broker& broker = kBrokers[i];
    SCOPED_TRACE(broker.dir);
    const pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      ::umask(0);
      ::signal(SIGXFSZ, SIG_IGN);
      const struct rlimit limit {16, 16};
      if (::setrlimit(RLIMIT_FSIZE, &limit) != 0) ::_exit(2);
      ::_exit(broker.file(root_) == expected[i] ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    std::vector<fs::path> left;
    for (const auto& e : fs::directory_iterator(root_ / broker.dir)) left.push_back(e.path());
    ASSERT_EQ(left.size(), 1u);
    EXPECT_EQ(left[0].extension(), ".tmp");
    struct stat st {};
    ASSERT_EQ(::stat(left[0].c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0600u);
    EXPECT_EQ(st.st_size, 16);
  }
}

}  // namespace
}  // namespace zantu::core
