#include "functions/hinge_and_release_operations.h"

#include <charconv>
#include <cmath>
#include <cstdio>
#include <string>

#include "fatal.h"
#include "models/members/member.h"
#include "models/members/memberhinge.h"
#include "models/stiffness_curve/stiffness_curve.h"

namespace varn {

namespace {

// Augmented element: 14 node-side DOFs plus one internal DOF per released DOF (at most 14).
constexpr int kMaxReleased = 14;
constexpr int kMaxAugmented = 14 + kMaxReleased;
using AugMatrix = Eigen::Matrix<double, Eigen::Dynamic, Eigen::Dynamic, 0, kMaxAugmented, kMaxAugmented>;
using InteriorMatrix = Eigen::Matrix<double, Eigen::Dynamic, Eigen::Dynamic, 0, kMaxReleased, kMaxReleased>;
using CouplingMatrix = Eigen::Matrix<double, Eigen::Dynamic, 14, 0, kMaxReleased, 14>;
using InteriorVector = Eigen::Matrix<double, Eigen::Dynamic, 1, 0, kMaxReleased, 1>;

// One released DOF: its local index and the effective stiffness of the spring that joins the
// node to the element end (0 for a full release).
struct RelInfo {
  int dof = 0;
  double k = 0.0;
};

struct ReleasedList {
  std::array<RelInfo, kMaxReleased> items{};
  int size = 0;
};

ReleasedList released_list(const MemberEndModes& modes) {
  ReleasedList list;
  const auto all = modes.in_order();
  for (std::size_t r = 0; r < all.size(); ++r) {
    const AxisMode m = all[r];
    if (m.kind == AxisMode::Fixed) continue;
    // A spring of infinite stiffness is a rigid connection (it can only come from a release
    // value that overflowed in the unit conversion); it must not become a free end.
    if (m.kind == AxisMode::Spring && std::isinf(m.k) && m.k > 0.0) continue;
    double k = 0.0;
    // A spring of undefined stiffness cannot be condensed; it counts as a release.
    if (m.kind == AxisMode::Spring && std::isfinite(m.k)) k = std::max(m.k, 0.0);
    list.items[static_cast<std::size_t>(list.size++)] = RelInfo{MemberEndModes::kLocalDof[r], k};
  }
  return list;
}

std::string shortest_decimal(double v) {
  char buf[400];
  const auto r = std::to_chars(buf, buf + sizeof buf, v, std::chars_format::fixed);
  return std::string(buf, r.ptr);
}

// d.dddde<exp>: four digits after the point, no plus sign and no leading zeros in the exponent.
std::string exponent_form(double v) {
  if (std::isnan(v)) return "NaN";
  if (std::isinf(v)) return v > 0 ? "inf" : "-inf";
  char buf[64];
  std::snprintf(buf, sizeof buf, "%.4e", v);
  std::string s(buf);
  const auto e = s.find('e');
  if (e == std::string::npos) return s;
  std::string mantissa = s.substr(0, e);
  std::string exponent = s.substr(e + 1);
  bool negative = false;
  if (!exponent.empty() && (exponent[0] == '+' || exponent[0] == '-')) {
    negative = exponent[0] == '-';
    exponent.erase(0, 1);
  }
  const auto nz = exponent.find_first_not_of('0');
  exponent = nz == std::string::npos ? "0" : exponent.substr(nz);
  return mantissa + "e" + (negative ? "-" : "") + exponent;
}

// The element attached to the internal DOFs of its released ends, the springs joining them to
// the node-side DOFs. Returns the interior index map m: local DOF -> augmented DOF.
std::array<int, 14> augment(const Eigen::Ref<const Eigen::MatrixXd>& k, const ReleasedList& rel, AugMatrix& a) {
  std::array<int, 14> map{};
  for (int j = 0; j < 14; ++j) map[static_cast<std::size_t>(j)] = j;
  for (int r = 0; r < rel.size; ++r) map[static_cast<std::size_t>(rel.items[static_cast<std::size_t>(r)].dof)] = 14 + r;

  const int n = 14 + rel.size;
  a.setZero(n, n);
  for (int c = 0; c < 14; ++c) {
    for (int r = 0; r < 14; ++r) {
      const double v = k(r, c);
      if (v != 0.0) a(map[static_cast<std::size_t>(r)], map[static_cast<std::size_t>(c)]) += v;
    }
  }
  for (int r = 0; r < rel.size; ++r) {
    const RelInfo& info = rel.items[static_cast<std::size_t>(r)];
    if (info.k > 0.0) {
      const int d = info.dof;
      const int i = 14 + r;
      a(d, d) += info.k;
      a(i, i) += info.k;
      a(d, i) -= info.k;
      a(i, d) -= info.k;
    }
  }
  return map;
}

// Solves A X = B in place (B becomes X) by LU with partial pivoting. Returns false on an
// exactly zero pivot: the interior block of the release pattern has no stiffness in some
// direction, i.e. the released DOFs form a mechanism of the element.
template <class MatB>
bool lu_solve_in_place(InteriorMatrix a, MatB& b) {
  const int n = static_cast<int>(a.rows());
  for (int col = 0; col < n; ++col) {
    int pivot = col;
    double best = std::abs(a(col, col));
    for (int r = col + 1; r < n; ++r) {
      const double v = std::abs(a(r, col));
      if (v > best) {
        best = v;
        pivot = r;
      }
    }
    if (a(pivot, col) == 0.0) return false;
    if (pivot != col) {
      a.row(pivot).swap(a.row(col));
      b.row(pivot).swap(b.row(col));
    }
    const double p = a(col, col);
    for (int r = col + 1; r < n; ++r) {
      const double f = a(r, col) / p;
      if (f == 0.0) continue;
      a(r, col) = f;
      for (int c = col + 1; c < n; ++c) a(r, c) -= f * a(col, c);
      b.row(r) -= f * b.row(col);
    }
  }
  for (int r = n - 1; r >= 0; --r) {
    for (int c = r + 1; c < n; ++c) b.row(r) -= a(r, c) * b.row(c);
    b.row(r) /= a(r, r);
  }
  return true;
}

std::string singular_message(const ReleasedList& rel, const InteriorMatrix& kii) {
  std::string rels;
  for (int r = 0; r < rel.size; ++r) {
    if (r > 0) rels += ", ";
    const RelInfo& info = rel.items[static_cast<std::size_t>(r)];
    rels += "dof" + std::to_string(info.dof) + "(k=" + shortest_decimal(info.k) + ")";
  }
  std::string diag;
  for (int r = 0; r < kii.rows(); ++r) {
    if (r > 0) diag += ", ";
    diag += exponent_form(kii(r, r));
  }
  return "apply_end_releases_to_local_beam_k: interface block is singular (check release pattern). n_rel=" +
         std::to_string(rel.size) + ", rels=[" + rels + "], k_rr diag=[" + diag + "]";
}

// K* = K_ee - K_ei K_ii^-1 K_ie for a non-empty release list.
Expected<Mat14> condense_matrix(const Eigen::Ref<const Eigen::MatrixXd>& k, const ReleasedList& rel) {
  AugMatrix a;
  augment(k, rel, a);
  const int nr = rel.size;
  const InteriorMatrix kii = a.block(14, 14, nr, nr);
  CouplingMatrix x = a.block(14, 0, nr, 14);  // K_ie, becomes K_ii^-1 K_ie
  if (!lu_solve_in_place(kii, x)) return fail(singular_message(rel, kii));
  Mat14 out = a.topLeftCorner(14, 14);
  out.noalias() -= a.block(0, 14, 14, nr) * x;
  return out;
}

// Connection of one end DOF. A curve with points decides over the release value: at the end
// force magnitude when forces are known, else at its first point. A curve without points
// cannot give a stiffness, so the release value decides as if there were no curve.
AxisMode mode_for_dof(const MemberHinge* hinge, HingeDof dof, const EndForces* forces) {
  if (hinge == nullptr) return AxisMode::fixed();
  const auto& curve = hinge->curve_for_dof(dof);
  if (curve && !curve->points.empty()) {
    const double k = forces != nullptr ? curve->interpolate(std::abs((*forces)[index(curve->depends_on)]))
                                       : curve->points.front().stiffness;
    return k > 0.0 ? AxisMode::spring(k) : AxisMode::released();
  }
  return axis_mode_from_option(hinge->release_for_dof(dof));
}

const MemberHinge* find_hinge(const MemberHingeMap& hinges, const std::optional<std::uint32_t>& id) {
  if (!id) return nullptr;
  const auto it = hinges.find(*id);
  return it == hinges.end() ? nullptr : it->second;
}

Mat14 member_transformation(const Member& member, const Eigen::VectorXd* displacement) {
  if (displacement != nullptr) {
    const auto [s, e] = member.deformed_positions(*displacement);
    return member.calculate_transformation_matrix_3d_from_positions(s, e);
  }
  return member.calculate_transformation_matrix_3d();
}

std::string with_member(const std::string& message, const Member& member) {
  return message + " [member " + std::to_string(member.id) + "]";
}

}  // namespace

std::array<AxisMode, 14> MemberEndModes::in_order() const {
  return {start_translation[0], start_translation[1], start_translation[2], start_rotation[0],
          start_rotation[1],    start_rotation[2],    end_translation[0],   end_translation[1],
          end_translation[2],   end_rotation[0],      end_rotation[1],      end_rotation[2],
          start_warping,        end_warping};
}

AxisMode MemberEndModes::for_local_dof(int d) const {
  check_index(static_cast<std::size_t>(d < 0 ? 14 : d), 14, "local element DOF of an end mode");
  if (d <= 2) return start_translation[static_cast<std::size_t>(d)];
  if (d <= 5) return start_rotation[static_cast<std::size_t>(d - 3)];
  if (d == 6) return start_warping;
  if (d <= 9) return end_translation[static_cast<std::size_t>(d - 7)];
  if (d <= 12) return end_rotation[static_cast<std::size_t>(d - 10)];
  return end_warping;
}

bool MemberEndModes::any_release() const {
  for (const AxisMode& m : in_order()) {
    if (!m.is_fixed()) return true;
  }
  return false;
}

AxisMode axis_mode_from_option(std::optional<double> release_value) {
  if (!release_value) return AxisMode::fixed();
  const double v = *release_value;
  if (v > 0.0) return AxisMode::spring(v);
  return AxisMode::released();  // v <= 0 or NaN
}

MemberEndModes modes_from_single_ends_with_forces(const MemberHinge* start_hinge, const MemberHinge* end_hinge,
                                                  const EndForces* start_forces, const EndForces* end_forces) {
  MemberEndModes modes;
  for (int j = 0; j < 3; ++j) {
    const auto u = static_cast<std::size_t>(j);
    const auto t = static_cast<HingeDof>(j);
    const auto r = static_cast<HingeDof>(3 + j);
    modes.start_translation[u] = mode_for_dof(start_hinge, t, start_forces);
    modes.start_rotation[u] = mode_for_dof(start_hinge, r, start_forces);
    modes.end_translation[u] = mode_for_dof(end_hinge, t, end_forces);
    modes.end_rotation[u] = mode_for_dof(end_hinge, r, end_forces);
  }
  modes.start_warping =
      start_hinge != nullptr ? axis_mode_from_option(start_hinge->rotational_release_warp) : AxisMode::fixed();
  modes.end_warping = end_hinge != nullptr ? axis_mode_from_option(end_hinge->rotational_release_warp) : AxisMode::fixed();
  return modes;
}

MemberEndModes modes_from_single_ends(const MemberHinge* start_hinge, const MemberHinge* end_hinge) {
  return modes_from_single_ends_with_forces(start_hinge, end_hinge, nullptr, nullptr);
}

Eigen::MatrixXd submatrix_by_indices(const Eigen::Ref<const Eigen::MatrixXd>& m, const std::vector<int>& rows,
                                     const std::vector<int>& cols) {
  Eigen::MatrixXd out(static_cast<Eigen::Index>(rows.size()), static_cast<Eigen::Index>(cols.size()));
  for (std::size_t i = 0; i < rows.size(); ++i) {
    check_index(static_cast<std::size_t>(rows[i] < 0 ? m.rows() : rows[i]), static_cast<std::size_t>(m.rows()),
                "submatrix row");
  }
  for (std::size_t j = 0; j < cols.size(); ++j) {
    check_index(static_cast<std::size_t>(cols[j] < 0 ? m.cols() : cols[j]), static_cast<std::size_t>(m.cols()),
                "submatrix column");
    for (std::size_t i = 0; i < rows.size(); ++i) {
      out(static_cast<Eigen::Index>(i), static_cast<Eigen::Index>(j)) = m(rows[i], cols[j]);
    }
  }
  return out;
}

Expected<Mat14> apply_end_releases_to_local_beam_k(const Eigen::Ref<const Eigen::MatrixXd>& k,
                                                   const MemberEndModes& modes) {
  if (k.rows() != 14 || k.cols() != 14) {
    return fail("apply_end_releases_to_local_beam_k: matrix must be 14x14");
  }
  const ReleasedList rel = released_list(modes);
  if (rel.size == 0) return Mat14(k);
  return condense_matrix(k, rel);
}

Expected<Vec14> apply_end_releases_to_local_beam_f(const Eigen::Ref<const Eigen::MatrixXd>& k,
                                                   const Eigen::Ref<const Eigen::VectorXd>& f,
                                                   const MemberEndModes& modes) {
  if (k.rows() != 14 || k.cols() != 14) return fail("apply_end_releases_to_local_beam_f: K must be 14x14");
  if (f.rows() != 14) return fail("apply_end_releases_to_local_beam_f: f must have 14 rows");
  const ReleasedList rel = released_list(modes);
  if (rel.size == 0) return Vec14(f);

  AugMatrix a;
  const auto map = augment(k, rel, a);
  const int nr = rel.size;
  // The load of a released DOF acts on the element end (the internal DOF), not on the node.
  Eigen::Matrix<double, Eigen::Dynamic, 1, 0, kMaxAugmented, 1> f_aug;
  f_aug.setZero(14 + nr);
  for (int j = 0; j < 14; ++j) f_aug(map[static_cast<std::size_t>(j)]) += f(j);

  const InteriorMatrix kii = a.block(14, 14, nr, nr);
  InteriorVector x = f_aug.segment(14, nr);
  if (!lu_solve_in_place(kii, x)) return fail("apply_end_releases_to_local_beam_f: interface block is singular");
  Vec14 out = f_aug.head(14);
  out.noalias() -= a.block(0, 14, 14, nr) * x;
  return out;
}

Expected<CondensedStiffness> condense_elastic_and_geometric(const Mat14& k_local, const Mat14& kg_local,
                                                            const MemberEndModes& modes) {
  const ReleasedList rel = released_list(modes);
  if (rel.size == 0) return CondensedStiffness{k_local + kg_local, kg_local};
  // The interior DOFs of a released end are in equilibrium under the elastic and the
  // geometric stiffness together, so both are eliminated in one condensation; the geometric
  // part alone is what that condensation adds to the condensed elastic stiffness.
  const Mat14 sum = k_local + kg_local;
  auto combined = condense_matrix(sum, rel);
  if (!combined) return fail(combined.error());
  auto elastic = condense_matrix(k_local, rel);
  if (!elastic) return fail(elastic.error());
  return CondensedStiffness{*combined, *combined - *elastic};
}

Mat14 build_local_truss_translational_spring_k(const std::array<AxisMode, 3>& start_translation,
                                               const std::array<AxisMode, 3>& end_translation) {
  Mat14 ks = Mat14::Zero();
  auto spring = [](const AxisMode& m) {
    if (m.kind != AxisMode::Spring || std::isnan(m.k)) return 0.0;
    return std::max(m.k, 0.0);
  };
  for (int j = 0; j < 3; ++j) {
    ks(j, j) = spring(start_translation[static_cast<std::size_t>(j)]);
    ks(7 + j, 7 + j) = spring(end_translation[static_cast<std::size_t>(j)]);
  }
  return ks;
}

Expected<Mat14> local_to_global_with_releases(const Member& member, const Eigen::Ref<const Eigen::MatrixXd>& k_local,
                                              const MemberHingeMap& hinges, const Eigen::VectorXd* displacement) {
  return local_to_global_with_releases_and_forces(member, k_local, hinges, displacement, nullptr);
}

Expected<Mat14> local_to_global_with_releases_and_forces(const Member& member,
                                                         const Eigen::Ref<const Eigen::MatrixXd>& k_local,
                                                         const MemberHingeMap& hinges,
                                                         const Eigen::VectorXd* displacement,
                                                         const MemberEndForceMap* end_forces) {
  const MemberHinge* start = find_hinge(hinges, member.start_hinge);
  const MemberHinge* end = find_hinge(hinges, member.end_hinge);
  const EndForces* fs = nullptr;
  const EndForces* fe = nullptr;
  if (end_forces != nullptr) {
    const auto it = end_forces->find(member.id);
    if (it != end_forces->end()) {
      fs = &it->second.first;
      fe = &it->second.second;
    }
  }
  const MemberEndModes modes = modes_from_single_ends_with_forces(start, end, fs, fe);
  auto condensed = apply_end_releases_to_local_beam_k(k_local, modes);
  if (!condensed) return fail(with_member(condensed.error(), member));
  const Mat14 t = member_transformation(member, displacement);
  return Mat14(t.transpose() * *condensed * t);
}

Expected<CondensedStiffness> local_to_global_elastic_and_geometric_with_releases(
    const Member& member, const Mat14& k_local, const Mat14& kg_local, const MemberHingeMap& hinges,
    const Eigen::VectorXd* displacement) {
  const MemberEndModes modes =
      modes_from_single_ends(find_hinge(hinges, member.start_hinge), find_hinge(hinges, member.end_hinge));
  auto condensed = condense_elastic_and_geometric(k_local, kg_local, modes);
  if (!condensed) return fail(with_member(condensed.error(), member));
  const Mat14 t = member_transformation(member, displacement);
  return CondensedStiffness{t.transpose() * condensed->combined * t, t.transpose() * condensed->geometric * t};
}

}  // namespace varn
