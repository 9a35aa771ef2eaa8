#include "models/json/writer.h"

#include <tbb/parallel_pipeline.h>
#include <tbb/task_arena.h>

#include <algorithm>
#include <atomic>
#include <charconv>
#include <cmath>
#include <utility>

#include "ascii_copy.h"
#include "huge_pages.h"

namespace varn::json {

void write_string(std::string& out, std::string_view s) {
  static const char* hex = "0123456789abcdef";
  out += '"';
  std::size_t run = 0;  // start of the pending run of characters that need no escape
  for (std::size_t i = 0; i < s.size(); ++i) {
    unsigned char c = static_cast<unsigned char>(s[i]);
    if (c >= 0x20 && c != '"' && c != '\\') continue;
    out.append(s.data() + run, i - run);
    run = i + 1;
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      case '\b': out += "\\b"; break;
      case '\f': out += "\\f"; break;
      default:
        out += "\\u00";
        out += hex[c >> 4];
        out += hex[c & 0xF];
    }
  }
  out.append(s.data() + run, s.size() - run);
  out += '"';
}

void write_u64(std::string& out, std::uint64_t v) {
  char buf[24];
  auto r = std::to_chars(buf, buf + sizeof buf, v);
  out.append(buf, r.ptr);
}

void write_i64(std::string& out, std::int64_t v) {
  char buf[24];
  auto r = std::to_chars(buf, buf + sizeof buf, v);
  out.append(buf, r.ptr);
}

void write_f64(std::string& out, double v) {
  if (!std::isfinite(v)) {
    out += "null";
    return;
  }
  if (v == 0.0) {
    // A seventh of the numbers of a result set are zeros (warping, unloaded components).
    out += std::signbit(v) ? "-0.0" : "0.0";
    return;
  }
  char buf[32];
  auto r = std::to_chars(buf, buf + sizeof buf - 2, v);
  bool has_fraction_or_exponent = false;
  for (char* q = buf; q < r.ptr; ++q) {
    if (*q == '.' || *q == 'e') {
      has_fraction_or_exponent = true;
      break;
    }
  }
  if (!has_fraction_or_exponent) {
    *r.ptr++ = '.';
    *r.ptr++ = '0';
  }
  out.append(buf, r.ptr);
}

namespace {

// About 64 kB of text per piece: it stays in the core's own cache between formatting and the
// append, and a result set of ten thousand members still makes a few hundred pieces to
// balance over the pool.
constexpr std::size_t kDefaultPieceBytes = std::size_t{64} << 10;

std::atomic<std::size_t> piece_bytes{kDefaultPieceBytes};

// The text whose pieces this thread keeps apart, if any (KeepPiecesScope).
thread_local PiecedText* kept_text = nullptr;

}  // namespace

std::size_t elements_per_piece(std::size_t first_bytes, std::size_t remaining) {
  const std::size_t target = piece_bytes.load(std::memory_order_relaxed);
  if (target == 0) return 0;
  const std::size_t per_piece = std::max<std::size_t>(1, target / std::max<std::size_t>(1, first_bytes));
  // Fewer than two pieces would only add the pool's overhead to the same serial work.
  if (per_piece > remaining / 2) return 0;
  return per_piece;
}

void write_pieces(std::string& out, std::size_t count, std::size_t reserve,
                  const std::function<void(std::string&, std::size_t)>& write_piece) {
  // Pieces in flight at once: enough to keep every thread formatting while one appends, and
  // a bound on the memory the pieces waiting for their turn can hold.
  const auto tokens = static_cast<std::size_t>(4 * std::max(1, tbb::this_task_arena::max_concurrency()));
  // Decided here, on the calling thread: the last stage may run on any thread of the pool.
  PiecedText* const keep = kept_text != nullptr && &out == &kept_text->skeleton ? kept_text : nullptr;
  std::size_t next = 0;
  tbb::parallel_pipeline(
      tokens,
      tbb::make_filter<void, std::size_t>(tbb::filter_mode::serial_in_order,
                                          [&](tbb::flow_control& control) -> std::size_t {
                                            if (next == count) {
                                              control.stop();
                                              return 0;
                                            }
                                            return next++;
                                          }) &
          tbb::make_filter<std::size_t, std::string>(tbb::filter_mode::parallel,
                                                     [&](std::size_t c) {
                                                       std::string piece;
                                                       piece.reserve(reserve);
                                                       write_piece(piece, c);
                                                       return piece;
                                                     }) &
          tbb::make_filter<std::string, void>(tbb::filter_mode::serial_in_order, [&](std::string piece) {
            if (keep != nullptr) {
              keep->pieces.push_back(PiecedText::Piece{out.size(), std::move(piece)});
            } else {
              out += piece;
            }
          }));
}

std::size_t PiecedText::size() const {
  std::size_t n = skeleton.size();
  for (const Piece& piece : pieces) n += piece.bytes.size();
  return n;
}

namespace {

// The text of `text` as consecutive spans: skeleton runs between the positions, and pieces.
std::vector<TextSpan> spans_of(const PiecedText& text) {
  std::vector<TextSpan> spans;
  spans.reserve(2 * text.pieces.size() + 1);
  std::size_t from = 0;
  for (const PiecedText::Piece& piece : text.pieces) {
    if (piece.at > from) spans.push_back(TextSpan{text.skeleton.data() + from, piece.at - from});
    spans.push_back(TextSpan{piece.bytes.data(), piece.bytes.size()});
    from = piece.at;
  }
  spans.push_back(TextSpan{text.skeleton.data() + from, text.skeleton.size() - from});
  return spans;
}

}  // namespace

std::string PiecedText::flatten() const {
  std::string out;
  out.reserve(size());
  // Large texts are joined into fresh memory.
  advise_huge_pages(out.data(), out.capacity());
  for (const TextSpan& span : spans_of(*this)) out.append(span.data, span.size);
  return out;
}

bool PiecedText::copy_ascii_to(char* dest) const { return copy_ascii_spans(dest, spans_of(*this)); }

KeepPiecesScope::KeepPiecesScope(PiecedText& text) : previous_(std::exchange(kept_text, &text)) {}
KeepPiecesScope::~KeepPiecesScope() { kept_text = previous_; }

PieceBytesScope::PieceBytesScope(std::size_t bytes) : previous_(piece_bytes.exchange(bytes)) {}
PieceBytesScope::~PieceBytesScope() { piece_bytes.store(previous_); }

}  // namespace varn::json
