#include "functions/rigid_graph.h"

#include <algorithm>
#include <string>

#include "models/members/memberset.h"

namespace varn {

namespace {
// Longest walk from a master to its root before a chain is taken for a loop that slipped
// past the cycle test. It also bounds the cost of one insertion.
constexpr std::size_t kMaxChainHops = 100001;
}  // namespace

Expected<RigidGraph> RigidGraph::build(const std::vector<MemberSet>& member_sets) {
  RigidGraph g;
  for (const auto& set : member_sets) {
    for (const auto& member : set.members) {
      if (member.member_type != MemberType::Rigid) continue;
      const std::uint32_t m = member.start_node.id;
      const std::uint32_t s = member.end_node.id;
      const Eigen::Vector3d offset = member.end_position() - member.start_position();
      if (offset.squaredNorm() < 1e-24) {
        return fail("Rigid member " + std::to_string(member.id) + " has zero length.");
      }
      // A link from a node to itself would make the node its own master: the depth walk
      // would never end and the elimination would express a DOF through itself.
      if (m == s) {
        return fail("Rigid member " + std::to_string(member.id) + " links node " + std::to_string(s) +
                    " to itself.");
      }
      if (g.parent_.count(s) != 0) {
        return fail("Node " + std::to_string(s) + " is slave in multiple rigid links.");
      }
      // The new link closes a cycle exactly when the slave is already an ancestor of the master.
      std::uint32_t c = m;
      std::size_t hops = 0;
      for (auto it = g.parent_.find(c); it != g.parent_.end(); it = g.parent_.find(c)) {
        const std::uint32_t p = it->second.first;
        if (p == s) return fail("Rigid cycle detected involving node " + std::to_string(s) + ".");
        if (++hops >= kMaxChainHops) return fail("Rigid chain too long (suspected loop).");
        c = p;
      }
      g.parent_.emplace(s, std::make_pair(m, offset));
      g.edges_.push_back(RigidEdge{offset, m, s});
    }
  }
  return g;
}

std::size_t RigidGraph::depth_of(std::uint32_t node) const {
  std::size_t d = 0;
  for (auto it = parent_.find(node); it != parent_.end(); it = parent_.find(node)) {
    node = it->second.first;
    ++d;
  }
  return d;
}

namespace {
// Stable sort of the edges by a depth key computed once per edge; equal keys keep build order.
template <class Key, class Less>
std::vector<RigidEdge> sorted_by_depth(const std::vector<RigidEdge>& edges, Key key, Less less) {
  std::vector<std::pair<std::size_t, RigidEdge>> keyed;
  keyed.reserve(edges.size());
  for (const auto& e : edges) keyed.emplace_back(key(e), e);
  std::stable_sort(keyed.begin(), keyed.end(),
                   [&](const auto& a, const auto& b) { return less(a.first, b.first); });
  std::vector<RigidEdge> out;
  out.reserve(keyed.size());
  for (auto& k : keyed) out.push_back(k.second);
  return out;
}
}  // namespace

std::vector<RigidEdge> RigidGraph::edges_sorted_master_first() const {
  return sorted_by_depth(
      edges_, [this](const RigidEdge& e) { return depth_of(e.master); }, std::less<std::size_t>());
}

std::vector<RigidEdge> RigidGraph::edges_sorted_child_first() const {
  return sorted_by_depth(
      edges_, [this](const RigidEdge& e) { return depth_of(e.slave); }, std::greater<std::size_t>());
}

}  // namespace varn
