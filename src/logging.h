#pragma once
// Loggers by module target ("varn_calculations::analysis", "varn::diagnostics", ...). A logger
// is made on first use with no sink and its level at off, so nothing is ever written unless
// an embedding program attaches a sink and lowers the level itself.
#include <chrono>
#include <memory>
#include <string>

#include <spdlog/logger.h>

namespace varn {

// The logger of a target; the same object for every call with the same target. Thread-safe.
std::shared_ptr<spdlog::logger> logger_for(const std::string& target);

// The logger of the solvers' progress and timing lines ("varn_calculations::models::varn::varn").
const std::shared_ptr<spdlog::logger>& solver_log();

// Seconds on the monotonic clock since `start`, for the timing lines.
inline double seconds_since(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

}  // namespace varn
