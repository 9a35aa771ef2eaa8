// Phase timings of a first-order request on one model file: reading, conversion to SI, the
// load-case phase, the combination phase (each through the same solve paths as the pipeline),
// conversion back and writing; with the solvers' own "[SOLVE]" and "[BATCH]" timing lines.
//
//   bench_first_order model.json [repetitions]     (bench_pipeline.py --write-models DIR
//                                                    writes the benchmark frames)
#include <spdlog/sinks/ostream_sink.h>
#include <spdlog/spdlog.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <iostream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "analysis.h"
#include "analysis_paths.h"
#include "functions/sparse.h"
#include "logging.h"

namespace {

using Clock = std::chrono::steady_clock;

double seconds(Clock::time_point t) { return std::chrono::duration<double>(Clock::now() - t).count(); }

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

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

  // The solvers' timing lines, collected from the last repetition.
  std::ostringstream solver_lines;
  auto sink = std::make_shared<spdlog::sinks::ostream_sink_mt>(solver_lines);
  sink->set_pattern("    %v");
  auto solver_log = varn::logger_for("varn_calculations::models::varn::varn");

  std::map<std::string, std::vector<double>> times;
  const std::vector<std::string> order = {"read", "clone + SI", "load cases", "combinations", "back to units",
                                          "write", "total (pipeline)"};
  std::size_t members = 0, out_bytes = 0;
  for (int rep = 0; rep < reps; ++rep) {
    const bool last = rep == reps - 1;
    if (last) {
      solver_log->sinks().push_back(sink);
      solver_log->set_level(spdlog::level::debug);
    }
    auto t = Clock::now();
    auto parsed = varn::VARN::from_json(*text);
    if (!parsed.ok()) {
      std::fprintf(stderr, "%s\n", parsed.error.to_string().c_str());
      return 1;
    }
    times["read"].push_back(seconds(t));
    varn::VARN& model = *parsed.value;
    members = model.get_member_count();

    t = Clock::now();
    const varn::UnitFactors factors = model.unit_factors();
    varn::VARN working = model.clone();
    working.normalize_units();
    times["clone + SI"].push_back(seconds(t));

    varn::PipelineRun run{working, {}, {}, working.settings.analysis_options.max_iterations_or_default(),
                          working.settings.analysis_options.tolerance, {}, {}, false, {}};
    for (const auto& lc : working.load_cases) run.load_case_ids.push_back(lc.id);
    for (const auto& c : working.load_combinations) run.combination_ids.push_back(c.id);

    t = Clock::now();
    if (auto done = varn::solve_load_cases_first_order(run); !done) {
      std::fprintf(stderr, "%s\n", done.error().c_str());
      return 1;
    }
    times["load cases"].push_back(seconds(t));
    t = Clock::now();
    if (auto done = varn::solve_combinations_first_order(run); !done) {
      std::fprintf(stderr, "%s\n", done.error().c_str());
      return 1;
    }
    times["combinations"].push_back(seconds(t));

    t = Clock::now();
    model.results = varn::VARN::denormalize_results(std::move(*working.results), factors);
    times["back to units"].push_back(seconds(t));
    t = Clock::now();
    std::string out = varn::output_buffer_for(model, text->size());
    if (auto written = model.serialize(out); !written) return 1;
    out_bytes = out.size();
    times["write"].push_back(seconds(t));

    t = Clock::now();
    auto whole = varn::run_pipeline_from_json(*text);
    if (!whole) {
      std::fprintf(stderr, "%s\n", whole.error().c_str());
      return 1;
    }
    times["total (pipeline)"].push_back(seconds(t));
  }
  solver_log->set_level(spdlog::level::off);
  solver_log->sinks().clear();

  std::printf("%s: %zu members, output %.1f MB, median of %d\n", argv[1], members, out_bytes / 1e6, reps);
  for (const auto& phase : order) std::printf("  %-18s %8.3f s\n", phase.c_str(), median(times[phase]));
  std::printf("  solver lines of the last repetition:\n%s", solver_lines.str().c_str());
  return 0;
}
