// The second-order solve of every load case of one model file with the co-rotational method:
// the whole solve (P-delta load steps, then the co-rotational re-solve) against the same solve
// with the P-delta method alone, and the co-rotational phase by itself with its load steps,
// Newton iterations and factorisations, once on its kept symmetric factor and once by full
// Newton, with the largest difference of the two states. Models with hinges never run the phase
// and are refused here.
//
//   bench_corotational model.json   (bench_pipeline.py --write-models DIR writes the
//                                    second-order frame, frame_pdelta_*.json)
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "analysis.h"
#include "functions/sparse.h"
#include "models/varn/second_order/corotational_phase.h"
#include "models/varn/second_order/driver.h"
#include "models/varn/varn.h"

namespace {

using Clock = std::chrono::steady_clock;

double seconds(Clock::time_point t) { return std::chrono::duration<double>(Clock::now() - t).count(); }

}  // namespace

int main(int argc, char** argv) {
  using namespace varn;
  if (argc < 2) {
    std::fprintf(stderr, "usage: %s model.json\n", argv[0]);
    return 2;
  }
  auto text = read_text_file(argv[1]);
  if (!text) {
    std::fprintf(stderr, "%s\n", text.error().c_str());
    return 1;
  }
  init_blas_single_thread();
  auto parsed = VARN::from_json(*text);
  if (!parsed.ok()) return 1;
  VARN working = parsed.value->clone();
  working.normalize_units();
  working.settings.analysis_options.nonlinear_method = NonlinearMethod::Corotational;
  if (!second_order::corotational_phase_applies(working)) {
    std::fprintf(stderr, "the model has hinges: no co-rotational phase\n");
    return 1;
  }
  std::printf("members %zu\n", working.get_member_count());

  for (const LoadCase& lc : working.load_cases) {
    auto f = working.assemble_load_vector_for_case(lc.id);
    if (!f) return 1;
    std::printf("LC %u '%s': %zu DOFs\n", lc.id, lc.name.c_str(), static_cast<std::size_t>(f->size()));

    for (const NonlinearMethod method : {NonlinearMethod::PDelta, NonlinearMethod::Corotational}) {
      VARN model = working.clone();
      model.settings.analysis_options.nonlinear_method = method;
      second_order::SolveReport report;
      auto r = second_order::solve_second_order(model, *f, lc.name, false, lc.id, std::nullopt,
                                                std::nullopt, &report);
      if (!r) {
        std::fprintf(stderr, "LC %u: %s\n", lc.id, r.error().c_str());
        return 1;
      }
      double sway = 0.0;
      for (const auto& [id, d] : r->displacement_nodes) sway = std::max(sway, d.dx);
      std::printf("  %-13s solve %8.3f s, largest dx %.6e m\n",
                  method == NonlinearMethod::PDelta ? "P-delta" : "co-rotational", report.total, sway);
    }

    // The phase alone, set up as the driver sets it up (it restarts from zero).
    VARN model = working.clone();
    std::optional<RigidPath> rigid;
    std::vector<std::size_t> constrained;
    if (model.needs_dense_rigid_path()) {
      auto e = model.build_rigid_elimination_partial_using_hinges();
      if (!e) return 1;
      auto p = RigidProjector::create(*e);
      if (!p) return 1;
      rigid.emplace(RigidPath{std::move(*e), std::move(*p)});
    } else {
      auto dofs = model.collect_constrained_dofs_full();
      if (!dofs) return 1;
      constrained = std::move(*dofs);
    }
    const Eigen::VectorXd u0 = Eigen::VectorXd::Zero(f->size());
    const ActiveMap active;
    second_order::CorotationalPhaseInput in{*f,
                                            false,
                                            lc.id,
                                            second_order::load_case_has_distributed_loads(model, false, lc.id),
                                            u0,
                                            active,
                                            20,
                                            std::fmax(model.settings.analysis_options.tolerance, 1e-6),
                                            constrained,
                                            rigid ? &*rigid : nullptr,
                                            has_stiffness_curves(model.nodal_supports)};
    // One of each of the phase's expensive steps at rest.
    {
      const SupportNodeForceMap none;
      auto t0 = Clock::now();
      auto fi = model.assemble_corotational_internal_forces(u0, active, none);
      const double t_f = seconds(t0);
      t0 = Clock::now();
      auto kt = model.assemble_corotational_tangent_stiffness_sparse(u0, active, none);
      const double t_k = seconds(t0);
      if (!fi || !kt) return 1;
      t0 = Clock::now();
      auto x = rigid ? std::optional<Eigen::VectorXd>() : solve_sparse_system(*kt, *f, constrained);
      const double t_s = seconds(t0);
      std::printf("  per iteration: internal forces %.3f s, tangent %.3f s, penalty + factorisation + solve %.3f s\n",
                  t_f, t_k, t_s);
    }
    // The phase alone, on the kept symmetric factor and then by full Newton (a fresh exact
    // tangent, factorised by LU, at every iteration): the same states to the tolerance.
    std::optional<Eigen::VectorXd> kept;
    for (const bool full_newton : {false, true}) {
      in.full_newton = full_newton;
      const auto t = Clock::now();
      auto phase = second_order::run_corotational_phase(model, in);
      const double phase_time = seconds(t);
      if (!phase) {
        std::fprintf(stderr, "phase: %s\n", phase.error().c_str());
        return 1;
      }
      std::printf("  phase alone, %-12s %8.3f s, %zu load steps (%zu cut), %zu Newton iterations, %zu numeric "
                  "factorisations, %zu symbolic analyses\n",
                  full_newton ? "full Newton" : "kept factor", phase_time, phase->load_steps, phase->cut_steps,
                  phase->iterations, phase->numeric_factorizations, phase->symbolic_analyses);
      std::printf("    residuals %.3f s, tangents %.3f s, factorisations %.3f s, solves %.3f s\n",
                  phase->residual_time, phase->tangent_time, phase->factorization_time, phase->solve_time);
      if (!kept) {
        kept = phase->u;
        continue;
      }
      const double scale = std::max(phase->u.cwiseAbs().maxCoeff(), 1e-300);
      std::printf("    largest difference of the two states %.3e of the largest displacement\n",
                  (phase->u - *kept).cwiseAbs().maxCoeff() / scale);
    }
  }
  return 0;
}
