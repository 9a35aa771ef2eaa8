// The co-rotational phase of the second-order solve against closed forms of large rotations:
// a cantilever bent into a quarter and a half circle by an end moment (the elastica), the
// P-delta sway of a column, rigid links at supported nodes, the fall-back to P-delta for
// hinged models, and the member loads on the deformed geometry.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <numbers>
#include <stdexcept>
#include <string>
#include <vector>

#include "global_system_models.h"
#include "models/varn/second_order/corotational_phase.h"
#include "models/varn/varn.h"
#include "recovery_test_support.h"

namespace {

using namespace varn;
using varn::global_test::add_line;
using varn::global_test::add_nodal_load;
using varn::global_test::clamp;
using varn::global_test::empty_model;
using varn::global_test::Props;

constexpr double kPi = std::numbers::pi;

Props beam_props() {
  Props p;
  p.e = 2.1e11;
  p.area = 1e-2;
  p.i_y = 1e-4;
  p.i_z = 1e-4;
  p.j = 2e-5;
  return p;
}

void second_order(VARN& v, NonlinearMethod method) {
  auto& o = v.settings.analysis_options;
  o.order = AnalysisOrder::Nonlinear;
  o.nonlinear_method = method;
  o.tolerance = 1e-8;
}

void add_nodal_moment(VARN& v, std::uint32_t case_id, std::uint32_t node_id, double magnitude,
                      std::array<double, 3> dir) {
  global_test::load_case(v, case_id);
  LoadCase& lc = global_test::load_case(v, case_id);
  NodalMoment m;
  m.id = static_cast<std::uint32_t>(lc.nodal_moments.size() + 1);
  m.node = node_id;
  m.load_case = case_id;
  m.magnitude = magnitude;
  m.direction = dir;
  lc.nodal_moments.push_back(m);
}

const NodeDisplacement& node_result(const Results& r, std::uint32_t id) { return r.displacement_nodes.at(id); }

// ---- the elastica: a cantilever bent by an end moment ---------------------------------------
// Under a constant moment M the beam bends into a circular arc of curvature M/EI, so the tip
// of a cantilever of length L turns by θ = ML/EI and sits at x = L·sin θ/θ, y = L·(1 − cos θ)/θ.
// Twenty co-rotational elements follow the arc to well within 0.5 % of L (the chord error of
// an arc of π/20 per element is 1e-3 of its length and cancels to first order in the tip
// position); every element carries the pure moment M in its own axes.

struct ElasticaCase {
  const char* name;
  double turn;  // θ = ML/EI
};

class Elastica : public ::testing::TestWithParam<ElasticaCase> {};

TEST_P(Elastica, TipFollowsTheCircularArc) {
  constexpr int kElements = 20;
  constexpr double kLength = 2.0;
  const Props p = beam_props();
  const double ei = p.e * p.i_z;
  const double turn = GetParam().turn;
  const double moment = turn * ei / kLength;

  VARN v = empty_model(p);
  v.nodal_supports.push_back(clamp(1));
  add_line(v, kElements, Eigen::Vector3d::Zero(), Eigen::Vector3d::UnitX(), kLength, 1u);
  const auto tip = static_cast<std::uint32_t>(kElements + 1);
  add_nodal_moment(v, 1, tip, moment, {0.0, 0.0, 1.0});
  second_order(v, NonlinearMethod::Corotational);

  auto r = v.solve_for_load_case_second_order(1);
  ASSERT_TRUE(r) << r.error();
  const NodeDisplacement& d = node_result(*r, tip);
  EXPECT_NEAR(d.dx, kLength * (std::sin(turn) / turn - 1.0), 5e-3 * kLength);
  EXPECT_NEAR(d.dy, kLength * (1.0 - std::cos(turn)) / turn, 5e-3 * kLength);
  EXPECT_NEAR(d.rz, turn, 5e-3 * turn);
  EXPECT_NEAR(d.dz, 0.0, 1e-9 * kLength);

  // Recovered in the co-rotated frames, each element holds the pure moment: no axial force,
  // no shear. The tolerance is that of the converged residual (1e-8 of the load) amplified
  // by the element stiffness ratios, far below the forces a recovery on the undeformed axes
  // would give (of the order of EA times the chord rotation).
  for (const auto& [id, m] : r->member_results) {
    SCOPED_TRACE("member " + std::to_string(id));
    EXPECT_NEAR(std::abs(m.local_end_forces.mz), moment, 1e-4 * moment);
    EXPECT_NEAR(m.local_end_forces.fx, 0.0, 1e-4 * moment / kLength);
    EXPECT_NEAR(m.local_end_forces.fy, 0.0, 1e-4 * moment / kLength);
  }
}

INSTANTIATE_TEST_SUITE_P(EndMoment, Elastica,
                         ::testing::Values(ElasticaCase{"QuarterCircle", kPi / 2.0}, ElasticaCase{"HalfCircle", kPi}),
                         [](const auto& info) { return std::string(info.param.name); });

// ---- P-delta sway of a cantilever column --------------------------------------------------
// At half the Euler load of the cantilever (π²EI/4L²) a tip load H sways the tip by
// H/(P·k)·(tan kL − kL), k = √(P/EI): 3.941047e-3 m for the column below, twice the first-order
// sway. The co-rotational solve reaches it within 0.5 %; the discretisation error of ten
// elements and the axial shortening (P·L/EA = 2.5e-5 of the length) are both below 1e-3.

TEST(CorotationalColumn, HalfTheCriticalLoadDoublesTheSway) {
  constexpr int kElements = 10;
  constexpr double kHeight = 5.0;
  Props p = beam_props();
  p.area = 1e-1;
  VARN v = empty_model(p);
  v.nodal_supports.push_back(clamp(1));
  add_line(v, kElements, Eigen::Vector3d::Zero(), Eigen::Vector3d::UnitZ(), kHeight, 1u);
  const auto tip = static_cast<std::uint32_t>(kElements + 1);
  add_nodal_load(v, 1, tip, 1.036308e6, {0.0, 0.0, -1.0});
  add_nodal_load(v, 1, tip, 1000.0, {1.0, 0.0, 0.0});
  second_order(v, NonlinearMethod::Corotational);

  auto r = v.solve_for_load_case_second_order(1);
  ASSERT_TRUE(r) << r.error();
  EXPECT_NEAR(node_result(*r, tip).dx, 3.941047e-3, 5e-3 * 3.941047e-3);
}

// ---- rigid links at supported nodes ------------------------------------------------------
// A cantilever of 8 beams hangs from node A; A is tied by a rigid link (no section: a pure
// kinematic constraint) to a clamped node. With the clamp at the link's master every held
// DOF of the reduced system is retained and fixed exactly; with the clamp at the slave the
// held translations reach the reduced system through rows that also carry A's rotations and
// are penalised. Either way A is clamped through the link, so the tip must move as that of
// the cantilever clamped at A directly, and the solve must finish co-rotational: the
// residual of the reduced system holds the support reactions, which the phase removes
// before it measures equilibrium. The tolerance bounds the compliance of the penalised
// support (penalty 1000 × the largest diagonal of the reduced tangent: a relative
// flexibility of about 1e-3 on the held DOFs).

enum class Clamped { Master, Slave };

struct LinkCase {
  const char* name;
  Clamped clamped;
};

class RigidLinkAtSupport : public ::testing::TestWithParam<LinkCase> {};

VARN linked_cantilever(bool with_link, Clamped clamped) {
  constexpr int kElements = 8;
  constexpr double kLength = 3.0;
  VARN v = empty_model(beam_props());
  v.nodal_supports.push_back(clamp(1));
  // Beam nodes 1..9 along X, node 1 clamped directly or held through the link to node 10,
  // which sits 0.5 m beside it.
  add_line(v, kElements, Eigen::Vector3d::Zero(), Eigen::Vector3d::UnitX(), kLength,
           with_link ? std::nullopt : std::optional<std::uint32_t>(1u));
  if (with_link) {
    const Node root = global_test::node(1, 0.0, 0.0, 0.0);
    const Node side = global_test::node(10, 0.0, 0.5, 0.0, 1u);
    // The start node is the master; both ends are anchored (a beam end, a support), so the
    // link keeps its orientation.
    const Member link = clamped == Clamped::Master
                            ? global_test::member(100, side, root, MemberType::Rigid, std::nullopt)
                            : global_test::member(100, root, side, MemberType::Rigid, std::nullopt);
    v.member_sets.front().members.push_back(link);
    v.settings.analysis_options.rigid_strategy = RigidStrategy::LinearMpc;
  }
  const auto tip = static_cast<std::uint32_t>(kElements + 1);
  // A tip load that turns the tip by about a quarter radian: well beyond small rotations.
  add_nodal_load(v, 1, tip, 1.5e6, {0.0, -1.0, 0.0});
  second_order(v, NonlinearMethod::Corotational);
  return v;
}

TEST_P(RigidLinkAtSupport, PhaseCompletesAsIfClampedDirectly) {
  VARN direct = linked_cantilever(false, GetParam().clamped);
  VARN linked = linked_cantilever(true, GetParam().clamped);
  ASSERT_TRUE(linked.needs_dense_rigid_path());
  auto rd = direct.solve_for_load_case_second_order(1);
  ASSERT_TRUE(rd) << rd.error();
  auto rl = linked.solve_for_load_case_second_order(1);
  ASSERT_TRUE(rl) << rl.error();
  const NodeDisplacement& td = node_result(*rd, 9);
  const NodeDisplacement& tl = node_result(*rl, 9);
  // Large rotation reached (the P-delta state would keep the tip on its vertical line).
  EXPECT_GT(std::abs(td.rz), 0.2);
  EXPECT_LT(td.dx, -0.02);
  const double scale = std::hypot(td.dx, td.dy);
  EXPECT_NEAR(tl.dx, td.dx, 2e-3 * scale);
  EXPECT_NEAR(tl.dy, td.dy, 2e-3 * scale);
  EXPECT_NEAR(tl.rz, td.rz, 2e-3 * std::abs(td.rz));
}

INSTANTIATE_TEST_SUITE_P(Clamp, RigidLinkAtSupport,
                         ::testing::Values(LinkCase{"AtMaster", Clamped::Master}, LinkCase{"AtSlave", Clamped::Slave}),
                         [](const auto& info) { return std::string(info.param.name); });

// A simply supported beam whose one end A hangs on a rigid arm from a pin B set off in Y and Z:
// each held translation of B reaches the reduced system as a row over A's translation and two
// of A's rotations, three penalised rows that share rotations. Their reactions span the three
// rows together, so the phase removes them by an orthogonal projection on that span (removing
// one row's direction after another would leave part of the first in the residual, which then
// never vanishes). The phase must converge in every load step as it comes, with B held.
TEST(RigidLinkAtSupport, OverlappingPenalisedRowsAreRemovedTogether) {
  VARN v = empty_model(beam_props());
  NodalSupport pin = global_test::support(1, {SupportConditionType::Fixed, SupportConditionType::Fixed,
                                              SupportConditionType::Fixed},
                                          {SupportConditionType::Free, SupportConditionType::Free,
                                           SupportConditionType::Free});
  NodalSupport pin_no_twist = pin;
  pin_no_twist.id = 2;
  pin_no_twist.rotation_conditions["X"].condition_type = SupportConditionType::Fixed;
  v.nodal_supports = {pin, pin_no_twist};
  add_line(v, 8, Eigen::Vector3d::Zero(), Eigen::Vector3d::UnitX(), 3.0, std::nullopt, 2u);
  v.member_sets.front().members.push_back(global_test::member(100, global_test::node(1, 0.0, 0.0, 0.0),
                                                              global_test::node(10, 0.0, 0.3, 0.4, 1u),
                                                              MemberType::Rigid, std::nullopt));
  v.settings.analysis_options.rigid_strategy = RigidStrategy::LinearMpc;
  add_nodal_load(v, 1, 5, 2.0e6, {0.0, -1.0, 0.0});
  second_order(v, NonlinearMethod::Corotational);

  auto elimination = v.build_rigid_elimination_partial_using_hinges();
  ASSERT_TRUE(elimination) << elimination.error();
  for (std::size_t k = 0; k < 3; ++k) {
    ASSERT_FALSE(elimination->reduced_column(dof_index(10, k)));
    ASSERT_FALSE(VARN::detect_one_hot_constraint(elimination->row(dof_index(10, k))));
  }
  auto projector = RigidProjector::create(*elimination);
  ASSERT_TRUE(projector) << projector.error();
  const RigidPath path{*elimination, *projector};
  auto f = v.assemble_load_vector_for_case(1);
  ASSERT_TRUE(f) << f.error();
  const Eigen::VectorXd u0 = Eigen::VectorXd::Zero(f->size());
  const ActiveMap active;
  const std::vector<std::size_t> none;
  const second_order::CorotationalPhaseInput in{*f, false, 1, false, u0, active, 20, 1e-8, none, &path, false};
  auto r = second_order::run_corotational_phase(v, in);
  ASSERT_TRUE(r) << r.error();
  // Every load step converges as it comes, none retried with a smaller increment.
  EXPECT_EQ(r->cut_steps, 0u);
  // The beam sags by a sizeable fraction of its span, while B stays put up to the compliance of
  // its penalty (1000 x the largest diagonal of the reduced tangent).
  const double sag = -r->u[static_cast<Eigen::Index>(dof_index(5, 1))];
  EXPECT_GT(sag, 0.05);
  for (std::size_t k = 0; k < 3; ++k) {
    EXPECT_NEAR(r->u[static_cast<Eigen::Index>(dof_index(10, k))], 0.0, 1e-3 * sag) << "B, DOF " << k;
  }
  EXPECT_EQ(VARN::expand_solution(*elimination, r->u_r), r->u);
}

// ---- the kept symmetric factor against full Newton ----------------------------------------
// A space frame of 2 x 2 bays and 3 storeys (columns 3 m, beams 4 m, all clamped at the base)
// under gravity and a lateral load in both horizontal directions, so that it sways and twists.
// The phase iterates on a factorised symmetric part of the tangent that it keeps while it
// contracts the residual; the residual, the tolerance and so the converged state are those of
// full Newton on a fresh exact tangent at every iteration: the two states agree to the
// tolerance (1e-8 of the load, over a stiffness whose condition lets a displacement move by
// about 1e-6 of itself), while the kept factor is made a few times only.

VARN swaying_frame() {
  VARN v = empty_model(beam_props());
  v.nodal_supports.push_back(clamp(1));
  auto& members = v.member_sets.front().members;
  const auto id_of = [](int i, int j, int k) { return static_cast<std::uint32_t>(1 + i + 3 * j + 9 * k); };
  const auto at = [&](int i, int j, int k) {
    return global_test::node(id_of(i, j, k), 4.0 * i, 4.0 * j, 3.0 * k,
                             k == 0 ? std::optional<std::uint32_t>(1u) : std::nullopt);
  };
  std::uint32_t next = 1;
  for (int k = 1; k <= 3; ++k) {
    for (int i = 0; i < 3; ++i) {
      for (int j = 0; j < 3; ++j) {
        members.push_back(global_test::member(next++, at(i, j, k - 1), at(i, j, k), MemberType::Normal));
        if (i < 2) members.push_back(global_test::member(next++, at(i, j, k), at(i + 1, j, k), MemberType::Normal));
        if (j < 2) members.push_back(global_test::member(next++, at(i, j, k), at(i, j + 1, k), MemberType::Normal));
        add_nodal_load(v, 1, id_of(i, j, k), 4.0e5, {0.0, 0.0, -1.0});
        add_nodal_load(v, 1, id_of(i, j, k), 3.0e4 * k, {1.0, 0.0, 0.0});
        add_nodal_load(v, 1, id_of(i, j, k), 1.0e4 * (1 + i), {0.0, 1.0, 0.0});
      }
    }
  }
  second_order(v, NonlinearMethod::Corotational);
  return v;
}

TEST(CorotationalPhase, KeptSymmetricFactorReachesTheFullNewtonState) {
  const VARN v = swaying_frame();
  auto f = v.assemble_load_vector_for_case(1);
  ASSERT_TRUE(f) << f.error();
  auto held = v.collect_constrained_dofs_full();
  ASSERT_TRUE(held) << held.error();
  const Eigen::VectorXd u0 = Eigen::VectorXd::Zero(f->size());
  const ActiveMap active;
  second_order::CorotationalPhaseInput in{*f, false, 1, false, u0, active, 20, 1e-8, *held, nullptr, false};
  auto kept = second_order::run_corotational_phase(v, in);
  ASSERT_TRUE(kept) << kept.error();
  in.full_newton = true;
  auto full = second_order::run_corotational_phase(v, in);
  ASSERT_TRUE(full) << full.error();
  const double scale = full->u.cwiseAbs().maxCoeff();
  EXPECT_GT(scale, 0.05);  // sways well beyond small displacements
  EXPECT_LE((kept->u - full->u).cwiseAbs().maxCoeff(), 1e-6 * scale);
  // Full Newton factorises at every iteration; the kept factor serves several iterations each.
  EXPECT_EQ(full->numeric_factorizations, full->iterations);
  EXPECT_LT(2 * kept->numeric_factorizations, kept->iterations);
  // One symbolic analysis serves the whole phase: the pattern is fixed.
  EXPECT_EQ(kept->symbolic_analyses, 1u);
}

// ---- models the phase leaves on their P-delta result -----------------------------------------
// The co-rotational element has no end releases, so any member naming a hinge (even one that
// releases nothing, or one the model does not have) keeps the solve on its P-delta result,
// recovered on the undeformed axes: the stored set is exactly that of the P-delta method.

struct SkipCase {
  const char* name;
  bool hinge_exists;
};

class PhaseSkipped : public ::testing::TestWithParam<SkipCase> {};

TEST_P(PhaseSkipped, HingedModelKeepsThePDeltaResult) {
  auto model = [&](NonlinearMethod method) {
    VARN v = empty_model(beam_props());
    v.nodal_supports.push_back(clamp(1));
    add_line(v, 6, Eigen::Vector3d::Zero(), Eigen::Vector3d::UnitX(), 3.0, 1u);
    if (GetParam().hinge_exists) {
      MemberHinge h;
      h.id = 7;
      v.memberhinges = std::vector<MemberHinge>{h};
    }
    v.member_sets.front().members[2].end_hinge = 7u;
    add_nodal_load(v, 1, 7, 1.5e6, {0.0, -1.0, 0.0});
    second_order(v, method);
    return v;
  };
  VARN corot = model(NonlinearMethod::Corotational);
  VARN pdelta = model(NonlinearMethod::PDelta);
  EXPECT_FALSE(second_order::corotational_phase_applies(corot));
  auto rc = corot.solve_for_load_case_second_order(1);
  ASSERT_TRUE(rc) << rc.error();
  auto rp = pdelta.solve_for_load_case_second_order(1);
  ASSERT_TRUE(rp) << rp.error();
  for (const auto& [id, d] : rp->displacement_nodes) {
    EXPECT_EQ(rc->displacement_nodes.at(id).dy, d.dy) << "node " << id;
    EXPECT_EQ(rc->displacement_nodes.at(id).rz, d.rz) << "node " << id;
  }
  for (const auto& [id, m] : rp->member_results) {
    EXPECT_EQ(rc->member_results.at(id).local_end_forces.mz, m.local_end_forces.mz) << "member " << id;
    EXPECT_EQ(rc->member_results.at(id).local_end_forces.fx, m.local_end_forces.fx) << "member " << id;
  }
  // The P-delta state of a tip-loaded cantilever without axial force is the linear one:
  // the tip stays on its vertical line, which the co-rotational state would leave.
  EXPECT_EQ(rc->displacement_nodes.at(7).dx, 0.0);
}

INSTANTIATE_TEST_SUITE_P(Hinge, PhaseSkipped,
                         ::testing::Values(SkipCase{"ReleasingNothing", true}, SkipCase{"UnknownId", false}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(PhaseApplies, OnlyForTheCoRotationalMethodWithoutHinges) {
  VARN v = empty_model(beam_props());
  v.nodal_supports.push_back(clamp(1));
  add_line(v, 2, Eigen::Vector3d::Zero(), Eigen::Vector3d::UnitX(), 2.0, 1u);
  second_order(v, NonlinearMethod::Corotational);
  EXPECT_TRUE(second_order::corotational_phase_applies(v));
  second_order(v, NonlinearMethod::PDelta);
  EXPECT_FALSE(second_order::corotational_phase_applies(v));
  second_order(v, NonlinearMethod::Corotational);
  v.member_sets.front().members[0].start_hinge = 3u;
  EXPECT_FALSE(second_order::corotational_phase_applies(v));
}

// ---- every held DOF is a support -----------------------------------------------------------
// The constrained list holds DOFs that no support names (the zero-energy DOFs); the penalty
// holds them like supports, and the force that remains there is their reaction, not an
// unbalanced force. Here the list also holds the tip's Z translation of a cantilever loaded
// at the tip in Y and Z: the Z load is carried by that held DOF, and the tip must bend in Y
// alone exactly as without the Z load.

TEST(HeldDofs, ResidualAtAListedDofIsAReaction) {
  auto model = [](double fz) {
    VARN v = empty_model(beam_props());
    v.nodal_supports.push_back(clamp(1));
    add_line(v, 8, Eigen::Vector3d::Zero(), Eigen::Vector3d::UnitX(), 3.0, 1u);
    add_nodal_load(v, 1, 9, 1.5e6, {0.0, -1.0, 0.0});
    add_nodal_load(v, 1, 9, fz, {0.0, 0.0, 1.0});
    second_order(v, NonlinearMethod::Corotational);
    return v;
  };
  auto run = [](const VARN& v) {
    auto f = v.assemble_load_vector_for_case(1);
    if (!f) throw std::runtime_error(f.error());
    auto held = v.collect_constrained_dofs_full();
    if (!held) throw std::runtime_error(held.error());
    held->push_back(dof_index(9, 2));
    std::sort(held->begin(), held->end());
    const Eigen::VectorXd u0 = Eigen::VectorXd::Zero(f->size());
    const ActiveMap active;
    const second_order::CorotationalPhaseInput in{*f, false, 1, false, u0, active, 20, 1e-8, *held, nullptr, false};
    auto r = second_order::run_corotational_phase(v, in);
    if (!r) throw std::runtime_error(r.error());
    return *r;
  };
  const auto with_z = run(model(4.0e5));
  const auto without_z = run(model(0.0));
  EXPECT_EQ(with_z.cut_steps, 0u);
  const auto uy = static_cast<Eigen::Index>(dof_index(9, 1));
  const auto uz = static_cast<Eigen::Index>(dof_index(9, 2));
  // The penalty (1e10 x the largest diagonal) lets the held DOF move by 1e-10 of the load
  // over the stiffness; the bending in Y is then the same to the convergence tolerance.
  EXPECT_NEAR(with_z.u[uz], 0.0, 1e-9);
  EXPECT_NEAR(with_z.u[uy], without_z.u[uy], 1e-6 * std::abs(without_z.u[uy]));
}

// ---- member loads on the deformed geometry ---------------------------------------------------

using varn::test::line_load;

struct LoadGeometryCase {
  const char* name;
  MemberType type;
  Eigen::Vector3d end;  // start at the origin
  double q_s, q_e, s, e;
  std::array<double, 3> dir;
};

class DeformedLoads : public ::testing::TestWithParam<LoadGeometryCase> {};

VARN loaded_member(const LoadGeometryCase& c, const Eigen::Vector3d& start, const Eigen::Vector3d& end) {
  VARN v = empty_model(beam_props());
  v.member_sets.front().members.push_back(global_test::member(1, global_test::node(1, start.x(), start.y(), start.z()),
                                                              global_test::node(2, end.x(), end.y(), end.z()), c.type));
  LoadCase& lc = global_test::load_case(v, 1);
  lc.distributed_loads.push_back(line_load(1, 1, c.q_s, c.q_e, c.dir, c.s, c.e));
  return v;
}

// At zero displacement the deformed loads are the undeformed ones to the last bit, for every
// member type: the phase starts from exactly the load vector of the load steps.
TEST_P(DeformedLoads, AtRestEqualTheUndeformedLoads) {
  const auto& c = GetParam();
  const VARN v = loaded_member(c, Eigen::Vector3d::Zero(), c.end);
  auto f0 = v.assemble_equiv_forces_original(false, 1);
  ASSERT_TRUE(f0) << f0.error();
  auto fd = v.assemble_equiv_forces_deformed(1, Eigen::VectorXd::Zero(f0->size()));
  ASSERT_TRUE(fd) << fd.error();
  ASSERT_GT(f0->norm(), 0.0);
  for (Eigen::Index i = 0; i < f0->size(); ++i) EXPECT_EQ((*fd)[i], (*f0)[i]) << "DOF " << i;
  // And they are the member-load part of the case's load vector.
  auto f = v.assemble_load_vector_for_case(1);
  ASSERT_TRUE(f) << f.error();
  for (Eigen::Index i = 0; i < f0->size(); ++i) EXPECT_EQ((*f)[i], (*f0)[i]) << "DOF " << i;
}

// Moved by u, the load acts on the member as it would on a member built in the moved position:
// the same intensity per unit length of the chord, in its own global direction. A stretched
// chord carries more load (the total force is the intensity times the chord), and a bar keeps
// to forces only in every position.
TEST_P(DeformedLoads, FollowTheMovedChord) {
  const auto& c = GetParam();
  const VARN v = loaded_member(c, Eigen::Vector3d::Zero(), c.end);
  const Eigen::Vector3d us(0.25, -0.5, 0.125);
  const Eigen::Vector3d ue(-1.5, 2.0, 0.75);
  Eigen::VectorXd u = Eigen::VectorXd::Zero(14);
  u.segment<3>(0) = us;
  u.segment<3>(7) = ue;
  u[5] = 0.3;  // rotations do not move the chord
  auto fd = v.assemble_equiv_forces_deformed(1, u);
  ASSERT_TRUE(fd) << fd.error();

  const VARN moved = loaded_member(c, us, Eigen::Vector3d(c.end + ue));
  auto fm = moved.assemble_equiv_forces_original(false, 1);
  ASSERT_TRUE(fm) << fm.error();
  for (Eigen::Index i = 0; i < fm->size(); ++i) EXPECT_EQ((*fd)[i], (*fm)[i]) << "DOF " << i;

  const double chord = (c.end + ue - us).norm();
  const Eigen::Vector3d w(c.dir[0], c.dir[1], c.dir[2]);
  const Eigen::Vector3d total = 0.5 * (c.q_s + c.q_e) * (c.e - c.s) * chord * w;
  const Eigen::Vector3d sum = fd->segment<3>(0) + fd->segment<3>(7);
  // Sums of two end values of the size of the total: round-off of a few ulps.
  EXPECT_NEAR((sum - total).norm(), 0.0, 1e-12 * total.norm());
  if (is_truss_type(c.type)) {
    EXPECT_EQ(fd->segment<3>(3).norm(), 0.0);
    EXPECT_EQ(fd->segment<3>(10).norm(), 0.0);
  }
}

INSTANTIATE_TEST_SUITE_P(
    MemberTypes, DeformedLoads,
    ::testing::Values(
        LoadGeometryCase{"NormalUniform", MemberType::Normal, {4.0, 0.0, 0.0}, 10.0, 10.0, 0.0, 1.0, {0.0, -1.0, 0.0}},
        LoadGeometryCase{"NormalPartialTrapezoid", MemberType::Normal, {3.0, 1.0, 2.0}, 5.0, 12.0, 0.2, 0.7, {0.0, 0.0, -2.0}},
        LoadGeometryCase{"RigidTriangle", MemberType::Rigid, {0.0, 2.0, 1.0}, 0.0, 8.0, 0.0, 1.0, {1.0, 0.0, -1.0}},
        LoadGeometryCase{"TrussUniform", MemberType::Truss, {4.0, 0.0, 0.0}, 10.0, 10.0, 0.0, 1.0, {0.0, -1.0, 0.0}},
        LoadGeometryCase{"TensionPartial", MemberType::Tension, {2.0, 2.0, 0.0}, 3.0, 6.0, 0.1, 0.6, {0.0, 0.0, -1.0}},
        LoadGeometryCase{"CompressionTrapezoid", MemberType::Compression, {0.0, 0.0, 3.0}, 7.0, 1.0, 0.0, 1.0, {1.0, 1.0, 0.0}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(DeformedLoads, CombinationsAndCasesWithoutMemberLoadsGiveZeros) {
  LoadGeometryCase c{"", MemberType::Normal, {4.0, 0.0, 0.0}, 10.0, 10.0, 0.0, 1.0, {0.0, -1.0, 0.0}};
  const VARN v = loaded_member(c, Eigen::Vector3d::Zero(), c.end);
  auto combo = v.assemble_equiv_forces_original(true, 1);
  ASSERT_TRUE(combo);
  EXPECT_EQ(combo->size(), 14);
  EXPECT_EQ(combo->norm(), 0.0);
  auto other = v.assemble_equiv_forces_deformed(2, Eigen::VectorXd::Ones(14));
  ASSERT_TRUE(other);
  EXPECT_EQ(other->norm(), 0.0);
  EXPECT_TRUE(second_order::load_case_has_distributed_loads(v, false, 1));
  EXPECT_FALSE(second_order::load_case_has_distributed_loads(v, true, 1));
  EXPECT_FALSE(second_order::load_case_has_distributed_loads(v, false, 2));
}

}  // namespace
