// Elastic element stiffness and axial force of a member, from its section and material.
#include <string>

#include "fatal.h"
#include "functions/geometry.h"
#include "models/members/element_kernels.h"
#include "models/members/material.h"
#include "models/members/member.h"
#include "models/members/section.h"

namespace varn {

namespace {

std::uint32_t require_section_id(const Member& m) {
  if (!m.section) {
    fatal("Member " + std::to_string(m.id) + " (" + std::string(to_string(m.member_type)) +
          ") missing section id required to compute axial force.");
  }
  return *m.section;
}

template <class Map>
auto find_record(const Map& map, std::uint32_t id) -> typename Map::mapped_type {
  const auto it = map.find(id);
  return it == map.end() ? nullptr : it->second;
}

}  // namespace

std::pair<double, double> Member::effective_shear_center(const Section& section) const {
  const double y_s = section.y_s.value_or(0.0);
  const double z_s = section.z_s.value_or(0.0);
  // Mirroring reflects the section in its local z axis: y changes sign, z does not.
  return {mirror ? -y_s : y_s, z_s};
}

double Member::effective_principal_axis_angle(const Section& section) const {
  const double a = section.principal_axis_angle.value_or(0.0);
  return mirror ? -a : a;
}

std::optional<Mat14> Member::calculate_stiffness_matrix_3d(const MaterialMap& materials,
                                                           const SectionMap& sections) const {
  const std::uint32_t section_id = require_section_id(*this);
  const Section* section = find_record(sections, section_id);
  if (section == nullptr) return std::nullopt;
  const Material* material = find_record(materials, section->material);
  if (material == nullptr) return std::nullopt;

  BeamProperties p;
  p.e_mod = material->e_mod;
  p.g_mod = material->g_mod;
  p.area = section->area;
  p.i_y = section->i_y;
  p.i_z = section->i_z;
  p.j = section->j;
  p.i_w = section->i_w.value_or(0.0);
  p.a_sy = section->a_sy;
  p.a_sz = section->a_sz;
  const auto [y_s, z_s] = effective_shear_center(*section);
  p.y_s = y_s;
  p.z_s = z_s;
  p.principal_axis_deg = effective_principal_axis_angle(*section);
  return local_beam_stiffness(p, calculate_length());
}

std::optional<Mat14> Member::calculate_truss_stiffness_matrix_local(const MaterialMap& materials,
                                                                    const SectionMap& sections) const {
  const std::uint32_t section_id = require_section_id(*this);
  const Section* section = find_record(sections, section_id);
  if (section == nullptr) return std::nullopt;
  const Material* material = find_record(materials, section->material);
  if (material == nullptr) return std::nullopt;
  const Vec3 d = end_position() - start_position();
  if (d.squaredNorm() == 0.0) return std::nullopt;
  return local_truss_stiffness(material->e_mod * section->area, calculate_length());
}

std::optional<Mat14> Member::calculate_truss_stiffness_matrix_3d(const MaterialMap& materials,
                                                                 const SectionMap& sections) const {
  const auto local = calculate_truss_stiffness_matrix_local(materials, sections);
  if (!local) return std::nullopt;
  const Mat14 t = calculate_transformation_matrix_3d();
  return Mat14(t.transpose() * *local * t);
}

std::pair<double, double> Member::calculate_axial_force_3d_impl(const Eigen::Ref<const Eigen::VectorXd>& u,
                                                                const MaterialMap& materials,
                                                                const SectionMap& sections,
                                                                bool use_deformed) const {
  const std::uint32_t section_id = require_section_id(*this);
  const Section* section = find_record(sections, section_id);
  if (section == nullptr) {
    fatal("Missing section data: member_id=" + std::to_string(id) + ", section_id=" + std::to_string(section_id));
  }
  const Material* material = find_record(materials, section->material);
  if (material == nullptr) {
    fatal("Missing material for section: member_id=" + std::to_string(id) + ", section_id=" +
          std::to_string(section_id) + ", material_id=" + std::to_string(section->material));
  }

  Mat3 r;
  if (use_deformed) {
    const auto [s, e] = deformed_positions(u);
    r = calculate_rotation_matrix_from_positions(s, e);
  } else {
    r = calculate_rotation_matrix_from_positions(start_position(), end_position());
  }

  const std::size_t n = static_cast<std::size_t>(u.size());
  const std::size_t s0 = dof_index(start_node.id, 0);
  const std::size_t e0 = dof_index(end_node.id, 0);
  check_index(s0 + 6, n, "displacement of a member's start node");
  check_index(e0 + 6, n, "displacement of a member's end node");
  const auto at = [&](std::size_t i) { return u[static_cast<Eigen::Index>(i)]; };
  const Vec3 du_start(at(s0), at(s0 + 1), at(s0 + 2));
  const Vec3 du_end(at(e0), at(e0 + 1), at(e0 + 2));
  // Only the axial rows of T·u_e matter: the elongation is the axial translation of the end
  // relative to the start.
  const double elongation = r.row(0).dot(du_end) - r.row(0).dot(du_start);
  const double axial = material->e_mod * section->area / calculate_length() * elongation;
  return {axial, elongation};
}

double Member::calculate_axial_force_3d(const Eigen::Ref<const Eigen::VectorXd>& u, const MaterialMap& materials,
                                        const SectionMap& sections) const {
  return calculate_axial_force_3d_impl(u, materials, sections, false).first;
}

}  // namespace varn
