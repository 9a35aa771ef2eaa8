// The pipeline's own parts: the parallel item loop and its collection into the working
// bundle, the conversion of the run's result sets for the output, and the run's log lines.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include <spdlog/sinks/ostream_sink.h>
#include <tbb/global_control.h>

#include <thread>

#include "analysis.h"
#include "analysis_paths.h"
#include "fatal.h"
#include "logging.h"
#include "model_compare.h"
#include "models/json/writer.h"

namespace {

using varn::ItemResult;
using varn::PipelineRun;
using varn::Results;
using varn::ResultsBundle;

Results result_set(const std::string& name, double dx, double fz) {
  Results r;
  r.name = name;
  varn::NodeDisplacement d{};
  d.dx = dx;
  r.displacement_nodes[2] = d;
  varn::ReactionNodeResult reaction{};
  reaction.nodal_forces.fz = fz;
  reaction.location.X = 1.5;
  r.reaction_nodes[1] = reaction;
  return r;
}

TEST(ParallelItems, EveryItemInIdOrder) {
  std::vector<std::uint32_t> ids;
  for (std::uint32_t i = 200; i >= 1; --i) ids.push_back(i);
  const auto items = varn::run_items_in_parallel(ids, [](std::uint32_t id) -> ItemResult {
    return std::make_pair(std::string("C") + std::to_string(id), result_set(std::string("C") + std::to_string(id), id, 0.0));
  });
  ASSERT_EQ(items.size(), ids.size());
  for (std::size_t i = 0; i < ids.size(); ++i) {
    ASSERT_TRUE(items[i].has_value());
    EXPECT_EQ(items[i]->first, "C" + std::to_string(ids[i]));
    EXPECT_EQ(items[i]->second.displacement_nodes.at(2).dx, ids[i]);
  }
}

TEST(ParallelItems, TheListEndsWithTheFirstFailureInIdOrder) {
  std::vector<std::uint32_t> ids;
  for (std::uint32_t i = 200; i >= 1; --i) ids.push_back(i);
  // Every multiple of 7 fails; 196 is the first of them in the list, whichever task ends first.
  for (int repeat = 0; repeat < 20; ++repeat) {
    const auto items = varn::run_items_in_parallel(ids, [](std::uint32_t id) -> ItemResult {
      if (id % 7 == 0) return varn::fail("Combo " + std::to_string(id) + " error: diverged");
      return std::make_pair(std::string("C") + std::to_string(id), result_set(std::string("C") + std::to_string(id), id, 0.0));
    });
    ASSERT_EQ(items.size(), 5u);
    for (std::size_t i = 0; i < 4; ++i) EXPECT_EQ(items[i]->second.displacement_nodes.at(2).dx, ids[i]);
    ASSERT_FALSE(items.back().has_value());
    EXPECT_EQ(items.back().error(), "Combo 196 error: diverged");
  }
}

TEST(ParallelItems, FatalFaultInATaskReachesTheCaller) {
  std::vector<std::uint32_t> ids(100);
  for (std::uint32_t i = 0; i < 100; ++i) ids[i] = i + 1;
  EXPECT_THROW(varn::run_items_in_parallel(ids,
                                           [](std::uint32_t id) -> ItemResult {
                                             if (id == 57) varn::fatal("Cannot define a valid local_z axis.");
                                             return std::make_pair(std::string("x"), Results{});
                                           }),
               varn::FatalFault);
}

TEST(InsertItems, RepeatedNamesKeptUnderUniqueNames) {
  varn::VARN working;
  PipelineRun run{working, {}, {}, 20, 0.0, false, {}, {}};
  std::vector<ItemResult> items;
  items.emplace_back(std::make_pair(std::string("ULS"), result_set("ULS", 1.0, 0.0)));
  items.emplace_back(std::make_pair(std::string("SLS"), result_set("SLS", 2.0, 0.0)));
  items.emplace_back(std::make_pair(std::string("ULS"), result_set("ULS", 3.0, 0.0)));
  items.emplace_back(std::make_pair(std::string("ULS"), result_set("ULS", 4.0, 0.0)));

  const auto inserted = varn::insert_item_results(run, varn::ResultMap::LoadCombinations, std::move(items));
  EXPECT_TRUE(inserted) << inserted.error();
  ASSERT_TRUE(working.results.has_value());
  EXPECT_TRUE(working.results->loadcases.empty());
  const auto& combos = working.results->loadcombinations;
  ASSERT_EQ(combos.size(), 4u);
  // No set of the run is lost: the later ones of one name are filed beside the first, in list
  // order, each carrying the key it is stored under.
  EXPECT_EQ(combos.at("ULS").displacement_nodes.at(2).dx, 1.0);
  EXPECT_EQ(combos.at("ULS (2)").displacement_nodes.at(2).dx, 3.0);
  EXPECT_EQ(combos.at("ULS (3)").displacement_nodes.at(2).dx, 4.0);
  EXPECT_EQ(combos.at("ULS (3)").name, "ULS (3)");
  EXPECT_EQ(combos.at("SLS").displacement_nodes.at(2).dx, 2.0);
}

TEST(InsertItems, AFailureEndsTheRunWithTheFirstMessageAndInsertsNothing) {
  // A design that loops over the combinations it finds must never pass over one that failed.
  varn::VARN working;
  working.results.emplace();
  PipelineRun run{working, {}, {}, 20, 0.0, false, {}, {}};
  std::vector<ItemResult> items;
  items.emplace_back(std::make_pair(std::string("ULS"), result_set("ULS", 1.0, 0.0)));
  items.emplace_back(varn::fail("Combo 2 error: singular"));
  items.emplace_back(varn::fail("Combo 5 error: diverged"));
  const auto inserted = varn::insert_item_results(run, varn::ResultMap::LoadCombinations, std::move(items));
  ASSERT_FALSE(inserted);
  EXPECT_EQ(inserted.error(), "Combo 2 error: singular");
  EXPECT_TRUE(working.results->loadcombinations.empty());
}

// The working bundle holds only the run's sets: one already there was stored by this run.
TEST(InsertItems, KeepsAnEntryThatWasThereAndCreatesTheBundleForNothing) {
  varn::VARN working;
  PipelineRun run{working, {}, {}, 20, 0.0, false, {}, {}};
  const auto none = varn::insert_item_results(run, varn::ResultMap::LoadCases, {});
  EXPECT_TRUE(none);
  // An empty bundle is made before inserting, also when there is nothing to insert.
  ASSERT_TRUE(working.results.has_value());

  working.results->loadcases["Dead"] = result_set("Dead", 9.0, 9.0);
  std::vector<ItemResult> items;
  items.emplace_back(std::make_pair(std::string("Dead"), result_set("Dead", 0.5, 0.0)));
  EXPECT_TRUE(varn::insert_item_results(run, varn::ResultMap::LoadCases, std::move(items)));
  EXPECT_EQ(working.results->loadcases.at("Dead").displacement_nodes.at(2).dx, 9.0);
  EXPECT_EQ(working.results->loadcases.at("Dead (2)").displacement_nodes.at(2).dx, 0.5);
}

// Several items fail, some with a fatal fault: whatever order the tasks ran in, the caller meets
// the failures in list order. The walk stops at the first message, before a later fault; a
// fault before the first message is the one raised.
TEST(ParallelItems, FailuresReachTheCallerInListOrder) {
  std::vector<std::uint32_t> ids(64);
  for (std::uint32_t i = 0; i < 64; ++i) ids[i] = i + 1;
  auto task = [](std::uint32_t id) -> ItemResult {
    if (id == 40 || id == 50) varn::fatal("fault in item " + std::to_string(id));
    if (id % 9 == 0) return varn::fail("LC " + std::to_string(id) + " second-order error: diverged");
    return std::make_pair(std::string("x"), Results{});
  };
  auto faulty_first = [](std::uint32_t id) -> ItemResult {
    if (id == 4 || id == 50) varn::fatal("fault in item " + std::to_string(id));
    if (id % 9 == 0) return varn::fail("LC " + std::to_string(id) + " second-order error: diverged");
    return std::make_pair(std::string("x"), Results{});
  };
  for (int repeat = 0; repeat < 20; ++repeat) {
    const auto items = varn::run_items_in_parallel(ids, task);
    ASSERT_EQ(items.size(), 9u);
    ASSERT_FALSE(items.back().has_value());
    EXPECT_EQ(items.back().error(), "LC 9 second-order error: diverged");
    try {
      varn::run_items_in_parallel(ids, faulty_first);
      ADD_FAILURE() << "no fault raised";
    } catch (const varn::FatalFault& f) {
      EXPECT_EQ(std::string(f.what()), "fault in item 4");
    }
  }
}

// Millimetres and kilonewtons: the run's SI sets are divided back, each in place of a carried
// set of its name; the other carried sets, and the overview, stay as they came.
TEST(OutputBundle, TheRunsSetsConvertedInPlaceOfCarriedSetsOfTheirNames) {
  const varn::UnitFactors mm_kn{0.001, 1000.0, 1.0};
  ResultsBundle carried;
  carried.loadcases["Dead"] = result_set("Dead", 2.0, 30.0);       // in mm and kN, not solved again
  carried.loadcases["Wind"] = result_set("Wind", 7.0, 70.0);       // replaced by the run below
  carried.loadcombinations["ULS"] = result_set("ULS", 4.0, 45.0);  // replaced by the run below
  carried.unity_checks_overview.emplace();

  ResultsBundle computed;
  computed.loadcases["Wind"] = result_set("Wind", 0.001, 5000.0);
  computed.loadcombinations["ULS"] = result_set("ULS", 0.004, 45000.0);
  computed.loadcombinations["SLS"] = result_set("SLS", 0.003, 30000.0);

  const auto out = varn::output_results(computed, carried, mm_kn);
  ASSERT_TRUE(out);
  auto dx = [](const Results& r) { return r.displacement_nodes.at(2).dx; };
  auto fz = [](const Results& r) { return r.reaction_nodes.at(1).nodal_forces.fz; };
  EXPECT_EQ(out->loadcases.size(), 2u);
  EXPECT_EQ(out->loadcombinations.size(), 2u);
  EXPECT_EQ(dx(out->loadcases.at("Dead")), 2.0);
  EXPECT_EQ(fz(out->loadcases.at("Dead")), 30.0);
  EXPECT_DOUBLE_EQ(dx(out->loadcases.at("Wind")), 1.0);
  EXPECT_DOUBLE_EQ(fz(out->loadcases.at("Wind")), 5.0);
  EXPECT_DOUBLE_EQ(dx(out->loadcombinations.at("ULS")), 4.0);
  EXPECT_DOUBLE_EQ(fz(out->loadcombinations.at("ULS")), 45.0);
  EXPECT_DOUBLE_EQ(dx(out->loadcombinations.at("SLS")), 3.0);
  EXPECT_TRUE(out->unity_checks_overview.has_value());
  // Reaction locations stay in metres.
  EXPECT_EQ(out->loadcases.at("Wind").reaction_nodes.at(1).location.X, 1.5);

  // Without carried sets everything is the run's; without either there is no bundle.
  const auto fresh = varn::output_results(computed, std::nullopt, mm_kn);
  ASSERT_TRUE(fresh);
  EXPECT_EQ(fresh->loadcases.size(), 1u);
  EXPECT_DOUBLE_EQ(dx(fresh->loadcases.at("Wind")), 1.0);
  EXPECT_FALSE(fresh->unity_checks_overview.has_value());
  const auto only_carried = varn::output_results(std::nullopt, carried, mm_kn);
  ASSERT_TRUE(only_carried);
  EXPECT_EQ(dx(only_carried->loadcases.at("Wind")), 7.0);
  EXPECT_FALSE(varn::output_results(std::nullopt, std::nullopt, mm_kn));
}

// ---- log lines of a run ----

std::string model_json(const std::string& analysis_options) {
  return R"({"member_sets":[{"id":1,"members":[
      {"id":1,"start_node":{"id":1,"X":0,"Y":0,"Z":0,"nodal_support":1},"end_node":{"id":2,"X":0,"Y":0,"Z":3},
       "section":1,"rotation_angle":0,"classification":"","weight":0,"member_type":"Normal"},
      {"id":2,"start_node":{"id":2,"X":0,"Y":0,"Z":3},"end_node":{"id":3,"X":4,"Y":0,"Z":3},
       "section":1,"rotation_angle":0,"classification":"","weight":0,"member_type":"Normal"}]},
     {"id":2,"members":[]}],
    "load_cases":[],"load_combinations":[],"imperfection_cases":[],
    "settings":{"id":1,"analysis_options":)" +
         analysis_options + R"(,
      "general_info":{"project_name":"p","author":"a","version":"1"},"unit_settings":{}},
    "materials":[{"id":1,"name":"S235","e_mod":2.1e11,"g_mod":8.1e10,"density":7850,"yield_stress":2.35e8}],
    "sections":[{"id":1,"name":"s","material":1,"i_y":1e-5,"i_z":1e-5,"j":1e-6,"area":1e-3}],
    "nodal_supports":[{"id":1,"displacement_conditions":{"Z":{"condition_type":"Spring","stiffness":1e6,
        "stiffness_curve":[[0,1e6],[10,2e6]]}},"rotation_conditions":{}}]})";
}

// Captures the analysis logger's records while alive; the logger goes back to off after.
class CapturedLog {
 public:
  CapturedLog() : logger_(varn::logger_for("varn_calculations::analysis")) {
    sink_ = std::make_shared<spdlog::sinks::ostream_sink_mt>(stream_);
    sink_->set_pattern("%l|%v");
    logger_->sinks().push_back(sink_);
    logger_->set_level(spdlog::level::info);
  }
  ~CapturedLog() {
    logger_->set_level(spdlog::level::off);
    logger_->sinks().pop_back();
  }
  std::vector<std::string> lines() const {
    std::vector<std::string> out;
    std::istringstream in(stream_.str());
    for (std::string line; std::getline(in, line);) out.push_back(line);
    return out;
  }

 private:
  std::shared_ptr<spdlog::logger> logger_;
  std::ostringstream stream_;
  std::shared_ptr<spdlog::sinks::ostream_sink_mt> sink_;
};

struct LogCase {
  const char* name;
  std::string options;
  std::string configuration;
  bool refused;
};

class RunLog : public ::testing::TestWithParam<LogCase> {};

TEST_P(RunLog, ConfigurationAndSummaryLines) {
  const LogCase& c = GetParam();
  std::vector<std::string> lines;
  varn::Expected<std::string> out = varn::fail("");
  {
    CapturedLog log;
    out = varn::run_pipeline_from_json(model_json(c.options));
    lines = log.lines();
  }
  ASSERT_GE(lines.size(), 2u);
  EXPECT_EQ(lines[0], "info|Analysis configuration \xE2\x86\x92 " + c.configuration);
  EXPECT_EQ(lines[1], "info|Model summary \xE2\x86\x92 member_sets=2, members_total=2, load_cases=0, load_combinations=0");
  if (c.refused) {
    ASSERT_FALSE(out.has_value());
    EXPECT_EQ(out.error(),
              "StiffnessCurve support conditions require NonLinear (second-order) analysis order. Set "
              "analysis_options.order to \"Nonlinear\".");
  } else {
    EXPECT_TRUE(out.has_value()) << out.error();
  }
}

INSTANTIATE_TEST_SUITE_P(
    Pipeline, RunLog,
    ::testing::Values(
        LogCase{"linear_defaults",
                R"({"id":1,"solve_loadcases":true,"solver":"d","tolerance":0.000001,"dimensionality":"3D",
                    "order":"Linear","rigid_strategy":"linear_mpc"})",
                "order=Linear, rigid_strategy=LinearMpc, solve_loadcases=true, max_iterations=20, tolerance=0.000001",
                true},
        LogCase{"nonlinear_plain_decimals",
                R"({"id":1,"solve_loadcases":false,"solver":"d","tolerance":1e-10,"max_iterations":7,
                    "dimensionality":"3D","order":"NONLINEAR","rigid_strategy":"RigidMember"})",
                "order=Nonlinear, rigid_strategy=RigidMember, solve_loadcases=false, max_iterations=7, "
                "tolerance=0.0000000001",
                false},
        // Tolerances a second-order run refuses, logged by a linear one.
        LogCase{"integral_and_large_tolerance",
                R"({"id":1,"solve_loadcases":false,"solver":"d","tolerance":2.5e20,"max_iterations":null,
                    "dimensionality":"2D","order":"Linear","rigid_strategy":"Rigid_Member"})",
                "order=Linear, rigid_strategy=RigidMember, solve_loadcases=false, max_iterations=20, "
                "tolerance=250000000000000000000",
                true},
        LogCase{"unit_tolerance", R"({"id":1,"solve_loadcases":true,"solver":"d","tolerance":1,"dimensionality":"3D",
                    "order":"Linear","rigid_strategy":"LinearMpc"})",
                "order=Linear, rigid_strategy=LinearMpc, solve_loadcases=true, max_iterations=20, tolerance=1",
                true}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(Pipeline, NothingIsLoggedBeforeTheModelReadsOrWhenTheLoggerIsOff) {
  {
    CapturedLog log;
    EXPECT_FALSE(varn::run_pipeline_from_json("{").has_value());
    EXPECT_TRUE(log.lines().empty());
  }
  EXPECT_FALSE(varn::logger_for("varn_calculations::analysis")->should_log(spdlog::level::critical));
}

// The output of an analysis is the same text on one thread and on all, and is the text the
// element-by-element writer gives for the same document: the results written in pieces on
// the pool come back joined in order, and the solve's sums do not depend on the thread count.
TEST(Pipeline, OutputIsTheSerialWritersTextOnEveryThreadCount) {
  const std::size_t all = std::max(2u, std::thread::hardware_concurrency());
  for (const char* name : {"cantilever_with_tension_hanger.json", "model_full_m_n.json", "model_full_mm_kn.json",
                           "node_on_ties_started_from_poor_guess.json", "space_frame_two_storeys.json",
                           "x_braced_portal_tension_diagonals.json"}) {
    const std::string input = varn::testing::read_fixture(name);
    std::string reference;
    {
      tbb::global_control one(tbb::global_control::max_allowed_parallelism, 1);
      const varn::json::PieceBytesScope serial(0);
      auto out = varn::run_pipeline_from_json(input);
      ASSERT_TRUE(out.has_value()) << name << ": " << out.error();
      reference = *out;
    }
    for (std::size_t threads : {std::size_t{1}, all}) {
      tbb::global_control limit(tbb::global_control::max_allowed_parallelism, threads);
      // One element a piece, so that even these small models are written in pieces.
      const varn::json::PieceBytesScope pieces(1);
      auto out = varn::run_pipeline_from_json(input);
      ASSERT_TRUE(out.has_value()) << name << ": " << out.error();
      EXPECT_TRUE(*out == reference) << name << " on " << threads << " threads";
    }
  }
}

}  // namespace
