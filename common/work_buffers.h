// Process-wide work buffers of the network, naming and sharing functions.
// Not reentrant: the programs are single-threaded and clear a buffer before each use.
#pragma once

#include <cstddef>

inline constexpr std::size_t kFileBufferSize = 1024;
inline constexpr std::size_t kLineBufferSize = 256;
inline constexpr std::size_t kSystemBufferSize = 256;

extern char filebuffer[kFileBufferSize];
extern char linebuffer[kLineBufferSize];
extern char systembuffer[kSystemBufferSize];
