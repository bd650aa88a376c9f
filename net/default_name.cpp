// The default server name (from the MAC address), the kernel's host name, the hardware ID and
// the default-name file that remembers the default in force and the name last set.
#include <fcntl.h>
#include <unistd.h>

#include <array>
#include <cstdio>
#include <cstring>
#include <string_view>

#include "common/paths.h"
#include "common/scoped.h"
#include "common/util.h"
#include "common/work_buffers.h"
#include "net/line_scanner.h"
#include "net/net.h"
#include "net/net_internal.h"

namespace {

constexpr char kTag[] = "TCPIP";
constexpr std::size_t kNameMax = 14;
constexpr std::string_view kHwIdWord = "HW_ID=";
constexpr std::string_view kVersionWord = "VERSION=";

// Reads up to 256 bytes of a small kernel file into the cleared linebuffer, cut at its first
// line feed. Returns the byte count (0 when nothing came), or -1 when it cannot be opened.
int ReadKernelLine(const char *path) {
    UniqueFd fd(::open(path, O_RDONLY | O_CLOEXEC));
    if (!fd.valid()) {
        return -1;
    }
    std::memset(linebuffer, 0, kLineBufferSize);
    ssize_t n = ::read(fd.get(), linebuffer, kLineBufferSize - 1);
    if (n <= 0) {
        return 0;
    }
    linebuffer[std::strcspn(linebuffer, "\n")] = '\0';
    return static_cast<int>(n);
}

void CopyCut(char *dst, std::size_t dst_size, std::string_view text, std::size_t max) {
    std::memset(dst, 0, dst_size);
    std::size_t n = text.size() < max ? text.size() : max;
    std::memcpy(dst, text.data(), n);
}

}  // namespace

int NETReadDefaultHostname(char *name) {
    std::memset(name, 0, 9);
    NetInfo info{};
    if (NETReadCurrentNetworkData(&info) != 0) {
        NETDebugMsg(kTag, "Read Current TCP/IP information fail");
        return -1;
    }
    if (info.hwaddr[0] == '\0') {
        NETDebugMsg(kTag, "Read Current HWADDR fail");
        return -1;
    }
    // "JX" and the last three MAC bytes: hwaddr "00:C0:02:1A:2B:3C" gives JX1A2B3C.
    std::array<char, 9> result{};
    result[0] = 'J';
    result[1] = 'X';
    std::size_t out = 2;
    for (std::size_t i = 9; i < 17 && info.hwaddr[i] != '\0'; ++i) {
        if (info.hwaddr[i] != ':') {
            result[out++] = info.hwaddr[i];
        }
    }
    std::memcpy(name, result.data(), result.size());
    return 0;
}

int NETReadCurrentHostname(char *name) {
    int n = ReadKernelLine(paths::kProcHostname);
    if (n < 0) {
        NETDebugMsg(kTag, "Open Current Hostname fail");
        return -2;
    }
    if (n == 0) {
        NETDebugMsg(kTag, "Read Current Hostname fail");
        return -3;
    }
    CopyCut(name, kNameMax + 1, linebuffer, kNameMax);
    return 0;
}

int NETReadHardwareIDFrom(const char *path, char *id) {
    int n = ReadKernelLine(path);
    if (n < 0) {
        NETDebugMsg(kTag, "Read Current Hardware ID fail");
        return -2;
    }
    if (n == 0) {
        NETDebugMsg(kTag, "Read Current Hardware ID fail");
        return -3;
    }
    std::array<char, 13> hw{};
    std::array<char, 5> version{};
    std::string_view text(linebuffer);
    while (!text.empty()) {
        std::size_t end = text.find_first_of(" \t\n");
        std::string_view word = TextHead(text, end);
        if (word.starts_with(kHwIdWord)) {
            CopyCut(hw.data(), hw.size(), TextFrom(word, kHwIdWord.size()), 12);
        } else if (word.starts_with(kVersionWord)) {
            CopyCut(version.data(), version.size(), TextFrom(word, kVersionWord.size()), 4);
        }
        if (end == std::string_view::npos) {
            break;
        }
        text.remove_prefix(end + 1);
    }
    std::memset(linebuffer, 0, kLineBufferSize);
    std::snprintf(linebuffer, kLineBufferSize, "%s-%s", hw.data(), version.data());
    CopyCut(id, 18, linebuffer, 17);
    return 0;
}

int NETReadHardwareID(char *id) {
    return NETReadHardwareIDFrom(paths::kProcCmdline, id);
}

int NETWriteDefaultHostnameData() {
    std::array<char, 9> current_default{};
    if (NETReadDefaultHostname(current_default.data()) != 0) {
        NETDebugMsg(kTag, "Read Default Server Name fail");
        return -1;
    }

    std::array<char, kNameMax + 1> stored_default{};
    std::array<char, kNameMax + 1> current_name{};
    {
        UniqueFd fd(::open(paths::kDefaultNameFile, O_RDONLY | O_CLOEXEC));
        if (!fd.valid()) {
            NETDebugMsg(kTag, "Create New Default Server Name file");
            UniqueFd created(
                ::open(paths::kDefaultNameFile, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0744));
            if (!created.valid()) {
                NETDebugMsg(kTag, "Create Default Server Name file fail");
                return -2;
            }
            std::memset(linebuffer, 0, kLineBufferSize);
            int n = std::snprintf(linebuffer, kLineBufferSize, "%s\n%s\n", current_default.data(),
                                  current_default.data());
            if (::write(created.get(), linebuffer, static_cast<std::size_t>(n)) != n) {
                NETDebugMsg(kTag, "Write Default Server Name file back fail");
                return -4;
            }
            return 0;
        }
        LineScanner scanner(fd.get(), ScanMode::kReader);
        ScannedLine line{};
        if (scanner.Next(&line) > 0) {
            CopyCut(stored_default.data(), stored_default.size(), line.text, kNameMax);
            if (scanner.Next(&line) > 0) {
                CopyCut(current_name.data(), current_name.size(), line.text, kNameMax);
            }
        }
    }

    if (std::strcmp(stored_default.data(), current_default.data()) != 0) {
        // The MAC address changed: a name that only followed the default follows it on.
        if (std::strcmp(stored_default.data(), current_name.data()) == 0) {
            std::memcpy(current_name.data(), current_default.data(), current_default.size());
        }
        std::memcpy(stored_default.data(), current_default.data(), current_default.size());
    }

    std::memset(linebuffer, 0, kLineBufferSize);
    int n = std::snprintf(linebuffer, kLineBufferSize, "%s\n%s\n", stored_default.data(),
                          current_name.data());
    UniqueFd out(::open(paths::kDefaultNameFile, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0744));
    if (!out.valid()) {
        NETDebugMsg(kTag, "Open Default Server Name file fail");
        return -2;
    }
    if (::write(out.get(), linebuffer, static_cast<std::size_t>(n)) != n) {
        NETDebugMsg(kTag, "Write default name fiel fail");
        return -4;
    }
    return 0;
}
