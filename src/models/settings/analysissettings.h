#pragma once
// How a model is analysed: order, treatment of rigid members, second-order formulation and
// the switches that strip section constants before the analysis.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <tuple>
#include <vector>

#include "models/json/record.h"

namespace varn {

enum class AnalysisOrder : std::uint8_t { Linear, Nonlinear };
enum class RigidStrategy : std::uint8_t { LinearMpc, RigidMember };
enum class Dimensionality : std::uint8_t { TwoD, ThreeD };
enum class NonlinearMethod : std::uint8_t { PDelta, Corotational };
enum class PdeltaFormulation : std::uint8_t { Consistent, Simplified };
enum class PdeltaMode : std::uint8_t { Full, InPlaneOnly };

// Names used in log lines ("Linear", "Nonlinear"; "LinearMpc", "RigidMember").
std::string_view to_string(AnalysisOrder o);
std::string_view to_string(RigidStrategy s);

struct AnalysisOptions {
  std::uint32_t id = 0;
  bool solve_loadcases = false;
  std::string solver;
  double tolerance = 0.0;
  // Iteration limit of the active-set loop and the second-order iterations; 20 when absent.
  std::optional<std::uint32_t> max_iterations;
  Dimensionality dimensionality = Dimensionality::ThreeD;
  AnalysisOrder order = AnalysisOrder::Linear;
  RigidStrategy rigid_strategy = RigidStrategy::LinearMpc;
  // Axial strain band inside which tension-only and compression-only members do not switch.
  double axial_slack = 0.001;
  bool include_shear_deformation = true;
  bool include_warping = true;
  bool include_shear_center_coupling = true;
  NonlinearMethod nonlinear_method = NonlinearMethod::Corotational;
  PdeltaFormulation pdelta_formulation = PdeltaFormulation::Consistent;
  // Global axes whose geometric stiffness terms are left out.
  std::vector<std::string> pdelta_suppress_axes;
  PdeltaMode pdelta_mode = PdeltaMode::Full;

  static constexpr std::uint32_t kDefaultMaxIterations = 20;
  std::uint32_t max_iterations_or_default() const { return max_iterations.value_or(kDefaultMaxIterations); }
  // The bounds every iterative solve of the model works to, first and second order alike.
  struct SolverLimits {
    double tolerance = 0.0;           // of the displacement change (SI)
    std::uint32_t max_iterations = 0;  // "max_iterations", or its default
  };
  SolverLimits limits() const { return {tolerance, max_iterations_or_default()}; }
};

}  // namespace varn

template <>
struct varn::json::EnumMeta<varn::AnalysisOrder> {
  static constexpr std::string_view name = "AnalysisOrder";
  static const auto& values() {
    using varn::AnalysisOrder;
    static const json::EnumTable<AnalysisOrder> t = {
        {AnalysisOrder::Linear, "LINEAR", {"LINEAR", "Linear", "linear"}},
        {AnalysisOrder::Nonlinear, "NONLINEAR", {"NONLINEAR", "Nonlinear", "nonlinear"}},
    };
    return t;
  }
};

template <>
struct varn::json::EnumMeta<varn::RigidStrategy> {
  static constexpr std::string_view name = "RigidStrategy";
  static const auto& values() {
    using varn::RigidStrategy;
    static const json::EnumTable<RigidStrategy> t = {
        {RigidStrategy::LinearMpc, "LinearMpc", {"LinearMpc", "Linear_MPC", "linear_mpc"}},
        {RigidStrategy::RigidMember, "RigidMember", {"RigidMember", "Rigid_Member", "rigid_member"}},
    };
    return t;
  }
};

template <>
struct varn::json::EnumMeta<varn::Dimensionality> {
  static constexpr std::string_view name = "Dimensionality";
  static const auto& values() {
    using varn::Dimensionality;
    static const json::EnumTable<Dimensionality> t = {
        {Dimensionality::TwoD, "2D", {"2D", "2d"}},
        {Dimensionality::ThreeD, "3D", {"3D", "3d"}},
    };
    return t;
  }
};

template <>
struct varn::json::EnumMeta<varn::NonlinearMethod> {
  static constexpr std::string_view name = "NonlinearMethod";
  static const auto& values() {
    using varn::NonlinearMethod;
    static const json::EnumTable<NonlinearMethod> t = {
        {NonlinearMethod::PDelta, "P_DELTA", {"PDelta", "P_DELTA", "P_Delta", "p_delta", "pdelta"}},
        {NonlinearMethod::Corotational,
         "COROTATIONAL",
         {"COROT", "COROTATIONAL", "Corotational", "corot", "corotational"}},
    };
    return t;
  }
};

template <>
struct varn::json::EnumMeta<varn::PdeltaFormulation> {
  static constexpr std::string_view name = "PdeltaFormulation";
  static const auto& values() {
    using varn::PdeltaFormulation;
    static const json::EnumTable<PdeltaFormulation> t = {
        {PdeltaFormulation::Consistent, "CONSISTENT", {"CONSISTENT", "Consistent", "consistent"}},
        {PdeltaFormulation::Simplified, "SIMPLIFIED", {"SIMPLIFIED", "Simplified", "commercial", "simplified"}},
    };
    return t;
  }
};

template <>
struct varn::json::EnumMeta<varn::PdeltaMode> {
  static constexpr std::string_view name = "PdeltaMode";
  static const auto& values() {
    using varn::PdeltaMode;
    static const json::EnumTable<PdeltaMode> t = {
        {PdeltaMode::Full, "FULL", {"FULL", "Full", "full"}},
        {PdeltaMode::InPlaneOnly, "IN_PLANE_ONLY", {"IN_PLANE_ONLY", "InPlaneOnly", "commercial", "in_plane_only"}},
    };
    return t;
  }
};

template <>
struct varn::json::RecordMeta<varn::AnalysisOptions> {
  static constexpr std::string_view name = "AnalysisOptions";
  static const auto& fields() {
    using varn::AnalysisOptions;
    static const auto f = std::make_tuple(
        json::required("id", &AnalysisOptions::id), json::required("solve_loadcases", &AnalysisOptions::solve_loadcases),
        json::required("solver", &AnalysisOptions::solver), json::required("tolerance", &AnalysisOptions::tolerance),
        json::optional("max_iterations", &AnalysisOptions::max_iterations),
        json::required("dimensionality", &AnalysisOptions::dimensionality),
        json::required("order", &AnalysisOptions::order),
        json::required("rigid_strategy", &AnalysisOptions::rigid_strategy),
        json::defaulted("axial_slack", &AnalysisOptions::axial_slack, 0.001),
        json::defaulted("include_shear_deformation", &AnalysisOptions::include_shear_deformation, true),
        json::defaulted("include_warping", &AnalysisOptions::include_warping, true),
        json::defaulted("include_shear_center_coupling", &AnalysisOptions::include_shear_center_coupling, true),
        json::defaulted("nonlinear_method", &AnalysisOptions::nonlinear_method, varn::NonlinearMethod::Corotational),
        json::defaulted("pdelta_formulation", &AnalysisOptions::pdelta_formulation,
                        varn::PdeltaFormulation::Consistent),
        json::defaulted("pdelta_suppress_axes", &AnalysisOptions::pdelta_suppress_axes, std::vector<std::string>{}),
        json::defaulted("pdelta_mode", &AnalysisOptions::pdelta_mode, varn::PdeltaMode::Full));
    return f;
  }
};
