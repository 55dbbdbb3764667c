#include "zantu/core/env_source.hpp"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

namespace zantu::core {
namespace {

// Sets real process environment variables for one test and removes them after.
class SystemEnvSourceTest : public testing::Test {
 protected:
  void set(const std::string& name, const std::string& value) {
    ASSERT_EQ(setenv(name.c_str(), value.c_str(), 1), 0) << name;
    names_.push_back(name);
  }
  void TearDown() override {
    for (const auto& n : names_) unsetenv(n.c_str());
  }

  SystemEnvSource source_;

 private:
  std::vector<std::string> names_;
};

TEST_F(SystemEnvSourceTest, ReadsSetVariablesAsWritten) {
  set("ZT_ENVSRC_PLAIN", "value with spaces =|${x}");
  set("ZT_ENVSRC_EMPTY", "");
  set("ZT_ENVSRC_UTF8", "\xc3\xa9t\xc3\xa9 \xf0\x9f\x94\x91");
  unsetenv("ZT_ENVSRC_UNSET");

  EXPECT_EQ(source_.get("ZT_ENVSRC_PLAIN"), "value with spaces =|${x}");
  EXPECT_EQ(source_.get("ZT_ENVSRC_EMPTY"), std::optional<std::string>(""));
  EXPECT_EQ(source_.get("ZT_ENVSRC_UTF8"), "\xc3\xa9t\xc3\xa9 \xf0\x9f\x94\x91");
  EXPECT_EQ(source_.get("ZT_ENVSRC_UNSET"), std::nullopt);
}

TEST_F(SystemEnvSourceTest, ValueThatIsNotUtf8CountsAsUnset) {
  const char* bad[] = {"\xff", "ok\xc3", "\xc0\xaf", "\xed\xa0\x80", "\xf4\x90\x80\x80", "\x80"};
  int i = 0;
  for (const char* v : bad) {
    std::string name = "ZT_ENVSRC_BAD" + std::to_string(i++);
    set(name, v);
    EXPECT_EQ(source_.get(name), std::nullopt) << testing::PrintToString(std::string(v));
  }
}

TEST_F(SystemEnvSourceTest, VaultVariablesAreWithheld) {
  for (const char* name : {"ZANTU_PASSPHRASE", "ZANTU_VAULT_DIR", "ZANTU_", "ZANTU_ENVSRC_X"}) {
    set(name, "s3cret");
    EXPECT_EQ(source_.get(name), std::nullopt) << name;
  }
  // Only the exact six-byte prefix is withheld.
  for (const char* name : {"ZANTU", "ZANTUX", "zantu_x", "Zantu_X", "XZANTU_", "ZT_ZANTU_"}) {
    set(name, "visible");
    EXPECT_EQ(source_.get(name), "visible") << name;
  }
}

TEST_F(SystemEnvSourceTest, NamesNoVariableCanHaveAreUnset) {
  set("ZT_ENVSRC_A", "B=C");
  set("ZT_ENVSRC_N", "v");
  // A C lookup would find "ZT_ENVSRC_A=B" inside the entry "ZT_ENVSRC_A=B=C",
  // and would cut a name at an embedded NUL.
  EXPECT_EQ(source_.get("ZT_ENVSRC_A=B"), std::nullopt);
  EXPECT_EQ(source_.get(std::string_view("ZT_ENVSRC_N\0x", 13)), std::nullopt);
  EXPECT_EQ(source_.get(""), std::nullopt);
}

}  // namespace
}  // namespace zantu::core
