#pragma once
// Compact JSON writing: no whitespace, shortest round-trip floats, non-finite floats as null.
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace varn::json {

void write_string(std::string& out, std::string_view s);
void write_u64(std::string& out, std::uint64_t v);
void write_i64(std::string& out, std::int64_t v);
// The shortest decimal text that reads back to the same double, with a fraction part for
// integral values ("1.0") so that readers keep it a float; NaN and infinities become null.
void write_f64(std::string& out, double v);
inline void write_bool(std::string& out, bool v) { out += v ? "true" : "false"; }
inline void write_null(std::string& out) { out += "null"; }

// ---- long sequences, formatted in pieces on the pool ----
//
// The result sets of a large model are a hundred megabytes of numbers, and turning doubles
// into shortest round-trip text is the whole cost of writing them. A long sequence is
// therefore cut into pieces of consecutive elements; each piece is formatted into its own
// buffer by a task, and the pieces are appended to the output in sequence order as they come
// in. Every element is written by the same code whichever piece it falls in, so the text is
// byte for byte that of a writer going through the elements one by one, on every thread count.

// Elements per piece for the `remaining` elements of a sequence after its first, which took
// `first_bytes` of text; 0 when the rest is too short to pay for the pool and is written on
// the calling thread.
std::size_t elements_per_piece(std::size_t first_bytes, std::size_t remaining);

// Appends pieces 0, 1, ..., count - 1 to `out` in that order; write_piece(piece, c) formats
// piece c into an empty buffer reserved at `reserve` bytes. Pieces are formatted in parallel
// while the ones done are appended, so the join adds no pass of its own over the text. An
// exception thrown by a piece (out of memory) cancels the rest and is rethrown here.
// Under a KeepPiecesScope the pieces of the kept text are set aside instead (see below).
void write_pieces(std::string& out, std::size_t count, std::size_t reserve,
                  const std::function<void(std::string&, std::size_t)>& write_piece);

// A text written with its long pieces kept apart: the skeleton holds everything written
// directly, and each piece is inserted at a position of the skeleton, positions in
// non-decreasing order (pieces at one position follow each other in list order). The text
// is the skeleton up to the first position, the first piece, the skeleton on to the next
// position, and so on. Joining a hundred megabytes of pieces into one fresh buffer on one
// thread costs the first touch of every page of it; kept apart, they are copied once, on the
// pool, straight into the buffer that the text is meant for.
struct PiecedText {
  struct Piece {
    std::size_t at;  // position in the skeleton
    std::string bytes;
  };
  std::string skeleton;
  std::vector<Piece> pieces;

  std::size_t size() const;
  // The text as one string: the bytes of a writer that appends every piece as it comes.
  std::string flatten() const;
  // Copies the text to the size() bytes at dest on the pool and tells whether every byte is
  // ASCII; when one is not, dest holds an unspecified part of the text.
  bool copy_ascii_to(char* dest) const;
};

// While the scope lives, write_pieces called on the thread that opened it, with `out` being
// the skeleton of `text` itself, moves each finished piece into text.pieces at the skeleton's
// current size instead of appending it. Every other `out` (a piece's own buffer, the buffer
// of a nested sequence, a text written on another thread) is appended to as always. Scopes
// nest; the innermost one of the thread counts.
class KeepPiecesScope {
 public:
  explicit KeepPiecesScope(PiecedText& text);
  ~KeepPiecesScope();
  KeepPiecesScope(const KeepPiecesScope&) = delete;
  KeepPiecesScope& operator=(const KeepPiecesScope&) = delete;

 private:
  PiecedText* previous_;
};

// The bytes a piece is aimed at while the scope lives; 0 writes every sequence on the calling
// thread, element after element. For tests and benchmarks that hold the parallel writer
// against the plain one; it is process-wide, so set it only while nothing else is written.
class PieceBytesScope {
 public:
  explicit PieceBytesScope(std::size_t bytes);
  ~PieceBytesScope();
  PieceBytesScope(const PieceBytesScope&) = delete;
  PieceBytesScope& operator=(const PieceBytesScope&) = delete;

 private:
  std::size_t previous_;
};

}  // namespace varn::json
