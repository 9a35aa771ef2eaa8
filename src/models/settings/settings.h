#pragma once
// Every option of an analysis travels inside the model: there is no configuration elsewhere.
#include <cstdint>
#include <string_view>
#include <tuple>

#include "models/json/record.h"
#include "models/settings/analysissettings.h"
#include "models/settings/generalinfo.h"
#include "models/settings/unitsettings.h"

namespace varn {

struct Settings {
  std::uint32_t id = 0;
  AnalysisOptions analysis_options;
  GeneralInfo general_info;
  UnitSettings unit_settings;
};

}  // namespace varn

template <>
struct varn::json::RecordMeta<varn::Settings> {
  static constexpr std::string_view name = "Settings";
  static const auto& fields() {
    using varn::Settings;
    static const auto f = std::make_tuple(
        json::required("id", &Settings::id), json::required("analysis_options", &Settings::analysis_options),
        json::required("general_info", &Settings::general_info), json::required("unit_settings", &Settings::unit_settings));
    return f;
  }
};
