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
  auto is_bar = [](const Member& m) {
    return m.member_type == MemberType::Truss || m.member_type == MemberType::Tension ||
           m.member_type == MemberType::Compression;
  };
  MemberStiffnessInputs axial_inputs = inputs;
  axial_inputs.unstabilised = true;
  auto axial = for_each_member(members, [&](const Member& m, std::size_t i) -> Expected<std::optional<Mat14>> {
    if (!is_bar(m)) return std::optional<Mat14>();
    return member_elastic_stiffness_global(m, i, axial_inputs);
  });
  if (!axial) return fail(axial.error());

  // The triplet assembly itself, member after member: each member's triplets are its entries
  // in the order every sum takes them.
  SwitchedOperator op;
  auto assembler = SparseAssembler::with_capacity(n, members.size());
  auto axial_assembler = SparseAssembler::with_capacity(n, 0);
  for (std::size_t i = 0; i < members.size(); ++i) {
    const std::optional<Mat14>& k = (*matrices)[i];
    if (!k) continue;
    const Member& m = *members[i];
    const std::size_t first = assembler.triplets().size();
    const std::size_t axial_first = axial_assembler.triplets().size();
    assembler.assemble_element(dof_index(m.start_node.id, 0), dof_index(m.end_node.id, 0), *k);
    if (const std::optional<Mat14>& ka = (*axial)[i]; ka)
      axial_assembler.assemble_element(dof_index(m.start_node.id, 0), dof_index(m.end_node.id, 0), *ka);
    op.members_.push_back(Span{m.id, m.member_type == MemberType::Tension || m.member_type == MemberType::Compression,
                               is_bar(m), first, assembler.triplets().size() - first, axial_first,
                               axial_assembler.triplets().size() - axial_first});
  }
  op.pattern_ = assembler.to_csc();

  // Each entry's place among the stored values of its column (rows sorted in every column).
  const auto* outer = op.pattern_.outerIndexPtr();
  const auto* inner = op.pattern_.innerIndexPtr();
  auto place = [&](const std::vector<SparseTriplet>& triplets, std::vector<double>& values,
                   std::vector<std::int64_t>& positions) {
    values.resize(triplets.size());
    for (std::size_t t = 0; t < triplets.size(); ++t) values[t] = triplets[t].val;
    positions.assign(values.size(), -1);
    tbb::parallel_for(std::size_t{0}, triplets.size(), [&](std::size_t t) {
      const auto col = static_cast<Eigen::Index>(triplets[t].col_index);
      const auto row = static_cast<std::int64_t>(triplets[t].row_index);
      const auto* first = inner + outer[col];
      const auto* last = inner + outer[col + 1];
      const auto* at = std::lower_bound(first, last, row);
      // A bar's axial entries lie among its own; the all-on operator holds them all.
      if (at == last || *at != row) fatal("SwitchedOperator: an element entry outside the assembled pattern");
      positions[t] = at - inner;
    });
  };
  place(assembler.triplets(), op.values_, op.positions_);
  place(axial_assembler.triplets(), op.axial_values_, op.axial_positions_);
  return op;
}

Expected<SparseMatrix> SwitchedOperator::assemble(const VARN& model, const ActiveMap& active) const {
  return sweep(model, active, false);
}

Expected<SparseMatrix> SwitchedOperator::assemble_unstabilised(const VARN& model, const ActiveMap& active) const {
  return sweep(model, active, true);
}

Expected<SparseMatrix> SwitchedOperator::sweep(const VARN& model, const ActiveMap& active, bool unstabilised) const {
  SparseMatrix k = pattern_;
  double* v = k.valuePtr();
  std::fill(v, v + k.nonZeros(), 0.0);
  auto add = [&](const std::vector<double>& values, const std::vector<std::int64_t>& positions, std::size_t first,
                 std::size_t count, double scale) {
    for (std::size_t t = first; t < first + count; ++t) {
      // Scaled as the member's matrix is scaled, and left out where that makes it zero.
      const double value = scale == 1.0 ? values[t] : values[t] * scale;
      if (value != 0.0) v[positions[t]] += value;
    }
  };
  for (const Span& span : members_) {
    const bool off = span.switchable && !is_member_active(active, span.member_id);
    if (!unstabilised)
      add(values_, positions_, span.first, span.count, off ? kSwitchedOffScale : 1.0);
    else if (!span.bar)
      add(values_, positions_, span.first, span.count, 1.0);
    else if (!off)
      add(axial_values_, axial_positions_, span.axial_first, span.axial_count, 1.0);
  }
  auto springs = collect_support_spring_entries(model.member_sets, model.nodal_supports);
  if (!springs) return fail(springs.error());
  return add_support_springs(k, *springs);
}

}  // namespace varn
