#include "functions/member_loop.h"

namespace varn {

std::vector<const Member*> flatten_members(const std::vector<MemberSet>& member_sets) {
  std::size_t count = 0;
  for (const auto& set : member_sets) count += set.members.size();
  std::vector<const Member*> members;
  members.reserve(count);
  for (const auto& set : member_sets) {
    for (const auto& m : set.members) members.push_back(&m);
  }
  return members;
}

}  // namespace varn
