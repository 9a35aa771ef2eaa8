#pragma once
// Loggers by module target ("varn_calculations::analysis", "varn::diagnostics", ...). A logger
// is made on first use with no sink and its level at off, so nothing is ever written unless
// an embedding program attaches a sink and lowers the level itself.
#include <memory>
#include <string>

#include <spdlog/logger.h>

namespace varn {

// The logger of a target; the same object for every call with the same target. Thread-safe.
std::shared_ptr<spdlog::logger> logger_for(const std::string& target);

}  // namespace varn
