#include "zantu/core/provider.hpp"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

namespace zantu::core {
namespace {

// Answers one scheme with its own tag, and records the references it was given.
class TagProvider final : public SecretProvider {
 public:
  TagProvider(std::string scheme, std::string tag, std::vector<std::string>* calls, bool* dropped = nullptr)
      : scheme_(std::move(scheme)), tag_(std::move(tag)), calls_(calls), dropped_(dropped) {}
  ~TagProvider() override {
    if (dropped_) *dropped_ = true;
  }
  Result<SecretValue> materialize(std::string_view reference) const override {
    calls_->push_back(tag_ + " " + std::string(reference));
    if (tag_ == "failing") return std::unexpected(CoreError::io("tool: down"));
    return SecretValue::from(std::string_view(tag_));
  }
  std::string_view scheme() const noexcept override { return scheme_; }

 private:
  std::string scheme_;
  std::string tag_;
  std::vector<std::string>* calls_;
  bool* dropped_;
};

std::unique_ptr<SecretProvider> tag(std::string scheme, std::string tag, std::vector<std::string>* calls,
                                    bool* dropped = nullptr) {
  return std::make_unique<TagProvider>(std::move(scheme), std::move(tag), calls, dropped);
}

constexpr std::string_view kSupported = "` (supported: azure-kv, aws-sm)";

TEST(SchemeRouter, DispatchesOnTheTextBeforeTheFirstSeparator) {
  std::vector<std::string> calls;
  auto router = SchemeRouter()
                    .with(tag("azure-kv", "azure", &calls))
                    .with(tag("aws-sm", "aws", &calls))
                    .with(tag("a", "a", &calls))
                    .with(tag("", "empty", &calls));
  EXPECT_EQ(router.scheme(), "*");
  struct Case {
    std::string_view reference;
    std::string_view value;
  };
  const Case cases[] = {
      {"aws-sm://eu-west-1/db", "aws"},
      {"azure-kv://vault/name", "azure"},
      {"aws-sm://", "aws"},
      {"a://b://c", "a"},
      {"://x", "empty"},
  };
  for (const auto& c : cases) {
    auto v = router.materialize(c.reference);
    ASSERT_TRUE(v.has_value()) << c.reference << ": " << v.error().to_string();
    EXPECT_EQ(v->view(), c.value) << c.reference;
  }
  // Each provider gets the whole reference text.
  EXPECT_EQ(calls, (std::vector<std::string>{"aws aws-sm://eu-west-1/db", "azure azure-kv://vault/name",
                                             "aws aws-sm://", "a a://b://c", "empty ://x"}));
}

TEST(SchemeRouter, LastRegisteredOfTheSameSchemeWins) {
  std::vector<std::string> calls;
  auto router = SchemeRouter()
                    .with(tag("aws-sm", "first", &calls))
                    .with(tag("azure-kv", "azure", &calls))
                    .with(tag("aws-sm", "second", &calls));
  auto v = router.materialize("aws-sm://r/s");
  ASSERT_TRUE(v.has_value());
  EXPECT_EQ(v->view(), "second");
  EXPECT_EQ(calls, std::vector<std::string>{"second aws-sm://r/s"});
}

TEST(SchemeRouter, ProviderErrorComesBackUnchanged) {
  std::vector<std::string> calls;
  auto router = SchemeRouter().with(tag("aws-sm", "failing", &calls));
  auto v = router.materialize("aws-sm://r/s");
  ASSERT_FALSE(v.has_value());
  EXPECT_EQ(v.error(), CoreError::io("tool: down"));
}

TEST(SchemeRouter, Refusals) {
  std::vector<std::string> calls;
  auto router = SchemeRouter().with(tag("aws-sm", "aws", &calls)).with(tag("azure-kv", "azure", &calls));
  struct Case {
    std::string_view reference;
    std::string detail;
  };
  const Case cases[] = {
      {"aws-sm:/r/s", "reference `aws-sm:/r/s` is malformed: expected `<scheme>://\xe2\x80\xa6`"},
      {"aws-sm", "reference `aws-sm` is malformed: expected `<scheme>://\xe2\x80\xa6`"},
      {"", "reference `` is malformed: expected `<scheme>://\xe2\x80\xa6`"},
      {"vault://x", "no provider registered for reference scheme `vault" + std::string(kSupported)},
      // Schemes compare byte for byte, without trimming or case folding.
      {"AWS-SM://r/s", "no provider registered for reference scheme `AWS-SM" + std::string(kSupported)},
      {" aws-sm://r/s", "no provider registered for reference scheme ` aws-sm" + std::string(kSupported)},
      // The router never answers for its own scheme.
      {"*://x", "no provider registered for reference scheme `*" + std::string(kSupported)},
  };
  for (const auto& c : cases) {
    auto v = router.materialize(c.reference);
    ASSERT_FALSE(v.has_value()) << c.reference;
    EXPECT_EQ(v.error().kind(), CoreErrorKind::Provider) << c.reference;
    EXPECT_EQ(v.error().detail(), c.detail) << c.reference;
  }
  EXPECT_TRUE(calls.empty());

  // The supported list is fixed text, the same for an empty router.
  auto empty = SchemeRouter().materialize("aws-sm://r/s");
  ASSERT_FALSE(empty.has_value());
  EXPECT_EQ(empty.error().to_string(),
            "provider error: no provider registered for reference scheme `aws-sm" + std::string(kSupported));
}

TEST(SchemeRouter, OwnsItsProviders) {
  std::vector<std::string> calls;
  bool dropped = false;
  {
    auto router = SchemeRouter().with(tag("aws-sm", "aws", &calls, &dropped)).with(nullptr);
    ASSERT_EQ(router.providers().size(), 1u);
    auto moved = std::move(router);
    EXPECT_TRUE(moved.materialize("aws-sm://r").has_value());
    EXPECT_FALSE(dropped);
  }
  EXPECT_TRUE(dropped);
}

}  // namespace
}  // namespace zantu::core
