#pragma once
#include <array>
#include <cstdint>
#include <string_view>
#include <tuple>

#include "models/json/record.h"
#include "models/json/fixed_tuple.h"

namespace varn {

// A line load over part of a member, in global directions: the intensity (force per length)
// varies linearly from `magnitude` at start_frac to `end_magnitude` at end_frac of the length.
struct DistributedLoad {
  std::uint32_t member = 0;
  std::uint32_t load_case = 0;  // only the case with this id applies the load
  double magnitude = 0.0;
  std::array<double, 3> direction{0.0, 0.0, 0.0};
  double start_frac = 0.0;
  double end_frac = 1.0;
  double end_magnitude = 0.0;
};

}  // namespace varn

template <>
struct varn::json::RecordMeta<varn::DistributedLoad> {
  static constexpr std::string_view name = "DistributedLoad";
  static const auto& fields() {
    using varn::DistributedLoad;
    static const auto f = std::make_tuple(
        json::required("member", &DistributedLoad::member), json::required("load_case", &DistributedLoad::load_case),
        json::required("magnitude", &DistributedLoad::magnitude),
        json::required("direction", &DistributedLoad::direction),
        json::required("start_frac", &DistributedLoad::start_frac),
        json::required("end_frac", &DistributedLoad::end_frac),
        json::required("end_magnitude", &DistributedLoad::end_magnitude));
    return f;
  }
};
