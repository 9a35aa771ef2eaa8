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
#include "models/varn/second_order/corotational_system.h"
#include "models/varn/second_order/reduced_reactions.h"
#include "models/varn/second_order/residual_measure.h"
#include "models/varn/varn.h"

namespace varn::second_order {

namespace {

using corotational::ExternalLoad;
using corotational::PhaseSystem;

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
