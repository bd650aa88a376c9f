// The switch words of the service settings: exactly "enable" or exactly "disable".
#pragma once

#include <cstring>

// Sets *on from the word; false when the word is neither (compared exactly, with case).
inline bool ParseSwitchWord(const char *word, bool *on) {
    if (std::strcmp(word, "enable") == 0) {
        *on = true;
        return true;
    }
    if (std::strcmp(word, "disable") == 0) {
        *on = false;
        return true;
    }
    return false;
}
