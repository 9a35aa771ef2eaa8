#pragma once
// Compact JSON writing: no whitespace, shortest round-trip floats, non-finite floats as null.
#include <cstdint>
#include <string>
#include <string_view>

namespace varn::json {

void write_string(std::string& out, std::string_view s);
void write_u64(std::string& out, std::uint64_t v);
void write_i64(std::string& out, std::int64_t v);
// The shortest decimal text that reads back to the same double, with a fraction part for
// integral values ("1.0") so that readers keep it a float; NaN and infinities become null.
void write_f64(std::string& out, double v);
inline void write_bool(std::string& out, bool v) { out += v ? "true" : "false"; }
inline void write_null(std::string& out) { out += "null"; }

}  // namespace varn::json
