// libFuzzer harness of the network and naming functions on file contents: the input is the
// file. It is read as a routing table, a resolver file, a DHCP server configuration and a
// kernel command line, scanned line by line in both modes of the line scanner, and copied
// through the rewrite in place (every line kept); its first bytes go through the server-name
// rule. Besides the sanitizers, the harness checks
// that every field comes back terminated within its width and the scanner's promises hold.
#include <fcntl.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "fuzz/fuzz_dir.h"
#include "net/line_scanner.h"
#include "net/net.h"
#include "net/net_internal.h"

namespace {

// Which promise broke, on standard error, then the crash libFuzzer records.
[[noreturn]] void Breach(const char *what = "") {
    std::fprintf(stderr, "net_fuzz: %s\n", what);
    std::abort();
}

template <std::size_t N>
void CheckField(const char (&field)[N]) {
    if (strnlen(field, N) == N) {
        Breach();
    }
}

// Scans the file in one mode; checks each line against what the scanner promises.
void Scan(const std::string &path, ScanMode mode, std::size_t input_size) {
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return;
    }
    LineScanner scanner(fd, mode);
    ScannedLine line{};
    std::size_t total = 0;
    int got;
    while ((got = scanner.Next(&line)) > 0) {
        if (line.text.size() > kMaxLineLength + 1 ||
            line.text.find('\n') != std::string_view::npos ||
            (!line.text.empty() && (line.text.front() == ' ' || line.text.front() == '#'))) {
            Breach();  // too long, a line feed inside, leading spaces or a comment handed out
        }
        if (mode == ScanMode::kReader && !line.newline) {
            Breach();  // the reader skips long lines instead of cutting them
        }
        total += line.text.size() + (line.newline ? 1 : 0);
        if (total > input_size + 1) {
            Breach();  // more text than the file holds (one line feed may be added)
        }
    }
    close(fd);
    if (got < 0) {
        Breach();  // a regular file always reads
    }
}

bool AllLinesFit(const std::string &text) {
    for (std::size_t at = 0, next; at < text.size(); at = next + 1) {
        next = text.find('\n', at);
        if (next == std::string::npos) {
            next = text.size();
        }
        if (next - at > kMaxLineLength) {
            return false;
        }
    }
    return true;
}

// Copies the file through the rewrite with every line kept.
void Rewrite(const std::string &path, const std::string &input) {
    const std::size_t input_size = input.size();
    const std::string temp = fuzzdir::File("rw.XXXXXX");
    FileRewrite rw(path.c_str(), temp.c_str());
    if (rw.Open("FUZZ", "open", "temp") != 0) {
        Breach();
    }
    LineScanner scanner(rw.source(), ScanMode::kRewriter);
    ScannedLine line{};
    while (scanner.Next(&line) > 0) {
        if (rw.WriteLine(line) != 0) {
            Breach();
        }
    }
    if (rw.Commit("FUZZ", 0600, "seek", "open back", "write back") != 0) {
        Breach("the rewrite failed");
    }
    const std::string out = fuzzdir::Read(path);
    if (out.size() > input_size + 1) {
        Breach("the rewrite grew the file");
    }
    // What a rewrite produced comes through a second one unchanged, as long as it cut no line
    // into pieces (a piece loses its leading spaces and may read as a comment, so cuts move).
    if (!AllLinesFit(input)) {
        return;
    }
    FileRewrite again(path.c_str(), temp.c_str());
    if (again.Open("FUZZ", "open", "temp") != 0) {
        Breach();
    }
    LineScanner second(again.source(), ScanMode::kRewriter);
    while (second.Next(&line) > 0) {
        (void)again.WriteLine(line);
    }
    if (again.Commit("FUZZ", 0600, "seek", "open back", "write back") != 0) {
        Breach();
    }
    if (fuzzdir::Read(path) != out) {
        Breach("a second rewrite changed the file");
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    if (fuzzdir::Get("nf").empty()) {
        return 0;
    }
    const std::string path = fuzzdir::File("input");
    if (!fuzzdir::Write(path, data, size)) {
        return 0;
    }

    (void)NETGetNetworkRouteFrom(path.c_str(), "eth0");
    CheckField(NETnetinfo.gateway);

    DnsInfo dns;
    std::memset(&dns, 0x55, sizeof dns);
    (void)NETReadDNSDataFrom(path.c_str(), &dns);
    CheckField(dns.domain);
    CheckField(dns.nameserver1);
    CheckField(dns.nameserver2);
    CheckField(dns.nameserver3);

    char subnet[16];
    char netmask[16];
    (void)NETReadDHCPServerSubnet(path.c_str(), subnet, netmask);
    CheckField(subnet);
    CheckField(netmask);

    char id[18];
    std::memset(id, 0x55, sizeof id);
    if (NETReadHardwareIDFrom(path.c_str(), id) == 0) {
        CheckField(id);
    }

    // The server-name rule on the input's first bytes: what it lets through can hold no
    // control character and no blank (each would add a line or a field to a system file).
    char name[15] = {};
    std::memcpy(name, data, size < 14 ? size : 14);
    if (NETServerNameIsValid(name)) {
        for (const char *p = name; *p != '\0'; ++p) {
            if (static_cast<unsigned char>(*p) <= ' ' || *p == 0x7f) {
                Breach("the server-name rule let a control character or blank through");
            }
        }
    }

    Scan(path, ScanMode::kReader, size);
    Scan(path, ScanMode::kRewriter, size);
    Rewrite(path, std::string(reinterpret_cast<const char *>(data), size));
    return 0;
}
