#include "functions/support_utils.h"

#include <cmath>
#include <string>
#include <utility>

#include "fatal.h"
#include "functions/geometry.h"
#include "functions/hinge_and_release_operations.h"
#include "models/loads/loadcase.h"

namespace varn {

SupportsById supports_by_id(const std::vector<NodalSupport>& nodal_supports) {
  SupportsById map;
  map.reserve(nodal_supports.size());
  for (const auto& s : nodal_supports) map[s.id] = &s;
  return map;
}

const SupportCondition* get_support_condition(const std::map<std::string, SupportCondition>& conditions,
                                              std::string_view axis) {
  const std::string key(axis);
  if (auto it = conditions.find(key); it != conditions.end()) return &it->second;
  if (key.empty() || key[0] < 'A' || key[0] > 'Z') return nullptr;
  std::string lower = key;
  lower[0] = static_cast<char>(lower[0] - 'A' + 'a');
  if (auto it = conditions.find(lower); it != conditions.end()) return &it->second;
  return nullptr;
}

Expected<std::optional<double>> spring_stiffness_or_error(const SupportCondition& condition, std::uint32_t support_id,
                                                          std::string_view axis, std::string_view kind) {
  if (condition.condition_type != SupportConditionType::Spring) return std::optional<double>{};
  const std::string what =
      "Support " + std::to_string(support_id) + " " + std::string(kind) + " " + std::string(axis);
  if (!condition.stiffness) return fail(what + " is Spring but stiffness is missing.");
  const double k = *condition.stiffness;
  // A NaN stiffness is no positive stiffness either.
  if (!(k > 0.0)) return fail(what + " Spring stiffness must be positive.");
  if (!(k <= kLargestStiffness)) return fail(what + " Spring stiffness is too large to analyse.");
  return std::optional<double>{k};
}

Expected<std::optional<double>> resolve_spring_stiffness(const SupportCondition& condition, std::uint32_t support_id,
                                                         std::string_view axis, std::string_view kind,
                                                         const SupportNodeForces* node_forces) {
  if (!condition.stiffness_curve) return spring_stiffness_or_error(condition, support_id, axis, kind);
  const StiffnessCurveConfig& curve = *condition.stiffness_curve;
  // Validated before every evaluation, so an empty or unsorted curve never reaches the
  // interpolation.
  if (auto ok = curve.validate("Support " + std::to_string(support_id), axis); !ok) return fail(ok.error());
  const double f = node_forces ? std::abs((*node_forces)[index(curve.depends_on)]) : 0.0;
  return std::optional<double>{curve.interpolate(f)};
}

Expected<std::vector<SupportSpringEntry>> collect_support_spring_entries_with_forces(
    const std::vector<MemberSet>& member_sets, const std::vector<NodalSupport>& nodal_supports,
    const SupportNodeForceMap* node_forces) {
  const SupportsById supports = supports_by_id(nodal_supports);
  std::vector<SupportSpringEntry> entries;
  std::optional<std::string> error;

  visit_unique_supported_nodes(member_sets, supports, [&](const Node& node, const NodalSupport& support) {
    if (error) return;
    const SupportNodeForces* forces = nullptr;
    if (node_forces) {
      if (auto it = node_forces->find(node.id); it != node_forces->end()) forces = &it->second;
    }
    auto add = [&](const SupportCondition* c, std::size_t k, std::string_view axis, std::string_view kind) {
      if (error || c == nullptr) return;
      auto r = resolve_spring_stiffness(*c, support.id, axis, kind, forces);
      if (!r) {
        error = r.error();
        return;
      }
      if (r.value()) entries.push_back(SupportSpringEntry{dof_index(node.id, k), *r.value()});
    };
    static constexpr std::array<std::string_view, 3> kAxes = {"X", "Y", "Z"};
    for (std::size_t a = 0; a < 3; ++a) {
      add(get_support_condition(support.displacement_conditions, kAxes[a]), a, kAxes[a], "displacement");
    }
    for (std::size_t a = 0; a < 3; ++a) {
      add(get_support_condition(support.rotation_conditions, kAxes[a]), 3 + a, kAxes[a], "rotation");
    }
    add(support.warping_condition ? &*support.warping_condition : nullptr, 6, "Warp", "warping");
  });
  if (error) return fail(*error);
  return entries;
}

Expected<std::vector<SupportSpringEntry>> collect_support_spring_entries(const std::vector<MemberSet>& member_sets,
                                                                         const std::vector<NodalSupport>& nodal_supports) {
  return collect_support_spring_entries_with_forces(member_sets, nodal_supports, nullptr);
}

Expected<SparseMatrix> add_support_springs(const SparseMatrix& k, const std::vector<MemberSet>& member_sets,
                                           const std::vector<NodalSupport>& nodal_supports) {
  auto springs = collect_support_spring_entries(member_sets, nodal_supports);
  if (!springs) return fail(springs.error());
  return add_support_springs(k, *springs);
}

SparseMatrix add_support_springs(const SparseMatrix& k, const std::vector<SupportSpringEntry>& springs) {
  if (springs.empty()) return k;
  std::vector<std::pair<std::size_t, double>> diagonal;
  diagonal.reserve(springs.size());
  for (const SupportSpringEntry& s : springs) diagonal.emplace_back(s.dof, s.k);
  return sparse_add_diagonal(k, diagonal);
}

bool has_stiffness_curves(const std::vector<NodalSupport>& nodal_supports) {
  for (const auto& s : nodal_supports) {
    for (const auto& [key, c] : s.displacement_conditions) {
      if (c.has_curve()) return true;
    }
    for (const auto& [key, c] : s.rotation_conditions) {
      if (c.has_curve()) return true;
    }
    if (s.warping_condition && s.warping_condition->has_curve()) return true;
  }
  return false;
}

bool has_hinge_stiffness_curves(const std::vector<MemberHinge>& memberhinges) {
  for (const auto& h : memberhinges) {
    if (h.has_curve()) return true;
  }
  return false;
}

bool has_hinge_stiffness_curves(const std::optional<std::vector<MemberHinge>>& memberhinges) {
  return memberhinges && has_hinge_stiffness_curves(*memberhinges);
}

namespace {

// A connection transmits stiffness unless it is a full release; a spring of non-positive,
// infinite or undefined stiffness is condensed like a release by the element code.
bool transmits(const AxisMode& m) {
  if (m.kind == AxisMode::Fixed) return true;
  if (m.kind == AxisMode::Released) return false;
  return std::isfinite(m.k) && m.k > 0.0;
}

// Direction cosines below this give a stiffness share of order 1e-18 of the element's:
// numerically no stiffness at all (for example the cos(pi/2) left over by a quarter roll).
constexpr double kNegligibleCosine = 1e-9;

// Marks the global DOFs of one node group (translations or rotations) that at least one
// connected local axis reaches. Rows of R are the local axes in global components.
void mark_group(std::vector<std::uint8_t>& stiffened, std::size_t base, const Mat3& r,
                const std::array<AxisMode, 3>& modes) {
  for (std::size_t k = 0; k < 3; ++k) {
    for (std::size_t j = 0; j < 3; ++j) {
      if (transmits(modes[j]) && std::abs(r(static_cast<int>(j), static_cast<int>(k))) > kNegligibleCosine) {
        stiffened[base + k] = 1;
        break;
      }
    }
  }
}

void mark_all(std::vector<std::uint8_t>& stiffened, std::uint32_t node) {
  for (std::size_t k = 0; k < kDofsPerNode; ++k) stiffened[dof_index(node, k)] = 1;
}

// A beam (or the stiff beam of a rigid member) stiffens all seven DOFs of both nodes except
// those that its hinges release completely: a moment hinge at a free tip leaves the tip
// rotation about the hinge axis without any stiffness.
void mark_beam(std::vector<std::uint8_t>& stiffened, const Member& m,
               const std::unordered_map<std::uint32_t, const MemberHinge*>& hinges) {
  auto find = [&](const std::optional<std::uint32_t>& id) -> const MemberHinge* {
    if (!id) return nullptr;
    auto it = hinges.find(*id);
    return it == hinges.end() ? nullptr : it->second;
  };
  const MemberHinge* hs = find(m.start_hinge);
  const MemberHinge* he = find(m.end_hinge);
  const MemberEndModes modes = (hs || he) ? modes_from_single_ends(hs, he) : MemberEndModes{};
  if (!modes.any_release() || m.calculate_length() < 1e-12) {
    // Without releases every DOF is reached; a member without a direction is left to the
    // stiffness assembly, which stops on it.
    mark_all(stiffened, m.start_node.id);
    mark_all(stiffened, m.end_node.id);
    return;
  }
  const Mat3 r = m.calculate_rotation_matrix_from_positions(m.start_position(), m.end_position());
  const std::size_t s = dof_index(m.start_node.id, 0);
  const std::size_t e = dof_index(m.end_node.id, 0);
  mark_group(stiffened, s, r, modes.start_translation);
  mark_group(stiffened, s + 3, r, modes.start_rotation);
  mark_group(stiffened, e, r, modes.end_translation);
  mark_group(stiffened, e + 3, r, modes.end_rotation);
  if (transmits(modes.start_warping)) stiffened[s + 6] = 1;
  if (transmits(modes.end_warping)) stiffened[e + 6] = 1;
}

// A support acts on a DOF when it holds it or puts a spring on it, exactly the conditions
// that the constraint list or the spring collection turn into stiffness. A stiffness value
// on a Free, PositiveOnly or NegativeOnly condition makes no spring, so it holds nothing.
bool restrains(const SupportCondition* c) {
  if (c == nullptr) return false;
  return c->condition_type == SupportConditionType::Fixed || c->has_curve() ||
         (c->condition_type == SupportConditionType::Spring && c->stiffness && *c->stiffness > 0.0);
}

}  // namespace

std::set<std::size_t> detect_zero_energy_dofs(const std::vector<MemberSet>& member_sets,
                                              const std::vector<NodalSupport>& nodal_supports,
                                              const std::vector<LoadCase>& load_cases,
                                              const std::optional<std::vector<MemberHinge>>& memberhinges,
                                              RigidStrategy rigid_strategy) {
  const std::size_t n = compute_num_dofs_from_members(member_sets);
  std::vector<std::uint8_t> stiffened(n, 0), restrained(n, 0), loaded(n, 0);
  if (n == 0) return {};

  std::unordered_map<std::uint32_t, const MemberHinge*> hinges;
  if (memberhinges) {
    for (const auto& h : *memberhinges) hinges[h.id] = &h;
  }

  // Node ids reach here from member ends, whose largest id sized the system; id 0 has no DOFs
  // and is refused by the node-id check of the assembly.
  auto valid_node = [&](std::uint32_t id) { return id >= 1 && dof_index(id, kDofsPerNode - 1) < n; };

  for (const auto& set : member_sets) {
    for (const auto& m : set.members) {
      if (!valid_node(m.start_node.id) || !valid_node(m.end_node.id)) continue;
      switch (m.member_type) {
        case MemberType::Normal:
          mark_beam(stiffened, m, hinges);
          break;
        case MemberType::Rigid:
          // Eliminated as a constraint under LinearMpc: no stiffness of its own.
          if (rigid_strategy == RigidStrategy::RigidMember) mark_beam(stiffened, m, hinges);
          break;
        case MemberType::Truss:
        case MemberType::Tension:
        case MemberType::Compression:
          for (std::uint32_t id : {m.start_node.id, m.end_node.id}) {
            for (std::size_t k = 0; k < 3; ++k) stiffened[dof_index(id, k)] = 1;
          }
          break;
      }
    }
  }

  const SupportsById supports = supports_by_id(nodal_supports);
  static constexpr std::array<std::string_view, 3> kAxes = {"X", "Y", "Z"};
  for (const auto& set : member_sets) {
    for (const auto& m : set.members) {
      for (const Node* node : {&m.start_node, &m.end_node}) {
        if (!node->nodal_support || !valid_node(node->id)) continue;
        const auto it = supports.find(*node->nodal_support);
        if (it == supports.end()) continue;
        const NodalSupport& s = *it->second;
        for (std::size_t a = 0; a < 3; ++a) {
          if (restrains(get_support_condition(s.displacement_conditions, kAxes[a]))) {
            restrained[dof_index(node->id, a)] = 1;
          }
          if (restrains(get_support_condition(s.rotation_conditions, kAxes[a]))) {
            restrained[dof_index(node->id, 3 + a)] = 1;
          }
        }
        if (s.warping_condition && restrains(&*s.warping_condition)) restrained[dof_index(node->id, 6)] = 1;
      }
    }
  }

  // A load on a node that no member reaches has no DOF here; the load assembly reports it.
  auto mark_loaded = [&](std::uint32_t node, double magnitude, const std::array<double, 3>& dir, std::size_t base) {
    if (!valid_node(node) || magnitude == 0.0 || std::isnan(magnitude)) return;
    for (std::size_t k = 0; k < 3; ++k) {
      if (dir[k] != 0.0) loaded[dof_index(node, base + k)] = 1;
    }
  };
  for (const auto& lc : load_cases) {
    for (const auto& l : lc.nodal_loads) mark_loaded(l.node, l.magnitude, l.direction, 0);
    for (const auto& l : lc.nodal_moments) mark_loaded(l.node, l.magnitude, l.direction, 3);
  }

  std::set<std::size_t> out;
  for (std::size_t d = 0; d < n; ++d) {
    if (!stiffened[d] && !restrained[d] && !loaded[d]) out.insert(out.end(), d);
  }
  return out;
}

void constrain_single_dof(Eigen::MatrixXd& k, Eigen::VectorXd& f, std::size_t d, double value) {
  if (k.rows() != k.cols() || k.rows() != f.size()) {
    fatal("constrain_single_dof: a " + std::to_string(k.rows()) + "x" + std::to_string(k.cols()) +
          " matrix with a load vector of " + std::to_string(f.size()) + " entries is no square system");
  }
  check_index(d, static_cast<std::size_t>(f.size()), "constrained DOF");
  const Eigen::Index di = static_cast<Eigen::Index>(d);
  // The prescribed value acts on the other equations through column d; move it to the
  // right-hand side before the column is cleared (nothing moves for a value of zero).
  if (value != 0.0) f -= k.col(di) * value;
  k.row(di).setZero();
  k.col(di).setZero();
  k(di, di) = 1.0;
  f(di) = value;
}

}  // namespace varn
