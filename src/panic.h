#pragma once
// The last line of defence at the module boundary: a fatal fault of the numerics (or any
// other exception that escaped the analysis, also one carried out of a pool worker) becomes
// one message, and the process goes on serving the next call.
#include <exception>
#include <string>
#include <utility>

#include <cxxabi.h>

#include "expected.h"

namespace varn {

// "Internal solver panic: {}" for a fault that carries a text (any std::exception, a thrown
// std::string or C string), "Internal solver panic (unknown cause)" for anything else.
std::string panic_to_string(std::exception_ptr fault);

// Runs the work and returns its result; a fault thrown anywhere inside becomes the failure
// message of panic_to_string.
template <class F>
auto catch_panics(F&& work) -> decltype(std::forward<F>(work)()) {
  try {
    return std::forward<F>(work)();
  } catch (abi::__forced_unwind&) {
    throw;  // thread cancellation must keep unwinding
  } catch (...) {
    return fail(panic_to_string(std::current_exception()));
  }
}

}  // namespace varn
