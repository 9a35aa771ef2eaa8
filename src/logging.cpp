#include "logging.h"

#include <mutex>

#include <spdlog/spdlog.h>

namespace varn {

std::shared_ptr<spdlog::logger> logger_for(const std::string& target) {
  static std::mutex mutex;
  std::lock_guard<std::mutex> lock(mutex);
  if (auto existing = spdlog::get(target)) return existing;
  auto created = std::make_shared<spdlog::logger>(target);  // no sinks
  created->set_level(spdlog::level::off);
  spdlog::register_logger(created);
  return created;
}

const std::shared_ptr<spdlog::logger>& solver_log() {
  static const std::shared_ptr<spdlog::logger> log = logger_for("varn_calculations::models::varn::varn");
  return log;
}

}  // namespace varn
