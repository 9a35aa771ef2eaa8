#pragma once
#include <cstdint>
#include <string>
#include <string_view>
#include <tuple>

#include "models/json/record.h"

namespace varn {

// Isotropic linear-elastic material.
struct Material {
  std::uint32_t id = 0;
  std::string name;
  double e_mod = 0.0;         // Young's modulus (pressure)
  double g_mod = 0.0;         // shear modulus (pressure): torsion and shear deformation
  double density = 0.0;       // carried through
  double yield_stress = 0.0;  // carried through

  bool operator==(const Material&) const = default;
};

}  // namespace varn

template <>
struct varn::json::RecordMeta<varn::Material> {
  static constexpr std::string_view name = "Material";
  static const auto& fields() {
    using varn::Material;
    static const auto f = std::make_tuple(json::required("id", &Material::id), json::required("name", &Material::name),
                                          json::required("e_mod", &Material::e_mod),
                                          json::required("g_mod", &Material::g_mod),
                                          json::required("density", &Material::density),
                                          json::required("yield_stress", &Material::yield_stress));
    return f;
  }
};
