#include "zantu/core/policy.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <ostream>
#include <string>
#include <vector>

#include "zantu/core/scope.hpp"

namespace zantu::core {

// Readable decisions in failure messages.
void PrintTo(Decision d, std::ostream* os) {
  switch (d.kind()) {
    case DecisionKind::Allow:
      *os << "Allow";
      return;
    case DecisionKind::RequireConfirmation:
      *os << "RequireConfirmation";
      return;
    case DecisionKind::OutOfScope:
      *os << "OutOfScope";
      return;
    case DecisionKind::Deny:
      *os << "Deny(" << policy::deny_reason_name(*d.deny_reason()) << ")";
      return;
  }
}

namespace {

using S = Sensitivity;

Coordinate coord(const char* text) {
  auto c = Coordinate::from_str(text);
  EXPECT_TRUE(c.has_value()) << text;
  return *c;
}

AgentScope scope_of(std::optional<NameSet> projects, std::optional<NameSet> environments,
                    std::set<Operation> operations) {
  return AgentScope{std::move(projects), std::move(environments), std::move(operations)};
}

const std::set<Operation> kAllOps{Operation::Metadata, Operation::Inject, Operation::Reveal, Operation::Write};

std::string describe(Operation op, S s, const std::string& env, Surface surface, bool revealable, bool attended) {
  static const char* const kOps[] = {"metadata", "inject", "reveal", "write"};
  static const char* const kSurfaces[] = {"cli", "webui", "mcp"};
  return std::string(kOps[static_cast<int>(op)]) + " " + std::string(sensitivity::wire_name(s)) + " env=" + env +
         " " + kSurfaces[static_cast<int>(surface)] + " revealable=" + (revealable ? "1" : "0") +
         " attended=" + (attended ? "1" : "0");
}

// The table, row by row; an empty list means "any". Rows are read top to
// bottom and the first match holds, so the inject-only reveal row shadows the
// rows below it.
struct Row {
  std::vector<Operation> ops;
  std::vector<S> sens;
  std::vector<bool> prod;
  std::vector<Surface> surfaces;
  std::vector<bool> revealable;
  std::vector<bool> attended;
  Decision expected;
};

template <class T>
bool in(const std::vector<T>& any_of, T v) {
  return any_of.empty() || std::find(any_of.begin(), any_of.end(), v) != any_of.end();
}

TEST(PolicyTable, EveryCombinationFollowsItsRow) {
  const auto R = Operation::Reveal;
  const std::vector<Row> table = {
      {{Operation::Metadata}, {}, {}, {}, {}, {}, Decision::allow()},
      {{Operation::Write}, {}, {}, {}, {}, {}, Decision::allow()},
      {{Operation::Inject}, {S::High}, {}, {}, {}, {}, Decision::require_confirmation()},
      {{Operation::Inject}, {S::Low, S::Medium, S::InjectOnly}, {}, {}, {}, {}, Decision::allow()},
      {{R}, {S::InjectOnly}, {}, {}, {}, {}, Decision::deny(DenyReason::InjectOnlyNeverRevealed)},
      {{R}, {}, {true}, {Surface::Mcp}, {}, {}, Decision::deny(DenyReason::McpCriticalForbidden)},
      {{R}, {S::High}, {true}, {Surface::WebUi}, {}, {}, Decision::deny(DenyReason::WebUiCriticalMasked)},
      {{R}, {S::Low, S::Medium}, {true}, {Surface::WebUi}, {}, {}, Decision::allow()},
      {{R}, {}, {true}, {Surface::Cli}, {}, {true}, Decision::require_confirmation()},
      {{R}, {}, {true}, {Surface::Cli}, {}, {false}, Decision::deny(DenyReason::ProdRevealIntoAgentContext)},
      {{R}, {S::High}, {false}, {Surface::Mcp}, {}, {}, Decision::deny(DenyReason::McpCriticalForbidden)},
      {{R}, {S::Low, S::Medium}, {false}, {Surface::Mcp}, {true}, {}, Decision::allow()},
      {{R}, {S::Low, S::Medium}, {false}, {Surface::Mcp}, {false}, {}, Decision::deny(DenyReason::NotRevealable)},
      {{R}, {S::High}, {false}, {Surface::WebUi}, {}, {}, Decision::deny(DenyReason::WebUiCriticalMasked)},
      {{R}, {S::Low, S::Medium}, {false}, {Surface::WebUi}, {}, {}, Decision::allow()},
      {{R}, {S::High}, {false}, {Surface::Cli}, {}, {}, Decision::require_confirmation()},
      {{R}, {S::Low, S::Medium}, {false}, {Surface::Cli}, {}, {}, Decision::allow()},
  };
  // Only these exact four bytes are prod.
  const std::vector<std::pair<std::string, bool>> envs = {
      {"prod", true}, {"dev", false}, {"Prod", false}, {"production", false}, {"prod ", false}};

  const AgentScope everything = scope_of(std::nullopt, std::nullopt, kAllOps);
  std::vector<int> hits(table.size(), 0);
  int combinations = 0;
  for (Operation op : kAllOps) {
    for (S s : {S::Low, S::Medium, S::High, S::InjectOnly}) {
      for (const auto& [env, prod] : envs) {
        const Coordinate c = coord(("secret:" + env + "/app/db").c_str());
        for (Surface surface : {Surface::Cli, Surface::WebUi, Surface::Mcp}) {
          for (bool revealable : {false, true}) {
            for (bool attended : {false, true}) {
              ++combinations;
              const auto row = std::find_if(table.begin(), table.end(), [&](const Row& r) {
                return in(r.ops, op) && in(r.sens, s) && in(r.prod, prod) && in(r.surfaces, surface) &&
                       in(r.revealable, revealable) && in(r.attended, attended);
              });
              const std::string what = describe(op, s, env, surface, revealable, attended);
              ASSERT_NE(row, table.end()) << "no row covers " << what;
              ++hits[static_cast<std::size_t>(row - table.begin())];
              const PolicyRequest req{std::nullopt, c, s, op, surface, revealable, attended};
              EXPECT_EQ(policy::decide(req, everything), row->expected) << what;
            }
          }
        }
      }
    }
  }
  EXPECT_EQ(combinations, 4 * 4 * 5 * 3 * 2 * 2);
  for (std::size_t i = 0; i < table.size(); ++i) EXPECT_GT(hits[i], 0) << "row " << i << " is never reached";
}

TEST(PolicyTable, DenyReasonNames) {
  EXPECT_EQ(policy::deny_reason_name(DenyReason::InjectOnlyNeverRevealed), "InjectOnlyNeverRevealed");
  EXPECT_EQ(policy::deny_reason_name(DenyReason::McpCriticalForbidden), "McpCriticalForbidden");
  EXPECT_EQ(policy::deny_reason_name(DenyReason::WebUiCriticalMasked), "WebUiCriticalMasked");
  EXPECT_EQ(policy::deny_reason_name(DenyReason::ProdRevealIntoAgentContext), "ProdRevealIntoAgentContext");
  EXPECT_EQ(policy::deny_reason_name(DenyReason::NotRevealable), "NotRevealable");
  EXPECT_EQ(Decision::deny(DenyReason::NotRevealable).deny_reason(), DenyReason::NotRevealable);
  EXPECT_EQ(Decision::allow().deny_reason(), std::nullopt);
  EXPECT_NE(Decision::deny(DenyReason::NotRevealable), Decision::deny(DenyReason::McpCriticalForbidden));
}

TEST(AgentScopeTest, Addresses) {
  struct Case {
    const char* why;
    AgentScope scope;
    const char* coordinate;
    std::optional<std::string_view> project;
    bool expected;
  };
  const AgentScope any = scope_of(std::nullopt, std::nullopt, kAllOps);
  const AgentScope dev_only = scope_of(std::nullopt, NameSet{"dev"}, kAllOps);
  const AgentScope project_a = scope_of(NameSet{"a"}, std::nullopt, kAllOps);
  const Case cases[] = {
      {"any scope, no project", any, "secret:dev/app/db", std::nullopt, true},
      {"any scope, a project", any, "secret:prod/app/db", "p", true},
      {"placeholder under any scope", any, "secret:${ENV}/app/db", std::nullopt, false},
      {"placeholder with a project", any, "secret://global/${ENV}/app/db", "p", false},
      {"global selector plays no part", dev_only, "secret://global/dev/app/db#private", std::nullopt, true},
      {"listed environment, no project", dev_only, "secret:dev/app/db", std::nullopt, true},
      {"listed environment, a project", dev_only, "secret:dev/app/db", "p", true},
      {"unlisted environment", dev_only, "secret:prod/app/db", std::nullopt, false},
      {"environments are case-sensitive", dev_only, "secret:Dev/app/db", std::nullopt, false},
      {"placeholder with listed environments", dev_only, "secret:${ENV}/app/db", std::nullopt, false},
      {"listed project", project_a, "secret:dev/app/db", "a", true},
      {"unlisted project", project_a, "secret:dev/app/db", "b", false},
      {"no project under a project set", project_a, "secret:dev/app/db", std::nullopt, false},
      {"projects are case-sensitive", project_a, "secret:dev/app/db", "A", false},
      {"an empty project name is a name", project_a, "secret:dev/app/db", "", false},
      {"empty name listed", scope_of(NameSet{""}, std::nullopt, kAllOps), "secret:dev/app/db", "", true},
      {"empty name listed, no project", scope_of(NameSet{""}, std::nullopt, kAllOps), "secret:dev/app/db",
       std::nullopt, false},
      {"empty project set, no project", scope_of(NameSet{}, std::nullopt, kAllOps), "secret:dev/app/db",
       std::nullopt, false},
      {"empty project set, a project", scope_of(NameSet{}, std::nullopt, kAllOps), "secret:dev/app/db", "a", false},
      {"empty environment set", scope_of(std::nullopt, NameSet{}, kAllOps), "secret:dev/app/db", std::nullopt,
       false},
      {"both tests hold", scope_of(NameSet{"a"}, NameSet{"dev"}, kAllOps), "secret:dev/app/db", "a", true},
      {"environment fails, project holds", scope_of(NameSet{"a"}, NameSet{"dev"}, kAllOps), "secret:prod/app/db",
       "a", false},
      {"operations play no part", scope_of(std::nullopt, std::nullopt, {}), "secret:dev/app/db", std::nullopt,
       true},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(c.scope.addresses(coord(c.coordinate), c.project), c.expected) << c.why;
  }
}

TEST(AgentScopeTest, PermitsAndOutOfScopeDecisions) {
  const Coordinate dev = coord("secret:dev/app/db");
  const auto decide = [&](const AgentScope& scope, Operation op, std::optional<std::string_view> project,
                          const Coordinate& c, S s = S::InjectOnly) {
    return policy::decide(PolicyRequest{project, c, s, op, Surface::Mcp, true, false}, scope);
  };

  const AgentScope none = scope_of(std::nullopt, std::nullopt, {});
  for (Operation op : kAllOps) {
    EXPECT_FALSE(none.permits(op));
    for (S s : {S::Low, S::High, S::InjectOnly}) {
      EXPECT_EQ(decide(none, op, std::nullopt, dev, s), Decision::out_of_scope());
    }
  }

  for (Operation granted : kAllOps) {
    const AgentScope one = scope_of(std::nullopt, std::nullopt, {granted});
    for (Operation op : kAllOps) {
      EXPECT_EQ(one.permits(op), op == granted);
      const Decision expected = op == granted ? Decision::allow() : Decision::out_of_scope();
      EXPECT_EQ(decide(one, op, std::nullopt, dev, S::Low), expected);
    }
  }

  // Scope comes before the table: an out-of-scope inject-only reveal is not a denial.
  const AgentScope project_a = scope_of(NameSet{"a"}, std::nullopt, {Operation::Reveal});
  EXPECT_EQ(decide(project_a, Operation::Reveal, "b", dev), Decision::out_of_scope());
  EXPECT_EQ(decide(project_a, Operation::Reveal, "a", dev), Decision::deny(DenyReason::InjectOnlyNeverRevealed));
  // Neither addressed nor permitted reads the same as either alone.
  EXPECT_EQ(decide(project_a, Operation::Write, "b", dev), Decision::out_of_scope());
  EXPECT_EQ(decide(project_a, Operation::Write, "a", dev), Decision::out_of_scope());
  EXPECT_EQ(decide(scope_of(std::nullopt, std::nullopt, kAllOps), Operation::Metadata, std::nullopt,
                   coord("secret:${ENV}/app/db")),
            Decision::out_of_scope());
}

}  // namespace
}  // namespace zantu::core
