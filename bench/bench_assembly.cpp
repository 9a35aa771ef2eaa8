// Global assembly and constrained solve of a generated steel space frame of 10,000 members:
// the elastic stiffness (element loop, triplets, compressed matrix) on one thread and on all
// threads, the supported factorisation and solve, and the same frame with one rigid link solved
// through the rigid elimination, with the process's peak resident memory.
//
//   bench_assembly [members] [repetitions]      default 10000, 3
#include <sys/resource.h>
#include <tbb/global_control.h>
#include <tbb/info.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

#include "functions/geometry.h"
#include "models/varn/varn.h"

namespace {

using namespace varn;
using Clock = std::chrono::steady_clock;

double seconds_since(Clock::time_point t0) { return std::chrono::duration<double>(Clock::now() - t0).count(); }

double median_of(int reps, const std::function<void()>& f) {
  std::vector<double> t;
  for (int i = 0; i < reps; ++i) {
    const auto t0 = Clock::now();
    f();
    t.push_back(seconds_since(t0));
  }
  std::sort(t.begin(), t.end());
  return t[t.size() / 2];
}

double peak_rss_mb() {
  rusage ru{};
  getrusage(RUSAGE_SELF, &ru);
  return static_cast<double>(ru.ru_maxrss) / 1024.0;  // kilobytes on Linux
}

// A rectangular multi-storey frame: columns on a 12 x 12 grid, beams both ways on every floor,
// base nodes clamped, a lateral and a vertical load at every top node.
VARN space_frame(std::size_t target_members) {
  VARN v;
  Material steel;
  steel.id = 1;
  steel.e_mod = 2.1e11;
  steel.g_mod = 8.1e10;
  v.materials.push_back(steel);
  Section s;
  s.id = 1;
  s.material = 1;
  s.area = 5.38e-3;
  s.i_y = 8.36e-5;
  s.i_z = 6.04e-6;
  s.j = 2.01e-7;
  s.a_sy = 2.6e-3;
  s.a_sz = 1.9e-3;
  v.sections.push_back(s);
  NodalSupport clamp;
  clamp.id = 1;
  v.nodal_supports.push_back(clamp);
  v.member_sets.emplace_back();
  v.member_sets.back().id = 1;
  auto& ms = v.member_sets.back().members;

  const int nx = 12, ny = 12;
  auto id = [&](int i, int j, int k) { return static_cast<std::uint32_t>((k * ny + j) * nx + i + 1); };
  auto at = [&](int i, int j, int k) {
    Node n{id(i, j, k), 6.0 * i, 5.0 * j, 3.5 * k, std::nullopt};
    if (k == 0) n.nodal_support = 1;
    return n;
  };
  auto add = [&](const Node& a, const Node& b) {
    if (ms.size() >= target_members) return;
    Member m;
    m.id = static_cast<std::uint32_t>(ms.size() + 1);
    m.start_node = a;
    m.end_node = b;
    m.section = 1;
    ms.push_back(m);
  };
  int top = 0;
  for (int k = 1; ms.size() < target_members; ++k) {
    for (int j = 0; j < ny && ms.size() < target_members; ++j)
      for (int i = 0; i < nx && ms.size() < target_members; ++i) {
        add(at(i, j, k - 1), at(i, j, k));
        if (i > 0) add(at(i - 1, j, k), at(i, j, k));
        if (j > 0) add(at(i, j - 1, k), at(i, j, k));
      }
    top = k;
  }
  LoadCase lc;
  lc.id = 1;
  lc.name = "wind+dead";
  for (const auto& m : ms) {
    if (m.end_node.Z < 3.5 * top - 1e-9) continue;
    NodalLoad l;
    l.node = m.end_node.id;
    l.load_case = 1;
    l.magnitude = 1e3;
    l.direction = {1.0, 0.0, -2.0};
    lc.nodal_loads.push_back(l);
  }
  v.load_cases.push_back(lc);
  return v;
}

}  // namespace

int main(int argc, char** argv) {
  const std::size_t members = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 10000;
  const int reps = argc > 2 ? std::atoi(argv[2]) : 3;
  init_blas_single_thread();

  const VARN frame = space_frame(members);
  const std::size_t n = compute_num_dofs_from_members(frame.member_sets);
  std::printf("space frame: %zu members, %zu DOFs, %d threads available\n", frame.get_member_count(), n,
              tbb::info::default_concurrency());

  std::size_t nnz = 0;
  auto assemble = [&] {
    auto k = frame.assemble_global_stiffness_matrix_sparse(ActiveMap{});
    if (!k) {
      std::fprintf(stderr, "assembly failed: %s\n", k.error().c_str());
      std::exit(1);
    }
    nnz = static_cast<std::size_t>(k->nonZeros());
  };
  double t_one = 0.0;
  {
    tbb::global_control one(tbb::global_control::max_allowed_parallelism, 1);
    t_one = median_of(reps, assemble);
  }
  const double t_all = median_of(reps, assemble);
  std::printf("assembly (elements, triplets, CSC; %zu stored entries): 1 thread %.3f s, all threads %.3f s\n", nnz,
              t_one, t_all);

  // Supported solve on the sparse path.
  auto k = frame.build_operator_with_supports_sparse_internal(ActiveMap{}, nullptr);
  auto f = frame.assemble_load_vector_for_case(1);
  auto dofs = frame.collect_constrained_dofs_full();
  if (!k || !f || !dofs) {
    std::fprintf(stderr, "setup failed\n");
    return 1;
  }
  double tip = 0.0;
  const double t_solve = median_of(reps, [&] {
    auto u = frame.solve_constrained_linear_system(*k, *f, *dofs, nullptr, "singular");
    if (!u) {
      std::fprintf(stderr, "solve failed: %s\n", u.error().c_str());
      std::exit(1);
    }
    tip = u->maxCoeff();
  });
  std::printf("constrained factorisation + solve (%zu held DOFs): %.3f s, largest displacement %.4e m\n",
              dofs->size(), t_solve, tip);
  std::printf("peak RSS so far: %.1f MB\n", peak_rss_mb());

  // One rigid link: a bracket hung from the last top node, loaded at its tip.
  VARN linked = frame;
  const Member& last = linked.member_sets.back().members.back();
  Node master = last.end_node;
  Node bracket{static_cast<std::uint32_t>(n / 7 + 1), master.X + 0.4, master.Y + 0.3, master.Z - 0.2, std::nullopt};
  Member rigid;
  rigid.id = static_cast<std::uint32_t>(linked.get_member_count() + 1);
  rigid.member_type = MemberType::Rigid;
  rigid.start_node = master;
  rigid.end_node = bracket;
  linked.member_sets.back().members.push_back(rigid);
  NodalLoad l;
  l.node = bracket.id;
  l.load_case = 1;
  l.magnitude = 5e3;
  l.direction = {0.0, 1.0, -1.0};
  linked.load_cases.front().nodal_loads.push_back(l);

  const auto t0 = Clock::now();
  auto elim = linked.build_rigid_elimination_partial_using_hinges();
  const double t_elim = seconds_since(t0);
  auto kl = linked.build_operator_with_supports_sparse_internal(ActiveMap{}, nullptr);
  auto fl = linked.assemble_load_vector_for_case(1);
  if (!elim || !kl || !fl) {
    std::fprintf(stderr, "rigid setup failed\n");
    return 1;
  }
  const auto t1 = Clock::now();
  auto ul = linked.solve_constrained_linear_system(*kl, *fl, {}, &*elim, "singular");
  const double t_reduced = seconds_since(t1);
  if (!ul) {
    std::fprintf(stderr, "rigid solve failed: %s\n", ul.error().c_str());
    return 1;
  }
  const double dense_gb = static_cast<double>(elim->n) * static_cast<double>(elim->n_r) * 8.0 / 1e9;
  std::printf("one rigid link: C %zu x %zu with %lld entries (dense it would take %.1f GB)\n", elim->n, elim->n_r,
              static_cast<long long>(elim->c.nonZeros()), dense_gb);
  std::printf("  elimination %.3f s, reduction + supports + factorisation + solve %.3f s, bracket uz %.4e m\n",
              t_elim, t_reduced, (*ul)[static_cast<Eigen::Index>(7 * (bracket.id - 1) + 2)]);
  std::printf("peak RSS: %.1f MB\n", peak_rss_mb());
  return 0;
}
