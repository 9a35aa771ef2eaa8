#include "ascii_copy.h"

#include <tbb/blocked_range.h>
#include <tbb/parallel_reduce.h>

#include <algorithm>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace varn {

namespace {

bool is_ascii(const char* p, std::size_t n) {
  std::size_t k = 0;
  bool high = false;
#if defined(__SSE2__)
  // Four independent accumulators keep the loads, not the chain of ORs, the limit.
  __m128i a0 = _mm_setzero_si128(), a1 = a0, a2 = a0, a3 = a0;
  for (; k + 64 <= n; k += 64) {
    a0 = _mm_or_si128(a0, _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + k)));
    a1 = _mm_or_si128(a1, _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + k + 16)));
    a2 = _mm_or_si128(a2, _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + k + 32)));
    a3 = _mm_or_si128(a3, _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + k + 48)));
  }
  high = _mm_movemask_epi8(_mm_or_si128(_mm_or_si128(a0, a1), _mm_or_si128(a2, a3))) != 0;
#endif
  unsigned char rest = 0;
  for (; k < n; ++k) rest |= static_cast<unsigned char>(p[k]);
  return !high && rest < 0x80;
}

}  // namespace

bool copy_ascii_spans(char* dest, const std::vector<TextSpan>& spans) {
  constexpr std::size_t kBlock = std::size_t{1} << 20;
  struct Block {
    char* dest;
    const char* src;
    std::size_t size;
  };
  std::vector<Block> blocks;
  std::size_t count = 0;
  for (const TextSpan& span : spans) count += (span.size + kBlock - 1) / kBlock;
  blocks.reserve(count);
  for (const TextSpan& span : spans) {
    for (std::size_t at = 0; at < span.size; at += kBlock) {
      blocks.push_back(Block{dest + at, span.data + at, std::min(kBlock, span.size - at)});
    }
    dest += span.size;
  }
  return tbb::parallel_reduce(
      tbb::blocked_range<std::size_t>(0, blocks.size()), true,
      [&](const tbb::blocked_range<std::size_t>& r, bool ascii) {
        for (std::size_t b = r.begin(); b != r.end(); ++b) {
          const Block& block = blocks[b];
          std::memcpy(block.dest, block.src, block.size);
          ascii = is_ascii(block.dest, block.size) && ascii;
        }
        return ascii;
      },
      [](bool a, bool b) { return a && b; });
}

}  // namespace varn
