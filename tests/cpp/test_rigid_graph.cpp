#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "functions/rigid_graph.h"
#include "models/members/memberset.h"
#include "recovery_test_support.h"

using namespace varn;
using namespace varn::test;

namespace {

Member link(std::uint32_t id, Node a, Node b, MemberType t = MemberType::Rigid) {
  return member(id, a, b, t, 1, "test");
}

std::vector<std::pair<std::uint32_t, std::uint32_t>> pairs(const std::vector<RigidEdge>& edges) {
  std::vector<std::pair<std::uint32_t, std::uint32_t>> out;
  for (const auto& e : edges) out.emplace_back(e.master, e.slave);
  return out;
}

using Pairs = std::vector<std::pair<std::uint32_t, std::uint32_t>>;

const Node A = node(1, 0, 0, 0);
const Node B = node(2, 1, 0, 0);
const Node C = node(3, 1, 2, 0);
const Node D = node(4, 1, 2, 3);

}  // namespace

TEST(RigidGraph, ModelWithoutRigidMembersGivesEmptyGraph) {
  auto g = RigidGraph::build(sets_of({link(1, A, B, MemberType::Normal), link(2, B, C, MemberType::Truss)}));
  ASSERT_TRUE(g) << g.error();
  EXPECT_TRUE(g->empty());
  EXPECT_TRUE(g->edges_sorted_master_first().empty());
  EXPECT_TRUE(g->edges_sorted_child_first().empty());
  EXPECT_EQ(g->depth_of(1), 0u);
  EXPECT_EQ(g->depth_of(99), 0u);
}

TEST(RigidGraph, EmptyModel) {
  auto g = RigidGraph::build({});
  ASSERT_TRUE(g);
  EXPECT_TRUE(g->empty());
}

TEST(RigidGraph, ChainDepthsAndOrdersDoNotDependOnBuildOrder) {
  // Build order B->C before A->B: the sorted lists must still put the root link first
  // (master-first) and the deepest link first (child-first).
  auto g = RigidGraph::build(sets_of({link(10, B, C), link(11, A, B)}));
  ASSERT_TRUE(g) << g.error();
  EXPECT_EQ(g->depth_of(1), 0u);
  EXPECT_EQ(g->depth_of(2), 1u);
  EXPECT_EQ(g->depth_of(3), 2u);
  EXPECT_EQ(pairs(g->edges()), (Pairs{{2, 3}, {1, 2}}));
  EXPECT_EQ(pairs(g->edges_sorted_master_first()), (Pairs{{1, 2}, {2, 3}}));
  EXPECT_EQ(pairs(g->edges_sorted_child_first()), (Pairs{{2, 3}, {1, 2}}));

  // The same chain in natural order gives the same sorted lists.
  auto h = RigidGraph::build(sets_of({link(11, A, B), link(10, B, C)}));
  ASSERT_TRUE(h);
  EXPECT_EQ(pairs(h->edges_sorted_master_first()), (Pairs{{1, 2}, {2, 3}}));
  EXPECT_EQ(pairs(h->edges_sorted_child_first()), (Pairs{{2, 3}, {1, 2}}));
}

TEST(RigidGraph, OffsetIsSlaveMinusMaster) {
  auto g = RigidGraph::build(sets_of({link(1, C, D), link(2, B, A)}));
  ASSERT_TRUE(g);
  const auto& e = g->edges();
  ASSERT_EQ(e.size(), 2u);
  EXPECT_EQ(e[0].offset, Eigen::Vector3d(0, 0, 3));
  EXPECT_EQ(e[1].offset, Eigen::Vector3d(-1, 0, 0));
  const auto& parent = g->parent_map();
  ASSERT_EQ(parent.count(4), 1u);
  EXPECT_EQ(parent.at(4).first, 3u);
  EXPECT_EQ(parent.at(4).second, Eigen::Vector3d(0, 0, 3));
  EXPECT_TRUE(g->is_slave(1));
  EXPECT_FALSE(g->is_slave(2));
}

TEST(RigidGraph, SiblingsKeepBuildOrderInBothSorts) {
  // Root 1 with slaves 3 and 2 (in that build order), and 4 hanging from 3.
  auto g = RigidGraph::build(sets_of({link(1, A, C), link(2, A, B), link(3, C, D)}));
  ASSERT_TRUE(g) << g.error();
  EXPECT_EQ(g->depth_of(2), 1u);
  EXPECT_EQ(g->depth_of(3), 1u);
  EXPECT_EQ(g->depth_of(4), 2u);
  EXPECT_EQ(pairs(g->edges_sorted_master_first()), (Pairs{{1, 3}, {1, 2}, {3, 4}}));
  EXPECT_EQ(pairs(g->edges_sorted_child_first()), (Pairs{{3, 4}, {1, 3}, {1, 2}}));
}

TEST(RigidGraph, LinksAcrossMemberSetsFollowSetOrder) {
  MemberSet s1, s2;
  s1.id = 7;
  s1.members = {link(5, B, C)};
  s2.id = 3;
  s2.members = {link(1, A, D)};
  auto g = RigidGraph::build({s1, s2});
  ASSERT_TRUE(g);
  EXPECT_EQ(pairs(g->edges()), (Pairs{{2, 3}, {1, 4}}));
}

struct BuildFault {
  const char* name;
  std::vector<Member> members;
  std::string message;
};

void PrintTo(const BuildFault& f, std::ostream* os) { *os << f.name; }

class RigidGraphFaults : public ::testing::TestWithParam<BuildFault> {};

TEST_P(RigidGraphFaults, BuildReportsTheFault) {
  auto g = RigidGraph::build(sets_of(GetParam().members));
  ASSERT_FALSE(g);
  EXPECT_EQ(g.error(), GetParam().message);
}

INSTANTIATE_TEST_SUITE_P(
    Messages, RigidGraphFaults,
    ::testing::Values(
        BuildFault{"ZeroLength", {link(1, A, B), link(8, C, node(4, 1, 2, 0))}, "Rigid member 8 has zero length."},
        // Shorter than 1e-12 m counts as zero; 1e-11 m is a real link.
        BuildFault{"NearlyZeroLength", {link(9, A, node(2, 0, 5e-13, 0))}, "Rigid member 9 has zero length."},
        BuildFault{"SlaveTwice", {link(1, A, B), link(2, C, B)}, "Node 2 is slave in multiple rigid links."},
        BuildFault{"Cycle", {link(1, A, B), link(2, B, C), link(3, C, A)}, "Rigid cycle detected involving node 1."},
        BuildFault{"TwoNodeCycle", {link(1, A, B), link(2, B, A)}, "Rigid cycle detected involving node 1."},
        BuildFault{"SelfLink", {link(4, A, node(1, 0, 0, 1))}, "Rigid member 4 links node 1 to itself."},
        // The first fault met ends the build.
        BuildFault{"FirstFaultWins", {link(1, A, B), link(2, C, B), link(3, D, node(5, 1, 2, 3))},
                   "Node 2 is slave in multiple rigid links."}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(RigidGraph, ShortLinkAboveToleranceIsAccepted) {
  auto g = RigidGraph::build(sets_of({link(9, A, node(2, 0, 1e-11, 0))}));
  ASSERT_TRUE(g) << g.error();
  EXPECT_EQ(g->depth_of(2), 1u);
}

TEST(RigidGraph, ChainDepthLimit) {
  // A chain of 100001 links built leaf-first (each insertion walks no hops). Hanging a link
  // from a master at depth 100000 is still accepted; from the node at depth 100001 the walk
  // reaches the limit.
  constexpr std::uint32_t kLinks = 100001;
  std::vector<Member> members;
  members.reserve(kLinks + 2);
  for (std::uint32_t k = kLinks; k >= 1; --k) {
    members.push_back(link(k, node(k, k, 0, 0), node(k + 1, k + 1, 0, 0)));
  }
  members.push_back(link(kLinks + 1, node(kLinks, kLinks, 0, 0), node(kLinks + 2, kLinks, 1, 0)));
  {
    auto g = RigidGraph::build(sets_of(members));
    ASSERT_TRUE(g) << g.error();
    EXPECT_EQ(g->depth_of(kLinks + 1), kLinks);
    EXPECT_EQ(g->depth_of(kLinks + 2), kLinks);
  }
  members.push_back(link(kLinks + 2, node(kLinks + 1, kLinks + 1, 0, 0), node(kLinks + 3, kLinks + 1, 1, 0)));
  auto g = RigidGraph::build(sets_of(members));
  ASSERT_FALSE(g);
  EXPECT_EQ(g.error(), "Rigid chain too long (suspected loop).");
}
