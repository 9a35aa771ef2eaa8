#pragma once
#include <string>
#include <string_view>
#include <tuple>

#include "models/json/record.h"
#include "models/settings/unitenums.h"

namespace varn {

// The units the model is written in. Every field has a default, so an empty object means
// metres, newtons, kg/m3 and pascals.
struct UnitSettings {
  std::string system = "metric";  // a label only
  LengthUnit length_unit = LengthUnit::M;
  ForceUnit force_unit = ForceUnit::N;
  DensityUnit density_unit = DensityUnit::KgPerM3;
  PressureUnit pressure_unit = PressureUnit::Pa;

  double length_to_m() const { return to_m(length_unit); }
  double force_to_n() const { return to_n(force_unit); }
  double density_to_kg_per_m3() const { return to_kg_per_m3(density_unit); }
  double pressure_to_pa() const { return to_pa(pressure_unit); }
};

// SI factors of a model's length, force and pressure units: a value in model units times the
// factor is the value in metres, newtons or pascals.
struct UnitFactors {
  double length = 1.0;
  double force = 1.0;
  double pressure = 1.0;

  static UnitFactors from(const UnitSettings& u) {
    return UnitFactors{u.length_to_m(), u.force_to_n(), u.pressure_to_pa()};
  }
};

}  // namespace varn

template <>
struct varn::json::RecordMeta<varn::UnitSettings> {
  static constexpr std::string_view name = "UnitSettings";
  static const auto& fields() {
    using varn::UnitSettings;
    static const auto f = std::make_tuple(
        json::defaulted("system", &UnitSettings::system, "metric"),
        json::defaulted("lengthUnit", &UnitSettings::length_unit, varn::LengthUnit::M),
        json::defaulted("forceUnit", &UnitSettings::force_unit, varn::ForceUnit::N),
        json::defaulted("densityUnit", &UnitSettings::density_unit, varn::DensityUnit::KgPerM3),
        json::defaulted("pressureUnit", &UnitSettings::pressure_unit, varn::PressureUnit::Pa));
    return f;
  }
};
