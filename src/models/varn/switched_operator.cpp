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

  // The triplet assembly itself, member after member: each member's triplets are its entries
  // in the order every sum takes them.
  SwitchedOperator op;
  auto assembler = SparseAssembler::with_capacity(n, members.size());
  for (std::size_t i = 0; i < members.size(); ++i) {
    const std::optional<Mat14>& k = (*matrices)[i];
    if (!k) continue;
    const Member& m = *members[i];
    const std::size_t first = assembler.triplets().size();
    assembler.assemble_element(dof_index(m.start_node.id, 0), dof_index(m.end_node.id, 0), *k);
    op.members_.push_back(Span{m.id, m.member_type == MemberType::Tension || m.member_type == MemberType::Compression,
                               first, assembler.triplets().size() - first});
  }
  op.pattern_ = assembler.to_csc();
  const std::vector<SparseTriplet>& triplets = assembler.triplets();
  op.values_.resize(triplets.size());
  for (std::size_t t = 0; t < triplets.size(); ++t) op.values_[t] = triplets[t].val;

  // Each entry's place among the stored values of its column (rows sorted in every column).
  op.positions_.assign(op.values_.size(), -1);
  const auto* outer = op.pattern_.outerIndexPtr();
  const auto* inner = op.pattern_.innerIndexPtr();
  tbb::parallel_for(std::size_t{0}, triplets.size(), [&](std::size_t t) {
    const auto col = static_cast<Eigen::Index>(triplets[t].col_index);
    const auto row = static_cast<std::int64_t>(triplets[t].row_index);
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
