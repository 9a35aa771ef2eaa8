#include "models/members/corotational.h"

#include <cmath>
#include <cstdint>
#include <numbers>
#include <string>

#include <unsupported/Eigen/AutoDiff>

#include "fatal.h"
#include "functions/geometry.h"
#include "models/members/element_kernels.h"
#include "models/members/section.h"

namespace varn {

namespace {

// Forward-mode derivatives: the tangent is the derivative of the very arithmetic that forms the
// end forces, so it is exact to round-off and cannot drift from them when either changes. The
// translations enter through their difference alone, so the derivatives are taken with respect
// to eleven variables: the relative translation (0..2), the spins of the start (3..5) and of the
// end (7..9), and the warping of the start (6) and of the end (10).
constexpr int kVariables = 11;
using Dual = Eigen::AutoDiffScalar<Eigen::Matrix<double, kVariables, 1>>;

double value_of(double x) { return x; }
double value_of(const Dual& x) { return x.value(); }

// atan2 of both kinds (Eigen's returns a dynamically sized derivative).
double angle_from(double s, double c) { return std::atan2(s, c); }
Dual angle_from(const Dual& s, const Dual& c) {
  const double h = s.value() * s.value() + c.value() * c.value();
  return Dual(std::atan2(s.value(), c.value()), (c.value() * s.derivatives() - s.value() * c.derivatives()) / h);
}

template <class S>
using V3 = Eigen::Matrix<S, 3, 1>;
template <class S>
using M3 = Eigen::Matrix<S, 3, 3>;
template <class S>
using V14 = Eigen::Matrix<S, 14, 1>;

Mat3 skew(const Vec3& k) {
  Mat3 m;
  m << 0.0, -k.z(), k.y(), k.z(), 0.0, -k.x(), -k.y(), k.x(), 0.0;
  return m;
}

// Below these squared sizes the coefficients are taken from their series, smooth in the
// squared angle (so that their derivatives are finite at zero): the closed forms lose about
// ε/θ² relative. The series are exact to the double precision there (next terms below 1e-24).
constexpr double kLogSeriesSquaredSine = 1e-8;
constexpr double kJacobianSeriesSquaredAngle = 1e-4;

// Cosine of the rotation angle of r, from its trace.
template <class S>
S cosine_of(const M3<S>& r) {
  return S(0.5) * (r(0, 0) + r(1, 1) + r(2, 2) - 1.0);
}

// Rotation vector of a rotation of less than a right angle (cos θ > 0): the angle from its
// sine (the skew part) and its cosine (the trace), never from the cosine alone, which would
// round small deformational rotations to zero.
template <class S>
V3<S> log_so3(const M3<S>& r) {
  using std::sqrt;
  const V3<S> v(S(0.5) * (r(2, 1) - r(1, 2)), S(0.5) * (r(0, 2) - r(2, 0)), S(0.5) * (r(1, 0) - r(0, 1)));
  const S s2 = v.dot(v);
  S factor;  // θ / sin θ
  if (value_of(s2) < kLogSeriesSquaredSine) {
    factor = 1.0 + s2 * (1.0 / 6.0 + s2 * (3.0 / 40.0 + s2 * (5.0 / 112.0)));
  } else {
    const S s = sqrt(s2);
    factor = angle_from(s, cosine_of<S>(r)) / s;
  }
  return factor * v;
}

// The rotation matrix of the rotation vector v, exact to the last digits at every size: a
// spin of 1e-14 rad turning a node must turn it (the exponential of the geometry functions
// takes anything below 1e-12 rad for no rotation at all, and 1 − cos θ would lose the digits of
// small angles).
Mat3 exp_so3(const Vec3& v) {
  const double t2 = v.squaredNorm();
  double a;  // sin θ / θ
  double b;  // (1 − cos θ)/θ² = 2·sin²(θ/2)/θ²
  if (t2 < kJacobianSeriesSquaredAngle) {
    a = 1.0 - t2 * (1.0 / 6.0 - t2 * (1.0 / 120.0 - t2 / 5040.0));
    b = 0.5 - t2 * (1.0 / 24.0 - t2 * (1.0 / 720.0 - t2 / 40320.0));
  } else {
    const double t = std::sqrt(t2);
    const double h = std::sin(0.5 * t);
    a = std::sin(t) / t;
    b = 2.0 * h * h / t2;
  }
  const Mat3 k = skew(v);
  return Mat3::Identity() + a * k + b * (k * k);
}

// J_r⁻¹(φ)·m = m + ½·φ × m + c·φ × (φ × m), c = 1/θ² − (1 + cos θ)/(2·θ·sin θ).
template <class S>
V3<S> right_jacobian_inverse_times(const V3<S>& phi, const V3<S>& m) {
  using std::cos;
  using std::sin;
  using std::sqrt;
  const S t2 = phi.dot(phi);
  S c;
  if (value_of(t2) < kJacobianSeriesSquaredAngle) {
    c = 1.0 / 12.0 + t2 * (1.0 / 720.0 + t2 * (1.0 / 30240.0 + t2 * (1.0 / 1209600.0)));
  } else {
    const S t = sqrt(t2);
    c = 1.0 / t2 - (1.0 + cos(t)) / (2.0 * t * sin(t));
  }
  const V3<S> pm = phi.cross(m);
  return m + S(0.5) * pm + c * phi.cross(pm);
}

// Below this size the chord is taken to have collapsed, and below this share of the ends'
// mean y axis across the chord the frame is taken to be undefined (the ends are then bent
// through about a right angle).
constexpr double kCollapsedChord = 1e-12;
constexpr double kFrameAcrossChord = 1e-6;

enum class Fault { None, CollapsedChord, TurnedThrough };

template <class S>
struct Response {
  Fault fault = Fault::None;
  M3<S> frame;         // rows r1, r2, r3
  V14<S> natural = V14<S>::Zero();
  V14<S> local = V14<S>::Zero();
  V14<S> force = V14<S>::Zero();
};

// The natural deformations without a transverse translation of the chord: the end rotations,
// the elongation and the warping.
constexpr int kNatural[] = {3, 4, 5, 6, 7, 10, 11, 12, 13};
constexpr int kRotations[] = {3, 4, 5, 10, 11, 12};

// The beam at the relative end translation `delta` and the end rotations r_s, r_e, all in the
// member's undeformed local axes (rotations as I + R_0·(R − I)·R_0ᵀ, so that a node at rest is
// the identity to the last bit and a small rotation keeps its digits), and the end warping w_s,
// w_e. The frame, the natural deformations, the local response and the end forces come out in
// the same axes.
template <class S>
Response<S> beam_response(const CorotationalBeam& b, const V3<S>& delta, const M3<S>& r_s, const M3<S>& r_e,
                          const S& w_s, const S& w_e) {
  using std::sqrt;
  Response<S> out;
  // Chord: the undeformed chord (l_0, 0, 0) plus the relative translation; its elongation from
  // the same two vectors, (|c0 + Δ|² − |c0|²)/(l_n + l_0), without the cancellation of l_n − l_0.
  const V3<S> chord(b.l_0 + delta[0], delta[1], delta[2]);
  const S l_n = sqrt(chord.dot(chord));
  if (!(value_of(l_n) >= kCollapsedChord)) {
    out.fault = Fault::CollapsedChord;
    return out;
  }
  const S elongation = (2.0 * b.l_0 * delta[0] + delta.dot(delta)) / (l_n + b.l_0);
  const V3<S> r1 = chord / l_n;

  // Frame: r2 in the plane of the chord and the mean q of the ends' turned y axes.
  const V3<S> q_s = r_s.col(1);
  const V3<S> q_e = r_e.col(1);
  const V3<S> q = S(0.5) * (q_s + q_e);
  const V3<S> across = r1.cross(q);
  const S q2 = sqrt(across.dot(across));  // q·r2
  if (!(value_of(q2) >= kFrameAcrossChord)) {
    out.fault = Fault::TurnedThrough;
    return out;
  }
  const V3<S> r3 = across / q2;
  const V3<S> r2 = r3.cross(r1);
  const S q1 = q.dot(r1);
  out.frame.row(0) = r1.transpose();
  out.frame.row(1) = r2.transpose();
  out.frame.row(2) = r3.transpose();

  // End rotations seen from the frame; an end turned through a right angle or more within the
  // member leaves the element's small-deformation response far behind.
  const M3<S> rel_s = out.frame * r_s;
  const M3<S> rel_e = out.frame * r_e;
  if (!(value_of(cosine_of<S>(rel_s)) > 0.0 && value_of(cosine_of<S>(rel_e)) > 0.0)) {
    out.fault = Fault::TurnedThrough;
    return out;
  }
  const V3<S> th_s = log_so3<S>(rel_s);
  const V3<S> th_e = log_so3<S>(rel_e);
  V14<S>& d = out.natural;
  d.template segment<3>(3) = th_s;
  d.template segment<3>(10) = th_e;
  d[6] = w_s;
  d[7] = elongation;
  d[13] = w_e;

  // Local response: the gradient of ½·dᵀ·K·d + k_a·e·β + ½·k_a·β², β = ½·θᵀ·G·θ the length that
  // bending adds to the axis over the chord.
  V14<S> gd = V14<S>::Zero();
  S beta = S(0.0);
  for (const int i : kRotations) {
    for (const int j : kRotations) {
      if (b.g(i, j) != 0.0) gd[i] += b.g(i, j) * d[j];
    }
    beta += 0.5 * d[i] * gd[i];
  }
  const S n_bow = b.k_axial * (elongation + beta);
  V14<S>& f_l = out.local;
  for (const int i : kNatural) {
    S sum = S(0.0);
    for (const int j : kNatural) {
      if (b.k(i, j) != 0.0) sum += b.k(i, j) * d[j];
    }
    f_l[i] = sum;
  }
  for (const int i : kRotations) f_l[i] += n_bow * gd[i];
  f_l[7] += b.k_axial * beta;

  // End forces: δΦ = N·r1·δ(x_e − x_s) + Σ v̄·F·(δw_end − δw_frame), v̄ = J_r⁻¹(θ)·m̄ the
  // moment conjugate to the end's spin, and the frame's spin in its own axes
  //   δw̄_2 = −r3·δc/l_n, δw̄_3 = r2·δc/l_n (the turn of the chord c),
  //   δw̄_1 = (½·(q_s × r3)·δw_s + ½·(q_e × r3)·δw_e − q1·r3·δc/l_n)/q2 (its twist).
  const V3<S> v_s = right_jacobian_inverse_times<S>(th_s, V3<S>(f_l.template segment<3>(3)));
  const V3<S> v_e = right_jacobian_inverse_times<S>(th_e, V3<S>(f_l.template segment<3>(10)));
  const V3<S> s = v_s + v_e;
  const S n = f_l[7];
  const V3<S> f_end = n * r1 + (s[1] * r3 - s[2] * r2) / l_n + (s[0] * q1 / (q2 * l_n)) * r3;
  const S twist = s[0] / (2.0 * q2);
  V14<S>& f = out.force;
  f.template segment<3>(0) = -f_end;
  f.template segment<3>(3) = out.frame.transpose() * v_s - twist * q_s.cross(r3);
  f[6] = f_l[6];
  f.template segment<3>(7) = f_end;
  f.template segment<3>(10) = out.frame.transpose() * v_e - twist * q_e.cross(r3);
  f[13] = f_l[13];
  return out;
}

// The end forces of a response in global axes (the warping forces are not turned).
template <class S>
V14<S> to_global(const CorotationalBeam& b, const V14<S>& local) {
  V14<S> out = local;
  const Mat3 back = b.r_0.transpose();
  for (const int at : {0, 3, 7, 10}) out.template segment<3>(at) = back * V3<S>(local.template segment<3>(at));
  return out;
}

std::string fault_message(const CorotationalBeam& b, Fault fault) {
  if (fault == Fault::CollapsedChord) {
    return "Member " + std::to_string(b.member) + " has collapsed to zero length in the deformed state.";
  }
  return "Member " + std::to_string(b.member) +
         " is bent through a right angle or more between its ends in the deformed state: model it with "
         "more elements.";
}

Mat3 node_rotation(const Eigen::Ref<const Eigen::VectorXd>& u_e, int at) {
  return exp_so3(Vec3(u_e[at], u_e[at + 1], u_e[at + 2]));
}

// The rotation vector of r of angle up to a half turn, small ones to the last digits.
Vec3 principal_rotation_vector(const Mat3& r) {
  if (cosine_of<double>(r) > 0.0) return log_so3<double>(r);
  return rotation_vector_from_matrix(r);  // its branch near a half turn finds the axis
}

// A node rotation in the member's undeformed axes, I + R_0·(R − I)·R_0ᵀ.
Mat3 in_member_axes(const CorotationalBeam& b, const Mat3& r) {
  return Mat3::Identity() + b.r_0 * (r - Mat3::Identity()) * b.r_0.transpose();
}

Vec3 relative_translation(const CorotationalBeam& b, const Eigen::Ref<const Eigen::VectorXd>& u_e) {
  return b.r_0 * Vec3(u_e[7] - u_e[0], u_e[8] - u_e[1], u_e[9] - u_e[2]);
}

}  // namespace

DeformedChord deformed_chord(const Member& m, const Eigen::Ref<const Eigen::VectorXd>& u_e) {
  check_index(13, static_cast<std::size_t>(u_e.size()), "element displacement vector");
  const Vec3 c0 = m.end_position() - m.start_position();
  const Vec3 delta(u_e[7] - u_e[0], u_e[8] - u_e[1], u_e[9] - u_e[2]);
  const Vec3 d = c0 + delta;
  DeformedChord c;
  c.l_n = d.norm();
  c.e_n = d / c.l_n;
  c.l_0 = m.calculate_length();
  c.elongation = (2.0 * c0.dot(delta) + delta.squaredNorm()) / (c.l_n + c.l_0);
  return c;
}

Mat3 right_jacobian_so3_inverse(const Vec3& phi) {
  Mat3 out;
  for (int j = 0; j < 3; ++j) out.col(j) = right_jacobian_inverse_times<double>(phi, Vec3::Unit(j));
  return out;
}

Vec3 rotation_vector_near(const Mat3& r, const Vec3& near) {
  const Vec3 psi = principal_rotation_vector(r);
  const double angle = psi.norm();
  constexpr double kTurn = 2.0 * std::numbers::pi;
  if (angle == 0.0) {
    // The identity: a whole number of turns about the axis of `near`.
    const double turns = std::round(near.norm() / kTurn);
    return turns == 0.0 ? Vec3::Zero() : Vec3(near.normalized() * (turns * kTurn));
  }
  const Vec3 axis = psi / angle;
  const double turns = std::round((axis.dot(near) - angle) / kTurn);
  return axis * (angle + turns * kTurn);
}

Vec3 compose_rotation(const Vec3& psi, const Vec3& w) {
  return rotation_vector_near(exp_so3(w) * exp_so3(psi), psi);
}

CorotationalBeam corotational_beam(const Member& m, const Mat14& k_star, double wagner) {
  CorotationalBeam b;
  b.member = m.id;
  b.k = k_star;
  b.k_axial = k_star(7, 7);
  b.r_0 = m.calculate_rotation_matrix_from_positions(m.start_position(), m.end_position());
  b.l_0 = m.calculate_length();
  const Mat14 g = consistent_geometric_stiffness(1.0, wagner, b.l_0);
  b.g = Mat14::Zero();
  for (const int i : kRotations) {
    for (const int j : kRotations) b.g(i, j) = g(i, j);
  }
  return b;
}

namespace {

const MemberHinge* hinge_of(const std::optional<std::uint32_t>& id, const MemberHingeMap& hinges) {
  if (!id) return nullptr;
  const auto it = hinges.find(*id);
  return it == hinges.end() ? nullptr : it->second;
}

}  // namespace

Expected<CorotationalBeam> corotational_beam_with_releases(const Member& m, const Mat14& k_local,
                                                           const SectionMap& sections, const MemberHingeMap& hinges) {
  const MemberEndModes modes = modes_from_single_ends(hinge_of(m.start_hinge, hinges), hinge_of(m.end_hinge, hinges));
  auto k_star = apply_end_releases_to_local_beam_k(k_local, modes);
  if (!k_star) return fail(k_star.error());
  double wagner = 0.0;
  if (m.section) {
    const auto it = sections.find(*m.section);
    if (it != sections.end()) wagner = it->second->wagner_coeff.value_or(0.0);
  }
  return corotational_beam(m, *k_star, wagner);
}

Expected<CorotationalState> corotational_state(const CorotationalBeam& b,
                                               const Eigen::Ref<const Eigen::VectorXd>& u_e) {
  check_index(13, static_cast<std::size_t>(u_e.size()), "element displacement vector");
  const Response<double> r =
      beam_response<double>(b, relative_translation(b, u_e), in_member_axes(b, node_rotation(u_e, 3)),
                            in_member_axes(b, node_rotation(u_e, 10)), u_e[6], u_e[13]);
  if (r.fault != Fault::None) return fail(fault_message(b, r.fault));
  CorotationalState s;
  s.t_n = transformation_from_rotation(r.frame * b.r_0);
  s.natural = r.natural;
  s.local = r.local;
  s.force = to_global<double>(b, r.force);
  s.l_n = b.l_0 + r.natural[7];
  return s;
}

Expected<CorotationalTangent> corotational_tangent(const CorotationalBeam& b,
                                                   const Eigen::Ref<const Eigen::VectorXd>& u_e) {
  check_index(13, static_cast<std::size_t>(u_e.size()), "element displacement vector");
  using Derivatives = Eigen::Matrix<double, kVariables, 1>;
  const Vec3 delta_value = relative_translation(b, u_e);
  V3<Dual> delta;
  for (int k = 0; k < 3; ++k) {
    Derivatives der = Derivatives::Zero();
    for (int j = 0; j < 3; ++j) der[j] = b.r_0(k, j);
    delta[k] = Dual(delta_value[k], der);
  }
  // A node's rotation turned by the spin δw: δR = [δw]×·R, in member axes R_0·[δw]×·R·R_0ᵀ.
  const auto seeded = [&](int at, int variable) {
    const Mat3 r = node_rotation(u_e, at);
    const Mat3 value = in_member_axes(b, r);
    M3<Dual> out;
    for (int i = 0; i < 3; ++i) {
      for (int j = 0; j < 3; ++j) out(i, j) = Dual(value(i, j), Derivatives::Zero());
    }
    for (int k = 0; k < 3; ++k) {
      const Mat3 dr = b.r_0 * skew(Vec3::Unit(k)) * r * b.r_0.transpose();
      for (int i = 0; i < 3; ++i) {
        for (int j = 0; j < 3; ++j) out(i, j).derivatives()[variable + k] = dr(i, j);
      }
    }
    return out;
  };
  const Dual w_s(u_e[6], kVariables, 6);
  const Dual w_e(u_e[13], kVariables, 10);
  const Response<Dual> r = beam_response<Dual>(b, delta, seeded(3, 3), seeded(10, 7), w_s, w_e);
  if (r.fault != Fault::None) return fail(fault_message(b, r.fault));
  const V14<Dual> force = to_global<Dual>(b, r.force);
  CorotationalTangent t;
  for (int i = 0; i < 14; ++i) {
    const Derivatives& d = force[i].derivatives();
    t.force[i] = force[i].value();
    // The columns of u_e: the start's translations move the relative one backwards.
    t.tangent.block<1, 3>(i, 0) = -d.segment<3>(0).transpose();
    t.tangent.block<1, 4>(i, 3) = d.segment<4>(3).transpose();
    t.tangent.block<1, 3>(i, 7) = d.segment<3>(0).transpose();
    t.tangent.block<1, 4>(i, 10) = d.segment<4>(7).transpose();
  }
  return t;
}

Expected<std::optional<Mat14>> corotational_bar_local_stiffness(const Member& m, const MaterialMap& materials,
                                                                const SectionMap& sections,
                                                                const MemberHingeMap& hinges) {
  const auto k_local = m.calculate_truss_stiffness_matrix_local(materials, sections);
  if (!k_local) return std::optional<Mat14>();
  const MemberEndModes modes = modes_from_single_ends(hinge_of(m.start_hinge, hinges), hinge_of(m.end_hinge, hinges));
  auto k_star = apply_end_releases_to_local_beam_k(*k_local, modes);
  if (!k_star) return fail(k_star.error());
  drop_bar_end_rotations(*k_star);
  return std::optional<Mat14>(*k_star);
}

double corotational_bar_axial_force(const DeformedChord& c, double k_axial) { return k_axial * c.elongation; }

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
