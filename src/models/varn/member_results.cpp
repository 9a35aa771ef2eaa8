#include "models/varn/member_results.h"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <numbers>
#include <optional>
#include <set>
#include <string>
#include <tuple>
#include <unordered_map>

#include "fatal.h"
#include "functions/geometry.h"
#include "functions/load_assembler.h"
#include "functions/member_loop.h"
#include "logging.h"
#include "models/loads/load_lookup.h"
#include "models/members/corotational.h"
#include "models/members/enums.h"
#include "models/members/material.h"
#include "models/members/section.h"
#include "models/varn/geometric_stiffness.h"
#include "models/varn/member_stiffness.h"
#include "models/varn/varn.h"

namespace varn {

namespace {

constexpr double kAngleTolerance = 1e-12;
constexpr const char* kIndexFault = "Matrix index out of bounds.";

// ---- load selection ----------------------------------------------------------------------

// One distributed load of the result set with the factor of the case that applies it;
// `entry` numbers the (case, factor) entries of a combination in the order it lists them.
struct FactoredLoad {
  const DistributedLoad* load = nullptr;
  double factor = 1.0;
  std::size_t entry = 0;
};

// Calls visit(load, factor, entry) for every distributed load of the result set in a fixed
// order: a load case's list order; for a combination, its (case, factor) entries in the order
// the input lists them, each case's loads in list order. Only loads filed under the case that
// lists them count.
template <class Visit>
void for_each_result_set_load(const VARN& model, const ResultType& result_type, Visit&& visit) {
  if (result_type.is_loadcase()) {
    const LoadCase* lc = find_load_case(model.load_cases, result_type.id);
    if (lc == nullptr) return;
    for (const auto& load : lc->distributed_loads)
      if (load.load_case == result_type.id) visit(load, 1.0, std::size_t{0});
    return;
  }
  const LoadCombination* combo = find_load_combination(model.load_combinations, result_type.id);
  if (combo == nullptr) return;
  std::size_t entry = 0;
  for (const auto& [case_id, factor] : combo->load_cases_factors) {
    const LoadCase* lc = find_load_case(model.load_cases, case_id);
    if (lc != nullptr) {
      for (const auto& load : lc->distributed_loads)
        if (load.load_case == case_id) visit(load, factor, entry);
    }
    ++entry;
  }
}

std::vector<FactoredLoad> loads_of_member(const VARN& model, const ResultType& result_type,
                                          std::uint32_t member_id) {
  std::vector<FactoredLoad> out;
  for_each_result_set_load(model, result_type, [&](const DistributedLoad& load, double factor, std::size_t entry) {
    if (load.member == member_id) out.push_back({&load, factor, entry});
  });
  return out;
}

// Member id -> its loads in the fixed order, built once per recovery so that each member
// finds its own loads without scanning every load of the set. Looked up by id only.
using MemberLoadIndex = std::unordered_map<std::uint32_t, std::vector<FactoredLoad>>;

MemberLoadIndex index_member_loads(const VARN& model, const ResultType& result_type) {
  MemberLoadIndex index;
  for_each_result_set_load(model, result_type, [&](const DistributedLoad& load, double factor, std::size_t entry) {
    index[load.member].push_back({&load, factor, entry});
  });
  return index;
}

// ---- equivalent loads ----------------------------------------------------------------------

enum class Summation {
  Direct,   // every factored load added into one vector
  PerCase,  // each case's loads summed first, then added times the case factor
};

// Adds one load, times `factor`, to f (local axes of t) and returns its segment.
LoadSegment add_member_load(const DistributedLoad& load, double factor, const Mat14& t, double length,
                            LoadSplit split, Vec14& f) {
  const Vec3 q = load_direction_local(t, load.direction);
  const double s = load.start_frac;
  const double e = load.end_frac;
  f += member_load_end_values(length, s, e, load.magnitude, load.end_magnitude, q, split, factor);
  return LoadSegment{factor * load.magnitude, factor * load.end_magnitude, s, e, q.x(), q.y(), q.z()};
}

MemberLoadSet equivalent_loads(const std::vector<FactoredLoad>& loads, const Mat14& t, double length,
                               LoadSplit split, Summation summation) {
  MemberLoadSet out;
  if (summation == Summation::Direct) {
    for (const auto& fl : loads) {
      if (std::abs(fl.load->end_frac - fl.load->start_frac) < kMinLoadExtent) continue;
      out.segments.push_back(add_member_load(*fl.load, fl.factor, t, length, split, out.f_eq));
    }
    return out;
  }
  // Per case: the loads of one (case, factor) entry are consecutive in the list.
  std::size_t i = 0;
  while (i < loads.size()) {
    const std::size_t entry = loads[i].entry;
    const double factor = loads[i].factor;
    Vec14 case_vector = Vec14::Zero();
    bool any = false;
    for (; i < loads.size() && loads[i].entry == entry; ++i) {
      const DistributedLoad& load = *loads[i].load;
      if (std::abs(load.end_frac - load.start_frac) < kMinLoadExtent) continue;
      LoadSegment seg = add_member_load(load, 1.0, t, length, split, case_vector);
      seg.w_s = factor * load.magnitude;
      seg.w_e = factor * load.end_magnitude;
      out.segments.push_back(seg);
      any = true;
    }
    if (any) out.f_eq += factor * case_vector;
  }
  return out;
}

// ---- small numerics ------------------------------------------------------------------------

NodeForces forces_from(const Vec14& f, int base) {
  return NodeForces{f[base], f[base + 1], f[base + 2], f[base + 3], f[base + 4], f[base + 5], f[base + 6]};
}

NodeDisplacement displacement_from(const Vec14& d, int base) {
  return NodeDisplacement{d[base], d[base + 1], d[base + 2], d[base + 3], d[base + 4], d[base + 5], d[base + 6]};
}

std::array<double, 7> as_array(const NodeForces& f) { return {f.fx, f.fy, f.fz, f.mx, f.my, f.mz, f.bw}; }

NodeForces from_array(const std::array<double, 7>& a) { return NodeForces{a[0], a[1], a[2], a[3], a[4], a[5], a[6]}; }

void widen(NodeForces& max, NodeForces& min, const std::array<double, 7>& v, int components) {
  std::array<double, 7> hi = as_array(max);
  std::array<double, 7> lo = as_array(min);
  for (int k = 0; k < components; ++k) {
    hi[static_cast<std::size_t>(k)] = std::fmax(hi[static_cast<std::size_t>(k)], v[static_cast<std::size_t>(k)]);
    lo[static_cast<std::size_t>(k)] = std::fmin(lo[static_cast<std::size_t>(k)], v[static_cast<std::size_t>(k)]);
  }
  max = from_array(hi);
  min = from_array(lo);
}

// The 14 global displacements of a member: its start node's seven DOFs, then its end node's.
Vec14 element_displacements(const Member& m, const Eigen::Ref<const Eigen::VectorXd>& u) {
  const std::size_t n = static_cast<std::size_t>(u.size());
  Vec14 ue;
  int k = 0;
  for (const std::uint32_t id : {m.start_node.id, m.end_node.id}) {
    const std::size_t base = dof_index(id, 0);
    // Node id 0 wraps the index far beyond any vector, so it fails here too.
    if (base > n || n - base < 7) fatal(kIndexFault);
    for (std::size_t j = 0; j < 7; ++j) ue[k++] = u[static_cast<Eigen::Index>(base + j)];
  }
  return ue;
}

// Pairs (v, w) of the shear forces and bending moments in a 14-vector of end forces.
constexpr std::array<int, 4> kBendingPairs = {1, 4, 8, 11};

// Components of the local end forces along the section's principal axes: the rotation R_p of
// the element stiffness (K = R_pᵀ·K_p·R_p), so the forces are f_p = R_p·f, the duals of the
// principal-axis displacements u_p = R_p·u that the principal stiffness acts on.
void to_principal_axes(double& a, double& b, double c, double s) {
  const double a0 = a;
  const double b0 = b;
  a = c * a0 + s * b0;
  b = -s * a0 + c * b0;
}

// ---- per-member recovery ---------------------------------------------------------------------

struct RecoveryInputs {
  const VARN& model;
  const AssemblyContext& context;
  const Eigen::Ref<const Eigen::VectorXd>& u;
  const MemberLoadIndex& loads;
  const ActiveMap* active;
  bool second_order;
  bool corotational;
  const MemberEndForceMap* end_forces;  // the forces hinge curves are read at; nullptr: none
};

const std::vector<FactoredLoad>& member_loads(const RecoveryInputs& in, std::uint32_t id) {
  static const std::vector<FactoredLoad> none;
  const auto it = in.loads.find(id);
  return it == in.loads.end() ? none : it->second;
}

// The member's geometric stiffness at axial force n in its local axes, as the tangent of the
// solve holds it: the same matrix and the same suppressed P-delta axes, so that the recovered
// forces belong to the stiffness the displacements were solved with.
Mat14 pdelta_geometric_stiffness_local(const Member& m, double n, const Mat14& t, const RecoveryInputs& in) {
  const AnalysisOptions& options = in.model.settings.analysis_options;
  Mat14 kg = member_geometric_stiffness_local(m, n, in.context, options);
  suppress_geometric_axes_local(options.pdelta_suppress_axes, t, kg);
  return kg;
}

bool switched_off(const Member& m, const ActiveMap* active) {
  if (active == nullptr || active->empty()) return false;
  if (m.member_type != MemberType::Tension && m.member_type != MemberType::Compression) return false;
  return !is_member_active(*active, m.id);
}

MemberResult recover_truss(const Member& m, const RecoveryInputs& in) {
  if (switched_off(m, in.active)) return MemberResult{};
  const Vec3 delta = m.end_position() - m.start_position();
  // Coincident ends give the bar no axis: it carries nothing.
  if (delta.squaredNorm() == 0.0) return MemberResult{};

  const auto& ctx = in.context;
  // An end hinge's axial spring acts in series with the bar, as its element matrix has it.
  const double n_axial = member_axial_force(m, in.u, ctx);
  const double length = delta.norm();
  const Mat14 t = m.calculate_transformation_matrix_3d();
  const Vec14 ue = element_displacements(m, in.u);
  const Vec14 ul = t * ue;
  // A pin-ended bar: its loads reach its ends as the simple-beam reactions, exactly as the
  // load assembly hands them to the nodes, so the end forces balance the loads' moments too.
  const MemberLoadSet loads =
      equivalent_loads(member_loads(in, m.id), t, length, LoadSplit::SimpleBeam, Summation::Direct);
  const Vec14& feq = loads.f_eq;

  Vec3 g_start, g_end, l_start, l_end;
  if (in.corotational) {
    // The bar turns with its chord and carries only the force of the chord's elongation along
    // it, as the co-rotational kernels hold it (end hinges in series with the bar); its loads
    // act on the deformed chord, as the co-rotational load vector puts them.
    const auto k_star = corotational_bar_local_stiffness(m, ctx.materials, ctx.sections, ctx.member_hinges);
    // A release pattern the condensation refuses has stopped the solve before any recovery;
    // the section and its material were found for the axial force above.
    double k_axial = 0.0;
    if (k_star && k_star->has_value()) {
      k_axial = (**k_star)(7, 7);
    } else {
      const Section* section = ctx.section(*m.section);
      k_axial = ctx.material(section->material)->e_mod * section->area / length;
    }
    const DeformedChord chord = deformed_chord(m, ue);
    const double n = corotational_bar_axial_force(chord, k_axial);
    const Member moved = m.moved_to_deformed(in.u);
    const Mat14 t_c = moved.calculate_transformation_matrix_3d();
    const Vec14 feq_c = equivalent_loads(member_loads(in, m.id), t_c, chord.l_n, LoadSplit::SimpleBeam,
                                         Summation::Direct).f_eq;
    const Vec14 feq_g = t_c.transpose() * feq_c;
    g_start = -n * chord.e_n - feq_g.segment<3>(0);
    g_end = n * chord.e_n - feq_g.segment<3>(7);
    l_start = Vec3(-n - feq_c[0], -feq_c[1], -feq_c[2]);
    l_end = Vec3(n - feq_c[7], -feq_c[8], -feq_c[9]);
  } else if (!in.second_order) {
    const Vec14 feq_g = t.transpose() * feq;
    const Vec3 axis = delta / length;
    g_start = -n_axial * axis - feq_g.segment<3>(0);
    g_end = n_axial * axis - feq_g.segment<3>(7);
    l_start = Vec3(-n_axial - feq[0], -feq[1], -feq[2]);
    l_end = Vec3(n_axial - feq[7], -feq[8], -feq[9]);
  } else {
    const Section* section = ctx.section(*m.section);
    const Material* material = ctx.material(section->material);
    // An end hinge's axial spring in series with the bar, as its element matrix has it.
    const double k = hinged_axial_stiffness(m, ctx).value_or(material->e_mod * section->area / length);
    Mat14 ka = Mat14::Zero();
    ka(0, 0) = ka(7, 7) = k;
    ka(0, 7) = ka(7, 0) = -k;
    const Mat14 kg = pdelta_geometric_stiffness_local(m, n_axial, t, in);
    // The global forces carry the string forces of the rotated chord; the local ones report
    // the bar's own axial and load forces only.
    const Vec14 f1 = ka * ul - feq;
    const Vec14 f = (ka + kg) * ul - feq;
    const Vec14 fg = t.transpose() * f;
    g_start = fg.segment<3>(0);
    g_end = fg.segment<3>(7);
    l_start = f1.segment<3>(0);
    l_end = f1.segment<3>(7);
  }

  MemberResult r;
  r.start_node_forces = NodeForces{g_start.x(), g_start.y(), g_start.z(), 0.0, 0.0, 0.0, 0.0};
  r.end_node_forces = NodeForces{g_end.x(), g_end.y(), g_end.z(), 0.0, 0.0, 0.0, 0.0};
  r.local_start_forces = NodeForces{l_start.x(), l_start.y(), l_start.z(), 0.0, 0.0, 0.0, 0.0};
  r.local_end_forces = NodeForces{l_end.x(), l_end.y(), l_end.z(), 0.0, 0.0, 0.0, 0.0};
  const auto ends = [](const Vec3& a, const Vec3& b, NodeForces& max, NodeForces& min) {
    max = NodeForces{std::fmax(a.x(), b.x()), std::fmax(a.y(), b.y()), std::fmax(a.z(), b.z()), 0, 0, 0, 0};
    min = NodeForces{std::fmin(a.x(), b.x()), std::fmin(a.y(), b.y()), std::fmin(a.z(), b.z()), 0, 0, 0, 0};
  };
  ends(g_start, g_end, r.maximums, r.minimums);
  ends(l_start, l_end, r.local_maximums, r.local_minimums);
  r.local_displacement_start_node = displacement_from(ul, 0);
  r.local_displacement_end_node = displacement_from(ul, 7);
  return r;
}

std::optional<MemberResult> recover_beam(const Member& m, const RecoveryInputs& in) {
  const auto& ctx = in.context;
  const auto k_local = m.calculate_stiffness_matrix_3d(ctx.materials, ctx.sections);
  if (!k_local) return std::nullopt;

  const Mat14 t = m.calculate_transformation_matrix_3d();
  double length = m.calculate_length();
  const Vec14 ue = element_displacements(m, in.u);
  const Vec14 u0 = t * ue;

  Mat14 k_eff = *k_local;
  Mat14 t_f = t;
  std::optional<CorotationalState> corotated;
  if (in.corotational) {
    // The element's end forces at the state, exactly those the solve balanced, in the frame
    // that turns with its chord; its loads act on the deformed chord there, where the
    // co-rotational load vector puts them. The solve has formed the same beam and state
    // already, so neither can fail here.
    auto beam = corotational_beam_with_releases(m, *k_local, ctx.sections, ctx.member_hinges);
    if (!beam) fatal(beam.error());
    auto state = corotational_state(*beam, ue);
    if (!state) fatal(state.error());
    corotated = std::move(*state);
    t_f = corotated->t_n;
    length = corotated->l_n;
  } else if (in.second_order) {
    k_eff += pdelta_geometric_stiffness_local(m, member_axial_force(m, in.u, ctx), t, in);
  }

  const MemberLoadSet loads =
      equivalent_loads(member_loads(in, m.id), t_f, length, LoadSplit::FixedEnd, Summation::PerCase);

  const EndForces* start_forces = nullptr;
  const EndForces* end_forces = nullptr;
  if (in.end_forces != nullptr) {
    if (const auto it = in.end_forces->find(m.id); it != in.end_forces->end()) {
      start_forces = &it->second.first;
      end_forces = &it->second.second;
    }
  }
  const MemberEndModes modes = modes_from_single_ends_with_forces(
      ctx.member_hinge(m.start_hinge), ctx.member_hinge(m.end_hinge), start_forces, end_forces);
  const Vec14 f = corotated ? Vec14(t_f * corotated->force - loads.f_eq)
                            : recover_member_end_forces_local(k_eff, u0, loads.f_eq, build_elimination_from_modes(modes));

  const Vec14 fg = t_f.transpose() * f;
  Vec14 fr = in.corotational ? Vec14(t * (t_f.transpose() * f)) : f;

  // Stations in the frame the loads were resolved in, so that the start force and the load
  // components share their axes; then taken to global axes and, in the co-rotated case, to the
  // undeformed local axes that the end forces are reported in.
  std::vector<SectionForce> stations = compute_section_forces(forces_from(f, 0), length, loads.segments);
  const Mat3 r_f = t_f.block<3, 3>(0, 0);
  const Mat3 r_0 = t.block<3, 3>(0, 0);
  std::vector<std::array<double, 7>> stations_global;
  stations_global.reserve(stations.size());
  for (auto& st : stations) {
    const Vec3 force(st.forces.fx, st.forces.fy, st.forces.fz);
    const Vec3 moment(st.forces.mx, st.forces.my, st.forces.mz);
    const Vec3 gf = r_f.transpose() * force;
    const Vec3 gm = r_f.transpose() * moment;
    stations_global.push_back({gf.x(), gf.y(), gf.z(), gm.x(), gm.y(), gm.z(), 0.0});
    if (in.corotational) {
      const Vec3 lf = r_0 * gf;
      const Vec3 lm = r_0 * gm;
      st.forces = NodeForces{lf.x(), lf.y(), lf.z(), lm.x(), lm.y(), lm.z(), 0.0};
    }
  }

  // Report shear forces and bending moments along the section's principal axes.
  const Section* section = m.section ? ctx.section(*m.section) : nullptr;
  const double theta = section != nullptr ? m.effective_principal_axis_angle(*section) : 0.0;
  if (std::abs(theta) > kAngleTolerance) {
    const double phi = theta * std::numbers::pi / 180.0;
    const double c = std::cos(phi);
    const double s = std::sin(phi);
    for (const int a : kBendingPairs) to_principal_axes(fr[a], fr[a + 1], c, s);
    for (auto& st : stations) {
      to_principal_axes(st.forces.fy, st.forces.fz, c, s);
      to_principal_axes(st.forces.my, st.forces.mz, c, s);
    }
  }

  MemberResult r;
  r.start_node_forces = forces_from(fg, 0);
  r.end_node_forces = forces_from(fg, 7);
  r.local_start_forces = forces_from(fr, 0);
  r.local_end_forces = forces_from(fr, 7);
  std::tie(r.maximums, r.minimums) = compute_component_extrema(fg);
  for (const auto& g : stations_global) widen(r.maximums, r.minimums, g, 6);
  std::tie(r.local_maximums, r.local_minimums) = compute_component_extrema(fr);
  for (const auto& st : stations) widen(r.local_maximums, r.local_minimums, as_array(st.forces), 7);
  r.local_displacement_start_node = displacement_from(u0, 0);
  r.local_displacement_end_node = displacement_from(u0, 7);
  r.section_forces = std::move(stations);
  return r;
}

std::optional<MemberResult> recover_member(const Member& m, const RecoveryInputs& in) {
  if (m.member_type == MemberType::Rigid) return std::nullopt;
  if (is_truss_type(m.member_type)) return recover_truss(m, in);
  return recover_beam(m, in);
}

}  // namespace

// ---- public functions ------------------------------------------------------------------------

MemberLoadSet compute_feq_for_member(std::uint32_t member_id, const Mat14& t, const VARN& model, double length,
                                     const ResultType& result_type) {
  return equivalent_loads(loads_of_member(model, result_type, member_id), t, length, LoadSplit::FixedEnd,
                          Summation::Direct);
}

MemberLoadSet compute_simple_beam_loads_for_member(std::uint32_t member_id, const Mat14& t, const VARN& model,
                                                   double length, const ResultType& result_type) {
  return equivalent_loads(loads_of_member(model, result_type, member_id), t, length, LoadSplit::SimpleBeam,
                          Summation::Direct);
}

std::set<std::uint32_t> members_with_distributed_loads(const VARN& model, const ResultType& result_type) {
  std::set<std::uint32_t> out;
  for_each_result_set_load(model, result_type, [&](const DistributedLoad& load, double, std::size_t) {
    if (!(std::abs(load.end_frac - load.start_frac) < kMinLoadExtent)) out.insert(load.member);
  });
  return out;
}

std::vector<SectionForce> compute_section_forces(const NodeForces& start, double length,
                                                 const std::vector<LoadSegment>& segments) {
  std::vector<SectionForce> out;
  out.reserve(3);
  for (int i = 1; i <= 3; ++i) {
    const double xi = 0.25 * i;
    const double x = xi * length;
    double n = start.fx;
    double vy = start.fy;
    double vz = start.fz;
    const double mx = start.mx;
    double my = start.my + start.fz * x;
    double mz = start.mz - start.fy * x;
    for (const auto& seg : segments) {
      if (xi <= seg.s || std::abs(seg.e - seg.s) < kMinLoadExtent) continue;
      const double b = std::fmin(xi, seg.e);
      const double delta = b - seg.s;
      const double lever = xi - seg.s;
      const double beta = (seg.w_e - seg.w_s) / (seg.e - seg.s);
      // Resultant of the loaded part before the station and its moment about the station.
      const double resultant = length * (beta * delta * delta / 2.0 + seg.w_s * delta);
      const double moment = length * length *
                            (beta * (lever * delta * delta / 2.0 - delta * delta * delta / 3.0) +
                             seg.w_s * (lever * delta - delta * delta / 2.0));
      n += seg.qx * resultant;
      vy += seg.qy * resultant;
      vz += seg.qz * resultant;
      my += seg.qz * moment;
      mz -= seg.qy * moment;
    }
    out.push_back(SectionForce{xi, NodeForces{n, vy, vz, mx, my, mz, 0.0}});
  }
  return out;
}

std::array<double, 14> local_displacements_from_vector(const Eigen::Ref<const Eigen::VectorXd>& v) {
  if (v.size() < 14) fatal(kIndexFault);
  std::array<double, 14> out{};
  for (int i = 0; i < 14; ++i) out[static_cast<std::size_t>(i)] = v[i];
  return out;
}

std::vector<ReleasedDof> build_elimination_from_modes(const MemberEndModes& modes) {
  std::vector<ReleasedDof> out;
  const auto add = [&](const AxisMode& mode, int dof) {
    if (mode.kind == AxisMode::Fixed) return;
    // An infinitely stiff spring is a rigid connection, as the stiffness condensation takes it.
    if (mode.kind == AxisMode::Spring && std::isinf(mode.k) && mode.k > 0.0) return;
    double k = 0.0;
    if (mode.kind == AxisMode::Spring && std::isfinite(mode.k)) k = std::fmax(mode.k, 0.0);
    out.push_back(ReleasedDof{dof, k});
  };
  for (std::size_t k = 0; k < 3; ++k) {
    const int i = static_cast<int>(k);
    add(modes.start_translation[k], i);
    add(modes.start_rotation[k], 3 + i);
    add(modes.end_translation[k], 7 + i);
    add(modes.end_rotation[k], 10 + i);
  }
  add(modes.start_warping, 6);
  add(modes.end_warping, 13);
  return out;
}

Vec14 recover_member_end_forces_local(const Mat14& k_eff, const Vec14& u, const Vec14& f_eq,
                                      const std::vector<ReleasedDof>& released) {
  if (released.empty()) return k_eff * u - f_eq;

  using Small = Eigen::Matrix<double, Eigen::Dynamic, Eigen::Dynamic, 0, 14, 14>;
  using SmallVec = Eigen::Matrix<double, Eigen::Dynamic, 1, 0, 14, 1>;
  const auto m = static_cast<Eigen::Index>(released.size());
  Vec14 u_c = u;
  for (const auto& r : released) u_c[r.dof] = 0.0;
  const Vec14 k_uc = k_eff * u_c;

  // Equilibrium of each released element end: its element stiffness against its spring.
  Small a(m, m);
  SmallVec b(m);
  for (Eigen::Index i = 0; i < m; ++i) {
    const auto& ri = released[static_cast<std::size_t>(i)];
    for (Eigen::Index j = 0; j < m; ++j) a(i, j) = k_eff(ri.dof, released[static_cast<std::size_t>(j)].dof);
    a(i, i) += ri.k;
    b[i] = ri.k * u[ri.dof] - k_uc[ri.dof] + f_eq[ri.dof];
  }
  const Eigen::PartialPivLU<Small> lu(a);
  const auto diag = lu.matrixLU().diagonal();
  bool singular = false;
  for (Eigen::Index i = 0; i < m; ++i) singular = singular || diag[i] == 0.0;

  Vec14 u_star = u_c;
  if (singular) {
    logger_for("varn_calculations::functions::results")
        ->warn("Semi-rigid recovery: (K_rr + diag(k)) is singular. Falling back to r = 0.");
  } else {
    const SmallVec x = lu.solve(b);
    for (Eigen::Index i = 0; i < m; ++i) u_star[released[static_cast<std::size_t>(i)].dof] = x[i];
  }
  return k_eff * u_star - f_eq;
}

std::pair<NodeForces, NodeForces> compute_component_extrema(const Vec14& f) {
  std::array<double, 7> hi{};
  std::array<double, 7> lo{};
  for (int k = 0; k < 7; ++k) {
    hi[static_cast<std::size_t>(k)] = std::fmax(f[k], f[7 + k]);
    lo[static_cast<std::size_t>(k)] = std::fmin(f[k], f[7 + k]);
  }
  return {from_array(hi), from_array(lo)};
}

MemberResultMap compute_member_results_from_displacement(const VARN& model, const ResultType& result_type,
                                                         const Eigen::Ref<const Eigen::VectorXd>& u,
                                                         const ActiveMap* active, RecoveryMode mode,
                                                         const MemberEndForceMap* end_forces) {
  const bool second_order = mode != RecoveryMode::FirstOrder;
  const bool corotational = mode == RecoveryMode::Corotational;
  const AssemblyContext context = model.build_lookup_maps();
  const MemberLoadIndex loads = index_member_loads(model, result_type);
  const RecoveryInputs in{model,
                          context,
                          u,
                          loads,
                          active,
                          second_order,
                          corotational,
                          end_forces};

  const std::vector<const Member*> members = flatten_members(model.member_sets);
  // Recovery has no ordinary failures; a fault of the lowest member index is rethrown.
  auto recovered = for_each_member(members, [&](const Member& m, std::size_t) { return recover_member(m, in); });
  if (!recovered) fatal(recovered.error());
  std::vector<std::optional<MemberResult>>& slots = *recovered;
  const std::size_t n = members.size();

  // Ids usually ascend in member order: append at the end then, without a search.
  MemberResultMap out;
  for (std::size_t i = 0; i < n; ++i) {
    if (!slots[i]) continue;
    const std::uint32_t id = members[i]->id;
    if (out.empty() || out.rbegin()->first < id) {
      out.emplace_hint(out.end(), id, std::move(*slots[i]));
    } else {
      out.insert_or_assign(id, std::move(*slots[i]));
    }
  }
  return out;
}

std::map<std::uint32_t, NodeDisplacement> extract_displacements(const VARN& model,
                                                                const Eigen::Ref<const Eigen::VectorXd>& u) {
  std::set<std::uint32_t> nodes;
  for (const auto& set : model.member_sets) {
    for (const auto& m : set.members) {
      nodes.insert(m.start_node.id);
      nodes.insert(m.end_node.id);
    }
  }
  const std::size_t size = static_cast<std::size_t>(u.size());
  std::map<std::uint32_t, NodeDisplacement> out;
  for (const std::uint32_t id : nodes) {
    const std::size_t base = dof_index(id, 0);
    if (base > size || size - base < 7) fatal(kIndexFault);
    const auto at = [&](std::size_t k) { return u[static_cast<Eigen::Index>(base + k)]; };
    out.emplace_hint(out.end(), id, NodeDisplacement{at(0), at(1), at(2), at(3), at(4), at(5), at(6)});
  }
  return out;
}

}  // namespace varn
