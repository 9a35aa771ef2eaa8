#pragma once
// The in-plane-only P-delta mode: a structure that is (nearly) plane, or much thinner in one
// direction than in the others, carries its sway out of that plane by bracing or diaphragms
// the model does not show, so the geometric stiffness along the thin axis is dropped. The
// thin axes are found from the number of distinct coordinate levels of the member ends.
#include <array>
#include <cstdint>
#include <string>
#include <vector>

namespace varn::second_order {

// Distinct levels of a list of coordinates: sorted, a value opens a new level when it lies at
// least `tol` from the last level opened (not from its neighbour, so a slow drift still opens
// a level every `tol`). NaN values open none; an empty list has none.
std::uint32_t count_coordinate_layers(std::vector<double> values, double tol);

// The axes ("X", "Y", "Z", in that order) to suppress for the layer counts of X, Y and Z:
// every axis with at most ceil(0.3·m) layers (m the largest count); failing that, the one
// axis with the unique fewest layers when they are fewer than 0.6·m. Nothing when m < 3.
std::vector<std::string> suppressed_axes_for_layer_counts(const std::array<std::uint32_t, 3>& counts);

}  // namespace varn::second_order
