// The factor the active-set loop solves with: the request's all-on factor serves the first
// pass; a switched tie is solved through the request's switch basis (no factorisation and no
// update at all) or, where there is none, followed by a low-rank update of the kept factor;
// every solution is that of the operator the loop assembled for its tie/strut state, as a
// fresh factorisation of that operator gives it; the reactions of such a solution balance the
// loads.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <string>
#include <tuple>
#include <variant>
#include <vector>

#include "analysis.h"
#include "analysis_paths.h"
#include "equilibrium.h"
#include "fixture_models.h"
#include "functions/sparse.h"
#include "models/varn/active_set.h"
#include "models/varn/active_set_factor.h"
#include "models/varn/equilibrium_check.h"
#include "models/varn/switched_operator.h"
#include "models/varn/varn.h"
#include "models/varn/cached_combinations.h"
#include "models/varn/first_order.h"

using namespace varn;

namespace {

using varn::testing::load_si;

const std::string kXBraced = "x_braced_portal_tension_diagonals.json";
// A node hung on ties alone: states with its ties off are held by the ties' traces only.
const std::string kNodeOnTies = "node_on_ties_started_from_poor_guess.json";

const Member* find_member(const VARN& model, std::uint32_t id) {
  for (const auto& set : model.member_sets)
    for (const auto& m : set.members)
      if (m.id == id) return &m;
  throw std::runtime_error("no member " + std::to_string(id));
}

double relative_difference(const Eigen::VectorXd& a, const Eigen::VectorXd& b) {
  return (a - b).lpNorm<Eigen::Infinity>() / b.lpNorm<Eigen::Infinity>();
}

// u for the operator of `active` by a fresh factorisation, with the penalty the loop holds.
Eigen::VectorXd fresh_solution(const VARN& model, const ActiveMap& active, const Eigen::VectorXd& f, double penalty) {
  auto k = model.build_operator_with_supports_sparse_internal(active, nullptr);
  auto constrained = model.collect_constrained_dofs_full();
  if (!k || !constrained) throw std::runtime_error("cannot build the operator");
  ConstrainedSparseSolver solver;
  solver.factorize_with_penalty(*k, *constrained, penalty);
  auto u = solver.solve_vector(f);
  if (!u) throw std::runtime_error("singular operator");
  return *u;
}

// The portal's stiffness spans about seven decades (the columns' bending against the braces'
// axial stiffness and the 1e-10 traces of switched ties), so two backward-stable solutions of
// one operator agree to about 1e7 · (entries an elimination sums) · ε ≈ 1e-8 of the largest
// displacement at worst; the refinement of an updated factor drives its residual to 1e-12 of
// |K|·|u|, below that.
constexpr double kSameOperator = 1e-8;

}  // namespace

// Each load case of the portal, through the switch basis and without it (the kept factor's
// low-rank updates then stand for it).
class SharedFactorLoop : public ::testing::TestWithParam<std::tuple<std::uint32_t, bool>> {};

TEST_P(SharedFactorLoop, FirstPassSharesTheFactorAndTheSwitchedTieNeedsNoFactorisation) {
  const auto [load_case, with_basis] = GetParam();
  VARN model = load_si(kXBraced);
  auto cache = CachedCombinations::build(model);
  ASSERT_TRUE(cache) << cache.error();
  ASSERT_TRUE(cache->system().switch_basis);
  if (!with_basis) cache->system().switch_basis.reset();
  const auto& penalised = std::get<PenalisedSparseFirstOrder>(cache->system().form);

  const std::size_t factorisations = sparse_numeric_factorization_count();
  const std::size_t updates = sparse_low_rank_update_count();
  auto shared = solve_load_case_unstored(model, load_case, &cache->system());
  ASSERT_TRUE(shared) << shared.error();
  // One tie switches off: the all-on factor served the first pass, the basis or an update the
  // second.
  const unsigned expected_updates = with_basis ? 0u : 1u;
  EXPECT_EQ(shared->stats.factorizations, 0u);
  EXPECT_EQ(shared->stats.low_rank_updates, expected_updates);
  EXPECT_EQ(sparse_numeric_factorization_count() - factorisations, 0u);
  EXPECT_EQ(sparse_low_rank_update_count() - updates, expected_updates);
  EXPECT_EQ(std::count_if(shared->active.begin(), shared->active.end(), [](const auto& e) { return !e.second; }), 1);

  auto f = model.assemble_load_vector_for_case(load_case);
  ASSERT_TRUE(f);
  EXPECT_LE(relative_difference(shared->u, fresh_solution(model, shared->active, *f, penalised.solver.penalty())),
            kSameOperator);

  // The loop on its own factorises the all-on operator itself and ends where the shared one did.
  auto own = solve_load_case_unstored(model, load_case);
  ASSERT_TRUE(own) << own.error();
  EXPECT_EQ(own->stats.factorizations, 1u);
  EXPECT_EQ(own->active, shared->active);
  EXPECT_LE(relative_difference(shared->u, own->u), kSameOperator);

  auto stored = store_load_case_solution(model, load_case, std::move(*shared));
  ASSERT_TRUE(stored) << stored.error();
  // A switched-off tie keeps 1e-10 of its stiffness in the solve but is reported without force.
  EXPECT_TRUE(test::ReactionsBalanceLoads(model, **stored, 1e-7));
}

INSTANTIATE_TEST_SUITE_P(ActiveSetFactor, SharedFactorLoop,
                         ::testing::Combine(::testing::Values(1u, 2u), ::testing::Bool()));

// Asked for states in any order, the factor solves every operator as a fresh factorisation
// does: through the basis with no factorisation or update at all, or, without it, by updates
// from whichever kept factor is nearer (the shared all-on one or its own); going back to the
// all-on state costs nothing.
class EveryState : public ::testing::TestWithParam<std::tuple<std::string, bool>> {};

TEST_P(EveryState, IsSolvedAsItsOwnOperator) {
  const auto& [fixture, with_basis] = GetParam();
  VARN model = load_si(fixture);
  auto cache = CachedCombinations::build(model);
  ASSERT_TRUE(cache) << cache.error();
  if (!with_basis) cache->system().switch_basis.reset();
  const auto& penalised = std::get<PenalisedSparseFirstOrder>(cache->system().form);
  auto f = model.assemble_load_vector_for_case(1);
  ASSERT_TRUE(f);

  const ActiveMap all_on = init_active_map_tie_comp(model);
  ASSERT_GE(all_on.size(), 2u);
  std::vector<ActiveMap> states = {all_on};
  ActiveMap off = all_on;
  for (auto& [id, on] : off) {
    on = false;
    states.push_back(off);  // one tie off, two ties off, ...
  }
  ActiveMap first_back = off;
  first_back.begin()->second = true;
  states.push_back(first_back);
  states.push_back(all_on);

  const AssemblyContext ctx = model.build_lookup_maps();
  ActiveSetFactor factor(model, penalised.solver.constrained(), &cache->system());
  std::size_t refused = 0;  // passes left to the solve
  for (std::size_t i = 0; i < states.size(); ++i) {
    auto k = model.build_operator_with_supports_sparse_internal(states[i], nullptr);
    ASSERT_TRUE(k) << k.error();
    auto u = factor.solve(states[i], *k, *f, "singular");
    ASSERT_TRUE(u) << "state " << i << ": " << u.error();
    const Eigen::VectorXd expected = fresh_solution(model, states[i], *f, penalised.solver.penalty());
    // A pass through the basis is left unrefined: it keeps the stabilising terms of the ties it
    // switched off, which matter only where nothing else holds a node. What the loop reads
    // from it, the state the switching rules give, is that of the operator's own solution.
    if (!with_basis) {
      EXPECT_LE(relative_difference(*u, expected), kSameOperator) << "state " << i;
    }
    ActiveMap judged = states[i], judged_fresh = states[i];
    update_active_set(model, *u, judged, ctx, axial_slack_tolerance(model), true);
    update_active_set(model, expected, judged_fresh, ctx, axial_slack_tolerance(model), true);
    EXPECT_EQ(judged, judged_fresh) << "state " << i;
    // A pass that stops at the axial forces reads them as the switching rules read them from
    // the solution (to the round-off of the forward and backward solves, 1e-12 of the largest
    // force with seven decades of stiffness), and its displacements are that solution bit for
    // bit. A state whose capacitance is poorly conditioned (a node held by ties' traces alone)
    // is left to the solve.
    if (with_basis) {
      ActiveSetFactor passes(model, penalised.solver.constrained(), &cache->system());
      auto pass = passes.pass_by_basis(states[i], *f);
      if (fixture == kXBraced) {
        ASSERT_TRUE(pass) << "state " << i;
      }
      if (!pass) ++refused;
      if (pass) {
        double largest = 0.0, miss = 0.0;
        for (const auto& [id, n] : pass->forces.axial) {
          const double solved = find_member(model, id)->calculate_axial_force_3d(*u, ctx.materials, ctx.sections);
          largest = std::max(largest, std::abs(solved));
          miss = std::max(miss, std::abs(n - solved));
        }
        EXPECT_EQ(pass->forces.axial.size(), all_on.size());
        EXPECT_LE(miss, 1e-12 * largest) << "state " << i;
        auto solved = passes.displacements(std::move(*pass), states[i], *k, *f, "singular");
        ASSERT_TRUE(solved) << solved.error();
        EXPECT_TRUE(solved->as_read) << "state " << i;
        EXPECT_EQ(solved->u, *u) << "state " << i;
      }
    }
    // Carried over to the same operator, the solution is refined to it, whatever solved it.
    auto carried = factor.carry_over(*k, *f, *u);
    ASSERT_TRUE(carried) << "state " << i;
    EXPECT_LE(relative_difference(*carried, expected), kSameOperator) << "state " << i;
  }
  EXPECT_EQ(factor.factorizations(), 0u);
  if (with_basis && fixture == kNodeOnTies) {
    EXPECT_GT(refused, 0u);
  }
  // Without the basis every state but the two all-on ones is one modification.
  EXPECT_EQ(factor.low_rank_updates(), with_basis ? 0u : states.size() - 2);
}

INSTANTIATE_TEST_SUITE_P(ActiveSetFactor, EveryState,
                         ::testing::Combine(::testing::Values(kXBraced, kNodeOnTies), ::testing::Bool()));

// Through the pipeline's two phases: the all-on operator is the only factorisation of the
// request, and no factor is modified either. Every load case and combination re-solve starts
// from it and solves every switched state through the switch basis; each set is the one its
// own loop, factorising for itself, finds, and balances its loads.
TEST(ActiveSetFactor, OneFactorisationForEveryLoadCaseAndCombination) {
  VARN model = load_si(kXBraced);
  PipelineRun run{model, {}, {}, 20, 0.0, false, {}, {}};
  for (const auto& lc : model.load_cases) run.load_case_ids.push_back(lc.id);
  for (const auto& c : model.load_combinations) run.combination_ids.push_back(c.id);
  ASSERT_GE(run.combination_ids.size(), 2u);

  const std::size_t factorisations = sparse_numeric_factorization_count();
  const std::size_t updates = sparse_low_rank_update_count();
  ASSERT_TRUE(solve_load_cases_first_order(run));
  ASSERT_TRUE(run.cached_combinations);
  ASSERT_TRUE(run.cached_combinations->system().switch_basis);
  ASSERT_TRUE(solve_combinations_first_order(run));
  EXPECT_EQ(sparse_numeric_factorization_count() - factorisations, 1u);
  EXPECT_EQ(sparse_low_rank_update_count() - updates, 0u);

  ASSERT_EQ(model.results->loadcombinations.size(), run.combination_ids.size());
  for (const std::uint32_t id : run.combination_ids) {
    auto own = solve_combination_active_set(model, id);  // its own loop, its own factorisations
    ASSERT_TRUE(own) << own.error();
    const Results& piped = model.results->loadcombinations.at(own->name);
    double scale = 0.0, diff = 0.0;
    for (const auto& [node, d] : own->displacement_nodes) {
      const auto& p = piped.displacement_nodes.at(node);
      for (auto [a, b] : {std::pair{d.dx, p.dx}, {d.dy, p.dy}, {d.dz, p.dz}}) {
        scale = std::max(scale, std::abs(a));
        diff = std::max(diff, std::abs(a - b));
      }
    }
    EXPECT_LE(diff, kSameOperator * scale) << own->name;
    EXPECT_TRUE(test::ReactionsBalanceLoads(model, piped, 1e-7)) << own->name;
  }
}

// The operator of every tie/strut state, assembled from the request's element matrices, is the
// very matrix (pattern and bits) that the triplet assembly gives for that state: every
// diagonal off, each alone, and all on. The structure as it is (bars on their axial stiffness
// alone, switched-off members left out) has the triplet assembly's values bit for bit too, in
// the all-on pattern: whatever that pattern holds beyond it is a stored zero.
TEST(SwitchedOperator, AssemblesTheOperatorOfEveryStateBitForBit) {
  for (const std::string& fixture : {kXBraced, kNodeOnTies}) {
    SCOPED_TRACE(fixture);
    const VARN model = load_si(fixture);
    auto switched = SwitchedOperator::build(model);
    ASSERT_TRUE(switched) << switched.error();
    std::vector<std::uint32_t> switchable;
    for (const auto& set : model.member_sets)
      for (const auto& m : set.members)
        if (m.member_type == MemberType::Tension || m.member_type == MemberType::Compression) switchable.push_back(m.id);
    ASSERT_GE(switchable.size(), 2u);
    std::vector<ActiveMap> states(1);  // all on
    ActiveMap all_off;
    for (std::uint32_t id : switchable) {
      all_off[id] = false;
      ActiveMap one_off;
      one_off[id] = false;
      states.push_back(one_off);
    }
    states.push_back(all_off);
    // The all-on operator of the first step alone, before any contribution is placed, is the
    // assembly of the all-on state to the bit (signs of zeros included).
    auto pattern = SwitchedOperator::build_pattern(model);
    ASSERT_TRUE(pattern) << pattern.error();
    auto first = pattern->all_on(model);
    auto swept = switched->assemble(model, states[0]);
    ASSERT_TRUE(first && swept);
    ASSERT_EQ(first->nonZeros(), swept->nonZeros());
    EXPECT_EQ(std::memcmp(first->valuePtr(), swept->valuePtr(), sizeof(double) * static_cast<std::size_t>(first->nonZeros())), 0);
    for (std::size_t s = 0; s < states.size(); ++s) {
      auto fast = switched->assemble(model, states[s]);
      auto reference = model.build_operator_with_supports_sparse_internal(states[s], nullptr);
      ASSERT_TRUE(fast && reference) << "state " << s;
      ASSERT_EQ(fast->nonZeros(), reference->nonZeros()) << "state " << s;
      const auto n = static_cast<std::size_t>(reference->outerSize() + 1);
      EXPECT_TRUE(std::equal(fast->outerIndexPtr(), fast->outerIndexPtr() + n, reference->outerIndexPtr())) << s;
      const auto nnz = static_cast<std::size_t>(reference->nonZeros());
      EXPECT_TRUE(std::equal(fast->innerIndexPtr(), fast->innerIndexPtr() + nnz, reference->innerIndexPtr())) << s;
      EXPECT_TRUE(std::equal(fast->valuePtr(), fast->valuePtr() + nnz, reference->valuePtr())) << s;

      auto as_it_is = switched->assemble_unstabilised(model, states[s]);
      auto assembled = EquilibriumCheck::unstabilised_operator(model, &states[s]);
      ASSERT_TRUE(as_it_is && assembled) << "state " << s;
      std::size_t matched = 0;
      for (Eigen::Index j = 0; j < as_it_is->outerSize(); ++j) {
        SparseMatrix::InnerIterator it(*as_it_is, j);
        for (SparseMatrix::InnerIterator ref(*assembled, j); ref; ++ref, ++matched) {
          for (; it && it.row() < ref.row(); ++it) EXPECT_EQ(it.value(), 0.0) << "state " << s;
          ASSERT_TRUE(it && it.row() == ref.row()) << "state " << s << ": entry outside the all-on pattern";
          EXPECT_EQ(it.value(), ref.value()) << "state " << s << " (" << ref.row() << ", " << j << ")";
          ++it;
        }
        for (; it; ++it) EXPECT_EQ(it.value(), 0.0) << "state " << s;
      }
      EXPECT_EQ(matched, static_cast<std::size_t>(assembled->nonZeros())) << "state " << s;
    }
  }
}

// A pass reads the ties' forces from the switch basis where each force is a combination of the
// tie's principal columns. A bar's force follows its element: with an axial spring in series at
// an end its axis is still its one principal direction, and with an end free along the axis it
// has neither stiffness nor force. Either way the loop through the basis ends where the loop
// without it does.
TEST(SwitchBasis, ReadsTheForcesOfBarsWithEndHinges) {
  struct Case {
    const char* name;
    std::optional<double> axial_release;  // of an end hinge of one tie; none: no hinge
  };
  for (const Case& c : {Case{"no hinge", std::nullopt}, Case{"axial spring in series", 2e7},
                        Case{"axis free at one end", 0.0}}) {
    SCOPED_TRACE(c.name);
    VARN model = load_si(kXBraced);
    if (c.axial_release) {
      MemberHinge hinge;
      hinge.id = 1;
      hinge.hinge_type = "Custom";
      hinge.translational_release_vx = *c.axial_release;
      model.memberhinges = std::vector<MemberHinge>{hinge};
      for (auto& set : model.member_sets)
        for (auto& m : set.members)
          if (m.id == 4) m.end_hinge = 1u;
    }
    auto cache = CachedCombinations::build(model);
    ASSERT_TRUE(cache) << cache.error();
    ASSERT_TRUE(cache->system().switch_basis);
    EXPECT_TRUE(cache->system().switch_basis->reads_axial_forces());
    const auto& penalised = std::get<PenalisedSparseFirstOrder>(cache->system().form);
    auto f = model.assemble_load_vector_for_case(1);
    ASSERT_TRUE(f);
    ActiveSetFactor factor(model, penalised.solver.constrained(), &cache->system());
    auto pass = factor.pass_by_basis(init_active_map_tie_comp(model), *f);
    ASSERT_TRUE(pass);
    if (c.axial_release && *c.axial_release == 0.0) {
      EXPECT_EQ(pass->forces.axial.at(4), 0.0);
    }
    for (const std::uint32_t load_case : {1u, 2u}) {
      auto shared = solve_load_case_unstored(model, load_case, &cache->system());
      ASSERT_TRUE(shared) << shared.error();
      auto own = solve_load_case_unstored(model, load_case);
      ASSERT_TRUE(own) << own.error();
      EXPECT_EQ(shared->active, own->active) << "load case " << load_case;
      EXPECT_LE(relative_difference(shared->u, own->u), kSameOperator) << "load case " << load_case;
    }
  }
}

// The displacements of a pass read through the basis answer for the operator they are given:
// against another state's operator the unrefined solution misses it, and they are that
// operator's own solution, no longer the one the forces were read from.
TEST(ActiveSetFactor, PassDisplacementsRefusedByTheResidualAreSolvedAgain) {
  VARN model = load_si(kXBraced);
  auto cache = CachedCombinations::build(model);
  ASSERT_TRUE(cache) << cache.error();
  const auto& penalised = std::get<PenalisedSparseFirstOrder>(cache->system().form);
  auto f = model.assemble_load_vector_for_case(1);
  ASSERT_TRUE(f);
  const ActiveMap all_on = init_active_map_tie_comp(model);
  ActiveMap one_off = all_on;
  one_off.begin()->second = false;
  auto k_one_off = model.build_operator_with_supports_sparse_internal(one_off, nullptr);
  ASSERT_TRUE(k_one_off) << k_one_off.error();

  ActiveSetFactor factor(model, penalised.solver.constrained(), &cache->system());
  auto pass = factor.pass_by_basis(all_on, *f);
  ASSERT_TRUE(pass);
  auto solved = factor.displacements(std::move(*pass), one_off, *k_one_off, *f, "singular");
  ASSERT_TRUE(solved) << solved.error();
  EXPECT_FALSE(solved->as_read);
  EXPECT_LE(relative_difference(solved->u, fresh_solution(model, one_off, *f, penalised.solver.penalty())),
            kSameOperator);
}
