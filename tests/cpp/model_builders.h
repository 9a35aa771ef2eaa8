#pragma once
// The records the C++ tests build their models from, in one place: sections, nodes, members
// and support conditions, with the defaults a test mostly wants (material 1, a Normal member
// on section 1).
#include <cstdint>
#include <optional>
#include <string>
#include <utility>

#include "models/members/member.h"
#include "models/members/section.h"
#include "models/nodes/node.h"
#include "models/supports/supportcondition.h"

namespace varn::builders {

inline Section section(std::uint32_t id, double area, double i_y, double i_z, double j, std::uint32_t material = 1) {
  Section s;
  s.id = id;
  s.name = "S";
  s.name += std::to_string(id);
  s.material = material;
  s.area = area;
  s.i_y = i_y;
  s.i_z = i_z;
  s.j = j;
  return s;
}

inline Node node(std::uint32_t id, double x, double y, double z, std::optional<std::uint32_t> support = std::nullopt) {
  return Node{id, x, y, z, support};
}

// A member from a to b (a Rigid one takes no section: std::nullopt).
inline Member member(std::uint32_t id, const Node& a, const Node& b, MemberType type = MemberType::Normal,
                     std::optional<std::uint32_t> section_id = 1, std::string classification = {}) {
  Member m;
  m.id = id;
  m.start_node = a;
  m.end_node = b;
  m.member_type = type;
  m.section = section_id;
  m.classification = std::move(classification);
  return m;
}

inline SupportCondition condition(SupportConditionType type, std::optional<double> stiffness = std::nullopt) {
  SupportCondition c;
  c.condition_type = type;
  c.stiffness = stiffness;
  return c;
}

}  // namespace varn::builders
