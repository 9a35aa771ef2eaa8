#include "models/members/element_kernels.h"

#include <cmath>
#include <numbers>

namespace varn {

namespace {

void set_sym(Mat14& k, int r, int c, double v) {
  k(r, c) = v;
  k(c, r) = v;
}

}  // namespace

double shear_deformation_parameter(double e_mod, double inertia, double g_mod, std::optional<double> shear_area,
                                   double length) {
  if (!shear_area) return 0.0;
  const double shear_stiffness = g_mod * *shear_area;
  if (!(shear_stiffness > 0.0) || !std::isfinite(shear_stiffness)) return 0.0;
  return 12.0 * e_mod * inertia / (length * length * shear_stiffness);
}

Mat14 local_beam_stiffness(const BeamProperties& p, double length) {
  const double l = length;
  const double l2 = l * l;
  const double l3 = l2 * l;
  const double e = p.e_mod;
  Mat14 k = Mat14::Zero();

  // Axial.
  const double ka = e * p.area / l;
  k(0, 0) = ka;
  k(7, 7) = ka;
  set_sym(k, 0, 7, -ka);

  // Bending in the local x-y plane (v, θz): positive θz turns the axis towards +y.
  {
    const double phi = shear_deformation_parameter(e, p.i_z, p.g_mod, p.a_sz, l);
    const double d = 1.0 + phi;
    const double ei = e * p.i_z;
    k(1, 1) = 12.0 * ei / (l3 * d);
    k(8, 8) = 12.0 * ei / (l3 * d);
    set_sym(k, 1, 8, -12.0 * ei / (l3 * d));
    set_sym(k, 1, 5, 6.0 * ei / (l2 * d));
    set_sym(k, 1, 12, 6.0 * ei / (l2 * d));
    set_sym(k, 5, 8, -6.0 * ei / (l2 * d));
    set_sym(k, 8, 12, -6.0 * ei / (l2 * d));
    k(5, 5) = ei * (4.0 + phi) / (l * d);
    k(12, 12) = ei * (4.0 + phi) / (l * d);
    set_sym(k, 5, 12, ei * (2.0 - phi) / (l * d));
  }

  // Bending in the local x-z plane (w, θy): positive θy turns the axis towards -z.
  {
    const double phi = shear_deformation_parameter(e, p.i_y, p.g_mod, p.a_sy, l);
    const double d = 1.0 + phi;
    const double ei = e * p.i_y;
    k(2, 2) = 12.0 * ei / (l3 * d);
    k(9, 9) = 12.0 * ei / (l3 * d);
    set_sym(k, 2, 9, -12.0 * ei / (l3 * d));
    set_sym(k, 2, 4, -6.0 * ei / (l2 * d));
    set_sym(k, 2, 11, -6.0 * ei / (l2 * d));
    set_sym(k, 4, 9, 6.0 * ei / (l2 * d));
    set_sym(k, 9, 11, 6.0 * ei / (l2 * d));
    k(4, 4) = ei * (4.0 + phi) / (l * d);
    k(11, 11) = ei * (4.0 + phi) / (l * d);
    set_sym(k, 4, 11, ei * (2.0 - phi) / (l * d));
  }

  // Torsion: St-Venant on the twist pair, Vlasov warping as a bending-like field in which the
  // warping DOF plays the role of the rotation (the rate of twist).
  {
    const double gj = p.g_mod * p.j / l;
    const double eiw = e * p.i_w;
    const double tt = gj + 12.0 * eiw / l3;
    k(3, 3) = tt;
    k(10, 10) = tt;
    set_sym(k, 3, 10, -tt);
    set_sym(k, 3, 6, 6.0 * eiw / l2);
    set_sym(k, 3, 13, 6.0 * eiw / l2);
    set_sym(k, 6, 10, -6.0 * eiw / l2);
    set_sym(k, 10, 13, -6.0 * eiw / l2);
    k(6, 6) = 4.0 * eiw / l;
    k(13, 13) = 4.0 * eiw / l;
    set_sym(k, 6, 13, 2.0 * eiw / l);
  }
  // A section without warping resistance would leave the warping DOFs without any stiffness;
  // a tiny spring keeps the global matrix regular without affecting the response.
  if (std::abs(p.i_w) < 1e-30) {
    k(6, 6) += 1e-10 * ka;
    k(13, 13) += 1e-10 * ka;
  }

  // Shear-centre offset: the twist moves the shear centre relative to the centroid, so the
  // transverse DOFs of the bending element pick up z_s·θx and -y_s·θx.
  if (std::abs(p.y_s) > 1e-12 || std::abs(p.z_s) > 1e-12) {
    Mat14 ts = Mat14::Identity();
    ts(1, 3) = p.z_s;
    ts(2, 3) = -p.y_s;
    ts(8, 10) = p.z_s;
    ts(9, 10) = -p.y_s;
    const Mat14 kt = ts.transpose() * k * ts;
    k = kt;
  }

  // Principal axes rotated against the member axes: rotate each (y, z) pair of both ends.
  if (std::abs(p.principal_axis_deg) > 1e-12) {
    const double phi = p.principal_axis_deg * std::numbers::pi / 180.0;
    const double c = std::cos(phi);
    const double s = std::sin(phi);
    Mat14 rp = Mat14::Identity();
    for (int a : {1, 4, 8, 11}) {
      rp(a, a) = c;
      rp(a, a + 1) = s;
      rp(a + 1, a) = -s;
      rp(a + 1, a + 1) = c;
    }
    const Mat14 kr = rp.transpose() * k * rp;
    k = kr;
  }
  return k;
}

Mat14 local_truss_stiffness(double ea, double length) {
  const double k = ea / length;
  Mat14 m = Mat14::Zero();
  for (int d = 1; d < 7; ++d) {
    m(d, d) = 1e-10 * k;
    m(d + 7, d + 7) = 1e-10 * k;
  }
  // Across the bar the stabilising term acts between the two ends, like a weak shear spring:
  // a force inside the member that reaches its end forces and the reactions. The rotations and
  // warping keep their own diagonal, which the condensation of a released end needs.
  for (int d : {1, 2}) set_sym(m, d, d + 7, -1e-10 * k);
  m(0, 0) = k;
  m(7, 7) = k;
  set_sym(m, 0, 7, -k);
  return m;
}

void drop_bar_end_rotations(Mat14& k) {
  for (int end : {0, 7}) {
    for (int d = 3; d < 7; ++d) {
      k.row(end + d).setZero();
      k.col(end + d).setZero();
    }
  }
}

Mat14 consistent_geometric_stiffness(double n, double wagner, double length) {
  const double l = length;
  Mat14 k = Mat14::Zero();
  k(0, 0) = n / l;
  k(7, 7) = n / l;
  set_sym(k, 0, 7, -n / l);
  // Transverse translations: 6N/5L, the cubic-interpolated string stiffness.
  for (int a : {1, 2}) {
    k(a, a) = 1.2 * n / l;
    k(a + 7, a + 7) = 1.2 * n / l;
    set_sym(k, a, a + 7, -1.2 * n / l);
  }
  // x-y plane (v, θz), the sign pattern of the elastic matrix.
  set_sym(k, 1, 5, 0.1 * n);
  set_sym(k, 1, 12, 0.1 * n);
  set_sym(k, 5, 8, -0.1 * n);
  set_sym(k, 8, 12, -0.1 * n);
  // x-z plane (w, θy).
  set_sym(k, 2, 4, -0.1 * n);
  set_sym(k, 2, 11, -0.1 * n);
  set_sym(k, 4, 9, 0.1 * n);
  set_sym(k, 9, 11, 0.1 * n);
  for (int r : {4, 5, 11, 12}) k(r, r) = 2.0 * n * l / 15.0;
  set_sym(k, 4, 11, -n * l / 30.0);
  set_sym(k, 5, 12, -n * l / 30.0);
  // Wagner term: the axial stress resultant resisting (or driving) twist.
  k(3, 3) = wagner * n / l;
  k(10, 10) = wagner * n / l;
  set_sym(k, 3, 10, -wagner * n / l);
  return k;
}

Mat14 simplified_geometric_stiffness(double n, double length) {
  Mat14 k = Mat14::Zero();
  const double g = n / length;
  for (int a = 0; a < 3; ++a) {
    k(a, a) = g;
    k(a + 7, a + 7) = g;
    set_sym(k, a, a + 7, -g);
  }
  return k;
}

Mat14 string_geometric_stiffness(double n, double length) {
  Mat14 k = Mat14::Zero();
  const double g = n / length;
  for (int a : {1, 2}) {
    k(a, a) = g;
    k(a + 7, a + 7) = g;
    set_sym(k, a, a + 7, -g);
  }
  return k;
}

}  // namespace varn
