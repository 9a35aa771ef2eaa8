#pragma once
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <tuple>

#include "models/json/record.h"

namespace varn {

// Constants of a thin-walled cross-section in its local (y, z) axes. The warping constant,
// shear-centre offsets, Wagner coefficient and shear areas are optional: an absent value means
// the effect is left out of the element (no warping stiffness beyond the stabilising term, a
// shear centre at the centroid, no shear deformation).
struct Section {
  std::uint32_t id = 0;
  std::string name;
  std::uint32_t material = 0;  // id of the Material whose moduli the element uses
  std::optional<double> h;
  std::optional<double> b;
  double i_y = 0.0;   // second moment about local y (bending in the x-z plane), length^4
  double i_z = 0.0;   // second moment about local z (bending in the x-y plane), length^4
  double j = 0.0;     // St-Venant torsion constant, length^4
  double area = 0.0;  // length^2
  std::optional<std::uint32_t> shape_path;
  std::optional<double> i_w;           // warping constant, length^6; absent = 0
  std::optional<double> y_s;           // shear-centre offset along local y; absent = 0
  std::optional<double> z_s;           // shear-centre offset along local z; absent = 0
  std::optional<double> wagner_coeff;  // torsional factor of the geometric stiffness; unitless
  std::optional<double> a_sy;          // shear area paired with i_y; absent = no shear deformation
  std::optional<double> a_sz;          // shear area paired with i_z; absent = no shear deformation
  std::optional<double> i_yz;          // product of inertia, length^4
  std::optional<double> principal_axis_angle;  // degrees, also in the SI working copy; absent = 0
  std::optional<double> centroid_y;
  std::optional<double> centroid_z;

  bool operator==(const Section&) const = default;
};

}  // namespace varn

// Elements 10 to 19 of the array form may be left off the end: each is then absent.
template <>
struct varn::json::RecordMeta<varn::Section> {
  static constexpr std::string_view name = "Section";
  static const auto& fields() {
    using varn::Section;
    static const auto f = std::make_tuple(
        json::required("id", &Section::id), json::required("name", &Section::name),
        json::required("material", &Section::material), json::optional("h", &Section::h),
        json::optional("b", &Section::b), json::required("i_y", &Section::i_y), json::required("i_z", &Section::i_z),
        json::required("j", &Section::j), json::required("area", &Section::area),
        json::optional("shape_path", &Section::shape_path), json::defaulted("i_w", &Section::i_w, std::nullopt),
        json::defaulted("y_s", &Section::y_s, std::nullopt), json::defaulted("z_s", &Section::z_s, std::nullopt),
        json::defaulted("wagner_coeff", &Section::wagner_coeff, std::nullopt),
        json::defaulted("a_sy", &Section::a_sy, std::nullopt), json::defaulted("a_sz", &Section::a_sz, std::nullopt),
        json::defaulted("i_yz", &Section::i_yz, std::nullopt),
        json::defaulted("principal_axis_angle", &Section::principal_axis_angle, std::nullopt),
        json::defaulted("centroid_y", &Section::centroid_y, std::nullopt),
        json::defaulted("centroid_z", &Section::centroid_z, std::nullopt));
    return f;
  }
};
