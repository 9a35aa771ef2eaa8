#pragma once
#include <cstdint>
#include <string_view>

#include "models/json/record.h"

namespace varn {

enum class MemberType : std::uint8_t { Normal = 0, Truss = 1, Tension = 2, Compression = 3, Rigid = 4 };

// The display name used in messages; the same word as the JSON spelling.
std::string_view to_string(MemberType t);

// Axial-only members: the truss family that carries no bending.
inline bool is_truss_type(MemberType t) {
  return t == MemberType::Truss || t == MemberType::Tension || t == MemberType::Compression;
}

}  // namespace varn

template <>
struct varn::json::EnumMeta<varn::MemberType> {
  static constexpr std::string_view name = "MemberType";
  static const auto& values() {
    using varn::MemberType;
    static const json::EnumTable<MemberType> t = {
        {MemberType::Normal, "Normal", {"Normal"}},
        {MemberType::Truss, "Truss", {"Truss"}},
        {MemberType::Tension, "Tension", {"Tension"}},
        {MemberType::Compression, "Compression", {"Compression"}},
        {MemberType::Rigid, "Rigid", {"Rigid"}},
    };
    return t;
  }
};
