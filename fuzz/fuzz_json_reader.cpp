// libFuzzer target: any byte sequence given to the reader must end in a record or in one
// worded error, never a crash, a hang or unbounded memory.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "models/json/record.h"
#include "models/json/value.h"
#include "models/members/memberset.h"
#if __has_include("models/varn/varn.h")
#include "models/varn/varn.h"
#define VARN_FUZZ_MODEL 1
#endif

namespace {

template <class T>
void read_and_rewrite(std::string_view text) {
  auto r = varn::json::parse<T>(text);
  if (r.ok()) {
    // What was read must be written and read back.
    std::string out = varn::json::to_json(*r.value);
    auto again = varn::json::parse<T>(out);
    if (!again.ok()) __builtin_trap();
  } else if (r.error.message.empty()) {
    __builtin_trap();
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string_view text(reinterpret_cast<const char*>(data), size);
  read_and_rewrite<varn::json::Value>(text);
  read_and_rewrite<std::vector<varn::MemberSet>>(text);
#ifdef VARN_FUZZ_MODEL
  read_and_rewrite<varn::VARN>(text);
#endif
  return 0;
}
