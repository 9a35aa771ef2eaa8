#pragma once
// Force-dependent spring stiffness: a list of (force value, stiffness) points and the force
// component the value is measured in. Support conditions and member hinges carry one in place
// of a constant spring stiffness.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "expected.h"
#include "models/json/record.h"

namespace varn {

// The force or moment component a curve's values are measured in. N, Vy, Vz name the
// member-end components of a hinge, Fx, Fy, Fz the nodal components of a support; both
// families share the positions 0 to 2 of the six-entry force vector (forces, then moments).
enum class ForceComponent : std::uint8_t { N = 0, Vy = 1, Vz = 2, Mx = 3, My = 4, Mz = 5, Fx = 6, Fy = 7, Fz = 8 };

// Position 0..5 of the component in a six-entry force vector [Fx|N, Fy|Vy, Fz|Vz, Mx, My, Mz].
std::size_t index(ForceComponent c);
// True for the six force components, false for the three moments.
bool is_force(ForceComponent c);
std::string_view to_string(ForceComponent c);

struct CurvePoint {
  double value = 0.0;      // force or moment magnitude
  double stiffness = 0.0;  // spring stiffness at that magnitude
  bool operator==(const CurvePoint&) const = default;
};

struct StiffnessCurveConfig {
  std::vector<CurvePoint> points;  // in input order; checked only by validate()
  ForceComponent depends_on = ForceComponent::Vz;

  // At least two points, every stiffness > 0, values non-decreasing. The message is prefixed
  // with "{context} {label}", for example "Support 3 X".
  Expected<void> validate(std::string_view context, std::string_view label) const;
  // Piecewise-linear stiffness at the force magnitude x, flat beyond both ends. A curve
  // without points has no stiffness: that is a fatal fault, which callers avoid.
  double interpolate(double x) const;
  // Unit conversion: values by the force or the moment factor (chosen by depends_on),
  // stiffnesses by the stiffness factor of the spring the curve replaces.
  void normalize(double force_factor, double moment_factor, double stiffness_factor);

  bool operator==(const StiffnessCurveConfig&) const = default;
};

Expected<void> validate_stiffness_curve(const std::vector<CurvePoint>& points, std::string_view context,
                                        std::string_view label);
double interpolate_stiffness_curve(const std::vector<CurvePoint>& points, double x);

}  // namespace varn

template <>
struct varn::json::EnumMeta<varn::ForceComponent> {
  static constexpr std::string_view name = "ForceComponent";
  static const auto& values() {
    using varn::ForceComponent;
    static const json::EnumTable<ForceComponent> t = {
        {ForceComponent::N, "N", {"N"}},    {ForceComponent::Vy, "Vy", {"Vy"}}, {ForceComponent::Vz, "Vz", {"Vz"}},
        {ForceComponent::Mx, "Mx", {"Mx"}}, {ForceComponent::My, "My", {"My"}}, {ForceComponent::Mz, "Mz", {"Mz"}},
        {ForceComponent::Fx, "Fx", {"Fx"}}, {ForceComponent::Fy, "Fy", {"Fy"}}, {ForceComponent::Fz, "Fz", {"Fz"}},
    };
    return t;
  }
};

// A curve is read as a whole JSON value first and then interpreted: a bare array of
// [value, stiffness] pairs (measured in Vz), or the object {"depends_on", "points"}. It is
// always written in the object form.
template <>
struct varn::json::Codec<varn::StiffnessCurveConfig> {
  static constexpr std::string_view expected = "struct Full";
  static void read(json::Reader& r, varn::StiffnessCurveConfig& out);
  static void write(std::string& out, const varn::StiffnessCurveConfig& c);
};
