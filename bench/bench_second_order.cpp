// Phase timings of the second-order solve of every load case of one model file: the whole
// request through the pipeline, then each load case again through the solver with its report
// (starting state, tangent assembly, factorisations and their count, internal forces of the
// line-search trials, recovery) and the Newton iterations of every load step; and the request
// once more on a single thread, whose output must be the same bytes.
//
//   bench_second_order model.json [repetitions]   (bench_pipeline.py --write-models DIR writes
//                                                  the second-order frame, frame_pdelta_*.json)
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include <tbb/global_control.h>

#include "analysis.h"
#include "functions/sparse.h"
#include "models/varn/second_order/driver.h"
#include "models/varn/varn.h"

namespace {

using Clock = std::chrono::steady_clock;

double seconds(Clock::time_point t) { return std::chrono::duration<double>(Clock::now() - t).count(); }

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: %s model.json [repetitions]\n", argv[0]);
    return 2;
  }
  const int reps = argc > 2 ? std::max(1, std::atoi(argv[2])) : 3;
  auto text = varn::read_text_file(argv[1]);
  if (!text) {
    std::fprintf(stderr, "%s\n", text.error().c_str());
    return 1;
  }
  varn::init_blas_single_thread();

  std::vector<double> pipeline;
  std::size_t bytes = 0;
  std::string first_output;
  bool identical = true;
  std::size_t request_factorizations = 0;
  for (int rep = 0; rep < reps; ++rep) {
    const std::size_t before = varn::sparse_numeric_factorization_count();
    const auto t = Clock::now();
    auto out = varn::run_pipeline_from_json(*text);
    pipeline.push_back(seconds(t));
    request_factorizations = varn::sparse_numeric_factorization_count() - before;
    if (!out) {
      std::fprintf(stderr, "pipeline: %s\n", out.error().c_str());
      return 1;
    }
    bytes = out->size();
    if (rep == 0) {
      first_output = std::move(*out);
    } else if (*out != first_output) {
      identical = false;
    }
  }
  std::sort(pipeline.begin(), pipeline.end());
  std::printf("end to end (calculate_from_json): best %.3f s, median %.3f s over %d runs, %zu output bytes, %s\n",
              pipeline.front(), pipeline[pipeline.size() / 2], reps, bytes,
              identical ? "identical output on every run" : "OUTPUT DIFFERS BETWEEN RUNS");
  std::printf("numeric factorisations in one request (starting state included): %zu\n", request_factorizations);
  {
    // The same request on one thread: the output must not depend on the thread count.
    tbb::global_control serial(tbb::global_control::max_allowed_parallelism, 1);
    const auto t = Clock::now();
    auto out = varn::run_pipeline_from_json(*text);
    std::printf("one thread: %.3f s, %s\n", seconds(t),
                out && *out == first_output ? "same output bytes as on all threads" : "OUTPUT DIFFERS ON ONE THREAD");
  }

  auto parsed = varn::VARN::from_json(*text);
  if (!parsed.ok()) return 1;
  varn::VARN working = parsed.value->clone();
  working.normalize_units();
  std::printf("members %zu\n", working.get_member_count());
  for (const varn::LoadCase& lc : parsed.value->load_cases) {
    varn::VARN model = working.clone();
    auto f = model.assemble_load_vector_for_case(lc.id);
    if (!f) return 1;
    varn::second_order::SolveReport report;
    auto r = varn::second_order::solve_second_order(model, *f, lc.name, false, lc.id, std::nullopt,
                                                    std::nullopt, &report);
    if (!r) {
      std::fprintf(stderr, "LC %u: %s\n", lc.id, r.error().c_str());
      return 1;
    }
    const auto& st = report.newton;
    std::printf("LC %u '%s': %zu DOFs\n", lc.id, lc.name.c_str(), static_cast<std::size_t>(f->size()));
    std::printf("  solve total        %8.3f s\n", report.total);
    std::printf("  starting state     %8.3f s\n", report.starting_state);
    std::printf("  tangent assembly   %8.3f s\n", st.tangent_assembly);
    std::printf("  factorisations     %8.3f s  (%zu numeric, %zu symbolic)\n", st.factorization,
                st.numeric_factorizations, st.symbolic_analyses);
    std::printf("  solves             %8.3f s  (%zu)\n", st.solve, st.solves);
    std::printf("  internal forces    %8.3f s  (%zu residual evaluations)\n", st.line_search, st.residual_evaluations);
    std::printf("  recovery + store   %8.3f s\n", report.recovery);
    std::printf("  load steps %zu x %zu, passes %zu, Newton iterations %zu; per step:", report.steps_total,
                report.substep_multiplier, report.passes, st.iterations);
    for (const auto it : report.iterations_per_step) std::printf(" %u", it);
    std::printf("\n");
  }
  return 0;
}
