#pragma once
#include <cstdint>
#include <string>
#include <string_view>
#include <tuple>
#include <vector>

#include "models/imperfections/imperfection.h"
#include "models/json/record.h"
#include "models/loads/distributedload.h"
#include "models/loads/nodalload.h"

namespace varn {

// A named group of loads that act together. Its result set is stored under its name.
struct LoadCase {
  std::uint32_t id = 0;
  std::string name;
  std::vector<NodalLoad> nodal_loads;
  std::vector<NodalMoment> nodal_moments;
  std::vector<DistributedLoad> distributed_loads;
  std::vector<RotationImperfection> rotation_imperfections;        // carried through
  std::vector<TranslationImperfection> translation_imperfections;  // carried through
};

}  // namespace varn

template <>
struct varn::json::RecordMeta<varn::LoadCase> {
  static constexpr std::string_view name = "LoadCase";
  static const auto& fields() {
    using varn::LoadCase;
    static const auto f = std::make_tuple(
        json::required("id", &LoadCase::id), json::required("name", &LoadCase::name),
        json::required("nodal_loads", &LoadCase::nodal_loads), json::required("nodal_moments", &LoadCase::nodal_moments),
        json::required("distributed_loads", &LoadCase::distributed_loads),
        json::required("rotation_imperfections", &LoadCase::rotation_imperfections),
        json::required("translation_imperfections", &LoadCase::translation_imperfections));
    return f;
  }
};
