// One load step of the second-order solve against scripted Newton passes: when the step is
// accepted, with which tie/strut map, when it is refined and from which displacement. Each
// scripted pass moves u (so that a reset to the step start shows) and may switch tie 7.
#include <gtest/gtest.h>

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

#include "models/varn/second_order/driver.h"

namespace {

using namespace varn;
using namespace varn::second_order;

constexpr std::uint32_t kTie = 7;

// What one scripted pass does: how it ends, the state of the tie it leaves, and, for a
// converged pass, what the reactivation check that follows sets the tie to (nothing: no change).
struct ScriptedPass {
  PassEnd end;
  bool tie_after;
  std::optional<bool> reactivated = std::nullopt;
  bool indefinite = false;
};

struct StepCase {
  std::string what;
  bool tie_at_start;
  std::vector<ScriptedPass> passes;
  // Expected: accepted (no refinement) or the refinement; the tie's final state; how many
  // passes ran; which of them ran frozen; whether u is back at the step start.
  std::optional<Refinement> refinement;
  bool tie_final;
  std::size_t passes_run;
  std::vector<bool> frozen;
  bool u_reset;
};

struct Outcome {
  Expected<std::optional<Refinement>> result;
  NewtonState state;
  std::vector<bool> frozen;
};

Outcome run(const StepCase& c) {
  NewtonState state;
  state.u = Eigen::VectorXd::Zero(3);
  state.active[kTie] = c.tie_at_start;
  Outcome out{std::optional<Refinement>(), {}, {}};
  std::size_t next = 0;
  StepHooks hooks;
  hooks.pass = [&](bool frozen) -> Expected<PassOutcome> {
    out.frozen.push_back(frozen);
    if (next >= c.passes.size()) return fail("script ran out of passes");
    const ScriptedPass& p = c.passes[next++];
    state.u.array() += 1.0;
    if (!frozen) state.active[kTie] = p.tie_after;
    PassOutcome o;
    o.end = p.end;
    o.tangent_indefinite = p.indefinite;
    return o;
  };
  hooks.reactivate = [&] {
    const ScriptedPass& p = c.passes[next - 1];
    if (!p.reactivated || *p.reactivated == state.active[kTie]) return false;
    state.active[kTie] = *p.reactivated;
    return true;
  };
  out.result = run_step_attempt(state, 3, 20, hooks);
  out.state = std::move(state);
  return out;
}

TEST(SecondOrderStep, AcceptedOnlyOnAConvergedPassWithTheMapItConvergedWith) {
  using E = PassEnd;
  const std::vector<StepCase> cases = {
      {"converges, nothing to reactivate", true, {{E::Converged, true}}, std::nullopt, true, 1, {false}, false},
      {"switches off, then converges", true, {{E::Switched, false}, {E::Converged, false}}, std::nullopt, false, 2,
       {false, false}, false},
      // Off at the start; converges and the check switches it on; the next pass switches it off
      // again: back at a map the step has seen, so the map is held and one more pass must
      // converge with it before the step stands.
      {"active-set cycle, frozen pass converges", false,
       {{E::Converged, false, true}, {E::Switched, false}, {E::Converged, false}}, std::nullopt, false, 3,
       {false, false, true}, false},
      {"active-set cycle, frozen pass exhausted", false,
       {{E::Converged, false, true}, {E::Switched, false}, {E::Exhausted, false}}, Refinement::NewtonExhausted, false,
       3, {false, false, true}, true},
      // On at the start; switched off and converged; the check would switch it back on, the map
      // the step began with: the converged state stands with the map it converged with (off).
      {"reactivation cycle", true, {{E::Switched, false}, {E::Converged, false, true}}, std::nullopt, false, 2,
       {false, false}, false},
      {"reactivation repeats the level", false, {{E::Converged, false, true}, {E::Converged, true}}, std::nullopt,
       true, 2, {false, false}, false},
      {"exhausted", true, {{E::Exhausted, true}}, Refinement::NewtonExhausted, true, 1, {false}, true},
      {"singular tangent keeps the iterate", true, {{E::SingularTangent, true}}, Refinement::SingularTangent, true, 1,
       {false}, false},
      {"failed line search keeps the iterate", true, {{E::FailedLineSearch, true}}, Refinement::FailedLineSearch,
       true, 1, {false}, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const Outcome out = run(c);
    ASSERT_TRUE(out.result) << out.result.error();
    EXPECT_EQ(*out.result, c.refinement);
    EXPECT_EQ(out.state.active.at(kTie), c.tie_final);
    EXPECT_EQ(out.frozen.size(), c.passes_run);
    EXPECT_EQ(out.frozen, c.frozen);
    const double expected_u = c.u_reset ? 0.0 : static_cast<double>(c.passes_run);
    EXPECT_EQ(out.state.u[0], expected_u);
  }
}

// Eight passes that each switch the tie to a state this step has not seen cannot be scripted
// with one tie; two ties give four maps, and a ninth pass is never run: the outer loop refines
// from the step start.
TEST(SecondOrderStep, EightSwitchingPassesRefineFromTheStepStart) {
  NewtonState state;
  state.u = Eigen::VectorXd::Zero(2);
  std::size_t passes = 0;
  StepHooks hooks;
  hooks.pass = [&](bool) -> Expected<PassOutcome> {
    ++passes;
    state.u.array() += 1.0;
    // Counts upward in the flags of ties 1..4 (16 maps), never repeating within eight passes.
    for (std::uint32_t id = 1; id <= 4; ++id) {
      state.active[id] = ((passes >> (id - 1)) & 1u) != 0;
    }
    PassOutcome o;
    o.end = PassEnd::Switched;
    return o;
  };
  hooks.reactivate = [] { return false; };
  auto r = run_step_attempt(state, 1, 20, hooks);
  ASSERT_TRUE(r);
  EXPECT_EQ(*r, Refinement::OuterLoopLimit);
  EXPECT_EQ(passes, 8u);
  EXPECT_EQ(state.u[0], 0.0);
}

TEST(SecondOrderStep, ConvergedOnATangentThatIsNotPositiveDefiniteFails) {
  StepCase c{"indefinite", true, {{PassEnd::Converged, true, std::nullopt, true}}, std::nullopt, true, 1, {false},
             false};
  const Outcome out = run(c);
  ASSERT_FALSE(out.result);
  EXPECT_EQ(out.result.error(),
            "Second-order: tangent not positive definite at step 3/20: the load exceeds the elastic critical load");
}

}  // namespace

namespace {

// After the load steps a tie found in compression beyond the slack is switched off and the
// structure without it is brought back to equilibrium at the full load by Newton passes, so
// that the stored result stays a second-order one and its map agrees with its displacements.
TEST(SecondOrderFinalisation, SwitchedOffTieIsFollowedByNewtonPassesAtTheFullLoad) {
  struct Case {
    std::string what;
    int switches;                          // rounds in which the consistency pass switches a tie off
    std::optional<Refinement> step_needs;  // what every step attempt returns
    std::optional<std::string> message;
    int steps_run;
  };
  const std::vector<Case> cases = {
      {"nothing to switch", 0, std::nullopt, std::nullopt, 0},
      {"one tie off, one step", 1, std::nullopt, std::nullopt, 1},
      {"two rounds", 2, std::nullopt, std::nullopt, 2},
      {"step exhausted", 1, Refinement::NewtonExhausted,
       "Second-order: step 40/40 did not converge and max substepping reached", 1},
      {"outer loop", 1, Refinement::OuterLoopLimit,
       "Second-order: step 40/40 active-set outer loop did not converge; max substepping reached", 1},
      {"singular", 1, Refinement::SingularTangent,
       "Second-order: tangent singular even after LM damping + max substepping", 1},
      {"line search", 1, Refinement::FailedLineSearch,
       "Second-order: non-descent at αmin; flip-left failed; max substepping reached", 1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    NewtonState state;
    state.active = {{1u, true}, {2u, true}};
    int switches = 0;
    int steps = 0;
    FinalisationHooks hooks;
    hooks.switch_off = [&] {
      if (switches == c.switches) return false;
      state.active[static_cast<std::uint32_t>(switches + 1)] = false;
      ++switches;
      return true;
    };
    hooks.step = [&]() -> Expected<std::optional<Refinement>> {
      ++steps;
      return c.step_needs;
    };
    auto r = run_finalisation(state, 40, hooks);
    EXPECT_EQ(steps, c.steps_run);
    if (c.message) {
      ASSERT_FALSE(r);
      EXPECT_EQ(r.error(), *c.message);
    } else {
      ASSERT_TRUE(r) << r.error();
      EXPECT_EQ(*r, c.switches > 0);
    }
  }
}

// A consistency pass that keeps switching (the steps switching members back on) ends.
TEST(SecondOrderFinalisation, EndlessSwitchingEnds) {
  NewtonState state;
  state.active = {{1u, true}};
  FinalisationHooks hooks;
  hooks.switch_off = [&] {
    state.active[1] = false;
    return true;
  };
  hooks.step = [&]() -> Expected<std::optional<Refinement>> {
    state.active[1] = true;
    return std::optional<Refinement>();
  };
  auto r = run_finalisation(state, 20, hooks);
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error(), "Second-order: step 20/20 active-set outer loop did not converge; max substepping reached");
}

}  // namespace

namespace {

// The secant start of the load steps: the line through the last two equilibrium states, the
// solve's start counting at λ = 1 for the first step only.
TEST(SecondOrderSecantStart, FollowsTheLineThroughTheLastTwoEquilibriumStates) {
  const Eigen::VectorXd full = Eigen::VectorXd::Constant(2, 10.0);  // the start, at the full load
  SecantStart secant(true, full);
  // First step, λ = 0.25: on the line from rest to the start.
  auto first = secant.at(0.25);
  ASSERT_TRUE(first);
  EXPECT_DOUBLE_EQ((*first)[0], 2.5);
  // Accepted at 3.0 (the response stiffer than the start said): the start leaves the anchors,
  // the next step follows rest → (0.25, 3.0).
  secant.accepted(0.25, Eigen::VectorXd::Constant(2, 3.0));
  EXPECT_DOUBLE_EQ((*secant.at(0.5))[1], 6.0);
  // Two equilibrium states: (0.25, 3.0) and (0.5, 7.0) give 11.0 at 0.75.
  secant.accepted(0.5, Eigen::VectorXd::Constant(2, 7.0));
  EXPECT_DOUBLE_EQ((*secant.at(0.75))[0], 11.0);
  // A refinement drops every anchor; the refined steps build their own.
  secant.refined();
  EXPECT_FALSE(secant.at(0.125));
  secant.accepted(0.125, Eigen::VectorXd::Constant(2, 1.0));
  EXPECT_FALSE(secant.at(0.25));
  secant.accepted(0.25, Eigen::VectorXd::Constant(2, 2.5));
  EXPECT_DOUBLE_EQ((*secant.at(0.375))[0], 4.0);
}

TEST(SecondOrderSecantStart, DisabledItNeverGivesAStart) {
  SecantStart secant(false, Eigen::VectorXd::Constant(2, 10.0));
  EXPECT_FALSE(secant.at(0.5));
  secant.accepted(0.5, Eigen::VectorXd::Constant(2, 1.0));
  secant.accepted(1.0, Eigen::VectorXd::Constant(2, 2.0));
  EXPECT_FALSE(secant.at(1.0));
}

}  // namespace
