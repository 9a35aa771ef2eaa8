// libFuzzer target of the whole pipeline: any text, first- or second-order model alike, must
// end in output that reads back or in one worded error; never a crash, undefined behaviour,
// a hang or unbounded memory (the last two are bounded by -timeout and -rss_limit_mb).
//
// A panic is a worded error, yet on user input it usually marks a plain input mistake that
// validation should have named. With VARN_FUZZ_PANIC_DIR set, the first input reaching each
// distinct panic message is written there (and the message printed once), so a long run
// collects them without stopping.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <mutex>
#include <set>
#include <string>
#include <string_view>

#include "pipeline_check.h"

namespace {

// FNV-1a of the message: a stable file name for the input that first reached it.
std::uint64_t fnv1a(std::string_view text) {
  std::uint64_t h = 1469598103934665603ull;
  for (unsigned char c : text) {
    h ^= c;
    h *= 1099511628211ull;
  }
  return h;
}

void keep_panic_input(std::string_view message, std::string_view input) {
  static const char* dir = std::getenv("VARN_FUZZ_PANIC_DIR");
  if (dir == nullptr) return;
  static std::mutex lock;
  static std::set<std::string> seen;
  std::lock_guard<std::mutex> guard(lock);
  // Messages differing only in a number are one panic: key on the text without digits.
  std::string key;
  for (char c : message) {
    if (c < '0' || c > '9') key.push_back(c);
  }
  if (!seen.insert(key).second) return;
  char name[32];
  std::snprintf(name, sizeof name, "panic-%016llx", static_cast<unsigned long long>(fnv1a(key)));
  std::string path = std::string(dir) + "/" + name;
  std::ofstream(path, std::ios::binary).write(input.data(), static_cast<std::streamsize>(input.size()));
  std::fprintf(stderr, "PANIC %s: %.*s\n", name, static_cast<int>(message.size()), message.data());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string_view text(reinterpret_cast<const char*>(data), size);
  varn::fuzz::PipelineVerdict verdict = varn::fuzz::check_pipeline(text);
  if (verdict.fault) {
    std::fprintf(stderr, "pipeline fault: %s\n", verdict.what.c_str());
    __builtin_trap();
  }
  if (verdict.panic) keep_panic_input(verdict.what, text);
  return 0;
}
