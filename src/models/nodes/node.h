#pragma once
#include <cstdint>
#include <optional>
#include <string_view>
#include <tuple>

#include "models/json/record.h"

namespace varn {

// A point of the structure. There is no node table: every member embeds its two end nodes.
struct Node {
  std::uint32_t id = 0;
  double X = 0.0;
  double Y = 0.0;
  double Z = 0.0;
  std::optional<std::uint32_t> nodal_support;

  double distance_to(const Node& other) const;
  bool operator==(const Node&) const = default;
};

}  // namespace varn

template <>
struct varn::json::RecordMeta<varn::Node> {
  static constexpr std::string_view name = "Node";
  static const auto& fields() {
    using varn::Node;
    static const auto f = std::make_tuple(json::required("id", &Node::id), json::required("X", &Node::X),
                                          json::required("Y", &Node::Y), json::required("Z", &Node::Z),
                                          json::optional("nodal_support", &Node::nodal_support));
    return f;
  }
};
