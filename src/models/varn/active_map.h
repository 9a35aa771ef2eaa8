#pragma once
// Active set of tension-only and compression-only members: member id -> switched on. Ordered,
// so that any walk over it is the same on every run.
#include <cstdint>
#include <map>

namespace varn {

using ActiveMap = std::map<std::uint32_t, bool>;

// A member without an entry is active: only ties and struts are ever entered.
inline bool is_member_active(const ActiveMap& active, std::uint32_t id) {
  const auto it = active.find(id);
  return it == active.end() || it->second;
}

}  // namespace varn
