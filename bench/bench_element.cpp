// Element loop timings on a generated space frame of 10,000 members (a lattice of steel beams
// along the three axes, every seventh member with a pinned end, bracing trusses in the base
// layer): elastic stiffness with end releases and geometric stiffness at a displacement state,
// each member's 14x14 global matrices scattered into its own triplet block, blocks joined in
// member order. Timed on one thread and on all threads (tbb::global_control), median of
// several repetitions; the full model-level assemblies (with the compressed-column build) too.
//
//   bench_element [repetitions]      default 5
//
// The scatter is dominated by first touch of fresh triplet memory: glibc serves blocks above
// its mmap threshold with new pages on every call. With MALLOC_MMAP_THRESHOLD_=4000000000
// MALLOC_TRIM_THRESHOLD_=4000000000 in the environment the pages are reused and the element
// loop costs little more than the kernels line.
#include <tbb/blocked_range.h>
#include <tbb/global_control.h>
#include <tbb/info.h>
#include <tbb/parallel_for.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <vector>

#include "functions/geometry.h"
#include "functions/hinge_and_release_operations.h"
#include "functions/sparse.h"
#include "models/varn/geometric_stiffness.h"
#include "models/varn/varn.h"

namespace {

using namespace varn;
using Clock = std::chrono::steady_clock;

constexpr std::size_t kTargetMembers = 10000;

VARN generate_frame() {
  VARN model;
  Material steel;
  steel.id = 1;
  steel.name = "S355";
  steel.e_mod = 2.1e11;
  steel.g_mod = 8.1e10;
  model.materials.push_back(steel);
  Section s;
  s.id = 1;
  s.name = "HEA200";
  s.material = 1;
  s.area = 5.38e-3;
  s.i_y = 3.69e-5;
  s.i_z = 1.34e-5;
  s.j = 2.1e-7;
  s.i_w = 1.08e-7;
  s.a_sy = 4.0e-3;
  s.a_sz = 1.2e-3;
  s.wagner_coeff = 0.1;
  model.sections.push_back(s);
  MemberHinge pin;
  pin.id = 1;
  pin.hinge_type = "pin";
  pin.rotational_release_my = 0.0;
  pin.rotational_release_mz = 0.0;
  model.memberhinges = std::vector<MemberHinge>{pin};

  const int nx = 16, ny = 16;
  const double spacing = 3.0;
  MemberSet set;
  set.id = 1;
  auto node = [&](int i, int j, int k) {
    return Node{static_cast<std::uint32_t>(1 + i + nx * (j + ny * k)), spacing * i, spacing * j, spacing * k,
                std::nullopt};
  };
  std::uint32_t id = 0;
  auto add = [&](Node a, Node b, MemberType type) {
    if (set.members.size() >= kTargetMembers) return;
    Member m;
    m.id = ++id;
    m.start_node = a;
    m.end_node = b;
    m.section = 1;
    m.member_type = type;
    m.classification = "beam";
    if (type == MemberType::Normal && id % 7 == 0) m.end_hinge = 1;
    set.members.push_back(m);
  };
  for (int k = 0; set.members.size() < kTargetMembers; ++k) {
    for (int j = 0; j < ny; ++j) {
      for (int i = 0; i < nx; ++i) {
        if (i + 1 < nx) add(node(i, j, k), node(i + 1, j, k), MemberType::Normal);
        if (j + 1 < ny) add(node(i, j, k), node(i, j + 1, k), MemberType::Normal);
        add(node(i, j, k), node(i, j, k + 1), MemberType::Normal);
        if (k == 0 && i + 1 < nx && j + 1 < ny) add(node(i, j, k), node(i + 1, j + 1, k + 1), MemberType::Truss);
      }
    }
  }
  model.member_sets.push_back(std::move(set));
  return model;
}

// A smooth displacement field: sway growing with height, shortening of the columns.
Eigen::VectorXd displacement_state(const VARN& model) {
  const std::size_t n = compute_num_dofs_from_members(model.member_sets);
  Eigen::VectorXd u = Eigen::VectorXd::Zero(static_cast<Eigen::Index>(n));
  for (const auto& m : model.member_sets[0].members) {
    for (const Node* p : {&m.start_node, &m.end_node}) {
      const auto b = static_cast<Eigen::Index>(dof_index(p->id, 0));
      u(b + 0) = 1e-3 * p->Z + 1e-5 * p->Y;
      u(b + 1) = 5e-4 * std::sin(0.1 * p->Z + 0.05 * p->X);
      u(b + 2) = -2e-4 * p->Z;
      u(b + 5) = 1e-5 * p->Z;
    }
  }
  return u;
}

// The element loop alone: elastic and geometric stiffness of every member into triplets, in
// fixed chunks of 64 consecutive members (one triplet block per chunk, joined in order), the
// layout of the system's own assemblies.
std::size_t element_loop(const VARN& model, const AssemblyContext& ctx, const Eigen::VectorXd& u) {
  constexpr std::size_t chunk = 64;
  const auto& members = model.member_sets[0].members;
  const std::size_t n = compute_num_dofs_from_members(model.member_sets);
  const AnalysisOptions& options = model.settings.analysis_options;
  const double threshold = geometric_force_threshold(options);
  const std::size_t n_chunks = (members.size() + chunk - 1) / chunk;
  std::vector<SparseAssembler> blocks(n_chunks, SparseAssembler(n));
  tbb::parallel_for(tbb::blocked_range<std::size_t>(0, n_chunks), [&](const tbb::blocked_range<std::size_t>& r) {
    for (std::size_t c = r.begin(); c != r.end(); ++c) {
      const std::size_t first = c * chunk, last = std::min(first + chunk, members.size());
      SparseAssembler& block = blocks[c];
      block = SparseAssembler::with_capacity(n, 2 * (last - first));
      for (std::size_t i = first; i < last; ++i) {
        const Member& m = members[i];
        const std::size_t s = dof_index(m.start_node.id, 0), e = dof_index(m.end_node.id, 0);
        if (m.member_type == MemberType::Normal) {
          const auto k = local_to_global_with_releases(m, *m.calculate_stiffness_matrix_3d(ctx.materials, ctx.sections),
                                                       ctx.member_hinges);
          block.assemble_element(s, e, *k);
        } else {
          block.assemble_element(s, e, *m.calculate_truss_stiffness_matrix_3d(ctx.materials, ctx.sections));
        }
        const auto kg = member_geometric_stiffness_global(m, ctx, options, u, ActiveMap{}, threshold);
        if (kg && kg->has_value()) block.assemble_element(s, e, **kg);
      }
    }
  });
  std::vector<const SparseAssembler*> parts;
  for (const auto& b : blocks) parts.push_back(&b);
  return SparseAssembler::concatenate(n, parts, 0).triplets().size();
}

// The element matrices alone, without any scatter: what the kernels cost.
double element_kernels(const VARN& model, const AssemblyContext& ctx, const Eigen::VectorXd& u) {
  const auto& members = model.member_sets[0].members;
  const AnalysisOptions& options = model.settings.analysis_options;
  const double threshold = geometric_force_threshold(options);
  std::vector<double> trace(members.size(), 0.0);
  tbb::parallel_for(tbb::blocked_range<std::size_t>(0, members.size()), [&](const tbb::blocked_range<std::size_t>& r) {
    for (std::size_t i = r.begin(); i != r.end(); ++i) {
      const Member& m = members[i];
      Mat14 k;
      if (m.member_type == MemberType::Normal) {
        k = *local_to_global_with_releases(m, *m.calculate_stiffness_matrix_3d(ctx.materials, ctx.sections),
                                           ctx.member_hinges);
      } else {
        k = *m.calculate_truss_stiffness_matrix_3d(ctx.materials, ctx.sections);
      }
      const auto kg = member_geometric_stiffness_global(m, ctx, options, u, ActiveMap{}, threshold);
      if (kg && kg->has_value()) k += **kg;
      trace[i] = k.trace();
    }
  });
  double sum = 0.0;
  for (double t : trace) sum += t;
  return sum;
}

double median_ms(int reps, const std::function<void()>& f) {
  std::vector<double> t;
  for (int r = 0; r < reps; ++r) {
    const auto t0 = Clock::now();
    f();
    t.push_back(std::chrono::duration<double, std::milli>(Clock::now() - t0).count());
  }
  std::sort(t.begin(), t.end());
  return t[t.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
  const int reps = argc > 1 ? std::max(1, std::atoi(argv[1])) : 5;
  const VARN model = generate_frame();
  const AssemblyContext ctx = model.build_lookup_maps();
  const Eigen::VectorXd u = displacement_state(model);
  std::printf("space frame: %zu members, %zu DOFs, %d repetitions (median)\n", model.get_member_count(),
              compute_num_dofs_from_members(model.member_sets), reps);

  const int all_threads = tbb::info::default_concurrency();
  for (int threads : {1, all_threads}) {
    tbb::global_control limit(tbb::global_control::max_allowed_parallelism, static_cast<std::size_t>(threads));
    std::size_t triplets = 0;
    const double loop = median_ms(reps, [&] { triplets = element_loop(model, ctx, u); });
    double checksum = 0.0;
    const double kernels = median_ms(reps, [&] { checksum = element_kernels(model, ctx, u); });
    const double elastic = median_ms(reps, [&] { (void)model.assemble_global_stiffness_matrix_sparse(ActiveMap{}); });
    const double geometric =
        median_ms(reps, [&] { (void)model.assemble_geometric_stiffness_matrix_sparse(u, ActiveMap{}); });
    std::printf("threads %2d: element loop (K + K_G into %zu triplets) %8.2f ms   %6.2f us/member\n", threads, triplets,
                loop, 1e3 * loop / static_cast<double>(model.get_member_count()));
    std::printf("threads %2d: element kernels only (no scatter)          %8.2f ms   %6.2f us/member  [trace %.6e]\n",
                threads, kernels, 1e3 * kernels / static_cast<double>(model.get_member_count()), checksum);
    std::printf("threads %2d: model elastic stiffness assembly (with CSC)  %8.2f ms\n", threads, elastic);
    std::printf("threads %2d: model geometric stiffness assembly (with CSC) %8.2f ms\n", threads, geometric);
  }
  return 0;
}
