#pragma once
// Equilibrium of reactions and loads, the check that every model test can make: the support
// reactions of a result set, together with every load the set applies (nodal forces and
// moments, distributed member loads), must form a zero resultant force and a zero resultant
// moment about the global origin. The load resultants are formed here in closed form from the
// load records (a trapezoidal line load: its area and its first moment), independently of the
// recovery under test. Also the equilibrium of a single member under its end forces and loads.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <map>
#include <sstream>
#include <string>

#include <Eigen/Dense>
#include <gtest/gtest.h>

#include "models/results/reactionnoderesult.h"
#include "models/results/results.h"
#include "models/varn/varn.h"

namespace varn::test {

// A force and its moment about the global origin, with the sums of the magnitudes that went
// into them (the scale a relative tolerance refers to).
struct Wrench {
  Eigen::Vector3d force = Eigen::Vector3d::Zero();
  Eigen::Vector3d moment = Eigen::Vector3d::Zero();
  double force_scale = 0.0;
  double moment_scale = 0.0;

  void add(const Eigen::Vector3d& point, const Eigen::Vector3d& f, const Eigen::Vector3d& m) {
    force += f;
    const Eigen::Vector3d mo = point.cross(f) + m;
    moment += mo;
    force_scale += f.norm();
    moment_scale += point.cross(f).norm() + m.norm();
  }
};

inline Eigen::Vector3d vec(const std::array<double, 3>& a) { return Eigen::Vector3d(a[0], a[1], a[2]); }

// The load cases of a result set with their factors, in the order they apply.
inline std::vector<std::pair<const LoadCase*, double>> factored_cases(const VARN& model, const ResultType& type) {
  std::vector<std::pair<const LoadCase*, double>> out;
  const auto find_case = [&](std::uint32_t id) -> const LoadCase* {
    for (const auto& lc : model.load_cases)
      if (lc.id == id) return &lc;
    return nullptr;
  };
  if (type.is_loadcase()) {
    if (const LoadCase* lc = find_case(type.id)) out.emplace_back(lc, 1.0);
    return out;
  }
  for (const auto& combo : model.load_combinations) {
    if (combo.id != type.id) continue;
    for (const auto& [case_id, factor] : combo.load_cases_factors)
      if (const LoadCase* lc = find_case(case_id)) out.emplace_back(lc, factor);
    break;
  }
  return out;
}

// Resultant (about the origin) of one trapezoidal line load on a member: intensity q_s at the
// fraction s rising linearly to q_e at e, along the direction d (not normalised).
// The load keeps its intensity per unit of the undeformed length; on a moved member it acts
// along the chord between the given end points `a` and `b`.
inline void add_line_load(Wrench& w, const Member& m, const DistributedLoad& load, double factor,
                          const Eigen::Vector3d& a, const Eigen::Vector3d& b) {
  const double s = load.start_frac;
  const double e = load.end_frac;
  if (std::abs(e - s) < 1e-14) return;
  const double length = (m.end_position() - m.start_position()).norm();
  const double q_s = factor * load.magnitude;
  const double q_e = factor * load.end_magnitude;
  const double area = (e - s) * (q_s + q_e) / 2.0;                                   // ∫ q dξ
  const double first = (e - s) * (q_s * (2.0 * s + e) + q_e * (s + 2.0 * e)) / 6.0;  // ∫ q ξ dξ
  const Eigen::Vector3d d = vec(load.direction);
  const Eigen::Vector3d f = length * area * d;
  // Acts at the centroid a + (first/area)·(b − a); added as the force at a plus the moment of
  // its offset, which stays finite for a self-balanced trapezoid too.
  const Eigen::Vector3d m_offset = ((b - a) * (length * first)).cross(d);
  w.add(a, f, m_offset);
}

inline void add_line_load(Wrench& w, const Member& m, const DistributedLoad& load, double factor) {
  add_line_load(w, m, load, factor, m.start_position(), m.end_position());
}

// Every distributed load of the result set that acts on member `m` (by its id).
inline Wrench member_load_resultant(const VARN& model, const Member& m, const ResultType& type) {
  Wrench w;
  for (const auto& [lc, factor] : factored_cases(model, type))
    for (const auto& load : lc->distributed_loads)
      if (load.load_case == lc->id && load.member == m.id) add_line_load(w, m, load, factor);
  return w;
}

inline std::map<std::uint32_t, Eigen::Vector3d> node_positions(const VARN& model) {
  std::map<std::uint32_t, Eigen::Vector3d> out;
  for (const auto& set : model.member_sets)
    for (const auto& m : set.members) {
      out.emplace(m.start_node.id, m.start_position());
      out.emplace(m.end_node.id, m.end_position());
    }
  return out;
}

// Node positions moved by the translations of a result set (nodes it has no entry for stay).
inline std::map<std::uint32_t, Eigen::Vector3d> deformed_node_positions(const VARN& model, const Results& results) {
  auto out = node_positions(model);
  for (auto& [id, p] : out) {
    const auto it = results.displacement_nodes.find(id);
    if (it != results.displacement_nodes.end()) p += Eigen::Vector3d(it->second.dx, it->second.dy, it->second.dz);
  }
  return out;
}

// Every load that the result set applies to the structure, acting at the given node positions
// (the undeformed ones when none are given).
inline Wrench applied_load_resultant(const VARN& model, const ResultType& type,
                                     const std::map<std::uint32_t, Eigen::Vector3d>* at = nullptr) {
  Wrench w;
  const auto positions = at != nullptr ? *at : node_positions(model);
  std::map<std::uint32_t, const Member*> members;
  for (const auto& set : model.member_sets)
    for (const auto& m : set.members) members[m.id] = &m;
  for (const auto& [lc, factor] : factored_cases(model, type)) {
    for (const auto& load : lc->nodal_loads)
      w.add(positions.at(load.node), factor * load.magnitude * vec(load.direction), Eigen::Vector3d::Zero());
    for (const auto& moment : lc->nodal_moments)
      w.add(positions.at(moment.node), Eigen::Vector3d::Zero(), factor * moment.magnitude * vec(moment.direction));
    for (const auto& load : lc->distributed_loads) {
      const auto it = members.find(load.member);
      if (load.load_case != lc->id || it == members.end()) continue;
      const Member& m = *it->second;
      add_line_load(w, m, load, factor, positions.at(m.start_node.id), positions.at(m.end_node.id));
    }
  }
  return w;
}

inline Wrench reaction_resultant(const std::map<std::uint32_t, ReactionNodeResult>& reactions) {
  Wrench w;
  for (const auto& [id, r] : reactions) {
    const Eigen::Vector3d p(r.location.X, r.location.Y, r.location.Z);
    const NodeForces& f = r.nodal_forces;
    w.add(p, Eigen::Vector3d(f.fx, f.fy, f.fz), Eigen::Vector3d(f.mx, f.my, f.mz));
  }
  return w;
}

inline ::testing::AssertionResult wrench_sum_vanishes(const Wrench& a, const Wrench& b, double rel_tol,
                                                      const std::string& what) {
  const Eigen::Vector3d f = a.force + b.force;
  const Eigen::Vector3d m = a.moment + b.moment;
  const double f_tol = rel_tol * (a.force_scale + b.force_scale);
  const double m_tol = rel_tol * (a.moment_scale + b.moment_scale);
  if (f.norm() <= f_tol && m.norm() <= m_tol) return ::testing::AssertionSuccess();
  std::ostringstream os;
  os.precision(17);
  os << what << " out of balance: force residual (" << f.transpose() << ") |" << f.norm() << "| > " << f_tol
     << " or moment residual (" << m.transpose() << ") |" << m.norm() << "| > " << m_tol;
  return ::testing::AssertionFailure() << os.str();
}

// Reactions + applied loads = 0, forces and moments about the origin, to rel_tol of the sum of
// the magnitudes involved.
inline ::testing::AssertionResult ReactionsBalanceLoads(const VARN& model, const ResultType& type,
                                                        const std::map<std::uint32_t, ReactionNodeResult>& reactions,
                                                        double rel_tol = 1e-9) {
  return wrench_sum_vanishes(reaction_resultant(reactions), applied_load_resultant(model, type), rel_tol,
                             "reactions and loads");
}

inline ::testing::AssertionResult ReactionsBalanceLoads(const VARN& model, const Results& results,
                                                        double rel_tol = 1e-9) {
  return ReactionsBalanceLoads(model, results.result_type, results.reaction_nodes, rel_tol);
}

// What the linearised kinematics of a P-delta result leave out of its balance, relative to the
// moment scale: the largest translation over the largest node distance from the origin.
inline double linearisation_tolerance(const VARN& model, const Results& results) {
  double extent = 0.0;
  for (const auto& [id, p] : node_positions(model)) extent = std::max(extent, p.norm());
  double largest = 0.0;
  for (const auto& [id, d] : results.displacement_nodes)
    largest = std::max(largest, Eigen::Vector3d(d.dx, d.dy, d.dz).norm());
  return extent > 0.0 ? largest / extent : 0.0;
}

// The balance of a second-order result: loads and reactions act at the displaced nodes, so the
// moments are taken about the deformed positions (a column's base moment holds P·δ besides
// H·L).
inline ::testing::AssertionResult ReactionsBalanceLoadsDeformed(const VARN& model, const Results& results,
                                                                double rel_tol) {
  const auto deformed = deformed_node_positions(model, results);
  Wrench reactions;
  for (const auto& [id, r] : results.reaction_nodes) {
    const NodeForces& f = r.nodal_forces;
    reactions.add(deformed.at(id), Eigen::Vector3d(f.fx, f.fy, f.fz), Eigen::Vector3d(f.mx, f.my, f.mz));
  }
  return wrench_sum_vanishes(reactions, applied_load_resultant(model, results.result_type, &deformed), rel_tol,
                             "reactions and loads on the deformed structure");
}

// The global end forces of a member (acting on it) and its own loads balance.
inline ::testing::AssertionResult MemberInEquilibrium(const VARN& model, const Member& m, const MemberResult& r,
                                                      const ResultType& type, double rel_tol = 1e-9) {
  Wrench ends;
  const NodeForces& s = r.start_node_forces;
  const NodeForces& e = r.end_node_forces;
  ends.add(m.start_position(), Eigen::Vector3d(s.fx, s.fy, s.fz), Eigen::Vector3d(s.mx, s.my, s.mz));
  ends.add(m.end_position(), Eigen::Vector3d(e.fx, e.fy, e.fz), Eigen::Vector3d(e.mx, e.my, e.mz));
  return wrench_sum_vanishes(ends, member_load_resultant(model, m, type), rel_tol,
                             "member " + std::to_string(m.id));
}

}  // namespace varn::test
