// What the store's crash test writes, shared by the test and its writer program: write number t
// (from 0) gives key t % kCrashKeys its number and a tail of varying length, so that the file
// grows and shrinks across block boundaries.
#pragma once

#include <cstddef>
#include <cstdio>

inline constexpr int kCrashKeys = 12;
inline constexpr std::size_t kCrashKeySize = 8;      // "key00" and its terminator, with room
inline constexpr std::size_t kCrashValueSize = 128;  // "v<t>-" and up to 89 'x', terminated

inline void CrashKey(int i, char (&out)[kCrashKeySize]) {
    std::snprintf(out, sizeof out, "key%02d", i % 100);
}

inline void CrashValue(long t, char (&out)[kCrashValueSize]) {
    const int n = std::snprintf(out, sizeof out, "v%ld-", t);
    std::size_t at = n > 0 ? static_cast<std::size_t>(n) : 0;
    for (long tail = (t * 37) % 90; tail > 0 && at + 1 < sizeof out; --tail) {
        out[at++] = 'x';
    }
    out[at] = '\0';
}
