#pragma once
// What any text given to the whole pipeline must end in: output that reads back as a model
// with its results, or one non-empty worded error. A fatal fault counts as a worded error
// ("Internal solver panic: ..."), caught the way the Python module catches it; it is reported
// as a panic so that the fuzz run and the replay can say which inputs reach one.
// Shared by the libFuzzer target and the corpus replay, so both judge an input alike.
#include <string>
#include <string_view>

#include "analysis.h"
#include "expected.h"
#include "models/varn/varn.h"
#include "panic.h"

namespace varn::fuzz {

struct PipelineVerdict {
  bool fault = false;  // an outcome the pipeline must never give
  bool panic = false;  // a fatal fault became the error message
  std::string what;    // the fault, or the error or panic message
};

inline PipelineVerdict check_pipeline(std::string_view text) {
  PipelineVerdict verdict;
  Expected<std::string> result = catch_panics([&] { return run_pipeline_from_json(text); });
  if (!result) {
    verdict.what = result.error();
    if (verdict.what.empty()) {
      verdict.fault = true;
      verdict.what = "empty error message";
    }
    verdict.panic = verdict.what.rfind("Internal solver panic", 0) == 0;
    return verdict;
  }
  if (result->empty()) {
    verdict.fault = true;
    verdict.what = "empty output";
    return verdict;
  }
  // What the pipeline writes is a model with its results: it must read back as one.
  json::ParseResult<VARN> again = VARN::from_json(*result);
  if (!again.ok()) {
    verdict.fault = true;
    verdict.what = "output does not read back: " + again.error.to_string();
  }
  return verdict;
}

}  // namespace varn::fuzz
