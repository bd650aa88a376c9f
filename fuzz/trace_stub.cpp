// The debug trace, stood in for in the harnesses: the real one opens the system log and
// writes standard error on every call.
#include <cstring>

#include "common/util.h"

void NETDebugMsg(const char *tag, const char *message) {
    // Both texts must be terminated strings; the real trace cuts them to its widths.
    (void)std::strlen(tag != nullptr ? tag : "");
    (void)std::strlen(message != nullptr ? message : "");
}
