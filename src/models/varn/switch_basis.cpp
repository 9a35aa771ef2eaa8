#include "models/varn/switch_basis.h"

#include <Eigen/Eigenvalues>
#include <Eigen/QR>
#include <Eigen/SparseCore>
#include <tbb/parallel_for.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <map>

#include "fatal.h"
#include "functions/member_loop.h"
#include "models/varn/member_stiffness.h"
#include "models/varn/varn.h"

namespace varn {

namespace {

// The principal part of a member's switch: the eigen-directions of K_e above this fraction of
// its largest eigenvalue. A bar has one such direction, its axial stiffness EA/L (two with a
// spring in series at an end, never more than a beam's twelve); its stabilising terms, 1e-10
// of that, stay below, and with them the eigensolver's round-off (a small multiple of ε·|K_e|).
// Updating the factor by the principal part alone costs one rank per bar instead of eleven;
// the stabilisers left out perturb the factorised matrix by about 1e-10 of the bar's stiffness,
// which the refinement against the assembled operator removes.
constexpr double kPrincipalEigenvalueRatio = 1e-6;

// A component of a unit eigenvector below this is the eigensolver's round-off (a few ε).
constexpr double kRoundOffComponent = 64.0 * std::numeric_limits<double>::epsilon();

// The forward solves of U's columns are split into this many blocks, each one task that
// solves its columns together (the top separators, which all of them reach, in one level-3
// call per supernode). The split depends on the number of columns alone, so every column's
// bits are the same on any number of threads; sixteen keeps 2, 4, 8 or 16 threads evenly busy.
constexpr Eigen::Index kBasisSolveBlocks = 16;
// Fewer columns than this per block would spend the level-3 calls on thin blocks.
constexpr Eigen::Index kMinBasisBlockColumns = 8;

// A weight vector w reproduces a member's axial force when ‖C·w − a‖ is below this share of
// ‖a‖: the principal column of a bar is its axial direction to the eigensolver's round-off
// (a few ε), and a force that depends on anything else misses it by the size of that part.
constexpr double kAxialWeightResidual = 1e-9;

// The weights w with C·w = a for a member's columns C and its axial-force row a (N = aᵀ·u, by
// DOF); empty when a is not in the span of C.
std::optional<Eigen::VectorXd> axial_weights(const SparseMatrix& c, const std::map<Eigen::Index, double>& a) {
  std::map<Eigen::Index, Eigen::Index> local;  // global DOF -> row of the dense blocks
  for (const auto& [dof, value] : a) local.emplace(dof, 0);
  for (Eigen::Index j = 0; j < c.outerSize(); ++j)
    for (SparseMatrix::InnerIterator it(c, j); it; ++it) local.emplace(it.row(), 0);
  Eigen::Index rows = 0;
  for (auto& [dof, row] : local) row = rows++;
  Eigen::MatrixXd dense = Eigen::MatrixXd::Zero(rows, c.cols());
  Eigen::VectorXd target = Eigen::VectorXd::Zero(rows);
  for (Eigen::Index j = 0; j < c.outerSize(); ++j)
    for (SparseMatrix::InnerIterator it(c, j); it; ++it) dense(local.at(it.row()), j) = it.value();
  for (const auto& [dof, value] : a) target[local.at(dof)] = value;
  const double size = target.norm();
  if (size == 0.0) return Eigen::VectorXd::Zero(c.cols());
  if (c.cols() == 0 || !std::isfinite(size)) return std::nullopt;
  Eigen::VectorXd w = dense.completeOrthogonalDecomposition().solve(target);
  if (!((dense * w - target).norm() <= kAxialWeightResidual * size)) return std::nullopt;
  return w;
}

// Vⱼᵀ·c(:, col), the sum in the order of V's stored entries.
double column_dot(const SparseMatrix& v, Eigen::Index j, const Eigen::MatrixXd& c, Eigen::Index col) {
  double sum = 0.0;
  for (SparseMatrix::InnerIterator it(v, j); it; ++it) sum += it.value() * c(it.row(), col);
  return sum;
}

}  // namespace

SparseMatrix switched_member_columns(const VARN& model, const AssemblyContext& ctx, const Member& member,
                                     std::size_t index, const std::vector<std::optional<std::uint32_t>>& rigid_sections,
                                     std::size_t n) {
  SparseMatrix c(static_cast<Eigen::Index>(n), 0);
  // The member's matrix switched on (a map without entries has every member on).
  const ActiveMap all_on;
  const MemberStiffnessInputs inputs{model, ctx, all_on, nullptr, rigid_sections, model.max_e_mod_in_model(),
                                     StiffnessMessages::Assembly};
  auto k = member_elastic_stiffness_global(member, index, inputs);
  if (k && k->has_value()) {
    // K_e = V·Λ·Vᵀ, positive semidefinite; its columns √λ·v scaled by the switched share.
    const Eigen::SelfAdjointEigenSolver<Mat14> eig(**k);
    const double largest = eig.eigenvalues().cwiseAbs().maxCoeff();
    const std::size_t s = kDofsPerNode * (static_cast<std::size_t>(member.start_node.id) - 1);
    const std::size_t e = kDofsPerNode * (static_cast<std::size_t>(member.end_node.id) - 1);
    check_index(s + kDofsPerNode - 1, n, "start DOF of a switched member");
    check_index(e + kDofsPerNode - 1, n, "end DOF of a switched member");
    std::vector<Eigen::Triplet<double, std::int64_t>> entries;
    std::int64_t column = 0;
    for (Eigen::Index j = 0; j < 14; ++j) {
      const double lambda = eig.eigenvalues()[j];
      if (!(lambda > kPrincipalEigenvalueRatio * largest)) continue;
      const double scale = std::sqrt((1.0 - kSwitchedOffScale) * lambda);
      const auto direction = eig.eigenvectors().col(j);
      const double largest_component = direction.cwiseAbs().maxCoeff();
      for (Eigen::Index r = 0; r < 14; ++r) {
        // Components at the eigensolver's round-off are zeros of the exact direction: kept,
        // they would couple DOFs that the member does not couple (the out-of-plane DOFs of a
        // plane truss would move by round-off instead of staying exactly at rest).
        if (!(std::abs(direction[r]) > kRoundOffComponent * largest_component)) continue;
        const double v = scale * direction[r];
        const std::size_t dof = r < 7 ? s + static_cast<std::size_t>(r) : e + static_cast<std::size_t>(r - 7);
        entries.emplace_back(static_cast<std::int64_t>(dof), column, v);
      }
      ++column;
    }
    c.resize(static_cast<Eigen::Index>(n), column);
    // A member with both ends on one node sums its two blocks, as the assembly does.
    c.setFromTriplets(entries.begin(), entries.end());
    c.makeCompressed();
  }
  return c;
}

std::optional<SwitchBasis::Columns> SwitchBasis::columns(const VARN& model, std::size_t n) {
  const AssemblyContext ctx = model.build_lookup_maps();
  const std::vector<const Member*> members = flatten_members(model.member_sets);
  const std::vector<std::optional<std::uint32_t>> rigid_sections = stiff_beam_sections(model, members);

  std::vector<std::size_t> switchable;
  for (std::size_t i = 0; i < members.size(); ++i) {
    const MemberType type = members[i]->member_type;
    if (type == MemberType::Tension || type == MemberType::Compression) switchable.push_back(i);
  }
  if (switchable.empty()) return std::nullopt;
  std::vector<SparseMatrix> made(switchable.size());
  (void)for_each_index(switchable.size(), [&](std::size_t q) -> Expected<void> {
    const std::size_t i = switchable[q];
    made[q] = switched_member_columns(model, ctx, *members[i], i, rigid_sections, n);
    return {};
  });
  std::map<std::uint32_t, std::pair<SparseMatrix, const Member*>> columns;
  for (std::size_t q = 0; q < switchable.size(); ++q) {
    const Member* m = members[switchable[q]];
    columns.insert_or_assign(m->id, std::make_pair(std::move(made[q]), m));
  }
  Eigen::Index total = 0;
  for (const auto& [id, c] : columns) total += c.first.cols();
  if (total == 0 || static_cast<std::size_t>(total) > kMaxSwitchBasisColumns) return std::nullopt;

  // U in member-id order, each member's columns together, and the weights of its axial force.
  Columns out;
  std::vector<Eigen::Triplet<double, std::int64_t>> entries;
  Eigen::Index next = 0;
  bool weighted = true;
  Eigen::VectorXd unit = Eigen::VectorXd::Zero(static_cast<Eigen::Index>(n));
  for (const auto& [id, entry] : columns) {
    const auto& [c, member] = entry;
    out.of_member.emplace(id, std::make_pair(next, next + c.cols()));
    for (Eigen::Index j = 0; j < c.outerSize(); ++j)
      for (SparseMatrix::InnerIterator it(c, j); it; ++it) entries.emplace_back(it.row(), next + j, it.value());
    next += c.cols();
    if (!weighted) continue;
    // The force's row, DOF by DOF: the force of a unit displacement of each end's translations.
    std::map<Eigen::Index, double> row;
    for (const std::uint32_t node : {member->start_node.id, member->end_node.id}) {
      for (std::size_t k = 0; k < 3; ++k) {
        const auto dof = static_cast<Eigen::Index>(dof_index(node, k));
        if (dof >= unit.size() || row.count(dof) != 0) continue;
        unit[dof] = 1.0;
        row.emplace(dof, member_axial_force(*member, unit, ctx));
        unit[dof] = 0.0;
      }
    }
    std::optional<Eigen::VectorXd> w = axial_weights(c, row);
    if (!w) {
      weighted = false;
      continue;
    }
    out.axial_weights.insert(out.axial_weights.end(), w->begin(), w->end());
  }
  if (!weighted) out.axial_weights.clear();
  out.u.resize(static_cast<Eigen::Index>(n), total);
  out.u.setFromTriplets(entries.begin(), entries.end());
  out.u.makeCompressed();
  return out;
}

std::optional<SwitchBasis> SwitchBasis::build(const ConstrainedSparseSolver& all_on, Columns columns) {
  if (!all_on.factorization().positive_definite()) return std::nullopt;
  const std::size_t n = all_on.factorization().rows();
  const SparseMatrix& u = columns.u;
  if (u.rows() != static_cast<Eigen::Index>(n)) fatal("SwitchBasis::build: columns of another order than the factor");
  const Eigen::Index total = u.cols();
  SwitchBasis basis;
  basis.columns_of_ = std::move(columns.of_member);
  basis.axial_weights_ = std::move(columns.axial_weights);

  // V = L⁻¹·P·U (U is no load: its rows at the held DOFs stay), in fixed blocks of columns
  // on the pool.
  const SparseFactorization& factor = all_on.factorization();
  const Eigen::Index per_block =
      std::max(kMinBasisBlockColumns, (total + kBasisSolveBlocks - 1) / kBasisSolveBlocks);
  const auto blocks = static_cast<std::size_t>((total + per_block - 1) / per_block);
  std::vector<MovableSparseMatrix> solved(blocks);
  auto forward = for_each_index(blocks, [&](std::size_t b) -> Expected<void> {
    const Eigen::Index first = static_cast<Eigen::Index>(b) * per_block;
    const Eigen::Index count = std::min(per_block, total - first);
    std::optional<SparseMatrix> v = factor.solve_forward_sparse(SparseMatrix(u.middleCols(first, count)));
    if (!v) return fail(std::string("the all-on factor does not solve"));
    solved[b] = std::move(*v);
    return {};
  });
  if (!forward) return std::nullopt;
  // The blocks side by side, each copied into its place on the pool.
  std::vector<Eigen::Index> first_entry(blocks + 1, 0), first_column(blocks + 1, 0);
  for (std::size_t b = 0; b < blocks; ++b) {
    solved[b].makeCompressed();
    first_entry[b + 1] = first_entry[b] + solved[b].nonZeros();
    first_column[b + 1] = first_column[b] + solved[b].cols();
  }
  basis.v_.resize(static_cast<Eigen::Index>(n), total);
  basis.v_.resizeNonZeros(first_entry[blocks]);
  auto* outer = basis.v_.outerIndexPtr();
  auto* inner = basis.v_.innerIndexPtr();
  double* values = basis.v_.valuePtr();
  tbb::parallel_for(std::size_t{0}, blocks, [&](std::size_t b) {
    const SparseMatrix& block = solved[b];
    const auto base = static_cast<std::ptrdiff_t>(first_entry[b]);
    std::copy(block.innerIndexPtr(), block.innerIndexPtr() + block.nonZeros(), inner + base);
    std::copy(block.valuePtr(), block.valuePtr() + block.nonZeros(), values + base);
    for (Eigen::Index j = 0; j < block.cols(); ++j) outer[first_column[b] + j] = first_entry[b] + block.outerIndexPtr()[j];
  });
  outer[total] = first_entry[blocks];

  std::optional<Eigen::MatrixXd> g = sparse_gram(basis.v_);
  if (!g) return std::nullopt;
  basis.g_ = std::move(*g);
  basis.all_on_ = all_on;
  return basis;
}

std::optional<SwitchBasis::StateInverse> SwitchBasis::inverse_for(const ActiveMap& active) const {
  StateInverse inverse;
  inverse.basis_ = this;
  for (const auto& [id, range] : columns_of_) {
    if (is_member_active(active, id)) continue;
    for (Eigen::Index j = range.first; j < range.second; ++j) inverse.columns_.push_back(j);
  }
  const auto m = static_cast<Eigen::Index>(inverse.columns_.size());
  if (m == 0) return inverse;
  Eigen::MatrixXd c(m, m);
  for (Eigen::Index q = 0; q < m; ++q)
    for (Eigen::Index p = 0; p < m; ++p)
      c(p, q) = (p == q ? 1.0 : 0.0) - g_(inverse.columns_[static_cast<std::size_t>(p)],
                                         inverse.columns_[static_cast<std::size_t>(q)]);
  inverse.capacitance_.compute(c);
  if (inverse.capacitance_.info() != Eigen::Success) return std::nullopt;
  // A pivot at round-off of the unit diagonal: the state's operator is singular as far as the
  // capacitance can tell, and its solution would be noise.
  const Eigen::VectorXd pivots = Eigen::MatrixXd(inverse.capacitance_.matrixL()).diagonal();
  if (!(pivots.minCoeff() > std::sqrt(std::numeric_limits<double>::epsilon()))) return std::nullopt;
  return inverse;
}

Eigen::MatrixXd SwitchBasis::StateInverse::correct(Eigen::MatrixXd& c) const {
  const auto m = static_cast<Eigen::Index>(columns_.size());
  if (m == 0) return Eigen::MatrixXd(0, c.cols());
  const SparseMatrix& v = basis_->v_;
  Eigen::MatrixXd t(m, c.cols());
  for (Eigen::Index q = 0; q < m; ++q)
    for (Eigen::Index col = 0; col < c.cols(); ++col) t(q, col) = column_dot(v, columns_[static_cast<std::size_t>(q)], c, col);
  Eigen::MatrixXd z = capacitance_.solve(t);
  for (Eigen::Index q = 0; q < m; ++q) {
    const Eigen::Index j = columns_[static_cast<std::size_t>(q)];
    for (Eigen::Index col = 0; col < c.cols(); ++col) {
      const double zq = z(q, col);
      for (SparseMatrix::InnerIterator it(v, j); it; ++it) c(it.row(), col) += zq * it.value();
    }
  }
  return z;
}

namespace {

// The forward half c = L⁻¹·P·B of unit-scaled B, from `forward` when it holds this B (and then
// kept there when it is given).
std::optional<Eigen::MatrixXd> forward_half(const SparseFactorization& factor, const Eigen::MatrixXd& scaled,
                                            SwitchBasis::StateInverse::Forward* forward) {
  if (forward != nullptr && forward->b.rows() == scaled.rows() && forward->b.cols() == scaled.cols() &&
      forward->b == scaled) {
    return forward->c;
  }
  std::optional<Eigen::MatrixXd> c = factor.solve_forward(scaled);
  if (c && forward != nullptr) *forward = SwitchBasis::StateInverse::Forward{scaled, *c, Eigen::VectorXd()};
  return c;
}

}  // namespace

SwitchBasis::StateInverse::Forward SwitchBasis::forward_of(const ConstrainedSparseSolver& all_on,
                                                         const Eigen::VectorXd& f) {
  StateInverse::Forward forward;
  if (static_cast<std::size_t>(f.size()) != all_on.factorization().rows()) return forward;
  const UnitScaled scaled = scale_to_unit(without_held_loads(f, all_on.constrained()));
  (void)forward_half(all_on.factorization(), scaled.b, &forward);
  return forward;
}

std::optional<Eigen::MatrixXd> SwitchBasis::StateInverse::apply(const Eigen::MatrixXd& b, Forward* forward) const {
  const SparseFactorization& factor = basis_->all_on_.factorization();
  return solve_unit_scaled(b, [&](const Eigen::MatrixXd& scaled) -> std::optional<Eigen::MatrixXd> {
    std::optional<Eigen::MatrixXd> c = forward_half(factor, scaled, forward);
    if (!c) return std::nullopt;
    (void)correct(*c);
    return factor.solve_backward(*c);
  });
}

std::optional<SwitchBasis::StateInverse::Forces> SwitchBasis::StateInverse::axial_forces(const Eigen::VectorXd& b,
                                                                                         Forward& forward) const {
  if (!basis_->reads_axial_forces()) return std::nullopt;
  const SwitchBasis& basis = *basis_;
  UnitScaled scaled = scale_to_unit(b);
  std::optional<Eigen::MatrixXd> c = forward_half(basis.all_on_.factorization(), scaled.b, &forward);
  if (!c) return std::nullopt;
  const SparseMatrix& v = basis.v_;
  const Eigen::Index total = v.cols();
  if (forward.vtc.size() != total) {
    forward.vtc.resize(total);
    for (Eigen::Index j = 0; j < total; ++j) forward.vtc[j] = column_dot(v, j, *c, 0);
  }
  const Eigen::MatrixXd z = correct(*c);
  // Vᵀ·y = Vᵀ·c + G(:, S)·z, the members off in their order.
  Eigen::VectorXd vty = forward.vtc;
  for (Eigen::Index q = 0; q < z.rows(); ++q) vty += basis.g_.col(columns_[static_cast<std::size_t>(q)]) * z(q, 0);
  Forces out{std::move(*c), std::move(scaled.exponent), {}};
  for (const auto& [id, range] : basis.columns_of_) {
    double n = 0.0;
    for (Eigen::Index j = range.first; j < range.second; ++j) n += basis.axial_weights_[static_cast<std::size_t>(j)] * vty[j];
    out.axial.emplace_hint(out.axial.end(), id, std::ldexp(n, out.exponent[0]));
  }
  return out;
}

std::optional<Eigen::MatrixXd> SwitchBasis::StateInverse::solution(const Forces& forces) const {
  std::optional<Eigen::MatrixXd> x = basis_->all_on_.factorization().solve_backward(forces.y);
  if (!x) return std::nullopt;
  scale_back(*x, forces.exponent);
  return x;
}

}  // namespace varn
