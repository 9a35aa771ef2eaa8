#pragma once
// Impossible states inside the numerics (an index out of range, a member without a direction,
// a failed sparse build) are fatal faults: one exception type, thrown where the numerics find
// them and caught only at the module boundary, where it becomes "Internal solver panic: {}".
#include <cstddef>
#include <stdexcept>
#include <string>

namespace varn {

class FatalFault : public std::runtime_error {
 public:
  explicit FatalFault(const std::string& what) : std::runtime_error(what) {}
};

[[noreturn]] inline void fatal(const std::string& message) { throw FatalFault(message); }

// Bounds check for indices that come from model data (node ids, DOF numbers).
inline void check_index(std::size_t index, std::size_t size, const char* what) {
  if (index >= size) {
    fatal(std::string("index out of bounds: ") + what + ": the index is " + std::to_string(index) +
          " but the length is " + std::to_string(size));
  }
}

}  // namespace varn
