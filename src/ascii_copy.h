#pragma once
// Copying a large text into a buffer that holds one byte per character.
#include <cstddef>
#include <vector>

namespace varn {

// Bytes to be copied: `size` of them at `data`.
struct TextSpan {
  const char* data;
  std::size_t size;
};

// Copies the spans one after another to dest and tells whether every byte of them is ASCII;
// when one is not, dest holds an unspecified part of the text. Runs on the pool in blocks of
// at most a megabyte, a long span cut into several, each block checked while the copy has it
// in cache, so the text is read once and the first touch of fresh pages in dest is spread
// over the threads.
bool copy_ascii_spans(char* dest, const std::vector<TextSpan>& spans);

}  // namespace varn
