#include "diagnostics/diagnostics.h"

#include <cstdio>

#include <spdlog/logger.h>

#include "logging.h"
#include "models/json/record.h"

// Field tables of the event variants: the JSON form of each event follows from them.
namespace varn::json {
namespace d = varn::diagnostics;

#define VARN_EVENT_META(T, ...)                                 \
  template <>                                                   \
  struct RecordMeta<d::T> {                                     \
    static constexpr std::string_view name = #T;                \
    static const auto& fields() {                               \
      using E = d::T;                                           \
      static const auto f = std::make_tuple(__VA_ARGS__);       \
      return f;                                                 \
    }                                                           \
  };

VARN_EVENT_META(Iteration, required("phase", &E::phase), required("iteration", &E::iteration),
                required("residual", &E::residual), required("relative_du", &E::relative_du),
                required("changed_active_set", &E::changed_active_set))
VARN_EVENT_META(ActiveDecision, required("member_id", &E::member_id), required("member_kind", &E::member_kind),
                required("axial_force", &E::axial_force), required("was_active", &E::was_active),
                required("now_active", &E::now_active), required("reason", &E::reason), required("tol", &E::tol),
                required("reactivation_buffer", &E::reactivation_buffer))
VARN_EVENT_META(RigidEdge, required("master", &E::master), required("slave", &E::slave), required("rx", &E::rx),
                required("ry", &E::ry), required("rz", &E::rz))
VARN_EVENT_META(LineSearch, required("alpha", &E::alpha), required("residual_before", &E::residual_before),
                required("residual_after", &E::residual_after))
VARN_EVENT_META(Constraint, required("node_id", &E::node_id), required("dof", &E::dof),
                required("retained_in_reduced", &E::retained_in_reduced), required("method", &E::method),
                required("penalty_alpha", &E::penalty_alpha), required("pivot_index", &E::pivot_index))
VARN_EVENT_META(MatrixDiag, required("location", &E::location), required("n", &E::n),
                required("min_diag", &E::min_diag), required("max_diag", &E::max_diag),
                required("zero_rows", &E::zero_rows), required("near_zero_rows", &E::near_zero_rows))
VARN_EVENT_META(Step, required("step_index", &E::step_index), required("steps_total", &E::steps_total),
                required("lambda", &E::lambda), required("substep_multiplier", &E::substep_multiplier))
VARN_EVENT_META(SubstepRefined, required("old_multiplier", &E::old_multiplier),
                required("new_multiplier", &E::new_multiplier), required("reason", &E::reason))
VARN_EVENT_META(ActiveMapSummary, required("ties_on", &E::ties_on), required("ties_off", &E::ties_off),
                required("struts_on", &E::struts_on), required("struts_off", &E::struts_off))

#undef VARN_EVENT_META
}  // namespace varn::json

namespace varn::diagnostics {

std::string to_json(const SolverEvent& event) {
  return std::visit(
      [](const auto& e) {
        using E = std::decay_t<decltype(e)>;
        std::string body = json::to_json(e);  // {"field":...}
        std::string out;
        out.reserve(body.size() + 32);
        out += "{\"type\":";
        json::write_string(out, json::RecordMeta<E>::name);
        if (body.size() > 2) {
          out += ',';
          out.append(body, 1, std::string::npos);
        } else {
          out += '}';
        }
        return out;
      },
      event);
}

void log_event(const SolverEvent& event) {
  static const auto logger = logger_for("varn::diagnostics");
  if (!logger->should_log(spdlog::level::debug)) return;
  logger->debug(to_json(event));
}

std::string_view dof_label(std::size_t k) {
  static constexpr std::string_view labels[] = {"UX", "UY", "UZ", "RX", "RY", "RZ"};
  return k < 6 ? labels[k] : "UNKNOWN";
}

std::string dof_text(std::size_t k) {
  if (k == 6) return "WARP";
  return std::string(dof_label(k));
}

std::string ratio_text(double v) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%.1e", v);
  return buf;
}

}  // namespace varn::diagnostics
