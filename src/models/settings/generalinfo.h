#pragma once
#include <string>
#include <string_view>
#include <tuple>

#include "models/json/record.h"

namespace varn {

// Descriptive information about the model; carried through unchanged.
struct GeneralInfo {
  std::string project_name;
  std::string author;
  std::string version;
};

}  // namespace varn

template <>
struct varn::json::RecordMeta<varn::GeneralInfo> {
  static constexpr std::string_view name = "GeneralInfo";
  static const auto& fields() {
    using varn::GeneralInfo;
    static const auto f = std::make_tuple(json::required("project_name", &GeneralInfo::project_name),
                                          json::required("author", &GeneralInfo::author),
                                          json::required("version", &GeneralInfo::version));
    return f;
  }
};
