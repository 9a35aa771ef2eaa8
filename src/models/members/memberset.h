#pragma once
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <tuple>
#include <vector>

#include "models/json/record.h"
#include "models/members/member.h"

namespace varn {

// A named group of members; the model's members live only inside member sets.
struct MemberSet {
  std::uint32_t id = 0;
  std::optional<double> l_y;
  std::optional<double> l_z;
  std::optional<std::string> classification;
  std::vector<Member> members;
};

}  // namespace varn

template <>
struct varn::json::RecordMeta<varn::MemberSet> {
  static constexpr std::string_view name = "MemberSet";
  static const auto& fields() {
    using varn::MemberSet;
    static const auto f = std::make_tuple(json::required("id", &MemberSet::id), json::optional("l_y", &MemberSet::l_y),
                                          json::optional("l_z", &MemberSet::l_z),
                                          json::optional("classification", &MemberSet::classification),
                                          json::required("members", &MemberSet::members));
    return f;
  }
};
