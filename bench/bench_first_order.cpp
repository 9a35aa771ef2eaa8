// Phase timings of a first-order request on one model file: reading, conversion to SI, the
// load-case phase, the combination phase (each through the same solve paths as the pipeline),
// conversion back and writing; with the solvers' own "[SOLVE]" and "[BATCH]" timing lines and
// the sparse layer's numeric factorisations, symbolic analyses and low-rank updates of each
// phase. Writing is timed as the pipeline writes (long sequences formatted in pieces on the
// pool, kept apart from the skeleton), with the pieces appended into one buffer ("write,
// joined") and element after element on the calling thread ("write, serial"), with the ratio.
//
// Then the factorisation itself, on the penalised operator with every tie and strut on and the
// load cases as right-hand sides: the engine's analysis (node-graph ordering) beside CHOLMOD's
// AMD on the DOF graph, with the factor entries and flops of each, and a bare CHOLMOD analyse +
// factorise + solve with the library's own default strategy (its reference time, and the
// ratio of the whole pipeline to it), and the bare factorisation on four BLAS threads (what a
// threaded BLAS gains it on this machine as loaded now). Last, the
// analyses and numeric factorisations that each load case and each combination costs when
// solved alone. The reference figures call CHOLMOD directly; the engine itself reaches it
// only through the sparse layer.
//
//   bench_first_order model.json [repetitions]     (bench_pipeline.py --write-models DIR
//                                                    writes the benchmark frames)
//   bench_first_order --bare model.json [reps]     only the line "bare_factor_solve_s <t>"
//                                                    (read by bench_pipeline.py --targets)
//   bench_first_order --counts model.json          only the analyses, factorisations and
//                                                    low-rank updates of each load case and
//                                                    combination
#include <cholmod.h>
#include <dlfcn.h>
#include <spdlog/sinks/ostream_sink.h>
#include <spdlog/spdlog.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
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
#include "models/json/writer.h"

namespace {

using Clock = std::chrono::steady_clock;

double seconds(Clock::time_point t) { return std::chrono::duration<double>(Clock::now() - t).count(); }

// The process-wide counters of the sparse layer, read before and after a phase.
struct SolverCounts {
  std::size_t factorizations = 0, analyses = 0, updates = 0;
  static SolverCounts now() {
    return {varn::sparse_numeric_factorization_count(), varn::sparse_symbolic_analysis_count(),
            varn::sparse_low_rank_update_count()};
  }
  SolverCounts operator-(const SolverCounts& o) const {
    return {factorizations - o.factorizations, analyses - o.analyses, updates - o.updates};
  }
};

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

// The system the load-case phase factorises: the penalised operator with every tie and strut
// on, and the load cases as columns (zeroed at the supports, as the solvers do).
struct AssembledSystem {
  varn::SparseMatrix k;
  Eigen::MatrixXd b;
};

std::optional<AssembledSystem> assembled_system(const std::string& text) {
  auto parsed = varn::VARN::from_json(text);
  if (!parsed.ok()) {
    std::fprintf(stderr, "%s\n", parsed.error.to_string().c_str());
    return std::nullopt;
  }
  varn::VARN working = parsed.value->clone();
  working.normalize_units();
  varn::ActiveMap all_on;
  for (const auto& set : working.member_sets)
    for (const auto& m : set.members)
      if (m.member_type == varn::MemberType::Tension || m.member_type == varn::MemberType::Compression)
        all_on[m.id] = true;
  auto k = working.build_operator_with_supports_sparse_internal(all_on, nullptr);
  auto constrained = working.collect_constrained_dofs_full();
  if (!k || !constrained) {
    std::fprintf(stderr, "%s\n", (!k ? k.error() : constrained.error()).c_str());
    return std::nullopt;
  }
  AssembledSystem sys{varn::apply_penalty_to_k(*k, *constrained),
                      Eigen::MatrixXd::Zero(k->rows(), static_cast<Eigen::Index>(working.load_cases.size()))};
  for (std::size_t j = 0; j < working.load_cases.size(); ++j) {
    auto f = working.assemble_load_vector_for_case(working.load_cases[j].id);
    if (!f) return std::nullopt;
    sys.b.col(static_cast<Eigen::Index>(j)) = *f;
  }
  for (std::size_t d : *constrained) sys.b.row(static_cast<Eigen::Index>(d)).setZero();
  return sys;
}

// A non-owning CHOLMOD view of the lower triangle of K.
cholmod_sparse lower_view(const varn::SparseMatrix& k) {
  cholmod_sparse a{};
  a.nrow = a.ncol = static_cast<size_t>(k.rows());
  a.nzmax = static_cast<size_t>(k.nonZeros());
  a.p = const_cast<std::int64_t*>(k.outerIndexPtr());
  a.i = const_cast<std::int64_t*>(k.innerIndexPtr());
  a.x = const_cast<double*>(k.valuePtr());
  a.stype = -1;
  a.itype = CHOLMOD_LONG;
  a.xtype = CHOLMOD_REAL;
  a.dtype = CHOLMOD_DOUBLE;
  a.sorted = a.packed = 1;
  return a;
}

struct BareFigures {
  double analyse = 0.0, factorise = 0.0, solve = 0.0, lnz = 0.0, flops = 0.0;
  double solve_one = 0.0;  // median of single right-hand-side solves
  bool ok = false;
};

// OpenMP nesting and BLAS thread count of the bare reference runs, looked up at run time as
// the sparse layer does (CHOLMOD brings libgomp, the BLAS is OpenBLAS or another). CHOLMOD
// fixes the thread count of its regions itself; no active level runs them on one thread.
void set_library_threads(int omp_levels, int blas) {
  if (auto set = reinterpret_cast<void (*)(int)>(dlsym(RTLD_DEFAULT, "omp_set_max_active_levels"))) set(omp_levels);
  if (auto set = reinterpret_cast<void (*)(int)>(dlsym(RTLD_DEFAULT, "openblas_set_num_threads"))) set(blas);
}

// CHOLMOD as a caller with no knowledge of the structure would use it: `amd_only` forces AMD
// on the DOF graph (the engine's former ordering), otherwise the library's default strategy.
// OpenMP regions run inactive and the BLAS on `blas_threads`, the engine's conditions,
// so that the comparison measures orderings and overheads, not oversubscription.
BareFigures bare_cholmod(const AssembledSystem& sys, bool amd_only, int blas_threads = 1) {
  set_library_threads(0, blas_threads);
  BareFigures fig;
  cholmod_common c;
  cholmod_l_start(&c);
  c.print = 0;
  if (amd_only) {
    c.nmethods = 1;
    c.method[0].ordering = CHOLMOD_AMD;
    c.supernodal = CHOLMOD_SUPERNODAL;
  }
  cholmod_sparse a = lower_view(sys.k);
  cholmod_dense b{};
  b.nrow = b.d = static_cast<size_t>(sys.b.rows());
  b.ncol = static_cast<size_t>(sys.b.cols());
  b.nzmax = b.nrow * b.ncol;
  b.x = const_cast<double*>(sys.b.data());
  b.xtype = CHOLMOD_REAL;
  b.dtype = CHOLMOD_DOUBLE;
  auto t = Clock::now();
  cholmod_factor* l = cholmod_l_analyze(&a, &c);
  fig.analyse = seconds(t);
  fig.lnz = c.lnz;
  fig.flops = c.fl;
  t = Clock::now();
  const bool factorised = l && cholmod_l_factorize(&a, l, &c) && c.status == CHOLMOD_OK;
  fig.factorise = seconds(t);
  t = Clock::now();
  cholmod_dense* x = factorised ? cholmod_l_solve(CHOLMOD_A, l, &b, &c) : nullptr;
  fig.solve = seconds(t);
  fig.ok = x != nullptr;
  if (x) cholmod_l_free_dense(&x, &c);
  if (factorised) {
    cholmod_dense one = b;
    one.ncol = 1;
    one.nzmax = one.nrow;
    std::vector<double> t_one;
    for (int r = 0; r < 15; ++r) {
      t = Clock::now();
      cholmod_dense* y = cholmod_l_solve(CHOLMOD_A, l, &one, &c);
      t_one.push_back(seconds(t));
      if (y) cholmod_l_free_dense(&y, &c);
    }
    fig.solve_one = median(t_one);
  }
  if (l) cholmod_l_free_factor(&l, &c);
  cholmod_l_finish(&c);
  set_library_threads(0, 1);
  return fig;
}

// BLAS threads of the threaded reference factorisation: CHOLMOD's own, its supernodes one
// after the other, each with a threaded BLAS (the engine's runs them on the pool instead).
constexpr int kThreadedBlas = 4;

double bare_factor_solve_median(const AssembledSystem& sys, int reps) {
  std::vector<double> t;
  for (int r = 0; r < reps; ++r) {
    const BareFigures f = bare_cholmod(sys, false);
    t.push_back(f.analyse + f.factorise + f.solve);
  }
  return median(t);
}

struct Counts {
  std::size_t analyses, factorisations, updates;
};

Counts counts_now() {
  return {varn::sparse_symbolic_analysis_count(), varn::sparse_numeric_factorization_count(),
          varn::sparse_low_rank_update_count()};
}

// Analyses, factorisations and low-rank updates of one load case or one combination solved alone, through the
// pipeline's own path for it.
std::optional<Counts> counts_of_one(const std::string& text, std::optional<std::uint32_t> load_case,
                                    std::optional<std::uint32_t> combination) {
  auto parsed = varn::VARN::from_json(text);
  if (!parsed.ok()) return std::nullopt;
  varn::VARN working = parsed.value->clone();
  working.normalize_units();
  varn::PipelineRun run{working, {}, {}, working.settings.analysis_options.max_iterations_or_default(),
                        working.settings.analysis_options.tolerance, false, {}, {}};
  if (load_case) run.load_case_ids.push_back(*load_case);
  if (combination) run.combination_ids.push_back(*combination);
  const Counts before = counts_now();
  if (load_case && !varn::solve_load_cases_first_order(run)) return std::nullopt;
  if (combination && !varn::solve_combinations_first_order(run)) return std::nullopt;
  const Counts after = counts_now();
  return Counts{after.analyses - before.analyses, after.factorisations - before.factorisations,
                after.updates - before.updates};
}

void print_factorisation_figures(const std::string& text, int reps, double pipeline_seconds) {
  auto sys = assembled_system(text);
  if (!sys) return;
  std::printf("  penalised operator: %lld DOFs, %lld stored entries, %lld right-hand sides\n",
              static_cast<long long>(sys->k.rows()), static_cast<long long>(sys->k.nonZeros()),
              static_cast<long long>(sys->b.cols()));
  auto analysis = varn::CachedSymbolicCholesky::create(sys->k);
  if (!analysis) {
    std::fprintf(stderr, "%s\n", analysis.error().c_str());
    return;
  }
  std::vector<double> analyse_t, factor_t;
  for (int r = 0; r < reps; ++r) {
    auto t = Clock::now();
    auto fresh = varn::CachedSymbolicCholesky::create(sys->k);
    analyse_t.push_back(seconds(t));
    t = Clock::now();
    varn::SparseFactorization f;
    f.analyze_pattern(sys->k);
    f.factorize(sys->k);
    auto x = f.solve(sys->b);
    factor_t.push_back(seconds(t));
    if (!x) std::printf("  engine solve FAILED\n");
  }
  const BareFigures amd = bare_cholmod(*sys, true);
  std::printf("  ordering            factor entries    GFlop\n");
  std::printf("  node graph (engine) %14.0f %8.2f\n", analysis->factor_nnz(), analysis->factor_flops() / 1e9);
  std::printf("  DOF graph, AMD      %14.0f %8.2f   (%.1f %% more flops)\n", amd.lnz, amd.flops / 1e9,
              100.0 * (amd.flops / analysis->factor_flops() - 1.0));
  std::printf("  engine: analysis %.3f s, analysis + factorisation + solve %.3f s\n", median(analyse_t),
              median(factor_t));
  // One load's solve, the step the active-set passes and the refinements repeat: the sweeps
  // over the whole factor with a single right-hand side.
  {
    varn::SparseFactorization f;
    f.analyze_pattern(sys->k);
    f.factorize(sys->k);
    const Eigen::MatrixXd one = sys->b.leftCols(1);
    std::vector<double> whole_t, forward_t, backward_t;
    for (int r = 0; r < std::max(reps, 15); ++r) {
      auto t = Clock::now();
      auto x = f.solve_once(one);
      whole_t.push_back(seconds(t));
      t = Clock::now();
      auto c = f.solve_forward(one);
      forward_t.push_back(seconds(t));
      t = Clock::now();
      auto y = c ? f.solve_backward(*c) : std::nullopt;
      backward_t.push_back(seconds(t));
      if (!x || !y) std::printf("  engine one-column solve FAILED\n");
    }
    std::printf("  engine, one right-hand side: solve %.4f s (forward half %.4f, backward half %.4f)\n",
                median(whole_t), median(forward_t), median(backward_t));
  }
  // The parts printed are those of the run whose total is the median, so that they add up to it.
  std::vector<BareFigures> bare_runs;
  for (int r = 0; r < reps; ++r) bare_runs.push_back(bare_cholmod(*sys, false));
  std::sort(bare_runs.begin(), bare_runs.end(), [](const BareFigures& a, const BareFigures& b) {
    return a.analyse + a.factorise + a.solve < b.analyse + b.factorise + b.solve;
  });
  const BareFigures& last = bare_runs[bare_runs.size() / 2];
  const double bare_total = last.analyse + last.factorise + last.solve;
  std::printf("  bare CHOLMOD (default strategy, the median run): analyse %.3f + factorise %.3f + solve %.3f = %.3f s, "
              "%.2f GFlop%s\n",
              last.analyse, last.factorise, last.solve, bare_total, last.flops / 1e9,
              last.ok ? "" : ", FAILED");
  std::printf("  bare CHOLMOD, one right-hand side: solve %.4f s (%.0f factor entries)\n", last.solve_one, last.lnz);
  std::vector<double> threaded_t;
  for (int r = 0; r < reps; ++r) threaded_t.push_back(bare_cholmod(*sys, false, kThreadedBlas).factorise);
  std::printf("  bare CHOLMOD factorise on %d BLAS threads: %.3f s\n",
              kThreadedBlas, median(threaded_t));
  std::printf("  pipeline / bare factor + solve: %.2f\n", pipeline_seconds / bare_total);
}

void print_counts(const std::string& text) {
  auto parsed = varn::VARN::from_json(text);
  if (!parsed.ok()) return;
  std::printf("  solved alone          analyses  factorisations  low-rank updates\n");
  // Low-rank updates of a kept factor: none are made yet; their process-wide counter goes in
  // the last column when the sparse layer has one.
  auto line = [&](const std::string& what, std::optional<Counts> c) {
    if (!c) {
      std::printf("  %-20s FAILED\n", what.c_str());
      return;
    }
    std::printf("  %-20s %9zu %15zu %17zu\n", what.c_str(), c->analyses, c->factorisations, c->updates);
  };
  for (const auto& lc : parsed.value->load_cases)
    line("load case " + std::to_string(lc.id), counts_of_one(text, lc.id, std::nullopt));
  for (const auto& c : parsed.value->load_combinations)
    line("combination " + std::to_string(c.id), counts_of_one(text, std::nullopt, c.id));
}

}  // namespace

int main(int argc, char** argv) {
  const bool bare_only = argc > 1 && std::strcmp(argv[1], "--bare") == 0;
  const bool counts_only = argc > 1 && std::strcmp(argv[1], "--counts") == 0;
  if (bare_only || counts_only) {
    --argc;
    ++argv;
  }
  if (argc < 2) {
    std::fprintf(stderr, "usage: %s [--bare] model.json [repetitions]\n", argv[0]);
    return 2;
  }
  const int reps = argc > 2 ? std::max(1, std::atoi(argv[2])) : 3;
  auto text = varn::read_text_file(argv[1]);
  if (!text) {
    std::fprintf(stderr, "%s\n", text.error().c_str());
    return 1;
  }
  varn::init_blas_single_thread();
  if (counts_only) {
    print_counts(*text);
    return 0;
  }
  if (bare_only) {
    auto sys = assembled_system(*text);
    if (!sys) return 1;
    std::printf("bare_factor_solve_s %.6f\n", bare_factor_solve_median(*sys, reps));
    return 0;
  }

  // The solvers' timing lines, collected from the last repetition.
  std::ostringstream solver_lines;
  auto sink = std::make_shared<spdlog::sinks::ostream_sink_mt>(solver_lines);
  sink->set_pattern("    %v");
  auto solver_log = varn::logger_for("varn_calculations::models::varn::varn");

  std::map<std::string, std::vector<double>> times;
  const std::vector<std::string> order = {"read", "clone + SI", "load cases", "combinations", "back to units",
                                          "write", "write, joined", "write, serial", "total (pipeline)"};
  std::size_t members = 0, out_bytes = 0;
  SolverCounts counts_cases, counts_combinations;
  const std::size_t refinements_before = varn::sparse_refinement_step_count();
  const std::size_t factorisations_before = varn::sparse_numeric_factorization_count();
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
                          working.settings.analysis_options.tolerance, false, {}, {}};
    for (const auto& lc : working.load_cases) run.load_case_ids.push_back(lc.id);
    for (const auto& c : working.load_combinations) run.combination_ids.push_back(c.id);

    const SolverCounts before_cases = SolverCounts::now();
    t = Clock::now();
    if (auto done = varn::solve_load_cases_first_order(run); !done) {
      std::fprintf(stderr, "%s\n", done.error().c_str());
      return 1;
    }
    times["load cases"].push_back(seconds(t));
    const SolverCounts before_combinations = SolverCounts::now();
    t = Clock::now();
    if (auto done = varn::solve_combinations_first_order(run); !done) {
      std::fprintf(stderr, "%s\n", done.error().c_str());
      return 1;
    }
    times["combinations"].push_back(seconds(t));
    const SolverCounts after_combinations = SolverCounts::now();
    if (last) {
      counts_cases = before_combinations - before_cases;
      counts_combinations = after_combinations - before_combinations;
    }

    t = Clock::now();
    model.results = varn::VARN::denormalize_results(std::move(*working.results), factors);
    times["back to units"].push_back(seconds(t));
    t = Clock::now();
    varn::json::PiecedText pieced;
    pieced.skeleton = varn::skeleton_buffer_for(model, text->size());
    {
      const varn::json::KeepPiecesScope keep(pieced);
      if (auto written = model.serialize(pieced.skeleton); !written) return 1;
    }
    times["write"].push_back(seconds(t));
    t = Clock::now();
    std::string out = varn::output_buffer_for(model, text->size());
    if (auto written = model.serialize(out); !written) return 1;
    out_bytes = out.size();
    times["write, joined"].push_back(seconds(t));
    if (pieced.flatten() != out) {
      std::fprintf(stderr, "the text with its pieces kept apart differs from the joined text\n");
      return 1;
    }
    {
      const varn::json::PieceBytesScope serial(0);
      t = Clock::now();
      std::string serial_out = varn::output_buffer_for(model, text->size());
      if (auto written = model.serialize(serial_out); !written) return 1;
      times["write, serial"].push_back(seconds(t));
      if (serial_out != out) {
        std::fprintf(stderr, "the parallel writer's text differs from the serial writer's\n");
        return 1;
      }
    }

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
  std::printf("  sparse work of the last repetition (factorisations / analyses / low-rank updates):\n");
  std::printf("    load cases         %3zu / %3zu / %3zu\n", counts_cases.factorizations, counts_cases.analyses,
              counts_cases.updates);
  std::printf("    combinations       %3zu / %3zu / %3zu\n", counts_combinations.factorizations,
              counts_combinations.analyses, counts_combinations.updates);
  // Each repetition solves the model twice (the phases, then the whole pipeline).
  std::printf("  per request: %.1f numeric factorisations, %.1f refinement steps (residual + solve)\n",
              static_cast<double>(varn::sparse_numeric_factorization_count() - factorisations_before) / (2.0 * reps),
              static_cast<double>(varn::sparse_refinement_step_count() - refinements_before) / (2.0 * reps));
  std::printf("  write serial / parallel %6.2f\n", median(times["write, serial"]) / median(times["write, joined"]));
  std::printf("  solver lines of the last repetition:\n%s", solver_lines.str().c_str());
  const Counts before = counts_now();
  if (auto whole = varn::run_pipeline_from_json(*text); !whole) return 1;
  const Counts after = counts_now();
  std::printf("  one whole request: %zu analyses, %zu numeric factorisations\n", after.analyses - before.analyses,
              after.factorisations - before.factorisations);
  print_factorisation_figures(*text, reps, median(times["total (pipeline)"]));
  print_counts(*text);
  return 0;
}
