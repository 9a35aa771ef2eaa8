// Second-order solve of load cases and combinations against closed forms: the P-delta sway of
// a cantilever column, the load-stepping rules, refinement to the end and its message, the
// refusal of states beyond the elastic critical load and of loads that nothing resists, and the
// equilibrium of the reactions with the loads on the deformed structure.
#include <gtest/gtest.h>
#include <tbb/global_control.h>

#include <cmath>
#include <functional>
#include <numbers>
#include <optional>
#include <string>
#include <vector>

#include "equilibrium.h"
#include "analysis.h"
#include "global_system_models.h"
#include "models/varn/active_set.h"
#include "models/varn/second_order/driver.h"
#include "models/varn/second_order/newton.h"
#include "models/varn/second_order/state_judgement.h"
#include "models/varn/equilibrium_check.h"
#include "models/varn/varn.h"
#include "models/varn/cached_combinations.h"

namespace {

using namespace varn;
using namespace varn::global_test;
using second_order::SolveReport;

constexpr double kE = 2.1e11;
constexpr double kI = 1e-4;          // EI = 2.1e7 N·m²
constexpr double kHeight = 5.0;
constexpr double kH = 1000.0;        // lateral tip load [N]

// Euler load of a cantilever column: π²EI / (2L)².
double cantilever_critical_load() { return std::numbers::pi * std::numbers::pi * kE * kI / (4.0 * kHeight * kHeight); }

// A vertical cantilever column of `elements` beams, clamped at the base (node 1), with the
// axial load P downwards and H in +X at the tip, in load case 1; order Nonlinear, P-delta.
VARN cantilever_column(int elements, double p) {
  Props props;
  props.e = kE;
  props.area = 1e-2;
  props.i_y = kI;
  props.i_z = kI;
  props.j = 2e-5;
  VARN v = empty_model(props);
  v.nodal_supports.push_back(clamp(1));
  add_line(v, elements, Eigen::Vector3d::Zero(), Eigen::Vector3d::UnitZ(), kHeight, 1u);
  const auto tip = static_cast<std::uint32_t>(elements + 1);
  add_nodal_load(v, 1, tip, p, {0.0, 0.0, -1.0});
  add_nodal_load(v, 1, tip, kH, {1.0, 0.0, 0.0});
  auto& options = v.settings.analysis_options;
  options.order = AnalysisOrder::Nonlinear;
  options.nonlinear_method = NonlinearMethod::PDelta;
  options.tolerance = 1e-8;
  return v;
}

double tip_sway(const Results& r, int elements) {
  return r.displacement_nodes.at(static_cast<std::uint32_t>(elements + 1)).dx;
}

// Stated figures of the ten-element column at half its critical load (consistent geometric
// stiffness): first order HL³/3EI and the P-delta sway. The relative tolerance 1e-3 is far above
// the round-off of a system of 77 DOFs (condition ~1e10 with the support penalty: ~1e-6) and
// well below the 2x amplification the test is about.
constexpr double kFirstOrderSway = 1.984127e-3;
constexpr double kSecondOrderSway = 3.941047e-3;

TEST(SecondOrderColumn, HalfTheCriticalLoadDoublesTheSway) {
  const double p = 0.5 * cantilever_critical_load();
  ASSERT_NEAR(p, 1.036308e6, 1.0);
  VARN v = cantilever_column(10, p);

  auto linear = solve_case(v, 1);
  ASSERT_TRUE(linear) << linear.error();
  EXPECT_NEAR(dof(*linear, 11, 0), kFirstOrderSway, 1e-3 * kFirstOrderSway);

  auto f = v.assemble_load_vector_for_case(1);
  ASSERT_TRUE(f);
  SolveReport report;
  auto r = second_order::solve_second_order(v, *f, "LC1", false, 1, std::nullopt, std::nullopt, &report);
  ASSERT_TRUE(r) << r.error();
  EXPECT_NEAR(tip_sway(*r, 10), kSecondOrderSway, 1e-3 * kSecondOrderSway);
  EXPECT_EQ(report.steps_total, 20u);
  EXPECT_EQ(report.substep_multiplier, 1u);
  EXPECT_EQ(report.iterations_per_step.size(), 20u);
  // The result is stored under the case's name as a second-order set.
  ASSERT_TRUE(v.results);
  EXPECT_EQ(v.results->loadcases.count("LC1"), 1u);
}

}  // namespace

namespace {

// The second-order solve of load case 1 with its report.
Expected<Results> solve_case_reported(VARN& v, std::uint32_t max_iterations, SolveReport& report) {
  auto f = v.assemble_load_vector_for_case(1);
  if (!f) return fail(f.error());
  v.settings.analysis_options.max_iterations = max_iterations;
  return second_order::solve_second_order(v, *f, "LC1", false, 1, std::nullopt, std::nullopt, &report);
}

// One Newton pass at the full load, from the first-order state, settles the column without
// load steps: the pass alone reaches the P-delta sway.
TEST(SecondOrderColumn, OnePassAtTheFullLoadReachesTheSway) {
  VARN v = cantilever_column(10, 0.5 * cantilever_critical_load());
  auto f = v.assemble_load_vector_for_case(1);
  ASSERT_TRUE(f);
  auto first = v.first_order_predictor_state(*f);
  ASSERT_TRUE(first) << first.error();
  EXPECT_NEAR(dof(first->u, 11, 0), kFirstOrderSway, 1e-3 * kFirstOrderSway);

  const AssemblyContext ctx = v.build_lookup_maps();
  auto constrained = v.collect_constrained_dofs_full();
  ASSERT_TRUE(constrained);
  const auto measure = second_order::ResidualMeasure::global(static_cast<std::size_t>(f->size()), *constrained,
                                                             second_order::model_extent(v));
  const second_order::NewtonSetup setup{v, ctx, *constrained, nullptr, 1e-8, 0.0005, 20, false, false,
                                        ResultType::loadcase(1), {}, &measure};
  second_order::NewtonState state;
  state.u = first->u;
  state.active = first->active;
  second_order::TangentSolver solver;
  second_order::NewtonStats stats;
  auto outcome = second_order::run_newton_pass(setup, *f, 1.0, state, solver, false, stats);
  ASSERT_TRUE(outcome) << outcome.error();
  EXPECT_EQ(outcome->end, second_order::PassEnd::Converged);
  EXPECT_FALSE(outcome->tangent_indefinite);
  EXPECT_NEAR(dof(state.u, 11, 0), kSecondOrderSway, 1e-3 * kSecondOrderSway);
  // Equilibrium to the tolerance at the converged state.
  auto f_int = second_order::internal_forces(setup, state.u, state, 1.0);
  ASSERT_TRUE(f_int);
  Eigen::VectorXd r = *f_int - *f;
  // In every direction, against that direction's loads and reactions: within the tolerance, or
  // within the ten tolerances a pass ending on a small step may leave.
  EXPECT_LE(measure.relative(r, *f), 10.0 * 1e-8);
  for (std::size_t d : *constrained) r[static_cast<Eigen::Index>(d)] = 0.0;
  EXPECT_LT(r.norm() / f->norm(), 1e-8);
}

// The judgement of a reported state: the first-order state of the column at half its critical
// load leaves the P-delta shear, as large as the lateral load itself, unbalanced in X, however
// small a share it is of the axial load; the converged P-delta state passes.
TEST(SecondOrderColumn, TheJudgementRefusesTheFirstOrderStateAndKeepsTheConvergedOne) {
  VARN v = cantilever_column(10, 0.5 * cantilever_critical_load());
  auto f = v.assemble_load_vector_for_case(1);
  ASSERT_TRUE(f);
  auto first = v.first_order_predictor_state(*f);
  ASSERT_TRUE(first) << first.error();
  const AssemblyContext ctx = v.build_lookup_maps();
  auto constrained = v.collect_constrained_dofs_full();
  ASSERT_TRUE(constrained);
  auto round_off = EquilibriumCheck::unstabilised_operator(v, &first->active);
  ASSERT_TRUE(round_off);
  const auto measure = second_order::ResidualMeasure::global(static_cast<std::size_t>(f->size()), *constrained,
                                                             second_order::model_extent(v));
  const second_order::NewtonSetup setup{v, ctx, *constrained, nullptr, 1e-6, 0.0005, 20, false, false,
                                        ResultType::loadcase(1), {}, &measure};
  second_order::NewtonState state;
  state.u = first->u;
  state.active = first->active;
  auto judge = [&]() {
    auto f_int = second_order::internal_forces(setup, state.u, state, 1.0);
    if (!f_int) return varn::Expected<second_order::StateFigures>(varn::fail(f_int.error()));
    return second_order::judge_second_order_state(v, ResultType::loadcase(1),
                                                  second_order::JudgedState{state.u, *f_int, *f, state.active},
                                                  *constrained, nullptr, {}, 1e-6, *round_off);
  };
  auto refused = judge();
  ASSERT_FALSE(refused);
  const std::string prefix = "Second-order: the final state is not in equilibrium: its unbalanced force in UX is ";
  const std::string suffix = " of the loads and reactions in that direction (LC 1)";
  const std::string& message = refused.error();
  ASSERT_EQ(message.rfind(prefix, 0), 0u) << message;
  ASSERT_GT(message.size(), prefix.size() + suffix.size()) << message;
  ASSERT_EQ(message.substr(message.size() - suffix.size()), suffix) << message;
  // Spread over the nodes of the column, the unbalanced shear is a third of the X forces (a
  // real share, far above any tolerance: more than a tenth).
  EXPECT_GT(std::stod(message.substr(prefix.size(), message.size() - prefix.size() - suffix.size())), 0.1);

  second_order::TangentSolver solver;
  second_order::NewtonStats stats;
  auto outcome = second_order::run_newton_pass(setup, *f, 1.0, state, solver, false, stats);
  ASSERT_TRUE(outcome) << outcome.error();
  ASSERT_EQ(outcome->end, second_order::PassEnd::Converged);
  auto kept = judge();
  ASSERT_TRUE(kept) << kept.error();
  EXPECT_LE(kept->worst, 10.0 * 1e-6);
}

TEST(SecondOrderColumn, ReactionsBalanceTheLoadsOnTheDeformedColumn) {
  VARN v = cantilever_column(10, 0.5 * cantilever_critical_load());
  auto r = v.solve_for_load_case_second_order(1);
  ASSERT_TRUE(r) << r.error();
  // The base moment carries the load's lever arm on the swayed column: H·L + P·δ.
  const NodeForces& base = r->reaction_nodes.at(1).nodal_forces;
  const double p = 0.5 * cantilever_critical_load();
  EXPECT_NEAR(std::abs(base.my), kH * kHeight + p * tip_sway(*r, 10), 1e-3 * kH * kHeight);
  // The P-delta equations linearise the kinematics: the moments they leave out (P·δ·θ with
  // θ ~ δ/L, H times the axial shortening) are of the order of the moment scale times the
  // largest translation over the structure's extent, δ/L ~ 1e-3. A missing P·δ would be ~0.2
  // of the moment scale.
  EXPECT_TRUE(test::ReactionsBalanceLoadsDeformed(v, *r, test::linearisation_tolerance(v, *r)));
}

// Beyond the Euler load the P-delta equations still have a solution (the column leans against
// the lateral load), but the tangent there is not positive definite: refused.
TEST(SecondOrderColumn, BeyondTheCriticalLoadIsRefused) {
  VARN v = cantilever_column(4, 1.5 * cantilever_critical_load());
  auto r = v.solve_for_load_case_second_order(1);
  ASSERT_FALSE(r);
  EXPECT_TRUE(r.error().starts_with("Second-order: tangent not positive definite at step ")) << r.error();
  EXPECT_TRUE(r.error().ends_with(": the load exceeds the elastic critical load")) << r.error();
  EXPECT_FALSE(v.results.has_value());
}

TEST(SecondOrderStepping, NoIterationsRefinesToTheEndAndFails) {
  VARN v = cantilever_column(4, 1e5);
  SolveReport report;
  auto r = solve_case_reported(v, 0, report);
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error(), "Second-order: step 1/20480 did not converge and max substepping reached");
  EXPECT_FALSE(v.results.has_value());
}

// A cantilever beam along X whose tip end is released in torsion, with a torque about X at the
// tip: nothing stiffens that rotation (the release condenses the beam's torsion away entirely)
// yet it is loaded, so it is no zero-energy DOF. Damping finds a direction, but no step along
// it changes the residual; the solve must fail rather than report the unmoved state as
// converged.
TEST(SecondOrderStepping, LoadThatNothingResistsNeverConverges) {
  // Also with a rigid arm at the free end, so that the solve runs on the eliminated system: its
  // singular reduced tangent yields no direction, which ends like a failed line search.
  for (const bool with_arm : {false, true}) {
    SCOPED_TRACE(with_arm ? "rigid arm" : "no arm");
    VARN v = empty_model();
    v.nodal_supports.push_back(clamp(1));
    MemberHinge torsion_free;
    torsion_free.id = 1;
    torsion_free.rotational_release_mx = 0.0;
    v.memberhinges = std::vector<MemberHinge>{torsion_free};
    Member beam = member(1, node(1, 0, 0, 0, 1), node(2, 3, 0, 0), MemberType::Normal);
    beam.end_hinge = 1u;
    v.member_sets.front().members.push_back(beam);
    if (with_arm) {
      v.member_sets.front().members.push_back(
          member(2, node(2, 3, 0, 0), node(3, 3, 0.5, 0), MemberType::Rigid, std::nullopt));
    }
    add_nodal_load(v, 1, 2, 1000.0, {0.0, 0.0, -1.0});
    NodalMoment torque;
    torque.id = 1;
    torque.node = 2;
    torque.load_case = 1;
    torque.magnitude = 500.0;
    torque.direction = {1.0, 0.0, 0.0};
    load_case(v, 1).nodal_moments.push_back(torque);
    v.settings.analysis_options.tolerance = 1e-6;

    auto k = v.build_operator_with_supports_sparse_internal(ActiveMap{}, nullptr);
    ASSERT_TRUE(k);
    ASSERT_EQ(k->coeff(10, 10), 0.0);  // rotation about X at node 2

    auto r = v.solve_for_load_case_second_order(1);
    ASSERT_FALSE(r);
    // The line search's own words, and then the cause: the tip's twist that nothing resists.
    EXPECT_EQ(r.error(), "Second-order: non-descent at αmin; flip-left failed; max substepping reached. "
                         "Structure is a mechanism: node 2 is free to move in RX (LC 1)");
    EXPECT_FALSE(v.results.has_value());
  }
}

}  // namespace

namespace {

// The X-braced portal of the first-order tests, analysed second-order (kN, m).
VARN braced_portal() {
  auto text = read_text_file(std::string(VARN_FIXTURES_DIR) + "/x_braced_portal_tension_diagonals.json");
  if (!text) return VARN{};
  auto parsed = VARN::from_json(*text);
  VARN v = parsed.value->clone();
  v.settings.analysis_options.order = AnalysisOrder::Nonlinear;
  v.settings.analysis_options.nonlinear_method = NonlinearMethod::PDelta;
  v.normalize_units();
  return v;
}

// A curve spring under the column base in Z: 1e6 N/m up to 1 kN, 5e5 N/m from 2 kN.
void put_column_on_curve_spring(VARN& v) {
  StiffnessCurveConfig curve;
  curve.points = {{1000.0, 1e6}, {2000.0, 5e5}};
  curve.depends_on = ForceComponent::Fz;
  SupportCondition spring = condition(SupportConditionType::Spring, 1e6);
  spring.stiffness_curve = curve;
  v.nodal_supports.front().displacement_conditions["Z"] = spring;
}

struct SteppingCase {
  std::string what;
  std::function<VARN()> model;
  bool combination;
  std::size_t steps;
};

// Load steps at the coarsest subdivision: 20 from the first-order state, 5 when curve supports
// start from a loaded state, 1 for a combination from its superposed cases without ties or
// struts, 20 for one with them.
TEST(SecondOrderStepping, StepsOfTheCoarsestSubdivision) {
  const double p = 0.3 * cantilever_critical_load();
  auto column_with_combination = [p] {
    VARN v = cantilever_column(10, p);
    LoadCombination c;
    c.id = 1;
    c.name = "1.2 LC1";
    c.load_cases_factors[1u] = 1.2;
    v.load_combinations.push_back(c);
    return v;
  };
  auto portal_with_combination = [] { return braced_portal(); };
  const std::vector<SteppingCase> cases = {
      {"load case", [p] { return cantilever_column(10, p); }, false, 20},
      {"load case on a curve support", [p] {
         VARN v = cantilever_column(10, p);
         put_column_on_curve_spring(v);
         return v;
       }, false, 5},
      {"combination from its predictor", column_with_combination, true, 1},
      {"combination with ties", portal_with_combination, true, 20},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    VARN v = c.model();
    if (c.combination) {
      // The load cases first, stored in the model as the pipeline's load-case phase leaves them.
      for (const auto& lc : std::vector<LoadCase>(v.load_cases)) {
        auto r = v.solve_for_load_case_second_order(lc.id);
        ASSERT_TRUE(r) << r.error();
      }
    }
    const std::uint32_t id = c.combination ? v.load_combinations.front().id : 1;
    auto f = c.combination ? v.assemble_load_vector_for_combination(id) : v.assemble_load_vector_for_case(id);
    ASSERT_TRUE(f);
    std::optional<Eigen::VectorXd> predictor;
    std::optional<ActiveMap> initial;
    if (c.combination) {
      predictor = combination_displacement_predictor(v, id);
      ASSERT_TRUE(predictor);
      initial = active_map_from_trial_displacement(v, *predictor);
    }
    SolveReport report;
    auto r = second_order::solve_second_order(v, *f, "x", c.combination, id, predictor, initial, &report);
    ASSERT_TRUE(r) << r.error();
    EXPECT_EQ(report.steps_total, c.steps);
    EXPECT_EQ(report.substep_multiplier, 1u);
    EXPECT_EQ(report.iterations_per_step.size(), c.steps);
    // A spring support reports k·u, the force on the spring rather than on the node, which the
    // balance of reactions with loads does not read.
    if (!has_stiffness_curves(v.nodal_supports)) {
      EXPECT_TRUE(test::ReactionsBalanceLoadsDeformed(v, *r, test::linearisation_tolerance(v, *r)));
    }
  }
}

// Ties that the load leaves slack are switched off, and the stored set agrees with the stored
// flags: every tie still carrying force is in tension within the slack, every other one is
// empty.
TEST(SecondOrderActiveSet, StoredTiesAgreeWithTheStoredDisplacements) {
  VARN v = braced_portal();
  for (const auto& lc : std::vector<LoadCase>(v.load_cases)) {
    auto r = v.solve_for_load_case_second_order(lc.id);
    ASSERT_TRUE(r) << r.error();
    int slack_ties = 0;
    for (const auto& set : v.member_sets) {
      for (const auto& m : set.members) {
        if (m.member_type != MemberType::Tension) continue;
        const MemberResult& mr = r->member_results.at(m.id);
        const double n = mr.local_end_forces.fx;
        if (mr.local_start_forces.fx == 0.0 && n == 0.0) {
          ++slack_ties;
        } else {
          EXPECT_GE(n, -v.settings.analysis_options.axial_slack) << lc.name << " member " << m.id;
        }
      }
    }
    EXPECT_LE(slack_ties, 2);
    EXPECT_TRUE(test::ReactionsBalanceLoadsDeformed(v, *r, test::linearisation_tolerance(v, *r))) << lc.name;
  }
}

}  // namespace

namespace {

// The braced portal with its three load cases (in parallel) and three combinations (always in
// parallel), second-order: the same output bytes on one thread and on all, run after run.
TEST(SecondOrderPipeline, SameBytesOnOneThreadAndOnAll) {
  auto text = read_text_file(std::string(VARN_FIXTURES_DIR) + "/x_braced_portal_tension_diagonals.json");
  ASSERT_TRUE(text);
  auto parsed = VARN::from_json(*text);
  ASSERT_TRUE(parsed.ok());
  parsed.value->settings.analysis_options.order = AnalysisOrder::Nonlinear;
  parsed.value->settings.analysis_options.nonlinear_method = NonlinearMethod::PDelta;
  std::string model;
  ASSERT_TRUE(parsed.value->serialize(model));

  auto all = run_pipeline_from_json(model);
  ASSERT_TRUE(all) << all.error();
  EXPECT_NE(all->find("\"loadcombinations\":{\"Dead\""), std::string::npos);
  for (int repeat = 0; repeat < 3; ++repeat) {
    tbb::global_control serial(tbb::global_control::max_allowed_parallelism, 1);
    auto one = run_pipeline_from_json(model);
    ASSERT_TRUE(one) << one.error();
    EXPECT_TRUE(*one == *all);
  }
  auto again = run_pipeline_from_json(model);
  ASSERT_TRUE(again);
  EXPECT_TRUE(*again == *all);
}

}  // namespace

namespace {

// The column's loads hung on a short rigid arm at the tip, the arm eliminated (the reduced
// tangent Cᵀ(K + K_G)C stays sparse): the same as the loads moved to the tip with the moment of
// their offset, to the solve tolerance and the rotation of the arm (its linearised kinematics
// move the loads by θ × r, second order in the arm's rotation).
TEST(SecondOrderRigidPath, LoadsOnAnEliminatedArmActAtItsMaster) {
  const double p = 0.3 * cantilever_critical_load();
  const double arm = 0.1;
  VARN linked = cantilever_column(10, 0.0);
  linked.load_cases.clear();
  linked.member_sets.front().members.push_back(
      member(11, node(11, 0.0, 0.0, kHeight), node(12, arm, 0.0, kHeight), MemberType::Rigid, std::nullopt));
  add_nodal_load(linked, 1, 12, p, {0.0, 0.0, -1.0});
  add_nodal_load(linked, 1, 12, kH, {1.0, 0.0, 0.0});
  ASSERT_TRUE(linked.needs_dense_rigid_path());

  VARN direct = cantilever_column(10, p);
  NodalMoment offset;
  offset.id = 1;
  offset.node = 11;
  offset.load_case = 1;
  offset.magnitude = p * arm;  // (arm, 0, 0) × (0, 0, −P) = (0, P·arm, 0)
  offset.direction = {0.0, 1.0, 0.0};
  load_case(direct, 1).nodal_moments.push_back(offset);

  auto a = linked.solve_for_load_case_second_order(1);
  ASSERT_TRUE(a) << a.error();
  auto b = direct.solve_for_load_case_second_order(1);
  ASSERT_TRUE(b) << b.error();
  const NodeDisplacement& ta = a->displacement_nodes.at(11);
  const NodeDisplacement& tb = b->displacement_nodes.at(11);
  // Scale of the disagreement allowed: the tolerance of either solve (1e-8 of the load) and
  // the arm's rotation times its length relative to the sway (θ·r·θ/δ ~ 1e-6 here).
  EXPECT_NEAR(ta.dx, tb.dx, 1e-5 * std::abs(tb.dx));
  EXPECT_NEAR(ta.dz, tb.dz, 1e-5 * std::abs(tb.dz));
  EXPECT_NEAR(ta.ry, tb.ry, 1e-5 * std::abs(tb.ry));
  // The slave follows its master rigidly.
  const NodeDisplacement& slave = a->displacement_nodes.at(12);
  EXPECT_NEAR(slave.dz, ta.dz - ta.ry * arm, 1e-12);
  EXPECT_TRUE(test::ReactionsBalanceLoadsDeformed(linked, *a, test::linearisation_tolerance(linked, *a)));
}

}  // namespace
