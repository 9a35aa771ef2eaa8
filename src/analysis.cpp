#include "analysis.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

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

  FileDescriptor file;
  do {
    file.fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  } while (file.fd < 0 && errno == EINTR);
  if (file.fd < 0) return fail(os_error_text(errno));

  struct stat st {};
  if (::fstat(file.fd, &st) != 0) return fail(os_error_text(errno));
  if (S_ISDIR(st.st_mode)) return fail(os_error_text(EISDIR));

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

}  // namespace varn
