#include "models/varn/second_order/corotational_phase.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <optional>
#include <utility>
#include <vector>

#include "fatal.h"
#include "functions/geometry.h"
#include "functions/sparse.h"
#include "functions/support_utils.h"
#include "models/members/corotational.h"
#include "models/varn/varn.h"

namespace varn::second_order {

namespace {

constexpr std::size_t kMinLoadSteps = 10;
constexpr std::uint32_t kAttempts = 4;
constexpr std::uint32_t kIterationsPerStep = 20;
constexpr std::array<double, 6> kLineSearchFactors = {1.0, 0.5, 0.25, 0.125, 0.0625, 0.03125};

// ---- reaction directions of the reduced system -----------------------------------------------

double dot(const SparseRow& a, const SparseRow& b) {
  double s = 0.0;
  auto i = a.begin();
  auto j = b.begin();
  while (i != a.end() && j != b.end()) {
    if (i->first < j->first) {
      ++i;
    } else if (j->first < i->first) {
      ++j;
    } else {
      s += i->second * j->second;
      ++i;
      ++j;
    }
  }
  return s;
}

// a - t·b, merged by column; exact zeros dropped.
SparseRow minus_scaled(const SparseRow& a, double t, const SparseRow& b) {
  SparseRow out;
  out.reserve(a.size() + b.size());
  auto i = a.begin();
  auto j = b.begin();
  auto push = [&](std::size_t col, double v) {
    if (v != 0.0) out.emplace_back(col, v);
  };
  while (i != a.end() || j != b.end()) {
    if (j == b.end() || (i != a.end() && i->first < j->first)) {
      push(i->first, i->second);
      ++i;
    } else if (i == a.end() || j->first < i->first) {
      push(j->first, -t * j->second);
      ++j;
    } else {
      push(i->first, i->second - t * j->second);
      ++i;
      ++j;
    }
  }
  return out;
}

// The forces that the supports exert, seen in the reduced DOFs: a unit vector at every
// exactly fixed reduced DOF, and the direction of every penalised constraint row c·u_r = 0.
// A residual is in equilibrium when nothing but such reactions is left of it, so these
// components are removed before its norm is taken and before it drives a Newton step (a
// Newton step must not try to push a support). The penalised rows are orthonormalised
// (twice-applied Gram-Schmidt, rows sharing no reduced DOF being orthogonal already), so
// that removing them is an orthogonal projection whatever their overlap.
struct ReducedReactions {
  std::vector<std::size_t> exact;  // sorted, unique
  std::vector<SparseRow> basis;    // orthonormal, zero at the exact DOFs

  static ReducedReactions build(const VARN& model, const RigidElimination& elim, const SupportState& released) {
    ReducedReactions out;
    // The indices depend only on the supports and C; the matrix is only a carrier here.
    SparseMatrix carrier(static_cast<Eigen::Index>(elim.n_r), static_cast<Eigen::Index>(elim.n_r));
    out.exact = model.apply_boundary_conditions_to_k_only(elim, carrier, released);
    std::vector<char> is_exact(elim.n_r, 0);
    for (const std::size_t i : out.exact) {
      check_index(i, elim.n_r, "exactly fixed reduced DOF");
      is_exact[i] = 1;
    }
    // The held global DOFs, by the supports' own fixity rule.
    Eigen::VectorXd held = Eigen::VectorXd::Ones(static_cast<Eigen::Index>(elim.n));
    model.zero_support_dofs(held, released);
    for (std::size_t d = 0; d < elim.n; ++d) {
      if (held[static_cast<Eigen::Index>(d)] != 0.0 || elim.reduced_column(d)) continue;
      const SparseRow c = elim.row(d);
      if (c.empty() || VARN::detect_one_hot_constraint(c)) continue;
      SparseRow v;
      for (const auto& [j, x] : c) {
        if (!is_exact[j]) v.emplace_back(j, x);
      }
      out.add_direction(std::move(v));
    }
    return out;
  }

  void add_direction(SparseRow v) {
    const double start = std::sqrt(dot(v, v));
    if (!(start > 0.0)) return;
    for (int pass = 0; pass < 2; ++pass) {
      for (const SparseRow& q : basis) {
        const double t = dot(q, v);
        if (t != 0.0) v = minus_scaled(v, t, q);
      }
    }
    const double norm = std::sqrt(dot(v, v));
    // A row that the earlier ones already span (to round-off) adds no direction.
    if (!(norm > 1e-10 * start)) return;
    for (auto& e : v) e.second /= norm;
    basis.push_back(std::move(v));
  }

  void remove_from(Eigen::VectorXd& r_r) const {
    for (const std::size_t i : exact) r_r[static_cast<Eigen::Index>(i)] = 0.0;
    for (const SparseRow& q : basis) {
      double t = 0.0;
      for (const auto& [j, x] : q) t += x * r_r[static_cast<Eigen::Index>(j)];
      if (t == 0.0) continue;
      for (const auto& [j, x] : q) r_r[static_cast<Eigen::Index>(j)] -= t * x;
    }
  }
};

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
    return s;
  }

  std::size_t dim() const { return rigid_ ? rigid_->elimination.n_r : n_; }

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

  // Load norm that makes residuals relative (the reduced load on the rigid path).
  double load_scale(const Eigen::VectorXd& f) const {
    if (!rigid_) return std::max(f.norm(), 1.0);
    const RigidElimination& e = rigid_->elimination;
    const double norm = e.identity ? f.norm() : Eigen::VectorXd(e.c.transpose() * f).norm();
    return std::max(norm, 1.0);
  }

  // Newton direction K_T·Δ = r (r from `unbalanced`); none when the tangent cannot be
  // factorised or the solution is not finite.
  // The consistent co-rotational tangent is not symmetric (the frames turn with the motion,
  // and moments on rotation vectors are not conservative), so it is factorised by LU: the
  // Cholesky path reads one triangle only and would solve another matrix without notice.
  std::optional<Eigen::VectorXd> direction(const SparseMatrix& k_t, const Eigen::VectorXd& r) const {
    if (!rigid_) {
      Eigen::VectorXd b = r;
      return solve_unsymmetric(apply_penalty_bc_sparse(k_t, b, held_), b);
    }
    const RigidElimination& e = rigid_->elimination;
    if (e.n_r == 0) return Eigen::VectorXd();
    ReducedSystem reduced =
        VARN::reduce_system_sparse_internal(k_t, Eigen::VectorXd::Zero(static_cast<Eigen::Index>(n_)), e);
    model_.apply_boundary_conditions_to_k_only(e, reduced.k, released_);
    return solve_unsymmetric(reduced.k, r);
  }

  static std::optional<Eigen::VectorXd> solve_unsymmetric(const SparseMatrix& k, const Eigen::VectorXd& b) {
    SparseFactorization lu;
    if (lu.factorize_unsymmetric(k) == SparseSolveMethod::Failed) return std::nullopt;
    auto x = lu.solve(b);
    if (!x) return std::nullopt;
    return Eigen::VectorXd(x->col(0));
  }

 private:
  explicit PhaseSystem(const VARN& model) : model_(model) {}
  const VARN& model_;
  std::size_t n_ = 0;
  const RigidPath* rigid_ = nullptr;
  SupportState released_;
  std::vector<std::size_t> held_;
  ReducedReactions reactions_;
  std::vector<std::array<Eigen::Index, 3>> rotations_;  // solve-space rotation triples
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

// What each curve support carries at u, the load less the members' share, for its curve to be
// read at (the internal force at a supported node also holds the spring's own k·u, which
// nearly cancels the members' share there). The springs are those of the force state that
// f_int was assembled with.
Expected<SupportNodeForceMap> carried_support_forces(const VARN& model, const Eigen::VectorXd& u,
                                                     const Eigen::VectorXd& f_int, const Eigen::VectorXd& f_ext,
                                                     const SupportNodeForceMap& support_forces) {
  auto springs = collect_support_spring_entries_with_forces(model.member_sets, model.nodal_supports, &support_forces);
  if (!springs) return fail(springs.error());
  Eigen::VectorXd members = f_int;
  for (const SupportSpringEntry& s : *springs) {
    check_index(s.dof, static_cast<std::size_t>(u.size()), "support spring DOF");
    members[static_cast<Eigen::Index>(s.dof)] -= s.k * u[static_cast<Eigen::Index>(s.dof)];
  }
  return model.extract_carried_support_forces(members, f_ext);
}

}  // namespace

bool corotational_phase_applies(const VARN& model) {
  if (model.settings.analysis_options.nonlinear_method != NonlinearMethod::Corotational) return false;
  for (const auto& set : model.member_sets) {
    for (const auto& m : set.members) {
      if (m.start_hinge || m.end_hinge) return false;
    }
  }
  return true;
}

bool load_case_has_distributed_loads(const VARN& model, bool is_combination, std::uint32_t id) {
  if (is_combination) return false;
  const auto it = std::find_if(model.load_cases.begin(), model.load_cases.end(),
                               [&](const LoadCase& c) { return c.id == id; });
  return it != model.load_cases.end() && !it->distributed_loads.empty();
}

Expected<CorotationalPhaseResult> run_corotational_phase(const VARN& model, const CorotationalPhaseInput& in) {
  if (in.u.size() != in.f.size()) fatal("co-rotational phase: displacement and load vector differ in size");
  auto system = PhaseSystem::create(model, in);
  if (!system) return fail(system.error());
  auto load = ExternalLoad::create(model, in);
  if (!load) return fail(load.error());
  const double fscale = system->load_scale(in.f);
  const auto dim = static_cast<Eigen::Index>(system->dim());
  const auto n = in.f.size();

  CorotationalPhaseResult out;
  std::size_t steps = std::max(in.load_steps, kMinLoadSteps);
  SupportNodeForceMap support_forces;

  // The unbalanced force at u (reduced on the rigid path) and its size relative to the load.
  struct Residual {
    Eigen::VectorXd r;
    double rel = 0.0;
  };
  auto residual = [&](const Eigen::VectorXd& f_int, const Eigen::VectorXd& f_ext) {
    Residual res;
    res.r = system->unbalanced(f_int - f_ext);
    res.rel = res.r.norm() / fscale;
    return res;
  };

  for (std::uint32_t attempt = 0; attempt < kAttempts; ++attempt, steps *= 2) {
    out.attempts = attempt + 1;
    out.load_steps = steps;
    Eigen::VectorXd x = Eigen::VectorXd::Zero(dim);  // solve-space state: u or u_r
    Eigen::VectorXd u = Eigen::VectorXd::Zero(n);
    support_forces.clear();
    bool attempt_ok = true;

    for (std::size_t s = 1; s <= steps && attempt_ok; ++s) {
      const double lambda = static_cast<double>(s) / static_cast<double>(steps);
      bool converged = false;
      for (std::uint32_t k = 0; k < kIterationsPerStep; ++k) {
        auto f_int = model.assemble_corotational_internal_forces(u, in.active, support_forces);
        if (!f_int) return fail(f_int.error());
        auto f_ext = load->at(u, lambda);
        if (!f_ext) return fail(f_ext.error());
        if (in.has_support_curves) {
          // What the supports carry depends on u alone; the springs of the internal forces must
          // be read there too, or a state in equilibrium with the springs of the previous
          // iterate (any spring stiffness balances some u) would pass as converged.
          auto carried = carried_support_forces(model, u, *f_int, *f_ext, support_forces);
          if (!carried) return fail(carried.error());
          if (*carried != support_forces) {
            support_forces = std::move(*carried);
            f_int = model.assemble_corotational_internal_forces(u, in.active, support_forces);
            if (!f_int) return fail(f_int.error());
          }
        }
        const Residual res = residual(*f_int, *f_ext);
        if (res.rel < in.tol) {
          converged = true;
          break;
        }
        auto k_t = model.assemble_corotational_tangent_stiffness_sparse(u, in.active, support_forces);
        if (!k_t) return fail(k_t.error());
        const auto delta = system->direction(*k_t, res.r);
        if (!delta) break;  // the tangent cannot be factorised: this attempt is over
        ++out.iterations;
        if (attempt == 0) {
          x = system->advanced(x, *delta, 1.0);
          u = system->expand(x);
          continue;
        }
        // From the second attempt on, a step that does not lower the residual is shortened;
        // when no trial lowers it, the state stays and the next iteration tries again.
        Eigen::VectorXd best_x = x;
        Eigen::VectorXd best_u = u;
        double best_rel = res.rel;
        for (const double alpha : kLineSearchFactors) {
          Eigen::VectorXd trial_x = system->advanced(x, *delta, alpha);
          Eigen::VectorXd trial_u = system->expand(trial_x);
          auto f_trial = model.assemble_corotational_internal_forces(trial_u, in.active, support_forces);
          if (!f_trial) return fail(f_trial.error());
          auto f_ext_trial = load->at(trial_u, lambda);
          if (!f_ext_trial) return fail(f_ext_trial.error());
          const Residual trial = residual(*f_trial, *f_ext_trial);
          if (trial.rel < best_rel) {
            best_rel = trial.rel;
            best_x = std::move(trial_x);
            best_u = std::move(trial_u);
          }
          if (trial.rel < res.rel) break;
        }
        x = std::move(best_x);
        u = std::move(best_u);
      }
      if (!converged) attempt_ok = false;
    }

    if (attempt_ok) {
      out.completed = true;
      out.u = std::move(u);
      if (in.rigid != nullptr) out.u_r = std::move(x);
      out.support_forces = std::move(support_forces);
      return out;
    }
  }
  return out;
}

}  // namespace varn::second_order
