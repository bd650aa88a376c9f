#include <syslog.h>

#include <cstring>

#include "common/util.h"

namespace {

constexpr std::size_t kTagMax = 9;
constexpr std::size_t kMessageMax = 79;

// Copies at most `max` characters of `text` into the zeroed `out` of max + 1 bytes.
void CopyCut(char *out, std::size_t max, const char *text) {
    std::memset(out, 0, max + 1);
    if (text != nullptr) {
        std::size_t n = strnlen(text, max);
        std::memcpy(out, text, n);
    }
}

}  // namespace

void NETDebugMsg(const char *tag, const char *message) {
    char tag_text[kTagMax + 1];
    char message_text[kMessageMax + 1];
    CopyCut(tag_text, kTagMax, tag);
    CopyCut(message_text, kMessageMax, message);
    ::openlog("DEBUG_MSG", LOG_PERROR, LOG_USER);
    ::syslog(LOG_ERR, "[%s]::<<%s>>", tag_text, message_text);
    ::closelog();
}
