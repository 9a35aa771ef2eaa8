#pragma once
// Rigid links as a forest: every member of type Rigid hangs its end node (the slave) under
// its start node (the master) with the constant offset between them. Chains are allowed, a
// node is the slave of at most one link, and cycles are refused, so every slave has a unique
// path to the root of its tree.
#include <cstddef>
#include <cstdint>
#include <map>
#include <utility>
#include <vector>

#include <Eigen/Dense>

#include "expected.h"

namespace varn {

struct MemberSet;

struct RigidEdge {
  Eigen::Vector3d offset = Eigen::Vector3d::Zero();  // slave position - master position [m]
  std::uint32_t master = 0;
  std::uint32_t slave = 0;
};

class RigidGraph {
 public:
  // Collects the rigid members of all member sets (set order, then member order). Fails with
  // the first fault met: a link of zero length, a node that is slave twice, a link that closes
  // a cycle, a chain deeper than the walk allows, or a link from a node to itself.
  static Expected<RigidGraph> build(const std::vector<MemberSet>& member_sets);

  // Slave-to-master hops from the node up to the root of its tree; 0 for a root or a node
  // that no link touches.
  std::size_t depth_of(std::uint32_t node) const;

  // Copies of the edges, stably sorted. Master-first: by ascending depth of the master, so a
  // master's own motion is known before the links that hang from it. Child-first: by
  // descending depth of the slave, so forces travel from the leaves towards the roots.
  std::vector<RigidEdge> edges_sorted_master_first() const;
  std::vector<RigidEdge> edges_sorted_child_first() const;

  // The edges in build order.
  const std::vector<RigidEdge>& edges() const { return edges_; }
  // slave id -> (master id, offset).
  const std::map<std::uint32_t, std::pair<std::uint32_t, Eigen::Vector3d>>& parent_map() const { return parent_; }
  bool is_slave(std::uint32_t node) const { return parent_.count(node) != 0; }
  bool empty() const { return edges_.empty(); }

 private:
  std::map<std::uint32_t, std::pair<std::uint32_t, Eigen::Vector3d>> parent_;
  std::vector<RigidEdge> edges_;
};

}  // namespace varn
