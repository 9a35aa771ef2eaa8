#include "models/varn/varn.h"

#include <new>
#include <stdexcept>

namespace varn {

json::ParseResult<VARN> VARN::from_json(std::string_view text) { return json::parse<VARN>(text); }

Expected<void> VARN::serialize(std::string& out) const {
  try {
    json::write_from(out, *this);
  } catch (const std::bad_alloc&) {
    return fail("out of memory while writing the model");
  } catch (const std::length_error& e) {
    return fail(e.what());
  }
  return {};
}

std::size_t VARN::get_member_count() const {
  std::size_t n = 0;
  for (const auto& set : member_sets) n += set.members.size();
  return n;
}

bool VARN::has_rigid_members() const {
  for (const auto& set : member_sets)
    for (const auto& m : set.members)
      if (m.member_type == MemberType::Rigid) return true;
  return false;
}

bool VARN::has_tension_compression_members() const {
  for (const auto& set : member_sets)
    for (const auto& m : set.members)
      if (m.member_type == MemberType::Tension || m.member_type == MemberType::Compression) return true;
  return false;
}

AssemblyContext VARN::build_lookup_maps() const {
  return varn::build_lookup_maps(materials, sections, memberhinges, nodal_supports);
}

}  // namespace varn
