#include "models/varn/second_order/corotational_phase.h"

#include <algorithm>
#include <chrono>
#include <array>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "fatal.h"
#include "functions/geometry.h"
#include "functions/member_loop.h"
#include "functions/sparse.h"
#include "functions/support_utils.h"
#include "logging.h"
#include "models/members/corotational.h"
#include "models/varn/second_order/reduced_reactions.h"
#include "models/varn/second_order/residual_measure.h"
#include "models/varn/varn.h"

namespace varn::second_order {

namespace {

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

namespace {

// The factorised tangent of the phase in the solve space. The symmetric part of the tangent is
// factorised by Cholesky (the parallel supernodal factorisation, on a symbolic analysis kept
// while the pattern stays the same) and kept while it contracts the residual: the residual
// stays exact, so the converged states are those of full Newton, and near an equilibrium state
// the symmetric part is close to the whole tangent (its skew part comes from the moments
// acting on turned nodes). Where the symmetric part is not positive definite, or does not
// lower the residual, the exact tangent is factorised by LU: the Cholesky path reads one
// triangle only and would solve another matrix without notice.
class PhaseFactor {
 public:
  // false when k cannot be factorised, or (symmetric) is not positive definite.
  bool factorize(const SparseMatrix& k, CorotationalTangentForm form) {
    usable_ = false;
    const SparseSolveMethod method =
        form == CorotationalTangentForm::Symmetric ? factor_.factorize(k) : factor_.factorize_unsymmetric(k);
    if (method == SparseSolveMethod::Failed) return false;
    if (form == CorotationalTangentForm::Symmetric && !factor_.positive_definite()) return false;
    usable_ = true;
    return true;
  }
  std::optional<Eigen::VectorXd> solve(const Eigen::VectorXd& b) const {
    if (!usable_) return std::nullopt;
    // Neither refined nor tested: the step is judged by the exact residual it leads to.
    auto x = factor_.solve_once(b);
    if (!x || !x->allFinite()) return std::nullopt;
    return Eigen::VectorXd(x->col(0));
  }
  bool usable() const { return usable_; }
  void renew() { usable_ = false; }
  std::size_t numeric_factorizations() const { return factor_.numeric_factorizations(); }
  std::size_t symbolic_analyses() const { return factor_.symbolic_analyses(); }

 private:
  SparseFactorization factor_;
  bool usable_ = false;
};

// The load is applied in max(driver's steps, 10) equal steps. Each starts from the path
// extrapolated through the last equilibrium states (the unloaded one at λ = 0, and before the
// first step the P-delta state at λ = 1) or from the last one; a step that cannot be brought
// into equilibrium is retried from the last equilibrium state with half the load increment,
// down to 1/16 of the nominal one (as fine as four attempts with doubled steps), and a step
// that converged in a few iterations lets the next one grow back towards the nominal.
constexpr std::size_t kMinLoadSteps = 10;
constexpr std::uint32_t kIterationsPerStep = 20;
constexpr std::uint64_t kHalvings = 4;
constexpr std::uint32_t kEasyStep = 4;
// Largest contraction of the relative residual per iteration for which a kept factor is still
// worth its cheap solves; above it the next iteration factorises afresh.
constexpr double kKeptFactorContraction = 0.25;
// Shortened steps tried, in turn, when the exact tangent's step leads to a state the members
// cannot describe.
constexpr std::array<double, 5> kShortenedSteps = {0.5, 0.25, 0.125, 0.0625, 0.03125};

std::string percent_of_load(double lambda) {
  char text[32];
  std::snprintf(text, sizeof text, "%.1f %%", 100.0 * lambda);
  return text;
}

class PhaseRun {
 public:
  PhaseRun(const VARN& model, const CorotationalPhaseInput& in, const PhaseSystem& system, const ExternalLoad& load)
      : model_(model), in_(in), system_(system), load_(load) {}

  Expected<CorotationalPhaseResult> run() {
    const std::size_t steps = std::max(in_.load_steps, kMinLoadSteps);
    // Load factors in units of the finest increment, so that the steps end exactly at λ = 1.
    const std::uint64_t finest = std::uint64_t{1} << kHalvings;
    const std::uint64_t total = static_cast<std::uint64_t>(steps) * finest;
    std::uint64_t increment = finest;
    std::uint64_t done_units = 0;
    const auto lambda_of = [&](std::uint64_t units) { return static_cast<double>(units) / static_cast<double>(total); };

    const auto n = static_cast<Eigen::Index>(in_.f.size());
    State done{Eigen::VectorXd::Zero(static_cast<Eigen::Index>(system_.dim())), Eigen::VectorXd::Zero(n), {}};
    std::vector<Anchor> anchors{{0.0, done.x}, {1.0, system_.reduce(in_.u)}};
    bool pdelta_anchor = true;

    CorotationalPhaseResult out;
    while (done_units < total) {
      const std::uint64_t target_units = std::min(total, done_units + increment);
      const double lambda = lambda_of(target_units);
      auto start = start_of_step(anchors, lambda, done);
      if (!start) return fail(start.error());
      std::uint32_t iterations = 0;
      auto converged = step(*start, lambda, iterations);
      if (!converged) return fail(converged.error());
      out.iterations += iterations;
      if (*converged) {
        done = std::move(*start);
        done_units = target_units;
        ++out.load_steps;
        if (pdelta_anchor) anchors.pop_back();
        pdelta_anchor = false;
        anchors.push_back({lambda, done.x});
        if (anchors.size() > 3) anchors.erase(anchors.begin());
        if (iterations <= kEasyStep && increment < finest) increment *= 2;
        continue;
      }
      ++out.cut_steps;
      if (increment == 1) return fail_at(done, lambda_of(done_units));
      increment /= 2;
    }

    out.u = std::move(done.u);
    if (in_.rigid != nullptr) out.u_r = std::move(done.x);
    out.support_forces = std::move(done.support_forces);
    out.residual_time = times_.residual_time;
    out.tangent_time = times_.tangent_time;
    out.factorization_time = times_.factorization_time;
    out.solve_time = times_.solve_time;
    out.numeric_factorizations = factor_.numeric_factorizations();
    out.symbolic_analyses = factor_.symbolic_analyses();
    return out;
  }

 private:
  struct State {
    Eigen::VectorXd x;  // solve-space state: u, or u_r on the rigid path
    Eigen::VectorXd u;  // global displacements
    // What the curve supports carry at u, the force their springs are read at.
    SupportNodeForceMap support_forces;
  };
  struct Anchor {
    double lambda;
    Eigen::VectorXd x;
  };
  // The unbalanced force at a state (reduced on the rigid path) and its size relative to the load.
  struct Residual {
    Eigen::VectorXd r;
    double rel = 0.0;
  };

  State at(Eigen::VectorXd x, const SupportNodeForceMap& support_forces) const {
    State s{std::move(x), Eigen::VectorXd(), support_forces};
    s.u = system_.expand(s.x);
    return s;
  }

  // The step's start: the path extrapolated through the anchors (a line through two, a
  // parabola through three equilibrium states) or the last equilibrium state, whichever is
  // nearer equilibrium at λ. Where the members turn, moving the nodes along straight lines
  // stretches them, which their axial stiffness answers with large forces: the parabola follows
  // the turn to second order, and where the members turn far the last state is the better start.
  Expected<State> start_of_step(const std::vector<Anchor>& anchors, double lambda, const State& done) const {
    Eigen::VectorXd x = Eigen::VectorXd::Zero(done.x.size());
    for (std::size_t i = 0; i < anchors.size(); ++i) {
      double weight = 1.0;  // Lagrange's basis polynomial of anchor i at λ
      for (std::size_t j = 0; j < anchors.size(); ++j) {
        if (j != i) weight *= (lambda - anchors[j].lambda) / (anchors[i].lambda - anchors[j].lambda);
      }
      x += weight * anchors[i].x;
    }
    State extrapolated = at(std::move(x), done.support_forces);
    State last = done;
    auto extrapolated_res = residual(extrapolated, lambda);
    if (!extrapolated_res) return fail(extrapolated_res.error());
    auto last_res = residual(last, lambda);
    if (!last_res) return fail(last_res.error());
    if (*extrapolated_res && (!*last_res || (*extrapolated_res)->rel <= (*last_res)->rel)) return extrapolated;
    return last;
  }

  // The residual at s for the load factor λ, the curve supports read at what they carry there
  // (updated in s); none when some member cannot describe s.
  Expected<std::optional<Residual>> residual(State& s, double lambda) const {
    const auto t = std::chrono::steady_clock::now();
    auto out = unbalanced_at(s, lambda);
    times_.residual_time += seconds_since(t);
    return out;
  }

  Expected<std::optional<Residual>> unbalanced_at(State& s, double lambda) const {
    auto f_int = model_.assemble_corotational_internal_forces_if_admissible(s.u, in_.active, s.support_forces,
                                                                           &inadmissible_);
    if (!f_int) return fail(f_int.error());
    if (!*f_int) return std::optional<Residual>();
    auto f_ext = load_.at(s.u, lambda);
    if (!f_ext) return fail(f_ext.error());
    if (in_.has_support_curves) {
      // What the supports carry depends on u alone; the springs of the internal forces must
      // be read there too, or a state in equilibrium with the springs of another state (any
      // spring stiffness balances some u) would pass as converged.
      auto carried = carried_support_forces(model_, s.u, **f_int, *f_ext, s.support_forces);
      if (!carried) return fail(carried.error());
      if (*carried != s.support_forces) {
        s.support_forces = std::move(*carried);
        auto again = model_.assemble_corotational_internal_forces(s.u, in_.active, s.support_forces);
        if (!again) return fail(again.error());
        **f_int = std::move(*again);
      }
    }
    Residual res;
    const Eigen::VectorXd full = **f_int - *f_ext;
    res.r = system_.unbalanced(full);
    res.rel = system_.relative(full, res.r, *f_ext, s.u);
    return std::optional<Residual>(std::move(res));
  }

  // Factorises the tangent of the given form at s; false when it cannot be (or, symmetric, is
  // not positive definite).
  Expected<bool> factorize_at(const State& s, CorotationalTangentForm form) {
    auto t = std::chrono::steady_clock::now();
    auto k_t = model_.assemble_corotational_tangent_stiffness_sparse(s.u, in_.active, s.support_forces, form);
    if (!k_t) return fail(k_t.error());
    if (system_.solve_order() == 0) return false;
    const SparseMatrix k = system_.on_fixed_pattern(*k_t);
    times_.tangent_time += seconds_since(t);
    t = std::chrono::steady_clock::now();
    const bool made = factor_.factorize(k, form);
    times_.factorization_time += seconds_since(t);
    return made;
  }

  Expected<bool> positive_definite_at(const State& s) {
    if (system_.solve_order() == 0) return true;
    return factorize_at(s, CorotationalTangentForm::Symmetric);
  }

  // Newton iterations at the load factor λ from s; true when s has been brought into
  // equilibrium (s is then that state).
  Expected<bool> step(State& s, double lambda, std::uint32_t& iterations) {
    blocked_ = false;
    auto res = residual(s, lambda);
    if (!res) return fail(res.error());
    if (!*res) return false;
    CorotationalTangentForm form = in_.full_newton || symmetric_indefinite_ ? CorotationalTangentForm::Exact
                                                                            : CorotationalTangentForm::Symmetric;
    for (std::uint32_t k = 0; k < kIterationsPerStep; ++k) {
      if ((*res)->rel < in_.tol) return true;
      bool fresh = false;
      if (!factor_.usable()) {
        auto made = factorize_at(s, form);
        if (!made) return fail(made.error());
        if (!*made && form == CorotationalTangentForm::Symmetric) {
          // Not positive definite: the loads have turned the structure so far that its
          // symmetric part no longer serves; the rest of the phase uses the exact tangent.
          symmetric_indefinite_ = true;
          form = CorotationalTangentForm::Exact;
          made = factorize_at(s, form);
          if (!made) return fail(made.error());
        }
        if (!*made) return false;
        fresh = true;
      }
      const bool exact = form == CorotationalTangentForm::Exact;
      const auto t_solve = std::chrono::steady_clock::now();
      const auto delta = system_.direction(factor_, (*res)->r);
      times_.solve_time += seconds_since(t_solve);
      if (!delta) {
        factor_.renew();
        if (fresh && exact) return false;
        if (fresh) form = CorotationalTangentForm::Exact;
        continue;
      }
      ++iterations;
      // The step. A symmetric factor's step must lower the residual, and the factor is kept for
      // the next iteration while it contracts the residual well. The exact tangent's step is
      // taken whole, as full Newton takes it, even where the residual grows on the way (moving
      // the nodes along the straight lines of a step stretches members that turn far, and the
      // next iterations take that back quadratically); it is shortened only where the members
      // cannot describe the state it leads to. The exact tangent is made afresh at every state.
      bool accepted = false;
      bool keep = false;
      for (std::size_t trial = 0; trial <= kShortenedSteps.size() && !accepted; ++trial) {
        if (trial > 0 && !exact) break;
        const double alpha = trial == 0 ? 1.0 : kShortenedSteps[trial - 1];
        State next = at(system_.advanced(s.x, *delta, alpha), s.support_forces);
        auto next_res = residual(next, lambda);
        if (!next_res) return fail(next_res.error());
        if (!*next_res || !std::isfinite((*next_res)->rel)) continue;
        if (!exact && !((*next_res)->rel < (*res)->rel)) break;
        keep = !exact && (*next_res)->rel <= kKeptFactorContraction * (*res)->rel;
        s = std::move(next);
        res = std::move(next_res);
        accepted = true;
      }
      if (!keep) factor_.renew();
      if (accepted) continue;
      // A kept factor that does not lower the residual is renewed at this state; a fresh
      // symmetric one gives way to the exact tangent; an exact step that leads nowhere the
      // members can describe, even shortened, ends the step.
      if (exact) {
        blocked_ = true;
        return false;
      }
      if (fresh) form = CorotationalTangentForm::Exact;
    }
    return (*res)->rel < in_.tol;
  }

  std::string beyond_critical_load(double lambda) const {
    return "Second-order: co-rotational tangent not positive definite at " + percent_of_load(lambda) +
           " of the load: the load exceeds the elastic critical load";
  }

  // The phase cannot go beyond the equilibrium state `done` at the load factor λ. Its tangent
  // says which failure it is: not positive definite, the path has passed a critical load;
  // positive definite, no equilibrium lies near it under a little more load, as beyond a limit
  // point. (Under forces alone the tangent of an equilibrium state is symmetric, the moments
  // of the members meeting at each node being in balance; moments applied at nodes leave a skew
  // part, of the order of those moments, which the judgement leaves out.)
  Unexpected fail_at(const State& done, double lambda) {
    const std::string reached =
        "Second-order: the co-rotational solution does not converge beyond " + percent_of_load(lambda) + " of the load";
    // The last step led only to states that a member cannot describe: that member is named.
    if (blocked_) return fail(reached + ": " + inadmissible_);
    auto stable = positive_definite_at(done);
    if (!stable) return fail(stable.error());
    if (!*stable) return fail(beyond_critical_load(lambda));
    return fail(reached + ": the load may exceed a limit point of the structure, where it snaps through or collapses");
  }

  const VARN& model_;
  const CorotationalPhaseInput& in_;
  const PhaseSystem& system_;
  const ExternalLoad& load_;
  PhaseFactor factor_;
  bool symmetric_indefinite_ = false;
  // The last state a member could not describe, that member's message; and whether the last
  // step ended because its every trial led to such states.
  mutable std::string inadmissible_;
  bool blocked_ = false;
  struct Times {
    double residual_time = 0.0;
    double tangent_time = 0.0;
    double factorization_time = 0.0;
    double solve_time = 0.0;
  };
  mutable Times times_;
};

}  // namespace

Expected<CorotationalPhaseResult> run_corotational_phase(const VARN& model, const CorotationalPhaseInput& in) {
  if (in.u.size() != in.f.size()) fatal("co-rotational phase: displacement and load vector differ in size");
  auto system = PhaseSystem::create(model, in);
  if (!system) return fail(system.error());
  auto load = ExternalLoad::create(model, in);
  if (!load) return fail(load.error());
  return PhaseRun(model, in, *system, *load).run();
}

Expected<CorotationalForces> corotational_forces_at(const VARN& model, const CorotationalPhaseInput& in,
                                                    const Eigen::VectorXd& u,
                                                    const SupportNodeForceMap& support_forces) {
  auto load = ExternalLoad::create(model, in);
  if (!load) return fail(load.error());
  auto f_ext = load->at(u, 1.0);
  if (!f_ext) return fail(f_ext.error());
  auto f_int = model.assemble_corotational_internal_forces(u, in.active, support_forces);
  if (!f_int) return fail(f_int.error());
  return CorotationalForces{std::move(*f_int), std::move(*f_ext)};
}

}  // namespace varn::second_order
