// Reading and writing throughput of the model JSON. Builds a grid of beams at several sizes up
// to the member limit (10,000 members), each with nodes, supports, loads, combinations and a
// full results bundle, and prints MB/s for reading and for writing at each size: the figures
// staying flat as the model grows shows both directions are linear in the input size. Writing
// is timed twice: element after element on the calling thread ("serial"), and with long
// sequences formatted in pieces on the pool as the pipeline writes ("parallel"), with the
// ratio of the two; both into a fresh buffer, as the pipeline writes its output.
//
//   bench_json [repetitions]
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "models/varn/varn.h"

namespace {

using namespace varn;
using Clock = std::chrono::steady_clock;

NodeForces forces(double s) { return NodeForces{1.25 * s, -2.5 * s, 3.75 * s, 0.125 * s, -7.5 * s, 11.0 * s, 0.01 * s}; }

Results result_set(const std::string& name, ResultType type, std::uint32_t nodes, const std::vector<Member>& members,
                   double scale) {
  Results r;
  r.name = name;
  r.result_type = type;
  for (std::uint32_t n = 1; n <= nodes; ++n) {
    const double s = scale * n;
    r.displacement_nodes[n] = NodeDisplacement{1e-4 * s, -2e-5 * s, 3e-4 * s, 1e-6 * s, -2e-6 * s, 3e-6 * s, 0.0};
  }
  for (std::uint32_t n = 1; n <= nodes; n += 50) {
    ReactionNodeResult re;
    re.nodal_forces = forces(scale * n);
    re.location = NodeLocation{0.5 * n, 0.0, 0.0};
    re.support_id = 1;
    r.reaction_nodes[n] = re;
  }
  for (const Member& m : members) {
    const double s = scale * m.id;
    MemberResult mr;
    mr.start_node_forces = forces(s);
    mr.end_node_forces = forces(-s);
    mr.maximums = forces(s);
    mr.minimums = forces(-s);
    mr.local_start_forces = forces(1.1 * s);
    mr.local_end_forces = forces(-1.1 * s);
    mr.local_maximums = forces(1.1 * s);
    mr.local_minimums = forces(-1.1 * s);
    mr.local_displacement_start_node = NodeDisplacement{1e-4 * s, 0.0, 2e-4 * s, 0.0, 1e-6 * s, 0.0, 0.0};
    mr.local_displacement_end_node = NodeDisplacement{1.5e-4 * s, 0.0, 2.5e-4 * s, 0.0, 1.5e-6 * s, 0.0, 0.0};
    if (m.member_type == MemberType::Normal)
      for (double x : {0.25, 0.5, 0.75}) mr.section_forces.push_back(SectionForce{x, forces(x * s)});
    r.member_results[m.id] = std::move(mr);
  }
  r.summary = ResultsSummary{r.displacement_nodes.size(), r.reaction_nodes.size(), r.member_results.size()};
  return r;
}

// A row of columns joined by beams, with bracing: `n_members` members over 100 member sets.
VARN make_model(std::uint32_t n_members) {
  VARN m;
  m.settings.analysis_options.solver = "sparse";
  m.settings.analysis_options.tolerance = 1e-6;
  m.settings.general_info = GeneralInfo{"benchmark", "bench_json", "1"};
  m.materials.push_back(Material{1, "S355", 210e9, 81e9, 7850.0, 355e6});
  Section s;
  s.id = 1;
  s.name = "HEA200";
  s.material = 1;
  s.i_y = 3.692e-5;
  s.i_z = 1.336e-5;
  s.j = 2.1e-7;
  s.area = 5.383e-3;
  s.i_w = 1.08e-7;
  m.sections.push_back(s);
  NodalSupport fixed;
  fixed.id = 1;
  for (const char* axis : {"X", "Y", "Z"}) {
    fixed.displacement_conditions[axis] = SupportCondition{};
    fixed.rotation_conditions[axis] = SupportCondition{};
  }
  m.nodal_supports.push_back(fixed);

  const std::uint32_t per_set = std::max<std::uint32_t>(1, n_members / 100);
  std::vector<Member> all;
  std::uint32_t node_count = 0;
  for (std::uint32_t id = 1; id <= n_members; ++id) {
    Member mem;
    mem.id = id;
    const std::uint32_t a = id;
    const std::uint32_t b = id + 1;
    mem.start_node = Node{a, 0.5 * a, 0.0, (a % 2) * 3.0, a % 50 == 1 ? std::optional<std::uint32_t>(1) : std::nullopt};
    mem.end_node = Node{b, 0.5 * b, 0.0, (b % 2) * 3.0, b % 50 == 1 ? std::optional<std::uint32_t>(1) : std::nullopt};
    node_count = std::max(node_count, b);
    mem.section = 1;
    mem.rotation_angle = (id % 4) * 90.0;
    mem.classification = id % 3 == 0 ? "brace" : "beam";
    mem.weight = 42.3;
    mem.member_type = id % 3 == 0 ? MemberType::Truss : MemberType::Normal;
    all.push_back(mem);
  }
  for (std::uint32_t k = 0; k < all.size(); k += per_set) {
    MemberSet set;
    set.id = static_cast<std::uint32_t>(m.member_sets.size() + 1);
    set.classification = "set";
    set.members.assign(all.begin() + k, all.begin() + std::min<std::size_t>(all.size(), k + per_set));
    m.member_sets.push_back(std::move(set));
  }

  for (std::uint32_t lc = 1; lc <= 2; ++lc) {
    LoadCase c;
    c.id = lc;
    c.name = "LC" + std::to_string(lc);
    for (std::uint32_t n = 1; n <= node_count; n += 5)
      c.nodal_loads.push_back(NodalLoad{n, n, lc, 1000.0 * lc, {0.0, 0.0, -1.0}, "point"});
    for (std::uint32_t n = 3; n <= node_count; n += 25)
      c.nodal_moments.push_back(NodalMoment{n, n, lc, 50.0, {0.0, 1.0, 0.0}, "moment"});
    for (const Member& mem : all)
      if (mem.member_type == MemberType::Normal)
        c.distributed_loads.push_back(DistributedLoad{mem.id, lc, -2500.0, {0.0, 0.0, 1.0}, 0.0, 1.0, -2500.0});
    m.load_cases.push_back(std::move(c));
  }
  for (std::uint32_t k = 1; k <= 2; ++k) {
    LoadCombination combo;
    combo.id = k;
    combo.name = "C" + std::to_string(k);
    combo.load_cases_factors[1] = 1.35;
    combo.load_cases_factors[2] = k == 1 ? 1.5 : 0.9;
    combo.check = "STR";
    combo.limit_state = LimitState::ULS;
    m.load_combinations.push_back(std::move(combo));
  }

  ResultsBundle bundle;
  bundle.loadcases["LC1"] = result_set("LC1", ResultType::loadcase(1), node_count, all, 1.0);
  bundle.loadcases["LC2"] = result_set("LC2", ResultType::loadcase(2), node_count, all, 0.7);
  bundle.loadcombinations["C1"] = result_set("C1", ResultType::loadcombination(1), node_count, all, 2.1);
  bundle.loadcombinations["C2"] = result_set("C2", ResultType::loadcombination(2), node_count, all, 1.6);
  m.results = std::move(bundle);
  return m;
}

double best_seconds(int reps, auto&& body) {
  double best = 1e300;
  for (int k = 0; k < reps; ++k) {
    const auto t0 = Clock::now();
    body();
    best = std::min(best, std::chrono::duration<double>(Clock::now() - t0).count());
  }
  return best;
}

}  // namespace

int main(int argc, char** argv) {
  const int reps = argc > 1 ? std::max(1, std::atoi(argv[1])) : 5;
  std::printf("%9s %8s %10s %12s %12s %10s %12s %8s\n", "members", "MB", "read MB/s", "serial MB/s", "parallel MB/s",
              "(warm buf)", "serial s", "ratio");
  for (std::uint32_t n : {1250u, 2500u, 5000u, 10000u}) {
    const VARN model = make_model(n);
    std::string text;
    if (!model.serialize(text)) return 1;
    const double mb = static_cast<double>(text.size()) / 1e6;

    std::size_t members_read = 0;
    const double t_read = best_seconds(reps, [&] {
      auto r = VARN::from_json(text);
      if (!r.ok()) {
        std::fprintf(stderr, "read failed: %s\n", r.error.to_string().c_str());
        std::exit(1);
      }
      members_read = r.value->get_member_count();
    });
    if (members_read != n) return 1;

    // Into a fresh buffer reserved at twice the input, as the pipeline writes its output; the
    // first touch of its pages is part of the cost. Then into a buffer that is already mapped,
    // which is the writer alone.
    const auto write_fresh = [&] {
      std::string out;
      out.reserve(2 * text.size());
      if (!model.serialize(out)) std::exit(1);
      if (out != text) std::exit(1);
    };
    double t_serial = 0.0;
    {
      const json::PieceBytesScope serial(0);
      t_serial = best_seconds(reps, write_fresh);
    }
    const double t_write = best_seconds(reps, write_fresh);
    std::string warm;
    warm.reserve(2 * text.size());
    const double t_write_warm = best_seconds(reps, [&] {
      warm.clear();
      if (!model.serialize(warm)) std::exit(1);
    });
    if (warm != text) return 1;

    std::printf("%9u %8.1f %10.0f %12.0f %12.0f %10.0f %12.3f %8.2f\n", n, mb, mb / t_read, mb / t_serial,
                mb / t_write, mb / t_write_warm, t_serial, t_serial / t_write);
  }
  return 0;
}
