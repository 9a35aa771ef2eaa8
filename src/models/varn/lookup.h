#pragma once
// Per-solve lookup of the records that members and sections name by id. The context borrows
// the model: it is valid while the model is not changed, and is rebuilt for every solve.
#include <cstdint>
#include <optional>
#include <unordered_map>
#include <vector>

#include "models/members/material.h"
#include "models/members/memberhinge.h"
#include "models/members/section.h"
#include "models/supports/nodalsupport.h"

namespace varn {

// Lookups by id only: the iteration order of these maps must never reach an output or a sum.
using MaterialMap = std::unordered_map<std::uint32_t, const Material*>;
using SectionMap = std::unordered_map<std::uint32_t, const Section*>;
using MemberHingeMap = std::unordered_map<std::uint32_t, const MemberHinge*>;
using NodalSupportMap = std::unordered_map<std::uint32_t, const NodalSupport*>;

struct AssemblyContext {
  MaterialMap materials;
  SectionMap sections;
  MemberHingeMap member_hinges;
  NodalSupportMap nodal_supports;

  // The record with that id, or nullptr; what a missing record means is the caller's choice.
  const Material* material(std::uint32_t id) const;
  const Section* section(std::uint32_t id) const;
  const MemberHinge* member_hinge(std::uint32_t id) const;
  const NodalSupport* nodal_support(std::uint32_t id) const;
  // An absent id (a member end without a hinge) finds nothing.
  const MemberHinge* member_hinge(const std::optional<std::uint32_t>& id) const;
};

// Builds the four maps from the model's lists, each walked in list order, so that of two
// records with one id the later is found. Absent "memberhinges" gives an empty hinge map.
AssemblyContext build_lookup_maps(const std::vector<Material>& materials, const std::vector<Section>& sections,
                                  const std::optional<std::vector<MemberHinge>>& memberhinges,
                                  const std::vector<NodalSupport>& nodal_supports);
// The same from a plain hinge list. The context points into the lists, so they must outlive
// it: a temporary list (for example a vector converted to an optional on the way in) would
// leave the context dangling, and is refused at compile time.
AssemblyContext build_lookup_maps(const std::vector<Material>& materials, const std::vector<Section>& sections,
                                  const std::vector<MemberHinge>& memberhinges,
                                  const std::vector<NodalSupport>& nodal_supports);
AssemblyContext build_lookup_maps(const std::vector<Material>& materials, const std::vector<Section>& sections,
                                  const std::vector<MemberHinge>* memberhinges,
                                  const std::vector<NodalSupport>& nodal_supports);
AssemblyContext build_lookup_maps(const std::vector<Material>&, const std::vector<Section>&,
                                  std::optional<std::vector<MemberHinge>>&&, const std::vector<NodalSupport>&) = delete;
AssemblyContext build_lookup_maps(const std::vector<Material>&, const std::vector<Section>&,
                                  std::vector<MemberHinge>&&, const std::vector<NodalSupport>&) = delete;

}  // namespace varn
