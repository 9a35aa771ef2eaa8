#include "models/varn/second_order/pdelta_axes.h"

#include <algorithm>
#include <cmath>
#include <limits>

#include "models/varn/varn.h"

namespace varn::second_order {

namespace {

constexpr std::array<const char*, 3> kAxisNames = {"X", "Y", "Z"};
// Extent below which every member end sits at one point: no plane to speak of.
constexpr double kMinExtent = 1e-12;
// Coordinates closer than 1 % of the structure's largest extent belong to one level.
constexpr double kLayerFraction = 0.01;
// An axis is flat when it has at most 30 % of the layers of the richest axis ...
constexpr double kFlatFraction = 0.3;
// ... or, alone, fewer than 60 % of them.
constexpr double kThinFraction = 0.6;
// Fewer levels than this along every axis cannot tell a plane from a box.
constexpr std::uint32_t kMinLayers = 3;

// Largest minus smallest, NaN ignored (an all-NaN list gives a negative extent).
double extent(const std::vector<double>& v) {
  double hi = std::numeric_limits<double>::lowest();
  double lo = std::numeric_limits<double>::max();
  for (const double x : v) {
    hi = std::fmax(hi, x);
    lo = std::fmin(lo, x);
  }
  return hi - lo;
}

}  // namespace

std::uint32_t count_coordinate_layers(std::vector<double> values, double tol) {
  // NaN sorted last under a strict weak order (a NaN inside the comparison would break the
  // sort), then never kept: it is no distance from anything.
  std::sort(values.begin(), values.end(), [](double a, double b) {
    if (std::isnan(a)) return false;
    if (std::isnan(b)) return true;
    return a < b;
  });
  std::uint32_t count = 0;
  double last = 0.0;
  for (const double x : values) {
    if (std::isnan(x)) break;
    if (count == 0 || std::abs(x - last) >= tol) {
      last = x;
      ++count;
    }
  }
  return count;
}

std::vector<std::string> suppressed_axes_for_layer_counts(const std::array<std::uint32_t, 3>& counts) {
  const std::uint32_t m = *std::max_element(counts.begin(), counts.end());
  if (m < kMinLayers) return {};
  const auto thr = static_cast<std::uint32_t>(std::ceil(kFlatFraction * static_cast<double>(m)));
  std::vector<std::string> flat;
  for (std::size_t a = 0; a < 3; ++a) {
    if (counts[a] <= thr) flat.emplace_back(kAxisNames[a]);
  }
  if (!flat.empty()) return flat;

  const std::uint32_t mn = *std::min_element(counts.begin(), counts.end());
  const auto at_min = std::count(counts.begin(), counts.end(), mn);
  if (at_min == 1 && kThinFraction * static_cast<double>(m) > static_cast<double>(mn)) {
    const auto a = static_cast<std::size_t>(std::find(counts.begin(), counts.end(), mn) - counts.begin());
    return {kAxisNames[a]};
  }
  return {};
}

}  // namespace varn::second_order

namespace varn {

void VARN::apply_pdelta_mode() {
  AnalysisOptions& options = settings.analysis_options;
  // A list the user gave is kept whatever it holds; so is one derived by an earlier solve on
  // this model record.
  if (options.pdelta_mode != PdeltaMode::InPlaneOnly || !options.pdelta_suppress_axes.empty()) return;

  std::array<std::vector<double>, 3> coords;
  for (const auto& set : member_sets) {
    for (const auto& m : set.members) {
      for (const Node* node : {&m.start_node, &m.end_node}) {
        coords[0].push_back(node->X);
        coords[1].push_back(node->Y);
        coords[2].push_back(node->Z);
      }
    }
  }
  if (coords[0].empty()) return;

  const double l = std::fmax(std::fmax(second_order::extent(coords[0]), second_order::extent(coords[1])),
                             second_order::extent(coords[2]));
  if (l < second_order::kMinExtent) return;
  const double tol = second_order::kLayerFraction * l;

  std::array<std::uint32_t, 3> counts{};
  for (std::size_t a = 0; a < 3; ++a) counts[a] = second_order::count_coordinate_layers(std::move(coords[a]), tol);
  auto axes = second_order::suppressed_axes_for_layer_counts(counts);
  if (!axes.empty()) options.pdelta_suppress_axes = std::move(axes);
}

}  // namespace varn
