#pragma once
// Strict pull reader for JSON text. It reads one value at a time on demand of the record
// readers, so a model is read straight into its records without an intermediate tree.
// Every failure is one worded error with the byte position where reading stopped; the
// line and column are worked out from that position only when an error is reported.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace varn::json {

// A reading failure inside the reader; carries the byte offset where reading stopped.
struct ParseError {
  std::string message;
  std::size_t offset = 0;
};

// A failed read as the callers see it: the message and its 1-based line and the column
// counted in bytes from the start of that line.
struct ReadError {
  std::string message;
  std::size_t line = 1;
  std::size_t column = 0;

  // "{message} at line {line} column {column}"
  std::string to_string() const;
};

ReadError locate(std::string_view text, const ParseError& e);

// A number as the JSON text gave it: unsigned and negative integers stay integers while they
// fit in 64 bits; anything with a fraction or exponent, or too large, is a float.
struct Number {
  enum class Kind { Unsigned, Negative, Float } kind = Kind::Unsigned;
  std::uint64_t u = 0;
  std::int64_t i = 0;
  double d = 0.0;

  double as_double() const;
  friend bool operator==(const Number& a, const Number& b);
};

// The value kinds as the reader sees them, used to word "invalid type" errors.
std::string describe_number(const Number& n);  // "integer `5`", "floating point `1.5`"
std::string describe_float(double d);          // "floating point `{}`"
std::string describe_string(std::string_view s);  // string "abc"
// "unknown variant `{}`, expected {}" with every accepted spelling in backquotes.
std::string unknown_variant_message(std::string_view text, const std::vector<std::string_view>& spellings);

class Reader {
 public:
  static constexpr int kMaxDepth = 128;

  explicit Reader(std::string_view text) : begin_(text.data()), p_(text.data()), end_(text.data() + text.size()) {}

  // Skip whitespace and return the next byte without consuming it, or -1 at the end.
  int peek() {
    skip_ws();
    return p_ < end_ ? static_cast<unsigned char>(*p_) : -1;
  }
  void skip_ws() {
    while (p_ < end_ && (*p_ == ' ' || *p_ == '\n' || *p_ == '\r' || *p_ == '\t')) ++p_;
  }
  void bump() { ++p_; }
  std::size_t offset() const { return static_cast<std::size_t>(p_ - begin_); }

  // Error at the position after the last consumed byte.
  [[noreturn]] void fail(std::string message) const;
  // Error at the position that includes the next (peeked, not consumed) byte.
  [[noreturn]] void fail_peek(std::string message) const;
  // "invalid type: {found}, expected {expected}" for the value that starts at the next byte;
  // scalars are consumed to word them, the error sits after them.
  [[noreturn]] void fail_invalid_type(std::string_view expected);

  // Entering an array or object: the next byte is '[' or '{'. Consumes it and checks the
  // nesting limit; `leave` must follow when the container has been read.
  void enter();
  void leave() { --depth_; }

  // The next value must be a string; consumes it and returns its unescaped text. The view
  // stays valid until the next string is read.
  std::string_view read_string();
  // The next value must be a number; consumes it.
  Number read_number();
  // Consumes `null`, `true` or `false` after checking each letter.
  void read_literal(std::string_view word);
  // Skips one complete value of any kind (still checked for validity and nesting).
  void skip_value();

  // Sequences and objects. `each` is called once per element / key with the reader
  // positioned at the element value / after the key (the caller reads ':' and the value).
  template <class F>
  void read_array(F&& each) {
    enter();
    for (bool first = true; next_element(first); first = false) each();
    bump();
    leave();
  }

  // Reads the separator before the next element of an array whose elements the caller reads
  // one by one. Returns false at the closing bracket (not consumed).
  bool next_element(bool first);
  // Consumes the closing bracket of an array read element by element; extra elements are
  // "trailing characters".
  void end_array();

  template <class F>
  void read_object(F&& on_key) {
    enter();
    bool first = true;
    for (;;) {
      int c = peek();
      if (c == '}') break;
      if (!first) {
        if (c == ',') {
          bump();
          c = peek();
          if (c == '}') fail_peek("trailing comma");
        } else if (c == -1) {
          fail_peek("EOF while parsing an object");
        } else {
          fail_peek("expected `,` or `}`");
        }
      }
      if (c == -1) fail_peek(first ? "EOF while parsing an object" : "EOF while parsing a value");
      if (c != '"') fail_peek("key must be a string");
      first = false;
      on_key(read_string());
    }
    bump();
    leave();
  }
  void expect_colon();

  // Consumes the closing brace of an object read key by key.
  void end_object();

  // After the top-level value only whitespace may follow.
  void finish();

 private:
  void parse_escape(std::string& out);
  unsigned decode_hex4();
  void skip_string();

  const char* begin_;
  const char* p_;
  const char* end_;
  int depth_ = 0;
  std::string scratch_;
};

}  // namespace varn::json
