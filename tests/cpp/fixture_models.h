#pragma once
// Fixtures as the solves see them: read, carried-in results dropped, converted to SI.
#include <stdexcept>
#include <string>
#include <utility>

#include "analysis.h"
#include "models/varn/varn.h"

namespace varn::testing {

inline VARN load_si(const std::string& name) {
  auto text = read_text_file(std::string(VARN_FIXTURES_DIR) + "/" + name);
  if (!text) throw std::runtime_error("cannot read fixture " + name + ": " + text.error());
  auto parsed = VARN::from_json(*text);
  if (!parsed.ok()) throw std::runtime_error("cannot parse fixture " + name);
  VARN model = std::move(*parsed.value);
  model.results.reset();
  model.normalize_units();
  return model;
}

}  // namespace varn::testing
