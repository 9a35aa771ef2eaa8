#include "models/members/enums.h"

namespace varn {

std::string_view to_string(MemberType t) {
  switch (t) {
    case MemberType::Normal: return "Normal";
    case MemberType::Truss: return "Truss";
    case MemberType::Tension: return "Tension";
    case MemberType::Compression: return "Compression";
    case MemberType::Rigid: return "Rigid";
  }
  return "Normal";
}

}  // namespace varn
