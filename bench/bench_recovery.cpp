// Member result recovery of a generated 10,000-member building frame (beams in both
// directions on every floor, columns between floors, a line load on every beam, a hinge at
// one end of every tenth beam), on one thread and on all threads of the pool.
//
//   bench_recovery [members=10000] [repeats=5]
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>

#include <tbb/global_control.h>
#include <tbb/info.h>

#include "functions/geometry.h"
#include "models/varn/reactions.h"
#include "models/varn/member_results.h"
#include "models/varn/varn.h"

using namespace varn;

namespace {

VARN generate_frame(std::size_t target_members) {
  constexpr int kGrid = 10;  // nodes per floor along X and along Y
  constexpr double kBay = 6.0;
  constexpr double kStorey = 3.5;
  VARN v;
  Material steel;
  steel.id = 1;
  steel.e_mod = 210e9;
  steel.g_mod = 81e9;
  v.materials.push_back(steel);
  Section s;
  s.id = 1;
  s.material = 1;
  s.area = 8e-3;
  s.i_y = 2.3e-4;
  s.i_z = 1.7e-5;
  s.j = 6e-7;
  s.i_w = 1.2e-6;
  s.a_sy = 4e-3;
  s.a_sz = 3e-3;
  v.sections.push_back(s);
  MemberHinge pin;
  pin.id = 1;
  pin.rotational_release_my = 0.0;
  pin.rotational_release_mz = 0.0;
  v.memberhinges = std::vector<MemberHinge>{pin};
  NodalSupport fixed;
  fixed.id = 1;
  v.nodal_supports.push_back(fixed);

  const auto node_at = [&](int i, int j, int k) {
    Node n;
    n.id = static_cast<std::uint32_t>(1 + i + kGrid * (j + kGrid * k));
    n.X = kBay * i;
    n.Y = kBay * j;
    n.Z = kStorey * k;
    if (k == 0) n.nodal_support = 1;
    return n;
  };
  MemberSet set;
  set.id = 1;
  LoadCase lc;
  lc.id = 1;
  lc.name = "G";
  std::uint32_t id = 0;
  const auto add = [&](const Node& a, const Node& b, bool beam) {
    if (set.members.size() >= target_members) return;
    Member m;
    m.id = ++id;
    m.start_node = a;
    m.end_node = b;
    m.section = 1;
    m.member_type = MemberType::Normal;
    if (beam && id % 10 == 0) m.end_hinge = 1;
    set.members.push_back(m);
    if (beam) {
      DistributedLoad q;
      q.member = m.id;
      q.load_case = 1;
      q.magnitude = 12e3;
      q.end_magnitude = 8e3;
      q.direction = {0.0, 0.0, -1.0};
      lc.distributed_loads.push_back(q);
    }
  };
  for (int k = 0; set.members.size() < target_members; ++k) {
    for (int j = 0; j < kGrid; ++j)
      for (int i = 0; i < kGrid; ++i) add(node_at(i, j, k), node_at(i, j, k + 1), false);
    for (int j = 0; j < kGrid; ++j)
      for (int i = 0; i + 1 < kGrid; ++i) add(node_at(i, j, k + 1), node_at(i + 1, j, k + 1), true);
    for (int i = 0; i < kGrid; ++i)
      for (int j = 0; j + 1 < kGrid; ++j) add(node_at(i, j, k + 1), node_at(i, j + 1, k + 1), true);
  }
  v.member_sets.push_back(std::move(set));
  v.load_cases.push_back(std::move(lc));
  return v;
}

template <class F>
double best_ms(int repeats, F&& f) {
  double best = 1e300;
  for (int r = 0; r < repeats; ++r) {
    const auto t0 = std::chrono::steady_clock::now();
    f();
    const auto t1 = std::chrono::steady_clock::now();
    best = std::min(best, std::chrono::duration<double, std::milli>(t1 - t0).count());
  }
  return best;
}

}  // namespace

int main(int argc, char** argv) {
  const std::size_t members = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 10000;
  const int repeats = argc > 2 ? std::atoi(argv[2]) : 5;
  const VARN model = generate_frame(members);
  const auto n = static_cast<Eigen::Index>(compute_num_dofs_from_members(model.member_sets));
  // A smooth sway-and-sag field: the cost of the recovery does not depend on u being a solution.
  Eigen::VectorXd u(n);
  for (Eigen::Index i = 0; i < n; ++i) u[i] = 1e-3 * std::sin(0.001 * static_cast<double>(i) + (i % 7));

  const int all = tbb::info::default_concurrency();
  std::printf("recovery of %zu members, %ld DOFs, best of %d\n", model.get_member_count(), static_cast<long>(n),
              repeats);
  double checksum = 0.0;
  for (const int threads : {1, all}) {
    tbb::global_control limit(tbb::global_control::max_allowed_parallelism, static_cast<std::size_t>(threads));
    const double members_ms = best_ms(repeats, [&] {
      const auto r = compute_member_results_from_displacement(model, ResultType::loadcase(1), u, nullptr,
                                                              RecoveryMode::FirstOrder);
      checksum += r.rbegin()->second.section_forces[1].forces.mz;
    });
    const double reactions_ms = best_ms(repeats, [&] {
      const auto c = compose_support_reaction_vector_equilibrium(model, ResultType::loadcase(1), u, nullptr,
                                                                 RecoveryMode::FirstOrder);
      checksum += c->reactions[2];
    });
    std::printf("  %2d thread%s: member results %8.2f ms, with reactions %8.2f ms\n", threads,
                threads == 1 ? " " : "s", members_ms, reactions_ms);
  }
  std::printf("  (checksum %.6e)\n", checksum);
  return 0;
}
