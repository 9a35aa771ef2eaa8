#include "models/varn/lookup.h"

namespace varn {

namespace {

template <class Map>
typename Map::mapped_type find_in(const Map& map, std::uint32_t id) {
  auto it = map.find(id);
  return it == map.end() ? nullptr : it->second;
}

// Walk in list order and overwrite, so that the last record with an id is the one found.
template <class Map, class Record>
void fill(Map& map, const std::vector<Record>& records) {
  map.reserve(records.size());
  for (const Record& rec : records) map.insert_or_assign(rec.id, &rec);
}

}  // namespace

const Material* AssemblyContext::material(std::uint32_t id) const { return find_in(materials, id); }
const Section* AssemblyContext::section(std::uint32_t id) const { return find_in(sections, id); }
const MemberHinge* AssemblyContext::member_hinge(std::uint32_t id) const { return find_in(member_hinges, id); }
const NodalSupport* AssemblyContext::nodal_support(std::uint32_t id) const { return find_in(nodal_supports, id); }
const MemberHinge* AssemblyContext::member_hinge(const std::optional<std::uint32_t>& id) const {
  return id ? member_hinge(*id) : nullptr;
}

AssemblyContext build_lookup_maps(const std::vector<Material>& materials, const std::vector<Section>& sections,
                                  const std::vector<MemberHinge>* memberhinges,
                                  const std::vector<NodalSupport>& nodal_supports) {
  AssemblyContext ctx;
  fill(ctx.materials, materials);
  fill(ctx.sections, sections);
  if (memberhinges) fill(ctx.member_hinges, *memberhinges);
  fill(ctx.nodal_supports, nodal_supports);
  return ctx;
}

AssemblyContext build_lookup_maps(const std::vector<Material>& materials, const std::vector<Section>& sections,
                                  const std::optional<std::vector<MemberHinge>>& memberhinges,
                                  const std::vector<NodalSupport>& nodal_supports) {
  return build_lookup_maps(materials, sections, memberhinges ? &*memberhinges : nullptr, nodal_supports);
}

AssemblyContext build_lookup_maps(const std::vector<Material>& materials, const std::vector<Section>& sections,
                                  const std::vector<MemberHinge>& memberhinges,
                                  const std::vector<NodalSupport>& nodal_supports) {
  return build_lookup_maps(materials, sections, &memberhinges, nodal_supports);
}

}  // namespace varn
