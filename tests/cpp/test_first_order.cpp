// First-order solves: the active-set loop of one load case, the batched solves, the cached
// combination system with its re-solve, and the combination predictor; checked against
// superposition, the same frame without its slack members, and the balance of reactions and
// loads, on the module's fixture models converted to SI.
#include <gtest/gtest.h>

#include <cmath>
#include <optional>
#include <regex>
#include <string>
#include <vector>

#include <tbb/global_control.h>
#include <tbb/parallel_for.h>

#include "analysis.h"
#include "equilibrium.h"
#include "fatal.h"
#include "fixture_models.h"
#include "functions/geometry.h"
#include "global_system_models.h"
#include "models/varn/active_set.h"
#include "models/varn/varn.h"
#include "models/varn/cached_combinations.h"
#include "models/varn/first_order.h"

using namespace varn;

namespace {

const std::string kFixtures = VARN_FIXTURES_DIR;

std::string fixture_text(const std::string& name) {
  auto text = read_text_file(kFixtures + "/" + name);
  if (!text) throw std::runtime_error("cannot read fixture " + name + ": " + text.error());
  return *text;
}

using varn::testing::load_si;

const std::string kSpaceFrame = "space_frame_two_storeys.json";
const std::string kXBraced = "x_braced_portal_tension_diagonals.json";
const std::string kHanger = "cantilever_with_tension_hanger.json";

Eigen::VectorXd displacement_vector(const VARN& model, const Results& r) {
  const auto n = static_cast<Eigen::Index>(compute_num_dofs_from_members(model.member_sets));
  Eigen::VectorXd u = Eigen::VectorXd::Zero(n);
  for (const auto& [id, d] : r.displacement_nodes) {
    const auto b = static_cast<Eigen::Index>(7 * (id - 1));
    const double values[7] = {d.dx, d.dy, d.dz, d.rx, d.ry, d.rz, d.warp};
    for (int k = 0; k < 7; ++k) u[b + k] = values[k];
  }
  return u;
}

// The global end forces of every member, stacked.
Eigen::VectorXd member_force_vector(const Results& r) {
  std::vector<double> v;
  for (const auto& [id, m] : r.member_results) {
    for (const NodeForces* f : {&m.start_node_forces, &m.end_node_forces}) {
      for (double x : {f->fx, f->fy, f->fz, f->mx, f->my, f->mz}) v.push_back(x);
    }
  }
  return Eigen::Map<Eigen::VectorXd>(v.data(), static_cast<Eigen::Index>(v.size()));
}

::testing::AssertionResult close_relative(const Eigen::VectorXd& a, const Eigen::VectorXd& b, double rel) {
  if (a.size() != b.size()) return ::testing::AssertionFailure() << "sizes " << a.size() << " and " << b.size();
  const double diff = (a - b).lpNorm<Eigen::Infinity>();
  const double scale = std::max(a.lpNorm<Eigen::Infinity>(), b.lpNorm<Eigen::Infinity>());
  if (diff <= rel * scale) return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure() << "max difference " << diff << " > " << rel << " x " << scale;
}

const Results& stored_case(const VARN& model, const std::string& name) { return model.results->loadcases.at(name); }
const Results& stored_combo(const VARN& model, const std::string& name) {
  return model.results->loadcombinations.at(name);
}

const LoadCombination& combination(const VARN& model, std::uint32_t id) {
  for (const auto& c : model.load_combinations)
    if (c.id == id) return c;
  throw std::runtime_error("no combination " + std::to_string(id));
}

bool all_zero(const MemberResult& r) {
  for (const NodeForces* f : {&r.start_node_forces, &r.end_node_forces, &r.local_start_forces, &r.local_end_forces})
    for (double x : {f->fx, f->fy, f->fz, f->mx, f->my, f->mz, f->bw})
      if (x != 0.0) return false;
  return true;
}

VARN without_member(VARN model, std::uint32_t id) {
  for (auto& set : model.member_sets) std::erase_if(set.members, [&](const Member& m) { return m.id == id; });
  return model;
}

// ---- batched and one-by-one paths ------------------------------------------------------------

TEST(FirstOrderBatched, LoadCasesAgreeWithTheOneByOneSolve) {
  VARN batched = load_si(kSpaceFrame);
  VARN single = batched;
  ASSERT_TRUE(solve_load_cases_batched_first_order(batched, {1, 2}));
  for (const auto& lc : single.load_cases) {
    auto r = solve_for_load_case(single, lc.id);
    ASSERT_TRUE(r) << r.error();
    EXPECT_EQ(r->name, lc.name);
  }
  for (const auto& lc : batched.load_cases) {
    const Results& a = stored_case(batched, lc.name);
    const Results& b = stored_case(single, lc.name);
    EXPECT_TRUE(close_relative(displacement_vector(batched, a), displacement_vector(single, b), 1e-9)) << lc.name;
    EXPECT_TRUE(close_relative(member_force_vector(a), member_force_vector(b), 1e-9)) << lc.name;
    EXPECT_EQ(a.result_type, ResultType::loadcase(lc.id));
  }
}

TEST(FirstOrderBatched, CombinationIsTheFactorWeightedSumOfItsCases) {
  VARN model = load_si(kSpaceFrame);
  ASSERT_TRUE(solve_load_cases_batched_first_order(model, {1, 2}));
  ASSERT_TRUE(solve_load_combinations_batched_first_order(model, {1, 2, 3}));
  for (const auto& combo : model.load_combinations) {
    Eigen::VectorXd u_sum = Eigen::VectorXd::Zero(displacement_vector(model, stored_case(model, "Dead")).size());
    Eigen::VectorXd f_sum = Eigen::VectorXd::Zero(member_force_vector(stored_case(model, "Dead")).size());
    for (const auto& [case_id, factor] : combo.load_cases_factors) {
      const Results& part = stored_case(model, model.load_cases[case_id - 1].name);
      u_sum += factor * displacement_vector(model, part);
      f_sum += factor * member_force_vector(part);
    }
    const Results& r = stored_combo(model, combo.name);
    EXPECT_EQ(r.result_type, ResultType::loadcombination(combo.id));
    EXPECT_TRUE(close_relative(displacement_vector(model, r), u_sum, 1e-9)) << combo.name;
    EXPECT_TRUE(close_relative(member_force_vector(r), f_sum, 1e-9)) << combo.name;
  }
}

TEST(FirstOrderBatched, AMissingLoadCaseFailsTheBatchBeforeAnySolve) {
  VARN model = load_si(kSpaceFrame);
  auto done = solve_load_cases_batched_first_order(model, {1, 99, 2});
  ASSERT_FALSE(done);
  EXPECT_EQ(done.error(), "LoadCase 99 not found.");
  EXPECT_FALSE(model.results.has_value());

  auto combos = solve_load_combinations_batched_first_order(model, {1, 42});
  ASSERT_FALSE(combos);
  EXPECT_EQ(combos.error(), "LoadCombination 42 not found.");
  EXPECT_FALSE(model.results.has_value());
}

TEST(FirstOrderBatched, AnEmptyListSolvesNothing) {
  VARN model = load_si(kSpaceFrame);
  EXPECT_TRUE(solve_load_cases_batched_first_order(model, {}));
  EXPECT_TRUE(solve_load_combinations_batched_first_order(model, {}));
  EXPECT_FALSE(model.results.has_value());
}

// ---- the single-case active-set loop ---------------------------------------------------------

struct LoopCase {
  std::string fixture;
  std::uint32_t load_case;
  std::optional<std::uint32_t> max_iterations;
  std::optional<unsigned> passes;  // absent: the solve must fail
};

class ActiveSetLoop : public ::testing::TestWithParam<LoopCase> {};

TEST_P(ActiveSetLoop, PassCountAndLimit) {
  const LoopCase& c = GetParam();
  VARN model = load_si(c.fixture);
  model.settings.analysis_options.max_iterations = c.max_iterations;
  auto solved = solve_load_case_unstored(model, c.load_case);
  if (!c.passes) {
    ASSERT_FALSE(solved);
    EXPECT_EQ(solved.error(), "Active-set iteration did not converge within " +
                                  std::to_string(c.max_iterations.value_or(20)) + " iterations");
    return;
  }
  ASSERT_TRUE(solved) << solved.error();
  EXPECT_EQ(solved->stats.iterations, *c.passes);
}

INSTANTIATE_TEST_SUITE_P(
    FirstOrder, ActiveSetLoop,
    ::testing::Values(
        // Nothing switches: the first pass solves, the second confirms with du = 0.
        LoopCase{kHanger, 1, std::nullopt, 2u}, LoopCase{kHanger, 1, 2u, 2u}, LoopCase{kSpaceFrame, 1, 2u, 2u},
        // Too few passes to confirm, and none at all.
        LoopCase{kHanger, 1, 1u, std::nullopt}, LoopCase{kHanger, 1, 0u, std::nullopt},
        // The compressed rod leaves in the first pass, the second moves the frame, the third confirms.
        LoopCase{kXBraced, 1, std::nullopt, 3u}, LoopCase{kXBraced, 2, std::nullopt, 3u},
        LoopCase{kXBraced, 1, 2u, std::nullopt},
        // The hanger pushed up leaves in the first pass.
        LoopCase{kHanger, 2, std::nullopt, 3u}));

TEST(FirstOrderSingle, MissingLoadCaseStoresNothing) {
  VARN model = load_si(kHanger);
  auto r = solve_for_load_case(model, 7);
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error(), "LoadCase 7 not found.");
  EXPECT_FALSE(model.results.has_value());
}

TEST(FirstOrderSingle, DuplicateCaseNameIsStoredUnderAUniqueName) {
  VARN model = load_si(kHanger);
  model.load_cases[1].name = model.load_cases[0].name;
  auto first = solve_for_load_case(model, 1);
  auto second = solve_for_load_case(model, 2);
  ASSERT_TRUE(first && second);
  EXPECT_EQ(first->name, "Down");
  EXPECT_EQ(second->name, "Down (2)");
  EXPECT_EQ(model.results->loadcases.at("Down (2)").result_type, ResultType::loadcase(2));
}

// ---- tension-only X-bracing ------------------------------------------------------------------

struct BracingCase {
  std::uint32_t load_case;
  std::uint32_t off_member;
};

class XBracing : public ::testing::TestWithParam<BracingCase> {};

TEST_P(XBracing, CompressedDiagonalSwitchesOffAndTheFrameActsWithoutIt) {
  const BracingCase& c = GetParam();
  VARN model = load_si(kXBraced);
  auto solved = solve_load_case_unstored(model, c.load_case);
  ASSERT_TRUE(solved) << solved.error();
  EXPECT_FALSE(is_member_active(solved->active, c.off_member));
  EXPECT_TRUE(is_member_active(solved->active, 9 - c.off_member));
  EXPECT_TRUE(all_zero(solved->member_results.at(c.off_member)));

  VARN braced_once = without_member(model, c.off_member);
  auto reference = solve_load_case_unstored(braced_once, c.load_case);
  ASSERT_TRUE(reference) << reference.error();
  EXPECT_TRUE(close_relative(solved->u, reference->u, 1e-6));
  solved->member_results.erase(c.off_member);
  Results a, b;
  a.member_results = solved->member_results;
  b.member_results = reference->member_results;
  EXPECT_TRUE(close_relative(member_force_vector(a), member_force_vector(b), 1e-6));
}

INSTANTIATE_TEST_SUITE_P(FirstOrder, XBracing, ::testing::Values(BracingCase{1, 5}, BracingCase{2, 4}));

// ---- combination predictor -------------------------------------------------------------------

TEST(CombinationPredictor, AbsentWithoutStoredCaseResults) {
  VARN model = load_si(kXBraced);
  EXPECT_FALSE(combination_displacement_predictor(model, 1).has_value());
  ASSERT_TRUE(solve_for_load_case(model, 1));  // "Wind +X" only: "Dead" has no stored set
  EXPECT_FALSE(combination_displacement_predictor(model, 1).has_value());
  EXPECT_FALSE(combination_displacement_predictor(model, 99).has_value());
}

TEST(CombinationPredictor, IsTheFactorWeightedSumOfStoredDisplacementsWithoutWarping) {
  VARN model = load_si(kXBraced);
  for (std::uint32_t id : {1u, 2u, 3u}) ASSERT_TRUE(solve_for_load_case(model, id));
  const std::size_t n = compute_num_dofs_from_members(model.member_sets);
  auto p = combination_displacement_predictor(model, 1);
  ASSERT_TRUE(p.has_value());
  Eigen::VectorXd expected = Eigen::VectorXd::Zero(static_cast<Eigen::Index>(n));
  expected += 1.35 * displacement_vector(model, stored_case(model, "Dead"));
  expected += 1.5 * displacement_vector(model, stored_case(model, "Wind +X"));
  for (std::size_t node = 0; node < n / 7; ++node) expected[static_cast<Eigen::Index>(7 * node + 6)] = 0.0;
  EXPECT_EQ(*p, expected);  // the same sum in the same order
}

TEST(CombinationPredictor, CombinationWithoutFactorsPredictsRest) {
  VARN model = load_si(kXBraced);
  model.load_combinations[0].load_cases_factors = {};
  auto p = combination_displacement_predictor(model, 1);
  ASSERT_TRUE(p.has_value());
  EXPECT_EQ(p->norm(), 0.0);
}

TEST(CombinationPredictor, StoredNodeOutsideTheSystemIsAFault) {
  Results r;
  r.displacement_nodes[1] = NodeDisplacement{1, 2, 3, 4, 5, 6, 7};
  const Eigen::VectorXd v = pack_displacement_vector(r, 14);
  EXPECT_EQ(v.head<7>(), (Eigen::Matrix<double, 7, 1>() << 1, 2, 3, 4, 5, 6, 0).finished());
  r.displacement_nodes[3] = NodeDisplacement{};
  EXPECT_THROW(pack_displacement_vector(r, 14), FatalFault);
  Results zero;
  zero.displacement_nodes[0] = NodeDisplacement{};
  EXPECT_THROW(pack_displacement_vector(zero, 14), FatalFault);
}

// ---- cached combination system ---------------------------------------------------------------

TEST(CachedCombinations, CompressedTieTakesTheReSolveAndEndsSwitchedOff) {
  VARN model = load_si(kXBraced);
  auto cache = CachedCombinations::build(model);
  ASSERT_TRUE(cache) << cache.error();
  EXPECT_TRUE(std::holds_alternative<PenalisedSparseFirstOrder>(cache->system().form));
  for (std::uint32_t id : {1u, 2u, 3u}) {
    auto cached = cache->solve(id);
    ASSERT_TRUE(cached) << cached.error();
    EXPECT_EQ(cached->name, combination(model, id).name);
    auto own = solve_combination_active_set(model, id);  // full loop from rest
    ASSERT_TRUE(own) << own.error();
    EXPECT_TRUE(close_relative(displacement_vector(model, *cached), displacement_vector(model, *own), 1e-9));
    EXPECT_TRUE(close_relative(member_force_vector(*cached), member_force_vector(*own), 1e-9));
  }
  auto plus = cache->solve(1);
  EXPECT_TRUE(all_zero(plus->member_results.at(5)));
  EXPECT_FALSE(all_zero(plus->member_results.at(4)));
  EXPECT_FALSE(model.results.has_value());  // nothing is stored
}

// The loads prepared beside the switch basis, each vector with the forward half of its solve,
// are what each load case's and combination's first pass would make itself: every solution is
// the same bits with them as without. A combination that does not assemble is not prepared;
// its own solve words the failure.
TEST(CachedCombinations, LoadsPreparedBesideTheBasisGiveTheSameBits) {
  VARN model = load_si(kXBraced);
  auto plain = CachedCombinations::build(model);
  auto prepared = CachedCombinations::build(model, {1, 2, 3}, {1, 2, 3, 99});
  ASSERT_TRUE(plain && prepared);
  ASSERT_TRUE(prepared->system().switch_basis);
  EXPECT_TRUE(prepared->system().switch_basis->reads_axial_forces());  // the first passes read the forward halves
  EXPECT_TRUE(plain->system().case_loads.empty() && plain->system().combination_loads.empty());
  EXPECT_EQ(prepared->system().case_loads.size(), 3u);
  EXPECT_EQ(prepared->system().combination_loads.size(), 3u);
  for (std::uint32_t id : {1u, 2u, 3u}) {
    EXPECT_EQ(prepared->system().case_loads.at(id).f, *model.assemble_load_vector_for_case(id));
    auto without = solve_load_case_unstored(model, id, &plain->system());
    auto with = solve_load_case_unstored(model, id, &prepared->system());
    ASSERT_TRUE(without && with);
    EXPECT_EQ(with->u, without->u) << "load case " << id;
    auto combined_without = plain->solve(id);
    auto combined_with = prepared->solve(id);
    ASSERT_TRUE(combined_without && combined_with);
    EXPECT_EQ(displacement_vector(model, *combined_with), displacement_vector(model, *combined_without))
        << "combination " << id;
  }
  auto missing = prepared->solve(99);
  ASSERT_FALSE(missing);
  EXPECT_NE(missing.error().find("99"), std::string::npos) << missing.error();
}

TEST(CachedCombinations, SolutionThatAgreesWithTheTiesStands) {
  VARN model = load_si(kHanger);
  auto cache = CachedCombinations::build(model);
  ASSERT_TRUE(cache) << cache.error();
  auto down = cache->solve(1);
  ASSERT_TRUE(down) << down.error();
  auto single = solve_load_case_unstored(model, 1);
  ASSERT_TRUE(single);
  EXPECT_TRUE(close_relative(displacement_vector(model, *down), single->u, 1e-12));
  // With one pass allowed the loop could not finish: the cached solution needed none.
  model.settings.analysis_options.max_iterations = 1;
  EXPECT_TRUE(cache->solve(1));
  auto up = cache->solve(2);
  ASSERT_FALSE(up);
  EXPECT_EQ(up.error(), "Active-set iteration did not converge within 1 iterations");
}

// The cached system is factorised when it is built; every combination whose cached solution
// stands is one solve against that factor, however many run at once, and gets the bits a lone
// solve gets.
TEST(CachedCombinations, FactorisedOnceAndSolvedInParallelAgainstTheKeptFactor) {
  VARN model = load_si(kHanger);
  const std::size_t before = sparse_numeric_factorization_count();
  auto cache = CachedCombinations::build(model);
  ASSERT_TRUE(cache) << cache.error();
  EXPECT_EQ(sparse_numeric_factorization_count() - before, 1u);
  auto lone = cache->solve(1);  // the combination whose solution stands
  ASSERT_TRUE(lone) << lone.error();
  const Eigen::VectorXd u_lone = displacement_vector(model, *lone);
  constexpr int kTasks = 12;
  std::vector<std::optional<Eigen::VectorXd>> u(kTasks);
  tbb::parallel_for(0, kTasks, [&](int t) {
    auto r = cache->solve(1);
    if (r) u[static_cast<std::size_t>(t)] = displacement_vector(model, *r);
  });
  EXPECT_EQ(sparse_numeric_factorization_count() - before, 1u);
  for (int t = 0; t < kTasks; ++t) {
    ASSERT_TRUE(u[static_cast<std::size_t>(t)].has_value()) << "task " << t;
    EXPECT_EQ(*u[static_cast<std::size_t>(t)], u_lone) << "task " << t;
  }
}

TEST(CachedCombinations, RigidLinksWithoutTiesKeepTheCachedSolution) {
  using namespace global_test;
  // A cantilever whose tip carries a rigid arm; the load acts at the end of the arm.
  VARN model = empty_model();
  model.nodal_supports.push_back(clamp(1));
  auto& members = model.member_sets.front().members;
  members.push_back(global_test::member(1, node(1, 0, 0, 0, 1), node(2, 3, 0, 0), MemberType::Normal));
  members.push_back(global_test::member(2, node(2, 3, 0, 0), node(3, 3, 1, 0), MemberType::Rigid));
  add_nodal_load(model, 1, 3, 1000.0, {0.0, 0.0, -1.0});
  LoadCombination combo;
  combo.id = 1;
  combo.name = "Arm";
  combo.load_cases_factors[1u] = 2.0;
  model.load_combinations.push_back(combo);
  ASSERT_TRUE(model.needs_dense_rigid_path());

  auto cache = CachedCombinations::build(model);
  ASSERT_TRUE(cache) << cache.error();
  ASSERT_TRUE(std::holds_alternative<PrecomputedFirstOrder>(cache->system().form));
  const std::size_t factorised = sparse_numeric_factorization_count();
  auto r = cache->solve(1);
  ASSERT_TRUE(r) << r.error();
  EXPECT_EQ(sparse_numeric_factorization_count(), factorised);  // solved on the kept factor
  auto reference = solve_case(model, 1);
  ASSERT_TRUE(reference) << reference.error();
  EXPECT_TRUE(close_relative(displacement_vector(model, *r), 2.0 * *reference, 1e-9));
  // Bending plus torsion of the cantilever by the arm's eccentric load: tip twist T·L/(G·J).
  const double twist = 2000.0 * 1.0 * 3.0 / (8.1e10 * 3e-6);
  EXPECT_NEAR(std::abs(dof(displacement_vector(model, *r), 2, 3)), twist, 1e-6 * twist);
  EXPECT_TRUE(test::ReactionsBalanceLoads(model, *r));
}

TEST(CachedCombinations, SingularReducedSystemIsReportedNotSolved) {
  using namespace global_test;
  // A beam and a rigid arm with no support at all: six rigid-body motions remain.
  VARN model = empty_model();
  auto& members = model.member_sets.front().members;
  members.push_back(global_test::member(1, node(1, 0, 0, 0), node(2, 3, 0, 0), MemberType::Normal));
  members.push_back(global_test::member(2, node(2, 3, 0, 0), node(3, 3, 1, 0), MemberType::Rigid));
  add_nodal_load(model, 1, 3, 1000.0, {0.0, 0.0, -1.0});
  LoadCombination combo;
  combo.id = 1;
  combo.name = "Floating";
  combo.load_cases_factors[1u] = 1.0;
  model.load_combinations.push_back(combo);

  auto cache = CachedCombinations::build(model);
  ASSERT_TRUE(cache) << cache.error();
  auto r = cache->solve(1);
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error(), "Cached dense LU: reduced system singular");
  auto single = solve_for_load_case(model, 1);
  ASSERT_FALSE(single);
  // The floating structure moves as a rigid body: the message names a DOF of one of its nodes.
  EXPECT_TRUE(std::regex_match(single.error(), std::regex("Stiffness matrix is singular or near-singular: node [1-3] "
                                                          "is free to move in (UX|UY|UZ|RX|RY|RZ)")))
      << single.error();
}

TEST(CachedCombinations, MissingCombinationIsReported) {
  VARN model = load_si(kHanger);
  auto cache = CachedCombinations::build(model);
  ASSERT_TRUE(cache);
  auto r = cache->solve(5);
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error(), "LoadCombination 5 not found.");
}

TEST(CombinationResolve, TieSwitchedOffAtTheStartComesBackAndTheSolveAgreesWithIt) {
  // Started with the hanger off and no reactivation inside the loop, the cantilever sags far;
  // the closing pass puts the stretched hanger back and the loop runs again with it.
  VARN model = load_si(kHanger);
  auto f = model.assemble_load_vector_for_case(1);
  ASSERT_TRUE(f);
  ActiveMap off = init_active_map_tie_comp(model);
  off[2] = false;
  FirstOrderLoopStats stats;
  auto warm = solve_first_order_active_set(model, *f, Eigen::VectorXd::Zero(f->size()), off, false, &stats);
  ASSERT_TRUE(warm) << warm.error();
  EXPECT_TRUE(is_member_active(warm->active, 2));
  auto reference = solve_load_case_unstored(model, 1);
  ASSERT_TRUE(reference);
  EXPECT_TRUE(close_relative(warm->u, reference->u, 1e-12));
  EXPECT_GT(stats.iterations, 2u);
}

// ---- balance and determinism -----------------------------------------------------------------

struct BalanceCase {
  std::string fixture;
  double rel_tol;
};

class EveryResultSet : public ::testing::TestWithParam<BalanceCase> {};

TEST_P(EveryResultSet, ReactionsBalanceLoads) {
  const BalanceCase& c = GetParam();
  VARN model = load_si(c.fixture);
  std::vector<std::uint32_t> cases, combos;
  for (const auto& lc : model.load_cases) cases.push_back(lc.id);
  for (const auto& co : model.load_combinations) combos.push_back(co.id);
  std::vector<Results> sets;
  if (model.has_tension_compression_members() || model.has_rigid_members()) {
    for (std::uint32_t id : cases) {
      auto r = solve_for_load_case(model, id);
      ASSERT_TRUE(r) << r.error();
    }
    auto cache = CachedCombinations::build(model);
    ASSERT_TRUE(cache);
    for (std::uint32_t id : combos) {
      auto r = cache->solve(id);
      ASSERT_TRUE(r) << r.error();
      sets.push_back(*r);
    }
  } else {
    ASSERT_TRUE(solve_load_cases_batched_first_order(model, cases));
    ASSERT_TRUE(solve_load_combinations_batched_first_order(model, combos));
    for (const auto& [name, r] : model.results->loadcombinations) sets.push_back(r);
  }
  for (const auto& [name, r] : model.results->loadcases) sets.push_back(r);
  ASSERT_EQ(sets.size(), cases.size() + combos.size());
  // A switched-off tie keeps 1e-10 of its stiffness in the solve but is reported without force.
  for (const Results& r : sets) EXPECT_TRUE(test::ReactionsBalanceLoads(model, r, c.rel_tol)) << r.name;
}

INSTANTIATE_TEST_SUITE_P(FirstOrder, EveryResultSet,
                         ::testing::Values(BalanceCase{kSpaceFrame, 1e-9}, BalanceCase{kXBraced, 1e-7},
                                           BalanceCase{kHanger, 1e-7}));

TEST(FirstOrderPipeline, SameBytesOnOneThreadAndOnAll) {
  for (const std::string& name : {kSpaceFrame, kXBraced, kHanger}) {
    const std::string text = fixture_text(name);
    auto all = run_pipeline_from_json(text);
    ASSERT_TRUE(all) << all.error();
    std::optional<Expected<std::string>> one;
    {
      tbb::global_control serial(tbb::global_control::max_allowed_parallelism, 1);
      one.emplace(run_pipeline_from_json(text));
    }
    ASSERT_TRUE(*one);
    EXPECT_TRUE(**one == *all) << name;
    auto again = run_pipeline_from_json(text);
    EXPECT_TRUE(*again == *all) << name;
  }
}

}  // namespace
