// Which entries of a session bus address the Secret Service client opens:
// only unix sockets named by path or abstract name, in order, each rewritten
// as an address of its own; every transport that could start a program, and
// every other one, is passed over.
#include "secret_service.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace zantu::core::detail {
namespace {

constexpr const char* kNone =
    "keyring operation failed: session bus address has no unix:path= or unix:abstract= entry";

struct AddressCase {
  const char* why;
  const char* address;
  std::vector<std::string> usable;
  // The failure's text when nothing is usable.
  const char* failure;
};

TEST(SessionBusAddress, OnlyUnixSocketEntriesAreUsed) {
  const AddressCase cases[] = {
      {"a path", "unix:path=/run/user/1000/bus", {"unix:path=/run/user/1000/bus"}, nullptr},
      {"an abstract name with its guid", "unix:abstract=/tmp/dbus-x,guid=0123abcd",
       {"unix:abstract=/tmp/dbus-x,guid=0123abcd"}, nullptr},
      {"escapes kept escaped", "unix:path=/tmp/a%20b%3bc", {"unix:path=/tmp/a%20b%3bc"}, nullptr},
      {"other keys dropped", "unix:path=/a,foo=bar", {"unix:path=/a"}, nullptr},
      {"several, in order", "unix:path=/a;unix:abstract=b;unix:path=/c",
       {"unix:path=/a", "unix:abstract=b", "unix:path=/c"}, nullptr},
      {"program-starting entries passed over",
       "unixexec:path=/bin/sh,argv1=-c,argv2=true;autolaunch:;unix:path=/good", {"unix:path=/good"}, nullptr},
      {"network and launcher entries passed over",
       "tcp:host=127.0.0.1,port=1;nonce-tcp:host=h,port=2,noncefile=/n;launchd:env=X;systemd:;unix:path=/good",
       {"unix:path=/good"}, nullptr},
      {"unixexec alone", "unixexec:path=/bin/sh", {}, kNone},
      {"autolaunch alone", "autolaunch:", {}, kNone},
      {"autolaunch with a scope", "autolaunch:scope=*user", {}, kNone},
      {"listening-only unix entries", "unix:tmpdir=/tmp;unix:dir=/tmp;unix:runtime=yes", {}, kNone},
      {"both path and abstract", "unix:path=/a,abstract=b", {}, kNone},
      {"a transport that is not one", "disabled:", {}, kNone},
  };
  for (const auto& c : cases) {
    auto got = usable_bus_addresses(c.address);
    if (c.failure == nullptr) {
      ASSERT_TRUE(got.has_value()) << c.why << ": " << got.error().to_string();
      EXPECT_EQ(*got, c.usable) << c.why;
    } else {
      ASSERT_FALSE(got.has_value()) << c.why;
      EXPECT_EQ(got.error().to_string(), c.failure) << c.why;
    }
  }
}

TEST(SessionBusAddress, ThatDoesNotParseIsRefused) {
  for (const char* address : {"no-colon", "unix:path", "unix:path=", "unix:path=/a%zz", ";"}) {
    auto got = usable_bus_addresses(address);
    ASSERT_FALSE(got.has_value()) << address;
    EXPECT_TRUE(got.error().to_string().starts_with("keyring operation failed: cannot connect to the D-Bus session bus: "))
        << address << ": " << got.error().to_string();
  }
}

}  // namespace
}  // namespace zantu::core::detail
