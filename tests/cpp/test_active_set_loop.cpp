// The active-set loop on its own, driven by a pass solver that reads every pass from a table of
// states: which state follows which, when the loop settles, how a cycle and the pass limit end
// it, the reactivation and consistency switches after it, and passes of forces alone whose
// displacements are solved only for the state the loop settles on. No structure is assembled.
#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "models/varn/active_set_loop.h"

namespace varn {
namespace {

// A state of two ties, 1 and 2: "11" both on, "10" tie 2 off, ... ; a trailing "r" releases
// the one-sided support DOF 0.
LoopState state_of(const std::string& s) {
  LoopState st;
  st.active[1] = s[0] == '1';
  st.active[2] = s[1] == '1';
  if (s.size() > 2 && s[2] == 'r') st.released.insert(0);
  return st;
}

std::string name_of(const LoopState& st) {
  std::string s{st.active.at(1) ? '1' : '0', st.active.at(2) ? '1' : '0'};
  if (!st.released.empty()) s += 'r';
  return s;
}

// What the table says of one state's pass.
struct Row {
  Row(double u_ = 0.0, std::string in_loop_ = "", bool by_reactivation_ = false, std::string reactivates_ = "",
      std::string finalizes_ = "", bool forces_only_ = false, bool refined_ = false, std::string refined_in_loop_ = "")
      : u(u_),
        in_loop(std::move(in_loop_)),
        by_reactivation(by_reactivation_),
        reactivates(std::move(reactivates_)),
        finalizes(std::move(finalizes_)),
        forces_only(forces_only_),
        refined(refined_),
        refined_in_loop(std::move(refined_in_loop_)) {}
  double u;                 // its displacement (one DOF)
  std::string in_loop;      // the state the loop's rules switch to ("" none)
  bool by_reactivation;     // that switch brings a member back (needs reactivation)
  std::string reactivates;  // after the loop: the state the reactivation switches to
  std::string finalizes;    // after the loop: the state the consistency switch makes
  bool forces_only;         // the pass reads forces alone (a switch-basis pass)
  bool refined;             // its displacements are not those its forces were read from
  std::string refined_in_loop;  // the state the rules switch to once the refined u is read
};

struct TablePasses final : PassSolver {
  std::map<std::string, Row> rows;
  std::vector<std::string> solved;        // states whose pass was made, in order
  std::vector<std::string> displaced;     // passes of forces alone whose displacements were solved
  std::map<std::string, int> judged;      // rule applications per state

  struct Forces final : PassForces {};

  const Row& row(const LoopState& st) const {
    const auto it = rows.find(name_of(st));
    if (it == rows.end()) ADD_FAILURE() << "no row for state " << name_of(st);
    static const Row none;
    return it == rows.end() ? none : it->second;
  }
  Expected<LoopPass> pass(const LoopState& st, const char* message) override {
    solved.push_back(name_of(st));
    const Row& r = row(st);
    LoopPass p;
    p.state = st;
    p.singular_message = message;
    if (r.forces_only) {
      p.forces = std::make_unique<Forces>();
    } else {
      p.u = Eigen::VectorXd::Constant(1, r.u);
    }
    return p;
  }
  Expected<bool> displacements(LoopPass& p) override {
    displaced.push_back(name_of(p.state));
    const Row& r = row(p.state);
    p.u = Eigen::VectorXd::Constant(1, r.u);
    return !r.refined;
  }
  Expected<bool> switch_in_loop(const LoopPass& p, LoopState& st, bool allow_reactivation) override {
    ++judged[name_of(p.state)];
    const Row& r = row(p.state);
    const std::string& to = r.refined && p.u && !p.forces ? r.refined_in_loop : r.in_loop;
    if (to.empty() || (r.by_reactivation && !allow_reactivation)) return false;
    st = state_of(to);
    return true;
  }
  bool reactivate(const LoopPass& p, ActiveMap& active) override {
    const Row& r = row(p.state);
    if (r.reactivates.empty()) return false;
    active = state_of(r.reactivates).active;
    return true;
  }
  bool finalize(const LoopPass& p, ActiveMap& active) override {
    const Row& r = row(p.state);
    if (r.finalizes.empty()) return false;
    active = state_of(r.finalizes).active;
    return true;
  }
};

// The displacements differ between states by far more than the tolerance.
constexpr double kTolerance = 1e-9;

struct LoopCase {
  const char* name;
  std::map<std::string, Row> rows;
  std::string start;
  std::uint32_t max_passes;
  bool reactivation_in_loop;
  // Expected outcome: the final state (or the message), passes taken, states solved in order.
  std::string final_state;
  std::string message;
  unsigned passes;
  std::vector<std::string> solved;
  std::vector<std::string> displaced;
};

class ActiveSetLoopTable : public ::testing::TestWithParam<LoopCase> {};

TEST_P(ActiveSetLoopTable, FollowsTheStatesOfTheTable) {
  const LoopCase& c = GetParam();
  TablePasses passes;
  passes.rows = c.rows;
  ActiveSetLoop loop(passes, ActiveSetLoopSettings{kTolerance, c.max_passes, c.reactivation_in_loop});
  auto settled = loop.run(Eigen::VectorXd::Zero(1), state_of(c.start));
  if (c.message.empty()) {
    ASSERT_TRUE(settled) << settled.error();
    EXPECT_EQ(name_of(settled->state), c.final_state);
    EXPECT_EQ(settled->u(0), c.rows.at(c.final_state).u);
    EXPECT_TRUE(settled->last_solved_is_final);
  } else {
    ASSERT_FALSE(settled);
    EXPECT_EQ(settled.error(), c.message);
  }
  EXPECT_EQ(loop.passes(), c.passes);
  EXPECT_EQ(passes.solved, c.solved);
  EXPECT_EQ(passes.displaced, c.displaced);
}

const std::vector<LoopCase> kCases = {
    // Nothing switches: the first pass steps from the zero start, the second repeats the state
    // without solving it again and measures a zero step.
    {"NothingSwitches", {{"11", Row{1.0}}}, "11", 20, true, "11", "", 2, {"11"}, {}},
    // With one pass allowed the first pass's step is all there is, and it is not small.
    {"OnePassIsNotEnough", {{"11", Row{1.0}}}, "11", 1, true, "", "Active-set iteration did not converge within 1 iterations", 1,
     {"11"}, {}},
    {"NoPassAllowed", {{"11", Row{1.0}}}, "11", 0, true, "", "Active-set iteration did not converge within 0 iterations", 0, {}, {}},
    // Tie 2 goes slack: one switch, the new state's step, then the settling repeat.
    {"OneSwitch", {{"11", Row{1.0, "10"}}, {"10", Row{2.0}}}, "11", 20, true, "10", "", 3, {"11", "10"}, {}},
    // Two states that switch into each other: met again, the first is a cycle of two.
    {"CycleOfTwo", {{"11", Row{1.0, "10"}}, {"10", Row{2.0, "11", true}}}, "11", 20, true, "",
     "Active-set iteration cycles between 2 states without settling", 3, {"11", "10"}, {}},
    // Three states round a ring.
    {"CycleOfThree",
     {{"11", Row{1.0, "10"}}, {"10", Row{2.0, "01", true}}, {"01", Row{3.0, "11", true}}},
     "11", 20, true, "", "Active-set iteration cycles between 3 states without settling", 4, {"11", "10", "01"}, {}},
    // The same ring without reactivation in the loop stops at the state that only a
    // reactivation would leave; the reactivation after the loop then sends it on, into the
    // state it came from: a cycle all the same.
    {"CycleThroughReactivationAfterTheLoop",
     {{"11", Row{1.0, "10"}}, {"10", Row{2.0, "11", true, "11"}}}, "11", 20, false, "",
     "Active-set iteration cycles between 2 states without settling", 4, {"11", "10", "11"}, {}},
    // Settled with tie 2 off, the structure pulls it back after the loop; the loop goes on from
    // the state with it on, which settles.
    {"ReactivatedAfterTheLoop",
     {{"10", Row{1.0, "", false, "11"}}, {"11", Row{2.0}}}, "10", 20, false, "11", "", 3, {"10", "11"}, {}},
    // The consistency switch after the loop takes a tie off; the loop settles on that state.
    {"SwitchedOffByConsistency",
     {{"11", Row{1.0, "", false, "", "01"}}, {"01", Row{2.0}}}, "11", 20, true, "01", "", 3, {"11", "01"}, {}},
    // More states in a row than passes allowed.
    {"PassesRunOut",
     {{"11", Row{1.0, "10"}}, {"10", Row{2.0, "00"}}, {"00", Row{3.0, "01", true}}, {"01", Row{4.0}}}, "11", 3, true,
     "", "Active-set iteration did not converge within 3 iterations", 3, {"11", "10", "00"}, {}},
    // A one-sided support released by the loop's rules is one more switch of the state.
    {"SupportReleased", {{"11", Row{1.0, "11r"}}, {"11r", Row{5.0}}}, "11", 20, true, "11r", "", 3, {"11", "11r"}, {}},
    // Passes of forces alone: the state that settles has its displacements solved once, at the
    // end, and the step between forces-only passes is never measured.
    {"ForcesAloneSettle",
     {{"11", Row{1.0, "10", false, "", "", true}}, {"10", Row{2.0, "", false, "", "", true}}}, "11", 20, true, "10",
     "", 3, {"11", "10"}, {"10"}},
    // A forces-only pass whose solved displacements are refined is judged again on them: here
    // they switch tie 1 off, and the loop goes on.
    {"RefinedDisplacementsJudgedAgain",
     {{"11", Row{1.0, "", false, "", "", true, true, "01"}}, {"01", Row{3.0}}}, "11", 20, true, "01", "", 4,
     {"11", "01"}, {"11"}},
};

INSTANTIATE_TEST_SUITE_P(Table, ActiveSetLoopTable, ::testing::ValuesIn(kCases),
                         [](const ::testing::TestParamInfo<LoopCase>& info) { return std::string(info.param.name); });

// The settling pass repeats the state it settles on without solving it or judging it again.
TEST(ActiveSetLoop, SettlingPassNeitherSolvesNorJudgesAgain) {
  TablePasses passes;
  passes.rows = {{"11", Row{1.0, "10"}}, {"10", Row{2.0}}};
  ActiveSetLoop loop(passes, ActiveSetLoopSettings{kTolerance, 20, true});
  ASSERT_TRUE(loop.run(Eigen::VectorXd::Zero(1), state_of("11")));
  EXPECT_EQ(passes.judged["11"], 1);
  EXPECT_EQ(passes.judged["10"], 1);
}

// The passes made after the loop name their own singular messages.
TEST(ActiveSetLoop, PassesAfterTheLoopCarryTheirMessages) {
  struct Messages final : PassSolver {
    std::vector<std::string> seen;
    Expected<LoopPass> pass(const LoopState& st, const char* message) override {
      seen.emplace_back(message);
      LoopPass p;
      p.state = st;
      p.u = Eigen::VectorXd::Constant(1, st.active.at(1) ? 1.0 : 2.0);
      return p;
    }
    Expected<bool> displacements(LoopPass&) override { return true; }
    Expected<bool> switch_in_loop(const LoopPass&, LoopState&, bool) override { return false; }
    bool reactivate(const LoopPass& p, ActiveMap& active) override {
      if (p.u->coeff(0) != 2.0 || reactivated) return false;
      reactivated = true;
      active[1] = true;
      return true;
    }
    bool finalize(const LoopPass& p, ActiveMap& active) override {
      if (p.u->coeff(0) != 1.0 || finalized) return false;
      finalized = true;
      active[1] = false;
      active[2] = false;
      return true;
    }
    bool reactivated = false, finalized = false;
  } passes;
  ActiveSetLoop loop(passes, ActiveSetLoopSettings{kTolerance, 20, true});
  auto settled = loop.run(Eigen::VectorXd::Zero(1), state_of("01"));
  ASSERT_TRUE(settled) << settled.error();
  EXPECT_EQ(name_of(settled->state), "00");
  ASSERT_EQ(passes.seen.size(), 3U);
  EXPECT_EQ(passes.seen[0], kSingularInLoop);
  EXPECT_EQ(passes.seen[1], kSingularAfterReactivation);
  EXPECT_EQ(passes.seen[2], kSingularInFinalization);
}

}  // namespace
}  // namespace varn
