// libFuzzer target: any byte sequence given to the reader must end in a record or in one
// worded error, never a crash, a hang or unbounded memory.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>

#include "reader_check.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string_view text(reinterpret_cast<const char*>(data), size);
  if (std::string fault = varn::fuzz::check_reader(text); !fault.empty()) {
    std::fprintf(stderr, "reader fault: %s\n", fault.c_str());
    __builtin_trap();
  }
  return 0;
}
