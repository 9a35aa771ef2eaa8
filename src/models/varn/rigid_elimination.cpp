// Rigid links eliminated by the multi-point constraint u_s = T(r)·u_m: the slave DOFs leave the
// system, their stiffness and loads are carried to the master through C, and the reduced
// system Cᵀ·K·C is solved on the retained DOFs only.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <unordered_set>
#include <utility>
#include <vector>

#include "fatal.h"
#include "functions/geometry.h"
#include "functions/rigid_graph.h"
#include "functions/support_utils.h"
#include "models/varn/rigid_elimination.h"
#include "models/varn/varn.h"

namespace varn {

namespace {

[[noreturn]] void out_of_bounds() { fatal("Matrix index out of bounds."); }

// Sums the (column, value) pairs of one row in column order; exact zeros (also from
// cancellation) are not kept, so the row holds only the DOFs the slave really follows.
SparseRow compact_row(std::vector<std::pair<std::size_t, double>> entries) {
  std::stable_sort(entries.begin(), entries.end(),
                   [](const auto& a, const auto& b) { return a.first < b.first; });
  SparseRow out;
  out.reserve(entries.size());
  for (std::size_t i = 0; i < entries.size();) {
    const std::size_t col = entries[i].first;
    double sum = 0.0;
    for (; i < entries.size() && entries[i].first == col; ++i) sum += entries[i].second;
    if (sum != 0.0) out.emplace_back(col, sum);
  }
  return out;
}

// Depth of every node in the forest of oriented links (slave -> master).
std::size_t oriented_depth(const std::map<std::uint32_t, std::uint32_t>& master_of, std::uint32_t node) {
  std::size_t d = 0;
  for (auto it = master_of.find(node); it != master_of.end(); it = master_of.find(it->second)) {
    ++d;
    // The oriented links form a forest (each node has at most one master and the undirected
    // graph has no cycle), so the walk ends after at most one hop per link.
    if (d > master_of.size()) fatal("rigid links oriented into a cycle");
  }
  return d;
}

// Rigid members modelled as stiff beams: every DOF is its own reduced DOF.
RigidElimination identity_elimination(std::size_t n) {
  const auto ni = static_cast<std::int64_t>(n);
  RigidElimination e;
  e.n = n;
  e.n_r = n;
  e.reduced_index.resize(n);
  for (std::size_t d = 0; d < n; ++d) e.reduced_index[d] = static_cast<std::int64_t>(d);
  e.c = SparseMatrix(ni, ni);
  e.c.setIdentity();
  e.c_by_row = e.c;
  e.identity = true;
  return e;
}

// The rigid links of the model, each slave following its master, ordered so that every
// master's rows are complete before a link that hangs from it uses them. Orientation: a link
// whose slave is held (by a support or by an elastic member) while its master hangs free is
// turned round, so that the free node follows the held one.
Expected<std::vector<RigidInfo>> oriented_links(const VARN& model) {
  auto graph = RigidGraph::build(model.member_sets);
  if (!graph) return fail(graph.error());
  std::vector<RigidInfo> links;
  for (const RigidEdge& edge : graph->edges_sorted_master_first()) {
    links.push_back(RigidInfo{edge.offset, edge.master, edge.slave});
  }

  std::unordered_set<std::uint32_t> anchored;
  const SupportsById supports = supports_by_id(model.nodal_supports);
  for (const auto& set : model.member_sets) {
    for (const auto& m : set.members) {
      for (const Node* node : {&m.start_node, &m.end_node}) {
        if (m.member_type != MemberType::Rigid) anchored.insert(node->id);
        if (node->nodal_support && supports.count(*node->nodal_support)) anchored.insert(node->id);
      }
    }
  }
  for (RigidInfo& link : links) {
    if (anchored.count(link.slave) && !anchored.count(link.master)) {
      std::swap(link.master, link.slave);
      link.r = -link.r;
    }
  }
  // A turned link can give a node a second master (the middle node of a chain held at its
  // far end only). Its motion would then be the sum of two rigid-body motions, which no
  // rigid body performs: refuse the model rather than build a wrong constraint.
  std::map<std::uint32_t, std::uint32_t> master_of;
  for (const RigidInfo& link : links) {
    if (!master_of.emplace(link.slave, link.master).second) {
      return fail("Node " + std::to_string(link.slave) +
                  " is slave of two rigid links once the links are oriented towards the supported nodes; "
                  "a node can follow one master only.");
    }
  }
  // Turning links changes the depths: order them again.
  std::vector<std::size_t> depth(links.size());
  for (std::size_t i = 0; i < links.size(); ++i) depth[i] = oriented_depth(master_of, links[i].master);
  std::vector<std::size_t> order(links.size());
  for (std::size_t i = 0; i < order.size(); ++i) order[i] = i;
  std::stable_sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) { return depth[a] < depth[b]; });
  std::vector<RigidInfo> sorted;
  sorted.reserve(links.size());
  for (std::size_t i : order) sorted.push_back(links[i]);
  return sorted;
}

// Dropped DOFs (per global DOF): every slave DOF, and every zero-energy DOF except at masters
// (a master's free DOF may be stiffened through its slaves).
std::vector<char> dropped_dofs(const VARN& model, const std::vector<RigidInfo>& links, std::size_t n) {
  std::vector<char> dropped(n, 0);
  std::set<std::uint32_t> masters;
  for (const RigidInfo& link : links) {
    masters.insert(link.master);
    for (std::size_t k = 0; k < kDofsPerNode; ++k) {
      const std::size_t d = dof_index(link.slave, k);
      if (d >= n) out_of_bounds();
      dropped[d] = 1;
    }
  }
  for (std::size_t d : detect_zero_energy_dofs(model.member_sets, model.nodal_supports, model.load_cases,
                                               model.memberhinges, model.settings.analysis_options.rigid_strategy)) {
    const auto node = static_cast<std::uint32_t>(d / kDofsPerNode + 1);
    if (d < n && !masters.count(node)) dropped[d] = 1;
  }
  return dropped;
}

// The reduced index of every retained DOF (-1 for a dropped one), numbered in the order the
// member ends are met.
std::vector<std::int64_t> retained_numbering(const VARN& model, const std::vector<char>& dropped) {
  const std::size_t n = dropped.size();
  std::vector<std::int64_t> reduced_index(n, -1);
  std::int64_t next = 0;
  for (const auto& set : model.member_sets) {
    for (const auto& m : set.members) {
      for (const Node* node : {&m.start_node, &m.end_node}) {
        for (std::size_t k = 0; k < kDofsPerNode; ++k) {
          const std::size_t d = dof_index(node->id, k);
          if (d >= n) out_of_bounds();
          if (!dropped[d] && reduced_index[d] < 0) reduced_index[d] = next++;
        }
      }
    }
  }
  return reduced_index;
}

// C of u = C·u_r: a unit row per retained DOF, then the slaves' rows composed link by link
// (in the links' order, masters first).
SparseMatrix constraint_matrix(const std::vector<RigidInfo>& links, const std::vector<std::int64_t>& reduced_index,
                               std::size_t n_r) {
  const std::size_t n = reduced_index.size();
  std::vector<SparseRow> rows(n);
  for (std::size_t d = 0; d < n; ++d) {
    if (reduced_index[d] >= 0) rows[d] = {{static_cast<std::size_t>(reduced_index[d]), 1.0}};
  }
  for (const RigidInfo& link : links) {
    const RigidTransform t = VARN::rigid_map_c(link.r);
    for (std::size_t i = 0; i < kDofsPerNode; ++i) {
      const std::size_t ds = dof_index(link.slave, i);
      std::vector<std::pair<std::size_t, double>> acc(rows[ds].begin(), rows[ds].end());
      for (std::size_t k = 0; k < kDofsPerNode; ++k) {
        const double tik = t(static_cast<Eigen::Index>(i), static_cast<Eigen::Index>(k));
        if (tik == 0.0) continue;
        const std::size_t dm = dof_index(link.master, k);
        if (dm >= n) out_of_bounds();
        for (const auto& [col, v] : rows[dm]) acc.emplace_back(col, tik * v);
      }
      rows[ds] = compact_row(std::move(acc));
    }
  }

  std::vector<Eigen::Triplet<double, std::int64_t>> triplets;
  triplets.reserve(n + 6 * links.size() * kDofsPerNode);
  for (std::size_t d = 0; d < n; ++d) {
    for (const auto& [col, v] : rows[d]) {
      triplets.emplace_back(static_cast<std::int64_t>(d), static_cast<std::int64_t>(col), v);
    }
  }
  SparseMatrix c(static_cast<std::int64_t>(n), static_cast<std::int64_t>(n_r));
  c.setFromTriplets(triplets.begin(), triplets.end());
  c.makeCompressed();
  return c;
}

}  // namespace

SparseRow RigidElimination::row(std::size_t dof) const {
  if (dof >= static_cast<std::size_t>(c_by_row.rows())) out_of_bounds();
  SparseRow out;
  for (decltype(c_by_row)::InnerIterator it(c_by_row, static_cast<std::int64_t>(dof)); it; ++it) {
    if (it.value() != 0.0) out.emplace_back(static_cast<std::size_t>(it.col()), it.value());
  }
  return out;
}

bool VARN::needs_dense_rigid_path() const {
  return has_rigid_members() && settings.analysis_options.rigid_strategy != RigidStrategy::RigidMember;
}

RigidTransform VARN::rigid_map_c(const Eigen::Vector3d& r) {
  // u_s = u_m + θ_m × r: the translation rows carry the skew matrix of -r on the master
  // rotations; rotations and warping are copied.
  RigidTransform t = RigidTransform::Identity();
  t(0, 4) = r.z();
  t(0, 5) = -r.y();
  t(1, 3) = -r.z();
  t(1, 5) = r.x();
  t(2, 3) = r.y();
  t(2, 4) = -r.x();
  return t;
}

Expected<RigidElimination> VARN::build_rigid_elimination_partial_using_hinges() const {
  if (auto ids = validate_node_ids(); !ids) return fail(ids.error());
  const std::size_t n = compute_num_dofs_from_members(member_sets);
  // Rigid members are stiff beams: nothing is eliminated.
  if (settings.analysis_options.rigid_strategy == RigidStrategy::RigidMember) return identity_elimination(n);

  auto links = oriented_links(*this);
  if (!links) return fail(links.error());
  RigidElimination e;
  e.n = n;
  e.reduced_index = retained_numbering(*this, dropped_dofs(*this, *links, n));
  e.n_r = static_cast<std::size_t>(std::count_if(e.reduced_index.begin(), e.reduced_index.end(),
                                                 [](std::int64_t r) { return r >= 0; }));
  e.c = constraint_matrix(*links, e.reduced_index, e.n_r);
  e.c_by_row = e.c;
  e.links = std::move(*links);

  e.identity = e.n_r == n;
  for (std::size_t d = 0; e.identity && d < n; ++d) e.identity = e.reduced_index[d] == static_cast<std::int64_t>(d);
  return e;
}

ReducedSystem VARN::reduce_system_sparse_internal(const SparseMatrix& k, const Eigen::VectorXd& f,
                                                  const RigidElimination& elimination) {
  const auto n = static_cast<Eigen::Index>(elimination.n);
  if (k.rows() != n || k.cols() != n || f.size() != n) {
    fatal("reduce_system_sparse_internal: the system is " + std::to_string(k.rows()) + "x" +
          std::to_string(k.cols()) + " with a load vector of " + std::to_string(f.size()) +
          " entries, the elimination expects " + std::to_string(elimination.n));
  }
  if (elimination.identity) return ReducedSystem{k, f};
  const SparseMatrix ct = elimination.c.transpose();
  const SparseMatrix kc = k * elimination.c;
  ReducedSystem out;
  out.k = ct * kc;
  out.k.makeCompressed();
  out.f = ct * f;
  return out;
}

Eigen::VectorXd VARN::expand_solution(const RigidElimination& elimination, const Eigen::VectorXd& u_r) {
  if (u_r.size() != static_cast<Eigen::Index>(elimination.n_r)) {
    fatal("expand_solution: the reduced vector has " + std::to_string(u_r.size()) + " entries, the elimination " +
          std::to_string(elimination.n_r));
  }
  if (elimination.identity) return u_r;
  return elimination.c * u_r;
}

ReducedFactor ReducedFactor::factorize(const VARN& model, const SparseMatrix& k, const SparseMatrix* k_u,
                                       const RigidElimination& elimination, const SupportState& released) {
  ReducedFactor out;
  const Eigen::VectorXd none = Eigen::VectorXd::Zero(k.rows());
  SparseMatrix k_r = VARN::reduce_system_sparse_internal(k, none, elimination).k;
  out.fixed = model.apply_boundary_conditions_to_k_only(elimination, k_r, released);
  if (k_u != nullptr) {
    SparseMatrix t = VARN::reduce_system_sparse_internal(*k_u, none, elimination).k;
    (void)model.apply_boundary_conditions_to_k_only(elimination, t, released);
    out.unstabilised = std::move(t);
  }
  if (k_r.rows() > 0) out.solver.factorize(k_r, {});
  return out;
}

std::optional<Eigen::VectorXd> ReducedFactor::solve(const RigidElimination& elimination,
                                                    const Eigen::VectorXd& f) const {
  if (static_cast<std::size_t>(f.size()) != elimination.n) {
    fatal("reduced solve: load vector of " + std::to_string(f.size()) + " entries, elimination of " +
          std::to_string(elimination.n));
  }
  if (elimination.n_r == 0) return VARN::expand_solution(elimination, Eigen::VectorXd());
  Eigen::VectorXd f_r = elimination.identity ? Eigen::VectorXd(f) : Eigen::VectorXd(elimination.c.transpose() * f);
  // Exactly held DOFs carry a unit diagonal in K_r: a zero load keeps them at rest.
  f_r = without_held_loads(f_r, fixed);
  std::optional<Eigen::MatrixXd> x = solver.solve(f_r);
  if (!x) return std::nullopt;
  if (unstabilised) {
    if (auto carried = solver.solve_towards(*unstabilised, f_r, *x)) x = std::move(carried);
  }
  return VARN::expand_solution(elimination, x->col(0));
}

}  // namespace varn
