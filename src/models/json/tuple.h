#pragma once
// Fixed-size triples of floats (load directions, imperfection axes): a JSON array of exactly
// three numbers, refused when shorter ("invalid length") or longer ("trailing characters").
#include <array>
#include <string>
#include <string_view>

#include "models/json/record.h"

namespace varn {

using Triple = std::array<double, 3>;

}  // namespace varn

template <>
struct varn::json::Codec<varn::Triple> {
  static constexpr std::string_view expected = "a tuple of size 3";

  static void read(Reader& r, varn::Triple& out) {
    if (r.peek() != '[') r.fail_invalid_type(expected);
    r.enter();
    std::size_t count = 0;
    for (double& component : out) {
      if (!r.next_element(count == 0)) {
        // The closing bracket is consumed before the length is reported.
        r.end_array();
        r.fail("invalid length " + std::to_string(count) + ", expected " + std::string(expected));
      }
      read_into(r, component);
      ++count;
    }
    r.end_array();
  }

  static void write(std::string& out, const varn::Triple& t) {
    out += '[';
    write_f64(out, t[0]);
    out += ',';
    write_f64(out, t[1]);
    out += ',';
    write_f64(out, t[2]);
    out += ']';
  }
};
