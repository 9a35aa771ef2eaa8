#include "analysis.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstddef>
#include <map>
#include <memory>
#include <new>
#include <optional>
#include <set>
#include <stdexcept>
#include <string>
#include <string_view>
#include <system_error>
#include <utility>
#include <vector>

#include <spdlog/logger.h>

#include "analysis_paths.h"
#include "functions/sparse.h"
#include "functions/support_utils.h"
#include "huge_pages.h"
#include "logging.h"
#include "models/varn/validation.h"

namespace varn {

namespace {

// The text split into lines after every line feed; the line feed, and a carriage return
// just before it, are not part of the line. Text after a final line feed is no line.
std::vector<std::string_view> split_lines(std::string_view text) {
  std::vector<std::string_view> lines;
  std::size_t pos = 0;
  while (pos < text.size()) {
    std::size_t nl = text.find('\n', pos);
    if (nl == std::string_view::npos) {
      lines.push_back(text.substr(pos));
      break;
    }
    std::string_view line = text.substr(pos, nl - pos);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    lines.push_back(line);
    pos = nl + 1;
  }
  return lines;
}

bool is_utf8_continuation(char c) { return (static_cast<unsigned char>(c) & 0xC0) == 0x80; }

void append_numbered_line(std::string& out, std::string_view prefix, std::size_t number, std::string_view line) {
  out += prefix;
  out += std::to_string(number);
  out += " | ";
  out += line;
  out += '\n';
}

}  // namespace

std::string format_json_error(const json::ReadError& error, std::string_view input) {
  const std::string full = error.to_string();
  const std::size_t line_no = error.line;
  const std::size_t column = error.column;
  const std::size_t caret = column == 0 ? 0 : column - 1;
  const std::vector<std::string_view> lines = split_lines(input);
  const std::size_t n = lines.size();

  std::string out;
  out += "JSON deserialization error: ";
  out += full;
  out += '\n';
  out += "  Location: line " + std::to_string(line_no) + ", column " + std::to_string(column) + "\n";

  if (line_no >= 1 && line_no <= n) {
    out += "\n  Context:\n";
    if (line_no >= 3) append_numbered_line(out, "    ", line_no - 2, lines[line_no - 3]);
    if (line_no >= 2) append_numbered_line(out, "    ", line_no - 1, lines[line_no - 2]);
    append_numbered_line(out, "  > ", line_no, lines[line_no - 1]);
    out += "      | ";
    out.append(caret, ' ');
    out += "^\n";
    if (line_no + 1 <= n) append_numbered_line(out, "    ", line_no + 1, lines[line_no]);
    if (line_no + 2 <= n) append_numbered_line(out, "    ", line_no + 2, lines[line_no + 1]);
  }

  if (n == 1) {
    // Up to fifty bytes on either side of the column. The window is narrowed to whole
    // characters so that the report stays valid UTF-8 when a cut would split one.
    std::size_t start = column < 51 ? 0 : column - 51;
    std::size_t end = std::min(input.size(), caret + 50);
    while (start < end && is_utf8_continuation(input[start])) ++start;
    while (end > start && end < input.size() && is_utf8_continuation(input[end])) --end;
    out += "\n  JSON snippet:\n";
    out += "    ...";
    out += input.substr(start, end - start);
    out += '\n';
    out += "       ";
    out.append(caret >= start ? caret - start : 0, ' ');
    out += "^\n";
  }

  out += '\n';

  if (full.find("expected struct") != std::string::npos && full.find("Member") != std::string::npos) {
    out += "Hint: Expected a Member object (with fields like id, start_node, end_node, etc.)\n";
    out += "      but found a primitive value instead.\n";
    out += "      Check if you're using an integer/number where a full Member object is expected.\n";
  } else if (full.find("expected") != std::string::npos) {
    out += "Hint: Type mismatch detected.\n";
    out += "      - Verify the field type matches the expected schema\n";
    out += "      - Check if you're using a primitive where an object is expected (or vice versa)\n";
  }

  out += "\nGeneral troubleshooting:\n";
  out += "  - Ensure all required fields are present\n";
  out += "  - Verify field types match the schema (objects vs. primitives)\n";
  out += "  - Check for missing or extra commas/brackets\n";
  out += "  - Validate array elements are of consistent type\n";
  return out;
}

bool is_valid_utf8(std::string_view bytes) {
  const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
  const auto* end = p + bytes.size();
  while (p < end) {
    unsigned char b = *p;
    if (b < 0x80) {
      ++p;
      continue;
    }
    std::size_t len;
    unsigned char lo = 0x80, hi = 0xBF;  // allowed range of the second byte
    if (b >= 0xC2 && b <= 0xDF) {
      len = 2;
    } else if (b >= 0xE0 && b <= 0xEF) {
      len = 3;
      if (b == 0xE0) lo = 0xA0;  // no overlong forms
      if (b == 0xED) hi = 0x9F;  // no UTF-16 surrogates
    } else if (b >= 0xF0 && b <= 0xF4) {
      len = 4;
      if (b == 0xF0) lo = 0x90;
      if (b == 0xF4) hi = 0x8F;  // nothing beyond U+10FFFF
    } else {
      return false;
    }
    if (static_cast<std::size_t>(end - p) < len) return false;
    if (p[1] < lo || p[1] > hi) return false;
    for (std::size_t k = 2; k < len; ++k)
      if ((p[k] & 0xC0) != 0x80) return false;
    p += len;
  }
  return true;
}

namespace {

std::string os_error_text(int err) { return std::system_category().message(err); }

constexpr const char* kNotARegularFile = "not a regular file";

// Closes the descriptor on every path out of the read.
struct FileDescriptor {
  int fd = -1;
  ~FileDescriptor() {
    if (fd >= 0) ::close(fd);
  }
};

}  // namespace

Expected<std::string> read_text_file(const std::string& path) {
  // open() would stop at an embedded NUL and read some other file.
  if (path.find('\0') != std::string::npos) return fail("file name contained an unexpected NUL byte");

  // Only a regular file has an end: a FIFO would block the read until a writer comes (or
  // forever), a device like /dev/zero never stops giving bytes. Such paths are refused before
  // they are opened, since opening itself may block or act on a device.
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) return fail(os_error_text(errno));
  if (S_ISDIR(st.st_mode)) return fail(os_error_text(EISDIR));
  if (!S_ISREG(st.st_mode)) return fail(kNotARegularFile);

  // Non-blocking, and checked again on the open file, in case the path was replaced by
  // something else between the look and the open.
  FileDescriptor file;
  do {
    file.fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  } while (file.fd < 0 && errno == EINTR);
  if (file.fd < 0) return fail(os_error_text(errno));
  if (::fstat(file.fd, &st) != 0) return fail(os_error_text(errno));
  if (S_ISDIR(st.st_mode)) return fail(os_error_text(EISDIR));
  if (!S_ISREG(st.st_mode)) return fail(kNotARegularFile);

  std::string text;
  if (S_ISREG(st.st_mode) && st.st_size > 0) text.reserve(static_cast<std::size_t>(st.st_size));
  char buf[65536];
  for (;;) {
    ssize_t got = ::read(file.fd, buf, sizeof buf);
    if (got < 0) {
      if (errno == EINTR) continue;
      return fail(os_error_text(errno));
    }
    if (got == 0) break;
    text.append(buf, static_cast<std::size_t>(got));
  }
  if (!is_valid_utf8(text)) return fail("stream did not contain valid UTF-8");
  return text;
}

// ---------------------------------------------------------------------------------------------
// The pipeline.

namespace {

// Shortest text that reads back to the same value, never in exponent notation.
std::string plain_decimal(double v) {
  if (std::isnan(v)) return "NaN";
  if (std::isinf(v)) return v > 0 ? "inf" : "-inf";
  char buf[400];
  const auto r = std::to_chars(buf, buf + sizeof buf, v, std::chars_format::fixed);
  return std::string(buf, r.ptr);
}

// DOF k of node n sits at 7(n-1)+k and the system size is 7 x the largest id, so an id of 0
// has no DOFs at all and a huge id would make every vector of the solve that long.
Expected<void> check_node_ids(const VARN& model) {
  for (const auto& set : model.member_sets) {
    for (const auto& member : set.members) {
      for (const Node* node : {&member.start_node, &member.end_node}) {
        if (node->id == 0) {
          return fail("Node id 0 of member " + std::to_string(member.id) + " is not allowed: node ids start at 1");
        }
        if (node->id > kMaxNodeId) {
          return fail("Node id " + std::to_string(node->id) + " of member " + std::to_string(member.id) +
                      " exceeds the allowed maximum of " + std::to_string(kMaxNodeId));
        }
      }
    }
  }
  return {};
}

void log_configuration(const VARN& working, const PipelineRun& run, std::size_t member_total) {
  const auto& log = analysis_log();
  if (!log->should_log(spdlog::level::info)) return;
  const AnalysisOptions& options = working.settings.analysis_options;
  log->info("Analysis configuration → order={}, rigid_strategy={}, solve_loadcases={}, max_iterations={}, tolerance={}",
            to_string(options.order), to_string(options.rigid_strategy), options.solve_loadcases ? "true" : "false",
            run.max_iterations, plain_decimal(run.tolerance));
  log->info("Model summary → member_sets={}, members_total={}, load_cases={}, load_combinations={}",
            working.member_sets.size(), member_total, working.load_cases.size(), working.load_combinations.size());
}

Expected<void> run_load_case_phase(PipelineRun& run) {
  switch (run.working.settings.analysis_options.order) {
    case AnalysisOrder::Linear:
      return solve_load_cases_first_order(run);
    case AnalysisOrder::Nonlinear:
      return solve_load_cases_second_order(run);
  }
  return {};
}

Expected<void> run_combination_phase(PipelineRun& run) {
  switch (run.working.settings.analysis_options.order) {
    case AnalysisOrder::Linear:
      return solve_combinations_first_order(run);
    case AnalysisOrder::Nonlinear:
      return solve_combinations_second_order(run);
  }
  return {};
}

}  // namespace

Expected<json::PiecedText> run_pipeline_to_text(std::string_view json_text) {
  // BLAS kernels run single-threaded: the analysis, its factorisations included, takes its
  // parallelism from the shared pool.
  init_blas_single_thread();

  json::ParseResult<VARN> parsed_result = VARN::from_json(json_text);
  if (!parsed_result.ok()) return fail(format_json_error(parsed_result.error, json_text));
  VARN& parsed = *parsed_result.value;

  const std::size_t member_total = parsed.get_member_count();
  if (member_total > kMaxMembers) {
    return fail("Number of members (" + std::to_string(member_total) + ") exceeds allowed maximum of " +
                std::to_string(kMaxMembers));
  }
  if (auto ids = check_node_ids(parsed); !ids) return fail(ids.error());
  // Before any conversion, so that every message speaks of the values as the user gave them.
  if (auto valid = validate_model(parsed); !valid) return fail(valid.error());

  // Result sets that came with the input (an earlier output, say) describe the model as it was
  // when they were computed, in its own units: they are handed back, but no solve starts from
  // them, and a set this run computes under the same name takes their place.
  std::optional<ResultsBundle> carried = std::move(parsed.results);
  parsed.results.reset();
  const UnitFactors factors = parsed.unit_factors();
  VARN working = parsed.clone();
  working.normalize_units();

  const AnalysisOptions& options = working.settings.analysis_options;
  const AnalysisOptions::SolverLimits limits = options.limits();
  PipelineRun run{working, {}, {}, limits.max_iterations, limits.tolerance, false, {}, {}};
  log_configuration(working, run, member_total);

  if (options.order == AnalysisOrder::Linear && has_stiffness_curves(working.nodal_supports)) {
    return fail(
        "StiffnessCurve support conditions require NonLinear (second-order) analysis order. Set "
        "analysis_options.order to \"Nonlinear\".");
  }

  run.load_case_ids.reserve(working.load_cases.size());
  for (const auto& lc : working.load_cases) run.load_case_ids.push_back(lc.id);
  run.combination_ids.reserve(working.load_combinations.size());
  for (const auto& combo : working.load_combinations) run.combination_ids.push_back(combo.id);

  if (options.solve_loadcases) {
    if (auto done = run_load_case_phase(run); !done) return fail(done.error());
  }
  // After the load cases, so that combination solves find the case results they start from.
  if (!working.load_combinations.empty()) {
    if (auto done = run_combination_phase(run); !done) return fail(done.error());
  }

  parsed.results = output_results(std::move(working.results), std::move(carried), factors);

  json::PiecedText out;
  out.skeleton = skeleton_buffer_for(parsed, json_text.size());
  {
    const json::KeepPiecesScope keep(out);
    if (auto written = parsed.serialize(out.skeleton); !written) {
      return fail("Failed to serialize results: " + written.error());
    }
  }
  return out;
}

namespace {

// Text that a result set leaves in the skeleton, in a model large enough for its results to
// be cut into pieces (about 25 kB in a frame of ten thousand members); in a smaller one the
// skeleton grows as it goes, from a size that still costs nothing to copy.
constexpr std::size_t kSkeletonBytesPerResultSet = std::size_t{64} << 10;

// The text as one string, with the message the writer gives when memory runs out on the way.
Expected<std::string> flattened(const Expected<json::PiecedText>& text) {
  if (!text) return fail(text.error());
  try {
    return text->flatten();
  } catch (const std::bad_alloc&) {
    return fail("Failed to serialize results: out of memory while writing the model");
  }
}

// An empty buffer with room for `estimate` bytes, or for `fallback` when that much cannot be
// had. Only a size hint: the writer grows the buffer as it goes.
std::string reserved_buffer(std::size_t estimate, std::size_t fallback) {
  std::string out;
  try {
    out.reserve(estimate);
  } catch (const std::exception&) {
    try {
      out.reserve(fallback);
    } catch (const std::exception&) {
    }
  }
  // Large outputs are written into fresh memory.
  advise_huge_pages(out.data(), out.capacity());
  return out;
}

std::size_t result_set_count(const VARN& model) {
  return model.results ? model.results->loadcases.size() + model.results->loadcombinations.size() : 0;
}

}  // namespace

Expected<std::string> run_pipeline_from_json(std::string_view json_text) {
  return flattened(run_pipeline_to_text(json_text));
}

std::string output_buffer_for(const VARN& model, std::size_t input_size) {
  // Room for the model and for every result set: a member result takes about 2.6 kB of text
  // and a node's displacements and reactions well under 1 kB. Reserving that much up front
  // spares the writer the copies of a growing buffer; pages that stay unused are never
  // touched, so a generous estimate costs address space only.
  const std::size_t estimate = 2 * input_size + result_set_count(model) * model.get_member_count() * (3072 + 2 * 1024);
  return reserved_buffer(estimate, 2 * input_size);
}

std::string skeleton_buffer_for(const VARN& model, std::size_t input_size) {
  // The long sequences (members, and the nodes and members of every result set) leave only
  // their first element in the skeleton; what stays is the model's short lists and, per
  // result set, sequences too short to be cut. Of a frame of ten thousand members, 3 MB of
  // input and 125 MB of output, the skeleton is 160 kB.
  const std::size_t estimate = input_size / 4 + (result_set_count(model) + 1) * kSkeletonBytesPerResultSet;
  return reserved_buffer(estimate, input_size / 4);
}

Expected<json::PiecedText> calculate_text_from_file(const std::string& path) {
  Expected<std::string> text = read_text_file(path);
  if (!text) return fail("Failed to read JSON file '" + path + "': " + text.error());
  return run_pipeline_to_text(*text);
}

Expected<std::string> calculate_from_file_internal(const std::string& path) {
  return flattened(calculate_text_from_file(path));
}

Expected<VARN> load_varn_from_file(const std::string& path) {
  Expected<std::string> text = read_text_file(path);
  if (!text) return fail(text.error());
  json::ParseResult<VARN> parsed = VARN::from_json(*text);
  if (!parsed.ok()) return fail(parsed.error.to_string());
  return std::move(*parsed.value);
}

}  // namespace varn
