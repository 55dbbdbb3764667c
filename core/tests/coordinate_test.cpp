#include "zantu/core/coordinate.hpp"

#include <gtest/gtest.h>

namespace zantu::core {
namespace {

struct BadCase {
  const char* input;
  const char* message;
};

TEST(CoordinateGrammar, RefusalsInCheckOrder) {
  const BadCase cases[] = {
      {"", "must start with `secret:`"},
      {"secret", "must start with `secret:`"},
      {"Secret:dev/app/db", "must start with `secret:`"},
      {"secret:", "coordinate must have exactly three segments"},
      {"secret:dev/app/db#Public", "unknown coordinate fragment `#Public` (only `#public`/`#private` are valid)"},
      {"secret:dev/app/db#", "unknown coordinate fragment `#` (only `#public`/`#private` are valid)"},
      {"secret:dev/app#x/db", "unknown coordinate fragment `#x/db` (only `#public`/`#private` are valid)"},
      {"secret:dev/app/db#public#x", "unknown coordinate fragment `#public#x` (only `#public`/`#private` are valid)"},
      // The fragment is checked before the segment count.
      {"secret:a/b#x", "unknown coordinate fragment `#x` (only `#public`/`#private` are valid)"},
      {"secret://global", "scope form requires `//<authority>/<path>`"},
      {"secret://Global/dev/app/db", "only `//global/` scope selector is supported"},
      {"secret:///dev/app/db", "only `//global/` scope selector is supported"},
      {"secret://global//app/db", "segments must be non-empty"},
      {"secret:/dev/app/db", "coordinate must have exactly three segments"},
      {"secret:dev/app/db/", "coordinate must have exactly three segments"},
      {"secret:dev/app", "coordinate must have exactly three segments"},
      {"secret:dev//db", "segments must be non-empty"},
      {"secret:${env}/app/db", "only `${ENV}` interpolation is allowed in the environment segment"},
      {"secret:x${ENV}/app/db", "only `${ENV}` interpolation is allowed in the environment segment"},
      {"secret:dev/${ENV}/db", "interpolation is not allowed in the component segment"},
      {"secret:dev/app/${x}", "interpolation is not allowed in the key segment"},
  };
  for (const auto& c : cases) {
    auto r = Coordinate::from_str(c.input);
    ASSERT_FALSE(r.has_value()) << c.input;
    EXPECT_EQ(r.error().kind(), CoreErrorKind::InvalidCoordinate) << c.input;
    EXPECT_EQ(r.error().detail(), c.message) << c.input;
    EXPECT_EQ(r.error().to_string(), std::string("invalid coordinate URI: ") + c.message) << c.input;
  }
}

TEST(CoordinateGrammar, AcceptedFormsRoundTrip) {
  struct Good {
    const char* input;
    bool placeholder;
    const char* env;
    const char* component;
    const char* key;
    bool global;
    Fragment fragment;
  };
  const Good cases[] = {
      {"secret:dev/app/db", false, "dev", "app", "db", false, Fragment::None},
      {"secret://global/${ENV}/app/db#private", true, "", "app", "db", true, Fragment::Private},
      {"secret:dev/app/db#public", false, "dev", "app", "db", false, Fragment::Public},
      {"secret:dev/my app/$x{y}", false, "dev", "my app", "$x{y}", false, Fragment::None},
      {"secret:\xc3\xa9t\xc3\xa9/a.b/}{", false, "\xc3\xa9t\xc3\xa9", "a.b", "}{", false, Fragment::None},
  };
  for (const auto& c : cases) {
    auto r = Coordinate::from_str(c.input);
    ASSERT_TRUE(r.has_value()) << c.input << ": " << r.error().to_string();
    EXPECT_EQ(r->env.is_placeholder(), c.placeholder) << c.input;
    EXPECT_EQ(r->env.name(), c.env) << c.input;
    EXPECT_EQ(r->component, c.component) << c.input;
    EXPECT_EQ(r->key, c.key) << c.input;
    EXPECT_EQ(r->global, c.global) << c.input;
    EXPECT_EQ(r->fragment, c.fragment) << c.input;
    EXPECT_EQ(r->to_string(), c.input);
    auto again = Coordinate::from_str(r->to_string());
    ASSERT_TRUE(again.has_value());
    EXPECT_EQ(*again, *r);
  }
}

TEST(Coordinate, PlaceholderIsNotStorableUntilFilled) {
  auto c = Coordinate::from_str("secret://global/${ENV}/app/db#private").value();
  const char* msg = "coordinate is not storable: coordinate has an unresolved `${ENV}` placeholder";
  ASSERT_FALSE(c.canonical_path().has_value());
  EXPECT_EQ(c.canonical_path().error().kind(), CoreErrorKind::NotStorable);
  EXPECT_EQ(c.canonical_path().error().to_string(), msg);
  ASSERT_FALSE(c.storage_id().has_value());
  EXPECT_EQ(c.storage_id().error().to_string(), msg);

  auto filled = c.with_env("prod");
  EXPECT_EQ(filled.canonical_path().value(), "prod/app/db");
  EXPECT_TRUE(filled.global);
  EXPECT_EQ(filled.fragment, Fragment::Private);
  EXPECT_EQ(filled.to_string(), "secret://global/prod/app/db#private");
  // The name is copied unchecked, the empty one included.
  EXPECT_EQ(c.with_env("").env.name(), "");
  EXPECT_FALSE(c.with_env("").env.is_placeholder());
}

TEST(Coordinate, WithEnvKeepsANamedEnvironment) {
  auto c = Coordinate::from_str("secret:dev/app/db").value();
  EXPECT_EQ(c.with_env("prod"), c);
  EXPECT_EQ(c.canonical_path().value(), "dev/app/db");
}

TEST(Coordinate, StorageIdIgnoresSelectorAndFragment) {
  // Known answer: BLAKE3("dev/app/db").
  const std::string expected = "6243d45b171ef1a06dea7779b4f089db60d68c0f04af693122c06b30c027adeb";
  for (const char* text : {"secret:dev/app/db", "secret://global/dev/app/db", "secret:dev/app/db#public",
                           "secret:dev/app/db#private"}) {
    EXPECT_EQ(Coordinate::from_str(text).value().storage_id().value(), expected) << text;
  }
}

}  // namespace
}  // namespace zantu::core
