#include "panic.h"

#include <string>

namespace varn {

std::string panic_to_string(std::exception_ptr fault) {
  static const std::string prefix = "Internal solver panic: ";
  if (!fault) return "Internal solver panic (unknown cause)";
  try {
    std::rethrow_exception(fault);
  } catch (const std::exception& e) {
    return prefix + e.what();
  } catch (const std::string& text) {
    return prefix + text;
  } catch (const char* text) {
    return text ? prefix + text : "Internal solver panic (unknown cause)";
  } catch (...) {
  }
  return "Internal solver panic (unknown cause)";
}

}  // namespace varn
