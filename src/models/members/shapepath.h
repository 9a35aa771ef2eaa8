#pragma once
// Outline geometry of a section, drawn by commands in section coordinates (y, z). It feeds no
// computation: it is read, scaled with the length unit in the working copy and written back.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <tuple>
#include <vector>

#include "models/json/record.h"

namespace varn {

struct ShapeCommand {
  std::string command;  // any text, kept as read
  std::optional<double> y;
  std::optional<double> z;
  std::optional<double> r;
  std::optional<double> control_y1;
  std::optional<double> control_z1;
  std::optional<double> control_y2;
  std::optional<double> control_z2;

  // Every present coordinate times the length factor.
  void normalize_units(double length_factor);
  bool operator==(const ShapeCommand&) const = default;
};

struct ShapePath {
  std::uint32_t id = 0;
  std::string name;
  std::vector<ShapeCommand> shape_commands;  // in drawing order

  void normalize_units(double length_factor);
  bool operator==(const ShapePath&) const = default;
};

}  // namespace varn

template <>
struct varn::json::RecordMeta<varn::ShapeCommand> {
  static constexpr std::string_view name = "ShapeCommand";
  static const auto& fields() {
    using varn::ShapeCommand;
    static const auto f = std::make_tuple(
        json::required("command", &ShapeCommand::command), json::optional("y", &ShapeCommand::y),
        json::optional("z", &ShapeCommand::z), json::optional("r", &ShapeCommand::r),
        json::optional("control_y1", &ShapeCommand::control_y1), json::optional("control_z1", &ShapeCommand::control_z1),
        json::optional("control_y2", &ShapeCommand::control_y2), json::optional("control_z2", &ShapeCommand::control_z2));
    return f;
  }
};

template <>
struct varn::json::RecordMeta<varn::ShapePath> {
  static constexpr std::string_view name = "ShapePath";
  static const auto& fields() {
    using varn::ShapePath;
    static const auto f = std::make_tuple(json::required("id", &ShapePath::id), json::required("name", &ShapePath::name),
                                          json::required("shape_commands", &ShapePath::shape_commands));
    return f;
  }
};
