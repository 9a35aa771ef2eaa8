#pragma once
// Copying a large text into a buffer that holds one byte per character.
#include <cstddef>

namespace varn {

// Copies the n bytes at src to dest and tells whether every one of them is ASCII; when one is
// not, dest holds an unspecified part of the text. Runs on the pool in blocks of a megabyte,
// each checked while the copy has it in cache, so the text is read once and the first touch
// of fresh pages in dest is spread over the threads.
bool copy_ascii_text(char* dest, const char* src, std::size_t n);

}  // namespace varn
