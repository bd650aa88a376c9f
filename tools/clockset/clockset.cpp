// clockset TEXT MODE: sets the system date (MODE 1, TEXT "MM/DD/YYYY") or the system time
// (any other MODE, TEXT "HH:MM:SS"); the separators may be any character, every other
// character must be a digit. After setting the time it writes the system time to the hardware
// clock with "/sbin/clock -w".
// Exit 0 set; 255 wrong arguments (a TEXT longer than 19 characters, or one that is not a date
// or a time whole, included), no time, or setting the time failed; 254 setting the date
// failed. Numbers out of range are normalised (day 32 is the first of the next month).
#include <sys/time.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "common/paths.h"
#include "protocol/clock_text.h"

namespace {

constexpr int kExitOk = 0;
constexpr int kExitFail = 255;      // -1
constexpr int kExitDateFail = 254;  // -2
constexpr std::size_t kTextSize = 20;
constexpr int kDateMode = 1;
constexpr char kAnySeparator = '\0';

}  // namespace

int main(int argc, char **argv) {
    if (argc != 3) {
        return kExitFail;
    }
    // The text must fit the 20-byte buffer; a longer one is refused rather than cut.
    if (std::strlen(argv[1]) >= kTextSize) {
        return kExitFail;
    }
    char text[kTextSize] = {};
    std::memcpy(text, argv[1], std::strlen(argv[1]));
    const int mode = std::atoi(argv[2]);
    // Nothing is set from a text that is not a date or a time whole ("a;b" is no 00:00:00).
    proto::clock::Date date{};
    proto::clock::Time time{};
    if (mode == kDateMode ? !proto::clock::ParseDate(text, &date, kAnySeparator)
                          : !proto::clock::ParseTime(text, &time, kAnySeparator)) {
        return kExitFail;
    }

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
        local.tm_mon = date.month - 1;
        local.tm_mday = date.day;
        local.tm_year = date.year - 1900;
    } else {
        local.tm_hour = time.hour;
        local.tm_min = time.minute;
        local.tm_sec = time.second;
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
