#pragma once
// The request pipeline: JSON text in, the analysed model as JSON text out (or one message),
// and the file entry points that the Python functions use.
#include <string>
#include <string_view>

#include "expected.h"
#include "models/json/reader.h"

namespace varn {

// The report shown for input that cannot be read as a model: the reader's message, the
// position, the lines around it with a caret under the column, a snippet for one-line input
// and hints. Never fails.
std::string format_json_error(const json::ReadError& error, std::string_view input);

// Whole file as text. On failure the error is the system's description alone ("No such
// file or directory", "Is a directory", "stream did not contain valid UTF-8", ...); callers
// add the path.
Expected<std::string> read_text_file(const std::string& path);

// True when the bytes are well-formed UTF-8 (no overlong forms, no surrogates, nothing
// beyond U+10FFFF).
bool is_valid_utf8(std::string_view bytes);

}  // namespace varn
