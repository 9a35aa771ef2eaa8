#pragma once
// The request pipeline: JSON text in, the analysed model as JSON text out (or one message),
// and the file entry points that the Python functions use.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "expected.h"
#include "models/json/reader.h"
#include "models/json/writer.h"
#include "models/varn/varn.h"

namespace varn {

// Largest model the pipeline accepts, counted over all member sets.
inline constexpr std::size_t kMaxMembers = 10000;
// Largest node id the pipeline accepts. Nodes exist only as member ends, so a model within the
// member limit has at most 2 x 10000 distinct nodes, and a gap-free numbering from 1 never goes
// beyond this. The system size is 7 x the largest id, so the limit also bounds every vector
// and matrix dimension of a solve (140000 DOFs) before anything of that size is allocated.
inline constexpr std::uint32_t kMaxNodeId = 2 * kMaxMembers;

// One request from beginning to end: the model as JSON text in, the analysed model as compact
// JSON text out (in the model's own units, "results" holding this run's result sets), or the
// one message that ended the run. Fatal faults of the numerics are not caught here.
Expected<std::string> run_pipeline_from_json(std::string_view json_text);
// The same run, its text with the long pieces kept apart (json::PiecedText): for a caller
// that copies the text into a buffer of its own anyway, so that it is copied only once.
Expected<json::PiecedText> run_pipeline_to_text(std::string_view json_text);

// An empty output buffer with room reserved for the model and its results as compact JSON.
std::string output_buffer_for(const VARN& model, std::size_t input_size);
// An empty buffer with room reserved for the skeleton of that text, its long pieces kept apart.
std::string skeleton_buffer_for(const VARN& model, std::size_t input_size);

// The whole file at the path through the pipeline; an unreadable file gives
// "Failed to read JSON file '{path}': {description}".
Expected<std::string> calculate_from_file_internal(const std::string& path);
Expected<json::PiecedText> calculate_text_from_file(const std::string& path);

// The model of the file, read only: no limits, no conversion, no analysis. The error is the
// system's description of a read failure, or the reader's message with its position.
Expected<VARN> load_varn_from_file(const std::string& path);

// The report shown for input that cannot be read as a model: the reader's message, the
// position, the lines around it with a caret under the column, a snippet for one-line input
// and hints. Never fails.
std::string format_json_error(const json::ReadError& error, std::string_view input);

// Whole file as text; only a regular file is read. On failure the error is the system's
// description alone ("No such file or directory", "Is a directory", "not a regular file",
// "stream did not contain valid UTF-8", ...); callers add the path.
Expected<std::string> read_text_file(const std::string& path);

// True when the bytes are well-formed UTF-8 (no overlong forms, no surrogates, nothing
// beyond U+10FFFF).
bool is_valid_utf8(std::string_view bytes);

}  // namespace varn
