#pragma once
// The factor an active-set loop solves with, on the penalty path. Consecutive passes of the
// loop differ by the ties and struts that switched, and a switched member changes the operator
// by exactly (1 − kSwitchedOffScale)·K_e: a positive semidefinite matrix of rank ≤ 14 on its
// two nodes. For each tie/strut state the loop asks for, the factor it holds is
//  * used as it is when the state is the one it was made for;
//  * modified by a low-rank update/downdate when few members switched (the work then is that
//    of the factor columns those members' DOFs reach, a few percent of a factorisation);
//  * replaced by a fresh numeric factorisation (on the kept symbolic analysis) otherwise.
// It starts from the request's factor of the all-on operator when there is one, so that the
// first pass of every load case, and every combination re-solve, costs no factorisation of
// its own. One penalty is held for every operator of the loop (the shared factor's, else that
// of the first operator factorised), so that two operators differ by their members alone.
#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include <Eigen/Core>

#include "expected.h"
#include "functions/sparse.h"
#include "models/varn/active_map.h"
#include "models/varn/cached_combos.h"
#include "models/varn/lookup.h"

namespace varn {

struct VARN;
struct Member;

// Above this many switched members a fresh factorisation is cheaper than the update. Each bar
// is a rank-11 change (axial term, two transverse stabilisers, eight rotational and warping
// diagonals), and the update's cost grows with the rank times the factor columns it reaches:
// on the braced 10k frame (24,843 DOFs, factor of about 9 GFlop) 16 bars took 0.05 s against
// 0.3 s for the factorisation, and the two met near 60 bars (bench_first_order).
inline constexpr std::size_t kMaxMembersSwitchedByUpdate = 48;

class ActiveSetFactor {
 public:
  // `constrained`: the supported DOFs held by the penalty (one factor serves one set of held
  // supports). `shared`: the request's all-on system (or null); only its penalty form with the
  // same held DOFs is used, and it must outlive this object.
  ActiveSetFactor(const VARN& model, std::vector<std::size_t> constrained, const CachedFirstOrderSystem* shared);

  // The solution of K u = f for the operator K (supports not yet imposed) that the model
  // assembles for `active`; `singular_message` when K is singular.
  Expected<Eigen::VectorXd> solve(const ActiveMap& active, const SparseMatrix& k, const Eigen::VectorXd& f,
                                  const std::string& singular_message);

  // Numeric factorisations and low-rank modifications this loop made (the shared factor not
  // counted).
  unsigned factorizations() const { return factorizations_; }
  unsigned low_rank_updates() const { return updates_; }
  // The supported DOFs this factor holds.
  const std::vector<std::size_t>& constrained() const { return constrained_; }

 private:
  // The columns C of (1 − kSwitchedOffScale)·K_e = C·Cᵀ of tie/strut `id` in global DOFs.
  const SparseMatrix& switch_factor(std::uint32_t id);
  Expected<void> refactorize(const ActiveMap& active, const SparseMatrix& k);
  // u refined against the operator the modified factor was made for until the residual is at
  // round-off; none when it does not get there in a few steps.
  std::optional<Eigen::VectorXd> refine(Eigen::VectorXd u, const Eigen::VectorXd& f) const;

  const VARN& model_;
  std::vector<std::size_t> constrained_;
  const PenalisedSparseFirstOrder* shared_ = nullptr;
  const ActiveMap* shared_active_ = nullptr;
  AssemblyContext ctx_;
  std::map<std::uint32_t, std::pair<const Member*, std::size_t>> switchable_;  // id -> (member, flat index)
  std::vector<std::optional<std::uint32_t>> rigid_sections_;
  std::map<std::uint32_t, SparseMatrix> factors_;  // switch_factor, made on first use

  std::optional<ConstrainedSparseSolver> held_;
  ActiveMap held_for_;
  std::optional<double> penalty_;
  unsigned factorizations_ = 0;
  unsigned updates_ = 0;
};

}  // namespace varn
