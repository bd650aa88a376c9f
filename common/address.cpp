#include <arpa/inet.h>
#include <netinet/in.h>

#include <cstdint>
#include <cstring>

#include "common/util.h"

namespace {
constexpr std::size_t kAddressTextSize = 16;
}

int tran_IPArea_DOTString(const unsigned char *area, char *text) {
    uint32_t host = (static_cast<uint32_t>(area[0]) << 24) |
                    (static_cast<uint32_t>(area[1]) << 16) | (static_cast<uint32_t>(area[2]) << 8) |
                    static_cast<uint32_t>(area[3]);
    struct in_addr address {};
    address.s_addr = htonl(host);
    char formatted[INET_ADDRSTRLEN] = {};
    if (::inet_ntop(AF_INET, &address, formatted, sizeof formatted) == nullptr) {
        formatted[0] = '\0';  // cannot happen for AF_INET and a buffer of INET_ADDRSTRLEN
    }
    std::memcpy(text, formatted, kAddressTextSize);
    text[kAddressTextSize - 1] = '\0';
    return 0;
}

int tran_DOTString_IPArea(unsigned char *area, const char *text) {
    if (text == nullptr) {
        return -1;
    }
    if (text[0] == '\0') {
        std::memset(area, 0, 4);
        return 0;
    }
    struct in_addr address {};
    if (::inet_aton(text, &address) == 0) {
        return -1;
    }
    uint32_t host = ntohl(address.s_addr);
    area[0] = static_cast<unsigned char>(host >> 24);
    area[1] = static_cast<unsigned char>(host >> 16);
    area[2] = static_cast<unsigned char>(host >> 8);
    area[3] = static_cast<unsigned char>(host);
    return 0;
}

std::size_t address_text_length(const char *text) {
    std::size_t n = 0;
    while ((text[n] >= '0' && text[n] <= '9') || text[n] == '.') {
        ++n;
    }
    return n;
}
