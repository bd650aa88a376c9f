// clockset TEXT MODE: sets the system date (MODE 1, TEXT "MM/DD/YYYY") or the system time
// (any other MODE, TEXT "HH:MM:SS"); the separators may be any character. After setting the
// time it writes the system time to the hardware clock with "/sbin/clock -w".
// Exit 0 set; 255 wrong arguments (a TEXT longer than 19 characters included), no time, or
// setting the time failed; 254 setting the date failed.
#include <sys/time.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "common/paths.h"

namespace {

constexpr int kExitOk = 0;
constexpr int kExitFail = 255;      // -1
constexpr int kExitDateFail = 254;  // -2
constexpr std::size_t kTextSize = 20;
constexpr int kDateMode = 1;

// The number in text[first..first+width), the field cut off behind it.
int Field(char *text, std::size_t first, std::size_t width) {
    text[first + width] = '\0';
    return std::atoi(text + first);
}

}  // namespace

int main(int argc, char **argv) {
    if (argc != 3) {
        return kExitFail;
    }
    // The text must fit the 20-byte buffer; a longer one is refused rather than cut.
    if (std::strlen(argv[1]) >= kTextSize) {
        return kExitFail;
    }
    char text[kTextSize] = {};  // zero-filled: a missing field reads as 0
    std::memcpy(text, argv[1], std::strlen(argv[1]));
    const int mode = std::atoi(argv[2]);

    struct timeval now {};
    if (::gettimeofday(&now, nullptr) != 0) {
        return kExitFail;
    }
    time_t seconds = now.tv_sec;
    struct tm local {};
    if (::localtime_r(&seconds, &local) == nullptr) {
        return kExitFail;
    }

    if (mode == kDateMode) {
        local.tm_mon = Field(text, 0, 2) - 1;
        local.tm_mday = Field(text, 3, 2);
        local.tm_year = Field(text, 6, 4) - 1900;
    } else {
        local.tm_hour = Field(text, 0, 2);
        local.tm_min = Field(text, 3, 2);
        local.tm_sec = Field(text, 6, 2);
    }
    // The new wall-clock time counts, whether or not daylight saving time applies to it.
    local.tm_isdst = -1;
    const int failure = mode == kDateMode ? kExitDateFail : kExitFail;
    const time_t wanted = std::mktime(&local);
    if (wanted == static_cast<time_t>(-1)) {
        return failure;
    }
    now.tv_sec = wanted;  // the microseconds stay as read
    // The time zone is left as it is: glibc refuses a call that passes both a time and a zone.
    if (::settimeofday(&now, nullptr) != 0) {
        return failure;
    }
    if (mode != kDateMode) {
        char command[64];
        std::snprintf(command, sizeof command, "%s -w", paths::kHardwareClock);
        if (std::system(command) != 0) {
            // The hardware clock's result is ignored: the system time is set.
        }
    }
    return kExitOk;
}
