#include "models/varn/switched_operator.h"

#include <tbb/blocked_range.h>
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

Expected<SwitchedOperator> SwitchedOperator::build_pattern(const VARN& model) {
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
  // The bars' matrices on their axial stiffness alone, one slot per bar.
  MemberStiffnessInputs axial_inputs = inputs;
  axial_inputs.unstabilised = true;
  std::vector<const Member*> bars;
  std::vector<std::size_t> bar_member;                       // the member index of each bar
  std::vector<std::int64_t> bar_slot(members.size(), -1);  // the bar slot of each member
  for (std::size_t i = 0; i < members.size(); ++i) {
    if (!is_bar(*members[i])) continue;
    bar_slot[i] = static_cast<std::int64_t>(bars.size());
    bars.push_back(members[i]);
    bar_member.push_back(i);
  }
  auto axial = for_each_member(bars, [&](const Member& m, std::size_t b) -> Expected<std::optional<Mat14>> {
    return member_elastic_stiffness_global(m, bar_member[b], axial_inputs);
  });
  if (!axial) return fail(axial.error());

  // The triplet assembly itself, member after member: each member's triplets are its entries
  // in the order every sum takes them. Chunks of members are scattered side by side and joined
  // in member order.
  SwitchedOperator op;
  std::vector<std::uint32_t> span_of(members.size(), 0);
  for (std::size_t i = 0; i < members.size(); ++i) {
    if (!(*matrices)[i]) continue;
    const Member& m = *members[i];
    span_of[i] = static_cast<std::uint32_t>(op.members_.size());
    op.members_.push_back(
        Span{m.id, m.member_type == MemberType::Tension || m.member_type == MemberType::Compression, is_bar(m)});
  }
  struct Chunk {
    SparseAssembler full{0}, axial{0};
    std::vector<std::uint32_t> full_span, axial_span;  // per triplet
  };
  const std::size_t chunks = (members.size() + kMembersPerAssemblyChunk - 1) / kMembersPerAssemblyChunk;
  std::vector<Chunk> parts(chunks);
  (void)for_each_index(chunks, [&](std::size_t c) -> Expected<void> {
    Chunk& part = parts[c];
    const std::size_t first = c * kMembersPerAssemblyChunk;
    const std::size_t last = std::min(members.size(), first + kMembersPerAssemblyChunk);
    part.full = SparseAssembler::with_capacity(n, last - first);
    part.axial = SparseAssembler(n);
    for (std::size_t i = first; i < last; ++i) {
      const std::optional<Mat14>& k = (*matrices)[i];
      if (!k) continue;
      const Member& m = *members[i];
      part.full.assemble_element(dof_index(m.start_node.id, 0), dof_index(m.end_node.id, 0), *k);
      part.full_span.resize(part.full.triplets().size(), span_of[i]);
      if (bar_slot[i] < 0) continue;
      if (const std::optional<Mat14>& ka = (*axial)[static_cast<std::size_t>(bar_slot[i])]; ka) {
        part.axial.assemble_element(dof_index(m.start_node.id, 0), dof_index(m.end_node.id, 0), *ka);
        part.axial_span.resize(part.axial.triplets().size(), span_of[i]);
      }
    }
    return {};
  });
  auto join = [&](SparseAssembler Chunk::*assembler, std::vector<std::uint32_t> Chunk::*spans,
                  std::size_t reserve_members, Pending::Triplets& out) {
    std::vector<const SparseAssembler*> blocks;
    std::vector<std::size_t> offset(1, 0);
    for (const Chunk& part : parts) {
      blocks.push_back(&(part.*assembler));
      offset.push_back(offset.back() + (part.*spans).size());
    }
    out.triplets = SparseAssembler::concatenate(n, blocks, reserve_members);
    out.spans.resize(offset.back());
    tbb::parallel_for(std::size_t{0}, parts.size(), [&](std::size_t c) {
      std::copy((parts[c].*spans).begin(), (parts[c].*spans).end(),
                out.spans.begin() + static_cast<std::ptrdiff_t>(offset[c]));
    });
  };
  op.pending_ = std::make_unique<Pending>();
  join(&Chunk::full, &Chunk::full_span, members.size(), op.pending_->full);
  join(&Chunk::axial, &Chunk::axial_span, 0, op.pending_->axial);
  parts.clear();
  op.pattern_ = op.pending_->full.triplets.to_csc();
  return op;
}

Expected<SwitchedOperator> SwitchedOperator::build(const VARN& model) {
  auto op = build_pattern(model);
  if (op) op->place_contributions();
  return op;
}

Expected<SparseMatrix> SwitchedOperator::all_on(const VARN& model) const {
  return add_support_springs(pattern_, model.member_sets, model.nodal_supports);
}

void SwitchedOperator::place_contributions() {
  if (!pending_) return;
  // Each triplet's place among the stored values of its column (rows sorted in every column),
  // then the triplets by place, in their own order at each (a stable counting sort).
  const auto* outer = pattern_.outerIndexPtr();
  const auto* inner = pattern_.innerIndexPtr();
  const auto entries = static_cast<std::size_t>(pattern_.nonZeros());
  auto by_place = [&](const Pending::Triplets& in) {
    const std::vector<SparseTriplet>& triplets = in.triplets.triplets();
    std::vector<std::int64_t> place(triplets.size());
    tbb::parallel_for(std::size_t{0}, triplets.size(), [&](std::size_t t) {
      const auto col = static_cast<Eigen::Index>(triplets[t].col_index);
      const auto row = static_cast<std::int64_t>(triplets[t].row_index);
      const auto* first = inner + outer[col];
      const auto* last = inner + outer[col + 1];
      const auto* at = std::lower_bound(first, last, row);
      // A bar's axial entries lie among its own; the all-on operator holds them all.
      if (at == last || *at != row) fatal("SwitchedOperator: an element entry outside the assembled pattern");
      place[t] = at - inner;
    });
    Contributions c;
    c.start.assign(entries + 1, 0);
    for (const std::int64_t p : place) ++c.start[static_cast<std::size_t>(p) + 1];
    for (std::size_t p = 0; p < entries; ++p) c.start[p + 1] += c.start[p];
    c.value.resize(triplets.size());
    c.span.resize(triplets.size());
    std::vector<std::int64_t> next(c.start.begin(), c.start.end() - 1);
    for (std::size_t t = 0; t < triplets.size(); ++t) {
      const auto at = static_cast<std::size_t>(next[static_cast<std::size_t>(place[t])]++);
      c.value[at] = triplets[t].val;
      c.span[at] = in.spans[t];
    }
    return c;
  };
  full_ = by_place(pending_->full);
  axial_ = by_place(pending_->axial);
  pending_.reset();
}

Expected<SparseMatrix> SwitchedOperator::assemble(const VARN& model, const ActiveMap& active) const {
  return sweep(model, active, false);
}

Expected<SparseMatrix> SwitchedOperator::assemble_unstabilised(const VARN& model, const ActiveMap& active) const {
  return sweep(model, active, true);
}

Expected<SparseMatrix> SwitchedOperator::sweep(const VARN& model, const ActiveMap& active, bool unstabilised) const {
  if (pending_) fatal("SwitchedOperator: a state assembled before the contributions were placed");
  std::vector<char> off(members_.size());
  for (std::size_t s = 0; s < members_.size(); ++s)
    off[s] = members_[s].switchable && !is_member_active(active, members_[s].member_id) ? 1 : 0;
  SparseMatrix k = pattern_;
  double* v = k.valuePtr();
  const auto entries = static_cast<std::size_t>(k.nonZeros());
  tbb::parallel_for(tbb::blocked_range<std::size_t>(0, entries, 4096), [&](const tbb::blocked_range<std::size_t>& r) {
    for (std::size_t p = r.begin(); p != r.end(); ++p) {
      // Each contribution scaled as its member's matrix is scaled, and left out where that
      // makes it zero, in the triplet assembly's order.
      double sum = 0.0;
      auto add = [&](double value) {
        if (value != 0.0) sum += value;
      };
      auto q = static_cast<std::size_t>(full_.start[p]);
      const auto q_end = static_cast<std::size_t>(full_.start[p + 1]);
      if (!unstabilised) {
        for (; q < q_end; ++q) add(off[full_.span[q]] ? full_.value[q] * kSwitchedOffScale : full_.value[q]);
      } else {
        // Members in order: a beam by its matrix, a bar that is on by its axial one.
        auto a = static_cast<std::size_t>(axial_.start[p]);
        const auto a_end = static_cast<std::size_t>(axial_.start[p + 1]);
        for (;;) {
          while (q < q_end && members_[full_.span[q]].bar) ++q;
          while (a < a_end && off[axial_.span[a]]) ++a;
          if (q == q_end && a == a_end) break;
          if (a == a_end || (q < q_end && full_.span[q] < axial_.span[a]))
            add(full_.value[q++]);
          else
            add(axial_.value[a++]);
        }
      }
      v[p] = sum;
    }
  });
  return add_support_springs(k, model.member_sets, model.nodal_supports);
}

}  // namespace varn
