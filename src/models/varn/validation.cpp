#include "models/varn/validation.h"

#include <array>
#include <charconv>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>

#include "models/members/enums.h"
#include "models/members/member.h"

namespace varn {

namespace {

std::string id_text(std::uint32_t id) { return std::to_string(id); }

std::string support_text(const std::optional<std::uint32_t>& id) { return id ? id_text(*id) : "none"; }

// Of two records with one id only one is ever found, so the other one silently leaves the
// structure (a section, a support) or the run (a load case solved twice, another never).
template <class Record>
Expected<void> unique_ids(const std::vector<Record>& records, std::string_view kind) {
  std::unordered_set<std::uint32_t> seen;
  for (const Record& r : records) {
    if (!seen.insert(r.id).second) return fail("Duplicate " + std::string(kind) + " id " + id_text(r.id));
  }
  return {};
}

Expected<void> check_unique_ids(const VARN& model) {
  // Member ids key the member results and the tension/compression state: a second member with
  // one id overwrites the first one's forces, and the reactions no longer balance the loads.
  std::unordered_map<std::uint32_t, std::uint32_t> member_set_of;
  for (const auto& set : model.member_sets) {
    for (const auto& m : set.members) {
      const auto [it, inserted] = member_set_of.emplace(m.id, set.id);
      if (!inserted) {
        return fail("Duplicate member id " + id_text(m.id) + " (member sets " + id_text(it->second) + " and " +
                    id_text(set.id) + ")");
      }
    }
  }
  if (auto r = unique_ids(model.load_cases, "load case"); !r) return r;
  if (auto r = unique_ids(model.load_combinations, "load combination"); !r) return r;
  if (auto r = unique_ids(model.sections, "section"); !r) return r;
  if (auto r = unique_ids(model.materials, "material"); !r) return r;
  if (model.memberhinges) {
    if (auto r = unique_ids(*model.memberhinges, "member hinge"); !r) return r;
  }
  return unique_ids(model.nodal_supports, "nodal support");
}

// A reference to nothing is no neutral default: a missing hinge would make the end rigid, a
// missing support leave the node free, a missing load case give the combination no load.
Expected<void> check_references(const VARN& model, const AssemblyContext& ctx) {
  for (const auto& set : model.member_sets) {
    for (const auto& m : set.members) {
      const std::string member = "Member " + id_text(m.id);
      if (m.section && ctx.section(*m.section) == nullptr) {
        return fail(member + " refers to section " + id_text(*m.section) + ", which does not exist.");
      }
      if (m.start_hinge && ctx.member_hinge(*m.start_hinge) == nullptr) {
        return fail(member + " refers to start hinge " + id_text(*m.start_hinge) + ", which does not exist.");
      }
      if (m.end_hinge && ctx.member_hinge(*m.end_hinge) == nullptr) {
        return fail(member + " refers to end hinge " + id_text(*m.end_hinge) + ", which does not exist.");
      }
      for (const Node* node : {&m.start_node, &m.end_node}) {
        if (node->nodal_support && ctx.nodal_support(*node->nodal_support) == nullptr) {
          return fail("Node " + id_text(node->id) + " of member " + id_text(m.id) + " refers to nodal support " +
                      id_text(*node->nodal_support) + ", which does not exist.");
        }
      }
    }
  }
  for (const auto& section : model.sections) {
    if (ctx.material(section.material) == nullptr) {
      return fail("Section " + id_text(section.id) + " refers to material " + id_text(section.material) +
                  ", which does not exist.");
    }
  }
  std::unordered_set<std::uint32_t> cases;
  for (const auto& lc : model.load_cases) cases.insert(lc.id);
  for (const auto& combo : model.load_combinations) {
    for (const auto& [case_id, factor] : combo.load_cases_factors) {
      if (cases.count(case_id) == 0) {
        return fail("Load combination " + id_text(combo.id) + " refers to load case " + id_text(case_id) +
                    ", which does not exist.");
      }
    }
  }
  return {};
}

// Nodes exist only as copies at member ends. Assembly numbers DOFs by id, so two copies that
// disagree would join members at a point that only one of them lies on, and the support that
// counts would be whichever copy comes first.
Expected<void> check_node_copies(const VARN& model) {
  struct FirstCopy {
    const Node* node;
    std::uint32_t member;
  };
  std::unordered_map<std::uint32_t, FirstCopy> first;
  for (const auto& set : model.member_sets) {
    for (const auto& m : set.members) {
      for (const Node* node : {&m.start_node, &m.end_node}) {
        const auto [it, inserted] = first.emplace(node->id, FirstCopy{node, m.id});
        if (inserted) continue;
        const Node& a = *it->second.node;
        const std::string where = " in members " + id_text(it->second.member) + " and " + id_text(m.id);
        if (a.X != node->X || a.Y != node->Y || a.Z != node->Z) {
          return fail("Node " + id_text(node->id) + " has different coordinates" + where);
        }
        if (a.nodal_support != node->nodal_support) {
          return fail("Node " + id_text(node->id) + " has different nodal supports" + where + " (" +
                      support_text(a.nodal_support) + " and " + support_text(node->nodal_support) + ")");
        }
      }
    }
  }
  return {};
}

// Local axes follow the member's chord: ends at one point give it no direction, and
// coordinates whose squares overflow give it no length. Taken in metres from the coordinates
// as the analysis converts them, so that what passes here is what the element kernels see.
Expected<void> check_member_lengths(const VARN& model) {
  const double to_m = model.unit_factors().length;
  for (const auto& set : model.member_sets) {
    for (const auto& m : set.members) {
      const double length = Member::chord_length(m.start_position() * to_m, m.end_position() * to_m);
      const std::string ends = " start node " + id_text(m.start_node.id) + " and end node " + id_text(m.end_node.id);
      if (!std::isfinite(length)) {
        return fail("Member " + id_text(m.id) + " is too long to analyse: the distance between its" + ends +
                    " exceeds the floating-point range.");
      }
      if (length < Member::kShortestChord) {
        return fail("Member " + id_text(m.id) + " has no length: its" + ends + " lie at the same point.");
      }
    }
  }
  return {};
}

struct Needs {
  bool e = false;
  bool g = false;
  bool area = false;
};

// What the element of each kind is made of: a beam bends, twists and stretches; a bar only
// stretches; a rigid link is a constraint (or a scaled stiff beam) and takes no value as given.
Needs needs_of(MemberType type) {
  switch (type) {
    case MemberType::Normal:
      return {true, true, true};
    case MemberType::Truss:
    case MemberType::Tension:
    case MemberType::Compression:
      return {true, false, true};
    case MemberType::Rigid:
      return {};
  }
  return {};
}

Expected<void> check_values(const VARN& model, const AssemblyContext& ctx) {
  for (const auto& mat : model.materials) {
    const std::string text = "Material " + id_text(mat.id) + " has a negative ";
    if (mat.e_mod < 0.0) return fail(text + "e_mod.");
    if (mat.g_mod < 0.0) return fail(text + "g_mod.");
  }
  for (const auto& sec : model.sections) {
    const std::string text = "Section " + id_text(sec.id) + " has a negative ";
    if (sec.area < 0.0) return fail(text + "area.");
    if (sec.i_y < 0.0) return fail(text + "i_y.");
    if (sec.i_z < 0.0) return fail(text + "i_z.");
    if (sec.j < 0.0) return fail(text + "j.");
    if (sec.i_w && *sec.i_w < 0.0) return fail(text + "i_w.");
  }
  // A zero modulus or area leaves the member without the stiffness its kind stands for: the
  // structure would be a mechanism, or be solved as if the member were not there. Without any
  // section the member has no stiffness at all; only a rigid link needs none.
  for (const auto& set : model.member_sets) {
    for (const auto& m : set.members) {
      const Needs needs = needs_of(m.member_type);
      if (!m.section) {
        if (needs.e) {
          return fail("Member " + id_text(m.id) + " (" + std::string(to_string(m.member_type)) +
                      ") is missing a section id.");
        }
        continue;
      }
      const Section* sec = ctx.section(*m.section);
      const Material* mat = sec != nullptr ? ctx.material(sec->material) : nullptr;
      if (sec == nullptr || mat == nullptr) continue;  // refused as a reference before
      const std::string user = ", which member " + id_text(m.id) + " (" + std::string(to_string(m.member_type)) + ") needs.";
      if (needs.e && mat->e_mod == 0.0) return fail("Material " + id_text(mat->id) + " has a zero e_mod" + user);
      if (needs.g && mat->g_mod == 0.0) return fail("Material " + id_text(mat->id) + " has a zero g_mod" + user);
      if (needs.area && sec->area == 0.0) return fail("Section " + id_text(sec->id) + " has a zero area" + user);
    }
  }
  return {};
}

// A load acts only in the case that lists it, and only along its direction: a load that names
// another case than its own, or whose direction is zero, would be applied as nothing (or, for
// a nodal load, in a case that does not name it), leaving a case without load it was meant to
// carry.
Expected<void> check_loads(const VARN& model) {
  auto zero = [](const std::array<double, 3>& d) { return d[0] == 0.0 && d[1] == 0.0 && d[2] == 0.0; };
  for (const auto& lc : model.load_cases) {
    const std::string in_case = " of load case " + id_text(lc.id);
    auto point_loads = [&](const auto& loads, const char* kind) -> Expected<void> {
      for (const auto& l : loads) {
        const std::string what = std::string(kind) + " " + id_text(l.id) + in_case;
        if (l.load_case != lc.id) {
          return fail(what + " names load case " + id_text(l.load_case) +
                      "; a load belongs to the load case that lists it.");
        }
        if (zero(l.direction)) return fail(what + " has a direction of zero length.");
      }
      return {};
    };
    if (auto r = point_loads(lc.nodal_loads, "Nodal load"); !r) return r;
    if (auto r = point_loads(lc.nodal_moments, "Nodal moment"); !r) return r;
    for (std::size_t i = 0; i < lc.distributed_loads.size(); ++i) {
      const DistributedLoad& l = lc.distributed_loads[i];
      const std::string what =
          "Distributed load " + std::to_string(i + 1) + in_case + " (on member " + id_text(l.member) + ")";
      if (l.load_case != lc.id) {
        return fail(what + " names load case " + id_text(l.load_case) +
                    "; a load belongs to the load case that lists it.");
      }
      if (zero(l.direction)) return fail(what + " has a direction of zero length.");
    }
  }
  return {};
}

// Result sets carried in the input start combination solves; an id outside the model would
// address DOFs or members that do not exist.
Expected<void> check_carried_results(const VARN& model) {
  if (!model.results) return {};
  std::unordered_set<std::uint32_t> nodes;
  std::unordered_set<std::uint32_t> members;
  for (const auto& set : model.member_sets) {
    for (const auto& m : set.members) {
      members.insert(m.id);
      nodes.insert(m.start_node.id);
      nodes.insert(m.end_node.id);
    }
  }
  const auto check = [&](const std::map<std::string, Results>& sets, std::string_view kind) -> Expected<void> {
    for (const auto& [name, r] : sets) {
      const std::string text = std::string(kind) + " result set \"" + name + "\" names ";
      for (const auto& [id, d] : r.displacement_nodes) {
        if (nodes.count(id) == 0) return fail(text + "node " + id_text(id) + ", which the model does not have.");
      }
      for (const auto& [id, rn] : r.reaction_nodes) {
        if (nodes.count(id) == 0) return fail(text + "node " + id_text(id) + ", which the model does not have.");
      }
      for (const auto& [id, mr] : r.member_results) {
        if (members.count(id) == 0) return fail(text + "member " + id_text(id) + ", which the model does not have.");
      }
    }
    return {};
  };
  if (auto r = check(model.results->loadcases, "Load case"); !r) return r;
  return check(model.results->loadcombinations, "Load combination");
}

// The tolerance bounds the unbalanced force of a second-order state in each direction, as a
// share of that direction's loads and reactions. Above 1 % a state that leaves a real share of
// a storey's shear unbalanced could pass for equilibrium (the first-order start of a column at
// half its critical load leaves half its base shear unbalanced); zero or less is met by no
// arithmetic.
constexpr double kLargestSecondOrderTolerance = 0.01;

std::string shortest(double v) {
  if (std::isnan(v)) return "NaN";
  if (std::isinf(v)) return v > 0 ? "inf" : "-inf";
  char buf[64];
  const auto r = std::to_chars(buf, buf + sizeof buf, v);
  return std::string(buf, r.ptr);
}

Expected<void> check_options(const VARN& model) {
  const AnalysisOptions& options = model.settings.analysis_options;
  if (options.order != AnalysisOrder::Nonlinear) return {};
  const double t = options.tolerance;
  if (!(t > 0.0 && t <= kLargestSecondOrderTolerance)) {
    return fail("Second-order analysis needs a tolerance greater than 0 and at most 0.01; the model's tolerance is " +
                shortest(t));
  }
  return {};
}

}  // namespace

Expected<void> validate_model(const VARN& model) {
  if (auto r = check_unique_ids(model); !r) return r;
  const AssemblyContext ctx = model.build_lookup_maps();
  if (auto r = check_references(model, ctx); !r) return r;
  if (auto r = check_node_copies(model); !r) return r;
  if (auto r = check_member_lengths(model); !r) return r;
  if (auto r = check_values(model, ctx); !r) return r;
  if (auto r = check_loads(model); !r) return r;
  if (auto r = check_carried_results(model); !r) return r;
  return check_options(model);
}

}  // namespace varn
