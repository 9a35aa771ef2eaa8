// The cached-combination strategy (see cached_combinations.h): the all-on system built and
// factorised once per request, each combination solved against it, and the full active-set
// re-solve of a combination from its predictor where the cached solution does not stand.
#include <tbb/parallel_for.h>
#include <tbb/parallel_invoke.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <variant>
#include <vector>

#include "fatal.h"
#include "functions/geometry.h"
#include "models/varn/reactions.h"
#include "functions/sparse.h"
#include "models/loads/load_lookup.h"
#include "models/varn/active_set.h"
#include "models/varn/equilibrium_check.h"
#include "models/varn/first_order.h"
#include "models/varn/support_state.h"
#include "models/varn/varn.h"
#include "models/varn/cached_combinations.h"

namespace varn {

namespace {

std::string combination_not_found(std::uint32_t id) {
  return "LoadCombination " + std::to_string(id) + " not found.";
}


// u for the load vector f with every tie and strut on, from the cached factorisation.
Expected<Eigen::VectorXd> solve_cached(const CachedFirstOrderSystem& cache, const Eigen::VectorXd& f) {
  if (const auto* reduced = std::get_if<PrecomputedFirstOrder>(&cache.form)) {
    auto u = reduced->factor.solve(reduced->elimination, f);
    if (!u) return fail("Cached dense LU: reduced system singular");
    return std::move(*u);
  }
  const ConstrainedSparseSolver& solver = std::get<PenalisedSparseFirstOrder>(cache.form).solver;
  if (static_cast<std::size_t>(f.size()) != solver.factorization().rows()) {
    fatal("cached sparse solve: load vector of " + std::to_string(f.size()) + " entries for a system of " +
          std::to_string(solver.factorization().rows()));
  }
  // The solver zeroes the constrained DOFs: the penalty holds them at zero only unloaded.
  auto x = solver.solve_vector(f);
  if (!x) return fail("Cached sparse solve: matrix singular");
  // Carried over to the structure without its stabilising terms, as every first-order solve.
  if (cache.unstabilised) {
    if (auto settled = solver.solve_towards(*cache.unstabilised, f, Eigen::MatrixXd(*x))) return Eigen::VectorXd(settled->col(0));
  }
  return std::move(*x);
}

// The cached penalised system's first solve for f, neither refined nor checked: enough to
// tell whether every tie and strut accepts the all-on state. None for the reduced form, or
// when the solve fails (the full solve then words it).
std::optional<Eigen::VectorXd> solve_cached_unrefined(const CachedFirstOrderSystem& cache, const Eigen::VectorXd& f) {
  const auto* penalised = std::get_if<PenalisedSparseFirstOrder>(&cache.form);
  if (penalised == nullptr || static_cast<std::size_t>(f.size()) != penalised->solver.factorization().rows())
    return std::nullopt;
  std::optional<Eigen::MatrixXd> x = penalised->solver.solve_once(Eigen::MatrixXd(f));
  if (!x) return std::nullopt;
  return Eigen::VectorXd(x->col(0));
}

// The all-on state's pass for f through the switch basis: the axial force of every tie and
// strut in its unrefined solution; the forward half of f is left in `forward`.
std::optional<SwitchBasis::StateInverse::Forces> all_on_forces(const SwitchBasis& basis, const ActiveMap& all_on,
                                                               const Eigen::VectorXd& f,
                                                               SwitchBasis::StateInverse::Forward& forward) {
  if (static_cast<std::size_t>(f.size()) != basis.all_on().factorization().rows()) return std::nullopt;
  std::optional<SwitchBasis::StateInverse> inverse = basis.inverse_for(all_on);
  if (!inverse) return std::nullopt;
  return inverse->axial_forces(without_held_loads(f, basis.all_on().constrained()), forward);
}

// The all-on system of `model` in the form its solves take: rigid links eliminated and the
// reduced operator factorised, or the penalised operator factorised beside its switch basis
// and the named loads.
Expected<CachedFirstOrderSystem> build_system(const VARN& model, const std::vector<std::uint32_t>& case_ids,
                                              const std::vector<std::uint32_t>& combination_ids) {
  ActiveMap all_on = init_active_map_tie_comp(model);
  // The penalised form assembles every operator of the request from one set of element
  // matrices, the all-on one first.
  std::optional<SwitchedOperator> switched;
  if (!model.needs_dense_rigid_path()) {
    auto built = SwitchedOperator::build_pattern(model);
    if (!built) return fail(built.error());
    switched = std::move(*built);
  }
  auto k = switched ? switched->all_on(model) : model.build_operator_with_supports_sparse_internal(all_on, nullptr);
  if (!k) return fail(k.error());

  // A singular system is not refused here: every combination solved against it reports it.
  if (model.needs_dense_rigid_path()) {
    auto elimination = model.build_rigid_elimination_partial_using_hinges();
    if (!elimination) return fail(elimination.error());
    auto k_u = EquilibriumCheck::unstabilised_operator(model, &all_on);
    if (!k_u) return fail(k_u.error());
    ReducedFactor factor = ReducedFactor::factorize(model, *k, &*k_u, *elimination);
    return CachedFirstOrderSystem{PrecomputedFirstOrder{std::move(*elimination), std::move(factor)},
                                  std::move(all_on), {}, std::nullopt, std::nullopt, std::nullopt, {}, {}};
  }

  auto constrained = model.collect_constrained_dofs_full();
  if (!constrained) return fail(constrained.error());
  ConstrainedSparseSolver solver;
  // Made before the load cases and combinations that share it start, beside what needs no
  // factor (the switched operator's contributions, the operator without stabilising terms and
  // the switched members' columns).
  std::optional<Expected<SparseMatrix>> k_u;
  std::optional<SwitchBasis::Columns> switch_columns;
  tbb::parallel_invoke([&] { solver.factorize(*k, std::move(*constrained)); },
                       [&] {
                         if (switched) switched->place_contributions();
                         k_u.emplace(switched ? switched->assemble_unstabilised(model, all_on)
                                              : EquilibriumCheck::unstabilised_operator(model, &all_on));
                         switch_columns = SwitchBasis::columns(model, static_cast<std::size_t>(k->rows()));
                       });
  if (!*k_u) return fail(k_u->error());
  // The basis, and beside it every named load with the forward half of its solve, which the
  // first pass of its loop reads (the factor alone makes them).
  std::optional<SwitchBasis> basis;
  const std::size_t cases = switch_columns ? case_ids.size() : 0;
  const std::size_t loads = switch_columns ? cases + combination_ids.size() : 0;
  std::vector<std::optional<PreparedLoad>> prepared(loads);
  tbb::parallel_invoke([&] { if (switch_columns) basis = SwitchBasis::build(solver, std::move(*switch_columns)); },
                       [&] {
                         tbb::parallel_for(std::size_t{0}, loads, [&](std::size_t i) {
                           auto f = i < cases ? model.assemble_load_vector_for_case(case_ids[i])
                                              : model.assemble_load_vector_for_combination(combination_ids[i - cases]);
                           if (!f) return;
                           SwitchBasis::StateInverse::Forward forward = SwitchBasis::forward_of(solver, *f);
                           prepared[i] = PreparedLoad{std::move(*f), std::move(forward)};
                         });
                       });
  CachedFirstOrderSystem system{PenalisedSparseFirstOrder{std::move(solver)}, std::move(all_on), {},
                                std::move(**k_u), std::move(switched), std::move(basis), {}, {}};
  if (system.switch_basis) {
    for (std::size_t i = 0; i < loads; ++i) {
      if (!prepared[i]) continue;
      auto& into = i < cases ? system.case_loads : system.combination_loads;
      into.emplace(i < cases ? case_ids[i] : combination_ids[i - cases], std::move(*prepared[i]));
    }
  }
  return system;
}

}  // namespace

CachedCombinations::CachedCombinations(const VARN& model, std::unique_ptr<CachedFirstOrderSystem> system)
    : model_(&model), system_(std::move(system)) {}

Expected<CachedCombinations> CachedCombinations::build(const VARN& model, const std::vector<std::uint32_t>& case_ids,
                                                       const std::vector<std::uint32_t>& combination_ids) {
  auto system = build_system(model, case_ids, combination_ids);
  if (!system) return fail(system.error());
  return CachedCombinations(model, std::make_unique<CachedFirstOrderSystem>(std::move(*system)));
}

Expected<Results> CachedCombinations::solve(std::uint32_t combination_id) const {
  const VARN& model = *model_;
  const CachedFirstOrderSystem& cache = *system_;
  const LoadCombination* combo = find_load_combination(model.load_combinations, combination_id);
  if (combo == nullptr) return fail(combination_not_found(combination_id));
  const auto prepared = cache.combination_loads.find(combination_id);
  const PreparedLoad* load = prepared != cache.combination_loads.end() ? &prepared->second : nullptr;
  Expected<Eigen::VectorXd> f =
      load != nullptr ? Expected<Eigen::VectorXd>(load->f) : model.assemble_load_vector_for_combination(combination_id);
  if (!f) return fail(f.error());

  // The cached solution stands only when every tie and strut agrees with being on: none is
  // pushed beyond the switching tolerance against its sense (no reactivation: all are on);
  // and when no one-sided support, all held in the cached system, has to pull.
  const AssemblyContext ctx = model.build_lookup_maps();
  auto ties_switch = [&](const Eigen::VectorXd& u) {
    ActiveMap active = cache.initial_active;
    return update_active_set(model, u, active, ctx, axial_slack_tolerance(model), false) ||
           finalize_tie_strut_consistency(model, u, active, ctx);
  };
  // A state that its first solve already switches is left to the combination's own loop
  // before the refinement (several more solves with the shared factor) is spent on it. Where
  // the switch basis reads forces, that first look needs only the forward half of the solve,
  // which the loop then starts from.
  if (const SwitchBasis* basis = cache.switch_basis ? &*cache.switch_basis : nullptr;
      basis != nullptr && basis->reads_axial_forces()) {
    SwitchBasis::StateInverse::Forward forward = load != nullptr ? load->forward : SwitchBasis::StateInverse::Forward{};
    if (auto forces = all_on_forces(*basis, cache.initial_active, *f, forward)) {
      ActiveMap active = cache.initial_active;
      const AxialForceOf axial_force = [&](const Member& m) { return forces->axial.at(m.id); };
      if (update_active_set(model, axial_force, active, axial_slack_tolerance(model), false) ||
          finalize_tie_strut_consistency(model, axial_force, active)) {
        return solve_combination_active_set(model, combination_id, &cache, std::move(forward),
                                            &*f);
      }
    }
  } else if (auto first = solve_cached_unrefined(cache, *f); first && ties_switch(*first)) {
    return solve_combination_active_set(model, combination_id, &cache, {}, &*f);
  }

  auto u = solve_cached(cache, *f);
  if (!u) return fail(u.error());
  if (ties_switch(*u)) {
    return solve_combination_active_set(model, combination_id, &cache, {}, &*f);
  }
  const ActiveMap& active = cache.initial_active;

  auto composed = compose_support_reaction_vector_equilibrium(model, ResultType::loadcombination(combination_id), *u,
                                                              &active, RecoveryMode::FirstOrder);
  if (!composed) return fail(composed.error());
  if (const auto unilateral = collect_unilateral_dofs(model); !unilateral.empty()) {
    SupportState released;
    if (update_support_state(unilateral, *u, composed->reactions, unilateral_tolerances(model, *u), released)) {
      return solve_combination_active_set(model, combination_id, &cache, {}, &*f);
    }
  }
  if (auto ok = check_equilibrium(model, ResultType::loadcombination(combination_id), &active, *f, *u,
                                  composed->reactions);
      !ok) {
    return fail(ok.error());
  }
  Results set = model.build_results_only(combo->name, combination_id, *u, composed->reactions, &active,
                                   RecoveryMode::FirstOrder, std::move(composed->member_results));
  if (auto ok = VARN::check_results_finite(set); !ok) return fail(ok.error());
  return set;
}

Expected<Results> solve_combination_active_set(const VARN& model, std::uint32_t combination_id,
                                               const CachedFirstOrderSystem* shared,
                                               SwitchBasis::StateInverse::Forward forward,
                                               const Eigen::VectorXd* load) {
  Expected<Eigen::VectorXd> f = load != nullptr ? Expected<Eigen::VectorXd>(*load)
                                                : model.assemble_load_vector_for_combination(combination_id);
  if (!f) return fail(f.error());
  const LoadCombination* combo = find_load_combination(model.load_combinations, combination_id);
  if (combo == nullptr) return fail(combination_not_found(combination_id));

  // Start where superposition of the load cases puts the structure, with the ties and struts
  // that this state stretches or compresses in their sense; without stored case results,
  // from rest with all of them on.
  // The one-sided supports start released where the superposed state needs them to pull.
  const ResultType loading = ResultType::loadcombination(combination_id);
  Eigen::VectorXd u0;
  ActiveMap active0;
  SupportState released0;
  if (auto p = combination_displacement_predictor(model, combination_id)) {
    u0 = std::move(*p);
    active0 = active_map_from_trial_displacement(model, u0);
    if (const auto unilateral = collect_unilateral_dofs(model); !unilateral.empty()) {
      auto trial = compose_support_reaction_vector_equilibrium(model, loading, u0, &active0, RecoveryMode::FirstOrder,
                                                               nullptr, nullptr, &released0);
      if (!trial) return fail(trial.error());
      update_support_state(unilateral, u0, trial->reactions, unilateral_tolerances(model, u0), released0);
    }
  } else {
    u0 = Eigen::VectorXd::Zero(f->size());
    active0 = init_active_map_tie_comp(model);
  }

  // From a predicted state no member is brought back inside the loop: a tie that the start
  // switched off returns only through the reactivation pass, which needs a clear pull.
  auto solved = solve_first_order_active_set(model, *f, std::move(u0), std::move(active0), false, nullptr, &loading,
                                             std::move(released0), shared, std::move(forward));
  if (!solved) return fail(solved.error());
  auto composed = compose_support_reaction_vector_equilibrium(model, ResultType::loadcombination(combination_id),
                                                              solved->u, &solved->active, RecoveryMode::FirstOrder,
                                                              nullptr, nullptr, &solved->released);
  if (!composed) return fail(composed.error());
  if (auto ok = check_equilibrium(model, ResultType::loadcombination(combination_id), &solved->active, *f,
                                  solved->u, composed->reactions, solved->released,
                                  solved->unstabilised ? &*solved->unstabilised : nullptr);
      !ok) {
    return fail(ok.error());
  }
  Results set = model.build_results_only(combo->name, combination_id, solved->u, composed->reactions, &solved->active,
                                   RecoveryMode::FirstOrder, std::move(composed->member_results));
  if (auto ok = VARN::check_results_finite(set); !ok) return fail(ok.error());
  return set;
}

std::optional<Eigen::VectorXd> combination_displacement_predictor(const VARN& model, std::uint32_t combination_id) {
  const LoadCombination* combo = find_load_combination(model.load_combinations, combination_id);
  if (combo == nullptr) return std::nullopt;
  const std::size_t n = compute_num_dofs_from_members(model.member_sets);
  Eigen::VectorXd acc = Eigen::VectorXd::Zero(static_cast<Eigen::Index>(n));
  // Summed in the order the combination lists its cases, as its load vector is.
  for (const auto& [case_id, factor] : combo->load_cases_factors) {
    const LoadCase* lc = find_load_case(model.load_cases, case_id);
    if (lc == nullptr || !model.results) return std::nullopt;
    const auto stored = model.results->loadcases.find(lc->name);
    if (stored == model.results->loadcases.end()) return std::nullopt;
    acc += factor * pack_displacement_vector(stored->second, n);
  }
  return acc;
}

Eigen::VectorXd pack_displacement_vector(const Results& saved, std::size_t n) {
  Eigen::VectorXd v = Eigen::VectorXd::Zero(static_cast<Eigen::Index>(n));
  for (const auto& [node_id, d] : saved.displacement_nodes) {
    if (node_id == 0 || static_cast<std::size_t>(node_id) > n / kDofsPerNode) fatal("Matrix index out of bounds.");
    const auto base = static_cast<Eigen::Index>(kDofsPerNode * (static_cast<std::size_t>(node_id) - 1));
    // Warping stays at rest in the start state.
    v[base + 0] = d.dx;
    v[base + 1] = d.dy;
    v[base + 2] = d.dz;
    v[base + 3] = d.rx;
    v[base + 4] = d.ry;
    v[base + 5] = d.rz;
  }
  return v;
}

std::optional<Eigen::VectorXd> VARN::build_combination_displacement_predictor(std::uint32_t combination_id) const {
  return combination_displacement_predictor(*this, combination_id);
}

}  // namespace varn
