// Replays fuzz inputs in the ordinary build, judged exactly as the libFuzzer targets judge
// them, so that CI keeps every input the fuzzers found interesting without needing clang:
//
//     replay_corpus [--seconds N] --pipeline DIR... [--reader DIR...]
//
// Each file of a --pipeline directory goes through the whole pipeline, each file of a
// --reader directory through the reader. The run fails on a fault (a crash ends it anyway)
// and on any input that runs longer than the bound (default 30 s): a hang shows as a named
// file instead of a stuck test. Files are taken in name order; panics are listed.
#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "pipeline_check.h"
#include "reader_check.h"

namespace {

namespace fs = std::filesystem;

struct Input {
  fs::path path;
  bool pipeline;
};

// Ends the process when one input outlives the bound; started before and stopped after each.
class Watchdog {
 public:
  explicit Watchdog(double seconds) : bound_(seconds) {
    thread_ = std::thread([this] { watch(); });
  }
  ~Watchdog() {
    {
      std::lock_guard<std::mutex> g(lock_);
      quit_ = true;
    }
    wake_.notify_all();
    thread_.join();
  }
  void start(const std::string& name) {
    std::lock_guard<std::mutex> g(lock_);
    name_ = name;
    deadline_ = std::chrono::steady_clock::now() + std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                                                       std::chrono::duration<double>(bound_));
    armed_ = true;
    wake_.notify_all();
  }
  void stop() {
    std::lock_guard<std::mutex> g(lock_);
    armed_ = false;
    wake_.notify_all();
  }

 private:
  void watch() {
    std::unique_lock<std::mutex> g(lock_);
    while (!quit_) {
      if (!armed_) {
        wake_.wait(g);
        continue;
      }
      if (wake_.wait_until(g, deadline_) == std::cv_status::timeout && armed_ && !quit_ &&
          std::chrono::steady_clock::now() >= deadline_) {
        std::fprintf(stderr, "FAIL %s: still running after %.0f s\n", name_.c_str(), bound_);
        std::fflush(stderr);
        std::_Exit(1);
      }
    }
  }

  double bound_;
  std::mutex lock_;
  std::condition_variable wake_;
  std::thread thread_;
  std::string name_;
  std::chrono::steady_clock::time_point deadline_{};
  bool armed_ = false;
  bool quit_ = false;
};

std::string read_bytes(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

int usage() {
  std::fprintf(stderr, "usage: replay_corpus [--seconds N] --pipeline DIR... [--reader DIR...]\n");
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  double seconds = 30.0;
  std::vector<Input> inputs;
  int mode = 0;  // 1: pipeline directories follow, 2: reader directories follow
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    if (arg == "--seconds" && i + 1 < argc) {
      seconds = std::atof(argv[++i]);
    } else if (arg == "--pipeline") {
      mode = 1;
    } else if (arg == "--reader") {
      mode = 2;
    } else if (mode != 0) {
      std::error_code ec;
      std::vector<fs::path> files;
      for (const auto& entry : fs::directory_iterator(arg, ec)) {
        if (entry.is_regular_file()) files.push_back(entry.path());
      }
      if (ec || files.empty()) {
        std::fprintf(stderr, "FAIL %s: no inputs to replay\n", arg.c_str());
        return 1;
      }
      std::sort(files.begin(), files.end());
      for (auto& f : files) inputs.push_back({f, mode == 1});
    } else {
      return usage();
    }
  }
  if (inputs.empty() || !(seconds > 0)) return usage();

  int faults = 0;
  int panics = 0;
  Watchdog watchdog(seconds);
  for (const Input& input : inputs) {
    const std::string text = read_bytes(input.path);
    const std::string name = input.path.string();
    // Named before it runs, so that a crash of the replay says which input caused it.
    std::printf("%s\n", name.c_str());
    std::fflush(stdout);
    watchdog.start(name);
    std::string fault;
    if (input.pipeline) {
      varn::fuzz::PipelineVerdict verdict = varn::fuzz::check_pipeline(text);
      if (verdict.fault) fault = verdict.what;
      if (verdict.panic) {
        ++panics;
        std::printf("panic %s: %s\n", name.c_str(), verdict.what.c_str());
      }
    } else {
      fault = varn::fuzz::check_reader(text);
    }
    watchdog.stop();
    if (!fault.empty()) {
      ++faults;
      std::fprintf(stderr, "FAIL %s: %s\n", name.c_str(), fault.c_str());
    }
  }
  std::printf("%zu inputs replayed, %d faults, %d panics\n", inputs.size(), faults, panics);
  return faults == 0 ? 0 : 1;
}
