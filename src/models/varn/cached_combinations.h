#pragma once
// The cached-combination strategy of a first-order request on a model with rigid links, ties,
// struts or one-sided supports: one system, with every tie and strut on and every one-sided
// support held, is constrained and factorised once, and every combination is solved against
// the kept factor (from several threads at once). A combination whose solution switches a tie
// or strut, or needs a one-sided support to pull, is re-solved with the full active-set loop
// (`solve_combination_active_set`), started from the factor-weighted sum of the load cases'
// stored displacements (the combination predictor).
//
// The strategy reads the model record it was built for and holds the cached system; the
// record stays the pipeline's and must outlive the strategy.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

#include <Eigen/Core>

#include "expected.h"
#include "models/results/results.h"
#include "models/varn/first_order_system.h"
#include "models/varn/switch_basis.h"

namespace varn {

struct VARN;

class CachedCombinations {
 public:
  // The stiffness of every tie and strut on, constrained and analysed once for all
  // combinations of a request; the loads of the load cases and combinations named, prepared
  // beside its switch basis. A singular system is not refused here: every combination solved
  // against it reports it. Messages: those of the assembly and the rigid elimination.
  static Expected<CachedCombinations> build(const VARN& model, const std::vector<std::uint32_t>& case_ids = {},
                                            const std::vector<std::uint32_t>& combination_ids = {});

  // The cached system: read by the load-case tasks (their first pass), and given the factors
  // the load cases ended with before the combinations are solved.
  const CachedFirstOrderSystem& system() const { return *system_; }
  CachedFirstOrderSystem& system() { return *system_; }

  // One combination against the cached system; when its solution switches a tie or strut,
  // or a one-sided support has to pull, the full active-set solve from the combination
  // predictor. The set is returned, not stored. Safe to call from several threads at once.
  Expected<Results> solve(std::uint32_t combination_id) const;

 private:
  CachedCombinations(const VARN& model, std::unique_ptr<CachedFirstOrderSystem> system);

  const VARN* model_;
  // Held apart, so that the strategy moves without moving the factors and matrices.
  std::unique_ptr<CachedFirstOrderSystem> system_;
};

// The full active-set solve of one combination, from the predictor when there is one (else
// from rest with every tie and strut on), checked for equilibrium; the set is returned, not
// stored. `shared`: the request's cached system, whose factors the loop's passes start from;
// `forward`: the forward half of its load through the shared switch basis, when the caller
// has solved it already; `load`: its load vector, when the caller has assembled it.
Expected<Results> solve_combination_active_set(const VARN& model, std::uint32_t combination_id,
                                               const CachedFirstOrderSystem* shared = nullptr,
                                               SwitchBasis::StateInverse::Forward forward = {},
                                               const Eigen::VectorXd* load = nullptr);

// Σ factor × stored load-case displacements of the combination, each case's set found by
// the case's name; nothing when the combination, a case or a case's stored set is missing.
// The stored sets are in SI: the pipeline keeps the sets that came with the input out of the
// model it solves, so that every start comes from this run's own solutions.
std::optional<Eigen::VectorXd> combination_displacement_predictor(const VARN& model, std::uint32_t combination_id);

// A stored set's node displacements as a global vector of size n (warping left 0); a node
// id 0 or beyond n is the fatal fault "Matrix index out of bounds.".
Eigen::VectorXd pack_displacement_vector(const Results& saved, std::size_t n);

}  // namespace varn
