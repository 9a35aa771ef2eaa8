#include "functions/load_assembler.h"

#include <array>
#include <charconv>
#include <cmath>
#include <string>
#include <unordered_map>
#include <unordered_set>

#include "fatal.h"
#include "functions/geometry.h"
#include "functions/hinge_and_release_operations.h"
#include "models/loads/loadcase.h"
#include "models/members/memberset.h"
#include "models/varn/lookup.h"

namespace varn {

namespace {

// Fractions computed by a front end may overshoot the member ends by rounding.
constexpr double kFractionSlack = 1e-12;

std::string number_text(double v) {
  char buf[64];
  const auto r = std::to_chars(buf, buf + sizeof buf, v);
  return std::string(buf, r.ptr);
}

std::unordered_set<std::uint32_t> member_node_ids(const std::vector<MemberSet>& member_sets) {
  std::unordered_set<std::uint32_t> ids;
  for (const auto& set : member_sets) {
    for (const auto& m : set.members) {
      ids.insert(m.start_node.id);
      ids.insert(m.end_node.id);
    }
  }
  return ids;
}

// The global index of DOF k of a node; a vector shorter than the node's DOFs was not sized
// for this model, which is a fault of the caller.
std::size_t checked_dof(std::uint32_t node, std::size_t k, const Eigen::VectorXd& f) {
  const std::size_t d = dof_index(node, k);
  check_index(d, static_cast<std::size_t>(f.size()), "load vector DOF");
  return d;
}

template <class Load>
Expected<void> assemble_point_loads(const std::vector<Load>& loads, const char* what, std::uint32_t load_case_id,
                                    const std::vector<MemberSet>& member_sets, std::size_t first_dof,
                                    Eigen::VectorXd& f) {
  if (loads.empty()) return {};
  // Nodes exist only as member ends: a load anywhere else would act on no structure, or on
  // DOFs outside the system.
  const auto nodes = member_node_ids(member_sets);
  for (const auto& l : loads) {
    if (nodes.count(l.node) == 0) {
      return fail(std::string(what) + " " + std::to_string(l.id) + " in load case " + std::to_string(load_case_id) +
                  " acts on node " + std::to_string(l.node) + ", which no member connects.");
    }
    checked_dof(l.node, first_dof + 2, f);
  }
  for (const auto& l : loads) {
    for (std::size_t k = 0; k < 3; ++k) {
      const double d = l.direction[k];
      if (d != 0.0) f(static_cast<Eigen::Index>(dof_index(l.node, first_dof + k))) += d * l.magnitude;
    }
  }
  return {};
}

}  // namespace

HermiteEndLoads hermite_end_loads(double length, double s, double e, double q_s, double q_e) {
  // F = L·∫q·N1, M = L²·∫q·N2 (start) and L·∫q·N3, L²·∫q·N4 (end) over [s, e]. The integrands
  // are polynomials of degree 4, so three-point Gauss-Legendre quadrature on the loaded span is
  // exact; unlike the expanded antiderivatives (differences of e^k - s^k) it keeps full
  // precision for short spans and steep intensity gradients.
  static constexpr double kNode = 0.7745966692414834;  // sqrt(3/5)
  static constexpr std::array<double, 3> kX = {-kNode, 0.0, kNode};
  static constexpr std::array<double, 3> kW = {5.0 / 9.0, 8.0 / 9.0, 5.0 / 9.0};
  const double half = 0.5 * (e - s);
  const double mid = 0.5 * (e + s);
  double i1 = 0.0, i2 = 0.0, i3 = 0.0, i4 = 0.0;
  for (std::size_t g = 0; g < 3; ++g) {
    const double t = kX[g];
    const double xi = mid + half * t;
    // Intensity interpolated between the span ends without forming the gradient.
    const double q = 0.5 * (1.0 - t) * q_s + 0.5 * (1.0 + t) * q_e;
    const double xi2 = xi * xi;
    const double xi3 = xi2 * xi;
    const double wq = kW[g] * q;
    i1 += wq * (1.0 - 3.0 * xi2 + 2.0 * xi3);
    i2 += wq * (xi - 2.0 * xi2 + xi3);
    i3 += wq * (3.0 * xi2 - 2.0 * xi3);
    i4 += wq * (xi3 - xi2);
  }
  HermiteEndLoads out;
  out.f_start = length * half * i1;
  out.m_start = length * length * half * i2;
  out.f_end = length * half * i3;
  out.m_end = length * length * half * i4;
  return out;
}

SimpleBeamEndForces simple_beam_end_forces(double length, double s, double e, double q_s, double q_e) {
  // Moments of the trapezoidal load about the opposite ends: L·∫q·(1 - ξ) for the start and
  // L·∫q·ξ for the end, each in closed form over [s, e].
  const double h = e - s;
  SimpleBeamEndForces out;
  out.f_start = length * h * (q_s * (3.0 - 2.0 * s - e) + q_e * (3.0 - s - 2.0 * e)) / 6.0;
  out.f_end = length * h * (q_s * (2.0 * s + e) + q_e * (s + 2.0 * e)) / 6.0;
  return out;
}

Vec14 fixed_end_member_load_local(double length, double s, double e, double q_s, double q_e, const Vec3& q) {
  Vec14 f = Vec14::Zero();
  const HermiteEndLoads h = hermite_end_loads(length, s, e, q_s, q_e);
  const SimpleBeamEndForces a = simple_beam_end_forces(length, s, e, q_s, q_e);
  f[0] = a.f_start * q.x();
  f[1] = h.f_start * q.y();
  f[2] = h.f_start * q.z();
  // The moment axis is x̂ × q: a load along local y bends about +z, one along z about −y.
  f[4] = -h.m_start * q.z();
  f[5] = h.m_start * q.y();
  f[7] = a.f_end * q.x();
  f[8] = h.f_end * q.y();
  f[9] = h.f_end * q.z();
  f[11] = -h.m_end * q.z();
  f[12] = h.m_end * q.y();
  return f;
}

Vec3 load_direction_local(const Mat14& t, const std::array<double, 3>& direction) {
  const double dx = direction[0];
  const double dy = direction[1];
  const double dz = direction[2];
  return Vec3(t(0, 0) * dx + t(0, 1) * dy + t(0, 2) * dz, t(1, 0) * dx + t(1, 1) * dy + t(1, 2) * dz,
              t(2, 0) * dx + t(2, 1) * dy + t(2, 2) * dz);
}

Vec14 member_load_end_values(double length, double s, double e, double q_s, double q_e, const Vec3& q, LoadSplit split,
                             double factor) {
  if (split == LoadSplit::FixedEnd) return factor * fixed_end_member_load_local(length, s, e, q_s, q_e, q);
  const SimpleBeamEndForces r = simple_beam_end_forces(length, s, e, q_s, q_e);
  Vec14 f = Vec14::Zero();
  f.segment<3>(0) = (factor * r.f_start) * q;
  f.segment<3>(7) = (factor * r.f_end) * q;
  return f;
}

Expected<void> assemble_nodal_loads(const LoadCase& load_case, const std::vector<MemberSet>& member_sets,
                                    Eigen::VectorXd& f) {
  return assemble_point_loads(load_case.nodal_loads, "Nodal load", load_case.id, member_sets, 0, f);
}

Expected<void> assemble_nodal_moments(const LoadCase& load_case, const std::vector<MemberSet>& member_sets,
                                      Eigen::VectorXd& f) {
  return assemble_point_loads(load_case.nodal_moments, "Nodal moment", load_case.id, member_sets, 3, f);
}

namespace {

// The 14 global end values of one distributed load on one member.
Vec14 member_load_vector(const Member& m, const DistributedLoad& load, const AssemblyContext* context) {
  Vec14 fg = Vec14::Zero();
  const double length = m.calculate_length();
  // A member without length gives the load no lever and no extent: every end value is zero.
  // The element library stops on such a member with its own fault.
  if (!(length >= 1e-12)) return fg;
  const double s = load.start_frac;
  const double e = load.end_frac;

  if (is_truss_type(m.member_type)) {
    // A pin-ended bar carries no end moments, so the Hermite forces of a fixed-ended beam
    // would not balance the load's moment: the ends take the simple-beam reactions (global axes).
    const Vec3 d(load.direction[0], load.direction[1], load.direction[2]);
    return member_load_end_values(length, s, e, load.magnitude, load.end_magnitude, d, LoadSplit::SimpleBeam);
  }

  const Mat14 t = m.calculate_transformation_matrix_3d();
  const Vec3 q = load_direction_local(t, load.direction);
  const Vec14 fl =
      member_load_end_values(length, s, e, load.magnitude, load.end_magnitude, q, LoadSplit::FixedEnd);
  if (context == nullptr || (!m.start_hinge && !m.end_hinge)) return t.transpose() * fl;
  // A released end carries no share of the load: condense the fixed-end values with the
  // element stiffness, so that what the released DOF would have taken moves to the other DOFs.
  const auto k_local = m.calculate_stiffness_matrix_3d(context->materials, context->sections);
  if (!k_local) return t.transpose() * fl;
  const MemberEndModes modes =
      modes_from_single_ends(context->member_hinge(m.start_hinge), context->member_hinge(m.end_hinge));
  if (!modes.any_release()) return t.transpose() * fl;
  const auto fc = apply_end_releases_to_local_beam_f(*k_local, fl, modes);
  if (!fc) return t.transpose() * fl;  // the stiffness assembly reports the release pattern itself
  return t.transpose() * fc.value();
}

}  // namespace

Expected<void> assemble_distributed_loads(const LoadCase& load_case, const std::vector<MemberSet>& member_sets,
                                          Eigen::VectorXd& f, std::uint32_t load_case_id,
                                          const AssemblyContext* context) {
  if (load_case.distributed_loads.empty()) return {};
  std::unordered_map<std::uint32_t, const Member*> members;
  for (const auto& set : member_sets) {
    for (const auto& m : set.members) members[m.id] = &m;
  }

  // Check every load before the first addition, so a refused case leaves the vector unchanged.
  std::vector<std::pair<const DistributedLoad*, const Member*>> applied;
  applied.reserve(load_case.distributed_loads.size());
  for (const auto& load : load_case.distributed_loads) {
    if (load.load_case != load_case_id) continue;
    const auto it = members.find(load.member);
    if (it == members.end()) {
      return fail("Distributed load in load case " + std::to_string(load_case_id) + " acts on member " +
                  std::to_string(load.member) + ", which the model does not have.");
    }
    const double s = load.start_frac;
    const double e = load.end_frac;
    if (std::abs(e - s) < kMinLoadExtent) continue;
    // The end values integrate the intensity from start_frac to end_frac: a reversed span
    // would turn the load round, and a span beyond the member ends would load the shape
    // functions outside the element.
    if (!(s >= -kFractionSlack && e <= 1.0 + kFractionSlack && s < e)) {
      return fail("Distributed load on member " + std::to_string(load.member) + " in load case " +
                  std::to_string(load_case_id) + " spans start_frac " + number_text(s) + " to end_frac " +
                  number_text(e) + "; the span must satisfy 0 <= start_frac < end_frac <= 1.");
    }
    const Member& m = *it->second;
    checked_dof(m.start_node.id, 6, f);
    checked_dof(m.end_node.id, 6, f);
    applied.emplace_back(&load, &m);
  }

  for (const auto& [load, m] : applied) {
    const Vec14 fg = member_load_vector(*m, *load, context);
    const auto s = static_cast<Eigen::Index>(dof_index(m->start_node.id, 0));
    const auto e = static_cast<Eigen::Index>(dof_index(m->end_node.id, 0));
    f.segment<7>(s) += fg.head<7>();
    f.segment<7>(e) += fg.tail<7>();
  }
  return {};
}

}  // namespace varn
