#include "models/nodes/node.h"

#include <cmath>

namespace varn {

double Node::distance_to(const Node& other) const {
  const double dx = other.X - X;
  const double dy = other.Y - Y;
  const double dz = other.Z - Z;
  return std::sqrt(dx * dx + dy * dy + dz * dz);
}

}  // namespace varn
