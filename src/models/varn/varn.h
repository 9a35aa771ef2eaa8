#pragma once
// The model record: the one document that enters the system, the record every analysis acts
// on, and the document that leaves with its results filled in. It owns everything by value,
// so a copy is a full deep copy that shares nothing with its source.
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <tuple>
#include <vector>

#include "expected.h"
#include "models/imperfections/imperfectioncase.h"
#include "models/json/record.h"
#include "models/loads/loadcase.h"
#include "models/loads/loadcombination.h"
#include "models/members/material.h"
#include "models/members/memberhinge.h"
#include "models/members/memberset.h"
#include "models/members/section.h"
#include "models/members/shapepath.h"
#include "models/results/resultsbundle.h"
#include "models/settings/settings.h"
#include "models/supports/nodalsupport.h"
#include "models/varn/lookup.h"

namespace varn {

struct VARN {
  std::vector<MemberSet> member_sets;
  std::vector<LoadCase> load_cases;
  std::vector<LoadCombination> load_combinations;
  std::vector<ImperfectionCase> imperfection_cases;
  Settings settings;
  std::optional<ResultsBundle> results;
  std::optional<std::vector<MemberHinge>> memberhinges;
  std::vector<Material> materials;
  std::vector<Section> sections;
  std::vector<NodalSupport> nodal_supports;
  std::optional<std::vector<ShapePath>> shape_paths;

  // ---- reading and writing ----

  // The model from JSON text holding exactly one value (whitespace around it allowed). A
  // failed read gives no model, only the error with its line and column.
  static json::ParseResult<VARN> from_json(std::string_view text);
  // Appends the model as compact JSON, keys in declaration order. Fails only when the buffer
  // cannot grow.
  Expected<void> serialize(std::string& out) const;

  // ---- queries ----

  // Members over all member sets.
  std::size_t get_member_count() const;
  bool has_rigid_members() const;
  bool has_tension_compression_members() const;
  // A deep copy of every field, the optional ones included.
  VARN clone() const { return *this; }
  // Lookup of materials, sections, hinges and supports by id; borrows this model.
  AssemblyContext build_lookup_maps() const;

  // ---- units ----

  // SI factors of the model's length, force and pressure units.
  UnitFactors unit_factors() const;
  // Converts this model in place to metres, newtons, pascals, kg/m3 and radians, and strips
  // the section constants that the analysis options switch off. The unit settings keep
  // naming the input's units. Results already held are not touched.
  void normalize_units();
  // A results bundle computed in SI, converted to the units the factors describe: lengths
  // and forces only; rotations stay in radians and reaction locations in metres.
  static ResultsBundle denormalize_results(ResultsBundle bundle, const UnitFactors& factors);
};

// Converts one result set from SI to the units the factors describe, in place (the same rule
// as `VARN::denormalize_results`), so that a caller can convert only the sets it computed.
void denormalize_results(Results& results, const UnitFactors& factors);

}  // namespace varn

template <>
struct varn::json::RecordMeta<varn::VARN> {
  static constexpr std::string_view name = "VARN";
  static const auto& fields() {
    using varn::VARN;
    static const auto f = std::make_tuple(
        json::required("member_sets", &VARN::member_sets), json::required("load_cases", &VARN::load_cases),
        json::required("load_combinations", &VARN::load_combinations),
        json::required("imperfection_cases", &VARN::imperfection_cases), json::required("settings", &VARN::settings),
        json::optional("results", &VARN::results), json::optional("memberhinges", &VARN::memberhinges),
        json::required("materials", &VARN::materials), json::required("sections", &VARN::sections),
        json::required("nodal_supports", &VARN::nodal_supports), json::optional("shape_paths", &VARN::shape_paths));
    return f;
  }
};
