#include "models/varn/geometric_stiffness.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstddef>
#include <string>

#include "fatal.h"
#include "functions/geometry.h"
#include "functions/hinge_and_release_operations.h"
#include "functions/member_loop.h"
#include "models/varn/member_stiffness.h"
#include "models/varn/varn.h"

namespace varn {

double geometric_force_threshold(const AnalysisOptions& options) {
  // fmax: a NaN slack leaves the lower bound.
  return std::fmax(0.5 * options.axial_slack, 1e-6);
}

void suppress_geometric_axes(const std::vector<std::string>& axes, Mat14& k) {
  for (const std::string& axis : axes) {
    if (axis.size() != 1) continue;
    const char c = static_cast<char>(std::toupper(static_cast<unsigned char>(axis[0])));
    if (c != 'X' && c != 'Y' && c != 'Z') continue;
    const int a = c - 'X';
    // The axis loses its P-delta coupling at both ends of the member.
    for (int d : {a, a + 7}) {
      k.row(d).setZero();
      k.col(d).setZero();
    }
  }
}

void suppress_geometric_axes_local(const std::vector<std::string>& axes, const Mat14& t, Mat14& kg_local) {
  if (axes.empty()) return;
  Mat14 g = t.transpose() * kg_local * t;
  suppress_geometric_axes(axes, g);
  kg_local = t * g * t.transpose();
}

Mat14 member_geometric_stiffness_local(const Member& m, double n, const AssemblyContext& ctx,
                                       const AnalysisOptions& options) {
  if (is_truss_type(m.member_type)) return m.calculate_geometric_stiffness_matrix_truss_3d(n);
  if (options.pdelta_formulation == PdeltaFormulation::Simplified) {
    return m.calculate_geometric_stiffness_matrix_3d_simplified(n);
  }
  double wagner = 0.0;
  if (m.section) {
    if (const Section* s = ctx.section(*m.section)) wagner = s->wagner_coeff.value_or(0.0);
  }
  return m.calculate_geometric_stiffness_matrix_3d(n, wagner);
}

Expected<std::optional<Mat14>> member_geometric_stiffness_global(const Member& m, const AssemblyContext& ctx,
                                                                 const AnalysisOptions& options,
                                                                 const Eigen::VectorXd& displacement,
                                                                 const ActiveMap& active, double threshold) {
  using Out = std::optional<Mat14>;
  if (m.member_type == MemberType::Rigid) return Out();
  const bool truss = is_truss_type(m.member_type);
  // A switched-off tie or strut carries no force, hence no initial stress.
  if (m.member_type != MemberType::Truss && truss && !is_member_active(active, m.id)) return Out();

  // The member's force with an end hinge's axial spring in series, as its recovery reads it.
  const double n = member_axial_force(m, displacement, ctx);
  if (std::abs(n) < threshold) return Out();  // a NaN force is not skipped

  const Mat14 kg_local = member_geometric_stiffness_local(m, n, ctx, options);

  const MemberEndModes modes = modes_from_single_ends(ctx.member_hinge(m.start_hinge), ctx.member_hinge(m.end_hinge));
  Mat14 kg;
  if (!modes.any_release()) {
    const Mat14 t = m.calculate_transformation_matrix_3d();
    kg = t.transpose() * kg_local * t;
  } else {
    // The interior DOFs of a released end settle under elastic and geometric stiffness
    // together; condensing the geometric matrix alone would be singular for a released twist
    // or warping end and would overestimate the buckling load of a released member.
    const std::optional<Mat14> k_local = truss ? m.calculate_truss_stiffness_matrix_local(ctx.materials, ctx.sections)
                                               : m.calculate_stiffness_matrix_3d(ctx.materials, ctx.sections);
    if (!k_local) {
      fatal("Member " + std::to_string(m.id) + ": elastic stiffness not available for the geometric condensation");
    }
    auto condensed = local_to_global_elastic_and_geometric_with_releases(m, *k_local, kg_local, ctx.member_hinges);
    if (!condensed) return fail(condensed.error());
    kg = condensed->geometric;
  }
  suppress_geometric_axes(options.pdelta_suppress_axes, kg);
  return Out(kg);
}

Expected<SparseMatrix> assemble_geometric_stiffness(const std::vector<MemberSet>& member_sets,
                                                    const AssemblyContext& ctx, const AnalysisOptions& options,
                                                    const Eigen::VectorXd& displacement, const ActiveMap& active) {
  const std::size_t n = compute_num_dofs_from_members(member_sets);
  const double threshold = geometric_force_threshold(options);
  return assemble_member_matrices(flatten_members(member_sets), n, [&](const Member& m, std::size_t) {
    return member_geometric_stiffness_global(m, ctx, options, displacement, active, threshold);
  });
}

Expected<SparseMatrix> VARN::assemble_geometric_stiffness_matrix_sparse(const Eigen::VectorXd& displacement,
                                                                        const ActiveMap& active) const {
  return assemble_geometric_stiffness(member_sets, build_lookup_maps(), settings.analysis_options, displacement, active);
}

void VARN::suppress_kg_axes(const std::vector<std::string>& axes, Mat14& k) { suppress_geometric_axes(axes, k); }

}  // namespace varn
