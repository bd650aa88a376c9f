// The rule for a server name, shared by the agent (which refuses a new name outside it) and
// the PC tool (which checks a name before it sends it). The name is also the appliance's host
// name, its NetBIOS and its AppleTalk name: a host-name label of letters, digits and '-', not
// beginning or ending with '-', and not all digits (a resolver would take "12345" for an
// address), of 1 to 14 characters (the settings field holds 14).
#pragma once

#include <cstddef>
#include <string_view>

namespace proto {

inline constexpr std::size_t kServerNameMax = 14;

enum class ServerNameFault {
    kNone,
    kEmpty,
    kTooLong,
    kBadCharacter,  // a character other than a letter, a digit or '-'
    kEdgeHyphen,    // begins or ends with '-'
    kAllDigits,
};

constexpr bool IsServerNameCharacter(char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-';
}

// What breaks the rule in `name` (the first fault in the order of the enum), or kNone.
constexpr ServerNameFault CheckServerName(std::string_view name) {
    if (name.empty()) {
        return ServerNameFault::kEmpty;
    }
    if (name.size() > kServerNameMax) {
        return ServerNameFault::kTooLong;
    }
    bool all_digits = true;
    for (char c : name) {
        if (!IsServerNameCharacter(c)) {
            return ServerNameFault::kBadCharacter;
        }
        all_digits = all_digits && c >= '0' && c <= '9';
    }
    if (name.front() == '-' || name.back() == '-') {
        return ServerNameFault::kEdgeHyphen;
    }
    return all_digits ? ServerNameFault::kAllDigits : ServerNameFault::kNone;
}

constexpr bool IsValidServerName(std::string_view name) {
    return CheckServerName(name) == ServerNameFault::kNone;
}

static_assert(IsValidServerName("JX1A2B3C") && IsValidServerName("nas-2") &&
              IsValidServerName("1x"));
static_assert(CheckServerName("12345") == ServerNameFault::kAllDigits &&
              CheckServerName("-a") == ServerNameFault::kEdgeHyphen &&
              CheckServerName("a_b") == ServerNameFault::kBadCharacter &&
              CheckServerName("ABCDEFGHIJKLMNO") == ServerNameFault::kTooLong);

}  // namespace proto
