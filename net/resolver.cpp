// The resolver file: read into a DnsInfo, name servers merged without duplicates, written back.
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string_view>

#include "common/paths.h"
#include "common/scoped.h"
#include "common/system_file.h"
#include "common/util.h"
#include "common/work_buffers.h"
#include "net/line_scanner.h"
#include "net/net.h"
#include "net/net_internal.h"

namespace {

constexpr char kTag[] = "TCPIP";
constexpr std::string_view kDomainWord = "domain";
constexpr std::string_view kNameserverWord = "nameserver";

// The value after a keyword: blanks and TABs skipped, the rest of the line.
std::string_view ValueAfter(std::string_view text, std::size_t word) {
    text.remove_prefix(word);
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) {
        text.remove_prefix(1);
    }
    return text;
}

template <std::size_t N>
void Store(char (&field)[N], std::string_view value, std::size_t max) {
    std::memset(field, 0, N);
    std::size_t n = value.size() < max ? value.size() : max;
    std::memcpy(field, value.data(), n);
}

char *Slot(DnsInfo *dns, int slot) {
    switch (slot) {
        case 0:
            return dns->nameserver1;
        case 1:
            return dns->nameserver2;
        case 2:
            return dns->nameserver3;
        default:
            return nullptr;
    }
}

bool Valid(const char *server) {
    return !IsNoAddress(server);
}

}  // namespace

int NETReadDNSDataFrom(const char *path, DnsInfo *dns) {
    std::memset(dns, 0, sizeof *dns);
    UniqueFd fd(::open(path, O_RDONLY | O_CLOEXEC));
    if (!fd.valid()) {
        NETDebugMsg(kTag, "Open DNS file fail");
        return 0;
    }
    LineScanner scanner(fd.get(), ScanMode::kReader);
    ScannedLine line{};
    int servers = 0;
    while (scanner.Next(&line) > 0) {
        if (line.text.starts_with(kDomainWord)) {
            Store(dns->domain, ValueAfter(line.text, kDomainWord.size()), 80);
        } else if (line.text.starts_with(kNameserverWord)) {
            char *slot = Slot(dns, servers);
            if (slot != nullptr) {
                std::string_view value = ValueAfter(line.text, kNameserverWord.size());
                std::memset(slot, 0, sizeof dns->nameserver1);
                std::memcpy(slot, value.data(), value.size() < 15 ? value.size() : 15);
                ++servers;
            }
        }
    }
    return 0;
}

int NETReadCurrentDNSData(DnsInfo *dns) {
    return NETReadDNSDataFrom(paths::kResolvConf, dns);
}

int NETPutNetworkDNSData(DnsInfo *dns, const char *server, int slot) {
    if (slot == 3) {
        return -1;
    }
    if (!Valid(server)) {
        return -1;
    }
    if (std::strcmp(server, dns->nameserver1) == 0 || std::strcmp(server, dns->nameserver2) == 0 ||
        std::strcmp(server, dns->nameserver3) == 0) {
        return -1;
    }
    char *field = Slot(dns, slot);
    if (field != nullptr) {
        std::memset(field, 0, sizeof dns->nameserver1);
        std::snprintf(field, sizeof dns->nameserver1, "%s", server);
    }
    return 0;
}

int NETArrangeNetworkDNSData(DnsInfo *current, const DnsInfo *user) {
    int count = 0;
    if (Valid(current->nameserver1)) {
        count = 1;
        if (Valid(current->nameserver2)) {
            count = 2;
            if (Valid(current->nameserver3)) {
                count = 3;
            }
        }
    }
    if (count == 3) {
        return 0;
    }
    const char *servers[] = {user->nameserver1, user->nameserver2, user->nameserver3};
    for (const char *server : servers) {
        if (!Valid(server)) {
            continue;
        }
        if (NETPutNetworkDNSData(current, server, count) == 0) {
            ++count;
            if (count == 3) {
                return 0;
            }
        }
    }
    return 0;
}

int NETComposeDNSData(const DnsInfo *dns, int boottype, char *out, std::size_t size) {
    if (boottype != 1 && boottype != 2) {
        return -10;
    }
    std::memset(out, 0, size);
    std::size_t used = 0;
    auto append = [&](const char *word, const char *value, std::size_t length) {
        int len = static_cast<int>(length);
        int n = std::snprintf(out + used, size - used, "%s %.*s\n", word, len, value);
        if (n < 0 || static_cast<std::size_t>(n) >= size - used) {
            out[used] = '\0';
            return false;
        }
        used += static_cast<std::size_t>(n);
        return true;
    };
    const std::size_t domain_length = PrintableLength(dns->domain);
    if (boottype == 2 && domain_length > 0 && !append("domain", dns->domain, domain_length)) {
        return -1;
    }
    const char *servers[] = {dns->nameserver1, dns->nameserver2, dns->nameserver3};
    for (const char *server : servers) {
        // Only the address part of a server's text is written (a second word would be an
        // option of the line); nothing left means no server.
        const std::size_t length = address_text_length(server);
        if (Valid(server) && length > 0 && !append("nameserver", server, length)) {
            return -1;
        }
    }
    return 0;
}

int NETWriteNetworkDNSData(const DnsInfo *dns, int boottype) {
    if (boottype != 1 && boottype != 2) {
        NETDebugMsg(kTag, "Input invalid boot type");
        return -10;
    }
    NETComposeDNSData(dns, boottype, filebuffer, kFileBufferSize);
    return WriteSystemFileTraced(paths::kResolvConf, filebuffer, std::strlen(filebuffer), 0755,
                                 kTag, "Write DNS file fail", "Write DNS file fail");
}
