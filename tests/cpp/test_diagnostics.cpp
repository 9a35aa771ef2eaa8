// Diagnostic events: their compact JSON form and their delivery to a host's logger.
#include <gtest/gtest.h>

#include <limits>
#include <memory>
#include <mutex>

#include <spdlog/sinks/base_sink.h>
#include <spdlog/spdlog.h>

#include "diagnostics/diagnostics.h"
#include "logging.h"

namespace varn {
namespace {

using namespace diagnostics;

TEST(Diagnostics, EventsAreCompactJsonTaggedByType) {
  EXPECT_EQ(to_json(ActiveMapSummary{3, 1, 0, 2}),
            "{\"type\":\"ActiveMapSummary\",\"ties_on\":3,\"ties_off\":1,\"struts_on\":0,\"struts_off\":2}");
  ActiveDecision d{12, "Tension", -4.5, true, false, "n < -tol → OFF", 1e-6,
                   std::numeric_limits<double>::infinity()};
  EXPECT_EQ(to_json(d),
            "{\"type\":\"ActiveDecision\",\"member_id\":12,\"member_kind\":\"Tension\",\"axial_force\":-4.5,"
            "\"was_active\":true,\"now_active\":false,\"reason\":\"n < -tol → OFF\",\"tol\":1e-06,"
            "\"reactivation_buffer\":null}");
  EXPECT_EQ(to_json(Constraint{4, std::string(dof_label(1)), false, "Penalty", 1e20, std::nullopt}),
            "{\"type\":\"Constraint\",\"node_id\":4,\"dof\":\"UY\",\"retained_in_reduced\":false,\"method\":"
            "\"Penalty\",\"penalty_alpha\":1e+20,\"pivot_index\":null}");
  EXPECT_EQ(to_json(Constraint{4, std::string(dof_label(6)), true, "ExactOneHot", std::nullopt, 27}),
            "{\"type\":\"Constraint\",\"node_id\":4,\"dof\":\"UNKNOWN\",\"retained_in_reduced\":true,\"method\":"
            "\"ExactOneHot\",\"penalty_alpha\":null,\"pivot_index\":27}");
  EXPECT_EQ(to_json(Iteration{"newton", 2, std::nullopt, 0.5, true}),
            "{\"type\":\"Iteration\",\"phase\":\"newton\",\"iteration\":2,\"residual\":null,\"relative_du\":0.5,"
            "\"changed_active_set\":true}");
  EXPECT_EQ(to_json(Step{1, 10, 0.1, 2}),
            "{\"type\":\"Step\",\"step_index\":1,\"steps_total\":10,\"lambda\":0.1,\"substep_multiplier\":2}");
}

// Collects every message logged through it.
class CollectingSink : public spdlog::sinks::base_sink<std::mutex> {
 public:
  std::vector<std::string> messages;

 protected:
  void sink_it_(const spdlog::details::log_msg& msg) override {
    messages.emplace_back(msg.payload.data(), msg.payload.size());
  }
  void flush_() override {}
};

TEST(Diagnostics, DeliveredAtDebugOnlyWhenAHostAttachesASink) {
  auto logger = logger_for("varn::diagnostics");
  auto sink = std::make_shared<CollectingSink>();
  logger->sinks().push_back(sink);
  log_event(ActiveMapSummary{1, 0, 0, 0});  // level off: nothing
  EXPECT_TRUE(sink->messages.empty());
  logger->set_level(spdlog::level::debug);
  log_event(RigidEdge{1, 2, 0.0, 0.5, 0.0});
  logger->set_level(spdlog::level::off);
  logger->sinks().pop_back();
  ASSERT_EQ(sink->messages.size(), 1u);
  EXPECT_EQ(sink->messages[0], "{\"type\":\"RigidEdge\",\"master\":1,\"slave\":2,\"rx\":0.0,\"ry\":0.5,\"rz\":0.0}");
}

}  // namespace
}  // namespace varn
