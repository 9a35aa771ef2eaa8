#include "models/varn/equilibrium_check.h"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdio>
#include <limits>
#include <string>
#include <utility>

#include "diagnostics/diagnostics.h"
#include "fatal.h"
#include "functions/geometry.h"
#include "functions/member_loop.h"
#include "models/varn/reactions.h"
#include "functions/support_utils.h"
#include "models/varn/member_stiffness.h"
#include "models/varn/varn.h"

namespace varn {

namespace {

constexpr double kEps = std::numeric_limits<double>::epsilon();

// A nodal residual above this share of the load is load that only the regularisation
// carries. On a sound structure the stabilising terms carry 1e-10·EA/L times the transverse
// motion of a bar's ends, 1e-10·(rotation/strain) of its axial force: below 1e-8 of the load
// for any bar that turns less than a hundred times its strain. A mechanism carries its whole
// load there (a share of order one).
constexpr double kLoadShareLost = 1e-6;
// ... and it must stand clear of the round-off of the residual itself, eps·(|K||u| + |f|) at
// that DOF: a residual within a thousand times that is the arithmetic, not a lost load (the
// sums of a row run over a few dozen entries, each rounded once in the product and once in
// the solution).
constexpr double kAboveRoundOff = 1e3;
// Two DOFs whose lost shares differ by less than this part of the larger lose the same share:
// the digits beyond are those of a solution that nothing but stabilising terms held.
constexpr double kSameLostShare = 1e-3;
// Reactions and loads must balance to this share of the forces (and moments) involved: a
// result whose reactions miss its loads by more than one part in ten thousand is not one to
// report; below that the miss is far under what any design reads from a reaction (three or
// four significant digits), and a tighter limit would refuse sound slender models: a mast or a
// pile of 400 elements in one line already balances only to about 1e-6. The reactions come from the members' end forces, so their balance carries the
// rounding of the assembled operator, eps·|K||u| at every node, summed along the load path: a
// compact model balances to about n·eps (below 1e-10 up to a million DOFs), a chain of N very
// short elements to about N^3.5 eps relative (7e-8 was seen at N = 200 for a cantilever, 8e-4
// at N = 2000, 0.14 at N = 10,000). No refinement of u lowers this: it is the precision with
// which the operator itself is known.
constexpr double kImbalanceAllowed = 1e-4;

using diagnostics::dof_text;
using diagnostics::ratio_text;

std::string case_text(const ResultType& type) { return type.label(); }

}  // namespace

struct EquilibriumCheck::Verdict {
  double nodal_residual = 0.0;      // largest judged |r_i| / load scale of its kind
  double global_imbalance = 0.0;    // |Σ R + Σ F| / Σ |R| + |F|, forces and moments
  std::optional<std::size_t> lost;  // global DOF where load is lost beyond round-off
};

Expected<SparseMatrix> EquilibriumCheck::unstabilised_operator(const VARN& model, const ActiveMap* active,
                                                               bool with_springs) {
  const ActiveMap all_on;
  const ActiveMap& map = active != nullptr ? *active : all_on;
  const AssemblyContext ctx = model.build_lookup_maps();
  const std::size_t n = compute_num_dofs_from_members(model.member_sets);
  const std::vector<const Member*> members = flatten_members(model.member_sets);
  const auto rigid_sections = stiff_beam_sections(model, members);
  MemberStiffnessInputs inputs{model, ctx, map, nullptr, rigid_sections, model.max_e_mod_in_model(),
                               StiffnessMessages::Assembly};
  inputs.unstabilised = true;
  auto k = assemble_member_matrices(
      members, n, [&](const Member& m, std::size_t i) { return member_elastic_stiffness_global(m, i, inputs); });
  if (!k) return fail(k.error());
  if (!with_springs) return std::move(*k);
  return add_support_springs(*k, model.member_sets, model.nodal_supports);
}

Expected<EquilibriumCheck> EquilibriumCheck::build_regularisation(const VARN& model, const ActiveMap* active,
                                                                  const SupportState& released) {
  auto c = build(model, active, released);
  if (!c) return fail(c.error());
  const ActiveMap all_on;
  auto k = model.assemble_global_stiffness_matrix_sparse(active != nullptr ? *active : all_on);
  if (!k) return fail(k.error());
  // K − K_u: the elastic operator as solved less the structure as it is, springs on neither.
  auto k_u = unstabilised_operator(model, active, false);
  if (!k_u) return fail(k_u.error());
  c->structure_ = std::move(c->k_);
  c->k_ = sparse_add(*k, SparseMatrix(-1.0 * *k_u));
  c->row_abs_ = Eigen::VectorXd::Zero(c->k_.rows());
  for (Eigen::Index j = 0; j < c->k_.outerSize(); ++j)
    for (SparseMatrix::InnerIterator it(c->k_, j); it; ++it) c->row_abs_[it.row()] += std::abs(it.value());
  c->regularisation_only_ = true;
  return c;
}

Expected<EquilibriumCheck> EquilibriumCheck::build(const VARN& model, const ActiveMap* active,
                                                   const SupportState& released, const SparseMatrix* k_u) {
  EquilibriumCheck c;
  const std::size_t n = compute_num_dofs_from_members(model.member_sets);
  const std::vector<const Member*> members = flatten_members(model.member_sets);
  if (k_u != nullptr) {
    c.k_ = *k_u;
  } else {
    auto k = unstabilised_operator(model, active);
    if (!k) return fail(k.error());
    c.k_ = std::move(*k);
  }
  c.row_abs_ = Eigen::VectorXd::Zero(c.k_.rows());
  for (Eigen::Index j = 0; j < c.k_.outerSize(); ++j)
    for (SparseMatrix::InnerIterator it(c.k_, j); it; ++it) c.row_abs_[it.row()] += std::abs(it.value());

  auto held = model.collect_constrained_dofs_full(released);
  if (!held) return fail(held.error());
  c.held_.assign(n, 0);
  for (std::size_t d : *held) {
    check_index(d, n, "held DOF of the equilibrium check");
    c.held_[d] = 1;
  }

  if (model.needs_dense_rigid_path()) {
    auto elimination = model.build_rigid_elimination_partial_using_hinges();
    if (!elimination) return fail(elimination.error());
    // A reduced equation gathers the equilibrium of a whole rigid body; it is judged unless a
    // support acts on it, on the retained DOF itself or through a slave that a support holds.
    // (A slave DOF that nothing stiffens, holds or loads is held on the penalty path, so that
    // its operator is not singular; here the slave is no unknown of its own.)
    Eigen::VectorXd free_of_supports = Eigen::VectorXd::Ones(static_cast<Eigen::Index>(n));
    model.zero_support_dofs(free_of_supports, released);
    std::vector<char> reduced_held(elimination->n_r, 0);
    std::vector<std::int64_t> global_of(elimination->n_r, -1);
    for (std::size_t d = 0; d < n; ++d) {
      const auto col = elimination->reduced_column(d);
      if (col) global_of[*col] = static_cast<std::int64_t>(d);
      if (!c.held_[d] || (!col && free_of_supports[static_cast<Eigen::Index>(d)] != 0.0)) continue;
      if (col) {
        reduced_held[*col] = 1;
      } else {
        for (const auto& [j, v] : elimination->row(d)) reduced_held[j] = 1;
      }
    }
    // A reduced column is named by the node of its retained DOF.
    for (std::size_t j = 0; j < elimination->n_r; ++j) {
      if (reduced_held[j] || global_of[j] < 0) continue;
      c.judged_.push_back(static_cast<std::int64_t>(j));
      c.judged_dof_.push_back(static_cast<std::size_t>(global_of[j]));
    }
    c.elimination_ = std::move(*elimination);
  } else {
    for (std::size_t d = 0; d < n; ++d) {
      if (c.held_[d]) continue;
      c.judged_.push_back(static_cast<std::int64_t>(d));
      c.judged_dof_.push_back(d);
    }
  }

  c.spring_dofs_ = spring_reported_dofs(model);
  c.position_.assign(n / 7, Eigen::Vector3d::Zero());
  Eigen::Vector3d lo = Eigen::Vector3d::Constant(std::numeric_limits<double>::infinity());
  Eigen::Vector3d hi = -lo;
  for (const Member* m : members) {
    for (const Node* node : {&m->start_node, &m->end_node}) {
      if (node->id == 0 || node->id > c.position_.size()) continue;
      const Eigen::Vector3d x(node->X, node->Y, node->Z);
      c.position_[node->id - 1] = x;
      lo = lo.cwiseMin(x);
      hi = hi.cwiseMax(x);
    }
  }
  if (!members.empty()) {
    const double size = (hi - lo).norm();
    if (std::isfinite(size) && size > 0.0) c.length_ = size;
  }
  return c;
}

EquilibriumCheck::Verdict EquilibriumCheck::assess(const Eigen::VectorXd& f, const Eigen::VectorXd& u,
                                                   const Eigen::VectorXd& reactions) const {
  Verdict v;
  const Eigen::Index n = k_.rows();
  if (f.size() != n || u.size() != n || reactions.size() != n)
    fatal("equilibrium check: vectors of " + std::to_string(f.size()) + ", " + std::to_string(u.size()) + " and " +
          std::to_string(reactions.size()) + " entries for a system of " + std::to_string(n));

  // One load scale in force units: forces as they are, moments over the size of the model,
  // bimoments over its square, over the applied loads and the reactions. A millimetre model
  // (converted to SI) and a load of any magnitude give the same ratios.
  const double l = length_;
  double scale = 0.0;
  for (const Eigen::VectorXd* w : {&f, &reactions}) {
    for (Eigen::Index i = 0; i < n; ++i) {
      const auto k = static_cast<std::size_t>(i % 7);
      const double per = k < 3 ? 1.0 : k < 6 ? l : l * l;
      scale = std::fmax(scale, std::abs((*w)[i]) / per);
    }
  }
  if (!(scale > 0.0) || !std::isfinite(scale)) return v;  // nothing loaded, nothing to judge
  // Loads, reactions and displacements scaled by one power of two to a load scale near 1:
  // exact, and it keeps a subnormal load (1e-310 N) from being judged in numbers that have
  // lost their digits.
  int exponent = 0;
  std::frexp(scale, &exponent);
  const Eigen::VectorXd fs = f.unaryExpr([&](double x) { return std::ldexp(x, -exponent); });
  const Eigen::VectorXd us = u.unaryExpr([&](double x) { return std::ldexp(x, -exponent); });
  // The forces the supports exert on the nodes: a spring reports the force on it, k·u, and the
  // node feels −k·u.
  const Eigen::VectorXd rs = [&] {
    Eigen::VectorXd r = reactions.unaryExpr([&](double x) { return std::ldexp(x, -exponent); });
    for (const std::size_t d : spring_dofs_) {
      check_index(d, static_cast<std::size_t>(n), "spring DOF of the equilibrium check");
      r[static_cast<Eigen::Index>(d)] = -r[static_cast<Eigen::Index>(d)];
    }
    return r;
  }();
  scale = std::ldexp(scale, -exponent);
  auto kind_scale = [&](std::size_t dof) {
    const std::size_t k = dof % 7;
    return k < 3 ? scale : k < 6 ? scale * l : scale * l * l;
  };

  // r = K u − f and |K||u| + |f|, row by row over the stored entries (column order: the same
  // sums on every run).
  Eigen::VectorXd r = regularisation_only_ ? Eigen::VectorXd(Eigen::VectorXd::Zero(n)) : Eigen::VectorXd(-fs);
  Eigen::VectorXd mag = regularisation_only_ ? Eigen::VectorXd(Eigen::VectorXd::Zero(n)) : Eigen::VectorXd(fs.cwiseAbs());
  for (Eigen::Index j = 0; j < k_.outerSize(); ++j) {
    for (SparseMatrix::InnerIterator it(k_, j); it; ++it) {
      const double t = it.value() * us[j];
      r[it.row()] += t;
      mag[it.row()] += std::abs(t);
    }
  }
  // A displacement is known to half the smallest subnormal at best: below the normal range
  // (a load of 1e-310 N) that, not eps, bounds the digits of K u.
  const double underflow = std::ldexp(std::numeric_limits<double>::denorm_min(), -exponent);
  // From here `mag` is the round-off floor of each residual.
  mag = kEps * mag + underflow * row_abs_;
  Eigen::VectorXd r_judged, mag_judged;
  if (elimination_) {
    r_judged = elimination_->c.transpose() * r;
    mag_judged = Eigen::VectorXd(elimination_->c.cwiseAbs().transpose() * mag);
  }
  const Eigen::VectorXd& res_of = elimination_ ? r_judged : r;
  const Eigen::VectorXd& mag_of = elimination_ ? mag_judged : mag;
  // The share of the load each judged DOF loses, where it is lost beyond round-off (else 0).
  std::vector<double> lost(judged_.size(), 0.0);
  double worst_lost = 0.0;
  for (std::size_t q = 0; q < judged_.size(); ++q) {
    const std::size_t dof = judged_dof_[q];
    const double rel = std::abs(res_of[judged_[q]]) / kind_scale(dof);
    if (!std::isfinite(rel)) continue;
    v.nodal_residual = std::fmax(v.nodal_residual, rel);
    const double floor = mag_of[judged_[q]] / kind_scale(dof);
    if (rel > kLoadShareLost && rel > kAboveRoundOff * floor) {
      lost[q] = rel;
      worst_lost = std::fmax(worst_lost, rel);
    }
  }
  // The DOF named is the first that loses the largest share. Nodes that move together in one
  // mechanism (a sway carried from corner to corner by a bar) lose equal shares but for the
  // round-off of a solution that only stabilising terms held; the margin keeps the choice from
  // turning on those digits.
  for (std::size_t q = 0; q < judged_.size() && worst_lost > 0.0; ++q) {
    if (lost[q] >= (1.0 - kSameLostShare) * worst_lost) {
      v.lost = judged_dof_[q];
      break;
    }
  }

  if (regularisation_only_) return v;
  // Σ R + Σ F: forces, and moments about the centroid of the nodes (the reference point keeps
  // the moment sums free of the model's distance from the origin).
  Eigen::Vector3d centroid = Eigen::Vector3d::Zero();
  for (const Eigen::Vector3d& x : position_) centroid += x;
  if (!position_.empty()) centroid /= static_cast<double>(position_.size());
  Eigen::Vector3d force = Eigen::Vector3d::Zero(), moment = Eigen::Vector3d::Zero();
  double force_size = 0.0, moment_size = 0.0;
  for (std::size_t node = 0; node < position_.size(); ++node) {
    const Eigen::Vector3d arm = position_[node] - centroid;
    for (const Eigen::VectorXd* w : {&fs, &rs}) {
      const Eigen::Index b = static_cast<Eigen::Index>(7 * node);
      const Eigen::Vector3d p = w->segment<3>(b);
      const Eigen::Vector3d m = w->segment<3>(b + 3);
      force += p;
      moment += arm.cross(p) + m;
      force_size += p.cwiseAbs().sum();
      moment_size += (arm.cwiseAbs() * p.cwiseAbs().sum()).sum() + m.cwiseAbs().sum();
    }
  }
  // The reactions inherit the absolute precision of the displacements: what underflow leaves
  // of every node's sum is not an imbalance of the solution.
  const double lost_to_underflow = underflow * (row_abs_.size() ? row_abs_.maxCoeff() : 0.0) *
                                   static_cast<double>(n);
  auto share = [&](double miss, double allowance, double size) {
    miss = std::fmax(0.0, miss - allowance);
    return size > 0.0 ? miss / size : 0.0;
  };
  // One scale for both, forces plus moments over the size of the model: it vanishes only when
  // nothing is loaded. Judged on its own, the force balance of a case of moments alone would
  // divide the round-off of reactions that are exactly zero by itself.
  const double size = force_size + moment_size / l;
  v.global_imbalance = std::fmax(share(force.cwiseAbs().maxCoeff(), lost_to_underflow, size),
                                 share(moment.cwiseAbs().maxCoeff(), lost_to_underflow * l, size * l));
  return v;
}

std::optional<std::size_t> EquilibriumCheck::mechanism_dof() const {
  if (judged_.empty()) return std::nullopt;
  // The structure's operator, whichever this check judges.
  const SparseMatrix& structure = regularisation_only_ ? structure_ : k_;
  // The equations judged, as the solve poses them: global, or reduced by the rigid links.
  SparseMatrix k = elimination_ ? VARN::reduce_system_sparse_internal(
                                      structure, Eigen::VectorXd::Zero(structure.rows()), *elimination_)
                                      .k
                                : SparseMatrix(structure);
  std::vector<std::int64_t> position(static_cast<std::size_t>(k.rows()), -1);
  for (std::size_t q = 0; q < judged_.size(); ++q) {
    check_index(static_cast<std::size_t>(judged_[q]), position.size(), "judged equation");
    position[static_cast<std::size_t>(judged_[q])] = static_cast<std::int64_t>(q);
  }
  SparseAssembler free(judged_.size());
  for (Eigen::Index j = 0; j < k.outerSize(); ++j) {
    const std::int64_t c = position[static_cast<std::size_t>(j)];
    if (c < 0) continue;
    for (SparseMatrix::InnerIterator it(k, j); it; ++it) {
      const std::int64_t r = position[static_cast<std::size_t>(it.row())];
      if (r >= 0) free.add(static_cast<std::size_t>(r), static_cast<std::size_t>(c), it.value());
    }
  }
  SparseFactorization factor;
  if (factor.factorize(free.to_csc()) != SparseSolveMethod::Failed) return std::nullopt;
  const std::size_t q = factor.unstable_dof().value_or(0);
  check_index(q, judged_dof_.size(), "unstable judged equation");
  return judged_dof_[q];
}

EquilibriumCheck::Figures EquilibriumCheck::figures(const Eigen::VectorXd& f, const Eigen::VectorXd& u,
                                                    const Eigen::VectorXd& reactions) const {
  const Verdict v = assess(f, u, reactions);
  return Figures{v.nodal_residual, v.global_imbalance};
}

Expected<void> EquilibriumCheck::judge(const ResultType& type, const Eigen::VectorXd& f, const Eigen::VectorXd& u,
                                       const Eigen::VectorXd& reactions) const {
  // Results that are not finite have their own message, naming where they appear.
  if (!u.allFinite() || !reactions.allFinite() || !f.allFinite()) return {};
  const Verdict v = assess(f, u, reactions);
  // Load carried by the stabilising terms is lost where the structure needs them: where it
  // holds without them, they carry only a share of the load that grows with how far a bar's
  // ends move across it against its stretch (a stiff bar on a soft frame), which a solve that
  // kept them has not removed.
  if (v.lost && mechanism_dof()) return fail(mechanism_message(type, *v.lost));
  if (!(v.global_imbalance <= kImbalanceAllowed)) {
    // Lost without a trace at the free DOFs: the load went into the supports' penalty, through
    // a mechanism whose near-zero pivot the penalty's round-off hid, or through the rounding of
    // an operator too ill-conditioned for the arithmetic.
    if (const auto dof = mechanism_dof()) return fail(mechanism_message(type, *dof));
    return fail("Stiffness matrix is too ill-conditioned: the reactions miss the loads by " +
                ratio_text(v.global_imbalance) + " (" + case_text(type) + ")");
  }
  return {};
}

std::string free_dof_text(std::size_t dof) {
  return "node " + std::to_string(dof / 7 + 1) + " is free to move in " + dof_text(dof % 7);
}

std::string mechanism_message(const ResultType& type, std::size_t dof) {
  return "Structure is a mechanism: " + free_dof_text(dof) + " (" + case_text(type) + ")";
}

Expected<std::optional<std::size_t>> find_mechanism(const VARN& model, const ActiveMap* active,
                                                    const SupportState& released) {
  auto check = EquilibriumCheck::build(model, active, released);
  if (!check) return fail(check.error());
  return check->mechanism_dof();
}

std::string with_unstable_dof(const std::string& message, std::optional<std::size_t> dof) {
  if (!dof || message.empty()) return message;
  // A message that is a sentence of its own gets a second one.
  if (message.back() == '.') {
    std::string text = free_dof_text(*dof);
    text[0] = 'N';
    return message + " " + text;
  }
  return message + ": " + free_dof_text(*dof);
}

Expected<void> check_regularisation(const VARN& model, const ResultType& type, const ActiveMap* active,
                                    const Eigen::VectorXd& f, const Eigen::VectorXd& u,
                                    const Eigen::VectorXd& reactions, const SupportState& released) {
  auto check = EquilibriumCheck::build_regularisation(model, active, released);
  if (!check) return fail(check.error());
  return check->judge(type, f, u, reactions);
}

Expected<void> check_equilibrium(const VARN& model, const ResultType& type, const ActiveMap* active,
                                 const Eigen::VectorXd& f, const Eigen::VectorXd& u,
                                 const Eigen::VectorXd& reactions, const SupportState& released,
                                 const SparseMatrix* k_u) {
  auto check = EquilibriumCheck::build(model, active, released, k_u);
  if (!check) return fail(check.error());
  return check->judge(type, f, u, reactions);
}

}  // namespace varn
