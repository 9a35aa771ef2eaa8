// Member loads of a load case on the undeformed and on the deformed geometry. Under large
// rotations a distributed load keeps its global direction and intensity per unit length of
// the chord, but its moment arm and the share of it that each end takes follow the member's
// current chord. Both vectors come from the one member-load assembly, so that they are equal
// to the last bit at zero displacement and any rule of that assembly (which end values a
// truss-type member takes, how hinged members are condensed) holds for both.
#include <algorithm>
#include <cstdint>
#include <unordered_set>
#include <vector>

#include "fatal.h"
#include "functions/geometry.h"
#include "functions/load_assembler.h"
#include "models/varn/varn.h"

namespace varn {

namespace {

const LoadCase* first_load_case(const std::vector<LoadCase>& cases, std::uint32_t id) {
  const auto it = std::find_if(cases.begin(), cases.end(), [&](const LoadCase& c) { return c.id == id; });
  return it == cases.end() ? nullptr : &*it;
}

// The members that carry one of the case's distributed loads, in member-set and member
// order (so that the assembly picks the same member for a load as it does on the whole
// model), each with its end nodes moved by the translations of u.
MemberSet deformed_loaded_members(const std::vector<MemberSet>& member_sets, const LoadCase& load_case,
                                  std::uint32_t load_case_id, const Eigen::VectorXd& u) {
  std::unordered_set<std::uint32_t> loaded;
  for (const auto& load : load_case.distributed_loads) {
    if (load.load_case == load_case_id) loaded.insert(load.member);
  }
  MemberSet out;
  for (const auto& set : member_sets) {
    for (const auto& m : set.members) {
      if (loaded.count(m.id) == 0) continue;
      out.members.push_back(m.moved_to_deformed(u));
    }
  }
  return out;
}

}  // namespace

Expected<Eigen::VectorXd> VARN::assemble_equiv_forces_original(bool is_combination, std::uint32_t id) const {
  const std::size_t n = compute_num_dofs_from_members(member_sets);
  Eigen::VectorXd f = Eigen::VectorXd::Zero(static_cast<Eigen::Index>(n));
  // A combination's loads are not followed into the deformed geometry: its load stays λ·F.
  if (is_combination) return f;
  const LoadCase* lc = first_load_case(load_cases, id);
  if (lc == nullptr || lc->distributed_loads.empty()) return f;
  const AssemblyContext ctx = build_lookup_maps();
  if (auto r = assemble_distributed_loads(*lc, member_sets, f, id, &ctx); !r) return fail(r.error());
  return f;
}

Expected<Eigen::VectorXd> VARN::assemble_equiv_forces_deformed(std::uint32_t load_case_id,
                                                               const Eigen::VectorXd& u) const {
  Eigen::VectorXd f = Eigen::VectorXd::Zero(u.size());
  const LoadCase* lc = first_load_case(load_cases, load_case_id);
  if (lc == nullptr || lc->distributed_loads.empty() || member_sets.empty()) return f;
  const std::size_t n = compute_num_dofs_from_members(member_sets);
  if (static_cast<std::size_t>(u.size()) != n) {
    fatal("assemble_equiv_forces_deformed: the displacement vector does not have the system size");
  }
  const std::vector<MemberSet> deformed{deformed_loaded_members(member_sets, *lc, load_case_id, u)};
  const AssemblyContext ctx = build_lookup_maps();
  if (auto r = assemble_distributed_loads(*lc, deformed, f, load_case_id, &ctx); !r) return fail(r.error());
  return f;
}

}  // namespace varn
