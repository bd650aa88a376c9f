#include "common/shell_quote.h"

#include <cstring>

namespace {
constexpr char kQuotedQuote[] = "'\\''";  // close the quotes, a quoted ', reopen
constexpr std::size_t kQuotedQuoteLength = sizeof kQuotedQuote - 1;
}  // namespace

int shell_quote_append(char *buffer, std::size_t size, std::string_view word) {
    if (buffer == nullptr || size == 0) {
        return -1;
    }
    std::size_t used = strnlen(buffer, size);
    if (used == size) {
        return -1;  // not terminated within its size
    }
    std::size_t needed = 2;  // the opening and closing quotes
    for (char c : word) {
        if (c == '\0') {
            return -1;
        }
        needed += c == '\'' ? kQuotedQuoteLength : 1;
    }
    if (needed >= size - used) {
        return -1;  // no room for the word and the terminator
    }
    char *out = buffer + used;
    *out++ = '\'';
    for (char c : word) {
        if (c == '\'') {
            std::memcpy(out, kQuotedQuote, kQuotedQuoteLength);
            out += kQuotedQuoteLength;
        } else {
            *out++ = c;
        }
    }
    *out++ = '\'';
    *out = '\0';
    return 0;
}
