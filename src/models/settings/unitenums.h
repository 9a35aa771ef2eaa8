#pragma once
// Units a model may be written in, with their factors to SI. The factors are exact table
// values, so that a model in metres and newtons is converted by multiplying with 1.0.
#include <cstdint>
#include <string_view>

#include "models/json/record.h"

namespace varn {

enum class LengthUnit : std::uint8_t { Mm, Cm, M };
enum class ForceUnit : std::uint8_t { N, KN };
enum class DensityUnit : std::uint8_t { KgPerM3, KgPerMm3 };
enum class PressureUnit : std::uint8_t { Pa, KPa, MPa, GPa };

// Metres per length unit.
double to_m(LengthUnit u);
// Newtons per force unit.
double to_n(ForceUnit u);
// kg/m3 per density unit.
double to_kg_per_m3(DensityUnit u);
// Pascals per pressure unit.
double to_pa(PressureUnit u);

}  // namespace varn

template <>
struct varn::json::EnumMeta<varn::LengthUnit> {
  static constexpr std::string_view name = "LengthUnit";
  static const auto& values() {
    using varn::LengthUnit;
    static const json::EnumTable<LengthUnit> t = {
        {LengthUnit::Mm, "mm", {"mm"}},
        {LengthUnit::Cm, "cm", {"cm"}},
        {LengthUnit::M, "m", {"m"}},
    };
    return t;
  }
};

template <>
struct varn::json::EnumMeta<varn::ForceUnit> {
  static constexpr std::string_view name = "ForceUnit";
  static const auto& values() {
    using varn::ForceUnit;
    static const json::EnumTable<ForceUnit> t = {
        {ForceUnit::N, "N", {"N", "n"}},
        {ForceUnit::KN, "kN", {"kN", "kn"}},
    };
    return t;
  }
};

template <>
struct varn::json::EnumMeta<varn::DensityUnit> {
  static constexpr std::string_view name = "DensityUnit";
  static const auto& values() {
    using varn::DensityUnit;
    static const json::EnumTable<DensityUnit> t = {
        {DensityUnit::KgPerM3, "kg/m3", {"kg/m3"}},
        {DensityUnit::KgPerMm3, "kg/mm3", {"kg/mm3"}},
    };
    return t;
  }
};

template <>
struct varn::json::EnumMeta<varn::PressureUnit> {
  static constexpr std::string_view name = "PressureUnit";
  static const auto& values() {
    using varn::PressureUnit;
    static const json::EnumTable<PressureUnit> t = {
        {PressureUnit::Pa, "Pa", {"Pa", "pa"}},
        {PressureUnit::KPa, "kPa", {"kPa", "kpa"}},
        {PressureUnit::MPa, "MPa", {"MPa", "mpa"}},
        {PressureUnit::GPa, "GPa", {"GPa", "gpa"}},
    };
    return t;
  }
};
