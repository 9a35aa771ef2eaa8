#pragma once
// Fixed-size numeric tuples (a load direction, an imperfection axis): a JSON array of exactly
// N values. Too few elements is an invalid length against "a tuple of size N", too many is
// "trailing characters"; written as an N-element array.
#include <array>
#include <cstddef>
#include <string>

#include "models/json/record.h"

namespace varn::json {

template <class T, std::size_t N>
struct Codec<std::array<T, N>> {
  static inline const std::string expected = "a tuple of size " + std::to_string(N);

  static void read(Reader& r, std::array<T, N>& out) {
    if (r.peek() != '[') r.fail_invalid_type(expected);
    r.enter();
    for (std::size_t k = 0; k < N; ++k) {
      if (!r.next_element(k == 0)) {
        // The closing bracket is consumed before the length is reported.
        r.end_array();
        r.fail("invalid length " + std::to_string(k) + ", expected " + expected);
      }
      read_into(r, out[k]);
    }
    r.end_array();
  }

  static void write(std::string& out, const std::array<T, N>& a) {
    out += '[';
    for (std::size_t k = 0; k < N; ++k) {
      if (k) out += ',';
      write_from(out, a[k]);
    }
    out += ']';
  }
};

}  // namespace varn::json
