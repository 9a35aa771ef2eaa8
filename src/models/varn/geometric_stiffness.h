#pragma once
// Global geometric (initial-stress) stiffness of all members at a displacement state.
//
// Each member's axial force comes from the displacement on the undeformed geometry; the
// member contributes the string matrix (truss types), the simplified or the consistent beam
// matrix. A member with end releases has its geometric stiffness condensed together with its
// elastic stiffness, so that elastic plus geometric contributions sum to condense(K + K_G).
#include <optional>
#include <string>
#include <vector>

#include <Eigen/Dense>

#include "expected.h"
#include "functions/sparse.h"
#include "models/members/member.h"
#include "models/members/memberset.h"
#include "models/settings/analysissettings.h"
#include "models/varn/active_map.h"
#include "models/varn/lookup.h"

namespace varn {

// Axial forces below this magnitude contribute no geometric stiffness: max(0.5·axial_slack,
// 1e-6) newtons.
double geometric_force_threshold(const AnalysisOptions& options);

// Zeroes rows and columns a and a + 7 of a global element matrix for every listed axis that
// reads "X", "Y" or "Z" in any case (a = 0, 1, 2); other entries of the list are ignored.
void suppress_geometric_axes(const std::vector<std::string>& axes, Mat14& k);

// The same axes suppressed in a member's local geometric matrix: K_g ← T·S(Tᵀ·K_g·T)·Tᵀ with S
// the rule above and T the member's transformation; an empty list leaves K_g untouched.
void suppress_geometric_axes_local(const std::vector<std::string>& axes, const Mat14& t, Mat14& kg_local);

// The member's local 14x14 geometric stiffness at axial force n (tension positive), the one
// choice of matrix for the tangent, the internal forces and the recovery: the string matrix
// for truss-type members; for beams the simplified matrix under PdeltaFormulation::Simplified,
// else the consistent one with the Wagner coefficient of its section (0 when the section or
// the coefficient is absent). No axis is suppressed and no release condensed here.
Mat14 member_geometric_stiffness_local(const Member& member, double n, const AssemblyContext& ctx,
                                       const AnalysisOptions& options);

// The global 14x14 geometric stiffness of one member, or none when it contributes nothing
// (a rigid member, a switched-off tie or strut, an axial force below `threshold`). The
// member's end releases are condensed jointly with its elastic stiffness (the message of a
// singular release pattern names the member). The suppressed P-delta axes are applied.
// A missing section or material is a fatal fault of the axial force.
Expected<std::optional<Mat14>> member_geometric_stiffness_global(const Member& member, const AssemblyContext& ctx,
                                                                 const AnalysisOptions& options,
                                                                 const Eigen::VectorXd& displacement,
                                                                 const ActiveMap& active, double threshold);

// n x n geometric stiffness of all members (member-set order, member order), built on the
// TBB pool by the one member loop and scattered in member order. The failure reported is that
// of the lowest member index, a fatal fault included.
Expected<SparseMatrix> assemble_geometric_stiffness(const std::vector<MemberSet>& member_sets,
                                                    const AssemblyContext& ctx, const AnalysisOptions& options,
                                                    const Eigen::VectorXd& displacement, const ActiveMap& active);

}  // namespace varn
