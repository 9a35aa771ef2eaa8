// The released beams' member loads as the P-delta solve condenses them: the part of the
// condensation with K + K_G(N) that the load vector's elastic condensation leaves out, against
// the hand condensation of one cubic beam whose far end is released in rotation.
#include <gtest/gtest.h>

#include <cmath>

#include <Eigen/Dense>

#include "functions/geometry.h"
#include "global_system_models.h"
#include "models/varn/second_order/released_member_loads.h"
#include "models/varn/varn.h"

using namespace varn;
using namespace varn::global_test;
using second_order::ReleasedMemberLoads;

namespace {

constexpr double kLength = 6.0;
constexpr double kQ = 20e3;  // N/m along -Y

// One beam along X, its end rotation about local z released, under a uniform load across it.
VARN released_beam(bool release = true, bool loaded = true) {
  VARN model = empty_model();
  model.nodal_supports.push_back(clamp(1));
  add_line(model, 1, {0, 0, 0}, {1, 0, 0}, kLength, 1);
  if (release) {
    MemberHinge hinge;
    hinge.id = 1;
    hinge.rotational_release_mz = 0.0;
    model.memberhinges.emplace();
    model.memberhinges->push_back(hinge);
    model.member_sets.front().members.front().end_hinge = 1;
  }
  LoadCase& lc = load_case(model, 1);
  if (loaded) {
    DistributedLoad load;
    load.member = 1;
    load.load_case = 1;
    load.magnitude = kQ;
    load.end_magnitude = kQ;
    load.direction = {0.0, -1.0, 0.0};
    lc.distributed_loads.push_back(load);
  }
  return model;
}

Eigen::VectorXd shortened_by(const VARN& model, double delta) {
  Eigen::VectorXd u = Eigen::VectorXd::Zero(static_cast<Eigen::Index>(compute_num_dofs_from_members(model.member_sets)));
  u[static_cast<Eigen::Index>(dof_index(2, 0))] = -delta;
  return u;
}

TEST(ReleasedMemberLoads, OnlyLoadedBeamsWithAReleaseTakePart) {
  for (const auto& [release, loaded] : {std::pair{false, true}, std::pair{true, false}}) {
    const VARN model = released_beam(release, loaded);
    EXPECT_TRUE(ReleasedMemberLoads::collect(model, model.build_lookup_maps(), ResultType::loadcase(1)).empty());
  }
  const VARN model = released_beam();
  const AssemblyContext ctx = model.build_lookup_maps();
  EXPECT_FALSE(ReleasedMemberLoads::collect(model, ctx, ResultType::loadcase(1)).empty());
  EXPECT_TRUE(ReleasedMemberLoads::collect(model, ctx, ResultType::loadcase(2)).empty());
}

TEST(ReleasedMemberLoads, NothingWithoutAxialForce) {
  const VARN model = released_beam();
  const AssemblyContext ctx = model.build_lookup_maps();
  const auto loads = ReleasedMemberLoads::collect(model, ctx, ResultType::loadcase(1));
  // K_G vanishes with N: both condensations are the same computation.
  EXPECT_EQ(loads.shift(model, ctx, shortened_by(model, 0.0), nullptr).norm(), 0.0);
}

TEST(ReleasedMemberLoads, TheClampTakesTheReleasedMomentCarriedOverWithTheThrust) {
  const VARN model = released_beam();
  const AssemblyContext ctx = model.build_lookup_maps();
  const auto loads = ReleasedMemberLoads::collect(model, ctx, ResultType::loadcase(1));
  const Props p;
  const double ei = p.e * p.i_z;
  const double delta = 1e-3;
  const double n = p.e * p.area * delta / kLength;  // compression
  const Eigen::VectorXd shift = loads.shift(model, ctx, shortened_by(model, delta), nullptr);

  // The fixed-end moments qL²/12, the released one carried over to the clamp by
  // (2EI/L + NL/30)/(4EI/L − 2NL/15) with the thrust, by 1/2 without.
  const double carry = (2.0 * ei / kLength + n * kLength / 30.0) / (4.0 * ei / kLength - 2.0 * n * kLength / 15.0);
  const double expected = kQ * kLength * kLength / 12.0 * (carry - 0.5);
  // A handful of products of order-one ratios: round-off of a few ulps of the moment.
  EXPECT_NEAR(std::abs(shift[static_cast<Eigen::Index>(dof_index(1, 5))]), expected, 1e-12 * expected);
  // Moving a moment about the span puts no net force on the member: its forces cancel.
  const double f = shift[static_cast<Eigen::Index>(dof_index(1, 1))] + shift[static_cast<Eigen::Index>(dof_index(2, 1))];
  EXPECT_LE(std::abs(f), 1e-12 * expected / kLength);
  // The released end takes nothing.
  EXPECT_EQ(shift[static_cast<Eigen::Index>(dof_index(2, 5))], 0.0);
}

}  // namespace
