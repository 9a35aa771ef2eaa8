#pragma once
// The factor an active-set loop solves with, on the penalty path. Consecutive passes of the
// loop differ by the ties and struts that switched, and a switched member changes the operator
// by exactly (1 − kSwitchedOffScale)·K_e: a positive semidefinite matrix of rank ≤ 14 on its
// two nodes. For each tie/strut state the loop asks for, the factor it holds is
//  * used as it is when the state is the one it was made for;
//  * modified by a low-rank update/downdate when few members switched (the work then is that
//    of the factor columns those members' DOFs reach, a few percent of a factorisation);
//  * replaced by a fresh numeric factorisation (on the kept symbolic analysis) otherwise.
// Where the request made a switch basis (switch_basis.h) every state is solved through it, and
// no factor is made or modified at all; the factors above serve the states it cannot stand for.
// A pass through the basis may stop at the ties' and struts' axial forces (pass_by_basis),
// which is all the switching rules read; its displacements are then solved only for the pass
// the loop settles on (displacements).
// It starts from the request's factor of the all-on operator when there is one, so that the
// first pass of every load case costs no factorisation of its own, and a combination re-solve
// from the nearest of that and the factors the load cases ended with. One penalty is held for
// every operator of the loop (the shared factor's, else that of the first operator
// factorised), so that two operators differ by their members alone.
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
#include "models/varn/first_order_system.h"
#include "models/varn/lookup.h"
#include "models/varn/switch_basis.h"

namespace varn {

struct VARN;
struct Member;

// Above this many switched members a fresh factorisation is cheaper than the update. A bar is
// updated by its principal (axial) direction alone, one rank per bar, and the update's cost
// grows with the rank times the factor columns it reaches. Measured with bench_first_order on
// the braced 10k frame (24,843 DOFs) on a loaded 8-core machine: a numeric factorisation
// 0.6-1.0 s; an update of a factor the loop holds about 5 ms per bar (2-12 bars: 0.01-0.04 s);
// the first update of a shared factor 0.2-0.4 s more for its private simplicial copy. The two
// meet at 100-150 bars; with 48 the combinations still factorised twice (52 and 62 bars), with
// 96 not at all, and the phase took 1.6 s instead of 1.9 s.
inline constexpr std::size_t kMaxMembersSwitchedByUpdate = 96;

// The least reciprocal condition of a state's capacitance for which a pass's axial forces are
// read from the switch basis without the residual test of its displacements. The unrefined
// solution misses the assembled operator by the stabilising terms of the members switched off
// (1e-10 of their stiffness), and the capacitance, whose eigenvalues are the shares of those
// members' directions that the rest of the structure holds, amplifies that by at most its
// condition: at 1e-2 the miss stays within the 1e-8 that the residual test allows an
// unrefined solution. The capacitance's own solve loses a condition's worth of ε, 1e-14.
inline constexpr double kForcesWithoutResidual = 1e-2;

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

  // A pass through the switch basis taken as far as the switching rules read it: the axial
  // force of every tie and strut (forces.axial), without the displacements, whose backward
  // solve over the whole factor is most of a pass. Empty where the basis cannot give the
  // forces, or where the state's capacitance is too poorly conditioned to vouch for them
  // without the residual test (kForcesWithoutResidual): the pass is then solved (solve).
  struct BasisPass {
    SwitchBasis::StateInverse inverse;
    SwitchBasis::StateInverse::Forces forces;
  };
  std::optional<BasisPass> pass_by_basis(const ActiveMap& active, const Eigen::VectorXd& f);
  // The displacements of such a pass, for its state `active` with operator k: what solve()
  // gives for that state, bit for bit. `as_read`: they are the pass's own unrefined solution,
  // the one its forces were read from; otherwise the residual test refused that solution and
  // they are refined (or solved with a factor), and the switching rules must read them again.
  struct PassDisplacements {
    Eigen::VectorXd u;
    bool as_read = false;
  };
  Expected<PassDisplacements> displacements(BasisPass pass, const ActiveMap& active, const SparseMatrix& k,
                                            const Eigen::VectorXd& f, const std::string& singular_message);

  // The forward half of the loop's load through the switch basis, solved already by the caller
  // (an empty one is none): the loop's first pass through the basis takes it instead of
  // solving it again.
  void start_from(SwitchBasis::StateInverse::Forward forward) {
    if (forward.b.size() != 0) forward_ = std::move(forward);
  }

  // Numeric factorisations and low-rank modifications this loop made (the shared factor not
  // counted).
  unsigned factorizations() const { return factorizations_; }
  unsigned low_rank_updates() const { return updates_; }
  // The supported DOFs this factor holds.
  const std::vector<std::size_t>& constrained() const { return constrained_; }
  // The factor last solved with and its state, when there is one (none when the last state
  // was solved through the request's switch basis).
  std::optional<KeptActiveFactor> kept() const;
  // u, the last solution, carried over to the operator K_t of the same state without its
  // stabilising terms (ConstrainedSparseSolver::solve_towards) with whatever solved it; empty
  // when nothing did.
  std::optional<Eigen::VectorXd> carry_over(const SparseMatrix& k_t, const Eigen::VectorXd& f,
                                            const Eigen::VectorXd& u) const;

 private:
  // The columns C of (1 − kSwitchedOffScale)·K_e = C·Cᵀ of tie/strut `id` in global DOFs.
  const SparseMatrix& switch_factor(std::uint32_t id);
  // A fresh numeric factorisation of K on the kept symbolic analysis (a singular K leaves no
  // factor, which the solve reports).
  void refactorize(const ActiveMap& active, const SparseMatrix& k);
  // Whether u, solved with a modified factor and refined against the operator that factor was
  // made for, meets that operator to round-off. A modified factor whose perturbation is not
  // small against the structure's own stiffness at the switched DOFs (a node held by nothing
  // but the switched members' stabilisers) leaves the refinement short of it; then the operator
  // is factorised afresh.
  bool meets_operator(const Eigen::VectorXd& u, const Eigen::VectorXd& f) const;
  // x0, the unrefined solution of a state through the switch basis with `inverse`, accepted as
  // it is (`unrefined` set) when it meets the operator K within kUnrefinedResidual, else refined
  // against K; empty when the refinement does not reach K. The accepted state's inverse is kept.
  std::optional<Eigen::VectorXd> accept_by_basis(SwitchBasis::StateInverse inverse, Eigen::MatrixXd x0,
                                                 const SparseMatrix& k, const Eigen::VectorXd& f, bool* unrefined);
  // The state's solution with a kept factor: used as it is, modified by low rank, or a fresh
  // factorisation.
  Expected<Eigen::VectorXd> solve_by_factor(const ActiveMap& active, const SparseMatrix& k, const Eigen::VectorXd& f,
                                            const std::string& singular_message);

  const VARN& model_;
  std::vector<std::size_t> constrained_;
  // The request's kept factors, nearest first on a tie: the all-on one, then the load cases'.
  std::vector<const KeptActiveFactor*> candidates_;
  KeptActiveFactor all_on_;
  AssemblyContext ctx_;
  std::map<std::uint32_t, std::pair<const Member*, std::size_t>> switchable_;  // id -> (member, flat index)
  std::vector<std::optional<std::uint32_t>> rigid_sections_;
  std::map<std::uint32_t, SparseMatrix> factors_;  // switch_factor, made on first use

  std::optional<ConstrainedSparseSolver> held_;
  ActiveMap held_for_;
  std::optional<double> penalty_;
  // The request's switch basis for these held supports, and the inverse of the state it last
  // solved (the last solve was the basis's while there is one).
  const SwitchBasis* basis_ = nullptr;
  std::optional<SwitchBasis::StateInverse> by_basis_;
  // The forward half of the loop's load through the all-on factor, shared by its passes.
  SwitchBasis::StateInverse::Forward forward_;
  unsigned factorizations_ = 0;
  unsigned updates_ = 0;
};

}  // namespace varn
