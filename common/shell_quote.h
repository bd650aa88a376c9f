// Quoting of text from outside (datagrams, files) for a shell command line.
#pragma once

#include <cstddef>
#include <string_view>

// Appends `word` to the NUL-terminated `buffer` (of `size` bytes) as exactly one shell word
// that the shell passes on unchanged, whatever bytes it holds (an empty word becomes '').
// Returns 0, or -1 when the result would not fit or `word` holds a NUL byte (buffer unchanged).
int shell_quote_append(char *buffer, std::size_t size, std::string_view word);
