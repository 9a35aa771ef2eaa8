#pragma once
// The system the co-rotational phase iterates on (the global or the retained DOFs, with the
// supports held as the first-order solves hold them) and the external load it follows.

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "expected.h"
#include "fatal.h"
#include "functions/sparse.h"
#include "functions/support_utils.h"
#include "models/varn/second_order/corotational_phase.h"
#include "models/varn/second_order/reduced_reactions.h"
#include "models/varn/second_order/residual_measure.h"
#include "models/varn/varn.h"

namespace varn::second_order::corotational {

// ---- the system the phase iterates on ----------------------------------------------------------

// Sparse path: the global DOFs, supports held by the penalty of the sparse layer. Rigid path:
// the retained DOFs u = C·u_r, supports imposed on the reduced tangent as the first-order
// solves impose them. Both keep every matrix sparse.
class PhaseSystem {
 public:
  static Expected<PhaseSystem> create(const VARN& model, const CorotationalPhaseInput& in) {
    PhaseSystem s(model);
    s.n_ = static_cast<std::size_t>(in.f.size());
    s.rigid_ = in.rigid;
    s.released_ = in.released;
    if (in.rigid == nullptr || !in.constrained.empty()) {
      s.held_ = in.constrained;
    } else {
      auto held = model.collect_constrained_dofs_full(in.released);
      if (!held) return fail(held.error());
      s.held_ = std::move(*held);
    }
    for (const std::size_t d : s.held_) check_index(d, s.n_, "constrained DOF");
    if (s.rigid_ == nullptr) {
      s.free_position_.assign(s.n_, 0);
      for (const std::size_t d : s.held_) s.free_position_[d] = -1;
      for (std::size_t d = 0; d < s.n_; ++d) {
        if (s.free_position_[d] < 0) continue;
        s.free_position_[d] = static_cast<std::int64_t>(s.free_.size());
        s.free_.push_back(static_cast<Eigen::Index>(d));
      }
    }
    if (s.rigid_ != nullptr) {
      const RigidElimination& e = s.rigid_->elimination;
      if (e.n != s.n_) fatal("co-rotational phase: the elimination does not match the load vector");
      s.reactions_ = ReducedReactions::build(model, e, in.released);
    }
    // The rotation triples of the solve space: every node's on the sparse path, the retained
    // nodes' on the rigid path (a slave turns with its master through C).
    for (std::size_t node = 0; node * kDofsPerNode < s.n_; ++node) {
      std::array<Eigen::Index, 3> triple{};
      bool retained = true;
      for (std::size_t k = 0; k < 3; ++k) {
        const std::size_t dof = node * kDofsPerNode + 3 + k;
        if (s.rigid_ == nullptr) {
          triple[k] = static_cast<Eigen::Index>(dof);
        } else if (const auto column = s.rigid_->elimination.reduced_column(dof)) {
          triple[k] = static_cast<Eigen::Index>(*column);
        } else {
          retained = false;
        }
      }
      if (retained) s.rotations_.push_back(triple);
    }
    s.pattern_ = s.tangent_pattern();
    // The entries the residual leaves out hold reactions; each entry has the direction of its
    // global DOF (of the retained one on the rigid path).
    const Eigen::VectorXd probe = s.unbalanced(Eigen::VectorXd::Ones(static_cast<Eigen::Index>(s.n_)));
    std::vector<std::uint8_t> direction(static_cast<std::size_t>(probe.size()), 0);
    std::vector<char> held(static_cast<std::size_t>(probe.size()), 0);
    for (std::size_t d = 0; d < s.n_; ++d) {
      if (s.rigid_ == nullptr) {
        direction[d] = static_cast<std::uint8_t>(d % kDofsPerNode);
      } else if (const auto column = s.rigid_->elimination.reduced_column(d)) {
        direction[*column] = static_cast<std::uint8_t>(d % kDofsPerNode);
      }
    }
    if (s.rigid_ == nullptr) {
      for (Eigen::Index i = 0; i < probe.size(); ++i) held[static_cast<std::size_t>(i)] = probe[i] == 0.0 ? 1 : 0;
    } else {
      for (const std::size_t i : s.reactions_.exact) held[i] = 1;
    }
    auto measure = std::make_shared<ResidualMeasure>(std::move(direction), std::move(held), model_extent(model));
    if (in.round_off != nullptr) {
      const bool reduced = s.rigid_ != nullptr && !s.rigid_->elimination.identity;
      measure->set_round_off(*in.round_off, reduced ? &s.rigid_->elimination.c : nullptr);
    }
    s.measure_ = std::move(measure);
    return s;
  }

  std::size_t dim() const { return rigid_ ? rigid_->elimination.n_r : n_; }
  // The order of the matrices the directions are solved with.
  std::size_t solve_order() const { return rigid_ ? rigid_->elimination.n_r : free_.size(); }

  // The state x moved by −α·Δ: translations and warping added, each node's rotation turned by
  // the spin −α·Δ (composed, never added), and the DOFs the supports hold kept at zero (a node
  // held about one axis and free about the others turns about the free ones).
  Eigen::VectorXd advanced(const Eigen::VectorXd& x, const Eigen::VectorXd& delta, double alpha) const {
    Eigen::VectorXd out = x - alpha * delta;
    for (const std::array<Eigen::Index, 3>& r : rotations_) {
      const Vec3 psi(x[r[0]], x[r[1]], x[r[2]]);
      const Vec3 w = -alpha * Vec3(delta[r[0]], delta[r[1]], delta[r[2]]);
      const Vec3 turned = compose_rotation(psi, w);
      for (int k = 0; k < 3; ++k) out[r[static_cast<std::size_t>(k)]] = turned[k];
    }
    // Back onto the supports' constraints: the held DOFs at zero, and on the rigid path the
    // penalised rows of C too (a pin reached through a link holds a combination of the master's
    // translations and rotations, which composed rotations would otherwise drift from).
    if (rigid_ == nullptr) {
      for (const std::size_t d : held_) out[static_cast<Eigen::Index>(d)] = 0.0;
    } else {
      reactions_.remove_from(out);
    }
    return out;
  }

  Eigen::VectorXd expand(const Eigen::VectorXd& x) const {
    return rigid_ ? VARN::expand_solution(rigid_->elimination, x) : x;
  }

  // The global residual without the reactions: zero at every held DOF (supported and
  // zero-energy alike), and on the rigid path reduced to the retained DOFs with the
  // reactions of the reduced supports removed.
  Eigen::VectorXd unbalanced(Eigen::VectorXd r) const {
    model_.zero_support_dofs(r, released_);
    for (const std::size_t d : held_) r[static_cast<Eigen::Index>(d)] = 0.0;
    if (!rigid_) return r;
    const RigidElimination& e = rigid_->elimination;
    Eigen::VectorXd r_r = e.identity ? r : Eigen::VectorXd(e.c.transpose() * r);
    reactions_.remove_from(r_r);
    return r_r;
  }

  // How far from equilibrium a state is whose unbalanced force is r (global, reactions
  // included) with the residual `unbalanced`(r): direction by direction against the loads and
  // reactions of that direction (reduced to the retained DOFs on the rigid path).
  double relative(const Eigen::VectorXd& r, const Eigen::VectorXd& r_unbalanced, const Eigen::VectorXd& f_ext,
                  const Eigen::VectorXd& u) const {
    if (!rigid_ || rigid_->elimination.identity) return measure_->relative(r_unbalanced, r, f_ext, &u);
    const RigidElimination& e = rigid_->elimination;
    return measure_->relative(r_unbalanced, Eigen::VectorXd(e.c.transpose() * r),
                              Eigen::VectorXd(e.c.transpose() * f_ext), &u);
  }

  // The matrix the Newton directions are solved with: on the sparse path the tangent on the
  // free DOFs alone (the held ones taken out, not held by a penalty: a penalty 1e10 times the
  // stiffest diagonal would add ten digits to the condition of a long chain of short members,
  // whose directions would then stall above the tolerance); on the rigid path the reduced
  // tangent with the supports imposed as the first-order solves impose them.
  SparseMatrix in_solve_space(const SparseMatrix& k_t) const {
    if (!rigid_) return on_free_dofs(k_t);
    const RigidElimination& e = rigid_->elimination;
    ReducedSystem reduced =
        VARN::reduce_system_sparse_internal(k_t, Eigen::VectorXd::Zero(static_cast<Eigen::Index>(n_)), e);
    model_.apply_boundary_conditions_to_k_only(e, reduced.k, released_);
    return std::move(reduced.k);
  }

  // The Newton direction for the residual r (from `unbalanced`) with a factor of the matrix
  // `in_solve_space` gives; zero at the held DOFs on the sparse path.
  template <class Factor>
  std::optional<Eigen::VectorXd> direction(const Factor& factor, const Eigen::VectorXd& r) const {
    if (rigid_) return factor.solve(r);
    Eigen::VectorXd r_free(static_cast<Eigen::Index>(free_.size()));
    for (std::size_t i = 0; i < free_.size(); ++i) r_free[static_cast<Eigen::Index>(i)] = r[free_[i]];
    auto x = factor.solve(r_free);
    if (!x) return std::nullopt;
    Eigen::VectorXd out = Eigen::VectorXd::Zero(static_cast<Eigen::Index>(n_));
    for (std::size_t i = 0; i < free_.size(); ++i) out[free_[i]] = (*x)[static_cast<Eigen::Index>(i)];
    return out;
  }

  // The tangent in the solve space on the pattern of every member's element block and every
  // diagonal, whatever entries happen to vanish at a state, so that its symbolic analysis is
  // made once for the whole phase.
  SparseMatrix on_fixed_pattern(const SparseMatrix& k_t) const {
    return sparse_clone_and_add(pattern_, in_solve_space(k_t));
  }

  // A global displacement in the solve space (the retained DOFs on the rigid path).
  Eigen::VectorXd reduce(const Eigen::VectorXd& u) const { return rigid_ ? rigid_->projector.reduce(u) : u; }

 private:
  explicit PhaseSystem(const VARN& model) : model_(model) {}

  // Rows and columns of the free DOFs of k (its row indices stay sorted: the numbering of the
  // free DOFs follows the global one).
  SparseMatrix on_free_dofs(const SparseMatrix& k) const {
    const auto m = static_cast<Eigen::Index>(free_.size());
    SparseMatrix out(m, m);
    out.reserve(k.nonZeros());
    for (Eigen::Index j = 0; j < m; ++j) {
      out.startVec(j);
      for (SparseMatrix::InnerIterator it(k, free_[static_cast<std::size_t>(j)]); it; ++it) {
        const std::int64_t row = free_position_[static_cast<std::size_t>(it.row())];
        if (row >= 0) out.insertBack(row, j) = it.value();
      }
    }
    out.finalize();
    return out;
  }

  // Explicit zeros at every entry a tangent of the solve space can hold.
  SparseMatrix tangent_pattern() const {
    SparseAssembler ones = SparseAssembler::with_capacity(n_, model_.get_member_count() + 1);
    const Mat14 block = Mat14::Ones();
    for (const Member* m : flatten_members(model_.member_sets)) {
      ones.assemble_element(dof_index(m->start_node.id, 0), dof_index(m->end_node.id, 0), block);
    }
    for (std::size_t d = 0; d < n_; ++d) ones.add(d, d, 1.0);
    SparseMatrix pattern = in_solve_space(ones.to_csc());
    std::fill(pattern.valuePtr(), pattern.valuePtr() + pattern.nonZeros(), 0.0);
    return pattern;
  }

  const VARN& model_;
  std::size_t n_ = 0;
  const RigidPath* rigid_ = nullptr;
  SupportState released_;
  std::vector<std::size_t> held_;
  ReducedReactions reactions_;
  std::vector<std::array<Eigen::Index, 3>> rotations_;  // solve-space rotation triples
  SparseMatrix pattern_;
  // Sparse path: the free DOFs in global order, and each global DOF's place among them (−1
  // for a held one).
  std::vector<Eigen::Index> free_;
  std::vector<std::int64_t> free_position_;
  std::shared_ptr<const ResidualMeasure> measure_;
};

// External loads at the load factor λ: λ·F, with a load case's distributed loads moved onto
// the deformed chords. The correction (deformed − undeformed) is added to F rather than F
// rebuilt, so that at u = 0 the load is λ·F to the last bit.
class ExternalLoad {
 public:
  static Expected<ExternalLoad> create(const VARN& model, const CorotationalPhaseInput& in) {
    ExternalLoad l(model, in.f);
    l.follows_ = !in.is_combination && in.has_distributed_loads;
    l.id_ = in.id;
    if (l.follows_) {
      auto f0 = model.assemble_equiv_forces_original(in.is_combination, in.id);
      if (!f0) return fail(f0.error());
      if (f0->size() != in.f.size()) fatal("co-rotational phase: member loads and load vector differ in size");
      l.f_eq0_ = std::move(*f0);
    }
    return l;
  }

  Expected<Eigen::VectorXd> at(const Eigen::VectorXd& u, double lambda) const {
    if (!follows_) return Eigen::VectorXd(lambda * f_);
    auto fd = model_.assemble_equiv_forces_deformed(id_, u);
    if (!fd) return fail(fd.error());
    return Eigen::VectorXd(lambda * (f_ + (*fd - f_eq0_)));
  }

 private:
  ExternalLoad(const VARN& model, const Eigen::VectorXd& f) : model_(model), f_(f) {}
  const VARN& model_;
  const Eigen::VectorXd& f_;
  bool follows_ = false;
  std::uint32_t id_ = 0;
  Eigen::VectorXd f_eq0_;
};

}  // namespace varn::second_order::corotational
