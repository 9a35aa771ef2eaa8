// Conversion of a working model to SI once after reading, and of computed results back to the
// model's units before writing. The parsed model itself is never converted.
#include <cmath>
#include <optional>

#include "models/varn/varn.h"

namespace varn {

namespace {

constexpr double kDegreesToRadians = 0.017453292519943295;

// Table factors are exact, so a unit of 1 is recognised without doubt; the tolerance only
// keeps conversions by a factor of one from running at all.
bool differs_from_one(double factor) { return std::abs(factor - 1.0) > 1e-12; }

void scale(double& v, double factor) { v *= factor; }
void scale(std::optional<double>& v, double factor) {
  if (v) *v *= factor;
}

void scale_forces(NodeForces& f, double inv_force, double inv_moment, double inv_bimoment) {
  f.fx *= inv_force;
  f.fy *= inv_force;
  f.fz *= inv_force;
  f.mx *= inv_moment;
  f.my *= inv_moment;
  f.mz *= inv_moment;
  f.bw *= inv_bimoment;
}

// Rotations are dimensionless and stay as they are; the warping DOF is a rate of twist, per
// length, so it scales inversely to the translations.
void scale_translations(NodeDisplacement& d, double inv_length) {
  d.dx *= inv_length;
  d.dy *= inv_length;
  d.dz *= inv_length;
  d.warp /= inv_length;
}

}  // namespace

UnitFactors VARN::unit_factors() const { return UnitFactors::from(settings.unit_settings); }

void VARN::normalize_units() {
  const UnitSettings& units = settings.unit_settings;
  const double L = units.length_to_m();
  const double F = units.force_to_n();
  const double P = units.pressure_to_pa();
  const double D = units.density_to_kg_per_m3();
  const bool length_differs = differs_from_one(L);
  const bool force_or_length_differs = differs_from_one(F) || length_differs;

  // Outline coordinates are lengths.
  if (shape_paths && length_differs) {
    for (auto& path : *shape_paths) path.normalize_units(L);
  }

  // Support springs: translational stiffness is force per length, rotational stiffness moment
  // per radian, warping stiffness bimoment per unit rate of twist; curve values are forces or moments.
  if (force_or_length_differs) {
    for (auto& support : nodal_supports) {
      for (auto& [axis, condition] : support.displacement_conditions) condition.normalize_translation_units(L, F);
      for (auto& [axis, condition] : support.rotation_conditions) condition.normalize_rotation_units(L, F);
      if (support.warping_condition) support.warping_condition->normalize_warping_units(L, F);
    }
  }

  // Each member embeds its own copies of its end nodes; each copy is converted once.
  if (length_differs) {
    for (auto& set : member_sets) {
      for (auto& m : set.members) {
        for (Node* node : {&m.start_node, &m.end_node}) {
          node->X *= L;
          node->Y *= L;
          node->Z *= L;
        }
      }
    }
  }

  // The roll of the member axes is given in degrees; the element frame works in radians.
  for (auto& set : member_sets)
    for (auto& m : set.members) m.rotation_angle *= kDegreesToRadians;

  // Section constants by their dimension. The principal-axis angle stays in degrees.
  if (length_differs) {
    const double L2 = L * L;
    const double L4 = L2 * L2;
    const double L6 = L2 * L4;
    for (auto& s : sections) {
      scale(s.area, L2);
      scale(s.i_y, L4);
      scale(s.i_z, L4);
      scale(s.j, L4);
      scale(s.i_yz, L4);
      scale(s.i_w, L6);
      scale(s.a_sy, L2);
      scale(s.a_sz, L2);
      scale(s.y_s, L);
      scale(s.z_s, L);
    }
  }

  // Effects switched off for the analysis: without shear areas the element is Euler-Bernoulli,
  // without a warping constant there is no warping torsion, without offsets the shear centre
  // sits on the centroid.
  const AnalysisOptions& options = settings.analysis_options;
  for (auto& s : sections) {
    if (!options.include_shear_deformation) {
      s.a_sy.reset();
      s.a_sz.reset();
    }
    if (!options.include_warping) s.i_w.reset();
    if (!options.include_shear_center_coupling) {
      s.y_s.reset();
      s.z_s.reset();
    }
  }

  if (differs_from_one(P)) {
    for (auto& m : materials) {
      m.e_mod *= P;
      m.g_mod *= P;
      m.yield_stress *= P;
    }
  }
  if (differs_from_one(D)) {
    for (auto& m : materials) m.density *= D;
  }

  // Loads: forces by F, moments by F*L, line loads (force per length) by F/L.
  if (force_or_length_differs) {
    const double force_per_length = F / L;
    const double moment = L * F;
    for (auto& lc : load_cases) {
      for (auto& p : lc.nodal_loads) p.magnitude *= F;
      for (auto& p : lc.nodal_moments) p.magnitude *= moment;
      for (auto& q : lc.distributed_loads) {
        q.magnitude *= force_per_length;
        q.end_magnitude *= force_per_length;
      }
    }
  }

  // Hinge springs and limits. Multiplying by factors of one changes nothing, so no gate.
  if (memberhinges) {
    const double translational = F / L;
    const double rotational = L * F;
    // The warping DOF is a rate of twist (per length): a warping spring is a bimoment (F·L²)
    // per unit of it, F·L³; a bimoment limit is F·L².
    const double bimoment = L * (L * F);
    const double warping = L * bimoment;
    for (auto& h : *memberhinges) {
      scale(h.translational_release_vx, translational);
      scale(h.translational_release_vy, translational);
      scale(h.translational_release_vz, translational);
      scale(h.rotational_release_mx, rotational);
      scale(h.rotational_release_my, rotational);
      scale(h.rotational_release_mz, rotational);
      scale(h.rotational_release_warp, warping);
      scale(h.max_tension_vx, F);
      scale(h.max_tension_vy, F);
      scale(h.max_tension_vz, F);
      scale(h.max_moment_mx, rotational);
      scale(h.max_moment_my, rotational);
      scale(h.max_moment_mz, rotational);
      scale(h.max_bimoment_warp, bimoment);
      for (auto* curve : {&h.stiffness_curve_vx, &h.stiffness_curve_vy, &h.stiffness_curve_vz})
        if (*curve) (*curve)->normalize(F, rotational, translational);
      for (auto* curve : {&h.stiffness_curve_mx, &h.stiffness_curve_my, &h.stiffness_curve_mz})
        if (*curve) (*curve)->normalize(F, rotational, rotational);
    }
  }
}

void denormalize_results(Results& results, const UnitFactors& factors) {
  const double L = factors.length;
  const double F = factors.force;
  const double inv_length = 1.0 / L;
  const double inv_force = 1.0 / F;
  const double FL = F * L;
  const double inv_moment = 1.0 / FL;
  const double inv_bimoment = 1.0 / (L * FL);

  for (auto& [node, d] : results.displacement_nodes) scale_translations(d, inv_length);
  // Reaction locations stay in metres.
  for (auto& [node, r] : results.reaction_nodes) scale_forces(r.nodal_forces, inv_force, inv_moment, inv_bimoment);
  for (auto& [member, m] : results.member_results) {
    for (NodeForces* f : {&m.start_node_forces, &m.end_node_forces, &m.maximums, &m.minimums, &m.local_start_forces,
                          &m.local_end_forces, &m.local_maximums, &m.local_minimums})
      scale_forces(*f, inv_force, inv_moment, inv_bimoment);
    scale_translations(m.local_displacement_start_node, inv_length);
    scale_translations(m.local_displacement_end_node, inv_length);
    for (auto& station : m.section_forces) scale_forces(station.forces, inv_force, inv_moment, inv_bimoment);
  }
}

ResultsBundle VARN::denormalize_results(ResultsBundle bundle, const UnitFactors& factors) {
  for (auto& [name, r] : bundle.loadcases) varn::denormalize_results(r, factors);
  for (auto& [name, r] : bundle.loadcombinations) varn::denormalize_results(r, factors);
  return bundle;
}

}  // namespace varn
