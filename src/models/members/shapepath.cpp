#include "models/members/shapepath.h"

namespace varn {

void ShapeCommand::normalize_units(double length_factor) {
  for (std::optional<double>* c : {&y, &z, &r, &control_y1, &control_z1, &control_y2, &control_z2})
    if (*c) **c *= length_factor;
}

void ShapePath::normalize_units(double length_factor) {
  for (auto& c : shape_commands) c.normalize_units(length_factor);
}

}  // namespace varn
