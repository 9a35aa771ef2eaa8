// The in-plane-only P-delta axis rule: layer counts, the choice of axes from the counts, and
// the rule on whole models (plane frames, thin grids, the cases that must leave the list alone).
#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "global_system_models.h"
#include "models/varn/second_order/pdelta_axes.h"
#include "models/varn/varn.h"

using namespace varn;
using varn::second_order::count_coordinate_layers;
using varn::second_order::suppressed_axes_for_layer_counts;

namespace {

using Axes = std::vector<std::string>;

struct CountsCase {
  std::array<std::uint32_t, 3> counts;
  Axes expected;
};

class AxesFromCounts : public ::testing::TestWithParam<CountsCase> {};

TEST_P(AxesFromCounts, Table) { EXPECT_EQ(suppressed_axes_for_layer_counts(GetParam().counts), GetParam().expected); }

INSTANTIATE_TEST_SUITE_P(
    PdeltaAxes, AxesFromCounts,
    ::testing::Values(
        // Plane frame: one level across the plane, thr = ceil(0.3·5) = 2.
        CountsCase{{5, 1, 5}, {"Y"}},
        // Two levels are still <= thr = 2.
        CountsCase{{5, 2, 5}, {"Y"}},
        // Two thin axes (a line of columns): both go, the richest axis never does.
        CountsCase{{1, 1, 7}, {"X", "Y"}},
        // thr = 3 for m = 10; no count <= 3, but 5 is the unique minimum and 6.0 > 5.
        CountsCase{{10, 5, 10}, {"Y"}},
        // 0.6·10 = 6 is not greater than 6.
        CountsCase{{10, 6, 10}, {}},
        // The minimum is shared by two axes.
        CountsCase{{10, 5, 5}, {}},
        // Too few levels anywhere to tell a plane.
        CountsCase{{2, 2, 2}, {}}, CountsCase{{2, 1, 1}, {}},
        // m = 3: thr = ceil(0.9) = 1, a single level is flat.
        CountsCase{{3, 1, 3}, {"Y"}},
        // thr = ceil(0.3·10) = 3 exactly: "at most" includes it.
        CountsCase{{10, 3, 10}, {"Y"}},
        CountsCase{{3, 3, 3}, {}}));

struct LayerCase {
  const char* name;
  std::vector<double> values;
  double tol;
  std::uint32_t expected;
};

class Layers : public ::testing::TestWithParam<LayerCase> {};

TEST_P(Layers, Count) { EXPECT_EQ(count_coordinate_layers(GetParam().values, GetParam().tol), GetParam().expected); }

INSTANTIATE_TEST_SUITE_P(
    PdeltaAxes, Layers,
    ::testing::Values(
        // 0.6·tol from the first joins its level; 1.2·tol from the first opens the second.
        LayerCase{"near_and_far", {0.0, 0.6, 1.2}, 1.0, 2},
        // Unsorted input with repeats.
        LayerCase{"unsorted", {1.2, 0.0, 0.6, 0.0, 1.2}, 1.0, 2},
        // A drift of 0.5·tol per value: each is close to its neighbour, yet a level opens
        // every tol from the last level kept (0, 1, 2).
        LayerCase{"drift", {0.0, 0.5, 1.0, 1.5, 2.0, 2.4}, 1.0, 3},
        LayerCase{"single", {4.0}, 1.0, 1},
        // Exactly tol apart opens a level.
        LayerCase{"exactly_tol", {0.0, 1.0}, 1.0, 2}),
    [](const auto& info) { return std::string(info.param.name); });

// ---- on models ----------------------------------------------------------------------------------

VARN model_with_members(const std::vector<std::pair<Eigen::Vector3d, Eigen::Vector3d>>& ends) {
  VARN v = global_test::empty_model();
  std::uint32_t id = 1;
  for (const auto& [a, b] : ends) {
    v.member_sets.front().members.push_back(global_test::member(id, global_test::node(2 * id - 1, a.x(), a.y(), a.z()),
                                                                global_test::node(2 * id, b.x(), b.y(), b.z()),
                                                                MemberType::Normal));
    ++id;
  }
  v.settings.analysis_options.pdelta_mode = PdeltaMode::InPlaneOnly;
  return v;
}

Axes derived(VARN v) {
  v.apply_pdelta_mode();
  return v.settings.analysis_options.pdelta_suppress_axes;
}

TEST(PdeltaAxesModel, PlaneFrameInXZLosesY) {
  // A two-bay, three-storey frame in the X-Z plane at Y = 2.
  std::vector<std::pair<Eigen::Vector3d, Eigen::Vector3d>> ends;
  for (int bay = 0; bay <= 2; ++bay)
    for (int storey = 0; storey < 3; ++storey)
      ends.push_back({{6.0 * bay, 2.0, 3.0 * storey}, {6.0 * bay, 2.0, 3.0 * (storey + 1)}});
  EXPECT_EQ(derived(model_with_members(ends)), Axes{"Y"});
}

TEST(PdeltaAxesModel, ThinGridLosesTheAxisWithTwoLevels) {
  // Columns on the grid X in {0, 5, ..., 20}, Y in {0, 4}, each in four segments up to Z = 12:
  // 5, 2 and 5 levels, thr = 2.
  std::vector<std::pair<Eigen::Vector3d, Eigen::Vector3d>> ends;
  for (double x : {0.0, 5.0, 10.0, 15.0, 20.0})
    for (double y : {0.0, 4.0})
      for (int s = 0; s < 4; ++s) ends.push_back({{x, y, 3.0 * s}, {x, y, 3.0 * (s + 1)}});
  EXPECT_EQ(derived(model_with_members(ends)), Axes{"Y"});
}

TEST(PdeltaAxesModel, DerivedListIsKeptByTheNextSolve) {
  std::vector<std::pair<Eigen::Vector3d, Eigen::Vector3d>> ends;
  for (int s = 0; s < 4; ++s) ends.push_back({{0.0, 0.0, 3.0 * s}, {4.0, 0.0, 3.0 * (s + 1)}});
  VARN v = model_with_members(ends);
  v.apply_pdelta_mode();
  const Axes first = v.settings.analysis_options.pdelta_suppress_axes;
  // X has two levels (0 and 4), Y one, Z five: thr = 2.
  EXPECT_EQ(first, (Axes{"X", "Y"}));
  // Even after the geometry grows out of the plane the derived list stays.
  v.member_sets.front().members.front().end_node.Y = 30.0;
  v.apply_pdelta_mode();
  EXPECT_EQ(v.settings.analysis_options.pdelta_suppress_axes, first);
}

struct UnchangedCase {
  const char* name;
  PdeltaMode mode;
  Axes given;
  bool members;
  bool at_one_point;
};

class PdeltaAxesUnchanged : public ::testing::TestWithParam<UnchangedCase> {};

TEST_P(PdeltaAxesUnchanged, ListStaysAsItWas) {
  const UnchangedCase& c = GetParam();
  std::vector<std::pair<Eigen::Vector3d, Eigen::Vector3d>> ends;
  if (c.members) {
    for (int s = 0; s < 4; ++s) {
      if (c.at_one_point) {
        ends.push_back({{1.0, 2.0, 3.0}, {1.0, 2.0, 3.0}});
      } else {
        ends.push_back({{0.0, 0.0, 3.0 * s}, {4.0, 0.0, 3.0 * (s + 1)}});
      }
    }
  }
  VARN v = model_with_members(ends);
  v.settings.analysis_options.pdelta_mode = c.mode;
  v.settings.analysis_options.pdelta_suppress_axes = c.given;
  EXPECT_EQ(derived(v), c.given);
}

INSTANTIATE_TEST_SUITE_P(
    PdeltaAxesModel, PdeltaAxesUnchanged,
    ::testing::Values(UnchangedCase{"full_mode", PdeltaMode::Full, {}, true, false},
                      UnchangedCase{"user_list_kept_whatever_it_holds", PdeltaMode::InPlaneOnly, {"q", "X"}, true, false},
                      UnchangedCase{"no_members", PdeltaMode::InPlaneOnly, {}, false, false},
                      UnchangedCase{"all_ends_at_one_point", PdeltaMode::InPlaneOnly, {}, true, true}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
