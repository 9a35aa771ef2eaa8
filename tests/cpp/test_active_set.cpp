// Active set of ties and struts: the switching thresholds with their hysteresis, the final
// consistency pass, and the events a host receives.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "models/varn/active_set.h"
#include "models/varn/varn.h"

namespace varn {
namespace {

// Two members along X of length 1 m, EA = 1 N: a tie (id 1, nodes 1-2) and a strut (id 2,
// nodes 3-4). The axial force equals the elongation given to the end node.
VARN two_member_model() {
  VARN model;
  model.materials.push_back(Material{});
  model.materials[0].id = 1;
  model.materials[0].e_mod = 1.0;
  model.materials[0].g_mod = 1.0;
  Section s;
  s.id = 1;
  s.material = 1;
  s.area = 1.0;
  s.i_y = s.i_z = s.j = 1.0;
  model.sections.push_back(s);
  MemberSet set;
  set.id = 1;
  auto add = [&](std::uint32_t id, MemberType type, std::uint32_t a, std::uint32_t b) {
    Member m;
    m.id = id;
    m.start_node = Node{a, 0, 0, 0, std::nullopt};
    m.end_node = Node{b, 1, 0, 0, std::nullopt};
    m.section = 1;
    m.member_type = type;
    set.members.push_back(m);
  };
  add(1, MemberType::Tension, 1, 2);
  add(2, MemberType::Compression, 3, 4);
  add(3, MemberType::Normal, 5, 6);
  model.member_sets.push_back(set);
  model.settings.analysis_options.axial_slack = 0.001;
  return model;
}

Eigen::VectorXd state(double tie_force, double strut_force) {
  Eigen::VectorXd u = Eigen::VectorXd::Zero(42);
  u(7) = tie_force;     // node 2 ux
  u(21) = strut_force;  // node 4 ux
  return u;
}

struct SwitchCase {
  const char* name;
  bool tie_was, strut_was;
  double tie_n, strut_n;
  bool reactivation;
  bool tie_now, strut_now;
};

class UpdateActiveSet : public ::testing::TestWithParam<SwitchCase> {};

TEST_P(UpdateActiveSet, Thresholds) {
  const auto& c = GetParam();
  VARN model = two_member_model();
  auto ctx = model.build_lookup_maps();
  ActiveMap active{{1, c.tie_was}, {2, c.strut_was}};
  bool changed = update_active_set(model, state(c.tie_n, c.strut_n), active, ctx,
                                   axial_slack_tolerance(model), c.reactivation);
  EXPECT_EQ(active[1], c.tie_now);
  EXPECT_EQ(active[2], c.strut_now);
  EXPECT_EQ(changed, c.tie_now != c.tie_was || c.strut_now != c.strut_was);
  EXPECT_EQ(active.count(3), 0u) << "only ties and struts are entered";
}

INSTANTIATE_TEST_SUITE_P(
    Hysteresis, UpdateActiveSet,
    ::testing::Values(SwitchCase{"tie_within_tolerance_stays", true, true, -0.0004, 0.0004, true, true, true},
                      SwitchCase{"beyond_tolerance_switch_off", true, true, -0.0006, 0.0006, true, false, false},
                      SwitchCase{"below_buffer_stay_off", false, false, 0.004, -0.004, true, false, false},
                      SwitchCase{"at_buffer_come_back", false, false, 0.005, -0.005, true, true, true},
                      SwitchCase{"no_reactivation", false, false, 1.0, -1.0, false, false, false},
                      SwitchCase{"nan_switches_off", true, true, std::nan(""), std::nan(""), true, false, false},
                      SwitchCase{"nan_stays_off", false, false, std::nan(""), std::nan(""), true, false, false}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(ActiveSet, AllOnAndFromTrialDisplacement) {
  VARN model = two_member_model();
  ActiveMap all = init_active_map_tie_comp(model);
  EXPECT_EQ(all, (ActiveMap{{1, true}, {2, true}}));
  EXPECT_EQ(active_map_from_trial_displacement(model, state(-0.0006, -1.0)), (ActiveMap{{1, false}, {2, true}}));
  EXPECT_EQ(active_map_from_trial_displacement(model, state(std::nan(""), 0.0004)), (ActiveMap{{1, false}, {2, true}}));
}

TEST(ActiveSet, FinalConsistencyUsesTheFullSlackAndOnlySwitchesOff) {
  VARN model = two_member_model();
  auto ctx = model.build_lookup_maps();
  ActiveMap active{{1, true}, {2, true}};
  EXPECT_FALSE(finalize_tie_strut_consistency(model, state(-0.0008, 0.0008), active, ctx));
  EXPECT_TRUE(finalize_tie_strut_consistency(model, state(-0.0008, 0.0012), active, ctx));
  EXPECT_EQ(active, (ActiveMap{{1, true}, {2, false}}));
  // A member switched off is not brought back, whatever its force.
  EXPECT_FALSE(finalize_tie_strut_consistency(model, state(-0.0008, -5.0), active, ctx));
  EXPECT_FALSE(active[2]);
}

TEST(ActiveSet, ModelWithoutTiesAndStrutsHasAnEmptyMap) {
  VARN model = two_member_model();
  model.member_sets[0].members.resize(0);
  EXPECT_TRUE(init_active_map_tie_comp(model).empty());
  ActiveMap active;
  auto ctx = model.build_lookup_maps();
  EXPECT_FALSE(update_active_set(model, Eigen::VectorXd::Zero(0), active, ctx, 0.0005, true));
}

}  // namespace
}  // namespace varn
