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

bool copy_ascii_text(char* dest, const char* src, std::size_t n) {
  constexpr std::size_t kBlock = std::size_t{1} << 20;
  const std::size_t blocks = (n + kBlock - 1) / kBlock;
  return tbb::parallel_reduce(
      tbb::blocked_range<std::size_t>(0, blocks), true,
      [&](const tbb::blocked_range<std::size_t>& r, bool ascii) {
        for (std::size_t b = r.begin(); b != r.end(); ++b) {
          const std::size_t at = b * kBlock;
          const std::size_t len = std::min(kBlock, n - at);
          std::memcpy(dest + at, src + at, len);
          ascii = is_ascii(dest + at, len) && ascii;
        }
        return ascii;
      },
      [](bool a, bool b) { return a && b; });
}

}  // namespace varn
