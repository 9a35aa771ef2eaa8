#pragma once
#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <tuple>

#include "models/json/record.h"
#include "models/json/fixed_tuple.h"

namespace varn {

// A force at a node: magnitude × direction in global X, Y, Z. The direction is not
// normalised, so its length scales the force.
struct NodalLoad {
  std::uint32_t id = 0;
  std::uint32_t node = 0;
  std::uint32_t load_case = 0;
  double magnitude = 0.0;
  std::array<double, 3> direction{0.0, 0.0, 0.0};
  std::string load_type;
};

// A moment at a node: magnitude × direction about the global X, Y, Z axes.
struct NodalMoment {
  std::uint32_t id = 0;
  std::uint32_t node = 0;
  std::uint32_t load_case = 0;
  double magnitude = 0.0;
  std::array<double, 3> direction{0.0, 0.0, 0.0};
  std::string load_type;
};

}  // namespace varn

template <>
struct varn::json::RecordMeta<varn::NodalLoad> {
  static constexpr std::string_view name = "NodalLoad";
  static const auto& fields() {
    using varn::NodalLoad;
    static const auto f = std::make_tuple(
        json::required("id", &NodalLoad::id), json::required("node", &NodalLoad::node),
        json::required("load_case", &NodalLoad::load_case), json::required("magnitude", &NodalLoad::magnitude),
        json::required("direction", &NodalLoad::direction), json::required("load_type", &NodalLoad::load_type));
    return f;
  }
};

template <>
struct varn::json::RecordMeta<varn::NodalMoment> {
  static constexpr std::string_view name = "NodalMoment";
  static const auto& fields() {
    using varn::NodalMoment;
    static const auto f = std::make_tuple(
        json::required("id", &NodalMoment::id), json::required("node", &NodalMoment::node),
        json::required("load_case", &NodalMoment::load_case), json::required("magnitude", &NodalMoment::magnitude),
        json::required("direction", &NodalMoment::direction), json::required("load_type", &NodalMoment::load_type));
    return f;
  }
};
