#pragma once
// What any text given to the reader must end in: a record that is written and read back, or
// one worded error. Shared by the reader's libFuzzer target and the seed replay.
#include <string>
#include <string_view>
#include <vector>

#include "models/json/record.h"
#include "models/json/value.h"
#include "models/members/memberset.h"
#include "models/varn/varn.h"

namespace varn::fuzz {

// The fault found, or empty when the reader behaved.
template <class T>
std::string check_read_and_rewrite(std::string_view text) {
  auto r = json::parse<T>(text);
  if (!r.ok()) return r.error.message.empty() ? "empty read error" : std::string{};
  // What was read must be written and read back.
  std::string out = json::to_json(*r.value);
  auto again = json::parse<T>(out);
  if (!again.ok()) return "written record does not read back: " + again.error.to_string();
  return {};
}

// The text as a bare value, as member sets and as a whole model.
inline std::string check_reader(std::string_view text) {
  if (std::string f = check_read_and_rewrite<json::Value>(text); !f.empty()) return "value: " + f;
  if (std::string f = check_read_and_rewrite<std::vector<MemberSet>>(text); !f.empty()) return "member sets: " + f;
  if (std::string f = check_read_and_rewrite<VARN>(text); !f.empty()) return "model: " + f;
  return {};
}

}  // namespace varn::fuzz
