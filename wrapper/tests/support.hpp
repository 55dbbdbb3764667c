// Helpers of the wrapper tests: the core tests' (core/tests/support.hpp), and
// what only the wrapper's need.
#pragma once

#include <filesystem>

#include "core/tests/support.hpp"

namespace zantu::wrapper::testing {

using namespace core::testing;

// Makes `dir` this process's working directory for the scope.
class ScopedCwd {
 public:
  explicit ScopedCwd(const std::filesystem::path& dir) : old_(std::filesystem::current_path()) {
    std::filesystem::current_path(dir);
  }
  ScopedCwd(const ScopedCwd&) = delete;
  ScopedCwd& operator=(const ScopedCwd&) = delete;
  ~ScopedCwd() {
    std::error_code ec;
    std::filesystem::current_path(old_, ec);
  }

 private:
  std::filesystem::path old_;
};

}  // namespace zantu::wrapper::testing
