#include "models/varn/switched_operator.h"

#include <tbb/parallel_for.h>

#include <algorithm>
#include <optional>
#include <string>

#include "fatal.h"
#include "functions/geometry.h"
#include "functions/member_loop.h"
#include "functions/support_utils.h"
#include "models/varn/member_stiffness.h"
#include "models/varn/varn.h"

namespace varn {

namespace {

// Calls add(row, col, value) for the entries of a 14x14 element matrix in the order
// SparseAssembler::assemble_element appends them, zeros left out as it leaves them out.
template <class Add>
void for_each_element_entry(std::size_t s, std::size_t e, const Mat14& k, Add&& add) {
  auto put = [&](std::size_t row, std::size_t col, double v) {
    if (v != 0.0) add(row, col, v);
  };
  for (Eigen::Index i = 0; i < 7; ++i) {
    for (Eigen::Index j = 0; j < 7; ++j) {
      const auto ui = static_cast<std::size_t>(i), uj = static_cast<std::size_t>(j);
      put(s + ui, s + uj, k(i, j));
      put(s + ui, e + uj, k(i, j + 7));
      put(e + ui, s + uj, k(i + 7, j));
      put(e + ui, e + uj, k(i + 7, j + 7));
    }
  }
}

}  // namespace

Expected<SwitchedOperator> SwitchedOperator::build(const VARN& model) {
  if (auto ids = model.validate_node_ids(); !ids) return fail(ids.error());
  const AssemblyContext ctx = model.build_lookup_maps();
  const std::size_t n = compute_num_dofs_from_members(model.member_sets);
  const std::vector<const Member*> members = flatten_members(model.member_sets);
  const auto rigid_sections = stiff_beam_sections(model, members);
  const ActiveMap all_on;
  const MemberStiffnessInputs inputs{model, ctx, all_on, nullptr, rigid_sections, model.max_e_mod_in_model(),
                                     StiffnessMessages::Assembly};
  auto matrices = for_each_member(members, [&](const Member& m, std::size_t i) -> Expected<std::optional<Mat14>> {
    return member_elastic_stiffness_global(m, i, inputs);
  });
  if (!matrices) return fail(matrices.error());

  SwitchedOperator op;
  std::vector<std::size_t> rows, cols;
  auto assembler = SparseAssembler::with_capacity(n, members.size());
  for (std::size_t i = 0; i < members.size(); ++i) {
    const std::optional<Mat14>& k = (*matrices)[i];
    if (!k) continue;
    const Member& m = *members[i];
    const std::size_t s = dof_index(m.start_node.id, 0), e = dof_index(m.end_node.id, 0);
    Span span{m.id, m.member_type == MemberType::Tension || m.member_type == MemberType::Compression,
              op.values_.size(), 0};
    for_each_element_entry(s, e, *k, [&](std::size_t row, std::size_t col, double v) {
      op.values_.push_back(v);
      rows.push_back(row);
      cols.push_back(col);
    });
    span.count = op.values_.size() - span.first;
    op.members_.push_back(span);
    assembler.assemble_element(s, e, *k);
  }
  op.pattern_ = assembler.to_csc();

  // Each entry's place among the stored values of its column (rows sorted in every column).
  op.positions_.assign(op.values_.size(), -1);
  const auto* outer = op.pattern_.outerIndexPtr();
  const auto* inner = op.pattern_.innerIndexPtr();
  tbb::parallel_for(std::size_t{0}, op.values_.size(), [&](std::size_t t) {
    const auto col = static_cast<Eigen::Index>(cols[t]);
    const auto row = static_cast<std::int64_t>(rows[t]);
    const auto* first = inner + outer[col];
    const auto* last = inner + outer[col + 1];
    const auto* at = std::lower_bound(first, last, row);
    if (at == last || *at != row) fatal("SwitchedOperator: an element entry outside the assembled pattern");
    op.positions_[t] = at - inner;
  });
  return op;
}

Expected<SparseMatrix> SwitchedOperator::assemble(const VARN& model, const ActiveMap& active) const {
  SparseMatrix k = pattern_;
  double* v = k.valuePtr();
  std::fill(v, v + k.nonZeros(), 0.0);
  for (const Span& span : members_) {
    const bool off = span.switchable && !is_member_active(active, span.member_id);
    for (std::size_t t = span.first; t < span.first + span.count; ++t) {
      // Scaled as the member's matrix is scaled, and left out where that makes it zero.
      const double value = off ? values_[t] * kSwitchedOffScale : values_[t];
      if (value != 0.0) v[positions_[t]] += value;
    }
  }
  auto springs = collect_support_spring_entries(model.member_sets, model.nodal_supports);
  if (!springs) return fail(springs.error());
  return add_support_springs(k, *springs);
}

}  // namespace varn
