#include "models/varn/member_stiffness.h"

#include <algorithm>
#include <cmath>
#include <string>
#include <unordered_map>
#include <utility>

#include "fatal.h"
#include "functions/support_utils.h"
#include "models/members/corotational.h"
#include "models/members/element_kernels.h"
#include "models/varn/varn.h"

namespace varn {

namespace {

// Modulus of the stiff beam of a rigid member whose section or material cannot be found.
constexpr double kDefaultRigidEMod = 2.1e11;

std::string member_text(const Member& m) { return "Member " + std::to_string(m.id); }

}  // namespace

double rigid_beam_scale(double e_max, double e) {
  // Four orders of magnitude stiffer than the stiffest material of the model, relative to the
  // modulus the beam is built with; clamped so that the beam neither softens the structure
  // nor ruins the conditioning of the operator.
  const double target = e_max > 0.0 ? 1e4 * e_max : 2.1e15;
  const double s = target / std::fmax(e, 1.0);  // fmax ignores a NaN modulus
  if (!(s >= 1.0)) return 1.0;
  return std::min(s, 1e8);
}

std::vector<std::optional<std::uint32_t>> stiff_beam_sections(const VARN& model,
                                                              const std::vector<const Member*>& members) {
  std::vector<std::optional<std::uint32_t>> out(members.size());
  if (model.settings.analysis_options.rigid_strategy != RigidStrategy::RigidMember) return out;
  std::unordered_map<std::uint32_t, std::pair<std::size_t, std::uint32_t>> first_at_node;
  for (std::size_t i = 0; i < members.size(); ++i) {
    const Member& m = *members[i];
    if (m.member_type == MemberType::Rigid || !m.section) continue;
    first_at_node.emplace(m.start_node.id, std::make_pair(i, *m.section));
    first_at_node.emplace(m.end_node.id, std::make_pair(i, *m.section));
  }
  for (std::size_t i = 0; i < members.size(); ++i) {
    const Member& m = *members[i];
    if (m.member_type != MemberType::Rigid) continue;
    if (m.section) {
      out[i] = m.section;
      continue;
    }
    std::optional<std::pair<std::size_t, std::uint32_t>> best;
    for (std::uint32_t node : {m.start_node.id, m.end_node.id}) {
      const auto it = first_at_node.find(node);
      if (it != first_at_node.end() && (!best || it->second.first < best->first)) best = it->second;
    }
    if (best) {
      out[i] = best->second;
    } else if (!model.sections.empty()) {
      out[i] = model.sections.front().id;
    }
  }
  return out;
}

Expected<std::optional<Mat14>> rigid_stiff_beam_local(const Member& m, std::size_t index,
                                                      const MemberStiffnessInputs& in) {
  if (in.model.settings.analysis_options.rigid_strategy != RigidStrategy::RigidMember) {
    return std::optional<Mat14>();
  }
  const AssemblyContext& ctx = in.ctx;
  const std::optional<std::uint32_t> section = in.rigid_sections.at(index);
  if (!section) {
    return fail(in.messages == StiffnessMessages::Assembly
                    ? "RigidMember needs at least one section in the model or a section on rigid member " +
                          std::to_string(m.id) + "."
                    : "RigidMember needs at least one section for member " + std::to_string(m.id) + ".");
  }
  double e = kDefaultRigidEMod;
  if (const Section* sec = ctx.section(*section)) {
    if (const Material* mat = ctx.material(sec->material)) e = mat->e_mod;
  }
  const double scale = rigid_beam_scale(in.e_max, e);
  Member stiff = m;
  stiff.section = section;
  const auto k_local = stiff.calculate_stiffness_matrix_3d(ctx.materials, ctx.sections);
  if (!k_local) return fail("Rigid member " + std::to_string(m.id) + " failed to build local K.");
  return std::optional<Mat14>(scale * *k_local);
}

namespace {

Expected<std::optional<Mat14>> member_stiffness_of_kind(const Member& m, std::size_t index,
                                                        const MemberStiffnessInputs& in) {
  const AssemblyContext& ctx = in.ctx;
  const bool assembly = in.messages == StiffnessMessages::Assembly;
  switch (m.member_type) {
    case MemberType::Normal: {
      if (assembly && !m.section) return fail(member_text(m) + " (Normal) is missing a section id.");
      const auto k_local = m.calculate_stiffness_matrix_3d(ctx.materials, ctx.sections);
      if (!k_local) return fail(member_text(m) + " failed to build local stiffness.");
      auto k = in.end_forces != nullptr
                   ? local_to_global_with_releases_and_forces(m, *k_local, ctx.member_hinges, nullptr, in.end_forces)
                   : local_to_global_with_releases(m, *k_local, ctx.member_hinges, nullptr);
      if (!k) return fail(k.error());
      return std::optional<Mat14>(*k);
    }
    case MemberType::Truss:
    case MemberType::Tension:
    case MemberType::Compression: {
      auto k = m.calculate_truss_stiffness_matrix_3d(ctx.materials, ctx.sections);
      if (!k) {
        if (m.member_type == MemberType::Truss) {
          return fail(member_text(m) + (assembly ? " (Truss) failed to build truss stiffness." : " (Truss) failed."));
        }
        return std::optional<Mat14>();
      }
      // An end hinge of a bar acts in series with it: a spring on the axis softens the bar to
      // k·k_s/(k + k_s), a free axis leaves it without axial force. Adding the hinge spring
      // to the node's diagonal instead would tie the node to the ground.
      const MemberEndModes modes =
          modes_from_single_ends(ctx.member_hinge(m.start_hinge), ctx.member_hinge(m.end_hinge));
      if (modes.any_release()) {
        const auto k_local = m.calculate_truss_stiffness_matrix_local(ctx.materials, ctx.sections);
        if (!k_local) fatal(member_text(m) + ": truss stiffness found in global but not in local axes");
        auto condensed = local_to_global_with_releases(m, *k_local, ctx.member_hinges, nullptr);
        if (!condensed) return fail(condensed.error());
        *k = *condensed;
      }
      drop_bar_end_rotations(*k);
      const bool switched_off = m.member_type != MemberType::Truss && !is_member_active(in.active, m.id);
      if (in.unstabilised) {
        if (switched_off) return std::optional<Mat14>();
        // The local bar matrix is block diagonal (axial pair, transverse pairs, rotations),
        // and condensing a released end keeps the blocks apart, so projecting both ends on
        // the bar axis leaves exactly the axial stiffness, hinges in series included.
        const Mat14 t = m.calculate_transformation_matrix_3d();
        Mat14 axial = Mat14::Zero();
        axial(0, 0) = 1.0;
        axial(7, 7) = 1.0;
        const Mat14 p = t.transpose() * axial * t;
        *k = p * *k * p;
        return std::optional<Mat14>(*k);
      }
      if (switched_off) *k *= kSwitchedOffScale;
      return std::optional<Mat14>(*k);
    }
    case MemberType::Rigid: {
      auto k_local = rigid_stiff_beam_local(m, index, in);
      if (!k_local) return fail(k_local.error());
      if (!k_local->has_value()) return std::optional<Mat14>();  // eliminated as a constraint
      auto k = local_to_global_with_releases(m, **k_local, ctx.member_hinges, nullptr);
      if (!k) return fail(k.error());
      return std::optional<Mat14>(*k);
    }
  }
  fatal(member_text(m) + ": unknown member type");
}

// A member whose stiffness leaves no room in the floating-point range for the solves: named
// with the records its stiffness comes from.
Expected<std::optional<Mat14>> within_range(const Member& m, std::size_t index, const MemberStiffnessInputs& in,
                                            Expected<std::optional<Mat14>> k) {
  if (!k || !k->has_value()) return k;
  if ((*k)->allFinite() && (*k)->cwiseAbs().maxCoeff() <= kLargestStiffness) return k;
  std::optional<std::uint32_t> section = m.section;
  if (m.member_type == MemberType::Rigid) section = in.rigid_sections.at(index);
  std::string from;
  if (section) {
    from = "section " + std::to_string(*section);
    if (const Section* sec = in.ctx.section(*section)) from += " and material " + std::to_string(sec->material);
  }
  for (const auto& [end, hinge] : {std::pair<const char*, std::optional<std::uint32_t>>{"start", m.start_hinge},
                                   std::pair<const char*, std::optional<std::uint32_t>>{"end", m.end_hinge}}) {
    if (hinge) from += (from.empty() ? "" : ", ") + std::string(end) + " hinge " + std::to_string(*hinge);
  }
  return fail(member_text(m) + " is too stiff to analyse: its stiffness" + (from.empty() ? "" : " (from " + from + ")") +
              " overflows the floating-point range of the solves.");
}

}  // namespace

Expected<std::optional<Mat14>> member_elastic_stiffness_global(const Member& m, std::size_t index,
                                                               const MemberStiffnessInputs& in) {
  return within_range(m, index, in, member_stiffness_of_kind(m, index, in));
}

std::optional<double> hinged_axial_stiffness(const Member& m, const AssemblyContext& ctx) {
  const MemberEndModes modes = modes_from_single_ends(ctx.member_hinge(m.start_hinge), ctx.member_hinge(m.end_hinge));
  if (modes.start_translation[0].is_fixed() && modes.end_translation[0].is_fixed()) return std::nullopt;
  // The bar condensed for its end hinges, as the assembly and the co-rotational recovery take
  // it: its (7, 7) entry is the axial stiffness of the chord. A release pattern the
  // condensation refuses has stopped the assembly before any force is read.
  const auto k_star = corotational_bar_local_stiffness(m, ctx.materials, ctx.sections, ctx.member_hinges);
  if (!k_star || !k_star->has_value()) return std::nullopt;
  return (**k_star)(7, 7);
}

double member_axial_force(const Member& m, const Eigen::Ref<const Eigen::VectorXd>& u, const AssemblyContext& ctx) {
  const auto [axial, elongation] = m.calculate_axial_force_3d_impl(u, ctx.materials, ctx.sections, false);
  const std::optional<double> hinged = hinged_axial_stiffness(m, ctx);
  return hinged ? *hinged * elongation : axial;
}

}  // namespace varn
