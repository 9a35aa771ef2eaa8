#include "models/settings/analysissettings.h"

namespace varn {

std::string_view to_string(AnalysisOrder o) { return o == AnalysisOrder::Nonlinear ? "Nonlinear" : "Linear"; }

std::string_view to_string(RigidStrategy s) { return s == RigidStrategy::RigidMember ? "RigidMember" : "LinearMpc"; }

}  // namespace varn
