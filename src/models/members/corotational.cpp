#include "models/members/corotational.h"

#include <cmath>
#include <cstdint>

#include "fatal.h"
#include "functions/geometry.h"
#include "models/members/element_kernels.h"

namespace varn {

namespace {

Mat3 skew(const Vec3& k) {
  Mat3 m;
  m << 0.0, -k.z(), k.y(), k.z(), 0.0, -k.x(), -k.y(), k.x(), 0.0;
  return m;
}

Vec3 vee_of_skew_part(const Mat3& m) {
  return 0.5 * Vec3(m(2, 1) - m(1, 2), m(0, 2) - m(2, 0), m(1, 0) - m(0, 1));
}

// The smallest rotation that turns the unit vector a onto the unit vector b.
Mat3 rotation_between(const Vec3& a, const Vec3& b) {
  const Vec3 axis = a.cross(b);
  const double s = axis.norm();
  const double c = a.dot(b);
  if (s > 1e-12) {
    const Mat3 k = skew(axis / s);
    return Mat3::Identity() + s * k + (1.0 - c) * (k * k);
  }
  if (c > 0.0) return Mat3::Identity();
  // Reversed chord: a half turn about an axis perpendicular to a.
  const Vec3 b_ref = std::abs(a.x()) < 0.9 ? Vec3::UnitX() : Vec3::UnitY();
  const Vec3 k = b_ref.cross(a).normalized();
  return 2.0 * k * k.transpose() - Mat3::Identity();
}

// Below this angle the coefficients of the rotation Jacobians are taken from their series:
// the closed forms lose about ε/θ² relative, the two-term series is exact to θ⁴/720 < 1e-15.
constexpr double kSeriesAngle = 1e-3;

}  // namespace

DeformedChord deformed_chord(const Member& m, const Eigen::Ref<const Eigen::VectorXd>& u_e) {
  check_index(13, static_cast<std::size_t>(u_e.size()), "element displacement vector");
  const Vec3 d = (m.end_position() + Vec3(u_e[7], u_e[8], u_e[9])) - (m.start_position() + Vec3(u_e[0], u_e[1], u_e[2]));
  DeformedChord c;
  c.l_n = d.norm();
  c.e_n = d / c.l_n;
  c.l_0 = m.calculate_length();
  return c;
}

CorotationalSplit corotational_split(const Member& m, const Eigen::Ref<const Eigen::VectorXd>& u_e) {
  CorotationalSplit s;
  s.chord = deformed_chord(m, u_e);
  const Vec3 x_s = m.start_position();
  const Vec3 x_e = m.end_position();
  s.r_0 = m.calculate_rotation_matrix_from_positions(x_s, x_e);
  const Vec3 e_0 = (x_e - x_s) / s.chord.l_0;

  // Rigid rotation of the chord; the current axes are the original ones carried along by it.
  s.r_r = rotation_between(e_0, s.chord.e_n);
  const Mat3 r_n = s.r_0 * s.r_r.transpose();  // rows R_r·x0, R_r·y0, R_r·z0

  // Deformational rotation of each end: what remains of the node rotation after the rigid
  // rotation is taken off, R_s = R_r·R_d. R_d acts before R_r, so its rotation vector is
  // expressed in the original configuration and its local components are its projections on
  // the original axes x0, y0, z0 (equivalently, R_r·θ projected on the current axes).
  s.psi_s = Vec3(u_e[3], u_e[4], u_e[5]);
  s.psi_e = Vec3(u_e[10], u_e[11], u_e[12]);
  s.r_s = rotation_matrix_from_vector(s.psi_s);
  s.r_e = rotation_matrix_from_vector(s.psi_e);
  s.theta_s = rotation_vector_from_matrix(s.r_r.transpose() * s.r_s);
  s.theta_e = rotation_vector_from_matrix(s.r_r.transpose() * s.r_e);

  s.natural = Vec14::Zero();
  s.natural.segment<3>(3) = s.r_0 * s.theta_s;
  s.natural.segment<3>(10) = s.r_0 * s.theta_e;
  s.natural[7] = s.chord.l_n - s.chord.l_0;
  s.natural[6] = u_e[6];
  s.natural[13] = u_e[13];
  s.t_n = transformation_from_rotation(r_n);
  return s;
}

Mat3 right_jacobian_so3(const Vec3& phi) {
  const double t = phi.norm();
  const Mat3 k = skew(phi);
  double a;  // (1 − cos θ)/θ²
  double b;  // (θ − sin θ)/θ³
  if (t < kSeriesAngle) {
    a = 0.5 - t * t / 24.0;
    b = 1.0 / 6.0 - t * t / 120.0;
  } else {
    a = (1.0 - std::cos(t)) / (t * t);
    b = (t - std::sin(t)) / (t * t * t);
  }
  return Mat3::Identity() - a * k + b * (k * k);
}

Mat3 right_jacobian_so3_inverse(const Vec3& phi) {
  const double t = phi.norm();
  const Mat3 k = skew(phi);
  double c;  // 1/θ² − (1 + cos θ)/(2·θ·sin θ)
  if (t < kSeriesAngle) {
    c = 1.0 / 12.0 + t * t / 720.0;
  } else {
    c = 1.0 / (t * t) - (1.0 + std::cos(t)) / (2.0 * t * std::sin(t));
  }
  return Mat3::Identity() + 0.5 * k + c * (k * k);
}

Mat3 chord_spin_jacobian(const Vec3& e_0, const DeformedChord& chord) {
  const Vec3& e_n = chord.e_n;
  const Mat3 p = Mat3::Identity() - e_n * e_n.transpose();  // only the turn of e_n matters
  const Vec3 a = e_0.cross(e_n);
  const double c = e_0.dot(e_n);
  Mat3 w;
  if (a.norm() <= 1e-12 && c < 0.0) {
    // Reversed chord, where the smallest rotation is not defined: the frame follows the chord
    // without a twist about it.
    w = skew(e_n);
  } else {
    // R_r = I + [a]× + [a]×²/(1 + c) with a = e_0 × e_n and c = e_0·e_n, differentiated along
    // each direction of e_n; the spin is the skew part of δR_r·R_rᵀ.
    const Mat3 ax = skew(a);
    const Mat3 r = Mat3::Identity() + ax + ax * ax / (1.0 + c);
    for (int j = 0; j < 3; ++j) {
      const Vec3 de = Vec3::Unit(j);
      const Mat3 dax = skew(e_0.cross(de));
      const double dc = e_0.dot(de);
      const Mat3 dr = dax + (dax * ax + ax * dax) / (1.0 + c) - ax * ax * (dc / ((1.0 + c) * (1.0 + c)));
      w.col(j) = vee_of_skew_part(dr * r.transpose());
    }
  }
  return w * p / chord.l_n;
}

Vec14 corotational_beam_force(const CorotationalSplit& s, const Mat14& k_star) {
  return s.t_n.transpose() * (k_star * s.natural);
}

Mat14 corotational_beam_tangent(const CorotationalSplit& s, const Mat14& k_star) {
  const Vec3 e_0 = s.r_0.row(0).transpose();
  const Mat3 w = chord_spin_jacobian(e_0, s.chord);  // δw = w·(δx_end − δx_start)

  // D = ∂d/∂u_e, the derivative of the natural deformations.
  Mat14 d = Mat14::Zero();
  d.block<1, 3>(7, 0) = -s.chord.e_n.transpose();
  d.block<1, 3>(7, 7) = s.chord.e_n.transpose();
  d(6, 6) = 1.0;
  d(13, 13) = 1.0;
  // θ = log(R_rᵀ·exp(ψ)): δθ = J_r⁻¹(θ)·(J_r(ψ)·δψ − R(ψ)ᵀ·δw).
  const auto end_rows = [&](int row, int col, const Vec3& theta, const Vec3& psi, const Mat3& r_node) {
    const Mat3 a = s.r_0 * right_jacobian_so3_inverse(theta);
    d.block<3, 3>(row, col) = a * right_jacobian_so3(psi);
    const Mat3 b = -a * r_node.transpose() * w;
    d.block<3, 3>(row, 7) = b;
    d.block<3, 3>(row, 0) = -b;
  };
  end_rows(3, 3, s.theta_s, s.psi_s, s.r_s);
  end_rows(10, 10, s.theta_e, s.psi_e, s.r_e);

  Mat14 k_t = s.t_n.transpose() * (k_star * d);

  // The current frame turns with the chord: δ(R_nᵀ·g) = [δw]×·R_nᵀ·g = −[R_nᵀ·g]×·δw for every
  // 3-block g of the local end forces (warping forces are not turned).
  const Vec14 f_local = k_star * s.natural;
  const Mat3 r_nt = s.t_n.block<3, 3>(0, 0).transpose();
  for (int b : {0, 3, 7, 10}) {
    const Vec3 q = r_nt * f_local.segment<3>(b);
    const Mat3 g = -skew(q) * w;
    k_t.block<3, 3>(b, 7) += g;
    k_t.block<3, 3>(b, 0) -= g;
  }
  return k_t;
}

Expected<std::optional<Mat14>> corotational_bar_local_stiffness(const Member& m, const MaterialMap& materials,
                                                                const SectionMap& sections,
                                                                const MemberHingeMap& hinges) {
  const auto k_local = m.calculate_truss_stiffness_matrix_local(materials, sections);
  if (!k_local) return std::optional<Mat14>();
  const auto hinge = [&](const std::optional<std::uint32_t>& id) -> const MemberHinge* {
    if (!id) return nullptr;
    const auto it = hinges.find(*id);
    return it == hinges.end() ? nullptr : it->second;
  };
  const MemberEndModes modes = modes_from_single_ends(hinge(m.start_hinge), hinge(m.end_hinge));
  auto k_star = apply_end_releases_to_local_beam_k(*k_local, modes);
  if (!k_star) return fail(k_star.error());
  drop_bar_end_rotations(*k_star);
  return std::optional<Mat14>(*k_star);
}

double corotational_bar_axial_force(const DeformedChord& c, double k_axial) { return k_axial * (c.l_n - c.l_0); }

Vec14 corotational_bar_force(const DeformedChord& c, double k_axial) {
  const double n = corotational_bar_axial_force(c, k_axial);
  Vec14 f = Vec14::Zero();
  f.segment<3>(0) = -n * c.e_n;
  f.segment<3>(7) = n * c.e_n;
  return f;
}

Mat14 corotational_bar_tangent(const DeformedChord& c, double k_axial) {
  const double n = corotational_bar_axial_force(c, k_axial);
  const Mat3 ee = c.e_n * c.e_n.transpose();
  // Axial stiffness along the chord, and the string stiffness of the axial force across it.
  const Mat3 k = k_axial * ee + (n / c.l_n) * (Mat3::Identity() - ee);
  Mat14 t = Mat14::Zero();
  t.block<3, 3>(0, 0) = k;
  t.block<3, 3>(7, 7) = k;
  t.block<3, 3>(0, 7) = -k;
  t.block<3, 3>(7, 0) = -k;
  return t;
}

}  // namespace varn
